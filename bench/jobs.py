"""The jobs of a benchmark run: which system runs what, with which parameters."""

from __future__ import annotations

import numpy as np

# Search widths of every held-out sweep (velnor beam_l, hnswlib ef, FAISS
# efSearch): one list, so that no system's front stops short of another's.
WIDTH_SWEEP = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512]
VELNOR_MODES = ("beam", "warm", "reservoir")
# Held-out batch sizes, in the order each sweep setting runs them: every query
# in one call, 100 rows per call, one row per call (on a sample of queries).
BATCHES = ("all", 100, 1)
ONE_ROW_CALLS = 1000
ONE_ROW_SEED = 7

# velnor's build parameters at their documented defaults, passed explicitly so
# that the results say what was run.
VELNOR_BUILD = dict(m=12, l_max=64, r=64, alpha=1.2, fanout=2,
                    c_min=256, c_max=2048, runs=1, seed=0)
VELNOR_HNSW = dict(m=16, ef_construction=200, ef_search=64, seed=0)
PEER_HNSW = dict(M=16, ef_construction=200, self_ef=64)
PYNNDESCENT_WARMUP_ROWS = 5000

SYSTEMS = ("velnor-api", "velnor-knn-graph", "velnor-index", "velnor-self", "velnor-hnsw",
           "hnswlib", "faiss-hnsw", "faiss-flat", "pynndescent")
GROUPS = {"velnor": SYSTEMS[:5],
          "faiss": ("faiss-hnsw", "faiss-flat"),
          "all": SYSTEMS}
# The systems of a build-time-and-memory set (the large synthetic set).
INDEX_SYSTEMS = ("velnor-api", "velnor-index", "hnswlib", "faiss-hnsw")


def expand_systems(names: list[str]) -> list[str]:
    """System names and group names (velnor, faiss, all) -> system names, in run order."""
    wanted = set()
    for name in names:
        if name in GROUPS:
            wanted.update(GROUPS[name])
        elif name in SYSTEMS:
            wanted.add(name)
        else:
            raise ValueError(f"unknown system {name!r}; choose from "
                             f"{', '.join(SYSTEMS + tuple(GROUPS))}")
    return [s for s in SYSTEMS if s in wanted]


def one_row_sample(n_queries: int, calls: int = ONE_ROW_CALLS) -> list[int]:
    """The query rows of the one-row-per-call sweep: a fixed random sample, in
    random order, the same for every system."""
    rng = np.random.default_rng(ONE_ROW_SEED)
    return rng.choice(n_queries, min(calls, n_queries), replace=False).tolist()


def velnor_self_job(mode: str, exact_route: bool = False, metric: str = "euclidean") -> dict:
    """build_and_self_knn in one VELNOR_QUERY mode (which the exact route ignores)."""
    return {"id": "velnor-exact" if exact_route else f"velnor-self-{mode}",
            "system": "velnor", "task": "velnor-self",
            "label": ("velnor build_and_self_knn (exact route)" if exact_route
                      else f"velnor build_and_self_knn [{mode}]"),
            "params": {"metric": metric, **VELNOR_BUILD, "beam_l": 64}, "sweep": [],
            "self_knn": True, "env": {"VELNOR_QUERY": mode, "VELNOR_PROFILE": "1"}}


def hnswlib_job(sweep: list, self_knn: bool) -> dict:
    return {"id": "hnswlib", "system": "hnswlib", "task": "hnswlib",
            "label": "hnswlib HNSW (M=16, efC=200)",
            "params": {**PEER_HNSW, "random_seed": 100}, "sweep": sweep, "self_knn": self_knn}


def numpy_exact_job() -> dict:
    return {"id": "numpy-exact", "system": "numpy", "task": "numpy-exact",
            "label": "NumPy GEMM exact kNN", "params": {}, "sweep": [], "self_knn": True}


