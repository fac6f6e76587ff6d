"""velnor: graph indexes for approximate nearest-neighbour search."""

import ctypes as _ctypes
import os as _os

import scipy_openblas32 as _openblas

# The extension links against the OpenBLAS of the scipy-openblas32 package.
# Loading it first by its full path lets the extension find it wherever the
# two packages were installed (a virtual environment over system packages,
# a user site, ...), not only side by side.
_ctypes.CDLL(_os.path.join(_openblas.get_lib_dir(), "libscipy_openblas.so"), mode=_ctypes.RTLD_GLOBAL)

from velnor._velnor import (  # noqa: E402
    VelnorIndex,
    __version__,
    build_and_query,
    build_and_self_knn,
    hnsw_self_knn,
)
from velnor.index import Index  # noqa: E402
from velnor.knn import KnnGraph, knn_graph  # noqa: E402

__all__ = ["Index", "KNeighborsTransformer", "KnnGraph", "VelnorIndex", "__version__", "build_and_query",
           "build_and_self_knn", "hnsw_self_knn", "knn_graph"]


def __getattr__(name):
    # The transformer needs scikit-learn and SciPy: imported on first use only.
    if name == "KNeighborsTransformer":
        from velnor.transformer import KNeighborsTransformer

        return KNeighborsTransformer
    raise AttributeError(f"module 'velnor' has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | {"KNeighborsTransformer"})
