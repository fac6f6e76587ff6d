from typing import Final, final

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

@final
class VelnorIndex:
    """A persistent Velnor index: build once, query many."""

    def __new__(
        cls,
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
    ) -> VelnorIndex: ...
    def query(self, queries: _Matrix, n_neighbors: int, beam_l: int = 64) -> _Result:
        """Query an external set."""

# The package's own routes, private: velnor.Index and velnor.knn_graph are the interface.

_Vector = npt.NDArray[np.uint32]

def _knn_graph(
    data: _Matrix,
    k: int,
    metric: str,
    n_jobs: int,
    seed: int,
    runs: int,
    leaf_size: int,
    fanout: int,
    leaf_k: int,
    keep: int,
    joins: int,
    variance: float,
    join_sample: int,
    verbose: bool,
) -> _Result: ...
def _sample_recall(data: _Matrix, metric: str, sample: _Vector, found: _Vector, n_jobs: int) -> float: ...

@final
class _Index:
    def __new__(
        cls,
        data: _Matrix,
        metric: str,
        n_jobs: int,
        seed: int,
        runs: int,
        leaf_size: int,
        fanout: int,
        leaf_k: int,
        keep: int,
        joins: int,
        variance: float,
        r: int,
        alpha: float,
        refine_every: int,
        verbose: bool,
    ) -> _Index: ...
    def query(self, queries: _Matrix, k: int, beam_l: int, n_jobs: int) -> _Result: ...
    def estimate_recall(self, sample: _Vector, k: int, beam_l: int, n_jobs: int) -> float: ...
    def _export(
        self,
    ) -> tuple[str, npt.NDArray[np.float32], npt.NDArray[np.uint64], _Vector, _Vector, int]: ...
    @classmethod
    def _from_arrays(
        cls,
        metric: str,
        rows: _Matrix,
        offsets: npt.NDArray[np.uint64],
        neighbors: _Vector,
        order: _Vector,
        medoid: int,
        n_jobs: int,
    ) -> _Index: ...
