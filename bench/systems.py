"""What each benchmarked system does, run inside its own child process.

A task gets the job description, the base and query matrices (memory maps)
and a Recorder; it times its work with measures.repeat_timed and hands the
neighbour ids it found to the recorder. Recall is scored by the parent.
"""

from __future__ import annotations

import importlib

import numpy as np

from bench.measures import repeat_timed

# Words with which a velnor entry point says it is not there yet.
_UNBUILT_WORDS = ("not built", "not yet", "not implemented", "unimplemented")


class Skip(Exception):
    """The system (or this entry point of it) is not available: skip it, say why."""


class Recorder:
    """Collects one job's figures and neighbour-id files."""

    def __init__(self, out_dir: str):
        self.out_dir = out_dir
        self.result: dict = {"build": None, "heldout": [], "self_knn": None, "notes": []}

    def _save(self, name: str, ids) -> str:
        path = f"{self.out_dir}/{name}.npy"
        np.save(path, np.asarray(ids, dtype=np.int64))
        return path

    def build(self, seconds: float, times: list[float]) -> None:
        self.result["build"] = {"seconds": seconds, "times": times}

    def heldout(self, knob: str, value, seconds: float, times: list[float], ids, n_queries: int):
        i = len(self.result["heldout"])
        self.result["heldout"].append({
            "knob": knob, "value": value, "seconds": seconds, "times": times,
            "qps": n_queries / seconds if seconds > 0 else None,
            "ids_file": self._save(f"heldout-{i}", ids)})

    def self_knn(self, seconds: float, times: list[float], ids, **extra) -> None:
        self.result["self_knn"] = {"seconds": seconds, "times": times,
                                   "ids_file": self._save("self", ids), **extra}

    def note(self, text: str) -> None:
        self.result["notes"].append(text)


def _timed(job: dict, fn, **kwargs):
    """repeat_timed with the job's own repeat settings, if it has any."""
    return repeat_timed(fn, **{**job.get("repeat", {}), **kwargs})


def _rows(flat, stride: int) -> np.ndarray:
    return np.asarray(flat).reshape(-1, stride) if stride else np.empty((0, 0))


# ---------------------------------------------------------------- velnor

def _velnor_entry(name: str):
    try:
        velnor = importlib.import_module("velnor")
    except ImportError as e:
        raise Skip(f"velnor is not installed ({e})") from None
    entry = getattr(velnor, name, None)
    if entry is None:
        raise Skip(f"velnor.{name} does not exist yet")
    return entry


def _velnor_call(entry, *args, **kwargs):
    """Call a velnor entry point; an 'unbuilt' failure becomes a Skip."""
    try:
        return entry(*args, **kwargs)
    except Exception as e:  # the extension's error types are its own choice
        if isinstance(e, NotImplementedError) or any(w in str(e).lower() for w in _UNBUILT_WORDS):
            name = getattr(entry, "__name__", "velnor")
            raise Skip(str(e) if name in str(e) else f"{name}: {e}") from None
        raise


def velnor_index(job, base, queries, rec: Recorder) -> None:
    """VelnorIndex: build once, then a beam_l sweep over the held-out queries."""
    cls = _velnor_entry("VelnorIndex")
    build_s, times, index = _timed(
        job, lambda: _velnor_call(cls, base, n_jobs=job["threads"], **job["params"]))
    rec.build(build_s, times)
    rec.note("VelnorIndex.query runs on velnor's default pool (all logical CPUs)")
    for beam_l in job["sweep"]:
        s, t, (ind, _, stride) = _timed(job, lambda: index.query(queries, job["k"], beam_l=beam_l))
        rec.heldout("beam_l", beam_l, s, t, _rows(ind, stride), len(queries))


def velnor_self(job, base, queries, rec: Recorder) -> None:
    """build_and_self_knn; the query mode comes from VELNOR_QUERY set by the parent."""
    entry = _velnor_entry("build_and_self_knn")
    s, t, (ind, _, stride) = _timed(
        job, lambda: _velnor_call(entry, base, job["k"], n_jobs=job["threads"], **job["params"]))
    rec.self_knn(s, t, _rows(ind, stride))


def velnor_hnsw(job, base, queries, rec: Recorder) -> None:
    """hnsw_self_knn, fp32 or sq8 (params carry quantize)."""
    entry = _velnor_entry("hnsw_self_knn")
    s, t, (ind, _, stride) = _timed(
        job, lambda: _velnor_call(entry, base, job["k"], n_jobs=job["threads"], **job["params"]))
    rec.self_knn(s, t, _rows(ind, stride))


# ---------------------------------------------------------------- peers

def hnswlib_hnsw(job, base, queries, rec: Recorder) -> None:
    """hnswlib: build, held-out ef sweep, then self-kNN of the base at self_ef."""
    import hnswlib
    p, threads, k = job["params"], job["threads"], job["k"]

    def build():
        index = hnswlib.Index(space="l2", dim=base.shape[1])
        index.init_index(max_elements=base.shape[0], M=p["M"],
                         ef_construction=p["ef_construction"], random_seed=p["random_seed"])
        index.add_items(base, num_threads=threads)
        return index
    build_s, times, index = _timed(job, build)
    rec.build(build_s, times)
    for ef in job["sweep"]:
        index.set_ef(ef)
        s, t, (labels, _) = _timed(job, lambda: index.knn_query(queries, k=k, num_threads=threads))
        rec.heldout("ef", ef, s, t, labels.astype(np.int64), len(queries))
    if job["self_knn"]:
        index.set_ef(p["self_ef"])
        s, t, (labels, _) = _timed(job, lambda: index.knn_query(base, k=k + 1, num_threads=threads))
        rec.self_knn(build_s + s, t, labels.astype(np.int64),
                     build_seconds=build_s, query_seconds=s, knob={"ef": p["self_ef"]})


