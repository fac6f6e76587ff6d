from typing import Literal

import numpy.typing as npt
from scipy.sparse import csr_matrix
from sklearn.base import BaseEstimator, TransformerMixin

from velnor.index import Index

class KNeighborsTransformer(TransformerMixin, BaseEstimator):
    n_neighbors: int
    mode: Literal["distance", "connectivity"]
    metric: str
    n_jobs: int | None
    seed: int
    beam_l: int | None
    index_: Index
    n_features_in_: int
    n_samples_fit_: int
    def __init__(
        self,
        n_neighbors: int = 5,
        *,
        mode: Literal["distance", "connectivity"] = "distance",
        metric: str = "euclidean",
        n_jobs: int | None = None,
        seed: int = 0,
        beam_l: int | None = None,
    ) -> None: ...
    def fit(self, X: npt.ArrayLike, y: None = None) -> KNeighborsTransformer: ...
    def transform(self, X: npt.ArrayLike) -> csr_matrix: ...
    def fit_transform(self, X: npt.ArrayLike, y: None = None) -> csr_matrix: ...
