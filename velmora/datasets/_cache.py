"""The on-disk cache of built data sets: one .npz file per data set and shape."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Callable
from pathlib import Path

import numpy as np

CACHE_VERSION = 2  # bump when a builder's output changes


def cache_dir() -> Path:
    """Directory of the on-disk cache: $VELMORA_CACHE, else ~/.cache/velmora."""
    env = os.environ.get("VELMORA_CACHE")
    return Path(env) if env else Path.home() / ".cache" / "velmora"


def cached(stem: str, build: Callable[[], dict]) -> dict[str, np.ndarray]:
    """Arrays of cache file ``stem``, building and saving them on the first call."""
    path = cache_dir() / f"{stem}-v{CACHE_VERSION}.npz"
    if path.is_file():
        with np.load(path, allow_pickle=False) as npz:
            return {key: npz[key] for key in npz.files}
    arrays = build()
    _save_atomically(path, arrays)
    return arrays


def _save_atomically(path: Path, arrays: dict) -> None:
    """Writes a temporary file beside ``path`` and renames it into place, so that a reader never
    sees half a file and two processes building the same set do not clash."""
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=f"{path.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            np.savez(f, **arrays)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise
