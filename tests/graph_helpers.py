"""Small builders shared by the graph, search and file tests."""

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
