"""``Collection``: rows named by the user's own labels, spread over shards, saved as one directory.

Each shard is a ``HyperbolicIndex`` behind :class:`velmora._shard.LocalShard`. The collection
places rows (shard = label mod shards), runs the shards on a thread pool (their native calls
release the interpreter lock), merges their answers by (distance, label), chooses between the
graph and the exact scan for filtered queries, and reads and writes the saved directory.
With ``backend="ray"`` each shard lives in a Ray actor instead (see :mod:`velmora._ray`), and
the collection logs every change before the shards see it, so that a lost shard can be rebuilt.
"""

from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

from . import _checks as checks
from . import index_file
from ._log import AddRecord, MaskRecord, log_path, manifest_digest, read_log, replay
from ._manifest import (
    MANIFEST,
    CollectionFileError,
    read_collection,
    shard_file_name,
    write_collection,
)
from ._shard import LocalShard, ShardDataError

SEARCH_METHODS = ("auto", "hnsw", "filtered", "flat")
BACKENDS = ("local", "ray")
_DEFAULT_EF = {"hnsw": 50, "filtered": 2000}
# Gap cut-off of the filtered search, reapplied to the merged list (float32, as the index has them).
_GAP_FLOOR, _GAP_JUMP, _GAP_MAX = np.float32(0.01), np.float32(0.6), np.float32(2.0)
# Costs of "auto" in nanoseconds, one thread: bench/collection_bench.py, crossover section, on
# Fashion-MNIST cosine (60 000 rows at 784 dimensions and a 32-dimension projection), filtered
# search with a filter half the rows pass; each pair is a fixed part and a part per dimension.
SCAN_NS_PER_ROW = 1.37  # a row the scan skips (mask test only)
SCAN_NS_PER_PASSING = (1.3, 0.302)  # a row that passes: its distance
GRAPH_NS_BASE = (13696.0, 136.0)  # one filtered graph search on one shard
GRAPH_NS_PER_EF = (882.9, 2.721)  # and per unit of its beam width max(ef, k)
_MASK_CACHE_LIMIT = 4096


def _cores() -> int:
    return max(1, len(os.sched_getaffinity(0)))


def _sub_seed(seed: int, *key: int) -> int:
    return int(np.random.SeedSequence(seed, spawn_key=key).generate_state(1, np.uint32)[0])


