"""Benchmark datasets, cached as .npy files under bench/cache/.

Fashion-MNIST comes from the Debian package dataset-fashion-mnist (installed
here if missing): the 60,000 training images are the base, the 10,000 test
images the held-out queries, 784 pixels each as float32 in 0..255.

The synthetic set is a Gaussian mixture of low-dimensional clusters embedded
in 128 dimensions, generated from a seed in blocks, so a million rows fit
comfortably.
"""

from __future__ import annotations

import dataclasses
import gzip
import os
import shutil
import subprocess
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
CACHE_DIR = BENCH_DIR / "cache"
FASHION_DIR = Path("/usr/share/datasets/fashion-mnist")
FASHION_FILES = {"base": "train-images-idx3-ubyte.gz", "queries": "t10k-images-idx3-ubyte.gz"}
FASHION_PACKAGE = "dataset-fashion-mnist"
SYNTHETIC_VERSION = 1  # part of the cached file names: raise it when the generator changes


@dataclasses.dataclass(frozen=True)
class Dataset:
    """A base matrix and its held-out queries, both float32 .npy files.

    n and n_queries may be smaller than the files: the first rows are used.
    """

    name: str
    base_path: str
    queries_path: str
    n: int
    n_queries: int
    description: str

    def load(self):
        """(base, queries) as copy-on-write memory maps of the rows in use."""
        base = np.load(self.base_path, mmap_mode="c")[: self.n]
        queries = np.load(self.queries_path, mmap_mode="c")[: self.n_queries]
        return base, queries

    @property
    def d(self) -> int:
        return int(np.load(self.base_path, mmap_mode="r").shape[1])

    def to_json(self) -> dict:
        return dataclasses.asdict(self)


def read_idx_images(path: Path) -> np.ndarray:
    """An IDX3 image file (gzip) as a (count, rows*cols) uint8 array."""
    with gzip.open(path, "rb") as f:
        raw = f.read()
    magic = int.from_bytes(raw[0:4], "big")
    if magic != 0x00000803:
        raise ValueError(f"{path}: not an IDX3 unsigned-byte file (magic {magic:#010x})")
    count, rows, cols = (int.from_bytes(raw[i:i + 4], "big") for i in (4, 8, 12))
    pixels = np.frombuffer(raw, dtype=np.uint8, offset=16)
    if pixels.size != count * rows * cols:
        raise ValueError(f"{path}: {pixels.size} pixels, header says {count}x{rows}x{cols}")
    return pixels.reshape(count, rows * cols)


def install_fashion_mnist() -> None:
    """Install the Debian package if its image files are missing."""
    if all((FASHION_DIR / f).exists() for f in FASHION_FILES.values()):
        return
    if shutil.which("apt-get") is None or os.geteuid() != 0:
        raise RuntimeError(
            f"Fashion-MNIST is missing from {FASHION_DIR}; install it as root with "
            f"'apt-get update && apt-get install -y {FASHION_PACKAGE}'")
    print(f"installing {FASHION_PACKAGE} (apt-get update; apt-get install -y)", flush=True)
    subprocess.run(["apt-get", "update"], check=True)
    subprocess.run(["apt-get", "install", "-y", FASHION_PACKAGE], check=True)


def _save(path: Path, array: np.ndarray) -> None:
    """Write an .npy atomically, so an interrupted run leaves no half file."""
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp.npy")
    np.save(tmp, array)
    os.replace(tmp, path)


def fashion_mnist(n: int | None = None, n_queries: int | None = None,
                  install: bool = True) -> Dataset:
    """Fashion-MNIST, optionally cut to its first n base rows and n_queries queries."""
    paths = {part: CACHE_DIR / f"fashion-mnist-{part}.npy" for part in FASHION_FILES}
    if not all(p.exists() for p in paths.values()):
        if install:
            install_fashion_mnist()
        for part, file in FASHION_FILES.items():
            _save(paths[part], read_idx_images(FASHION_DIR / file).astype(np.float32))
    full_n = np.load(paths["base"], mmap_mode="r").shape[0]
    full_q = np.load(paths["queries"], mmap_mode="r").shape[0]
    n = full_n if n is None else min(n, full_n)
    n_queries = full_q if n_queries is None else min(n_queries, full_q)
    name = "fashion-mnist" if n == full_n else f"fashion-mnist-{n}"
    queries = f", {n_queries} test images as queries" if n_queries else ""
    return Dataset(name, str(paths["base"]), str(paths["queries"]), n, n_queries,
                   f"Fashion-MNIST, {n} training images as base{queries}, "
                   "784-d raw pixels (0..255) as float32, L2")


def _clustered_rows(rng: np.random.Generator, count: int, centers, bases, scales,
                    weights, noise: float) -> np.ndarray:
    cluster = rng.choice(len(weights), size=count, p=weights)
    latent = rng.standard_normal((count, bases.shape[1]), dtype=np.float32)
    rows = noise * rng.standard_normal((count, centers.shape[1]), dtype=np.float32)
    for c in np.unique(cluster):
        members = cluster == c
        rows[members] += centers[c] + scales[c] * (latent[members] @ bases[c])
    return rows


def synthetic(n: int = 200_000, d: int = 128, n_queries: int = 10_000,
              seed: int = 0) -> Dataset:
    """A clustered synthetic set: max(16, n // 1000) clusters, each a random
    12-dimensional linear patch of its own scale around a centre, plus noise."""
    name = f"synthetic-{n}x{d}"
    paths = {part: CACHE_DIR / f"{name}-seed{seed}-v{SYNTHETIC_VERSION}-{part}.npy"
             for part in ("base", "queries")}
    if not all(p.exists() for p in paths.values()):
        rng = np.random.default_rng(seed)
        clusters, latent_dim = max(16, n // 1000), 12
        centers = rng.standard_normal((clusters, d), dtype=np.float32)
        bases = rng.standard_normal((clusters, latent_dim, d), dtype=np.float32) / np.sqrt(d)
        scales = rng.uniform(1.0, 4.0, size=clusters).astype(np.float32)
        weights = rng.dirichlet(np.full(clusters, 2.0))
        model = (centers, bases, scales, weights, 0.1)
        CACHE_DIR.mkdir(parents=True, exist_ok=True)
        for part, count in (("base", n), ("queries", n_queries)):
            tmp = paths[part].with_suffix(".tmp.npy")
            out = np.lib.format.open_memmap(tmp, mode="w+", dtype=np.float32, shape=(count, d))
            for start in range(0, count, 50_000):
                stop = min(count, start + 50_000)
                out[start:stop] = _clustered_rows(rng, stop - start, *model)
            out.flush()
            del out
            os.replace(tmp, paths[part])
    return Dataset(name, str(paths["base"]), str(paths["queries"]), n, n_queries,
                   f"synthetic Gaussian mixture of 12-d linear patches in {d}-d "
                   f"(seed {seed}), {n} base rows, {n_queries} held-out queries, L2")
