import gzip
import os

import numpy as np
import pytest

FASHION_TRAIN = "/usr/share/datasets/fashion-mnist/train-images-idx3-ubyte.gz"


@pytest.fixture(scope="session")
def fashion():
    """The first 5,000 Fashion-MNIST training images as float32 rows of 784 pixels."""
    if not os.path.exists(FASHION_TRAIN):
        pytest.skip("dataset-fashion-mnist is not installed")
    with gzip.open(FASHION_TRAIN, "rb") as f:
        f.read(16)
        pixels = np.frombuffer(f.read(5000 * 784), dtype=np.uint8)
    return pixels.reshape(5000, 784).astype(np.float32)


def rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS")


def assert_memory_flat(call, warmup, repeats, limit=16 * 2**20):
    """Runs `call` `warmup` times, then `repeats` times, and fails when resident
    memory grew by `limit` bytes or more over the repeats."""
    for _ in range(warmup):
        call()
    before = rss_bytes()
    for _ in range(repeats):
        call()
    growth = rss_bytes() - before
    assert growth < limit, f"resident memory grew by {growth / 2**20:.1f} MiB"
