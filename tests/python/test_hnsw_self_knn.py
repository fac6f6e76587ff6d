import inspect

import numpy as np
import pytest

import velnor
from reference import reported, sq_l2_rows, unit_rows

SIGNATURE = ("(x, n_neighbors, metric='euclidean', m=16, ef_construction=200, ef_search=64, "
             "quantize='none', n_jobs=0, seed=0)")

DOC = ("Build a compact HNSW index and return self-kNN \u2014 same `(indices, distances,\n"
       "stride)` layout as `build_and_self_knn`. A native graph-ANN comparison backend.")


def test_module_surface():
    assert velnor.hnsw_self_knn is velnor._velnor.hnsw_self_knn
    assert str(inspect.signature(velnor.hnsw_self_knn)) == SIGNATURE
    assert velnor.hnsw_self_knn.__doc__ == DOC
    names = list(vars(velnor._velnor))
    assert names.index("build_and_self_knn") < names.index("hnsw_self_knn")


X = np.arange(12, dtype=np.float32).reshape(4, 3)
EMPTY = np.zeros((0, 3), np.float32)


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((X,), {}, TypeError, "missing required argument 'n_neighbors'"),
    ((X, 1) + (0,) * 8, {}, TypeError, "takes at most 9 arguments"),
    ((X, 1), {"ef_search": -1}, OverflowError,
     "argument 'ef_search': can't convert negative int to unsigned"),
    ((X, 1), {"quantize": 8}, TypeError, "argument 'quantize': "),
    ((X, 1), {"quantize": None}, TypeError, "argument 'quantize': "),
    ((X, 1), {"quantize": "PQ"}, ValueError, "unsupported quantize: pq"),
    ((X, 1), {"quantize": "SQ8 "}, ValueError, "unsupported quantize: sq8 "),
    ((X, 1), {"quantize": "SQ\u0130"}, ValueError, "unsupported quantize: sq\u0130"),
    ((X, 1), {"quantize": ""}, ValueError, "unsupported quantize: "),
    # The checks run in this order: metric, quantize, empty input.
    ((X, 1), {"metric": "Dot", "quantize": "PQ"}, ValueError, "unsupported metric: Dot"),
    ((EMPTY, 1), {"quantize": "PQ"}, ValueError, "unsupported quantize: pq"),
    ((EMPTY, 1), {"quantize": "SQ8"}, ValueError, "empty input matrix"),
    # Conversion comes first of all, in declaration order.
    ((EMPTY, 1), {"metric": "Dot", "quantize": 8}, TypeError, "argument 'quantize': "),
])
def test_argument_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        velnor.hnsw_self_knn(*args, **kwargs)
    text = str(info.value)
    if error is ValueError:
        assert text == message
    elif message.startswith("argument"):
        assert text.startswith(message)
    else:
        assert message in text


def test_non_finite_input_is_refused():
    x = np.ones((10, 4), np.float32)
    x[3, 1] = np.nan
    with pytest.raises(ValueError, match="NaN or infinite"):
        velnor.hnsw_self_knn(x, 3, quantize="sq8")
    # Finite, but the code steps' squares overflow: code distances would be NaN.
    huge = np.random.default_rng(0).standard_normal((50, 4)).astype(np.float32) * np.float32(1e30)
    with pytest.raises(ValueError, match="squared norm overflows float32"):
        velnor.hnsw_self_knn(huge, 3, quantize="sq8")


def small_graph_call(x, quantize):
    # A sparse, narrow graph makes the quantized and exact searches part ways.
    return velnor.hnsw_self_knn(x, 10, m=4, ef_construction=16, ef_search=12,
                                quantize=quantize, n_jobs=1)


def test_quantize_names_in_any_ascii_case(fashion):
    x = fashion[:800]
    exact = small_graph_call(x, "none")
    quantized = small_graph_call(x, "sq8")
    assert not np.array_equal(exact[0], quantized[0])  # the flag reaches the core
    for name, expected in [("NONE", exact), ("None", exact), ("fp32", exact), ("FP32", exact),
                           ("SQ8", quantized), ("Sq8", quantized)]:
        got = small_graph_call(x, name)
        np.testing.assert_array_equal(got[0], expected[0], err_msg=name)
        np.testing.assert_array_equal(got[1], expected[1], err_msg=name)


