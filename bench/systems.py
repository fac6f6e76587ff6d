"""What each benchmarked system does, run inside its own child process.

A task gets the job description, the base and query matrices (memory maps)
and a Recorder; it times its work with measures.repeat_timed and hands the
neighbour ids it found to the recorder. Recall is scored by the parent.
"""

from __future__ import annotations

import ctypes
import importlib
import time

import numpy as np

from bench.measures import latency_summary, repeat_timed, unit_rows

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

    def build(self, seconds: float, times: list[float], index_mib: float | None = None) -> None:
        self.result["build"] = {"seconds": seconds, "times": times, "index_mib": index_mib}

    def heldout(self, knob: str, value, batch, seconds: float, times: list[float], ids,
                rows=None, latency: dict | None = None) -> None:
        """One sweep point at one batch size; rows are the query rows answered
        (None: all of them, in order)."""
        i = len(self.result["heldout"])
        count = len(ids)
        self.result["heldout"].append({
            "knob": knob, "value": value, "batch": batch, "seconds": seconds, "times": times,
            "queries": count, "qps": count / seconds if seconds > 0 else None,
            "latency": latency, "ids_file": self._save(f"heldout-{i}", ids),
            "rows_file": None if rows is None else self._save(f"rows-{i}", rows)})

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


def _log(text: str) -> None:
    print(text, flush=True)


def _anon_mib() -> float | None:
    """Anonymous resident memory of this process (RssAnon), after handing freed
    heap memory back to the system, so that it counts what is still held.
    File pages of the memory-mapped input are not anonymous: they never count."""
    if _LIBC is not None:
        _LIBC.malloc_trim(0)
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return None


def _load_libc():
    try:
        libc = ctypes.CDLL("libc.so.6")
        libc.malloc_trim  # glibc only
        return libc
    except (OSError, AttributeError):
        return None


_LIBC = _load_libc()


def _build(job: dict, rec: Recorder, make):
    """Time make() (repeated when short) and note the memory the built index
    holds: RssAnon with the last index alive minus RssAnon before the first build."""
    _log(f"    building {job['label']} ...")
    before = _anon_mib()
    seconds, times, index = _timed(job, make)
    after = _anon_mib()
    held = None if None in (before, after) else round(after - before, 1)
    rec.build(seconds, times, held)
    _log(f"    built in {seconds:.2f} s" + ("" if held is None else f", index holds {held:.0f} MiB"))
    return index


def _user_rows(job: dict, base, queries):
    """The rows as a user hands them to a library that has no cosine space of
    its own: for cosine, copies scaled to unit length (zero rows left as they are)."""
    if job["dataset"].get("metric") != "cosine":
        return base, queries
    return unit_rows(base), unit_rows(queries)


def _sweep(job: dict, rec: Recorder, queries, knob: str, set_knob, search, ids_of) -> None:
    """The held-out sweep: for every knob value, the queries at each batch size of
    job['batches']: 'all' (one call), b rows per call (b > 1, every query), and
    1 (one row per call, over the sample job['one_row_sample'] of query rows,
    each call timed on its own). search(rows) is the timed call; ids_of turns
    its result into a 2-D id array, outside the timing."""
    sample = np.asarray(job.get("one_row_sample", []), dtype=np.int64)
    n = len(queries)
    if job["sweep"]:
        values = " ".join("exact" if v is None else str(v) for v in job["sweep"])
        print(f"    sweeping {knob} over {values} at {', '.join(map(str, job['batches']))} "
              "rows per call:", end="", flush=True)
    for value in job["sweep"]:
        set_knob(value)
        for batch in job["batches"]:
            if batch == "all":
                s, t, raw = _timed(job, lambda: search(queries))
                rec.heldout(knob, value, "all", s, t, ids_of(raw))
            elif batch == 1:
                latencies, found = [], []
                for i in sample:
                    row = queries[i:i + 1]
                    start = time.perf_counter()
                    raw = search(row)
                    latencies.append(time.perf_counter() - start)
                    found.append(raw)
                rec.heldout(knob, value, 1, float(sum(latencies)), [float(sum(latencies))],
                            np.concatenate([ids_of(r) for r in found]), rows=sample,
                            latency=latency_summary(latencies))
            else:
                blocks = range(0, n, batch)
                s, t, raws = _timed(job, lambda: [search(queries[b:b + batch]) for b in blocks])
                rec.heldout(knob, value, batch, s, t, np.concatenate([ids_of(r) for r in raws]))
        print(f" {'exact' if value is None else value}", end="", flush=True)
    if job["sweep"]:
        print(" done", flush=True)


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


