import numpy as np
import pytest

import velnor
from reference import exact_neighbours, recall_at_k, unit_rows


def self_recall(x, indices, k, metric="euclidean"):
    """recall@k of a kNN graph whose column 0 is the row itself."""
    rows = unit_rows(x) if metric == "cosine" else x
    _, d2, _ = exact_neighbours(rows, rows, k + 1)
    np.fill_diagonal(d2, np.inf)
    order = np.argsort(d2, axis=1, kind="stable")[:, :k]
    kth = np.take_along_axis(d2, order[:, -1:], axis=1)[:, 0]
    return recall_at_k(indices[:, 1:k + 1], d2, kth, k)


@pytest.fixture(scope="module")
def images(fashion):
    return fashion[:4000].copy()


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_graph_layout_and_recall(images, metric):
    indices, distances = velnor.knn_graph(images, n_neighbors=11, metric=metric)
    n = images.shape[0]
    assert indices.shape == distances.shape == (n, 11)
    assert indices.dtype == np.int64 and distances.dtype == np.float32
    assert np.array_equal(indices[:, 0], np.arange(n))
    assert np.all(distances[:, 0] == 0)
    assert np.all(np.diff(distances, axis=1) >= 0), "rows must be sorted nearest first"
    assert all(len(set(row)) == 11 for row in indices[:200])
    assert self_recall(images, indices, 10, metric) >= 0.97
    # Reported distances are the metric's own, measured on the rows.
    rows = unit_rows(images) if metric == "cosine" else images.astype(np.float64)
    i, j = np.arange(n), indices[:, 5]
    d2 = ((rows[i] - rows[j]).astype(np.float64) ** 2).sum(1)
    expected = d2 / 2 if metric == "cosine" else np.sqrt(d2)
    np.testing.assert_allclose(distances[:, 5], expected, rtol=1e-4, atol=1e-4)


def test_same_graph_for_any_number_of_threads(images):
    runs = [velnor.knn_graph(images, 8, n_jobs=jobs, seed=3) for jobs in (1, 2, 3)]
    for indices, distances in runs[1:]:
        assert np.array_equal(indices, runs[0][0])
        assert np.array_equal(distances, runs[0][1])


def test_array_likes_are_converted(images):
    small = images[:300]
    expected = velnor.knn_graph(small, 5)
    for variant in (small.astype(np.float64), np.asfortranarray(small), small.tolist(),
                    small.astype(np.uint8)):
        got = velnor.knn_graph(variant, 5)
        assert np.array_equal(got[0], expected[0])


def test_tiny_inputs():
    x = np.array([[0.0, 0.0], [1.0, 0.0], [3.0, 0.0]], np.float32)
    indices, distances = velnor.knn_graph(x, 3)
    assert indices.tolist() == [[0, 1, 2], [1, 0, 2], [2, 1, 0]]
    np.testing.assert_allclose(distances, [[0, 1, 3], [0, 1, 2], [0, 2, 3]])
    indices, distances = velnor.knn_graph(x[:1], 1)
    assert indices.tolist() == [[0]] and distances.tolist() == [[0.0]]


@pytest.mark.parametrize("args, kwargs, error, words", [
    ((np.zeros((5, 2)), 6), {}, ValueError, "larger than the number of rows"),
    ((np.zeros((5, 2)), 0), {}, ValueError, "at least 1"),
    ((np.zeros((0, 2)), 1), {}, ValueError, "no rows"),
    ((np.zeros(5), 1), {}, ValueError, "2-D"),
    ((np.array([[0.0, np.nan]]), 1), {}, ValueError, "NaN"),
    ((np.zeros((5, 2)), 2), {"metric": "manhattan"}, ValueError, "unsupported metric"),
    ((np.zeros((5, 2)), 2.5), {}, TypeError, "n_neighbors"),
    ((np.zeros((5, 2)), 2), {"n_jobs": 0}, ValueError, "n_jobs"),
    ((np.zeros((5, 2)), 2), {"seed": -1}, ValueError, "seed"),
    (([["a", "b"]], 1), {}, ValueError, "numbers"),
])
def test_errors(args, kwargs, error, words):
    with pytest.raises(error, match=words):
        velnor.knn_graph(*args, **kwargs)
