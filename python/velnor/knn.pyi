import numpy as np
import numpy.typing as npt
from typing_extensions import disjoint_base

@disjoint_base
class KnnGraph(tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]):
    recall: float | None
    def __new__(
        cls,
        indices: npt.NDArray[np.int64],
        distances: npt.NDArray[np.float32],
        recall: float | None = None,
    ) -> KnnGraph: ...
    @property
    def indices(self) -> npt.NDArray[np.int64]: ...
    @property
    def distances(self) -> npt.NDArray[np.float32]: ...

def knn_graph(
    data: npt.ArrayLike,
    n_neighbors: int = 15,
    metric: str = "euclidean",
    *,
    n_jobs: int | None = -1,
    seed: int = 0,
    target_recall: float | None = None,
) -> KnnGraph: ...