def velnor_api_index(job, base, queries, rec: Recorder) -> None:
    """velnor.Index: build once, then the beam_l sweep over the held-out queries."""
    cls = _velnor_entry("Index")
    index = _build(job, rec, lambda: _velnor_call(cls, base, n_jobs=job["threads"], **job["params"]))
    beam = {}
    _sweep(job, rec, queries, "beam_l", lambda b: beam.update(l=b),
           lambda q: index.query(q, k=job["k"], beam_l=beam["l"])[0], np.asarray)


def velnor_index(job, base, queries, rec: Recorder) -> None:
    """VelnorIndex: build once, then the beam_l sweep over the held-out queries."""
    cls = _velnor_entry("VelnorIndex")
    index = _build(job, rec, lambda: _velnor_call(cls, base, n_jobs=job["threads"], **job["params"]))
    rec.note("VelnorIndex.query runs on velnor's default pool (all logical CPUs)")
    beam = {}
    _sweep(job, rec, queries, "beam_l", lambda b: beam.update(l=b),
           lambda q: index.query(q, job["k"], beam_l=beam["l"]), lambda r: _rows(r[0], r[2]))


def velnor_knn_graph(job, base, queries, rec: Recorder) -> None:
    """velnor.knn_graph: (indices, distances) of n_neighbors columns, each row first."""
    entry = _velnor_entry("knn_graph")
    _log(f"    computing the kNN graph with {job['label']} ...")
    s, t, (ind, _) = _timed(
        job, lambda: _velnor_call(entry, base, n_jobs=job["threads"], **job["params"]))
    rec.self_knn(s, t, np.asarray(ind))


def velnor_self(job, base, queries, rec: Recorder) -> None:
    """build_and_self_knn; the query mode comes from VELNOR_QUERY set by the parent."""
    entry = _velnor_entry("build_and_self_knn")
    _log(f"    computing the kNN graph with {job['label']} ...")
    s, t, (ind, _, stride) = _timed(
        job, lambda: _velnor_call(entry, base, job["k"], n_jobs=job["threads"], **job["params"]))
    rec.self_knn(s, t, _rows(ind, stride))


def velnor_hnsw(job, base, queries, rec: Recorder) -> None:
    """hnsw_self_knn, fp32 or sq8 (params carry quantize)."""
    entry = _velnor_entry("hnsw_self_knn")
    _log(f"    computing the kNN graph with {job['label']} ...")
    s, t, (ind, _, stride) = _timed(
        job, lambda: _velnor_call(entry, base, job["k"], n_jobs=job["threads"], **job["params"]))
    rec.self_knn(s, t, _rows(ind, stride))


# ---------------------------------------------------------------- peers

def _self_query(job, rec: Recorder, build_s: float, search, knob: dict) -> None:
    """A peer's kNN graph: its index queried with its own base, build time included."""
    setting = ", ".join(f"{k}={v}" for k, v in knob.items()) or "exact"
    _log(f"    self-query of the base ({setting}) ...")
    s, t, ids = _timed(job, search)
    rec.self_knn(build_s + s, t, ids, build_seconds=build_s, query_seconds=s, knob=knob)