@pytest.mark.parametrize("quantize", ["none", "sq8"])
def test_edge_cases(quantize):
    # One row, whatever k.
    for k in (0, 5, 2**64 - 1):
        idx, dist, stride = velnor.hnsw_self_knn(np.ones((1, 5), np.float32), k, quantize=quantize)
        assert (idx.tolist(), dist.tolist(), stride) == ([0], [0.0], 1)

    # m = 0: no edges; every search stops at row 0 and the rest is padding.
    x = np.array([[0, 0], [3, 4], [6, 8]], np.float32)
    idx, dist, stride = velnor.hnsw_self_knn(x, 2, m=0, quantize=quantize)
    assert stride == 3
    assert idx.tolist() == [0, 0, 0, 1, 0, 1, 2, 0, 2]
    assert dist.tolist() == [0, 0, 0, 0, 5, 0, 0, 10, 0]

    # Identical rows 3 and 7: the smaller index comes first, also alone.
    line = np.array([0, 10, 20, 55, 40, 80, 60, 55, 95, 120], np.float32)[:, None]
    idx, dist, stride = velnor.hnsw_self_knn(line, 2, m=4, quantize=quantize)
    assert idx.reshape(10, 3)[7].tolist() == [3, 7, 6]
    assert dist.reshape(10, 3)[7].tolist() == [0, 0, 5]
    idx, dist, stride = velnor.hnsw_self_knn(line, 0, m=4, quantize=quantize)
    assert stride == 1
    assert idx.tolist() == [0, 1, 2, 3, 4, 5, 6, 3, 8, 9]
    assert not dist.any()

    # k >= n: every row lists all rows, itself first, by distance.
    idx, dist, stride = velnor.hnsw_self_knn(line, 50, quantize=quantize)
    assert stride == 10
    rows = idx.reshape(10, 10)
    for i in range(10):
        assert sorted(rows[i].tolist()) == list(range(10))
    assert np.all(np.diff(dist.reshape(10, 10), axis=1) >= 0)

    # Zero columns are accepted: every distance is 0, indices ascending.
    idx, dist, stride = velnor.hnsw_self_knn(np.zeros((3, 0), np.float32), 2, quantize=quantize)
    assert stride == 3 and idx.tolist() == [0, 1, 2] * 3 and not dist.any()


def exact_kth_distances(rows, k):
    """The k-th smallest squared distance to another row, per row, by GEMM."""
    sq = np.einsum("ij,ij->i", rows, rows, dtype=np.float64)
    gram = rows.astype(np.float64) @ rows.T.astype(np.float64)
    d2 = np.maximum(sq[:, None] + sq[None, :] - 2 * gram, 0)
    return np.partition(d2, k, axis=1)[:, k]  # slot 0 is the row itself


def recall(dist, stride, kth_sq, metric):
    got = dist.reshape(-1, stride)[:, 1:].astype(np.float64)
    got_sq = got * 2 if metric == "cosine" else got * got
    return np.mean(got_sq <= kth_sq[:, None] * (1 + 1e-5) + 1e-6)


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
@pytest.mark.parametrize("quantize, floor", [("none", 0.99), ("sq8", 0.97)])
def test_recall_and_exact_distances(fashion, metric, quantize, floor):
    x = fashion[:3000]
    rows = unit_rows(x) if metric == "cosine" else x
    idx, dist, stride = velnor.hnsw_self_knn(x, 10, metric=metric, quantize=quantize)
    assert stride == 11
    assert recall(dist, stride, exact_kth_distances(rows, 10), metric) >= floor
    idx, dist = idx.reshape(-1, stride), dist.reshape(-1, stride)
    for i in range(0, 3000, 7):
        assert i in idx[i]
        # Reported distances are the exact ones, never code distances.
        expected = reported(sq_l2_rows(rows[i], rows[idx[i]]), metric)
        np.testing.assert_array_equal(dist[i], expected)


@pytest.mark.parametrize("quantize", ["none", "sq8"])
def test_one_worker_is_deterministic(fashion, quantize):
    x = fashion[:1500]
    first = velnor.hnsw_self_knn(x, 10, m=8, ef_construction=64, quantize=quantize, n_jobs=1, seed=3)
    for _ in range(2):
        again = velnor.hnsw_self_knn(x, 10, m=8, ef_construction=64, quantize=quantize, n_jobs=1,
                                     seed=3)
        np.testing.assert_array_equal(again[0], first[0])
        np.testing.assert_array_equal(again[1], first[1])
        assert again[2] == first[2]


def test_layouts_give_the_result_of_the_c_ordered_copy(fashion):
    base = np.ascontiguousarray(fashion[:500, ::2])
    expected = velnor.hnsw_self_knn(base, 5, n_jobs=1)
    for x in (np.asfortranarray(base), fashion[:500, ::2]):
        got = velnor.hnsw_self_knn(x, 5, n_jobs=1)
        np.testing.assert_array_equal(got[0], expected[0])
        np.testing.assert_array_equal(got[1], expected[1])
