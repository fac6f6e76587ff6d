"""The machine and process environment a benchmark run reports and controls."""

from __future__ import annotations

import datetime
import importlib.metadata
import json
import os
import platform
import subprocess
import sys
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[1]

# Set on some machines for the sake of old OpenBLAS builds; they slow current
# ones, so a benchmark run drops both (and says so in its results).
OPENBLAS_VARS = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
_REMOVED_MARKER = "VELNOR_BENCH_REMOVED_ENV"

PACKAGES = ("velnor", "numpy", "hnswlib", "faiss-cpu", "pynndescent", "numba",
            "matplotlib", "threadpoolctl", "scipy-openblas32")


def restart_without_openblas_vars(argv: list[str]) -> None:
    """Re-execute this run without OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE.

    The harness and all its child processes then see neither; the values
    removed are kept in a marker variable so the results can report them.
    Returns only when nothing had to be removed.
    """
    removed = {v: os.environ[v] for v in OPENBLAS_VARS if v in os.environ}
    if not removed:
        return
    env = {k: v for k, v in os.environ.items() if k not in OPENBLAS_VARS}
    env[_REMOVED_MARKER] = json.dumps(removed)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(REPO_ROOT), env.get("PYTHONPATH")]))
    print(f"restarting without {', '.join(removed)} (they slow current OpenBLAS)", flush=True)
    sys.stdout.flush()
    os.execve(sys.executable, [sys.executable, "-m", "bench", *argv], env)


def removed_env() -> dict:
    """The variables this run removed from its environment, with their values."""
    return json.loads(os.environ.get(_REMOVED_MARKER, "{}"))


def child_env(extra: dict[str, str] | None = None) -> dict[str, str]:
    """Environment for a child process: ours, the repo on the path, plus extra."""
    env = dict(os.environ)
    env.pop("VELNOR_QUERY", None)
    env.pop("VELNOR_PROFILE", None)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(REPO_ROOT), env.get("PYTHONPATH")]))
    env.update(extra or {})
    return env


def _cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _mem_total_gib() -> float | None:
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal:"):
                return round(int(line.split()[1]) / 2**20, 1)
    except OSError:
        pass
    return None


def _os_name() -> str:
    """The operating system in words: distribution and kernel release."""
    name = platform.system()
    try:
        for line in Path("/etc/os-release").read_text().splitlines():
            if line.startswith("PRETTY_NAME="):
                name = line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    return f"{name}, kernel {platform.release()}"


def _version(package: str) -> str | None:
    try:
        return importlib.metadata.version(package)
    except importlib.metadata.PackageNotFoundError:
        return None


def _blas_info() -> list[dict]:
    try:
        import numpy  # noqa: F401  (loads the BLAS threadpoolctl reports on)
        from threadpoolctl import threadpool_info
    except ImportError:
        return []
    keys = ("internal_api", "version", "architecture", "num_threads")
    return [{k: info.get(k) for k in keys} for info in threadpool_info()]


def _git_commit() -> str | None:
    try:
        out = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=REPO_ROOT,
                             capture_output=True, text=True, check=True)
        return out.stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None


def describe_machine() -> dict:
    """CPU, cores, memory, OS, Python, library versions and BLAS of this run."""
    return {
        "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "cpu_model": _cpu_model(),
        "logical_cpus": os.cpu_count(),
        "usable_cpus": len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else None,
        "memory_gib": _mem_total_gib(),
        "os": _os_name(),
        "python": sys.version.split()[0],
        "packages": {p: _version(p) for p in PACKAGES},
        "numpy_blas": _blas_info(),
        "harness_commit": _git_commit(),
        "removed_env": removed_env(),
    }
