"""Timing, memory and recall helpers.

Query throughput is taken from the process CPU time (every system runs on the calling thread),
so that other work on a shared machine does not count against whichever system it hits; the wall
time is recorded beside it. Timed passes are repeated and the fastest kept, with the systems
taking turns, as this machine's speed drifts by a third between spells.
"""

from __future__ import annotations

import ctypes
import itertools
import time

import numpy as np

from velmora import datasets as vd

K = 10
_REL_TOL = 1e-6  # a returned row counts when its exact distance is within this of the k-th


def rss_bytes() -> int:
    """Resident set size of this process, after returning freed heap pages to the system."""
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


class Stopwatch:
    """CPU and wall seconds of a ``with`` block."""

    def __enter__(self):
        self.cpu0, self.wall0 = time.process_time(), time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.cpu = time.process_time() - self.cpu0
        self.wall = time.perf_counter() - self.wall0


def run_queries(search, queries: np.ndarray, masks=None) -> tuple[np.ndarray, Stopwatch]:
    """Calls ``search`` once per query (with the query's mask when given), results padded -1."""
    out = np.full((len(queries), K), -1, dtype=np.int64)
    with Stopwatch() as sw:
        if masks is None:
            for i, q in enumerate(queries):
                r = search(q)[:K]
                out[i, : len(r)] = r
        else:
            for i, (q, m) in enumerate(zip(queries, masks)):
                r = search(q, m)[:K]
                out[i, : len(r)] = r
    return out, sw


def best_runs(searches: dict, rounds: int, masks=None) -> dict:
    """Per name in ``searches`` (name: (search, queries)): the ids of its first pass and the
    Stopwatch of its fastest pass (by CPU time) over ``rounds`` passes, the searches taking turns
    in each round so that a slow spell of the shared machine hits them alike."""
    best = {}
    for _ in range(rounds):
        for name, (search, queries) in searches.items():
            ids, sw = run_queries(search, queries, masks)
            if name not in best:
                best[name] = (ids, sw)
            elif sw.cpu < best[name][1].cpu:
                best[name] = (best[name][0], sw)
    return best


def recalls(ds: vd.Dataset, ids: np.ndarray, gt_dist: np.ndarray, masks=None) -> dict:
    """Recall@K and recall@1, by exact float64 distance with ties counted as hits.

    A returned row is a hit when it passes the query's filter and its exact distance is at most
    the K-th exact distance (the first, for recall@1). Recall@K divides by the number of rows
    that can be found (fewer than K only when the filter admits fewer).
    """
    valid = ids >= 0
    if masks is not None:
        m = np.asarray(masks, dtype=np.uint64)[:, None]
        valid &= (ds.base_masks[np.maximum(ids, 0)] & m) == m
    d = vd.pair_distances(ds.metric, ds.queries[:, None, :], ds.base[np.maximum(ids, 0)])
    d = np.where(valid, d, np.inf)
    finite = np.isfinite(gt_dist)
    kth = np.where(finite, gt_dist, -np.inf).max(axis=1)
    tol = _REL_TOL * np.abs(kth) + _REL_TOL
    hits = np.sum(d <= (kth + tol)[:, None], axis=1)
    possible = finite.sum(axis=1)
    hits = np.minimum(hits, possible)
    first = d[:, 0] <= gt_dist[:, 0] + _REL_TOL * np.abs(gt_dist[:, 0]) + _REL_TOL
    has = possible > 0
    return {
        "recall": float(np.sum(hits[has]) / max(1, np.sum(possible[has]))),
        "recall_at_1": float(np.mean(first[has])) if has.any() else float("nan"),
        "mean_returned": float(np.mean(np.sum(ids >= 0, axis=1))),
        "wrong_returned": int(np.sum((ids >= 0) & ~valid)),
    }


def qps_at_recall(points: list[dict], target: float) -> float | None:
    """Highest QPS among sweep points whose recall reaches ``target`` (None if none does)."""
    ok = [p["qps"] for p in points if p["recall"] >= target]
    return max(ok) if ok else None


def qps_interpolated(points: list[dict], target: float) -> float | None:
    """QPS where the recall curve crosses ``target``, linear in recall and log QPS between the
    two neighbouring points; the measured QPS when a point sits exactly at or beyond it on a
    curve that starts above it; None when no point reaches it."""
    pts = sorted(points, key=lambda p: p["recall"])
    if not pts or pts[-1]["recall"] < target:
        return None
    best = qps_at_recall(pts, target)
    for lo, hi in itertools.pairwise(pts):
        if lo["recall"] < target <= hi["recall"] and hi["recall"] > lo["recall"]:
            t = (target - lo["recall"]) / (hi["recall"] - lo["recall"])
            q = np.exp((1 - t) * np.log(lo["qps"]) + t * np.log(hi["qps"]))
            return max(float(q), best)
    return best


def read_once_s(x: np.ndarray, repeats: int = 7) -> dict:
    """Best CPU and wall seconds of one pass of NumPy over ``x`` (``x.sum()``)."""
    cpu, wall = [], []
    for _ in range(repeats):
        with Stopwatch() as sw:
            x.sum()
        cpu.append(sw.cpu)
        wall.append(sw.wall)
    return {"cpu_s": min(cpu), "wall_s": min(wall), "bytes": int(x.nbytes), "repeats": repeats}
