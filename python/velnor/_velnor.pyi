from typing import Final

import numpy as np
import numpy.typing as npt

__version__: Final[str]

_Result = tuple[npt.NDArray[np.uint32], npt.NDArray[np.float32], int]
_Matrix = npt.NDArray[np.float32]

def build_and_self_knn(
    x: _Matrix,
    n_neighbors: int,
    metric: str = "euclidean",
    m: int = 12,
    l_max: int = 64,
    r: int = 64,
    alpha: float = 1.2,
    beam_l: int = 64,
    fanout: int = 2,
    c_min: int = 256,
    c_max: int = 2048,
    runs: int = 1,
    n_jobs: int = 0,
    seed: int = 0,
) -> _Result:
    """Build the index and return self-kNN as flat arrays."""

def build_and_query(
    x: _Matrix,
    queries: _Matrix,
    n_neighbors: int,
    metric: str = "euclidean",
    m: int = 12,
    l_max: int = 64,
    r: int = 64,
    alpha: float = 1.2,
    beam_l: int = 64,
    fanout: int = 2,
    c_min: int = 256,
    c_max: int = 2048,
    runs: int = 1,
    n_jobs: int = 0,
    seed: int = 0,
) -> _Result:
    """Build a Velnor index over `x` and return k-NN for an external `queries` set."""

def hnsw_self_knn(
    x: _Matrix,
    n_neighbors: int,
    metric: str = "euclidean",
    m: int = 16,
    ef_construction: int = 200,
    ef_search: int = 64,
    quantize: str = "none",
    n_jobs: int = 0,
    seed: int = 0,
) -> _Result:
    """Build a compact HNSW index and return self-kNN in the same layout."""

class VelnorIndex:
    """A persistent Velnor index: build once, query many."""

    def __init__(
        self,
        x: _Matrix,
        metric: str = "euclidean",
        m: int = 12,
        l_max: int = 64,
        r: int = 64,
        alpha: float = 1.2,
        fanout: int = 2,
        c_min: int = 256,
        c_max: int = 2048,
        runs: int = 1,
        n_jobs: int = 0,
        seed: int = 0,
    ) -> None: ...
    def query(self, queries: _Matrix, n_neighbors: int, beam_l: int = 64) -> _Result:
        """Query an external set."""
