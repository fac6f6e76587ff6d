"""Command line of the benchmark: python -m bench [--quick] [options].

A run writes its results under bench/out/ (not in git); --publish writes the
committed bench/results/ instead, with every file path taken out.
"""

from __future__ import annotations

import argparse
import functools
import os
import sys
import time
from pathlib import Path

from bench import compare, data, jobs, launch, report, truth
from bench.environment import describe_machine, restart_without_openblas_vars

RESULTS_DIR = data.BENCH_DIR / "results"   # committed: written only by --publish
OUT_DIR = data.BENCH_DIR / "out"           # ignored by git: every other run
DATASETS = ("fashion-mnist", "synthetic", "sentences", "hard", "synthetic-1m")
LARGE_SETS = ("synthetic-1m",)             # build time and memory only


def _csv(kind):
    return lambda text: [kind(x) for x in text.split(",") if x]


def parse_args(argv: list[str]) -> argparse.Namespace:
    ap = argparse.ArgumentParser(prog="python -m bench", description=__doc__)
    ap.add_argument("--quick", action="store_true",
                    help="the README's main job: a kNN graph of Fashion-MNIST, velnor vs hnswlib")
    ap.add_argument("--datasets", type=_csv(str), default=list(DATASETS),
                    help="comma list of " + ", ".join(DATASETS) + " (default all)")
    ap.add_argument("--systems", type=_csv(str), default=["all"],
                    help="comma list of " + ", ".join(jobs.SYSTEMS + tuple(jobs.GROUPS)))
    ap.add_argument("--threads", type=int, default=os.cpu_count(),
                    help="threads for every system (default: all logical CPUs)")
    ap.add_argument("--k", type=int, default=10, help="neighbours per row (default 10)")
    ap.add_argument("--fashion-n", type=int, default=None,
                    help="use only the first N Fashion-MNIST training images (default all 60,000)")
    ap.add_argument("--queries-n", type=int, default=None,
                    help="use only the first N held-out queries (default 10,000)")
    ap.add_argument("--synthetic-n", type=int, default=200_000, help="synthetic base rows")
    ap.add_argument("--sentences-n", type=int, default=None,
                    help="use only the first N sentence-set base rows (default all 50,000)")
    ap.add_argument("--hard-n", type=int, default=None,
                    help="use only the first N hard-set base rows (default all 100,000)")
    ap.add_argument("--large-n", type=int, default=1_000_000,
                    help="base rows of synthetic-1m, the large synthetic set (default 1,000,000)")
    ap.add_argument("--prepare-only", action="store_true",
                    help="prepare the datasets and their ground truth, then stop")
    ap.add_argument("--synthetic-d", type=int, default=128, help="synthetic dimension")
    ap.add_argument("--truth-sample", type=int, default=10_000,
                    help="rows whose exact self-kNN scores a graph's recall (default 10,000)")
    ap.add_argument("--velnor-modes", type=_csv(str), default=list(jobs.VELNOR_MODES),
                    help="VELNOR_QUERY modes of build_and_self_knn (default beam,warm,reservoir)")
    ap.add_argument("--pynndescent-neighbors", type=_csv(int), default=None,
                    help="n_neighbors of each PyNNDescent graph (default k+1)")
    ap.add_argument("--flat-self-max-n", type=int, default=200_000,
                    help="largest base for faiss's exact self-kNN (default 200,000)")
    ap.add_argument("--skip-heldout", action="store_true", help="no held-out query sweeps")
    ap.add_argument("--skip-self-knn", action="store_true", help="no self-kNN graphs")
    ap.add_argument("--skip-plots", action="store_true", help="write no PNG files")
    ap.add_argument("--skip-install", action="store_true",
                    help="install nothing (dataset-fashion-mnist and groff-base with apt-get, "
                         "the embedding model with pip) when it is missing")
    ap.add_argument("--keep-openblas-env", action="store_true",
                    help="keep OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE (dropped by default)")
    ap.add_argument("--timeout", type=float, default=3600, help="seconds allowed per job")
    ap.add_argument("--publish", action="store_true",
                    help="write the committed results folder bench/results/ (default: bench/out/)")
    ap.add_argument("--out", type=Path, default=None,
                    help="results folder (default bench/out/, or bench/results/ with --publish)")
    args = ap.parse_args(argv)
    try:
        args.systems = jobs.expand_systems(args.systems)
    except ValueError as e:
        ap.error(str(e))
    if args.pynndescent_neighbors is None:
        args.pynndescent_neighbors = [args.k + 1]
    unknown = set(args.datasets) - set(DATASETS)
    if unknown:
        ap.error(f"unknown dataset(s): {', '.join(sorted(unknown))}")
    if args.threads < 1:
        ap.error("--threads must be at least 1")
    if args.out is None:
        args.out = RESULTS_DIR if args.publish else OUT_DIR
    return args


