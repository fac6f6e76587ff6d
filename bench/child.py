"""Child process that runs one benchmark job: python -m bench.child JOB.json

It imports the system's module, notes its resident memory, memory-maps the
dataset, runs the task and writes the figures (and the peak resident memory
of the process) to the job's result file. A system per process keeps each
peak its own.
"""

from __future__ import annotations

import importlib
import json
import sys
import traceback

from bench.data import Dataset
from bench.systems import TASK_MODULES, TASKS, Recorder, Skip


def _status_kib(field: str) -> int | None:
    """A memory field of /proc/self/status (VmRSS, VmHWM) in KiB."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _mib(kib: int | None):
    return None if kib is None else round(kib / 1024, 1)


def run(job: dict) -> dict:
    rec = Recorder(job["out_dir"])
    try:
        try:
            module = importlib.import_module(TASK_MODULES[job["task"]])
        except ImportError as e:
            raise Skip(f"{TASK_MODULES[job['task']]} is not installed ({e})") from None
        rec.result["module"] = {"name": module.__name__,
                                "version": getattr(module, "__version__", None)}
        baseline = _status_kib("VmRSS")
        base, queries = Dataset(**job["dataset"]).load()
        input_bytes = base.nbytes + (queries.nbytes if job.get("sweep") else 0)
        TASKS[job["task"]](job, base, queries, rec)
        peak = _status_kib("VmHWM")
        beyond = None if None in (peak, baseline) else peak - baseline - input_bytes // 1024
        rec.result["memory"] = {"peak_rss_mib": _mib(peak), "baseline_rss_mib": _mib(baseline),
                                "input_mib": _mib(input_bytes // 1024),
                                "beyond_input_mib": _mib(beyond)}
        rec.result["status"] = "ok"
    except Skip as e:
        rec.result.update(status="skipped", message=str(e))
    except Exception as e:
        traceback.print_exc()
        rec.result.update(status="error", message=f"{type(e).__name__}: {e}")
    return rec.result


def main() -> None:
    with open(sys.argv[1]) as f:
        job = json.load(f)
    result = run(job)
    with open(job["result_file"], "w") as f:
        json.dump(result, f)


if __name__ == "__main__":
    main()
