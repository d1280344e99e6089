"""Pure-Python reader and writer of the ``orv_core`` index file.

Layout (little-endian, no padding): a 28-byte header (int32 dimension, float32 curvature,
int32 max_m, int32 ep_id, int32 ep_layer, uint64 node count N), then
section A (per node: ``dimension`` float32 components and the float32 stored norm),
section B (per node: uint64 mask) and section C (per node: int32 level, then for each layer
0 .. level a uint64 count followed by that many int32 neighbour ids).

:func:`encode` writes whatever it is given, inconsistencies included, so that tests can craft
malformed files; :func:`decode` is strict and raises :class:`FileFormatError` on anything that
does not parse exactly.
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
import struct
import tempfile
from pathlib import Path

import numpy as np

HEADER = struct.Struct("<ifiiiQ")
HEADER_SIZE = HEADER.size  # 28


class FileFormatError(ValueError):
    """The bytes are not a complete, exactly sized index file."""


@dataclasses.dataclass
class IndexImage:
    """The contents of one index file.

    ``links[i][j]`` is the neighbour list of node i on layer j; a node of level L has L + 1
    lists (none for a negative level). ``count`` overrides the node count written to the header.
    """

    dimension: int
    curvature: float
    max_m: int
    ep_id: int
    ep_layer: int
    vectors: np.ndarray
    norms: np.ndarray
    masks: np.ndarray
    levels: list[int]
    links: list[list[list[int]]]
    count: int | None = None

    @property
    def n(self) -> int:
        return len(self.levels)

    def section_offsets(self) -> tuple[int, int]:
        """File offsets of sections B and C."""
        b = HEADER_SIZE + 4 * self.n * (self.dimension + 1)
        return b, b + 8 * self.n


def empty_image(dimension: int = 2, curvature: float = 1.0, max_m: int = 16) -> IndexImage:
    return IndexImage(
        dimension=dimension, curvature=curvature, max_m=max_m, ep_id=-1, ep_layer=-1,
        vectors=np.zeros((0, dimension), dtype=np.float32), norms=np.zeros(0, dtype=np.float32),
        masks=np.zeros(0, dtype=np.uint64), levels=[], links=[],
    )  # fmt: skip


def make_image(
    vectors,
    links: list[list[list[int]]],
    *,
    max_m: int = 16,
    ep_id: int = 0,
    ep_layer: int | None = None,
    masks=None,
    norms=None,
    curvature: float = 1.0,
) -> IndexImage:
    """An image whose levels follow from ``links``; norms default to the squared norms."""
    vec = np.ascontiguousarray(np.atleast_2d(np.asarray(vectors, dtype=np.float32)))
    n = vec.shape[0]
    if norms is None:
        norms = squared_norms(vec)
    levels = [len(layers) - 1 for layers in links]
    if ep_layer is None:
        ep_layer = levels[ep_id] if ep_id >= 0 else -1
    return IndexImage(
        dimension=vec.shape[1], curvature=curvature, max_m=max_m, ep_id=ep_id,
        ep_layer=ep_layer, vectors=vec, norms=np.asarray(norms, dtype=np.float32),
        masks=np.zeros(n, dtype=np.uint64) if masks is None else np.asarray(masks, np.uint64),
        levels=levels, links=[[list(lst) for lst in layers] for layers in links],
    )  # fmt: skip


def squared_norms(vectors: np.ndarray) -> np.ndarray:
    """Sum of squares per row in float32, in index order (as the index stores it)."""
    vec = np.asarray(vectors, dtype=np.float32)
    acc = np.zeros(vec.shape[0], dtype=np.float32)
    for j in range(vec.shape[1]):
        acc = (acc.astype(np.float64) + vec[:, j].astype(np.float64) ** 2).astype(np.float32)
    return acc


def encode(image: IndexImage) -> bytes:
    n = image.n if image.count is None else image.count
    parts = [
        HEADER.pack(image.dimension, image.curvature, image.max_m, image.ep_id, image.ep_layer, n)
    ]
    vec = np.asarray(image.vectors, dtype="<f4")
    norms = np.asarray(image.norms, dtype="<f4")
    for i in range(len(image.levels)):
        parts.append(vec[i].tobytes())
        parts.append(norms[i : i + 1].tobytes())
    parts.append(np.asarray(image.masks, dtype="<u8").tobytes())
    for level, layers in zip(image.levels, image.links):
        parts.append(struct.pack("<i", level))
        for ids in layers:
            parts.append(struct.pack("<Q", len(ids)))
            parts.append(np.asarray(ids, dtype="<i4").tobytes())
    return b"".join(parts)


class _Cursor:
    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def take(self, size: int) -> bytes:
        if size < 0 or self.pos + size > len(self.data):
            raise FileFormatError(f"file ends early: need {size} bytes at offset {self.pos}")
        chunk = self.data[self.pos : self.pos + size]
        self.pos += size
        return chunk

    def unpack(self, fmt: str):
        s = struct.Struct(fmt)
        return s.unpack(self.take(s.size))


def decode(data: bytes) -> IndexImage:
    cur = _Cursor(data)
    dimension, curvature, max_m, ep_id, ep_layer, n = cur.unpack("<ifiiiQ")
    if dimension < 1 or n > len(data):
        raise FileFormatError(f"dimension {dimension} / node count {n} cannot be read")
    vectors = np.zeros((n, dimension), dtype=np.float32)
    norms = np.zeros(n, dtype=np.float32)
    for i in range(n):
        vectors[i] = np.frombuffer(cur.take(4 * dimension), dtype="<f4")
        norms[i] = np.frombuffer(cur.take(4), dtype="<f4")[0]
    masks = np.frombuffer(cur.take(8 * n), dtype="<u8").astype(np.uint64)
    levels, links = [], []
    for _ in range(n):
        (level,) = cur.unpack("<i")
        layers = []
        for _ in range(level + 1):
            (count,) = cur.unpack("<Q")
            layers.append(np.frombuffer(cur.take(4 * count), dtype="<i4").tolist())
        levels.append(level)
        links.append(layers)
    if cur.pos != len(data):
        raise FileFormatError(f"{len(data) - cur.pos} trailing bytes")
    return IndexImage(
        dimension, curvature, max_m, ep_id, ep_layer, vectors, norms, masks, levels, links
    )


def read(path) -> IndexImage:
    return decode(Path(path).read_bytes())


def write(path, image: IndexImage) -> Path:
    path = Path(path)
    path.write_bytes(encode(image))
    return path


def saved_bytes(index, path) -> bytes:
    """The bytes ``index.save_index`` writes to ``path``."""
    index.save_index(str(path))
    return Path(path).read_bytes()


def snapshot(index, path) -> IndexImage:
    """The index's contents, read back through its own index file."""
    return decode(saved_bytes(index, path))


@contextlib.contextmanager
def scratch_directory(fallback):
    """A temporary directory in memory when possible (every save syncs its file to disk)."""
    shm = Path("/dev/shm")
    if not (shm.is_dir() and os.access(shm, os.W_OK)):
        yield Path(fallback)
        return
    with tempfile.TemporaryDirectory(dir=shm, prefix="orv-tests-") as name:
        yield Path(name)
