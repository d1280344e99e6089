"""Velmora: batch calls, data sets and tooling around the ``orv_core`` HNSW index."""

from orv_core import HyperbolicIndex
from velmora.batch import add_items, get_rng_state, search, seed, set_rng_state

__all__ = ["HyperbolicIndex", "add_items", "get_rng_state", "search", "seed", "set_rng_state"]
