import inspect
import threading
import time

import numpy as np
import pytest

import velnor
from conftest import assert_memory_flat
from reference import exact_self_knn

SIGNATURE = ("(x, n_neighbors, metric='euclidean', m=12, l_max=64, r=64, alpha=1.2, "
             "beam_l=64, fanout=2, c_min=256, c_max=2048, runs=1, n_jobs=0, seed=0)")

DOC = """Build the index and return self-kNN as flat arrays.

Returns `(indices, distances, stride)` where `indices`/`distances` are
length `n * stride` row-major and `stride == k + 1` (self edge first).

Phase 0 routes through exact brute force; later phases swap in the Velnor
graph build + BeamSearch behind this same signature."""


def test_module_surface():
    assert velnor.__version__ == "0.1.1"
    assert velnor._velnor.__version__ == "0.1.1"
    assert velnor._velnor.__doc__ == ""
    assert velnor.build_and_self_knn is velnor._velnor.build_and_self_knn
    assert str(inspect.signature(velnor.build_and_self_knn)) == SIGNATURE
    assert velnor.build_and_self_knn.__doc__ == DOC


X = np.arange(12, dtype=np.float32).reshape(4, 3)


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((), {}, TypeError, "missing required argument 'x'"),
    ((X,), {}, TypeError, "missing required argument 'n_neighbors'"),
    ((X, 1), {"x": X}, TypeError, "multiple values for argument 'x'"),
    ((X, 1), {"bogus": 1}, TypeError, "unexpected keyword argument 'bogus'"),
    ((X, 1) + (0,) * 13, {}, TypeError, "takes at most 14 arguments"),
    (([[1.0, 2.0]], 1), {}, TypeError, "argument 'x': "),
    ((X[0], 1), {}, TypeError, "argument 'x': "),
    ((X.astype(np.float64), 1), {}, TypeError, "argument 'x': "),
    ((X.astype(np.int64), 1), {}, TypeError, "argument 'x': "),
    ((X.astype(">f4"), 1), {}, TypeError, "argument 'x': "),
    ((X, 1.0), {}, TypeError, "argument 'n_neighbors': "),
    ((X, 1), {"metric": 2}, TypeError, "argument 'metric': "),
    ((X, 1), {"alpha": "big"}, TypeError, "argument 'alpha': "),
    ((X, 1), {"seed": None}, TypeError, "argument 'seed': "),
    ((X, -1), {}, OverflowError, "argument 'n_neighbors': can't convert negative int to unsigned"),
    ((X, 1), {"n_jobs": -1}, OverflowError, "argument 'n_jobs': can't convert negative int to unsigned"),
    ((X, 1), {"n_jobs": 2**64}, OverflowError, "argument 'n_jobs': int too big to convert"),
    ((X, 1), {"alpha": 10**400}, OverflowError, "argument 'alpha': int too large to convert to float"),
    ((X, 1), {"metric": "cos"}, ValueError, "unsupported metric: cos"),
    ((X, 1), {"metric": " cosine"}, ValueError, "unsupported metric:  cosine"),
    ((np.zeros((0, 3), np.float32), 1), {}, ValueError, "empty input matrix"),
])
def test_argument_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        velnor.build_and_self_knn(*args, **kwargs)
    assert str(info.value).startswith(message) or message in str(info.value)
    if message.startswith("argument") or message.startswith("unsupported"):
        assert str(info.value).startswith(message)
    if error is OverflowError:
        assert str(info.value) == message


def test_conversion_stops_at_the_first_bad_argument():
    # x is converted before metric, so the matrix error wins over the metric one.
    with pytest.raises(TypeError, match="argument 'x'"):
        velnor.build_and_self_knn([1.0], 1, metric="nope")
    # The metric is checked before emptiness.
    with pytest.raises(ValueError, match="unsupported metric"):
        velnor.build_and_self_knn(np.zeros((0, 3), np.float32), 1, metric="nope")


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("k", [0, 3])
def test_non_finite_input_is_refused_before_any_work(bad, k):
    x = np.ones((10, 4), np.float32)
    x[7, 2] = bad
    with pytest.raises(ValueError, match="NaN or infinite"):
        velnor.build_and_self_knn(x, k)


@pytest.mark.parametrize("metric", ["euclidean", "COSINE"])
def test_exact_route_is_bit_identical_to_the_reference(fashion, metric):
    x = fashion[:400].copy()
    x[200:260] = x[:60]          # exact ties: rows repeated
    x[300:310] = x[0]            # the same row ten times
    idx, dist, stride = velnor.build_and_self_knn(x, 12, metric=metric)
    ref_idx, ref_dist, ref_stride = exact_self_knn(x, 12, metric.lower())
    assert stride == ref_stride == 13
    np.testing.assert_array_equal(idx, ref_idx)
    np.testing.assert_array_equal(dist, ref_dist)
    assert np.all(idx.reshape(-1, 13)[:300, 0] == np.arange(300))


