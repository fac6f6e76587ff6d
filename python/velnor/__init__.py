"""velnor: graph indexes for approximate nearest-neighbour search."""

from velnor._velnor import __version__, build_and_self_knn, hnsw_self_knn

__all__ = ["__version__", "build_and_self_knn", "hnsw_self_knn"]
