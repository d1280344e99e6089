"""Shared fixtures: index factory, random data and an independent NumPy distance reference."""

import numpy as np
import pytest
from graph_helpers import scratch_directory

import orv_core
from velmora import index_file as ifr

ALL_METRICS = ("poincare", "euclidean", "cosine")

F32_EPS = 2.0**-24
# Constants of the distance definition, as float32 values widened to float64.
POINCARE_NORM_CAP = float(np.float32(0.999999))
POINCARE_EDGE_FACTOR = 1.0132789611816406e-06
POINCARE_MIN_DEN = float(np.float32(1e-6))
POINCARE_MIN_X = float(np.float32(1.000001))
POINCARE_FLOOR = float(
    np.float32(np.log(np.float64(np.float32(1.000001) + np.sqrt(np.float32(2.0**-19)))))
)
COSINE_MIN_PRODUCT = float(np.float32(1e-8))


@pytest.fixture(params=ALL_METRICS)
def all_metrics(request):
    """Each metric name in turn."""
    return request.param


@pytest.fixture
def rng():
    return np.random.default_rng(20240611)


@pytest.fixture
def make_index():
    """make_index(dimension, metric="poincare", vectors=(), masks=None, **kw) -> flat-filled index."""

    def factory(dimension, metric="poincare", vectors=(), masks=None, **kwargs):
        index = orv_core.HyperbolicIndex(dimension, metric=metric, **kwargs)
        for i, vector in enumerate(vectors):
            mask = 0 if masks is None else int(masks[i])
            index.add_item_flat(np.asarray(vector, dtype=np.float32), mask)
        return index

    return factory


@pytest.fixture
def random_vectors(rng):
    """random_vectors(n, d, max_norm=0.9) -> float32 (n, d), random directions and norms < max_norm."""

    def factory(n, d, max_norm=0.9):
        directions = rng.standard_normal((n, d))
        directions /= np.linalg.norm(directions, axis=1, keepdims=True)
        radii = max_norm * rng.uniform(0.05, 1.0, size=(n, 1))
        return (directions * radii).astype(np.float32)

    return factory


def _fma_f32(a, b, c):
    """float32 fused multiply-add a*b + c with one rounding, element-wise.

    The float64 product of two float32 values is exact; the float64 sum is rounded to odd
    (TwoSum error term), which makes the final rounding to float32 correct.
    """
    p = a.astype(np.float64) * b.astype(np.float64)
    c64 = c.astype(np.float64)
    s = p + c64
    bb = s - p
    err = (p - (s - bb)) + (c64 - bb)
    even = (s.view(np.uint64) & np.uint64(1)) == 0
    towards = np.where(err > 0, np.inf, -np.inf)
    s = np.where((err != 0) & even, np.nextafter(s, towards), s)
    return s.astype(np.float32)


@pytest.fixture
def fused_squared_norms():
    """Rows' squared norms as a float32 chain of fused multiply-adds in index order."""

    def compute(vectors):
        x = np.atleast_2d(np.asarray(vectors, dtype=np.float32))
        acc = np.zeros(x.shape[0], dtype=np.float32)
        for i in range(x.shape[1]):
            acc = _fma_f32(x[:, i], x[:, i], acc)
        return acc

    return compute


def _reference_distances(metric, query, vectors):
    q = np.asarray(query, dtype=np.float32).astype(np.float64)
    v = np.atleast_2d(np.asarray(vectors, dtype=np.float32)).astype(np.float64)
    diff2 = ((v - q) ** 2).sum(axis=1)
    if metric == "euclidean":
        return diff2
    qn = float(q @ q)
    vn = (v * v).sum(axis=1)
    if metric == "cosine":
        p = np.sqrt(qn) * np.sqrt(vn)
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(p < COSINE_MIN_PRODUCT, 1.0, 1.0 - (v @ q) / p)
    a = POINCARE_EDGE_FACTOR if qn > POINCARE_NORM_CAP else 1.0 - qn
    b = np.where(vn > POINCARE_NORM_CAP, POINCARE_EDGE_FACTOR, 1.0 - vn)
    den = np.maximum(a * b, POINCARE_MIN_DEN)
    x = 2.0 * diff2 / den + 1.0
    return np.where(x < POINCARE_MIN_X, POINCARE_FLOOR, np.arccosh(np.maximum(x, 1.0)))


@pytest.fixture
def ref_distance():
    """ref_distance(metric, query, vectors) -> float64 distances of the query to each row."""
    return _reference_distances


def _reference_tolerance(metric, query, vectors, reference):
    """Error bound of a float32 evaluation of the kernel, summing in index order."""
    q = np.asarray(query, dtype=np.float32).astype(np.float64)
    v = np.atleast_2d(np.asarray(vectors, dtype=np.float32)).astype(np.float64)
    d = q.size
    if metric == "euclidean":
        return (d + 4) * F32_EPS * reference + 1e-30
    if metric == "cosine":
        return np.full(len(v), (2 * d + 8) * F32_EPS)
    qn, vn = q @ q, (v * v).sum(axis=1)
    a = POINCARE_EDGE_FACTOR if qn > POINCARE_NORM_CAP else 1.0 - qn
    b = np.where(vn > POINCARE_NORM_CAP, POINCARE_EDGE_FACTOR, 1.0 - vn)
    relative = (3 * d + 10) * F32_EPS / np.minimum(a, b)
    # arcosh is steep near 1: a rounding of x moves the result by eps * x / sqrt(x^2 - 1).
    x = np.cosh(reference)
    conditioning = x / np.sqrt(np.maximum(x * x - 1.0, 1e-12))
    return reference * relative + 4 * F32_EPS * conditioning + 4 * F32_EPS


@pytest.fixture
def ref_tolerance():
    """ref_tolerance(metric, query, vectors, reference) -> allowed |kernel - reference| per row."""
    return _reference_tolerance


@pytest.fixture
def write_flat_file():
    """write_flat_file(path, vectors, norms, masks=None): an index file of unlinked level-0 nodes
    with the given stored norms and no entry point (norms may be negative or NaN)."""

    def write(path, vectors, norms, masks=None):
        ifr.write_level0(path, np.asarray(vectors, np.float32), norms, masks)

    return write


@pytest.fixture
def scratch(tmp_path):
    """A directory for index files: /dev/shm when writable (saves sync to disk), else tmp_path."""
    with scratch_directory(tmp_path) as path:
        yield path
