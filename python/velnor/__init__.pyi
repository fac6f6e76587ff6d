from velnor._velnor import VelnorIndex as VelnorIndex
from velnor._velnor import __version__ as __version__
from velnor._velnor import build_and_query as build_and_query
from velnor._velnor import build_and_self_knn as build_and_self_knn
from velnor._velnor import hnsw_self_knn as hnsw_self_knn
from velnor.index import Index as Index
from velnor.knn import KnnGraph as KnnGraph
from velnor.knn import knn_graph as knn_graph
from velnor.transformer import KNeighborsTransformer as KNeighborsTransformer

__all__ = [
    "Index",
    "KNeighborsTransformer",
    "KnnGraph",
    "VelnorIndex",
    "__version__",
    "build_and_query",
    "build_and_self_knn",
    "hnsw_self_knn",
    "knn_graph",
]
