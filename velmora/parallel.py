"""Batch search of many queries on a thread pool.

The searches of ``orv_core`` release the interpreter lock, so Python threads run them in
parallel on separate cores.
"""

from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np

_METHODS = ("custom_hnsw_search", "filtered_search", "hardware_flat_search")


def batch_search(
    index,
    queries,
    k: int,
    method: str = "custom_hnsw_search",
    threads: int | None = None,
    with_distances: bool = True,
    **kwargs,
):
    """Search every row of a 2-D float32 array.

    Returns ``(ids, dists)``: ``ids`` is an int64 array of shape (n, k) padded with -1 where a
    search returned fewer than k ids, ``dists`` a float32 array of the same shape (NaN where
    padded) with each distance from ``index.compute_distance``, or None when
    ``with_distances`` is false. ``kwargs`` go to the search method unchanged;
    ``hardware_flat_search`` needs ``filter_mask``.
    """
    if method not in _METHODS:
        raise ValueError(f"method must be one of {_METHODS}, got {method!r}")
    q = np.ascontiguousarray(queries, dtype=np.float32)
    if q.ndim != 2:
        raise ValueError(f"queries must be a 2-D array, got {q.ndim} dimensions")
    if k < 0:
        raise ValueError(f"k must be at least 0, got {k}")
    search = getattr(index, method)
    n = q.shape[0]
    ids = np.full((n, k), -1, dtype=np.int64)
    workers = threads or min(len(os.sched_getaffinity(0)), 32)

    def run(rows: range) -> None:
        for i in rows:
            found = search(q[i], k, **kwargs)[:k]
            ids[i, : len(found)] = found

    chunks = [range(s, min(s + 64, n)) for s in range(0, n, 64)]
    with ThreadPoolExecutor(max_workers=max(1, workers)) as pool:
        list(pool.map(run, chunks))
    if not with_distances:
        return ids, None
    dists = np.full((n, k), np.nan, dtype=np.float32)
    for i in range(n):
        for j in range(k):
            if ids[i, j] < 0:
                break
            dists[i, j] = index.compute_distance(q[i], int(ids[i, j]))
    return ids, dists
