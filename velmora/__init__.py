"""Velmora: tooling around the ``orv_core`` HNSW index (collections, data sets, batch search, demo)."""

from orv_core import HyperbolicIndex

from ._manifest import CollectionFileError
from .collection import Collection

__all__ = ["Collection", "CollectionFileError", "HyperbolicIndex"]
