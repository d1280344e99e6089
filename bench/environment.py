"""Machine, library versions and date of a benchmark run."""

from __future__ import annotations

import datetime
import importlib.metadata
import os
import platform
import subprocess
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parent.parent


def _cpu_model() -> str:
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return platform.processor() or "unknown"
    for line in out.splitlines():
        if line.strip().startswith("Model name:"):
            return line.split(":", 1)[1].strip()
    return "unknown"


def _version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def _module_source(module_file: str) -> Path:
    """Source tree the module was built from (its CMake cache says), else this repository."""
    cache = Path(module_file).resolve().parent / "CMakeCache.txt"
    if cache.is_file():
        for line in cache.read_text(errors="replace").splitlines():
            if line.startswith("CMAKE_HOME_DIRECTORY:"):
                return Path(line.split("=", 1)[1])
    return REPO


def _git(src: Path, *args: str) -> str:
    cmd = ["git", "-C", str(src), *args]
    return subprocess.run(cmd, capture_output=True, text=True, check=True).stdout.strip()


def _git_revision(src: Path) -> str:
    core = ["include", "index", "graph", "search", "persist", "binding"]
    try:
        rev = _git(src, "rev-parse", "--short", "HEAD")
        dirty = _git(src, "status", "--porcelain", "--", *core)
    except (OSError, subprocess.CalledProcessError):
        return f"source {src}"
    return f"git {rev}" + (" + uncommitted core changes" if dirty else "")


def _blas() -> str:
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "unknown"
    return "; ".join(
        f"{i.get('internal_api')} {i.get('version')} ({i.get('architecture')})"
        for i in threadpool_info()
        if i.get("user_api") == "blas"
    )


def describe() -> dict:
    import faiss

    import orv_core

    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    return {
        "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "cpu": _cpu_model(),
        "cores": os.cpu_count(),
        "memory_gib": round(mem / 2**30, 1),
        "load_average_at_start": os.getloadavg(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "numpy_blas": _blas(),
        "hnswlib": _version("hnswlib"),
        "faiss": getattr(faiss, "__version__", _version("faiss-cpu")),
        "pynndescent": _version("pynndescent"),
        "orv_core": f"{_git_revision(_module_source(orv_core.__file__))} "
        f"(module {orv_core.__file__})",
    }
