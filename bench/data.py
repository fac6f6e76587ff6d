"""Benchmark datasets, cached as float32 .npy files.

The cache folder is bench/cache/ (not in git), or the folder named by the
environment variable VELNOR_BENCH_CACHE.

- fashion-mnist: the Debian package dataset-fashion-mnist (installed here if
  missing): the 60,000 training images are the base, the 10,000 test images
  the held-out queries, 784 pixels each as float32 in 0..255, L2.
- synthetic: a Gaussian mixture of low-dimensional clusters embedded in 128
  dimensions, generated from a seed in blocks, so a million rows fit
  comfortably; L2.
- sentences: all-MiniLM-L6-v2 embeddings (384-d, cosine) of the distinct
  English paragraphs of this machine's man pages (bench.corpus); a seeded
  shuffle picks the held-out queries and then the base.
- hard: uniform random rows in [0, 1)^64, L2: no structure for a graph to
  use, the worst case.
"""

from __future__ import annotations

import dataclasses
import gzip
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np

from bench import corpus
from bench.install import apt_install, ensure_embedding_packages

BENCH_DIR = Path(__file__).resolve().parent
CACHE_DIR = Path(os.environ.get("VELNOR_BENCH_CACHE") or BENCH_DIR / "cache").resolve()
FASHION_DIR = Path("/usr/share/datasets/fashion-mnist")
FASHION_FILES = {"base": "train-images-idx3-ubyte.gz", "queries": "t10k-images-idx3-ubyte.gz"}
FASHION_PACKAGE = "dataset-fashion-mnist"
SYNTHETIC_VERSION = 1  # part of the cached file names: raise it when the generator changes
SENTENCES_VERSION = 1  # likewise for the paragraph extraction and the embedding
SENTENCES_BASE, SENTENCES_QUERIES, SENTENCES_MIN_BASE = 50_000, 10_000, 50_000
HARD_BASE, HARD_QUERIES, HARD_D = 100_000, 10_000, 64


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
    metric: str = "euclidean"  # or "cosine"

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


def _log(text: str) -> None:
    print(text, flush=True)


def install_fashion_mnist() -> None:
    """Install the Debian package if its image files are missing."""
    if not all((FASHION_DIR / f).exists() for f in FASHION_FILES.values()):
        apt_install([FASHION_PACKAGE], _log)


def _save(path: Path, array: np.ndarray) -> None:
    """Write an .npy atomically, so an interrupted run leaves no half file."""
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp.npy")
    np.save(tmp, array)
    os.replace(tmp, path)


def _save_blocks(path: Path, count: int, d: int, make_rows, block: int = 50_000) -> None:
    """Write a count x d float32 .npy atomically, make_rows(rows) giving each
    block of rows in turn, so that a large set never sits in memory twice."""
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp.npy")
    out = np.lib.format.open_memmap(tmp, mode="w+", dtype=np.float32, shape=(count, d))
    for start in range(0, count, block):
        stop = min(count, start + block)
        out[start:stop] = make_rows(stop - start)
    out.flush()
    del out
    os.replace(tmp, path)


def _rows(path: Path) -> int:
    return int(np.load(path, mmap_mode="r").shape[0])


def _sliced(stem: str, paths: dict, n: int | None, n_queries: int | None):
    """(name, n, n_queries) of the first n base rows and n_queries queries of
    cached files; the name carries n when it is a slice."""
    full_n, full_q = _rows(paths["base"]), _rows(paths["queries"])
    n = full_n if n is None else min(n, full_n)
    n_queries = full_q if n_queries is None else min(n_queries, full_q)
    return (stem if n == full_n else f"{stem}-{n}"), n, n_queries


def fashion_mnist(n: int | None = None, n_queries: int | None = None,
                  install: bool = True) -> Dataset:
    """Fashion-MNIST, optionally cut to its first n base rows and n_queries queries."""
    paths = {part: CACHE_DIR / f"fashion-mnist-{part}.npy" for part in FASHION_FILES}
    if not all(p.exists() for p in paths.values()):
        _log(f"  preparing Fashion-MNIST from {FASHION_DIR}")
        if install:
            install_fashion_mnist()
        for part, file in FASHION_FILES.items():
            _save(paths[part], read_idx_images(FASHION_DIR / file).astype(np.float32))
    name, n, n_queries = _sliced("fashion-mnist", paths, n, n_queries)
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
        _log(f"  generating {n} + {n_queries} synthetic rows of {d} dimensions")
        for part, count in (("base", n), ("queries", n_queries)):
            _save_blocks(paths[part], count, d,
                         lambda rows: _clustered_rows(rng, rows, *model))
    return Dataset(name, str(paths["base"]), str(paths["queries"]), n, n_queries,
                   f"synthetic Gaussian mixture of 12-d linear patches in {d}-d "
                   f"(seed {seed}), {n} base rows, {n_queries} held-out queries, L2")


