"""kNN graphs: every row's nearest rows, itself first."""

from __future__ import annotations

import numpy as np

from velnor import _velnor
from velnor._arguments import as_matrix, count, metric_name, seed_value, workers

# The route's settings, chosen by measurement over the benchmark's datasets.
_ROUTE = dict(runs=3, leaf_size=512, fanout=2, leaf_k=32, keep=16, joins=1, variance=0.93)


def knn_graph(data, n_neighbors=15, metric="euclidean", *, n_jobs=-1, seed=0, verbose=False):
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
        Seed of the random partitions; the same seed gives the same graph
        whatever the number of threads.
    verbose : bool, default False
        Show on standard error which stage runs, how far it is and the time
        left, updated while the work runs.

    Returns
    -------
    indices : ndarray of shape (n_samples, n_neighbors), int64
        Row i's neighbours, nearest first; column 0 is i itself.
    distances : ndarray of shape (n_samples, n_neighbors), float32
        Their distances (Euclidean, or cosine distance 1 - cos); column 0 is 0.

    Raises
    ------
    ValueError
        If `data` is not 2-D, empty, holds NaN or infinity, or if
        n_neighbors is below 1 or above the number of rows.
    """
    x = as_matrix(data, "data")
    k = count(n_neighbors, "n_neighbors", minimum=1)
    if k > x.shape[0]:
        raise ValueError(f"n_neighbors={k} is larger than the number of rows ({x.shape[0]})")
    indices, distances, stride = _velnor._knn_graph(
        x, k - 1, metric_name(metric), workers(n_jobs), seed_value(seed), **_ROUTE,
        verbose=bool(verbose))
    return (indices.reshape(-1, stride).astype(np.int64), distances.reshape(-1, stride))
