"""Times hnswlib's index build (M=16, ef_construction=200) on Fashion-MNIST,
the reference for the velnor build time (bash bench/native_driver.sh build_driver).

Usage: python3 bench/hnswlib_build.py [rows] [threads]
"""
import gzip
import resource
import sys
import time

import hnswlib
import numpy as np

PATH = "/usr/share/datasets/fashion-mnist/train-images-idx3-ubyte.gz"


def load(rows):
    with gzip.open(PATH, "rb") as f:
        raw = f.read()
    return np.frombuffer(raw, dtype=np.uint8, offset=16)[: rows * 784].reshape(rows, 784).astype(np.float32)


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 60000
    threads = int(sys.argv[2]) if len(sys.argv) > 2 else 2
    x = load(rows)
    index = hnswlib.Index(space="l2", dim=x.shape[1])
    index.init_index(max_elements=rows, M=16, ef_construction=200, random_seed=0)
    index.set_num_threads(threads)
    wall0, cpu0 = time.perf_counter(), resource.getrusage(resource.RUSAGE_SELF).ru_utime
    index.add_items(x, num_threads=threads)
    wall, cpu = time.perf_counter() - wall0, resource.getrusage(resource.RUSAGE_SELF).ru_utime - cpu0
    print(f"hnswlib build {rows}x784, {threads} threads: wall {wall:.2f} s, user cpu {cpu:.2f} s")


if __name__ == "__main__":
    main()
