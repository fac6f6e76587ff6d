"""hnswlib on the data of bench/search_driver.cpp, for ratios against it.

Fashion-MNIST: 60,000 training rows as the base, the 10,000 test rows as
held-out queries, k = 10, M=16, ef_construction=200, self-kNN at ef=64 (the
peer settings of the benchmark harness). Prints wall and CPU seconds (CPU
time spread over the threads is what the threads deliver on a shared
machine), and recall@10 with the same hit rule as the driver: a neighbour
counts when its distance is within the exact 10th distance.

Usage: python bench/hnswlib_reference.py [threads]
"""
import gzip
import os
import sys
import time

import numpy as np

K = 10
DATA = "/usr/share/datasets/fashion-mnist"


def load(name, rows):
    with gzip.open(os.path.join(DATA, name)) as f:
        raw = f.read()
    return np.frombuffer(raw, dtype=np.uint8, offset=16)[: rows * 784].reshape(rows, 784).astype(np.float32)


def sq_dists(a, b):
    d = (a * a).sum(1)[:, None] + (b * b).sum(1)[None, :] - 2.0 * a @ b.T
    return np.maximum(d, 0)


def kth_exact(queries, base, exclude=None):
    """Exact 10th squared distance per query, from float64 on a shortlist."""
    out = np.empty(len(queries))
    for s in range(0, len(queries), 500):
        q = queries[s : s + 500]
        approx = sq_dists(q, base)
        if exclude is not None:
            approx[np.arange(len(q)), exclude[s : s + 500]] = np.inf
        short = np.argpartition(approx, 64, axis=1)[:, :64]
        exact = ((q[:, None, :].astype(np.float64) - base[short].astype(np.float64)) ** 2).sum(-1)
        out[s : s + 500] = np.sort(exact, axis=1)[:, K - 1]
    return out


def recall(labels, queries, base, kth):
    d = ((queries[:, None, :].astype(np.float64) - base[labels].astype(np.float64)) ** 2).sum(-1)
    return float((d <= kth[:, None] * (1 + 1e-6)).mean())


def timed(f):
    w, c = time.perf_counter(), time.process_time()
    out = f()
    return out, time.perf_counter() - w, time.process_time() - c


def main():
    import hnswlib

    threads = int(sys.argv[1]) if len(sys.argv) > 1 else 2
    base = load("train-images-idx3-ubyte.gz", 60000)
    queries = load("t10k-images-idx3-ubyte.gz", 10000)
    kth = kth_exact(queries, base)
    sample = np.arange(0, 60000, 30)
    self_kth = kth_exact(base[sample], base, exclude=sample)

    def build():
        index = hnswlib.Index(space="l2", dim=784)
        index.init_index(max_elements=60000, M=16, ef_construction=200, random_seed=100)
        index.add_items(base, num_threads=threads)
        return index

    index, bw, bc = timed(build)
    print(f"hnswlib build: {bw:.3f} s wall, {bc:.3f} s cpu ({threads} threads)")
    print("  ef  recall@10  QPS(wall)  QPS(cpu)")
    for ef in (10, 16, 24, 32, 48, 64, 96, 128):
        index.set_ef(ef)
        (labels, _), w, c = timed(lambda: index.knn_query(queries, k=K, num_threads=threads))
        print(f"{ef:4d}  {recall(labels, queries, base, kth):9.4f}  {10000 / w:9.0f}  {10000 / (c / threads):8.0f}")
    index.set_ef(64)
    (labels, _), w, c = timed(lambda: index.knn_query(base, k=K + 1, num_threads=threads))
    rows = labels[sample]
    own = rows == sample[:, None]
    # Drop the row itself (or the last column when it was not returned).
    drop = np.where(own.any(1), own.argmax(1), K)
    keep = np.ones_like(rows, dtype=bool)
    keep[np.arange(len(rows)), drop] = False
    picked = rows[keep].reshape(len(rows), K)
    print(f"hnswlib self-kNN ef=64: {w:.3f} s wall, {c:.3f} s cpu, recall@10 "
          f"{recall(picked, base[sample], base, self_kth):.4f}")
    print(f"hnswlib build + self-kNN: {bw + w:.3f} s wall, {bc + c:.3f} s cpu")


if __name__ == "__main__":
    main()
