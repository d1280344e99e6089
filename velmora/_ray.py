"""The Ray backend of a collection: each shard lives in a Ray actor that holds one CPU.

The actor holds a :class:`~velmora._shard.LocalShard`; rows, queries and answers travel as NumPy
arrays, and saved shards as bytes, so no shared file system is needed. The driver keeps a copy
of every shard's labels and masks (16 bytes a row), so that placing rows, finding labels and
counting the rows a mask passes need no round trip.

A shard whose actor dies is rebuilt from the last save (index, labels, masks and generator
state) and the log of changes since then. Insertion is deterministic from the generator state,
so the rebuilt shard is identical to the lost one. A call that meets a dead actor waits for the
rebuild and is then answered by the new actor; if the rebuild fails it raises
:class:`ShardLostError` naming the shard, never a partial answer.
"""

from __future__ import annotations

import hashlib
import logging
import os
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

from ._log import FileLog, MemoryLog, log_path, replay
from ._manifest import MANIFEST, SHARD_FILES, read_manifest
from ._shard import LocalShard, ShardDataError, _read_npy

# How long a new collection waits for the cluster to place its actors.
PLACE_TIMEOUT_S = 120.0
# How long a rebuild may wait for the cluster to place and fill a new actor.
RESTORE_TIMEOUT_S = 600.0
# Driver threads that wait on actors; they only wait, so they may outnumber the cores.
_MAX_WAITERS = 64


class ShardLostError(RuntimeError):
    """A shard's actor died and the shard could not be rebuilt."""

    def __init__(self, shard: int, reason: str):
        super().__init__(f"shard {shard} was lost and could not be restored: {reason}")
        self.shard = shard


def connect():
    """The ``ray`` module, initialised: the program's own cluster, else a local one on loopback."""
    try:
        import ray
    except ImportError:
        raise ImportError(
            'backend="ray" needs Ray; install it with: pip install "velmora[ray]"'
        ) from None
    if not ray.is_initialized():
        kwargs = {"include_dashboard": False, "logging_level": logging.WARNING}
        if not os.environ.get("RAY_ADDRESS"):
            kwargs["_node_ip_address"] = "127.0.0.1"
        ray.init(**kwargs)
    return ray


class _ShardActor:
    """Body of the actor: one shard, each method one step the driver asks for."""

    def __init__(self, config: tuple, seed: int):
        self.config = config
        self.shard = LocalShard(*config, seed)

    def ready(self) -> bool:
        return True

    def load(self, blobs: dict) -> tuple[str, str] | None:
        """Replace the shard with a saved one; (kind, detail) of a bad blob, else None."""
        try:
            self.shard = LocalShard.from_bytes(blobs, *self.config)
        except ShardDataError as e:
            return e.kind, e.detail
        return None

    def add_rows(self, rows, labels, masks, ef) -> None:
        self.shard.add_rows(rows, labels, masks, ef)

    def replay(self, records) -> int:
        replay(self.shard, records)
        return len(self.shard)

    def update_masks(self, nodes, masks) -> None:
        self.shard.update_masks(nodes, masks)

    def search_batch(self, *args):
        return self.shard.search_batch(*args, threads=1)

    def stats(self) -> dict:
        return self.shard.stats()

    def rng_state(self) -> bytes:
        return self.shard.rng_state()

    def to_bytes(self) -> dict:
        return self.shard.to_bytes()

    def where(self) -> tuple[str, int]:
        """(Ray node id, process id): where this shard lives."""
        import ray

        return ray.get_runtime_context().get_node_id(), os.getpid()


class RayShard:
    """Driver side of a shard in an actor, with the driver's copy of its labels and masks."""

    # The lookups read only the labels and masks, which this class keeps as LocalShard does.
    __len__ = LocalShard.__len__
    find = LocalShard.find
    count_passing = LocalShard.count_passing
    _reindex = LocalShard._reindex

    def __init__(self, backend: RayBackend, number: int, seed: int):
        self._backend, self.number, self.seed = backend, number, seed
        self._actor = backend.new_actor(seed)
        self._lock = threading.Lock()
        self._set_rows(np.empty(0, dtype=np.int64), np.empty(0, dtype=np.uint64))

    def _set_rows(self, labels: np.ndarray, masks: np.ndarray) -> None:
        self.labels, self.masks = labels, masks
        self._reindex()

    def where(self) -> tuple[str, int]:
        return self._call("where")

    def load(self, blobs: dict) -> None:
        """Fill the actor from saved blobs; raises ShardDataError naming the bad blob."""
        bad = self._call("load", blobs)
        if bad is not None:
            raise ShardDataError(*bad)
        self._set_rows(_read_npy(blobs["labels"], np.int64, "labels"),
                       _read_npy(blobs["masks"], np.uint64, "masks"))  # fmt: skip

    def add_rows(self, rows, labels, masks, ef, threads=None) -> None:
        # The actor builds on the cores of its own node, whatever the driver has.
        # The batch is in the log already: a rebuild after a death mid-call replays it.
        if len(labels):
            self._call("add_rows", rows, labels, masks, ef, retry=False)
            self._set_rows(np.concatenate([self.labels, labels]),
                           np.concatenate([self.masks, masks]))  # fmt: skip

    def update_masks(self, nodes, masks) -> None:
        self._call("update_masks", nodes, masks, retry=False)
        new = self.masks.copy()
        new[nodes] = masks
        self.masks = new

    def replay(self, records) -> None:
        """Apply logged changes (cut to this shard) to the actor and to the driver's copy."""
        self._call("replay", records, retry=False)
        mirror = _Rows(self.labels, self.masks)
        replay(mirror, records)
        self._set_rows(mirror.labels, mirror.masks)

    def search_batch(self, q, k, method, filters, ef, max_radius, min_norm, threads=None):
        return self._call("search_batch", q, k, method, filters, ef, max_radius, min_norm)

    def stats(self) -> dict:
        return self._call("stats")

    def rng_state(self) -> bytes:
        return self._call("rng_state")

    def to_bytes(self) -> dict:
        return self._call("to_bytes")

    def _call(self, name: str, *args, retry: bool = True):
        """Run ``name`` on the actor; a dead actor is rebuilt, and read-only calls retried."""
        ray = self._backend.ray
        actor = self._actor
        try:
            return ray.get(getattr(actor, name).remote(*args))
        except ray.exceptions.RayActorError:
            self._restore(actor)
            if not retry:
                return None
        try:
            return ray.get(getattr(self._actor, name).remote(*args))
        except ray.exceptions.RayActorError as e:
            raise ShardLostError(self.number, f"its new actor died too ({e})") from None

    def _restore(self, dead) -> None:
        with self._lock:
            if self._actor is not dead:
                return
            ray = self._backend.ray
            ray.kill(dead, no_restart=True)
            try:
                self._actor = self._backend.rebuild(self.number, self.seed)
            except (ray.exceptions.RayError, OSError, ValueError, KeyError, IndexError) as e:
                # the cluster could not place or fill the actor, or the saved copy is unusable
                raise ShardLostError(self.number, f"{type(e).__name__}: {e}") from None


