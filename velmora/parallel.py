"""The earlier batch helper, kept for its callers: a thin wrapper over :func:`velmora.search`.

New code should call :func:`velmora.search`, which pads distances with +inf instead of NaN.
"""

from __future__ import annotations

import numpy as np

from velmora.batch import search

_METHODS = {
    "custom_hnsw_search": "hnsw",
    "filtered_search": "filtered",
    "hardware_flat_search": "flat",
}


def batch_search(
    index,
    queries,
    k: int,
    method: str = "custom_hnsw_search",
    threads: int | None = None,
    with_distances: bool = True,
    **kwargs,
):
    """Search every row of a 2-D array with one of the index's search methods, by its name.

    Returns ``(ids, dists)``: int64 ids of shape (n, k) padded with -1, and float32 distances
    (NaN where padded), or None when ``with_distances`` is false. ``kwargs`` are the search
    method's own (``min_norm_sq`` for ``hardware_flat_search``).
    """
    if method not in _METHODS:
        raise ValueError(f"method must be one of {tuple(_METHODS)}, got {method!r}")
    if np.ndim(queries) != 2:
        raise ValueError(f"queries must be a 2-D array, got {np.ndim(queries)} dimensions")
    if "min_norm_sq" in kwargs:
        kwargs["min_norm"] = kwargs.pop("min_norm_sq")
    ids, dists = search(index, queries, k, method=_METHODS[method], threads=threads, **kwargs)
    if not with_distances:
        return ids, None
    dists[ids < 0] = np.nan
    return ids, dists
