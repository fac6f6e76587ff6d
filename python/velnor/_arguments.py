"""Argument conversion shared by the package's functions and classes."""

from __future__ import annotations

import numbers
import os

import numpy as np

_METRICS = {"euclidean": "euclidean", "l2": "euclidean", "euclidian": "euclidean",
            "cosine": "cosine", "angular": "cosine"}


def as_matrix(data, name: str) -> np.ndarray:
    """`data` as a 2-D float32 array; a copy only when its dtype is not float32."""
    try:
        array = np.asarray(data, dtype=np.float32)
    except (TypeError, ValueError) as e:
        raise ValueError(f"{name} must be a 2-D array of numbers: {e}") from None
    if array.ndim != 2:
        raise ValueError(f"{name} must be a 2-D array, got {array.ndim} dimension(s)")
    if array.shape[0] == 0:
        raise ValueError(f"{name} has no rows")
    if not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    return array


def metric_name(metric) -> str:
    """The canonical name of a metric: 'euclidean' or 'cosine'."""
    if not isinstance(metric, str):
        raise TypeError(f"metric must be a str, got {type(metric).__name__}")
    canonical = _METRICS.get(metric.lower())
    if canonical is None:
        raise ValueError(f"unsupported metric: {metric!r} (use 'euclidean' or 'cosine')")
    return canonical


def count(value, name: str, minimum: int = 0) -> int:
    """An integer argument at least `minimum` (bool refused)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    value = int(value)
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}")
    return value


def workers(n_jobs) -> int:
    """Worker threads for n_jobs, joblib's way: None or -1 means every logical CPU,
    -2 all but one, and so on; the core's 0 stands for every CPU."""
    if n_jobs is None:
        return 0
    if isinstance(n_jobs, bool) or not isinstance(n_jobs, numbers.Integral):
        raise TypeError(f"n_jobs must be an int or None, got {type(n_jobs).__name__}")
    n_jobs = int(n_jobs)
    if n_jobs == 0:
        raise ValueError("n_jobs == 0 has no meaning: use None or -1 for every CPU, or a positive count")
    if n_jobs == -1:
        return 0
    if n_jobs < 0:
        return max(1, (os.cpu_count() or 1) + 1 + n_jobs)
    return n_jobs


def seed_value(seed) -> int:
    """A seed in [0, 2**64)."""
    seed = count(seed, "seed")
    if seed >= 2**64:
        raise ValueError(f"seed must be below 2**64, got {seed}")
    return seed


def sample_rows(n: int, size: int, seed: int) -> np.ndarray:
    """`size` distinct row numbers below n, drawn uniformly with `seed`, as uint32."""
    return np.random.default_rng(seed).choice(n, size, replace=False).astype(np.uint32)
