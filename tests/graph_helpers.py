"""Small builders shared by the graph, search and file tests, and their scratch directory."""

import contextlib
import os
import tempfile
from pathlib import Path

import numpy as np

from orv_core import HyperbolicIndex


def random_vectors(rng, n, dim, metric):
    """Points inside the unit ball for poincare, Gaussian points otherwise."""
    v = rng.standard_normal((n, dim))
    if metric == "poincare":
        v *= (rng.uniform(0.05, 0.9, n) / np.linalg.norm(v, axis=1))[:, None]
    return np.ascontiguousarray(v, dtype=np.float32)


def build(metric, vectors, M=16, ef_construction=200, masks=None):
    index = HyperbolicIndex(vectors.shape[1], M=M, metric=metric)
    for i, v in enumerate(vectors):
        index.add_item_and_link(v, 0 if masks is None else int(masks[i]), ef_construction)
    return index


@contextlib.contextmanager
def scratch_directory(fallback):
    """A temporary directory in memory when possible (every save syncs its file to disk)."""
    shm = Path("/dev/shm")
    if not (shm.is_dir() and os.access(shm, os.W_OK)):
        yield Path(fallback)
        return
    with tempfile.TemporaryDirectory(dir=shm, prefix="orv-tests-") as name:
        yield Path(name)
