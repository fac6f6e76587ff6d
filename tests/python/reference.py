"""Exact NumPy references that follow the library's f32 arithmetic to the bit."""

import numpy as np


def sq_l2_rows(a, rows):
    """Squared distances of vector a to every row, in the kernel's summation order:
    8-lane accumulators A and B fed 16 values at a time (A first), then 8 more to A,
    lanes combined pairwise, remaining values added one by one; all in float32."""
    diff = rows - a[None, :]
    sq = diff * diff
    n, d = sq.shape
    acc_a = np.zeros((n, 8), np.float32)
    acc_b = np.zeros((n, 8), np.float32)
    i = 0
    while i + 16 <= d:
        acc_a += sq[:, i:i + 8]
        acc_b += sq[:, i + 8:i + 16]
        i += 16
    if i + 8 <= d:
        acc_a += sq[:, i:i + 8]
        i += 8
    t = acc_a + acc_b
    s = (((t[:, 0] + t[:, 1]) + t[:, 2]) + t[:, 3]) + (((t[:, 4] + t[:, 5]) + t[:, 6]) + t[:, 7])
    for j in range(i, d):
        s = s + sq[:, j]
    return s


def unit_rows(x):
    """Rows scaled to unit length as a cosine dataset stores them."""
    x = np.array(x, dtype=np.float32)
    s = np.zeros(x.shape[0], np.float32)
    for j in range(x.shape[1]):
        s = s + x[:, j] * x[:, j]
    scale = np.ones_like(s)
    pos = s > 0
    scale[pos] = np.float32(1.0) / np.sqrt(s[pos])
    return x * scale[:, None]


def reported(s, metric):
    s = np.maximum(s, np.float32(0))
    return s * np.float32(0.5) if metric == "cosine" else np.sqrt(s)


def exact_self_knn(x, k, metric="euclidean"):
    """Every row's min(k+1, n) nearest rows, ties by row number, itself swapped first."""
    rows = unit_rows(x) if metric == "cosine" else np.asarray(x, np.float32)
    n = rows.shape[0]
    stride = min(k + 1, n)
    idx = np.zeros((n, stride), np.uint32)
    dist = np.zeros((n, stride), np.float32)
    for i in range(n):
        s = sq_l2_rows(rows[i], rows)
        order = np.argsort(s, kind="stable")[:stride]
        hits = np.nonzero(order == i)[0]
        if hits.size:
            p = hits[0]
            order[0], order[p] = order[p], order[0]
        idx[i] = order
        dist[i] = reported(s[order], metric)
    return idx.ravel(), dist.ravel(), stride
