"""Measures shared by the harness: exact distances, recall, timing, curves.

Everything here is plain NumPy and small enough to test on its own
(see test_helpers.py).
"""

from __future__ import annotations

import math
import statistics
import time

import numpy as np

# Rows per block when gathering neighbour rows, so that a block of
# rows x width x d float64 values stays near 64 MiB.
_BLOCK_BYTES = 64 << 20


def exact_sq_dists(base: np.ndarray, rows: np.ndarray, ids: np.ndarray) -> np.ndarray:
    """Squared Euclidean distances, in float64, from rows[i] to base[ids[i, j]].

    Entries with a negative id (a system found no neighbour) are +inf.
    The same function ranks the ground truth and scores every system, so a
    returned neighbour that ties the k-th exact neighbour gets the very same
    float64 value.
    """
    ids = np.asarray(ids, dtype=np.int64)
    m, width = ids.shape
    out = np.full((m, width), np.inf)
    if m == 0 or width == 0:
        return out
    d = base.shape[1]
    block = max(1, _BLOCK_BYTES // max(1, width * d * 8))
    for start in range(0, m, block):
        stop = min(m, start + block)
        block_ids = ids[start:stop]
        valid = block_ids >= 0
        gathered = np.asarray(base[np.where(valid, block_ids, 0).ravel()], dtype=np.float64)
        gathered = gathered.reshape(stop - start, width, d)
        diff = gathered - np.asarray(rows[start:stop], dtype=np.float64)[:, None, :]
        sq = np.einsum("ijk,ijk->ij", diff, diff)
        out[start:stop] = np.where(valid, sq, np.inf)
    return out


def unit_rows(x) -> np.ndarray:
    """A float32 copy of x with every row scaled to unit length (all-zero rows
    stay zero), the norms summed in float64."""
    out = np.array(x, dtype=np.float32)
    norms = np.sqrt(np.einsum("ij,ij->i", out, out, dtype=np.float64)).astype(np.float32)
    np.divide(out, norms[:, None], out=out, where=norms[:, None] > 0)
    return out


def drop_self(ids: np.ndarray, row_ids: np.ndarray, k: int) -> np.ndarray:
    """The k neighbours of each self-kNN row other than the row itself.

    A row's own id is removed wherever it appears (first occurrence); a row
    that does not list itself keeps its first k entries.
    """
    ids = np.asarray(ids, dtype=np.int64)
    m, width = ids.shape
    if width == 0:
        return ids
    is_self = ids == np.asarray(row_ids, dtype=np.int64)[:, None]
    dropped = np.where(is_self.any(axis=1), is_self.argmax(axis=1), width - 1)
    keep = np.arange(width)[None, :] != dropped[:, None]
    return ids[keep].reshape(m, width - 1)[:, :k]


def recall_at_k(base: np.ndarray, rows: np.ndarray, ids: np.ndarray,
                kth_sq: np.ndarray, k: int) -> float:
    """Fraction of the k returned neighbours per row that are true neighbours.

    A returned id is a hit when its exact distance is within the row's k-th
    exact distance (so ties never count against a system); an id listed twice
    in a row counts once, a missing (negative) id never.
    """
    ids = np.asarray(ids, dtype=np.int64)[:, :k]
    m = ids.shape[0]
    if m == 0 or k == 0:
        return float("nan")
    hit = exact_sq_dists(base, rows, ids) <= np.asarray(kth_sq)[:, None]
    order = np.argsort(ids, axis=1, kind="stable")
    sorted_ids = np.take_along_axis(ids, order, axis=1)
    sorted_hit = np.take_along_axis(hit, order, axis=1)
    first = np.ones_like(sorted_hit)
    first[:, 1:] = sorted_ids[:, 1:] != sorted_ids[:, :-1]
    return float((sorted_hit & first).sum()) / (m * k)


def repeat_timed(fn, budget_s: float = 2.0, max_runs: int = 5):
    """Run fn until max_runs runs or budget_s seconds in total, at least once.

    Long runs thus happen once; short ones are repeated and the median
    reported. Returns (median seconds, list of seconds, last result).
    """
    times = []
    result = None
    while True:
        result = None  # let the previous result go before the next run
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
        if len(times) >= max_runs or sum(times) >= budget_s:
            return statistics.median(times), times, result


def percentile(values, q: float) -> float:
    """The q-th percentile (0..100) of values, interpolating linearly between
    the two nearest order statistics (NumPy's default rule)."""
    if len(values) == 0:
        raise ValueError("percentile of no values")
    return float(np.percentile(np.asarray(values, dtype=np.float64), q))


def latency_summary(seconds) -> dict:
    """Median and 99th percentile of per-call latencies, in milliseconds, and
    the calls per second they add up to when made one after the other."""
    total = float(np.sum(seconds))
    return {"calls": len(seconds), "median_ms": 1e3 * percentile(seconds, 50),
            "p99_ms": 1e3 * percentile(seconds, 99),
            "qps": len(seconds) / total if total > 0 else None}


def pareto_front(points):
    """The (recall, qps) points not beaten on both measures, by ascending recall."""
    best_qps = -math.inf
    front = []
    for recall, qps in sorted(points, key=lambda p: (-p[0], -p[1])):
        if qps > best_qps:
            front.append((recall, qps))
            best_qps = qps
    return front[::-1]


def qps_at_recall(points, target: float):
    """Queries per second at a recall target, read off a sweep curve.

    Works on the Pareto front of the (recall, qps) points and interpolates
    log(qps) linearly in recall between the two points around the target.
    If even the fastest point reaches the target, its qps is returned (a lower
    bound); if no point reaches the target, None.
    """
    front = pareto_front([p for p in points if p[0] == p[0] and p[1] > 0])
    if not front or front[-1][0] < target:
        return None
    if front[0][0] >= target:
        return front[0][1]
    for (r_lo, q_lo), (r_hi, q_hi) in zip(front, front[1:]):
        if r_lo < target <= r_hi:
            t = (target - r_lo) / (r_hi - r_lo)
            return math.exp(math.log(q_lo) + t * (math.log(q_hi) - math.log(q_lo)))
    return None  # unreachable: the front is ascending and ends at or above target


def latency_at_recall(points, target: float):
    """Latency at a recall target from (recall, latency) points: the latency of
    the fastest setting that reaches it, interpolated as qps_at_recall does
    (log-linear in recall, on the front of settings not beaten on both)."""
    qps = qps_at_recall([(r, 1.0 / lat) for r, lat in points if lat and lat > 0], target)
    return None if qps is None else 1.0 / qps