def uniform_hard(n: int | None = None, n_queries: int | None = None, seed: int = 0) -> Dataset:
    """The hard set: HARD_BASE + HARD_QUERIES uniform random rows in [0, 1)^HARD_D
    (seeded, base first), optionally cut to the first n and n_queries rows."""
    stem = f"uniform-{HARD_BASE}x{HARD_D}-seed{seed}"
    paths = {part: CACHE_DIR / f"{stem}-{part}.npy" for part in ("base", "queries")}
    if not all(p.exists() for p in paths.values()):
        _log(f"  generating {HARD_BASE} + {HARD_QUERIES} uniform random rows of {HARD_D} dimensions")
        rng = np.random.default_rng(seed)
        for part, count in (("base", HARD_BASE), ("queries", HARD_QUERIES)):
            _save_blocks(paths[part], count, HARD_D,
                         lambda rows: rng.random((rows, HARD_D), dtype=np.float32))
    name, n, n_queries = _sliced("hard", paths, n, n_queries)
    return Dataset(name, str(paths["base"]), str(paths["queries"]), n, n_queries,
                   f"uniform random rows in [0, 1)^{HARD_D} (seed {seed}), {n} base rows, "
                   f"{n_queries} held-out queries drawn the same way, L2: no structure "
                   "for a graph to use, the worst case")


def _sentence_paragraphs(folder: Path, install: bool) -> dict:
    """The paragraph lists of the sentence set, extracted once and cached as JSON."""
    path = folder / "paragraphs.json"
    if path.exists():
        return json.loads(path.read_text())
    if corpus.groff_missing():
        if not install:
            raise RuntimeError("the sentence set needs groff (Debian package groff-base)")
        apt_install(["groff-base"], _log)
    files = corpus.man_page_files()
    _log(f"  rendering {len(files)} English man pages under {corpus.MAN_DIR} with groff "
         f"(about 5 minutes on 2 cores, once)")
    found = corpus.unique_paragraphs(files, jobs=os.cpu_count() or 1)
    if len(found) < SENTENCES_QUERIES + SENTENCES_MIN_BASE:
        raise RuntimeError(f"only {len(found)} distinct paragraphs in the man pages under "
                           f"{corpus.MAN_DIR}; the sentence set needs at least "
                           f"{SENTENCES_QUERIES + SENTENCES_MIN_BASE} (are the man pages installed?)")
    order = np.random.default_rng(0).permutation(len(found))
    base_n = min(SENTENCES_BASE, len(found) - SENTENCES_QUERIES)
    doc = {"source": f"English man pages under {corpus.MAN_DIR} (man*/), rendered by groff",
           "pages": len(files), "distinct_paragraphs": len(found), "shuffle_seed": 0,
           "min_words": corpus.MIN_WORDS, "min_letter_share": corpus.MIN_LETTER_SHARE,
           "queries": [found[i] for i in order[:SENTENCES_QUERIES]],
           "base": [found[i] for i in order[SENTENCES_QUERIES:SENTENCES_QUERIES + base_n]]}
    folder.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp")
    tmp.write_text(json.dumps(doc, ensure_ascii=False))
    os.replace(tmp, path)
    return doc


def _embed(folder: Path, doc: dict, install: bool) -> None:
    """Run bench.embed in a child process (torch stays out of the harness); its
    progress lines pass through, the libraries' own chatter is kept back."""
    ensure_embedding_packages(install, _log)
    total = len(doc["base"]) + len(doc["queries"])
    _log(f"  embedding {total} paragraphs with all-MiniLM-L6-v2 "
         "(once; about half an hour on 2 quiet cores, resumes if interrupted)")
    done = subprocess.run([sys.executable, "-m", "bench.embed", str(folder / "paragraphs.json"),
                           str(folder)], cwd=BENCH_DIR.parent, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        tail = "\n    ".join(done.stderr.strip().splitlines()[-15:])
        raise RuntimeError(f"embedding the paragraphs failed; last lines:\n    {tail}")


def sentences(n: int | None = None, n_queries: int | None = None, install: bool = True) -> Dataset:
    """The sentence set, optionally cut to its first n base rows and n_queries queries."""
    folder = CACHE_DIR / f"sentences-v{SENTENCES_VERSION}"
    paths = {part: folder / f"{part}.npy" for part in ("base", "queries")}
    if not all(p.exists() for p in paths.values()):
        _log("  preparing the sentence set")
        _embed(folder, _sentence_paragraphs(folder, install), install)
    meta = json.loads((folder / "paragraphs.json").read_text())
    model = json.loads((folder / "model.json").read_text())
    name, n, n_queries = _sliced("sentences", paths, n, n_queries)
    return Dataset(name, str(paths["base"]), str(paths["queries"]), n, n_queries,
                   f"sentence embeddings: {model['model']} (384-d, at most "
                   f"{model['max_seq_length']} tokens per paragraph) of distinct paragraphs "
                   f"(at least {meta['min_words']} words, mostly letters) of this machine's "
                   f"{meta['pages']} English man pages rendered by groff; "
                   f"{meta['distinct_paragraphs']} distinct paragraphs found, a seeded shuffle "
                   f"picks {n_queries} held-out queries and {n} base rows; cosine",
                   metric="cosine")
