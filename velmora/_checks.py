"""Argument checks of :class:`velmora.Collection`: every batch is checked whole before any change."""

from __future__ import annotations

import operator

import numpy as np

from .hyperbolic import stored_sq_norms

METRIC_NAMES = {"poincare": "poincare", "euclidean": "euclidean", "l2": "euclidean",
                "cosine": "cosine"}  # fmt: skip
_INT64_MAX = np.iinfo(np.int64).max


def metric_name(metric) -> str:
    if not isinstance(metric, str) or metric not in METRIC_NAMES:
        accepted = ", ".join(f'"{name}"' for name in METRIC_NAMES)
        raise ValueError(f"unknown metric {metric!r}; accepted names are {accepted}")
    return METRIC_NAMES[metric]


def int_in(name: str, value, low: int, high: int | None = None) -> int:
    """``value`` as an int within low .. high; TypeError for a non-integer."""
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {value!r}") from None
    if number < low or (high is not None and number > high):
        bound = f"at least {low}" if high is None else f"in {low} .. {high}"
        raise ValueError(f"{name} must be {bound}, got {number}")
    return number


def as_rows(values, dimension: int, what: str) -> np.ndarray:
    """A C-contiguous float32 (n, dimension) array; a 1-D array is one row."""
    arr = np.asarray(values)
    if arr.dtype.kind not in "biuf":
        raise TypeError(f"{what} must hold real numbers, got dtype {arr.dtype}")
    if arr.ndim == 1:
        arr = arr[None, :]
    if arr.ndim != 2 or arr.shape[1] != dimension:
        raise ValueError(f"{what} must have shape (n, {dimension}), got {np.shape(values)}")
    return np.ascontiguousarray(arr, dtype=np.float32)


def check_rows(rows: np.ndarray, metric: str) -> None:
    """Refuse non-finite rows, and Poincaré rows on or outside the unit sphere."""
    finite = np.isfinite(rows).all(axis=1)
    if not finite.all():
        row = int(np.flatnonzero(~finite)[0])
        raise ValueError(
            f"row {row} holds a non-finite value: {rows[row][~np.isfinite(rows[row])][0]}"
        )
    if metric == "poincare" and len(rows):
        sq = stored_sq_norms(rows)
        outside = np.flatnonzero(sq >= np.float32(1.0))
        if len(outside):
            row = int(outside[0])
            raise ValueError(
                f"row {row} has squared norm {float(sq[row]):.6g}: Poincaré rows must lie inside "
                "the unit ball (squared norm below 1)"
            )


def _integers(values, n: int, what: str, dtype) -> np.ndarray:
    arr = np.asarray(values)
    if arr.dtype == object:
        try:
            arr = np.asarray(values, dtype=dtype)
        except (OverflowError, TypeError, ValueError):
            raise TypeError(f"{what} must be non-negative integers, got {values!r}") from None
    if arr.size == 0 and n == 0:
        return np.empty(0, dtype=dtype)
    if arr.dtype.kind not in "biu":
        raise TypeError(f"{what} must be integers, got dtype {arr.dtype}")
    if arr.ndim == 0:
        arr = np.broadcast_to(arr, (n,))
    if arr.ndim != 1 or len(arr) != n:
        raise ValueError(f"{what} must be a scalar or hold {n} values, got shape {arr.shape}")
    if arr.dtype.kind == "i" and len(arr) and arr.min() < 0:
        raise ValueError(f"{what} must be non-negative, got {int(arr.min())}")
    return arr


def as_masks(masks, n: int, what: str = "masks") -> np.ndarray:
    """uint64 masks, one per row; None is 0 for every row, a scalar applies to every row."""
    if masks is None:
        return np.zeros(n, dtype=np.uint64)
    return np.ascontiguousarray(_integers(masks, n, what, np.uint64), dtype=np.uint64)


def as_labels(ids, n: int) -> np.ndarray:
    """int64 labels, one per row, non-negative and distinct."""
    arr = np.asarray(ids)
    if arr.ndim == 0 and arr.dtype.kind in "iu":
        arr = arr[None]
    if arr.ndim == 1 and len(arr) != n:
        raise ValueError(f"ids must hold {n} labels, one per row, got {len(arr)}")
    arr = _integers(arr, n, "ids", np.int64)
    if arr.dtype.kind == "u" and len(arr) and arr.max() > _INT64_MAX:
        raise ValueError(f"ids must fit in int64, got {int(arr.max())}")
    labels = np.ascontiguousarray(arr, dtype=np.int64)
    uniq, counts = np.unique(labels, return_counts=True)
    if len(uniq) != len(labels):
        raise ValueError(f"label {int(uniq[counts > 1][0])} appears more than once in ids")
    return labels
