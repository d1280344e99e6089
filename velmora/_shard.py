"""One shard of a collection: a ``HyperbolicIndex`` with the labels and masks of its rows.

Every operation a collection needs from a shard goes through :class:`LocalShard`, and each takes
and returns plain arrays and bytes, so that a shard can live elsewhere (another process, an actor)
behind the same methods.
"""

from __future__ import annotations

import io
import os
import tempfile
from pathlib import Path

import numpy as np

import velmora
from orv_core import HyperbolicIndex

from . import index_file
from ._checks import as_labels
from .hyperbolic import BOUNDARY_SQ_NORM, stored_sq_norms

_PAD_LABEL = -1
_BOUNDARY = np.float32(BOUNDARY_SQ_NORM)
_FLAT_WIDEN = 2  # factor by which a flat search's k grows until the k-th distance is not tied


class ShardDataError(ValueError):
    """A shard's saved blob ``kind`` (index, labels, masks or rng) is unusable."""

    def __init__(self, kind: str, detail: str):
        super().__init__(f"{kind}: {detail}")
        self.kind, self.detail = kind, detail


class LocalShard:
    """A shard in this process. ``labels[node]`` is the label of node ``node``."""

    def __init__(self, dimension: int, metric: str, M: int, curvature: float, seed: int):
        self.index = HyperbolicIndex(dimension, curvature=curvature, M=M, metric=metric)
        velmora.seed(self.index, seed)
        self.metric = metric
        self.labels = np.empty(0, dtype=np.int64)
        self.masks = np.empty(0, dtype=np.uint64)
        self.beyond = 0
        self._sorted = np.empty(0, dtype=np.int64)
        self._order = np.empty(0, dtype=np.int64)

    def __len__(self) -> int:
        return len(self.labels)

    def add_rows(
        self, vectors: np.ndarray, labels: np.ndarray, masks: np.ndarray, ef: int, threads=None
    ) -> None:
        """Insert rows in the given order (already checked by the collection), the graph built
        on ``threads`` threads (all cores when None)."""
        if len(labels) == 0:
            return
        velmora.add_items(self.index, vectors, masks, ef_construction=ef, threads=threads)
        self.labels = np.concatenate([self.labels, labels])
        self.masks = np.concatenate([self.masks, masks])
        if self.metric == "poincare":
            self.beyond += int(np.count_nonzero(stored_sq_norms(vectors) >= _BOUNDARY))
        self._reindex()

    def _reindex(self) -> None:
        self._order = np.argsort(self.labels, kind="stable")
        self._sorted = self.labels[self._order]

    def find(self, labels: np.ndarray) -> np.ndarray:
        """Node ids of ``labels``; -1 for a label this shard does not hold."""
        if len(self) == 0:
            return np.full(len(labels), -1, dtype=np.int64)
        pos = np.minimum(np.searchsorted(self._sorted, labels), len(self) - 1)
        return np.where(self._sorted[pos] == labels, self._order[pos], -1)

    def update_masks(self, nodes: np.ndarray, masks: np.ndarray) -> None:
        new = self.masks.copy()
        new[nodes] = masks
        self.index.update_masks(new)
        self.masks = new

    def count_passing(self, mask: int) -> int:
        m = np.uint64(mask)
        return int(np.count_nonzero((self.masks & m) == m))

    def search_batch(
        self, queries, k, method, filter_masks, ef_search, max_radius, min_norm, threads
    ) -> tuple[np.ndarray, np.ndarray]:
        """(labels, distances) of each query, nearest first, padded with -1 and +inf.

        A flat search widens its k until the last distance kept differs from the k-th, so that
        every row tied with the k-th is returned and the merge can order ties by label.
        """
        kw = {"method": method, "ef_search": ef_search, "max_radius": max_radius,
              "min_norm": min_norm, "threads": threads}  # fmt: skip
        if len(self) == 0 or len(queries) == 0:
            return _padded(len(queries), k)
        # One row more than k shows whether the k-th distance is tied.
        width = k + 1 if method == "flat" and 0 < k < len(self) else k
        ids, dists = velmora.search(self.index, queries, width, filter_mask=filter_masks, **kw)
        if width > k:
            ids, dists = self._complete_ties(queries, k, filter_masks, ids, dists, kw)
        return np.where(ids >= 0, self.labels[np.maximum(ids, 0)], _PAD_LABEL), dists

    def _complete_ties(self, queries, k, filter_masks, ids, dists, kw):
        width = ids.shape[1]
        while True:
            tied = (ids[:, -1] >= 0) & (dists[:, -1] == dists[:, k - 1])
            if not tied.any() or width >= len(self):
                return ids, dists
            width = min(width * _FLAT_WIDEN, len(self))
            rows = np.flatnonzero(tied)
            masks = np.broadcast_to(np.asarray(filter_masks, dtype=np.uint64), (len(queries),))
            more_ids, more_d = velmora.search(
                self.index, queries[rows], width, filter_mask=masks[rows], **kw
            )
            grown_ids, grown_d = _padded(len(queries), width)
            grown_ids[:, : ids.shape[1]], grown_d[:, : ids.shape[1]] = ids, dists
            grown_ids[rows], grown_d[rows] = more_ids, more_d
            ids, dists = grown_ids, grown_d

    def stats(self) -> dict:
        s = dict(self.index.get_stats())
        s["rows"] = len(self)
        s["beyond_boundary"] = self.beyond
        return s

    def rng_state(self) -> bytes:
        return velmora.get_rng_state(self.index)

    def to_bytes(self) -> dict[str, bytes]:
        """The shard as named blobs: index file, labels and masks (.npy), generator state."""
        with tempfile.TemporaryDirectory(prefix="velmora-shard-") as tmp:
            path = os.path.join(tmp, "shard.index")
            self.index.save_index(path)
            with open(path, "rb") as f:
                index_bytes = f.read()
        return {"index": index_bytes, "labels": _npy(self.labels), "masks": _npy(self.masks),
                "rng": self.rng_state()}  # fmt: skip

    @classmethod
    def from_bytes(cls, blobs: dict[str, bytes], dimension, metric, M, curvature) -> LocalShard:
        """Rebuild a shard from :meth:`to_bytes`; raises :class:`ShardDataError` on a bad blob."""
        shard = cls(dimension, metric, M, curvature, 0)
        with tempfile.TemporaryDirectory(prefix="velmora-shard-") as tmp:
            path = os.path.join(tmp, "shard.index")
            with open(path, "wb") as f:
                f.write(blobs["index"])
            try:
                shard.index.load_index(path)
            except RuntimeError as e:
                raise ShardDataError("index", str(e).replace(path, "the file")) from None
        shard.labels = _read_npy(blobs["labels"], np.int64, "labels")
        shard.masks = _read_npy(blobs["masks"], np.uint64, "masks")
        try:
            velmora.set_rng_state(shard.index, blobs["rng"])
        except (ValueError, TypeError, RuntimeError) as e:
            raise ShardDataError("rng", str(e)) from None
        shard._check_loaded(dimension, M, index_file.norms_and_masks(blobs["index"])[0])
        return shard

    def adopt_index_file(self, path, ids) -> None:
        """Load an index file into this empty shard; its masks are read from the file."""
        try:
            self.index.load_index(os.fspath(path))
        except RuntimeError as e:
            raise ShardDataError("index", str(e)) from None
        s = self.index.get_stats()
        norms, self.masks = index_file.norms_and_masks(Path(path).read_bytes())
        n = s["num_nodes"]
        self.labels = np.arange(n, dtype=np.int64) if ids is None else as_labels(ids, n)
        self._check_loaded(s["dimension"], s["max_m"], norms)

    def _check_loaded(self, dimension: int, M: int, norms: np.ndarray) -> None:
        s = self.index.get_stats()
        if s["dimension"] != dimension or s["max_m"] != M:
            raise ShardDataError(
                "index", f"dimension {s['dimension']} and M {s['max_m']}, not {dimension} and {M}"
            )
        for name, arr in (("labels", self.labels), ("masks", self.masks)):
            if len(arr) != s["num_nodes"]:
                raise ShardDataError(name, f"{len(arr)} entries for {s['num_nodes']} rows")
        if self.metric == "poincare":
            self.beyond = int(np.count_nonzero(norms >= _BOUNDARY))
        self._reindex()


def _padded(n: int, k: int) -> tuple[np.ndarray, np.ndarray]:
    return np.full((n, k), _PAD_LABEL, dtype=np.int64), np.full((n, k), np.inf, dtype=np.float32)


def _npy(arr: np.ndarray) -> bytes:
    buf = io.BytesIO()
    np.save(buf, arr, allow_pickle=False)
    return buf.getvalue()


def _read_npy(data: bytes, dtype, name: str) -> np.ndarray:
    try:
        arr = np.load(io.BytesIO(data), allow_pickle=False)
    except (ValueError, OSError, EOFError) as e:
        raise ShardDataError(name, f"not a NumPy array file ({e})") from None
    if arr.dtype != dtype or arr.ndim != 1:
        raise ShardDataError(name, f"not a 1-D {np.dtype(dtype)} array ({arr.dtype} {arr.shape})")
    return arr