def test_ties_everywhere_when_all_rows_repeat(fashion):
    x = np.repeat(fashion[:25], 4, axis=0)  # every row present four times
    for k in (0, 2, 5, 99, 1000):
        idx, dist, stride = velnor.build_and_self_knn(x, k)
        ref_idx, ref_dist, ref_stride = exact_self_knn(x, k)
        assert stride == ref_stride == min(k + 1, 100)
        np.testing.assert_array_equal(idx, ref_idx)
        np.testing.assert_array_equal(dist, ref_dist)


def test_single_row():
    idx, dist, stride = velnor.build_and_self_knn(np.ones((1, 5), np.float32), 10)
    assert (idx.tolist(), dist.tolist(), stride) == ([0], [0.0], 1)


def test_zero_columns_gives_zero_distances():
    idx, dist, stride = velnor.build_and_self_knn(np.zeros((3, 0), np.float32), 2)
    assert stride == 3
    assert idx.reshape(3, 3)[:, 0].tolist() == [0, 1, 2]
    assert not dist.any()


def test_layouts_and_pool_sizes_give_identical_results(fashion):
    base = np.ascontiguousarray(fashion[:600, ::2])        # 600 x 392, C order
    expected = velnor.build_and_self_knn(base, 7, n_jobs=1)
    layouts = [
        np.asfortranarray(base),
        fashion[:600, ::2],                                  # strided view
        np.ascontiguousarray(fashion[599::-1, ::2])[::-1],   # negative row stride
    ]
    for x in layouts:
        got = velnor.build_and_self_knn(x, 7)
        for a, b in zip(got[:2], expected[:2]):
            np.testing.assert_array_equal(a, b)
    for n_jobs in (0, 2, 4):
        got = velnor.build_and_self_knn(base, 7, n_jobs=n_jobs)
        np.testing.assert_array_equal(got[0], expected[0])
        np.testing.assert_array_equal(got[1], expected[1])


def test_results_are_writeable_arrays_owning_the_core_buffer():
    x = np.random.default_rng(0).random((50, 8), dtype=np.float32)
    idx, dist, stride = velnor.build_and_self_knn(x, 4)
    assert isinstance(stride, int) and stride == 5
    for arr, dtype in ((idx, np.uint32), (dist, np.float32)):
        assert arr.dtype == dtype and arr.ndim == 1 and arr.shape == (250,)
        assert arr.flags.writeable and arr.flags.c_contiguous
        assert type(arr.base).__name__ == "_ResultBuffer"  # no copy: the base owns the vector
    idx[0] = 42
    assert idx[0] == 42


def test_repeated_calls_do_not_grow_memory():
    x = np.random.default_rng(1).random((600, 16), dtype=np.float32)

    def call():
        idx, dist, _ = velnor.build_and_self_knn(x, 150)  # about 725 KB of results
        assert idx.shape[0] == 600 * 151

    assert_memory_flat(call, warmup=30, repeats=300)


def test_the_interpreter_lock_is_released_during_the_work():
    x = np.random.default_rng(2).random((2048, 784), dtype=np.float32)
    spans = []

    def call():
        start = time.perf_counter()
        velnor.build_and_self_knn(x, 10, n_jobs=1)
        spans.append((start, time.perf_counter()))

    call()  # warm up
    spans.clear()
    threads = [threading.Thread(target=call) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    (s1, e1), (s2, e2) = sorted(spans)
    overlap = min(e1, e2) - max(s1, s2)
    shorter = min(e1 - s1, e2 - s2)
    # Holding the lock would serialise the calls: no overlap at all.
    assert overlap > 0.5 * shorter


@pytest.mark.parametrize("call", [
    lambda x: velnor.build_and_self_knn(x, 1),
    lambda x: velnor.build_and_query(x, np.ones((1, 1), np.float32), 1),
    lambda x: velnor.VelnorIndex(x),
    lambda x: velnor.hnsw_self_knn(x, 1),
], ids=["build_and_self_knn", "build_and_query", "VelnorIndex", "hnsw_self_knn"])
def test_row_numbers_beyond_32_bits_are_refused_before_any_work(call):
    # 2^32 rows of one value, all views of the same float: no memory is used.
    huge = np.lib.stride_tricks.as_strided(np.ones(1, np.float32), shape=(2**32, 1), strides=(0, 4))
    with pytest.raises(ValueError, match="at most 4294967295"):
        call(huge)
