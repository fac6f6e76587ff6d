"""kNN graphs: every row's nearest rows, itself first."""

from __future__ import annotations

import numbers
import warnings

import numpy as np

from velnor import _velnor
from velnor._arguments import as_matrix, count, metric_name, sample_rows, seed_value, workers

# The route's settings, chosen by measurement over the benchmark's datasets.
_ROUTE = dict(runs=2, leaf_size=512, fanout=2, leaf_k=32, keep=16, joins=2, join_sample=16,
              variance=0.93)

# The efforts target_recall climbs through, cheapest first; the first rung is
# the route's own setting. Each rung builds the graph anew.
_LADDER = (
    _ROUTE,
    dict(_ROUTE, runs=4),
    dict(_ROUTE, runs=6, leaf_k=48, keep=24),
    dict(_ROUTE, runs=8, leaf_k=64, keep=32, joins=3),
)
# Rows whose exact neighbours measure the recall for target_recall.
_RECALL_SAMPLE = 1000


class KnnGraph(tuple):
    """A kNN graph: a pair ``(indices, distances)`` with the recall measured.

    It unpacks and indexes as the pair, so ``indices, distances =
    knn_graph(...)`` works, and goes as it is where a pair is expected
    (UMAP's ``precomputed_knn``). `knn_graph` makes it.

    Parameters
    ----------
    indices : ndarray of shape (n_samples, n_neighbors), int64
        Row i's neighbours, nearest first; column 0 is i itself.
    distances : ndarray of shape (n_samples, n_neighbors), float32
        Their distances; column 0 is 0.
    recall : float or None, default None
        The recall@(n_neighbors - 1) measured on a sample of rows.

    Attributes
    ----------
    recall : float or None
        The recall measured when `knn_graph` was given a target_recall,
        else None.
    """

    def __new__(cls, indices, distances, recall=None):
        graph = super().__new__(cls, (indices, distances))
        graph.recall = recall
        return graph

    def __getnewargs__(self):
        return (self[0], self[1], self.recall)

    @property
    def indices(self) -> np.ndarray:
        """Row i's neighbours, nearest first; column 0 is i itself."""
        return self[0]

    @property
    def distances(self) -> np.ndarray:
        """The neighbours' distances; column 0 is 0."""
        return self[1]

    def __repr__(self) -> str:
        n, k = self[0].shape
        return f"KnnGraph(n_samples={n}, n_neighbors={k}, recall={self.recall!r})"


def _target(value) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"target_recall must be a number or None, got {type(value).__name__}")
    value = float(value)
    if not 0.0 < value <= 1.0:
        raise ValueError(f"target_recall must be in (0, 1], got {value}")
    return value


def knn_graph(data, n_neighbors=15, metric="euclidean", *, n_jobs=-1, seed=0,
              target_recall=None, verbose=False):
    """The approximate k-nearest-neighbour graph of the rows of `data`.

    Parameters
    ----------
    data : array-like of shape (n_samples, n_features)
        The rows; converted to float32 (copied only when needed).
    n_neighbors : int, default 15
        Neighbours per row, the row itself included (the layout UMAP's
        ``precomputed_knn`` and PyNNDescent's ``neighbor_graph`` use).
    metric : {"euclidean", "cosine"}, default "euclidean"
    n_jobs : int or None, default -1
        Worker threads; None or -1 for every logical CPU.
    seed : int, default 0
        Seed of the random partitions and of the recall sample; the same
        seed gives the same graph whatever the number of threads.
    target_recall : float in (0, 1] or None, default None
        When given, the recall@(n_neighbors - 1) of the graph (the row
        itself left out) is measured on a sample of 1000 rows against their
        exact neighbours, and the graph is built again with more effort,
        rung by rung, until the sample meets the target. The measured figure
        is the result's `recall`.
    verbose : bool, default False
        Show on standard error which stage runs, how far it is and the time
        left, updated while the work runs.

    Returns
    -------
    KnnGraph
        The pair ``(indices, distances)``:

        indices : ndarray of shape (n_samples, n_neighbors), int64
            Row i's neighbours, nearest first; column 0 is i itself.
        distances : ndarray of shape (n_samples, n_neighbors), float32
            Their distances (Euclidean, or cosine distance 1 - cos); column
            0 is 0.

        Its `recall` is the measured recall with `target_recall`, else None.

    Raises
    ------
    ValueError
        If `data` is not 2-D, empty, holds NaN or infinity, or if
        n_neighbors is below 1 or above the number of rows, or target_recall
        is outside (0, 1].
    TypeError
        If an argument has the wrong type.

    Warns
    -----
    RuntimeWarning
        When even the highest effort leaves the sample below target_recall;
        the graph of that effort is returned, with its measured recall.

    Notes
    -----
    Measuring costs about one brute-force pass over the data per sampled
    row (in matrix products), a small share of a build on large data.
    """
    x = as_matrix(data, "data")
    k = count(n_neighbors, "n_neighbors", minimum=1)
    if k > x.shape[0]:
        raise ValueError(f"n_neighbors={k} is larger than the number of rows ({x.shape[0]})")
    metric = metric_name(metric)
    jobs, seed = workers(n_jobs), seed_value(seed)
    target = None if target_recall is None else _target(target_recall)

    def build(route):
        indices, distances, stride = _velnor._knn_graph(x, k - 1, metric, jobs, seed, **route,
                                                        verbose=bool(verbose))
        return indices.reshape(-1, stride).astype(np.int64), distances.reshape(-1, stride)

    if target is None:
        return KnnGraph(*build(_ROUTE))
    if k == 1:  # only the rows themselves: nothing to miss
        return KnnGraph(*build(_ROUTE), recall=1.0)
    sample = sample_rows(x.shape[0], min(_RECALL_SAMPLE, x.shape[0]), seed)
    for route in _LADDER:
        indices, distances = build(route)
        found = np.ascontiguousarray(indices[sample, 1:], dtype=np.uint32)
        recall = _velnor._sample_recall(x, metric, sample, found, jobs)
        if recall >= target:
            break
    else:
        warnings.warn(f"knn_graph: recall@{k - 1} on a sample of {sample.size} rows is {recall:.4f} at the "
                      f"highest effort, below target_recall={target}", RuntimeWarning, stacklevel=2)
    return KnnGraph(indices, distances, recall=recall)
