"""Parent side of a job: start its child process, collect and score its figures."""

from __future__ import annotations

import json
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

from bench.compare import batch_label
from bench.data import Dataset
from bench.environment import REPO_ROOT, child_env
from bench.measures import drop_self, recall_at_k
from bench.truth import metric_rows

_SUMMARY = re.compile(r"^\[velnor\] BUILD=([0-9.]+)s QUERY=([0-9.]+)s")


def _profile(stderr: str) -> list[str]:
    return [line for line in stderr.splitlines() if line.startswith("[velnor]")]


def _apply_summary_lines(result: dict, lines: list[str]) -> None:
    """Split a velnor self-kNN time into build and query from its BUILD/QUERY lines."""
    pairs = [tuple(map(float, m.groups())) for m in map(_SUMMARY.match, lines) if m]
    if pairs and result.get("self_knn") and not result.get("build"):
        build = statistics.median(p[0] for p in pairs)
        result["build"] = {"seconds": build, "times": [p[0] for p in pairs], "source": "[velnor] BUILD="}
        result["self_knn"]["build_seconds"] = build
        result["self_knn"]["query_seconds"] = statistics.median(p[1] for p in pairs)


def score(result: dict, ds: Dataset, k: int, heldout: dict | None,
          self_truth: dict | None, want_self_ids: bool = False):
    """Replace each neighbour-id file of a result by the recall@k it achieves.

    Either truth may be a function that computes it, called only when needed.
    A sweep point that answered only some queries (one row per call) is scored
    on those. Returns the self-kNN id rows when want_self_ids (else None).
    """
    base, queries = metric_rows(ds)
    if result.get("heldout") and callable(heldout):
        heldout = heldout()
    if result.get("self_knn") and callable(self_truth):
        self_truth = self_truth()
    for point in result.get("heldout", []):
        ids = np.load(point.pop("ids_file"))
        rows_file = point.pop("rows_file", None)
        rows = np.load(rows_file) if rows_file else np.arange(len(ids))
        point["recall"] = (recall_at_k(base, np.asarray(queries[rows]), ids,
                                       heldout["sq"][rows, k - 1], k) if heldout else None)
    sk = result.get("self_knn")
    if not sk:
        return None
    ids = np.load(sk.pop("ids_file"), mmap_mode="r")
    if self_truth is not None:
        rows = self_truth["rows"]
        others = drop_self(np.asarray(ids[rows]), rows, k)
        sk["recall"] = recall_at_k(base, np.asarray(base[rows]), others, self_truth["sq"][:, k - 1], k)
        sk["recall_rows"] = int(len(rows))
    return np.array(ids) if want_self_ids else None


def run_job(job: dict, ds: Dataset, k: int, threads: int, timeout: float | None) -> dict:
    """Run one job in a child process and return its result record.

    The record still names the child's neighbour-id files under
    result['tmp_dir']; score() reads them, and the caller removes the folder.
    """
    tmp = tempfile.mkdtemp(prefix="velnor-bench-")
    payload = {**job, "dataset": ds.to_json(), "k": k, "threads": threads,
            "out_dir": tmp, "result_file": f"{tmp}/result.json"}
    Path(f"{tmp}/job.json").write_text(json.dumps(payload))
    # numba (PyNNDescent) sizes its pool from NUMBA_NUM_THREADS; the others take
    # the thread count as an argument.
    env = child_env({"NUMBA_NUM_THREADS": str(threads), **job.get("env", {})})
    try:
        proc = subprocess.run([sys.executable, "-m", "bench.child", f"{tmp}/job.json"],
                              cwd=REPO_ROOT, env=env, stderr=subprocess.PIPE, text=True,
                              timeout=timeout)
        stderr = proc.stderr
        if Path(payload["result_file"]).exists():
            result = json.loads(Path(payload["result_file"]).read_text())
        else:
            how = (f"killed by {signal.Signals(-proc.returncode).name}" if proc.returncode < 0
                   else f"exited with status {proc.returncode}")
            tail = " | ".join(stderr.strip().splitlines()[-3:])
            result = {"status": "error", "message": f"child process {how}" + (f": {tail}" if tail else ""),
                      "build": None, "heldout": [], "self_knn": None, "notes": []}
        if result["status"] == "error" and stderr.strip():
            result["stderr_tail"] = stderr.strip().splitlines()[-20:]
    except subprocess.TimeoutExpired:
        stderr = ""
        result = {"status": "error", "message": f"timed out after {timeout} s",
                  "build": None, "heldout": [], "self_knn": None, "notes": []}
    result.update(id=job["id"], system=job["system"], label=job["label"], task=job["task"],
                  params=job["params"], threads=threads, env=job.get("env", {}),
                  wants_heldout=bool(job["sweep"]), wants_self_knn=job["self_knn"],
                  profile=_profile(stderr), tmp_dir=tmp)
    _apply_summary_lines(result, result["profile"])
    return result


def run_scored(job: dict, ds: Dataset, k: int, threads: int, timeout: float | None,
               heldout: dict | None, self_truth: dict | None, want_self_ids: bool = False):
    """run_job, then score, then remove the child's files: (result, self ids or None)."""
    result = run_job(job, ds, k, threads, timeout)
    try:
        ids = score(result, ds, k, heldout, self_truth, want_self_ids) if result["status"] == "ok" else None
    finally:
        shutil.rmtree(result.pop("tmp_dir"), ignore_errors=True)
    return result, ids


def knob_text(point: dict) -> str:
    return point["knob"] if point["value"] is None else f"{point['knob']}={point['value']}"


def _point_text(point: dict) -> str:
    text = f"{batch_label(point['batch'])} {point['qps']:.0f} q/s"
    if point.get("latency"):
        text += (f" (median {point['latency']['median_ms']:.3f} ms, "
                 f"p99 {point['latency']['p99_ms']:.3f} ms)")
    if point.get("recall") is not None:
        text += f" r={point['recall']:.4f}"
    return text


def describe(result: dict) -> list[str]:
    """Console lines about a finished job: a summary, then one line per sweep setting."""
    head = f"{result['label']}:"
    if result["status"] != "ok":
        word = "SKIPPED" if result["status"] == "skipped" else "FAILED"
        return [f"{head} {word}: {result['message']}"]
    parts = []
    build = result.get("build")
    if build:
        held = build.get("index_mib")
        parts.append(f"build {build['seconds']:.2f} s"
                     + ("" if held is None else f", index holds {held:.0f} MiB"))
    sk = result.get("self_knn")
    if sk:
        recall = f", recall@10 {sk['recall']:.4f}" if sk.get("recall") is not None else ""
        parts.append(f"kNN graph {sk['seconds']:.2f} s{recall}")
    mem = result.get("memory") or {}
    if mem.get("peak_rss_mib") is not None:
        parts.append(f"peak RSS {mem['peak_rss_mib']:.0f} MiB "
                     f"({mem['beyond_input_mib']:.0f} beyond the input)")
    lines = [head + " " + "; ".join(parts)]
    settings: dict = {}
    for point in result.get("heldout") or []:
        settings.setdefault(knob_text(point), []).append(point)
    lines += [f"  {knob}: " + " | ".join(map(_point_text, points)) for knob, points in settings.items()]
    return lines
