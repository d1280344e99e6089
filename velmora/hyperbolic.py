"""Geometry helpers for embeddings in the unit Poincaré ball.

The index stores each vector's squared norm in float32 and, under the Poincaré metric, its graph
searches never enter a node whose stored squared norm is at least ``BOUNDARY_SQ_NORM`` (0.995).
Embeddings trained in the style of Nickel & Kiela put most leaves far closer to the unit sphere
than that, so a graph built over them is mostly unreachable. The remedy here is a radial rescaling
of hyperbolic radii (:func:`shrink_to_ball`): every point keeps its direction, and its hyperbolic
distance from the origin, ``2 artanh |x|``, is multiplied by one common factor. The ordering of the
norms (depth in the hierarchy) and the angular layout are preserved exactly.

Worked example, the WordNet nouns in 10 dimensions (``velmora.datasets.wordnet_nouns``)::

    X = ds.base                      # count_beyond(X) == 0
    Y = push_to_boundary(X)          # Nickel-Kiela-like: count_beyond(Y) == 81 844 of 82 115
    Z = shrink_to_ball(Y, 0.99)      # count_beyond(Z) == 0, same norm order as X

Lorentz (hyperboloid) model, for peers that only offer a maximum-inner-product index: with
``L = to_lorentz(X)`` and the Lorentzian product ``<x, y>_L = -x0 y0 + sum_i xi yi`` the Poincaré
distance is ``arcosh(-<x, y>_L)``. Since arcosh is increasing, the nearest point is the one with
the largest ``<x, y>_L``, which is the plain dot product of ``lorentz_mips_queries(q)`` (the query's
image with x0 negated) with the unchanged base images ``to_lorentz(X)``.
"""

from __future__ import annotations

import numpy as np

BOUNDARY_SQ_NORM = 0.995
_MAX_NORM64 = 1.0 - 1e-15  # rows on or beyond the unit sphere are read as lying just inside it


def stored_sq_norms(X) -> np.ndarray:
    """Squared norms as the index stores them: a float32 running sum in index order.

    Each step adds the exact square (a float32 square is exact in float64) and rounds once to
    float32, which mirrors the fused multiply-add of the index.
    """
    X = np.atleast_2d(np.asarray(X, dtype=np.float32))
    acc = np.zeros(X.shape[0], dtype=np.float32)
    for j in range(X.shape[1]):
        col = X[:, j].astype(np.float64)
        acc = (col * col + acc).astype(np.float32)
    return acc


def count_beyond(X, bound: float = BOUNDARY_SQ_NORM) -> int:
    """Number of rows whose float32 squared norm is >= ``bound`` (the boundary rule's test)."""
    return int(np.count_nonzero(stored_sq_norms(X) >= np.float32(bound)))


def poincare_distance(a, b, min_gap: float | None = None) -> np.ndarray:
    """Poincaré distance arcosh(1 + 2|a-b|^2 / ((1-|a|^2)(1-|b|^2))) in float64, broadcasting.

    Inputs must lie strictly inside the unit ball; points on or beyond the sphere give inf or nan,
    unless ``min_gap`` is given: each 1 - |x|^2 is then raised to at least ``min_gap``.
    """
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    gap_a = 1.0 - np.sum(a * a, axis=-1)
    gap_b = 1.0 - np.sum(b * b, axis=-1)
    if min_gap is not None:
        gap_a, gap_b = np.maximum(gap_a, min_gap), np.maximum(gap_b, min_gap)
    with np.errstate(divide="ignore", invalid="ignore"):
        return poincare_from_parts(np.sum((a - b) ** 2, axis=-1), gap_a, gap_b)


def poincare_from_parts(sq_diff, gap_a, gap_b):
    """The Poincaré distance from |a-b|^2 and the gaps 1-|a|^2, 1-|b|^2 (scalars or arrays).

    Plain arithmetic, so that numba can compile it for a peer library that needs a compiled
    metric.
    """
    return np.arccosh(1.0 + 2.0 * sq_diff / (gap_a * gap_b))


def hyperbolic_radius(X) -> np.ndarray:
    """Hyperbolic distance of each row from the origin, 2 artanh |x|, in float64."""
    norms = np.linalg.norm(np.atleast_2d(np.asarray(X, dtype=np.float64)), axis=1)
    return 2.0 * np.arctanh(np.minimum(norms, _MAX_NORM64))


