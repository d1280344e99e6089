"""Velmora: tooling around the ``orv_core`` HNSW index (data sets, batch search, demo)."""

from orv_core import HyperbolicIndex

__all__ = ["HyperbolicIndex"]
