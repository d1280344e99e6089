"""Exact ground truth: the k nearest base rows of every query, by brute force in float64."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from .. import hyperbolic

if TYPE_CHECKING:
    from .dataset import Dataset

METRICS = ("poincare", "euclidean", "cosine")
_BALL_EPS = 1e-15  # 1 - |x|^2 floor for rows on or beyond the unit sphere
_BLOCK_DOUBLES = 1 << 24  # float64 values per work block (128 MiB)


def ground_truth(ds: Dataset, k: int, filter_mask=None) -> tuple[np.ndarray, np.ndarray]:
    """Exact k nearest base rows of every query, by brute force in float64.

    Distances: poincare arcosh(1 + 2|q-v|^2 / ((1-|q|^2)(1-|v|^2))); euclidean squared L2;
    cosine 1 - cos (1 when either vector is zero). ``filter_mask`` is None, one mask for every
    query, or one per query (e.g. ``ds.query_masks``); a row matches f when (mask & f) == f.
    Returns (ids int64 [nq, k], dists float64 [nq, k]) nearest first, ties by lower id; slots
    beyond the matching rows hold id -1 and distance inf.

    Candidates are chosen blockwise with the |q|^2 + |v|^2 - 2 q.v expansion, then the best
    k + max(k, 16) of each query are measured again directly before the final order is taken.
    """
    if ds.metric not in METRICS:
        raise ValueError(f"unknown metric {ds.metric!r}")
    base = np.asarray(ds.base, dtype=np.float64)
    queries = np.asarray(ds.queries, dtype=np.float64)
    n, nq = base.shape[0], queries.shape[0]
    filters = None
    if filter_mask is not None:
        filters = np.broadcast_to(np.asarray(filter_mask, dtype=np.uint64), (nq,))
    width = min(n, k + max(k, 16))
    step = max(1, min(_BLOCK_DOUBLES // max(n, 1), _BLOCK_DOUBLES // max(width * base.shape[1], 1)))
    ids = np.full((nq, k), -1, dtype=np.int64)
    dists = np.full((nq, k), np.inf)
    sq_base = np.einsum("ij,ij->i", base, base)
    for start in range(0, nq, step):
        q = queries[start : start + step]
        keys = _order_keys(ds.metric, q, base, sq_base)
        if filters is not None:
            f = filters[start : start + step, None]
            keys[(ds.base_masks[None, :] & f) != f] = np.inf
        block_ids, block_d = _exact_top_k(ds.metric, q, base, keys, k, width)
        ids[start : start + step, : block_ids.shape[1]] = block_ids
        dists[start : start + step, : block_d.shape[1]] = block_d
    return ids, dists


def _order_keys(metric: str, q: np.ndarray, base: np.ndarray, sq_base: np.ndarray) -> np.ndarray:
    """Per-query keys increasing with the distance (not the distance itself for poincare)."""
    dots = q @ base.T
    sq_q = np.einsum("ij,ij->i", q, q)[:, None]
    if metric == "cosine":
        norms = np.sqrt(sq_q) * np.sqrt(sq_base)[None, :]
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(norms < 1e-8, 1.0, 1.0 - dots / norms)
    sq_diff = np.maximum(sq_q + sq_base[None, :] - 2.0 * dots, 0.0)
    if metric == "euclidean":
        return sq_diff
    return sq_diff / np.maximum(1.0 - sq_base, _BALL_EPS)[None, :]


def pair_distances(metric: str, q: np.ndarray, v: np.ndarray) -> np.ndarray:
    """Float64 distances between rows of q and v of the same shape (..., d), computed directly."""
    q = np.asarray(q, dtype=np.float64)
    v = np.asarray(v, dtype=np.float64)
    if metric == "cosine":
        norms = np.linalg.norm(q, axis=-1) * np.linalg.norm(v, axis=-1)
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(norms < 1e-8, 1.0, 1.0 - np.sum(q * v, axis=-1) / norms)
    if metric == "euclidean":
        return np.sum((q - v) ** 2, axis=-1)
    return hyperbolic.poincare_distance(q, v, min_gap=_BALL_EPS)


def _exact_top_k(metric, q, base, keys, k, width) -> tuple[np.ndarray, np.ndarray]:
    if width < keys.shape[1]:
        cand = np.argpartition(keys, width - 1, axis=1)[:, :width]
    else:
        cand = np.broadcast_to(np.arange(keys.shape[1]), keys.shape).copy()
    excluded = np.isinf(np.take_along_axis(keys, cand, axis=1))
    d = pair_distances(metric, q[:, None, :], base[cand])
    d[excluded] = np.inf
    order = np.lexsort((cand, d), axis=1)[:, :k]
    ids = np.take_along_axis(cand, order, axis=1)
    d = np.take_along_axis(d, order, axis=1)
    ids[np.isinf(d)] = -1
    return ids, d