def _log(text: str) -> None:
    print(text, flush=True)


def _document(kind: str, args) -> dict:
    notes = [f"every system runs in its own child process with {args.threads} threads "
             "(velnor n_jobs, hnswlib num_threads, faiss omp_set_num_threads, "
             "PyNNDescent n_jobs and NUMBA_NUM_THREADS, NumPy BLAS via threadpoolctl)",
             "times are medians of repeated runs for runs under 2 s (up to 5 runs), "
             "single runs otherwise",
             "recall@10 counts a returned neighbour as a hit when its exact distance is "
             "within the k-th exact distance (ties never count against a system); "
             "self-kNN recall excludes the row itself",
             "'index holds' is the anonymous resident memory (RssAnon, after malloc_trim) "
             "with the built index alive minus the same before the build, the input being "
             "memory-mapped; 'peak beyond input' is the process's peak resident memory "
             "(VmHWM) minus the process before loading data and minus the input it read",
             f"batch 1 sweeps time one call per query over a fixed random sample of at most "
             f"{jobs.ONE_ROW_CALLS} held-out queries (the same rows for every system); "
             "their recall is measured on those rows",
             "on a cosine dataset hnswlib and faiss get unit-length rows in their "
             "inner-product spaces, as a user would hand them; PyNNDescent and velnor get "
             "the rows as they are with metric='cosine'; ground truth and recall use "
             "unit-length rows"]
    machine = describe_machine()
    if machine["removed_env"]:
        notes.append("OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE were removed from the environment "
                     f"of this run and its processes (were {machine['removed_env']})")
    if args.threads != os.cpu_count():
        notes.append("VelnorIndex.query always runs on velnor's default pool (all logical CPUs)")
    settings = {k: v for k, v in vars(args).items() if not isinstance(v, Path)}
    return {"kind": kind, "machine": machine, "settings": settings, "notes": notes, "datasets": []}


def _truth_for(ds, k: int, sample: int, heldout: bool, self_knn: bool, lazy: bool = False):
    """The exact ground truth a dataset's jobs are scored against, and lines saying
    how recall is measured. lazy returns functions that compute it when first needed."""
    lines = []
    if self_knn:
        rows = min(ds.n, sample)
        lines.append(f"self-kNN recall measured on {rows} rows "
                     f"({'all' if rows == ds.n else 'a fixed random sample'})")
    if heldout and ds.n_queries:
        lines.append(f"held-out recall measured on all {ds.n_queries} queries, and on the "
                     "sampled ones for a batch 1 sweep")

    @functools.cache
    def compute():
        start = time.perf_counter()
        _log(f"  exact ground truth of {ds.name} (NumPy; read from the cache when there) ...")
        held = truth.heldout_truth(ds, k) if heldout and ds.n_queries else None
        selft = truth.self_truth(ds, k, sample) if self_knn else None
        _log(f"  exact ground truth ready in {time.perf_counter() - start:.1f} s")
        return held, selft
    if lazy:
        return (lambda: compute()[0]), (lambda: compute()[1]), lines
    return (*compute(), lines)


def _checkpoint(args, json_path: Path, doc: dict) -> None:
    """Keep the JSON file of a run up to date while it works."""
    report.write_json(json_path, report.without_paths(doc) if args.publish else doc)


