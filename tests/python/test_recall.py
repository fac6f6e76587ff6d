import numpy as np
import pytest

import velnor
from velnor import knn
from reference import sq_l2_rows, unit_rows


def self_distances(rows):
    """sq_l2 between every two rows in the library's own summation order,
    inf on the diagonal (a row is not its own neighbour)."""
    d2 = np.stack([sq_l2_rows(row, rows) for row in rows])
    np.fill_diagonal(d2, np.inf)
    return d2


def reference_recall(d2, found, k):
    """recall@k of found[i] (k ids for every row i): a hit is a distinct row,
    not i, no farther than i's k-th nearest other row."""
    kth = np.partition(d2, k - 1, axis=1)[:, k - 1]
    hits = sum(int((d2[i, np.setdiff1d(ids, [i])] <= kth[i]).sum()) for i, ids in enumerate(found))
    return hits / (len(found) * k)


def without_self(answers, k):
    """Each row's answers with the row itself dropped (else the last one)."""
    out = []
    for i, row in enumerate(answers):
        row = list(row)
        row.remove(i) if i in row else row.pop()
        out.append(row[:k])
    return np.array(out)


@pytest.fixture(scope="module")
def uniform():
    return np.random.default_rng(7).random((1000, 24), dtype=np.float32)


@pytest.fixture(scope="module")
def uniform_d2(uniform):
    return self_distances(uniform)


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_estimate_recall_matches_a_numpy_reference(metric):
    # Hard enough that the narrowest search misses a few neighbours.
    x = np.random.default_rng(7).standard_normal((3000, 128), dtype=np.float32)
    index = velnor.Index(x, metric, n_jobs=2)
    d2 = self_distances(unit_rows(x) if metric == "cosine" else x)
    measured = []
    for beam in (1, 40):
        # A sample as large as the index takes every row.
        measured.append(index.estimate_recall(k=10, sample=5000, beam_l=beam))
        answers, _ = index.query(x, 11, beam_l=beam)
        assert measured[-1] == reference_recall(d2, without_self(answers, 10), 10)
    assert measured[0] < measured[1]


def test_estimate_recall_sample_and_errors(uniform):
    index = velnor.Index(uniform[:300], n_jobs=1)
    assert index.estimate_recall(sample=50, seed=1) == index.estimate_recall(sample=50, seed=1)
    assert 0.0 <= index.estimate_recall(k=299, sample=3) <= 1.0
    for kwargs, error, words in [
        (dict(k=300), ValueError, "below the number of indexed rows"),
        (dict(k=0), ValueError, "at least 1"),
        (dict(sample=0), ValueError, "at least 1"),
        (dict(beam_l=0), ValueError, "beam_l"),
        (dict(seed=-1), ValueError, "seed"),
        (dict(k=2.0), TypeError, "k must be an int"),
    ]:
        with pytest.raises(error, match=words):
            index.estimate_recall(**kwargs)


@pytest.fixture
def weak_first(monkeypatch):
    """A ladder of two rungs: a weak one, then the route's own."""
    weak = dict(knn._ROUTE, runs=1, leaf_size=32, fanout=1, leaf_k=16, keep=16, joins=0)
    monkeypatch.setattr(knn, "_LADDER", (weak, knn._ROUTE))
    return weak


def test_target_recall_climbs_until_the_sample_meets_it(uniform, uniform_d2, weak_first, monkeypatch):
    route = velnor.knn_graph(uniform, 11)
    assert route.recall is None
    monkeypatch.setattr(knn, "_ROUTE", weak_first)
    weak = velnor.knn_graph(uniform, 11)
    weak_recall = reference_recall(uniform_d2, weak.indices[:, 1:], 10)
    assert weak_recall < 0.95

    # Met by the first rung: its graph, with its recall (every row sampled).
    met = velnor.knn_graph(uniform, 11, target_recall=weak_recall)
    assert np.array_equal(met.indices, weak.indices) and met.recall == weak_recall
    # Not met by the first: the second rung's graph.
    climbed = velnor.knn_graph(uniform, 11, target_recall=0.95)
    assert np.array_equal(climbed.indices, route.indices)
    assert climbed.recall == reference_recall(uniform_d2, route.indices[:, 1:], 10) >= 0.95
    indices, distances = climbed
    assert indices is climbed.indices and distances is climbed.distances


def test_target_recall_out_of_reach_warns(uniform, uniform_d2, weak_first, monkeypatch):
    monkeypatch.setattr(knn, "_LADDER", (weak_first,))
    with pytest.warns(RuntimeWarning, match=r"recall@10 on a sample of 1000 rows is 0\.\d+ at the highest"):
        graph = velnor.knn_graph(uniform, 11, target_recall=0.999)
    assert graph.recall == reference_recall(uniform_d2, graph.indices[:, 1:], 10) < 0.999


def test_target_recall_edge_cases_and_errors(uniform):
    assert velnor.knn_graph(uniform[:50], 1, target_recall=0.9).recall == 1.0
    small = velnor.knn_graph(uniform[:60], 60, target_recall=1.0)
    assert small.recall == 1.0
    for value, error in [(0.0, ValueError), (1.5, ValueError), ("high", TypeError), (True, TypeError)]:
        with pytest.raises(error, match="target_recall"):
            velnor.knn_graph(uniform[:50], 5, target_recall=value)
