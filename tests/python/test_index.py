import threading

import numpy as np
import pytest

import velnor
from conftest import assert_memory_flat
from reference import exact_neighbours, recall_at_k, unit_rows


@pytest.fixture(scope="module")
def base_and_queries(fashion):
    return fashion[:4000].copy(), fashion[4500:4800].copy()


@pytest.fixture(scope="module")
def index(base_and_queries):
    return velnor.Index(base_and_queries[0], n_jobs=2)


def test_queries_find_the_exact_neighbours(index, base_and_queries):
    base, queries = base_and_queries
    indices, distances = index.query(queries, k=10)
    assert indices.shape == distances.shape == (300, 10)
    assert indices.dtype == np.int64 and distances.dtype == np.float32
    assert np.all(np.diff(distances, axis=1) >= 0)
    _, d2, kth = exact_neighbours(base, queries, 10)
    assert recall_at_k(indices, d2, kth, 10) >= 0.97
    wide, _ = index.query(queries, k=10, beam_l=128)
    assert recall_at_k(wide, d2, kth, 10) >= 0.995
    got = np.take_along_axis(d2, indices, axis=1)
    np.testing.assert_allclose(distances, np.sqrt(got), rtol=1e-4)


def test_queries_reach_small_clusters():
    # A thousand tight clusters of about 30 rows: every kNN edge stays inside
    # a cluster, and most clusters hold no search seed. The index still needs
    # edges that lead a search from a seed's cluster to the query's.
    rng = np.random.default_rng(0)
    centres = rng.standard_normal((1000, 32)).astype(np.float32) * 10
    base = centres[rng.integers(0, 1000, 30_000)] + rng.standard_normal((30_000, 32), np.float32)
    queries = centres[rng.integers(0, 1000, 300)] + rng.standard_normal((300, 32), np.float32)
    indices, _ = velnor.Index(base, n_jobs=2).query(queries, k=10, beam_l=64)
    _, d2, kth = exact_neighbours(base, queries, 10)
    assert recall_at_k(indices, d2, kth, 10) >= 0.99


def test_cosine_distances_are_one_minus_cos(base_and_queries):
    base, queries = base_and_queries
    index = velnor.Index(base[:2000], metric="cosine")
    indices, distances = index.query(queries[:50] * 3.0, k=5)
    b, q = unit_rows(base[:2000]).astype(np.float64), unit_rows(queries[:50]).astype(np.float64)
    cos = np.einsum("ij,ij->i", q.repeat(5, axis=0), b[indices.ravel()]).reshape(50, 5)
    np.testing.assert_allclose(distances, 1 - cos, atol=1e-5)
    exact = np.argsort(-(q @ b.T), axis=1)[:, :5]
    assert (indices == exact).mean() >= 0.95


def test_same_index_for_any_number_of_threads(base_and_queries):
    base, queries = base_and_queries
    results = [velnor.Index(base, n_jobs=jobs, seed=5).query(queries, 10) for jobs in (1, 3)]
    assert np.array_equal(results[0][0], results[1][0])
    assert np.array_equal(results[0][1], results[1][1])


def test_concurrent_queries_match_sequential(index, base_and_queries):
    queries = base_and_queries[1]
    expected = index.query(queries, 10, beam_l=48)
    out = [None] * 4

    def run(t):
        out[t] = index.query(queries, 10, beam_l=48)

    threads = [threading.Thread(target=run, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got in out:
        assert np.array_equal(got[0], expected[0])


def test_index_keeps_its_own_rows(base_and_queries):
    base, queries = base_and_queries
    data = base[:1000].copy()
    index = velnor.Index(data)
    before = index.query(queries[:20], 5)
    data[:] = 0
    assert np.array_equal(index.query(queries[:20], 5)[0], before[0])
    assert len(index) == 1000 and index.dim == 784 and index.metric == "euclidean"


def test_empty_query_batch_and_no_leak(index):
    indices, distances = index.query(np.zeros((0, 784), np.float32), k=3)
    assert indices.shape == distances.shape == (0, 3)
    one = np.zeros((1, 784), np.float32)
    assert_memory_flat(lambda: index.query(one, 10), warmup=50, repeats=300)


@pytest.mark.parametrize("call, error, words", [
    (lambda ix: ix.query(np.zeros((2, 5)), 3), ValueError, "features"),
    (lambda ix: ix.query(np.zeros((2, 784)), 0), ValueError, "at least 1"),
    (lambda ix: ix.query(np.zeros((2, 784)), 4001), ValueError, "larger than"),
    (lambda ix: ix.query(np.zeros(784), 3), ValueError, "2-D"),
    (lambda ix: ix.query(np.full((1, 784), np.inf), 3), ValueError, "NaN or infinite"),
    (lambda ix: ix.query(np.zeros((1, 784)), 3, beam_l=0), ValueError, "beam_l"),
])
def test_query_errors(index, call, error, words):
    with pytest.raises(error, match=words):
        call(index)


@pytest.mark.parametrize("args, kwargs, error, words", [
    ((np.zeros((0, 3)),), {}, ValueError, "no rows"),
    ((np.zeros((3, 3)),), {"metric": "dot"}, ValueError, "unsupported metric"),
    ((np.zeros((3, 3)),), {"n_jobs": 1.5}, TypeError, "n_jobs"),
    ((np.array([[1.0, np.nan]]),), {}, ValueError, "NaN"),
])
def test_build_errors(args, kwargs, error, words):
    with pytest.raises(error, match=words):
        velnor.Index(*args, **kwargs)
