"""Exact k-nearest-neighbour ground truth, computed with NumPy and cached.

Candidates come from a float32 GEMM (|q|^2 - 2 q.x + |x|^2); the best
k + EXTRA of them are re-ranked in float64 by direct differences
(measures.exact_sq_dists). A row whose float32 cut-off is not safely beyond
its k-th float64 distance is recomputed against every base row in float64,
so the result is exact whatever the rounding of the GEMM.

Self-kNN truth is computed for a fixed random sample of rows (all rows when
n is at most the sample size): recall of a whole graph is estimated on them.
"""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np

from bench.data import CACHE_DIR, Dataset
from bench.measures import exact_sq_dists

EXTRA = 24            # candidates kept beyond k from the float32 pass
REL_ERROR = 1e-5      # generous bound on float32 GEMM error, relative to |q|^2 + |x|^2
BLOCK_FLOATS = 1 << 25  # float32 distance entries per block (128 MiB)
SAMPLE_SEED = 12345


def _sorted_by_dist_then_id(ids: np.ndarray, sq: np.ndarray):
    order = np.lexsort((ids, sq), axis=-1)
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(sq, order, axis=1)


def exact_knn(base: np.ndarray, queries: np.ndarray, k: int,
              exclude: np.ndarray | None = None):
    """The exact k nearest base rows of every query, ties broken by lower id.

    exclude[i], when given, is a base id that query i may not return (its own
    row, for self-kNN). Returns (ids int64 (m, k), squared distances float64).
    """
    n, m = base.shape[0], queries.shape[0]
    want = k + (1 if exclude is not None else 0)
    take = min(n, want + EXTRA)
    base_norms = np.einsum("ij,ij->i", base, base, dtype=np.float64).astype(np.float32)
    max_norm = float(base_norms.max()) if n else 0.0
    out_ids = np.empty((m, k), dtype=np.int64)
    out_sq = np.empty((m, k), dtype=np.float64)
    block = max(1, BLOCK_FLOATS // max(1, n))
    for start in range(0, m, block):
        stop = min(m, start + block)
        q = np.ascontiguousarray(queries[start:stop], dtype=np.float32)
        q_norms = np.einsum("ij,ij->i", q, q, dtype=np.float64)
        approx = base_norms[None, :] - 2.0 * (q @ base.T) + q_norms[:, None].astype(np.float32)
        if take < n:
            cand = np.argpartition(approx, take - 1, axis=1)[:, :take]
            cutoff = np.take_along_axis(approx, cand, axis=1).max(axis=1).astype(np.float64)
        else:
            cand = np.broadcast_to(np.arange(n), (stop - start, n))
            cutoff = np.full(stop - start, np.inf)
        sq = exact_sq_dists(base, q, cand)
        if exclude is not None:
            sq = np.where(cand == exclude[start:stop, None], np.inf, sq)
        ids, sq = _sorted_by_dist_then_id(cand, sq)
        # A base row outside the candidates has float32 distance >= cutoff; it
        # cannot beat the k-th exact distance if cutoff exceeds it by the error bound.
        unsure = cutoff - REL_ERROR * (q_norms + max_norm) <= sq[:, min(k, take) - 1]
        for row in np.flatnonzero(unsure):
            all_ids = np.arange(n)[None, :]
            all_sq = exact_sq_dists(base, q[row:row + 1], all_ids)
            if exclude is not None:
                all_sq[0, exclude[start + row]] = np.inf
            ids[row, :k], sq[row, :k] = (a[0, :k] for a in _sorted_by_dist_then_id(all_ids, all_sq))
        out_ids[start:stop] = ids[:, :k]
        out_sq[start:stop] = sq[:, :k]
    return out_ids, out_sq


def _cached(path: Path, compute):
    if path.exists():
        with np.load(path) as f:
            return {key: f[key] for key in f.files}
    result = compute()
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp.npz")
    np.savez(tmp, **result)
    os.replace(tmp, path)
    return result


def heldout_truth(ds: Dataset, k: int) -> dict:
    """ids and squared distances of the exact k nearest base rows of every query."""
    path = CACHE_DIR / f"truth-{ds.name}-q{ds.n_queries}-heldout-k{k}.npz"

    def compute():
        base, queries = ds.load()
        ids, sq = exact_knn(base, queries, k)
        return {"ids": ids, "sq": sq}
    return _cached(path, compute)


def self_truth(ds: Dataset, k: int, sample: int) -> dict:
    """Exact k nearest other rows for a fixed sample of rows ('rows')."""
    path = CACHE_DIR / f"truth-{ds.name}-self-k{k}-sample{sample}.npz"

    def compute():
        base, _ = ds.load()
        n = base.shape[0]
        if n <= sample:
            rows = np.arange(n, dtype=np.int64)
        else:
            rows = np.sort(np.random.default_rng(SAMPLE_SEED).choice(n, sample, replace=False))
        ids, sq = exact_knn(base, np.asarray(base[rows]), k, exclude=rows)
        return {"rows": rows, "ids": ids, "sq": sq}
    return _cached(path, compute)