def faiss_hnsw(job, base, queries, rec: Recorder) -> None:
    """faiss IndexHNSWFlat: build, held-out efSearch sweep, self-kNN at self_ef."""
    import faiss
    faiss.omp_set_num_threads(job["threads"])
    p, k = job["params"], job["k"]

    def build():
        index = faiss.IndexHNSWFlat(base.shape[1], p["M"])
        index.hnsw.efConstruction = p["ef_construction"]
        index.add(base)
        return index
    build_s, times, index = _timed(job, build)
    rec.build(build_s, times)
    for ef in job["sweep"]:
        index.hnsw.efSearch = ef
        s, t, (_, ids) = _timed(job, lambda: index.search(queries, k))
        rec.heldout("efSearch", ef, s, t, ids, len(queries))
    if job["self_knn"]:
        index.hnsw.efSearch = p["self_ef"]
        s, t, (_, ids) = _timed(job, lambda: index.search(base, k + 1))
        rec.self_knn(build_s + s, t, ids, build_seconds=build_s, query_seconds=s,
                     knob={"efSearch": p["self_ef"]})


def faiss_flat(job, base, queries, rec: Recorder) -> None:
    """faiss IndexFlatL2: exact held-out search and, unless skipped, exact self-kNN."""
    import faiss
    faiss.omp_set_num_threads(job["threads"])
    k = job["k"]

    def build():
        index = faiss.IndexFlatL2(base.shape[1])
        index.add(base)
        return index
    build_s, times, index = _timed(job, build)
    rec.build(build_s, times)
    if job["sweep"]:
        s, t, (_, ids) = _timed(job, lambda: index.search(queries, k))
        rec.heldout("exact", None, s, t, ids, len(queries))
    if job["self_knn"]:
        s, t, (_, ids) = _timed(job, lambda: index.search(base, k + 1))
        rec.self_knn(build_s + s, t, ids, build_seconds=build_s, query_seconds=s)


def pynndescent_graph(job, base, queries, rec: Recorder) -> None:
    """PyNNDescent kNN graph, timed on a second NNDescent in the same process.

    The first call, on the first warmup_rows rows, pays numba's compilation;
    its time is reported apart as the warm-up.
    """
    from pynndescent import NNDescent
    p = dict(job["params"])
    warmup_rows = p.pop("warmup_rows")
    kwargs = dict(n_neighbors=p["n_neighbors"], n_jobs=job["threads"])
    warm, _, _ = _timed(
        job, lambda: NNDescent(np.asarray(base[:warmup_rows]), **kwargs).neighbor_graph, max_runs=1)
    rec.note(f"time of a second NNDescent call in the process; the first (numba "
             f"compilation, {min(warmup_rows, len(base))} rows) took {warm:.1f} s")
    s, t, (ids, _) = _timed(job, lambda: NNDescent(base, **kwargs).neighbor_graph)
    rec.build(s, t)  # the kNN graph is what NNDescent builds
    rec.self_knn(s, t, ids, warmup_seconds=warm)


def numpy_exact(job, base, queries, rec: Recorder) -> None:
    """Exact self-kNN by one float32 GEMM, BLAS limited to the job's threads."""
    from threadpoolctl import threadpool_limits
    k1 = min(job["k"] + 1, base.shape[0])

    def knn():
        x = np.asarray(base)
        norms = np.einsum("ij,ij->i", x, x)
        sq = norms[:, None] + norms[None, :] - 2.0 * (x @ x.T)
        part = np.argpartition(sq, k1 - 1, axis=1)[:, :k1]
        order = np.argsort(np.take_along_axis(sq, part, axis=1), axis=1, kind="stable")
        return np.take_along_axis(part, order, axis=1)
    with threadpool_limits(limits=job["threads"], user_api="blas"):
        s, t, ids = _timed(job, knn)
    rec.self_knn(s, t, ids)


TASKS = {
    "velnor-index": velnor_index,
    "velnor-self": velnor_self,
    "velnor-hnsw": velnor_hnsw,
    "hnswlib": hnswlib_hnsw,
    "faiss-hnsw": faiss_hnsw,
    "faiss-flat": faiss_flat,
    "pynndescent": pynndescent_graph,
    "numpy-exact": numpy_exact,
}

# Module each task imports, loaded before the child's baseline memory reading.
TASK_MODULES = {
    "velnor-index": "velnor", "velnor-self": "velnor", "velnor-hnsw": "velnor",
    "hnswlib": "hnswlib", "faiss-hnsw": "faiss", "faiss-flat": "faiss",
    "pynndescent": "pynndescent", "numpy-exact": "threadpoolctl",
}