def _run_jobs(ds, job_list, args, held, selft, section, doc, json_path, want_ids=()):
    """Run the jobs one after the other, keeping the JSON file up to date."""
    ids = {}
    for i, job in enumerate(job_list, 1):
        _log(f"  [{i}/{len(job_list)}] {job['label']} on {ds.name} ...")
        result, self_ids = launch.run_scored(job, ds, args.k, args.threads, args.timeout,
                                             held, selft, want_self_ids=job["id"] in want_ids)
        _log("\n".join("    " + line for line in launch.describe(result)))
        section["results"].append(result)
        ids[job["id"]] = self_ids
        _checkpoint(args, json_path, doc)
    return ids


def _dataset(name: str, args):
    _log(f"preparing dataset {name}")
    install = not args.skip_install
    if name == "fashion-mnist":
        return data.fashion_mnist(args.fashion_n, args.queries_n, install=install)
    if name == "synthetic":
        return data.synthetic(args.synthetic_n, args.synthetic_d, args.queries_n or 10_000)
    if name == "sentences":
        return data.sentences(args.sentences_n, args.queries_n, install=install)
    if name == "hard":
        return data.uniform_hard(args.hard_n, args.queries_n)
    return data.synthetic(args.large_n, 128, args.queries_n or 10_000)


def _public(ds) -> dict:
    """What the results say about a dataset: no file paths."""
    return {"name": ds.name, "n": ds.n, "n_queries": ds.n_queries, "d": ds.d,
            "metric": ds.metric, "description": ds.description}


def full_run(args) -> dict:
    doc = _document("full", args)
    json_path = args.out / "results.json"
    for name in args.datasets:
        try:
            ds = _dataset(name, args)
        except (RuntimeError, OSError) as e:  # a dataset this machine cannot make
            _log(f"  dataset {name} SKIPPED: {e}")
            doc["notes"].append(f"dataset {name} skipped: {e}")
            continue
        _log(f"== {ds.name}: {ds.description}")
        heldout, self_knn = not args.skip_heldout, not args.skip_self_knn
        index_only = name in LARGE_SETS
        held, selft, truth_notes = _truth_for(ds, args.k, args.truth_sample, heldout,
                                              self_knn and not index_only)
        if args.prepare_only:
            continue
        job_list, skipped = jobs.full_jobs(args.systems, ds.metric, args.k, ds.n_queries,
                                           heldout, self_knn, args.velnor_modes,
                                           args.pynndescent_neighbors,
                                           ds.n <= args.flat_self_max_n, index_only)
        for line in skipped:
            _log(f"  {line}")
        section = {"dataset": _public(ds), "truth_notes": truth_notes, "skipped": skipped,
                   "results": [], "ratios": []}
        doc["datasets"].append(section)
        _run_jobs(ds, job_list, args, held, selft, section, doc, json_path)
        section["ratios"] = compare.ratios(section["results"])
        _log(f"  velnor / peer on {ds.name}:")
        for line in compare.describe_all(section["ratios"]):
            _log("    " + line)
        if not section["ratios"]:
            _log("    none: this run has no velnor job with a peer to compare it with")
        _checkpoint(args, json_path, doc)
    return doc


def _agreement(a, b) -> dict | None:
    """How far two self-kNN tables of the same rows agree: shared ids per row, and
    identical ids slot by slot."""
    if a is None or b is None or a.shape != b.shape:
        return None
    shared = sum(len(set(x) & set(y)) for x, y in zip(a.tolist(), b.tolist()))
    return {"shared_ids": shared / a.size, "same_slot": float((a == b).mean())}