def hnswlib_hnsw(job, base, queries, rec: Recorder) -> None:
    """hnswlib: build, held-out ef sweep, then self-kNN of the base at self_ef.
    Cosine data goes to its inner-product space as unit rows."""
    import hnswlib
    p, threads, k = job["params"], job["threads"], job["k"]
    base, queries = _user_rows(job, base, queries)
    space = "ip" if job["dataset"].get("metric") == "cosine" else "l2"

    def build():
        index = hnswlib.Index(space=space, dim=base.shape[1])
        index.init_index(max_elements=base.shape[0], M=p["M"],
                         ef_construction=p["ef_construction"], random_seed=p["random_seed"])
        index.add_items(base, num_threads=threads)
        return index
    index = _build(job, rec, build)
    _sweep(job, rec, queries, "ef", index.set_ef,
           lambda q: index.knn_query(q, k=k, num_threads=threads)[0], np.asarray)
    if job["self_knn"]:
        index.set_ef(p["self_ef"])
        _self_query(job, rec, rec.result["build"]["seconds"],
                    lambda: index.knn_query(base, k=k + 1, num_threads=threads)[0],
                    {"ef": p["self_ef"]})


def _faiss_metric(job):
    import faiss
    return faiss.METRIC_INNER_PRODUCT if job["dataset"].get("metric") == "cosine" else faiss.METRIC_L2


def faiss_hnsw(job, base, queries, rec: Recorder) -> None:
    """faiss IndexHNSWFlat: build, held-out efSearch sweep, self-kNN at self_ef.
    Cosine data goes to its inner-product metric as unit rows."""
    import faiss
    faiss.omp_set_num_threads(job["threads"])
    p, k = job["params"], job["k"]
    base, queries = _user_rows(job, base, queries)

    def build():
        index = faiss.IndexHNSWFlat(base.shape[1], p["M"], _faiss_metric(job))
        index.hnsw.efConstruction = p["ef_construction"]
        index.add(base)
        return index
    index = _build(job, rec, build)
    _sweep(job, rec, queries, "efSearch", lambda ef: setattr(index.hnsw, "efSearch", ef),
           lambda q: index.search(q, k)[1], np.asarray)
    if job["self_knn"]:
        index.hnsw.efSearch = p["self_ef"]
        _self_query(job, rec, rec.result["build"]["seconds"], lambda: index.search(base, k + 1)[1],
                    {"efSearch": p["self_ef"]})


def faiss_flat(job, base, queries, rec: Recorder) -> None:
    """faiss IndexFlat (L2 or inner product): exact held-out search and, unless
    skipped, exact self-kNN."""
    import faiss
    faiss.omp_set_num_threads(job["threads"])
    k = job["k"]
    base, queries = _user_rows(job, base, queries)

    def build():
        index = faiss.IndexFlat(base.shape[1], _faiss_metric(job))
        index.add(base)
        return index
    index = _build(job, rec, build)
    _sweep(job, rec, queries, "exact", lambda _: None, lambda q: index.search(q, k)[1], np.asarray)
    if job["self_knn"]:
        _self_query(job, rec, rec.result["build"]["seconds"], lambda: index.search(base, k + 1)[1], {})


def pynndescent_graph(job, base, queries, rec: Recorder) -> None:
    """PyNNDescent kNN graph, timed on a second NNDescent in the same process.

    The first call, on the first warmup_rows rows, pays numba's compilation;
    its time is reported apart as the warm-up.
    """
    from pynndescent import NNDescent
    p = dict(job["params"])
    warmup_rows = p.pop("warmup_rows")
    kwargs = dict(n_neighbors=p["n_neighbors"], metric=job["dataset"].get("metric", "euclidean"),
                  n_jobs=job["threads"])
    _log(f"    compiling PyNNDescent (numba) on {min(warmup_rows, len(base))} rows ...")
    warm, _, _ = _timed(
        job, lambda: NNDescent(np.asarray(base[:warmup_rows]), **kwargs).neighbor_graph, max_runs=1)
    rec.note(f"time of a second NNDescent call in the process; the first (numba "
             f"compilation, {min(warmup_rows, len(base))} rows) took {warm:.1f} s")
    _log(f"    computing the kNN graph with {job['label']} ...")
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
    "velnor-api-index": velnor_api_index,
    "velnor-knn-graph": velnor_knn_graph,
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
    "velnor-api-index": "velnor", "velnor-knn-graph": "velnor", "velnor-index": "velnor",
    "velnor-self": "velnor", "velnor-hnsw": "velnor",
    "hnswlib": "hnswlib", "faiss-hnsw": "faiss", "faiss-flat": "faiss",
    "pynndescent": "pynndescent", "numpy-exact": "threadpoolctl",
}