def _system_jobs(system: str, metric: str, k: int, heldout: bool, self_knn: bool,
                 modes: list[str], pynndescent_neighbors: list[int], flat_self: bool) -> list[dict]:
    """The jobs of one system; heldout and self_knn say which parts to run."""
    sweep = WIDTH_SWEEP if heldout else []
    if system == "velnor-api" and heldout:
        return [{"id": "velnor-api", "system": "velnor", "task": "velnor-api-index",
                 "label": "velnor.Index", "params": {"metric": metric, "seed": 0},
                 "sweep": WIDTH_SWEEP, "self_knn": False, "env": {"VELNOR_PROFILE": "1"}}]
    if system == "velnor-knn-graph" and self_knn:
        return [{"id": "velnor-knn-graph", "system": "velnor", "task": "velnor-knn-graph",
                 "label": f"velnor.knn_graph (n_neighbors={k + 1})",
                 "params": {"n_neighbors": k + 1, "metric": metric}, "sweep": [],
                 "self_knn": True, "env": {"VELNOR_PROFILE": "1"}}]
    if system == "velnor-index" and heldout:
        return [{"id": "velnor-index", "system": "velnor", "task": "velnor-index",
                 "label": "velnor VelnorIndex", "params": {"metric": metric, **VELNOR_BUILD},
                 "sweep": WIDTH_SWEEP, "self_knn": False, "env": {"VELNOR_PROFILE": "1"}}]
    if system == "velnor-self" and self_knn:
        return [velnor_self_job(mode, metric=metric) for mode in modes]
    if system == "velnor-hnsw" and self_knn:
        return [{"id": f"velnor-hnsw-{q}", "system": "velnor", "task": "velnor-hnsw",
                 "label": f"velnor hnsw_self_knn [{q}]",
                 "params": {"metric": metric, **VELNOR_HNSW,
                            "quantize": "none" if q == "fp32" else q},
                 "sweep": [], "self_knn": True, "env": {"VELNOR_PROFILE": "1"}}
                for q in ("fp32", "sq8")]
    if system == "hnswlib" and (heldout or self_knn):
        return [hnswlib_job(sweep, self_knn)]
    if system == "faiss-hnsw" and (heldout or self_knn):
        return [{"id": "faiss-hnsw", "system": "faiss", "task": "faiss-hnsw",
                 "label": "faiss IndexHNSWFlat (M=16, efC=200)", "params": dict(PEER_HNSW),
                 "sweep": sweep, "self_knn": self_knn}]
    if system == "faiss-flat" and (heldout or (self_knn and flat_self)):
        kind = "IndexFlatIP" if metric == "cosine" else "IndexFlatL2"
        return [{"id": "faiss-flat", "system": "faiss", "task": "faiss-flat",
                 "label": f"faiss {kind} (exact)", "params": {},
                 "sweep": [None] if heldout else [], "self_knn": self_knn and flat_self}]
    if system == "pynndescent" and self_knn:
        return [{"id": f"pynndescent-{nn}", "system": "pynndescent", "task": "pynndescent",
                 "label": f"PyNNDescent (n_neighbors={nn})",
                 "params": {"n_neighbors": nn, "warmup_rows": PYNNDESCENT_WARMUP_ROWS},
                 "sweep": [], "self_knn": True} for nn in pynndescent_neighbors]
    return []


def full_jobs(systems: list[str], metric: str, k: int, n_queries: int, heldout: bool,
              self_knn: bool, modes: list[str], pynndescent_neighbors: list[int],
              flat_self: bool, index_only: bool = False) -> tuple[list[dict], list[str]]:
    """The jobs of a dataset in a full run and the lines saying which parts are left out.

    index_only (the large set): the index systems alone, their build and the
    held-out queries in one call; no kNN graphs, no other batch sizes."""
    jobs, skipped = [], []
    if index_only:
        left_out = [s for s in systems if s not in INDEX_SYSTEMS]
        if left_out:
            skipped.append(f"build time and memory set: {', '.join(left_out)} not run here")
        systems = [s for s in systems if s in INDEX_SYSTEMS]
        self_knn = False
    batches = ["all"] if index_only else list(BATCHES)
    sample = one_row_sample(n_queries) if 1 in batches and heldout and n_queries else []
    for system in systems:
        for job in _system_jobs(system, metric, k, heldout, self_knn, modes,
                                pynndescent_neighbors, flat_self):
            jobs.append({**job, "batches": batches, "one_row_sample": sample})
    if "faiss-flat" in systems and self_knn and not flat_self:
        skipped.append("faiss exact self-kNN skipped: base larger than --flat-self-max-n")
    return jobs, skipped
