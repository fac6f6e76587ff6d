"""velnor: graph indexes for approximate nearest-neighbour search."""

from velnor._velnor import VelnorIndex, __version__, build_and_query, build_and_self_knn

__all__ = ["VelnorIndex", "__version__", "build_and_query", "build_and_self_knn"]
