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