def scale_radii(X, factor: float) -> np.ndarray:
    """Multiply every row's hyperbolic radius by ``factor``, keeping directions; float32 result."""
    X64 = np.atleast_2d(np.asarray(X, dtype=np.float64))
    norms = np.linalg.norm(X64, axis=1)
    new_norms = np.tanh(factor * np.arctanh(np.minimum(norms, _MAX_NORM64)))
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.where(norms > 0.0, new_norms / norms, 0.0)
    return np.ascontiguousarray(X64 * ratio[:, None], dtype=np.float32)


def shrink_to_ball(X, max_sq_norm: float = 0.99) -> np.ndarray:
    """Bring a Poincaré embedding inside the searchable ball while keeping its hierarchy.

    All hyperbolic radii are scaled by the one factor that maps the largest radius to the radius
    of squared norm ``max_sq_norm``; an embedding already inside is returned unchanged (factor 1).
    Directions are kept and the map is increasing in the norm, so the order of the norms (depth)
    and the angular structure survive. Hyperbolic distances between points change non-uniformly
    (they shrink by at most the factor), so nearest neighbours are mostly, not always, preserved.
    The float32 result has every stored squared norm <= ``max_sq_norm``.
    """
    if not 0.0 < max_sq_norm < 1.0:
        raise ValueError("max_sq_norm must lie in (0, 1)")
    radii = hyperbolic_radius(X)
    target = 2.0 * np.arctanh(np.sqrt(max_sq_norm))
    top = float(radii.max()) if radii.size else 0.0
    factor = min(1.0, target / top) if top > 0.0 else 1.0
    Y = scale_radii(X, factor)
    bound = np.float32(max_sq_norm)
    for _ in range(64):  # float32 rounding can leave a row one ulp over the bound
        over = stored_sq_norms(Y) > bound
        if not over.any():
            break
        Y[over] *= np.float32(1.0 - 2.0**-23)
    return Y


def push_to_boundary(X, max_norm: float = 1.0 - 1e-5) -> np.ndarray:
    """Boundary-heavy copy of an embedding, as Nickel-Kiela training tends to produce.

    Scales all hyperbolic radii so that the largest Euclidean norm becomes ``max_norm``; for the
    default most rows of a hierarchy embedding end up with squared norm >= 0.995. Used to show what
    :func:`shrink_to_ball` repairs. Norms within float32 resolution of 1 round to 1.
    """
    if not 0.0 < max_norm < 1.0:
        raise ValueError("max_norm must lie in (0, 1)")
    radii = hyperbolic_radius(X)
    top = float(radii.max()) if radii.size else 0.0
    if top == 0.0:
        return np.ascontiguousarray(X, dtype=np.float32)
    return scale_radii(X, 2.0 * np.arctanh(max_norm) / top)


def mobius_add(x, y) -> np.ndarray:
    """Möbius addition x ⊕ y of the Poincaré ball (curvature -1), float64, row-wise."""
    x = np.asarray(x, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    xy = np.sum(x * y, axis=-1, keepdims=True)
    xx = np.sum(x * x, axis=-1, keepdims=True)
    yy = np.sum(y * y, axis=-1, keepdims=True)
    num = (1.0 + 2.0 * xy + yy) * x + (1.0 - xx) * y
    return num / (1.0 + 2.0 * xy + xx * yy)


def to_lorentz(X) -> np.ndarray:
    """Hyperboloid images (x0, x1..xd) of Poincaré points, float64 of shape (n, d + 1).

    x0 = (1 + |x|^2) / (1 - |x|^2) and xi = 2 x_i / (1 - |x|^2); then -x0 y0 + sum xi yi equals
    -cosh of the Poincaré distance.
    """
    X64 = np.atleast_2d(np.asarray(X, dtype=np.float64))
    sq = np.sum(X64 * X64, axis=1, keepdims=True)
    inv = 1.0 / (1.0 - sq)
    return np.ascontiguousarray(np.hstack([(1.0 + sq) * inv, 2.0 * X64 * inv]))


def lorentz_mips_queries(Q) -> np.ndarray:
    """Query images for a maximum-inner-product index built over ``to_lorentz(base)``.

    The dot product of a row of this array with ``to_lorentz(y)`` is the Lorentzian product
    ``<q, y>_L = -cosh d(q, y)``: the largest dot product is the nearest point, and
    ``arcosh(-dot)`` its Poincaré distance. In float32 the two large terms of the product cancel,
    leaving an absolute error of about 1e-7 * x0 * y0 (x0 <= 199 for squared norms <= 0.99).
    """
    L = to_lorentz(Q)
    L[:, 0] = -L[:, 0]
    return L
