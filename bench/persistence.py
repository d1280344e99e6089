"""Save and load times of the index files against the time to read the file's bytes (best of 5)."""

from __future__ import annotations

import os
import time

from measure import K
from systems import M

import orv_core

REPEATS = 5


def _timed(fn) -> float:
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def _read_bytes(path: str) -> None:
    with open(path, "rb") as f:
        f.read()


def _round(save, load, path: str) -> tuple[float, float, float]:
    """One save, a read of the file's bytes right after it (page cache), one load."""
    save_s = _timed(save)
    read_s = _timed(lambda: _read_bytes(path))
    return save_s, read_s, _timed(load)


def _orv(case, orv, path: str) -> dict:
    ds = case.ds
    loaded = orv_core.HyperbolicIndex(ds.dim, 1.0, M, case.metric)
    rounds = [
        _round(lambda: orv.index.save_index(path), lambda: loaded.load_index(path), path)
        for _ in range(REPEATS)
    ]
    same = all(
        loaded.custom_hnsw_search(q, K, 0, 64) == orv.index.custom_hnsw_search(q, K, 0, 64)
        for q in ds.queries[:50]
    )
    out = _summary(path, rounds) | {"same_results_after_load": same}
    out["save_tmpfs_s"] = _save_tmpfs(orv)
    return out


def _save_tmpfs(orv) -> float | None:
    """Save time on tmpfs, where fsync costs nothing: the save without waiting for the disk."""
    if not os.path.isdir("/dev/shm"):
        return None
    path = f"/dev/shm/orv-bench-{os.getpid()}.idx"
    try:
        return min(_timed(lambda: orv.index.save_index(path)) for _ in range(REPEATS))
    finally:
        if os.path.exists(path):
            os.remove(path)


def _peer(name: str, system, path: str) -> dict:
    if name == "hnswlib":
        import hnswlib

        def load():
            hnswlib.Index(space=system.index.space, dim=system.dim).load_index(path)

        save = lambda: system.index.save_index(path)
    else:
        faiss = system.faiss
        save = lambda: faiss.write_index(system.index, path)
        load = lambda: faiss.read_index(path)
    return _summary(path, [_round(save, load, path) for _ in range(REPEATS)])


def _summary(path: str, rounds: list) -> dict:
    save, read, load = (min(x) for x in zip(*rounds))
    size = os.path.getsize(path)
    os.remove(path)
    return {
        "file_bytes": size,
        "save_s": save,
        "read_s": read,
        "load_s": load,
        "load_over_read": load / read,
        "save_over_read": save / read,
        "read_gb_per_s": size / read / 1e9,
    }


def measure_all(case, built: list, orv_path: str) -> dict:
    out = {}
    for s in built:
        if s.name == "orv_core":
            out[s.name] = _orv(case, s, orv_path)
            s.index.save_index(orv_path)  # kept for the graph diagnostics
        elif s.name in ("hnswlib", "faiss"):
            out[s.name] = _peer(s.name, s, orv_path + "." + s.name)
    return out
