"""Exact k-nearest-neighbour ground truth, computed with NumPy and cached.

Candidates come from a float32 GEMM (|q|^2 - 2 q.x + |x|^2); the best
k + EXTRA of them are re-ranked in float64 by direct differences
(measures.exact_sq_dists). A row whose float32 cut-off is not safely beyond
its k-th float64 distance is recomputed against every base row in float64,
so the result is exact whatever the rounding of the GEMM.

Self-kNN truth is computed for a fixed random sample of rows (all rows when
n is at most the sample size): recall of a whole graph is estimated on them.

For a cosine dataset every row is first scaled to unit length (metric_rows):
there squared Euclidean distance ranks exactly as cosine distance, and the
systems are scored on the same unit rows.
"""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np

from bench.data import CACHE_DIR, Dataset
from bench.measures import exact_sq_dists, unit_rows

EXTRA = 24            # candidates kept beyond k from the float32 pass
REL_ERROR = 1e-5      # generous bound on float32 GEMM error, relative to |q|^2 + |x|^2
QUERY_BLOCK = 512     # queries per block
BASE_CHUNK = 65536    # base rows per GEMM: a block's distances stay near 128 MiB
SAMPLE_SEED = 12345


def _sorted_by_dist_then_id(ids: np.ndarray, sq: np.ndarray):
    order = np.lexsort((ids, sq), axis=-1)
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(sq, order, axis=1)


def _smallest(ids: np.ndarray, dists: np.ndarray, take: int):
    """The take entries of smallest distance in each row (in no order)."""
    if dists.shape[1] <= take:
        return ids, dists
    part = np.argpartition(dists, take - 1, axis=1)[:, :take]
    return np.take_along_axis(ids, part, axis=1), np.take_along_axis(dists, part, axis=1)


def _float32_candidates(base, base_norms, q, q_norms, take):
    """The take nearest base rows of each query by float32 GEMM distance, and the
    largest such distance among them (no other row has a smaller one)."""
    pool_ids, pool_dists = [], []
    for start in range(0, base.shape[0], BASE_CHUNK):
        chunk = np.asarray(base[start:start + BASE_CHUNK])
        approx = base_norms[None, start:start + len(chunk)] - 2.0 * (q @ chunk.T)
        approx += q_norms[:, None].astype(np.float32)
        ids = np.broadcast_to(np.arange(start, start + len(chunk)), approx.shape)
        ids, approx = _smallest(ids, approx, take)
        pool_ids.append(ids)
        pool_dists.append(approx)
    ids, dists = _smallest(np.concatenate(pool_ids, axis=1), np.concatenate(pool_dists, axis=1), take)
    return ids, dists.max(axis=1).astype(np.float64)


def _float64_candidates(base, row, take):
    """The take nearest base rows of one query by float64 distance."""
    sq = np.concatenate([
        ((np.asarray(base[s:s + BASE_CHUNK], dtype=np.float64) - row) ** 2).sum(axis=1)
        for s in range(0, base.shape[0], BASE_CHUNK)])
    return np.argpartition(sq, take - 1)[:take] if len(sq) > take else np.arange(len(sq))


def exact_knn(base: np.ndarray, queries: np.ndarray, k: int,
              exclude: np.ndarray | None = None):
    """The exact k nearest base rows of every query, ties broken by lower id.

    exclude[i], when given, is a base id that query i may not return (its own
    row, for self-kNN). Returns (ids int64 (m, k), squared distances float64).
    """
    n, m = base.shape[0], queries.shape[0]
    take = min(n, k + (1 if exclude is not None else 0) + EXTRA)
    base_norms = np.einsum("ij,ij->i", base, base, dtype=np.float64).astype(np.float32)
    max_norm = float(base_norms.max()) if n else 0.0
    out_ids = np.empty((m, k), dtype=np.int64)
    out_sq = np.empty((m, k), dtype=np.float64)
    for start in range(0, m, QUERY_BLOCK):
        stop = min(m, start + QUERY_BLOCK)
        q = np.ascontiguousarray(queries[start:stop], dtype=np.float32)
        q_norms = np.einsum("ij,ij->i", q, q, dtype=np.float64)
        cand, cutoff = _float32_candidates(base, base_norms, q, q_norms, take)
        # A base row outside the candidates has float32 distance >= cutoff; it
        # cannot beat the k-th exact distance if cutoff exceeds it by the error
        # bound. Rows where that is not sure get their candidates in float64.
        sq = exact_sq_dists(base, q, cand)
        if exclude is not None:
            sq = np.where(cand == exclude[start:stop, None], np.inf, sq)
        kth = np.sort(sq, axis=1)[:, min(k, take) - 1]
        unsure = np.flatnonzero(cutoff - REL_ERROR * (q_norms + max_norm) <= kth)
        if len(unsure):
            cand = np.array(cand)
            for row in unsure:
                cand[row] = _float64_candidates(base, q[row].astype(np.float64), take)
            sq = exact_sq_dists(base, q, cand)
            if exclude is not None:
                sq = np.where(cand == exclude[start:stop, None], np.inf, sq)
        ids, sq = _sorted_by_dist_then_id(cand, sq)
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


def metric_rows(ds: Dataset):
    """(base, queries) in which squared Euclidean distance ranks as the dataset's
    metric: the memory maps themselves for L2, unit-length copies for cosine."""
    base, queries = ds.load()
    if ds.metric == "cosine":
        return unit_rows(base), unit_rows(queries)
    return base, queries


def heldout_truth(ds: Dataset, k: int) -> dict:
    """ids and squared distances of the exact k nearest base rows of every query."""
    path = CACHE_DIR / f"truth-{ds.name}-q{ds.n_queries}-heldout-k{k}.npz"

    def compute():
        base, queries = metric_rows(ds)
        ids, sq = exact_knn(base, queries, k)
        return {"ids": ids, "sq": sq}
    return _cached(path, compute)


def self_truth(ds: Dataset, k: int, sample: int) -> dict:
    """Exact k nearest other rows for a fixed sample of rows ('rows')."""
    path = CACHE_DIR / f"truth-{ds.name}-self-k{k}-sample{sample}.npz"

    def compute():
        base, _ = metric_rows(ds)
        n = base.shape[0]
        if n <= sample:
            rows = np.arange(n, dtype=np.int64)
        else:
            rows = np.sort(np.random.default_rng(SAMPLE_SEED).choice(n, sample, replace=False))
        ids, sq = exact_knn(base, np.asarray(base[rows]), k, exclude=rows)
        return {"rows": rows, "ids": ids, "sq": sq}
    return _cached(path, compute)