class Collection:
    """Rows labelled by non-negative int64 ids, held in ``shards`` indexes of one metric.

    ``seed`` (32-bit; random when None) fixes every shard's level generator and the insertion
    order within each ``add``, so the same seed and rows give the same saved bytes whatever the
    thread count.
    """

    def __init__(self, dimension, metric="poincare", M=16, curvature=1.0, shards=1, seed=None,
                 backend="local"):  # fmt: skip
        self.dimension = checks.int_in("dimension", dimension, 1, 2**31 - 1)
        self.metric = checks.metric_name(metric)
        self.M = checks.int_in("M", M, 2, 65536)
        self.curvature = float(curvature)
        count = checks.int_in("shards", shards, 1, 4096)
        if seed is None:
            seed = int.from_bytes(os.urandom(4), "little")
        self.seed = checks.int_in("seed", seed, 0, 2**32 - 1)
        if backend not in BACKENDS:
            raise ValueError(f"backend must be one of {', '.join(BACKENDS)}, got {backend!r}")
        seeds = [_sub_seed(self.seed, 0, i) for i in range(count)]
        self._backend = None
        if backend == "ray":
            from ._ray import RayBackend

            self._backend = RayBackend(self.dimension, self.metric, self.M, self.curvature, count)
            self._shards = self._backend.new_shards(seeds)
        else:
            self._shards = [
                LocalShard(self.dimension, self.metric, self.M, self.curvature, s) for s in seeds
            ]
        self._next_batch = 0
        self._max_label = -1
        self._passing: dict[int, int] = {}

    def __len__(self) -> int:
        return sum(len(s) for s in self._shards)

    def __repr__(self) -> str:
        where = "" if self._backend is None else ", backend='ray'"
        return (
            f"Collection(metric={self.metric!r}, dimension={self.dimension}, rows={len(self)}, "
            f"shards={len(self._shards)}{where})"
        )

    @property
    def shards(self) -> int:
        return len(self._shards)

    @property
    def backend(self) -> str:
        return "local" if self._backend is None else "ray"

    def _run(self, fn, items, threads=None) -> list:
        """``fn`` over ``items`` on up to ``threads`` workers (all cores when None)."""
        if self._backend is not None:
            return self._backend.map(fn, items)
        workers = min(len(items), threads or _cores())
        if workers <= 1:
            return [fn(item) for item in items]
        with ThreadPoolExecutor(max_workers=workers) as pool:
            return list(pool.map(fn, items))

    # --- adding and changing rows --------------------------------------------------------------

    def add(self, vectors, ids=None, masks=None, ef_construction=200, shuffle=True, threads=None):
        """Insert rows; ``ids`` default to the labels after the largest one so far.

        Rows go to shard ``label % shards``. With ``shuffle`` the batch is inserted in an order
        drawn from the seed and the batch number (sorted input builds a worse graph).
        """
        rows = checks.as_rows(vectors, self.dimension, "vectors")
        n = len(rows)
        if ids is None:
            labels = np.arange(self._max_label + 1, self._max_label + 1 + n, dtype=np.int64)
        else:
            labels = checks.as_labels(ids, n)
        row_masks = checks.as_masks(masks, n)
        ef = checks.int_in("ef_construction", ef_construction, -(2**31), 2**31 - 1)
        checks.check_rows(rows, self.metric)
        self._refuse_known(labels)
        if n == 0:
            return
        order = np.arange(n)
        if shuffle:
            order = np.random.default_rng(_sub_seed(self.seed, 1, self._next_batch)).permutation(n)
        self._next_batch += 1
        rows, labels, row_masks = rows[order], labels[order], row_masks[order]
        if self._backend is not None:
            self._backend.log.append(AddRecord(self._next_batch - 1, ef, rows, labels, row_masks))
        place = labels % len(self._shards)
        # Shards build side by side, each on its share of the threads.
        per_shard = max(1, (threads or _cores()) // len(self._shards))

        def add_to(i: int) -> None:
            sel = place == i
            self._shards[i].add_rows(rows[sel], labels[sel], row_masks[sel], ef, per_shard)

        self._run(add_to, range(len(self._shards)), threads)
        self._max_label = max(self._max_label, int(labels.max()))
        for mask in self._passing:
            self._passing[mask] += _count(row_masks, mask)

    def _refuse_known(self, labels: np.ndarray) -> None:
        _, nodes = self._locate(labels)
        known = np.flatnonzero(nodes >= 0)
        if len(known):
            raise ValueError(f"label {int(labels[known[0]])} is already in the collection")

    def _locate(self, labels: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """(shard, node) of each label; node -1 where the collection does not hold it."""
        place = labels % len(self._shards)
        nodes = np.full(len(labels), -1, dtype=np.int64)
        for i, shard in enumerate(self._shards):
            sel = place == i
            if sel.any():
                nodes[sel] = shard.find(labels[sel])
        return place, nodes

    def update_masks(self, ids, masks) -> None:
        """Set the masks of the rows labelled ``ids`` (a scalar mask applies to every one)."""
        labels = checks.as_labels(ids, len(np.atleast_1d(np.asarray(ids))))
        new = checks.as_masks(masks, len(labels))
        place, nodes = self._locate(labels)
        unknown = np.flatnonzero(nodes < 0)
        if len(unknown):
            raise ValueError(f"label {int(labels[unknown[0]])} is not in the collection")
        old = np.empty_like(new)
        for i, shard in enumerate(self._shards):
            sel = place == i
            old[sel] = shard.masks[nodes[sel]]

        def update(i: int) -> None:
            sel = place == i
            if sel.any():
                self._shards[i].update_masks(nodes[sel], new[sel])

        if self._backend is not None:
            self._backend.log.append(MaskRecord(labels, new))
        self._run(update, range(len(self._shards)))
        for mask in self._passing:
            self._passing[mask] += _count(new, mask) - _count(old, mask)

    def passing_rows(self, mask: int) -> int:
        """Rows whose mask holds every bit of ``mask`` (cached per mask value)."""
        mask = int(mask)
        if mask not in self._passing:
            if len(self._passing) >= _MASK_CACHE_LIMIT:
                self._passing.clear()
            self._passing[mask] = sum(s.count_passing(mask) for s in self._shards)
        return self._passing[mask]

    # --- searching ------------------------------------------------------------------------------

    def search(self, queries, k, method="auto", filter_mask=0, ef_search=None, max_radius=-1.0,
               min_norm=-1.0, threads=None) -> tuple[np.ndarray, np.ndarray]:  # fmt: skip
        """``(labels, distances)``: int64 and float32 arrays (n, k), padded with -1 and +inf.

        "flat" is exact (ties ordered by label); "hnsw" keeps the k nearest of the shards'
        answers; "filtered" cuts the merged list at the filtered search's gap; "auto" takes the
        plain graph without a filter, and for a filter whichever of the exact scan and the graph
        search with a beam widened for the filter costs less (see ``auto_methods``).
        """
        q = checks.as_rows(queries, self.dimension, "queries")
        k = checks.int_in("k", k, 0, 2**31 - 1)
        if method not in SEARCH_METHODS:
            raise ValueError(f"method must be one of {', '.join(SEARCH_METHODS)}, got {method!r}")
        if ef_search is not None:
            ef_search = checks.int_in("ef_search", ef_search, -(2**31), 2**31 - 1)
        filters = checks.as_masks(filter_mask, len(q), "filter_mask")
        if threads is not None:
            threads = checks.int_in("threads", threads, 1)
        labels = np.full((len(q), k), -1, dtype=np.int64)
        dists = np.full((len(q), k), np.inf, dtype=np.float32)
        if method == "auto":
            methods, efs = self.auto_methods(filters, k, ef_search)
            groups = sorted({(m, int(e)) for m, e in zip(methods, efs)})
        else:
            methods, efs, groups = None, None, [(method, ef_search)]
        for name, ef in groups:
            rows = (
                np.arange(len(q))
                if methods is None
                else np.flatnonzero((methods == name) & (efs == ef))
            )
            if len(rows) == 0:
                continue
            ef = None if name == "flat" else ef
            args = (name, filters[rows], ef, float(max_radius), float(min_norm), threads)
            labels[rows], dists[rows] = self._search_merged(q[rows], k, *args)
        return labels, dists

    def auto_methods(self, filters: np.ndarray, k: int, ef_search=None):
        """What "auto" runs for each query mask: ``(methods, efs)``, one entry per query.

        A query without a filter takes "hnsw". A query with a filter takes the exact scan
        ("flat") when it costs less than the graph search, and the graph search otherwise,
        with its beam widened to at least ``2 k rows / passing``: "filtered" for cosine,
        "hnsw" for the other metrics, whose distances the filtered search's gap cut-off (2.0
        and 0.6, in the metric's own units) would cut to one id. The scan costs every row's mask test plus one
        distance per passing row; the graph search costs, on every shard, a base price and a
        price per unit of its beam width.
        """
        graph_method = "filtered" if self.metric == "cosine" else "hnsw"
        methods = np.full(len(filters), "hnsw", dtype=object)
        plain = max(_DEFAULT_EF["hnsw"] if ef_search is None else ef_search, k, 1)
        efs = np.full(len(filters), plain, dtype=np.int64)
        for mask in np.unique(filters[filters != 0]):
            passing = self.passing_rows(int(mask))
            ef = self._graph_ef(graph_method, k, ef_search, passing)
            sel = filters == mask
            methods[sel] = "flat" if self._scan_cheaper(passing, ef) else graph_method
            efs[sel] = ef
        return methods, efs

    def _graph_ef(self, method: str, k: int, ef_search, passing: int) -> int:
        # A beam holds about ef x passing / rows rows that pass: fewer than 2 k of them cost
        # recall (a filter 1 % of Fashion-MNIST rows pass kept R@10 at 0.31 at ef 10).
        ef = max(_DEFAULT_EF[method] if ef_search is None else ef_search, k, 1)
        if passing > 0:
            ef = max(ef, min(-(-2 * k * len(self) // passing), 2**31 - 1))
        return ef

    def _scan_cheaper(self, passing: int, ef: int) -> bool:
        d = self.dimension
        per_search = GRAPH_NS_BASE[0] + GRAPH_NS_BASE[1] * d
        per_search += ef * (GRAPH_NS_PER_EF[0] + GRAPH_NS_PER_EF[1] * d)
        per_passing = SCAN_NS_PER_PASSING[0] + SCAN_NS_PER_PASSING[1] * d
        return len(self) * SCAN_NS_PER_ROW + passing * per_passing < len(self._shards) * per_search

    def _search_merged(self, q, k, method, filters, ef, max_radius, min_norm, threads):
        threads = threads or _cores()
        per_shard = max(1, threads // len(self._shards))

        def one(shard: LocalShard):
            return shard.search_batch(q, k, method, filters, ef, max_radius, min_norm, per_shard)

        parts = self._run(one, self._shards, threads)
        labels = np.concatenate([p[0] for p in parts], axis=1)
        dists = np.concatenate([p[1] for p in parts], axis=1)
        order = np.lexsort((labels, dists, labels < 0), axis=1)[:, :k]
        labels = np.take_along_axis(labels, order, axis=1)
        dists = np.take_along_axis(dists, order, axis=1)
        if method == "filtered":
            _gap_cut(labels, dists)
        return labels, dists

    # --- introspection --------------------------------------------------------------------------

    def stats(self) -> dict:
        """Totals, and each shard's index statistics with its rows and rows beyond 0.995."""
        per_shard = [s.stats() for s in self._shards]
        return {
            "metric": self.metric, "dimension": self.dimension, "M": self.M,
            "curvature": self.curvature, "seed": self.seed, "shards": len(self._shards),
            "rows": sum(s["rows"] for s in per_shard),
            "beyond_boundary": sum(s["beyond_boundary"] for s in per_shard),
            "per_shard": per_shard,
        }  # fmt: skip

    # --- persistence ----------------------------------------------------------------------------

    def save(self, path) -> None:
        """Write the directory ``path`` (str or os.PathLike), replacing a saved copy whole."""
        header = {"metric": self.metric, "dimension": self.dimension, "M": self.M,
                  "curvature": self.curvature, "shards": len(self._shards), "seed": self.seed,
                  "next_batch": self._next_batch}  # fmt: skip
        write_collection(path, header, self._run(lambda shard: shard.to_bytes(), self._shards))
        if self._backend is not None:
            self._backend.attach(path, manifest_digest(Path(os.fspath(path)) / MANIFEST), None)
        else:
            log_path(path).unlink(missing_ok=True)  # it extended the copy just replaced

    @classmethod
    def load(cls, path, backend="local") -> Collection:
        """Read a saved directory, then replay the log beside it (changes made since that save
        by a Ray-backed collection); every file is checked before the collection is returned."""
        manifest, blobs = read_collection(path)
        root = Path(os.fspath(path))
        col = cls(manifest["dimension"], manifest["metric"], manifest["M"],
                  manifest["curvature"], len(blobs), manifest["seed"], backend)  # fmt: skip
        col._load_shards(root, blobs)
        col._next_batch = manifest["next_batch"]
        col._max_label = max((int(s.labels.max()) for s in col._shards if len(s)), default=-1)
        col._replay_log(root)
        return col

    def _load_shards(self, root: Path, blobs: list[dict]) -> None:
        count = len(blobs)
        if self._backend is None:
            self._shards = [self._restore_shard(root, i, b, count) for i, b in enumerate(blobs)]
            return

        def fill(i: int) -> None:
            try:
                self._shards[i].load(blobs[i])
            except ShardDataError as e:
                file = root / shard_file_name(i, e.kind)
                raise CollectionFileError(f"{file}: {e.detail}") from None

        self._run(fill, range(count))
        for i, shard in enumerate(self._shards):
            _check_labels(root, i, shard.labels, count)

    def _replay_log(self, root: Path) -> None:
        """Apply the log that extends the save in ``root``, if there is one."""
        digest = manifest_digest(root / MANIFEST)
        found = read_log(log_path(root), digest)
        records = [] if found is None else found[0]
        for r in records:
            if isinstance(r, AddRecord):
                self._next_batch = max(self._next_batch, r.batch + 1)
                if len(r.labels):
                    self._max_label = max(self._max_label, int(r.labels.max()))
        count = len(self._shards)

        def apply(i: int) -> None:
            part = [r.for_shard(i, count) for r in records]
            if self._backend is None:
                replay(self._shards[i], part)
            else:
                self._shards[i].replay(part)

        if records:
            self._run(apply, range(count))
        if self._backend is not None:
            self._backend.attach(root, digest, None if found is None else found[1])

    @classmethod
    def from_index_file(cls, path, metric, ids=None, seed=None) -> Collection:
        """A one-shard collection holding a ``HyperbolicIndex`` file read with ``metric``.

        The index file does not record its metric, so it must be given. The graph and masks are
        kept as saved; rows are labelled ``ids`` (0 .. n - 1 when None).
        """
        file = Path(os.fspath(path))
        try:
            with open(file, "rb") as f:
                head = f.read(index_file.HEADER_SIZE)
        except OSError as e:
            raise CollectionFileError(f"{file}: cannot be read ({e.strerror})") from None
        if len(head) < index_file.HEADER_SIZE:
            raise CollectionFileError(f"{file}: too short for an index file ({len(head)} bytes)")
        dimension, curvature, max_m, _, _, _ = index_file.HEADER.unpack(head)
        try:
            col = cls(dimension, metric, max_m, curvature, 1, seed)
        except ValueError as e:
            if "metric" in str(e) or "seed" in str(e):
                raise
            raise CollectionFileError(f"{file}: {e}") from None
        try:
            col._shards[0].adopt_index_file(file, ids)
        except ShardDataError as e:
            raise CollectionFileError(f"{file}: {e.detail}") from None
        labels = col._shards[0].labels
        col._max_label = int(labels.max()) if len(labels) else -1
        return col

    def _restore_shard(self, root: Path, i: int, blobs: dict, count: int) -> LocalShard:
        try:
            shard = LocalShard.from_bytes(blobs, self.dimension, self.metric, self.M,
                                          self.curvature)  # fmt: skip
        except ShardDataError as e:
            raise CollectionFileError(f"{root / shard_file_name(i, e.kind)}: {e.detail}") from None
        _check_labels(root, i, shard.labels, count)
        return shard


def _check_labels(root: Path, i: int, labels: np.ndarray, count: int) -> None:
    labels_file = root / shard_file_name(i, "labels")
    if len(labels) and labels.min() < 0:
        raise CollectionFileError(f"{labels_file}: negative label {int(labels.min())}")
    misplaced = np.flatnonzero(labels % count != i)
    if len(misplaced):
        raise CollectionFileError(
            f"{labels_file}: label {int(labels[misplaced[0]])} does not belong to shard {i}"
        )
    uniq, counts = np.unique(labels, return_counts=True)
    if len(uniq) != len(labels):
        raise CollectionFileError(f"{labels_file}: duplicate label {int(uniq[counts > 1][0])}")


def _count(masks: np.ndarray, mask: int) -> int:
    m = np.uint64(mask)
    return int(np.count_nonzero((masks & m) == m))


def _gap_cut(labels: np.ndarray, dists: np.ndarray) -> None:
    """Cut each row as the filtered search does: the nearest is kept; stop before a distance
    above 2.0, or a jump above 0.6 that follows a distance above 0.01."""
    if dists.shape[1] < 2:
        return
    prev, cur = dists[:, :-1], dists[:, 1:]
    with np.errstate(invalid="ignore"):
        stop = ((prev > _GAP_FLOOR) & (cur - prev > _GAP_JUMP)) | (cur > _GAP_MAX)
    cut = np.zeros(dists.shape, dtype=bool)
    cut[:, 1:] = np.logical_or.accumulate(stop, axis=1)
    labels[cut] = -1
    dists[cut] = np.inf
