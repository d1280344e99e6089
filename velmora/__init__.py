"""Velmora: collections, batch calls, data sets and tooling around the ``orv_core`` HNSW index."""

import pkgutil

# Run from a source checkout (the benchmark, from the repository root), the package found
# first has no compiled _native; the installed copy of the package supplies it.
__path__ = pkgutil.extend_path(__path__, __name__)

from orv_core import HyperbolicIndex
from velmora.batch import add_items, get_rng_state, search, seed, set_rng_state

from ._manifest import CollectionFileError
from ._ray import ShardLostError
from .collection import Collection

__all__ = [
    "Collection", "CollectionFileError", "HyperbolicIndex", "ShardLostError", "add_items",
    "get_rng_state", "search", "seed", "set_rng_state",
]  # fmt: skip
