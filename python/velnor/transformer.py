"""A scikit-learn transformer into sparse kNN graphs, over velnor's index.

This module imports scikit-learn and SciPy; ``import velnor`` imports it only
when ``velnor.KNeighborsTransformer`` is first used.
"""

from __future__ import annotations

import numpy as np
from scipy.sparse import csr_matrix
from sklearn.base import BaseEstimator, TransformerMixin
from sklearn.utils.validation import check_is_fitted, validate_data

from velnor._arguments import count, metric_name
from velnor.index import Index

_MODES = ("distance", "connectivity")


class KNeighborsTransformer(TransformerMixin, BaseEstimator):
    """Every row's approximate nearest neighbours as a sparse graph.

    A drop-in for :class:`sklearn.neighbors.KNeighborsTransformer` that
    searches a :class:`velnor.Index` instead of exact neighbours: its graphs
    go into estimators that take ``metric="precomputed"`` (Isomap, t-SNE,
    DBSCAN, spectral clustering, ...), usually in a
    :class:`~sklearn.pipeline.Pipeline`.

    Parameters
    ----------
    n_neighbors : int, default 5
        Neighbours of each row. In "distance" mode each row of the graph
        holds n_neighbors + 1 entries, since on the fitted data the row
        itself comes first, at distance zero (stored explicitly); in
        "connectivity" mode it holds n_neighbors, the row itself included.
    mode : {"distance", "connectivity"}, default "distance"
        "distance" stores the distances, "connectivity" stores ones.
    metric : {"euclidean", "cosine"}, default "euclidean"
        "cosine" is the cosine distance 1 - cos(a, b).
    n_jobs : int or None, default None
        Worker threads; None or -1 for every logical CPU.
    seed : int, default 0
        Seed of the index's build; the same seed gives the same graphs.
    beam_l : int or None, default None
        Search width of the queries; None for the index's default. Larger
        finds more of the true neighbours, slower.

    Attributes
    ----------
    index_ : velnor.Index
        The index over the fitted rows.
    n_features_in_ : int
        Number of features seen during `fit`.
    n_samples_fit_ : int
        Number of rows fitted.

    See Also
    --------
    velnor.knn_graph : The kNN graph of a data set as dense arrays.

    Notes
    -----
    Needs scikit-learn (1.6 or newer) and SciPy. Each graph row lists its
    neighbours nearest first, as scikit-learn's transformer does; the data
    are float64 distances (computed in float32).

    Examples
    --------
    >>> from sklearn.manifold import Isomap
    >>> from sklearn.pipeline import make_pipeline
    >>> import velnor
    >>> embed = make_pipeline(velnor.KNeighborsTransformer(n_neighbors=10),
    ...                       Isomap(n_neighbors=10, metric="precomputed"))
    """

    def __init__(self, n_neighbors=5, *, mode="distance", metric="euclidean", n_jobs=None, seed=0,
                 beam_l=None):
        self.n_neighbors = n_neighbors
        self.mode = mode
        self.metric = metric
        self.n_jobs = n_jobs
        self.seed = seed
        self.beam_l = beam_l

    def fit(self, X, y=None):
        """Builds the index over the rows of X.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to fit; dense, finite.
        y : None
            Ignored.

        Returns
        -------
        KNeighborsTransformer
            This transformer, fitted.

        Raises
        ------
        ValueError
            If X is not 2-D, empty, holds NaN or infinity, or a parameter is
            out of range.
        TypeError
            If X is sparse or a parameter has the wrong type.
        """
        count(self.n_neighbors, "n_neighbors", minimum=1)
        if self.mode not in _MODES:
            raise ValueError(f"mode must be 'distance' or 'connectivity', got {self.mode!r}")
        metric = metric_name(self.metric)
        X = validate_data(self, X, dtype=np.float32)
        self.index_ = Index(X, metric, n_jobs=self.n_jobs, seed=self.seed)
        self.n_samples_fit_ = X.shape[0]
        return self

    def transform(self, X):
        """The neighbours of each row of X among the fitted rows.

        Parameters
        ----------
        X : array-like of shape (n_queries, n_features)
            The rows to look up; dense, finite. The fitted rows themselves
            give the graph of the fitted data.

        Returns
        -------
        scipy.sparse.csr_matrix of shape (n_queries, n_samples_fit)
            Row i holds the neighbours of X[i], nearest first: n_neighbors + 1
            distances in "distance" mode, n_neighbors ones in "connectivity"
            mode.

        Raises
        ------
        ValueError
            If X has another number of features than the fitted data, holds
            NaN or infinity, or the graph asks for more neighbours than rows
            were fitted.
        sklearn.exceptions.NotFittedError
            If the transformer is not fitted.
        """
        check_is_fitted(self)
        X = validate_data(self, X, dtype=np.float32, reset=False)
        k = self.n_neighbors + (self.mode == "distance")
        if k > self.n_samples_fit_:
            raise ValueError(f"Expected n_neighbors <= n_samples_fit, but n_neighbors = {k}, "
                             f"n_samples_fit = {self.n_samples_fit_}, n_samples = {X.shape[0]}")
        indices, distances = self.index_.query(X, k, beam_l=self.beam_l)
        n_queries = X.shape[0]
        data = distances.ravel().astype(np.float64) if self.mode == "distance" else np.ones(n_queries * k)
        indptr = np.arange(0, n_queries * k + 1, k)
        return csr_matrix((data, indices.ravel(), indptr), shape=(n_queries, self.n_samples_fit_))

    def fit_transform(self, X, y=None):
        """Fits on X and returns the graph of X: ``fit(X).transform(X)``.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The rows to fit; dense, finite.
        y : None
            Ignored.

        Returns
        -------
        scipy.sparse.csr_matrix of shape (n_samples, n_samples)
            Row i holds i itself at distance zero, then its nearest rows.

        Raises
        ------
        ValueError, TypeError
            As `fit` and `transform` raise them.
        """
        return self.fit(X).transform(X)
