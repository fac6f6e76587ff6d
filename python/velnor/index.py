"""A reusable index for k-nearest-neighbour queries."""

from __future__ import annotations

import numpy as np

from velnor import _velnor
from velnor._arguments import as_matrix, count, metric_name, seed_value, workers

# The build's settings, chosen by measurement over the benchmark's datasets.
_BUILD = dict(runs=3, leaf_size=512, fanout=2, leaf_k=32, keep=32, joins=1, variance=0.93,
              r=64, alpha=1.2)
# Search width when the caller gives none.
_DEFAULT_BEAM = 32


class Index:
    """An approximate nearest-neighbour index over the rows of `data`.

    Parameters
    ----------
    data : array-like of shape (n_samples, n_features)
        The rows to index; converted to float32 (copied only when needed).
        The index keeps its own copy: later changes to `data` do not reach it.
    metric : {"euclidean", "cosine"}, default "euclidean"
        "cosine" ranks by the cosine distance 1 - cos(a, b).
    n_jobs : int or None, default -1
        Worker threads for the build and for queries; None or -1 for every
        logical CPU.
    seed : int, default 0
        Seed of the build's random partitions; the same seed gives the same
        index whatever the number of threads.
    verbose : bool, default False
        Show on standard error which stage of the build runs, how far it is
        and the time left, updated while the work runs.

    Raises
    ------
    ValueError
        If `data` is not 2-D, empty, or holds NaN or infinity, or an argument
        is out of range.
    TypeError
        If an argument has the wrong type.
    """

    def __init__(self, data, metric="euclidean", *, n_jobs=-1, seed=0, verbose=False):
        x = as_matrix(data, "data")
        self._metric = metric_name(metric)
        self._n_jobs = workers(n_jobs)
        self._core = _velnor._Index(x, self._metric, self._n_jobs, seed_value(seed), **_BUILD,
                                    verbose=bool(verbose))
        self._shape = x.shape

    @property
    def metric(self) -> str:
        """The metric the index ranks by: "euclidean" or "cosine"."""
        return self._metric

    @property
    def dim(self) -> int:
        """Number of features of each row."""
        return self._shape[1]

    def __len__(self) -> int:
        return self._shape[0]

    def __repr__(self) -> str:
        return f"velnor.Index(n={self._shape[0]}, dim={self._shape[1]}, metric={self._metric!r})"

    def query(self, queries, k=10, beam_l=None):
        """The k nearest indexed rows of each query row.

        Parameters
        ----------
        queries : array-like of shape (n_queries, n_features)
        k : int, default 10
            Neighbours per query; at most the number of indexed rows.
        beam_l : int or None, default None
            Search width: larger is slower and finds more of the true
            neighbours. None uses the index's default; values below k
            search with width k.

        Returns
        -------
        indices : ndarray of shape (n_queries, k), int64
            Row numbers of the neighbours, nearest first.
        distances : ndarray of shape (n_queries, k), float32
            Their distances (Euclidean, or cosine distance 1 - cos).

        Raises
        ------
        ValueError
            If `queries` is not 2-D, has another number of features, holds
            NaN or infinity, or if k is below 1 or above the number of rows.
        """
        q = np.asarray(queries, dtype=np.float32)
        if q.ndim != 2:
            raise ValueError(f"queries must be a 2-D array, got {q.ndim} dimension(s)")
        if q.shape[1] != self.dim:
            raise ValueError(f"queries have {q.shape[1]} features, the index has {self.dim}")
        k = count(k, "k", minimum=1)
        if k > len(self):
            raise ValueError(f"k={k} is larger than the number of indexed rows ({len(self)})")
        beam = _DEFAULT_BEAM if beam_l is None else count(beam_l, "beam_l", minimum=1)
        if q.shape[0] == 0:
            return np.empty((0, k), np.int64), np.empty((0, k), np.float32)
        indices, distances, stride = self._core.query(q, k, beam, self._n_jobs)
        return indices.reshape(-1, stride).astype(np.int64), distances.reshape(-1, stride)
