"""Save and load times of the index files against the time to read the file's bytes (best of 5)."""

from __future__ import annotations

import os
import time

import numpy as np

import orv_core
from velmora import index_file

from .measure import K
from .systems import M

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


def measure_all(case, built: dict, orv_path: str) -> dict:
    """Save and load times per system, by name; leaves orv_core's file at ``orv_path``."""
    orv = built["orv_core"]
    out = {"orv_core": _orv(case, orv, orv_path)}
    orv.index.save_index(orv_path)  # kept for the graph diagnostics
    for name in ("hnswlib", "faiss"):
        out[name] = _peer(name, built[name], orv_path + "." + name)
    return out


BIG_DIM, BIG_M = 16, 16
BIG_ROUNDS = 3


def write_big_file(path: str, n: int) -> int:
    """Writes a valid n-node index file of random vectors, every node at level 0 with a full
    layer-0 list of other nodes (entry point node 0); returns its size."""
    rng = np.random.default_rng(11)
    vectors = rng.standard_normal((n, BIG_DIM), dtype=np.float32)
    norms = np.einsum("ij,ij->i", vectors, vectors)
    offsets = rng.integers(1, n, size=(n, 2 * BIG_M), dtype=np.int64)  # never the node itself
    links = (np.arange(n, dtype=np.int64)[:, None] + offsets) % n
    masks = np.ones(n, dtype="<u8")
    index_file.write_level0(path, vectors, norms, masks, links, max_m=BIG_M, ep_id=0)
    return os.path.getsize(path)


def big_file_load(n: int, workdir: str) -> dict:
    """Load time of a synthetic n-node file against reading its bytes (best of BIG_ROUNDS)."""
    path = os.path.join(workdir, f"synthetic-{n}.idx")
    size = write_big_file(path, n)
    index = orv_core.HyperbolicIndex(BIG_DIM, 1.0, BIG_M, "euclidean")
    try:
        read = min(_timed(lambda: _read_bytes(path)) for _ in range(BIG_ROUNDS))
        load = min(_timed(lambda: index.load_index(path)) for _ in range(BIG_ROUNDS))
        loaded = index.get_stats()["num_nodes"]
    finally:
        os.remove(path)
    return {
        "nodes": n,
        "dim": BIG_DIM,
        "file_bytes": size,
        "read_s": read,
        "load_s": load,
        "load_over_read": load / read,
        "loaded_nodes": loaded,
    }
