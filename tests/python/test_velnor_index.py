import inspect
import threading

import numpy as np
import pytest

import velnor
from conftest import assert_memory_flat, rss_bytes
from reference import exact_neighbours, recall_at_k

CLASS_SIGNATURE = ("(x, metric='euclidean', m=12, l_max=64, r=64, alpha=1.2, fanout=2, "
                   "c_min=256, c_max=2048, runs=1, n_jobs=0, seed=0)")

CLASS_DOC = """A persistent Velnor index: build once, query many. The right shape for the
ANN-benchmark iso-recall harness, where build cost is amortized and only the
per-query `beam_l` sweep is timed (unlike the fused one-shot `build_and_query`)."""

QUERY_DOC = """Query an external set. Returns `(indices, distances, stride)` flat arrays
(`stride == n_neighbors`, no self edge). `beam_l` is the recall/speed knob."""


def test_signatures_and_docstrings():
    assert str(inspect.signature(velnor.VelnorIndex)) == CLASS_SIGNATURE
    assert velnor.VelnorIndex.__doc__ == CLASS_DOC
    assert str(inspect.signature(velnor.VelnorIndex.query)) == "(self, /, queries, n_neighbors, beam_l=64)"
    bound = velnor.VelnorIndex(np.ones((3, 2), np.float32)).query
    assert str(inspect.signature(bound)) == "(queries, n_neighbors, beam_l=64)"
    assert velnor.VelnorIndex.query.__doc__ == QUERY_DOC
    assert velnor.VelnorIndex.__module__ == "velnor._velnor"


@pytest.fixture(scope="module")
def base_and_queries(fashion):
    return fashion[:3000].copy(), fashion[4000:4300].copy()


@pytest.fixture(scope="module")
def index(base_and_queries):
    return velnor.VelnorIndex(base_and_queries[0], n_jobs=4)


def test_constructor_errors():
    with pytest.raises(ValueError, match="^empty base matrix$"):
        velnor.VelnorIndex(np.zeros((0, 4), np.float32))
    with pytest.raises(ValueError, match="^unsupported metric: Cos$"):
        velnor.VelnorIndex(np.zeros((0, 4), np.float32), metric="Cos")
    with pytest.raises(TypeError, match="^argument 'x': "):
        velnor.VelnorIndex(np.zeros((3, 4), np.float64))
    with pytest.raises(TypeError):
        velnor.VelnorIndex(np.zeros((3, 4), np.float32), beam_l=10)  # a query knob
    with pytest.raises(ValueError, match="m must be <= 16"):
        velnor.VelnorIndex(np.ones((3, 4), np.float32), m=17)


def test_query_errors_leave_the_index_usable(index, base_and_queries):
    _, queries = base_and_queries
    with pytest.raises(ValueError, match="^query dim 5 != base dim 784$"):
        index.query(queries[:, :5], 3)
    with pytest.raises(ValueError):
        index.query(queries, 0)
    with pytest.raises(TypeError, match="^argument 'queries': "):
        index.query(queries.tolist(), 3)
    idx, dist, stride = index.query(queries[:10], 3)
    assert stride == 3 and idx.shape == (30,)


def test_empty_query_matrix_returns_empty_arrays(index):
    idx, dist, stride = index.query(np.zeros((0, 784), np.float32), 10)
    assert idx.shape == (0,) and dist.shape == (0,) and stride == 10
    assert idx.dtype == np.uint32 and dist.dtype == np.float32


def test_beam_width_sweep_raises_recall(index, base_and_queries):
    base, queries = base_and_queries
    _, d2, kth = exact_neighbours(base, queries, 10)
    recalls = [recall_at_k(index.query(queries, 10, beam_l=b)[0], d2, kth, 10) for b in (10, 64, 200)]
    assert recalls[-1] >= 0.97
    assert recalls[0] <= recalls[-1]


def test_small_calls_match_rows_of_a_large_one(index, base_and_queries):
    # Calls of a few queries run on the calling thread, large ones on the
    # pool; every row must come out the same either way.
    _, queries = base_and_queries
    for beam_l in (10, 64):
        idx, dist, _ = index.query(queries, 10, beam_l=beam_l)
        for start, size in ((0, 1), (17, 1), (40, 3), (100, 8), (200, 9)):
            got_idx, got_dist, _ = index.query(queries[start:start + size], 10, beam_l=beam_l)
            np.testing.assert_array_equal(got_idx, idx[start * 10:(start + size) * 10])
            np.testing.assert_array_equal(got_dist, dist[start * 10:(start + size) * 10])


def test_concurrent_queries_match_sequential_ones(index, base_and_queries):
    # Batches (on the pool) and single rows (on each calling thread) at once,
    # at widths of two pivot plans.
    _, queries = base_and_queries
    widths = (16, 48, 400)
    expected = [index.query(queries, 10, beam_l=b) for b in widths]
    got = [None] * 6

    def run(slot):
        beam_l = widths[slot % 3]
        if slot < 3:
            got[slot] = index.query(queries, 10, beam_l=beam_l)
        else:
            rows = [index.query(queries[i:i + 1], 10, beam_l=beam_l) for i in range(len(queries))]
            got[slot] = (np.concatenate([r[0] for r in rows]), np.concatenate([r[1] for r in rows]))

    threads = [threading.Thread(target=run, args=(s,)) for s in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for slot, result in enumerate(got):
        np.testing.assert_array_equal(result[0], expected[slot % 3][0])
        np.testing.assert_array_equal(result[1], expected[slot % 3][1])


def test_index_keeps_its_own_copy_of_the_base(base_and_queries):
    base, queries = base_and_queries
    x = base[:2500].copy()
    index = velnor.VelnorIndex(x)
    before = index.query(queries, 5)
    x[:] = 0
    after = index.query(queries, 5)
    np.testing.assert_array_equal(before[0], after[0])
    np.testing.assert_array_equal(before[1], after[1])


def test_built_index_holds_its_rows_once():
    # Cosine rows are stored scaled; neither the caller's rows nor a second
    # copy may stay behind, nor the build's working memory.
    x = np.random.default_rng(3).random((20000, 512), dtype=np.float32)
    before = rss_bytes()
    index = velnor.VelnorIndex(x, metric="cosine")
    growth = rss_bytes() - before
    assert growth < 1.5 * x.nbytes, f"index holds {growth / x.nbytes:.2f} x its rows"
    del index


def test_builds_and_queries_do_not_grow_memory():
    rng = np.random.default_rng(5)
    x = rng.random((3000, 16), dtype=np.float32)
    q = rng.random((500, 16), dtype=np.float32)

    def cycle():
        index = velnor.VelnorIndex(x)
        index.query(q, 10)
        velnor.build_and_query(x, q, 10)
        velnor.build_and_self_knn(x, 10)

    assert_memory_flat(cycle, warmup=5, repeats=25)