def _exact_route_pair(n: int, args, doc, json_path, target: float | None) -> None:
    """velnor's exact route against a NumPy GEMM exact kNN on the first n images."""
    ds = data.fashion_mnist(n, 0, install=not args.skip_install)
    _log(f"== exact self-kNN, {n} Fashion-MNIST images (d = 784), k = {args.k}, "
         f"{args.threads} threads")
    _, selft, truth_notes = _truth_for(ds, args.k, args.truth_sample, False, True)
    section = {"dataset": _public(ds), "truth_notes": truth_notes, "skipped": [],
               "results": [], "ratios": []}
    doc["datasets"].append(section)
    # Both take a fraction of a second: more runs make the median steadier.
    repeat = {"budget_s": 3.0, "max_runs": 21}
    pair = [{**jobs.velnor_self_job("beam", exact_route=True), "repeat": repeat},
            {**jobs.numpy_exact_job(), "repeat": repeat}]
    ids = _run_jobs(ds, pair, args, None, selft, section, doc, json_path,
                    want_ids=("velnor-exact", "numpy-exact"))
    section["ratios"] = compare.ratios(section["results"])
    for entry in section["ratios"]:
        if target is not None:
            entry["target"] = f"<= {target}"
        verdict = "" if entry["ratio"] is None or target is None else \
            (" -> target met" if entry["ratio"] <= target else " -> target NOT met")
        _log(f"  {compare.describe(entry)}"
             + (f" [target <= {target}x]{verdict}" if target is not None else ""))
    agree = _agreement(ids.get("velnor-exact"), ids.get("numpy-exact"))
    section["agreement"] = agree
    if agree:
        line = (f"agreement velnor vs NumPy: {agree['shared_ids']:.4f} of neighbour ids shared "
                f"per row, {agree['same_slot']:.4f} identical slot by slot")
        _log("  " + line)
        section["extra_lines"] = [f"- {line}", ""]
    _checkpoint(args, json_path, doc)


def quick_run(args) -> dict:
    """The main job: velnor's kNN graph of Fashion-MNIST against hnswlib.

    While velnor's graph route is not built, the exact route is measured
    against NumPy instead (2,000 rows, then 2,048 rows with its 2x target).
    """
    doc = _document("quick", args)
    json_path = args.out / "quick.json"
    ds = data.fashion_mnist(args.fashion_n, 0, install=not args.skip_install)
    _log(f"== kNN graph (k = {args.k}) of {ds.n} Fashion-MNIST images, {args.threads} threads")
    section = {"dataset": _public(ds), "truth_notes": [], "skipped": [], "results": [], "ratios": []}
    doc["datasets"].append(section)
    _, selft, section["truth_notes"] = _truth_for(ds, args.k, args.truth_sample, False, True,
                                                  lazy=True)
    _run_jobs(ds, [jobs.velnor_self_job("beam")], args, None, selft, section, doc, json_path)
    if section["results"][0]["status"] == "ok":
        _run_jobs(ds, [jobs.hnswlib_job([], True)], args, None, selft, section, doc, json_path)
        section["ratios"] = compare.ratios(section["results"])
        for entry in section["ratios"]:
            _log("  " + compare.describe(entry))
        _checkpoint(args, json_path, doc)
        return doc
    skip = (f"velnor's graph route is not available ({section['results'][0]['message']}); "
            "measuring its exact route against NumPy instead")
    _log("  " + skip)
    doc["notes"].append(skip)
    _exact_route_pair(2000, args, doc, json_path, None)
    _exact_route_pair(2048, args, doc, json_path, 2.0)
    return doc


def write_results(doc: dict, out: Path, stem: str, publish: bool, plots: bool) -> list[Path]:
    """The run's JSON, Markdown and (full run) plots under out; published
    results carry no file paths."""
    if publish:
        doc = report.without_paths(doc)
    report.write_json(out / f"{stem}.json", doc)
    (out / f"{stem}.md").write_text(report.markdown(doc))
    written = [out / f"{stem}.json", out / f"{stem}.md"]
    return written + (report.plots(doc, out) if plots else [])


def main(argv: list[str] | None = None) -> None:
    argv = sys.argv[1:] if argv is None else argv
    args = parse_args(argv)
    if not args.keep_openblas_env:
        restart_without_openblas_vars(argv)
    start = time.perf_counter()
    doc = quick_run(args) if args.quick else full_run(args)
    if args.prepare_only:
        _log(f"datasets and ground truth ready under {data.CACHE_DIR}")
        return
    doc["wall_seconds"] = round(time.perf_counter() - start, 1)
    stem = "quick" if args.quick else "results"
    written = write_results(doc, args.out, stem, args.publish,
                            plots=not (args.skip_plots or args.quick))
    _log(f"wrote {', '.join(p.name for p in written)} under {args.out}")
    _log(f"total wall time {doc['wall_seconds'] / 60:.1f} min")