class _Rows:
    """The labels and masks alone, for replaying logged changes onto the driver's copy."""

    __len__ = LocalShard.__len__
    find = LocalShard.find
    _reindex = LocalShard._reindex

    def __init__(self, labels, masks):
        self.labels, self.masks = labels, masks
        self._reindex()

    def add_rows(self, rows, labels, masks, ef, threads=None) -> None:
        self.labels = np.concatenate([self.labels, labels])
        self.masks = np.concatenate([self.masks, masks])
        self._reindex()

    def update_masks(self, nodes, masks) -> None:
        self.masks = self.masks.copy()
        self.masks[nodes] = masks


class RayBackend:
    """Actors, the base a lost shard is rebuilt from, and the log of changes since that base."""

    def __init__(self, dimension: int, metric: str, M: int, curvature: float, count: int):
        self.ray = connect()
        self.config = (dimension, metric, M, curvature)
        self.count = count
        self.base: Path | None = None
        self.log: MemoryLog | FileLog = MemoryLog()
        remote = self.ray.remote(num_cpus=1, max_restarts=0)(_ShardActor)
        self._actor_class = remote.options(scheduling_strategy="SPREAD")
        self._pool = ThreadPoolExecutor(max_workers=min(count, _MAX_WAITERS),
                                        thread_name_prefix="velmora-ray")  # fmt: skip

    def map(self, fn, items) -> list:
        """``fn`` over ``items``, all at once: each call waits on its own actor."""
        items = list(items)
        if len(items) <= 1:
            return [fn(item) for item in items]
        return list(self._pool.map(fn, items))

    def new_actor(self, seed: int):
        return self._actor_class.remote(self.config, seed)

    def new_shards(self, seeds: list[int]) -> list[RayShard]:
        shards = [RayShard(self, i, s) for i, s in enumerate(seeds)]
        refs = [s._actor.ready.remote() for s in shards]
        done, _ = self.ray.wait(refs, num_returns=len(refs), timeout=PLACE_TIMEOUT_S)
        if len(done) < len(refs):
            for s in shards:
                self.ray.kill(s._actor, no_restart=True)
            free = self.ray.available_resources().get("CPU", 0)
            raise RuntimeError(
                f"the Ray cluster placed {len(done)} of {len(refs)} shard actors (one CPU each) "
                f"within {PLACE_TIMEOUT_S:g} s; it has {free:g} CPUs free"
            )
        self.ray.get(done)
        return shards

    def attach(self, directory, digest: bytes, valid_size: int | None) -> None:
        """From now on rebuild from the save in ``directory`` and log beside it."""
        self.base = Path(os.fspath(directory))
        self.log = FileLog(log_path(self.base), digest, valid_size)

    def rebuild(self, number: int, seed: int):
        """A new actor holding shard ``number`` as it was: the base, then the log replayed."""
        actor = self.new_actor(seed)
        try:
            if self.base is not None:
                bad = self.ray.get(actor.load.remote(read_shard_blobs(self.base, number)),
                                   timeout=RESTORE_TIMEOUT_S)  # fmt: skip
                if bad is not None:
                    raise ShardDataError(*bad)
            records = [r.for_shard(number, self.count) for r in self.log.records()]
            self.ray.get(actor.replay.remote(records), timeout=RESTORE_TIMEOUT_S)
        except BaseException:
            self.ray.kill(actor, no_restart=True)
            raise
        return actor


def read_shard_blobs(directory: Path, number: int) -> dict[str, bytes]:
    """One shard's files from a saved directory, each checked against the manifest."""
    entry = read_manifest(directory / MANIFEST)["files"][number]
    blobs = {}
    for kind in SHARD_FILES:
        file = directory / entry[kind]["file"]
        data = file.read_bytes()
        if hashlib.sha256(data).hexdigest() != entry[kind]["sha256"]:
            raise ShardDataError(kind, f"{file} does not match its checksum")
        blobs[kind] = data
    return blobs
