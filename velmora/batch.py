"""Many rows per call: batch insertion and batch search in native code.

The rows and queries are converted here (any real dtype, as ``astype(np.float32)`` does); the
checks, loops and threads live in the compiled core, which releases the interpreter lock.
"""

from __future__ import annotations

import operator

import numpy as np

from velmora import _native

_UINT64_MAX = 2**64 - 1
_REAL_KINDS = "biuf"


def _as_rows(values, name: str) -> np.ndarray:
    """A C-contiguous float32 2-D array; a 1-D array is one row."""
    a = np.asarray(values)
    if a.dtype.kind not in _REAL_KINDS:
        raise TypeError(f"{name} must hold real numbers, got dtype {a.dtype}")
    if a.ndim == 1:
        a = a.reshape(1, -1)
    if a.ndim != 2:
        raise ValueError(f"{name} must be a 1-D or 2-D array, got {a.ndim} dimensions")
    return np.ascontiguousarray(a, dtype=np.float32)


def _as_masks(masks, name: str) -> tuple[np.ndarray, bool]:
    """(uint64 array, one per row?) from None, a scalar or a 1-D integer array; the core
    checks that there is one per row."""
    if masks is None:
        return np.zeros(1, dtype=np.uint64), False
    if isinstance(masks, (int, np.integer)) and not isinstance(masks, bool):
        v = operator.index(masks)
        if not 0 <= v <= _UINT64_MAX:
            raise ValueError(f"{name} must be from 0 to 2**64 - 1, got {v}")
        return np.array([v], dtype=np.uint64), False
    a = np.asarray(masks)
    if a.dtype.kind not in "biu":
        raise TypeError(f"{name} must be non-negative integers, got dtype {a.dtype}")
    if a.ndim > 1:
        raise ValueError(f"{name} must be a scalar or a 1-D array, got {a.ndim} dimensions")
    if a.dtype.kind == "i" and a.size and a.min() < 0:
        at = int(np.argmax(a < 0))
        raise ValueError(f"{name} must be non-negative, got {int(a.reshape(-1)[at])} at {at}")
    return np.ascontiguousarray(a.reshape(-1), dtype=np.uint64), a.ndim == 1


def _thread_count(threads) -> int:
    if threads is None:
        return _native.usable_cores()
    threads = operator.index(threads)
    if threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    return threads


def add_items(
    index,
    vectors,
    masks=None,
    ef_construction: int = 200,
    linked: bool = True,
    progress: bool = False,
    threads: int | None = None,
) -> None:
    """Insert the rows of ``vectors`` in order, as one ``add_item_and_link`` per row would.

    With ``linked=False`` each row is stored as ``add_item_flat`` stores it. ``masks`` is one
    mask per row or one for all. The whole batch is checked before any row goes in. Ctrl-C
    stops at a row boundary with ``KeyboardInterrupt`` saying how many rows went in.

    Linked rows are planned on ``threads`` threads (``None``: every core the process may use;
    1: one by one). The index, its saved file and its level generator end exactly as the one-by-one
    insertion leaves them, whatever the thread count.
    """
    rows = _as_rows(vectors, "vectors")
    threads = _thread_count(threads)
    mask_arr, each = _as_masks(masks, "masks")
    ef = operator.index(ef_construction)
    bar = None
    if progress:
        from tqdm.auto import tqdm

        bar = tqdm(total=rows.shape[0], unit="row")

    def tick(done: int) -> None:
        bar.update(done - bar.n)

    try:
        done = _native.add_items(
            index,
            rows,
            mask_arr,
            each,
            ef,
            bool(linked),
            tick if bar is not None else None,
            threads,
        )
        if bar is not None:
            tick(done)
    finally:
        if bar is not None:
            bar.close()


def search(
    index,
    queries,
    k: int,
    method: str = "hnsw",
    filter_mask=0,
    ef_search: int | None = None,
    max_radius: float = -1.0,
    min_norm: float = -1.0,
    threads: int | None = None,
) -> tuple[np.ndarray, np.ndarray]:
    """Search every row of ``queries``; returns ``(ids, distances)``, both of shape (n, k).

    ``ids`` is int64 padded with -1, ``distances`` float32 padded with +inf, each distance
    bit-identical to ``index.compute_distance(query, id)``. ``method`` is "hnsw"
    (``custom_hnsw_search``), "filtered" (``filtered_search``) or "flat"
    (``hardware_flat_search``, where ``min_norm`` is its ``min_norm_sq``). ``ef_search=None`` is
    the method's own default. ``filter_mask`` is one mask or one per query. ``threads=None``
    uses every core the process may use.
    """
    q = _as_rows(queries, "queries")
    filters, each = _as_masks(filter_mask, "filter_mask")
    threads = _thread_count(threads)
    ef = None if ef_search is None else operator.index(ef_search)
    return _native.search(
        index,
        q,
        filters,
        each,
        str(method),
        operator.index(k),
        ef,
        float(max_radius),
        float(min_norm),
        threads,
    )


def seed(index, seed: int) -> None:
    """Reseed the index's level generator as its constructor does, from ``seed`` (32-bit)."""
    v = operator.index(seed)
    if not 0 <= v < 2**32:
        raise ValueError(f"seed must be from 0 to 2**32 - 1, got {v}")
    _native.seed(index, v)


def get_rng_state(index) -> bytes:
    """The level generator's full state, for :func:`set_rng_state`."""
    return _native.get_rng_state(index)


def set_rng_state(index, state: bytes) -> None:
    """Continue the level draws exactly where the index that gave ``state`` stood."""
    if not isinstance(state, (bytes, bytearray)):
        raise TypeError(f"state must be bytes, got {type(state).__name__}")
    _native.set_rng_state(index, bytes(state))
