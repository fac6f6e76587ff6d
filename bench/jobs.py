"""The jobs of a benchmark run: which system runs what, with which parameters."""

from __future__ import annotations

BEAM_SWEEP = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256]
EF_SWEEP = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512]
VELNOR_MODES = ("beam", "warm", "reservoir")

# velnor's build parameters at their documented defaults, passed explicitly so
# that the results say what was run.
VELNOR_BUILD = dict(metric="euclidean", m=12, l_max=64, r=64, alpha=1.2, fanout=2,
                    c_min=256, c_max=2048, runs=1, seed=0)
VELNOR_HNSW = dict(metric="euclidean", m=16, ef_construction=200, ef_search=64, seed=0)
PEER_HNSW = dict(M=16, ef_construction=200, self_ef=64)
PYNNDESCENT_WARMUP_ROWS = 5000

SYSTEMS = ("velnor-index", "velnor-self", "velnor-hnsw", "hnswlib", "faiss-hnsw",
           "faiss-flat", "pynndescent")
GROUPS = {"velnor": ("velnor-index", "velnor-self", "velnor-hnsw"),
          "faiss": ("faiss-hnsw", "faiss-flat"),
          "all": SYSTEMS}


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


def velnor_self_job(mode: str, exact_route: bool = False) -> dict:
    """build_and_self_knn in one VELNOR_QUERY mode (which the exact route ignores)."""
    return {"id": "velnor-exact" if exact_route else f"velnor-self-{mode}",
            "system": "velnor", "task": "velnor-self",
            "label": ("velnor build_and_self_knn (exact route)" if exact_route
                      else f"velnor build_and_self_knn [{mode}]"),
            "params": {**VELNOR_BUILD, "beam_l": 64}, "sweep": [], "self_knn": True,
            "env": {"VELNOR_QUERY": mode, "VELNOR_PROFILE": "1"}}


def hnswlib_job(sweep: list, self_knn: bool) -> dict:
    return {"id": "hnswlib", "system": "hnswlib", "task": "hnswlib",
            "label": "hnswlib HNSW (M=16, efC=200)",
            "params": {**PEER_HNSW, "random_seed": 100}, "sweep": sweep, "self_knn": self_knn}


def numpy_exact_job() -> dict:
    return {"id": "numpy-exact", "system": "numpy", "task": "numpy-exact",
            "label": "NumPy GEMM exact kNN", "params": {}, "sweep": [], "self_knn": True}


def full_jobs(systems: list[str], heldout: bool, self_knn: bool, modes: list[str],
              pynndescent_neighbors: list[int], flat_self: bool) -> tuple[list[dict], list[str]]:
    """The jobs of a full run and the lines saying which parts are left out."""
    jobs, skipped = [], []
    sweep = EF_SWEEP if heldout else []
    for system in systems:
        if system == "velnor-index" and heldout:
            jobs.append({"id": "velnor-index", "system": "velnor", "task": "velnor-index",
                         "label": "velnor VelnorIndex", "params": dict(VELNOR_BUILD),
                         "sweep": BEAM_SWEEP, "self_knn": False, "env": {"VELNOR_PROFILE": "1"}})
        elif system == "velnor-self" and self_knn:
            jobs += [velnor_self_job(mode) for mode in modes]
        elif system == "velnor-hnsw" and self_knn:
            jobs += [{"id": f"velnor-hnsw-{q}", "system": "velnor", "task": "velnor-hnsw",
                      "label": f"velnor hnsw_self_knn [{q}]",
                      "params": {**VELNOR_HNSW, "quantize": "none" if q == "fp32" else q},
                      "sweep": [], "self_knn": True,
                      "env": {"VELNOR_PROFILE": "1"}} for q in ("fp32", "sq8")]
        elif system == "hnswlib" and (heldout or self_knn):
            jobs.append(hnswlib_job(sweep, self_knn))
        elif system == "faiss-hnsw" and (heldout or self_knn):
            jobs.append({"id": "faiss-hnsw", "system": "faiss", "task": "faiss-hnsw",
                         "label": "faiss IndexHNSWFlat (M=16, efC=200)", "params": dict(PEER_HNSW),
                         "sweep": sweep, "self_knn": self_knn})
        elif system == "faiss-flat" and (heldout or (self_knn and flat_self)):
            jobs.append({"id": "faiss-flat", "system": "faiss", "task": "faiss-flat",
                         "label": "faiss IndexFlatL2 (exact)", "params": {},
                         "sweep": ["exact"] if heldout else [], "self_knn": self_knn and flat_self})
        elif system == "pynndescent" and self_knn:
            jobs += [{"id": f"pynndescent-{nn}", "system": "pynndescent", "task": "pynndescent",
                      "label": f"PyNNDescent (n_neighbors={nn})",
                      "params": {"n_neighbors": nn, "warmup_rows": PYNNDESCENT_WARMUP_ROWS},
                      "sweep": [], "self_knn": True} for nn in pynndescent_neighbors]
        if system == "faiss-flat" and self_knn and not flat_self:
            skipped.append("faiss IndexFlatL2 exact self-kNN skipped: base larger than "
                           "--flat-self-max-n")
    return jobs, skipped
