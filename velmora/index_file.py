"""Reader and writer of the ``orv_core`` index file.

Layout (little-endian, no padding): a 28-byte header (int32 dimension, float32 curvature,
int32 max_m, int32 ep_id, int32 ep_layer, uint64 node count N), then
section A (per node: ``dimension`` float32 components and the float32 stored norm),
section B (per node: uint64 mask) and section C (per node: int32 level, then for each layer
0 .. level a uint64 count followed by that many int32 neighbour ids).

:func:`encode` writes whatever it is given, inconsistencies included, so that tests can craft
malformed files; :func:`decode` is strict and raises :class:`FileFormatError` on anything that
does not parse exactly. :func:`write_level0` writes large files straight from arrays.
"""

from __future__ import annotations

import dataclasses
import struct
from pathlib import Path

import numpy as np

from .hyperbolic import stored_sq_norms

HEADER = struct.Struct("<ifiiiQ")
HEADER_SIZE = HEADER.size  # 28
_LEVEL = struct.Struct("<i")
_COUNT = struct.Struct("<Q")


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
    """An image whose levels follow from ``links``; norms default to the stored squared norms."""
    vec = np.ascontiguousarray(np.atleast_2d(np.asarray(vectors, dtype=np.float32)))
    n = vec.shape[0]
    if norms is None:
        norms = stored_sq_norms(vec)
    levels = [len(layers) - 1 for layers in links]
    if ep_layer is None:
        ep_layer = levels[ep_id] if ep_id >= 0 else -1
    return IndexImage(
        dimension=vec.shape[1], curvature=curvature, max_m=max_m, ep_id=ep_id,
        ep_layer=ep_layer, vectors=vec, norms=np.asarray(norms, dtype=np.float32),
        masks=np.zeros(n, dtype=np.uint64) if masks is None else np.asarray(masks, np.uint64),
        levels=levels, links=[[list(lst) for lst in layers] for layers in links],
    )  # fmt: skip


def encode(image: IndexImage) -> bytes:
    """The file bytes of ``image``, written as given (its rows, not its dimension, set the
    width of section A)."""
    n = image.n if image.count is None else image.count
    head = HEADER.pack(
        image.dimension, image.curvature, image.max_m, image.ep_id, image.ep_layer, n
    )
    rows = len(image.levels)
    vec = np.asarray(image.vectors, dtype="<f4")[:rows]
    norms = np.asarray(image.norms, dtype="<f4")[:rows, None]
    parts = [head, np.hstack([vec, norms]).tobytes()]
    parts.append(np.asarray(image.masks, dtype="<u8").tobytes())
    for level, layers in zip(image.levels, image.links):
        parts.append(_LEVEL.pack(level))
        for ids in layers:
            parts.append(_COUNT.pack(len(ids)))
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

    def unpack(self, layout: struct.Struct) -> tuple:
        return layout.unpack(self.take(layout.size))


def decode(data: bytes) -> IndexImage:
    cur = _Cursor(data)
    dimension, curvature, max_m, ep_id, ep_layer, n = cur.unpack(HEADER)
    if dimension < 1 or n > len(data):
        raise FileFormatError(f"dimension {dimension} / node count {n} cannot be read")
    width = dimension + 1
    rows = np.frombuffer(cur.take(4 * n * width), dtype="<f4").reshape(n, width)
    vectors = rows[:, :dimension].astype(np.float32)
    norms = rows[:, dimension].astype(np.float32)
    masks = np.frombuffer(cur.take(8 * n), dtype="<u8").astype(np.uint64)
    levels, links = [], []
    for _ in range(n):
        (level,) = cur.unpack(_LEVEL)
        layers = []
        for _ in range(level + 1):
            (count,) = cur.unpack(_COUNT)
            layers.append(np.frombuffer(cur.take(4 * count), dtype="<i4").tolist())
        levels.append(level)
        links.append(layers)
    if cur.pos != len(data):
        raise FileFormatError(f"{len(data) - cur.pos} trailing bytes")
    return IndexImage(
        dimension, curvature, max_m, ep_id, ep_layer, vectors, norms, masks, levels, links
    )


def norms_and_masks(data: bytes) -> tuple[np.ndarray, np.ndarray]:
    """The stored squared norms (section A) and the masks (section B) of a file's bytes, without
    reading its links; for bytes that an index has loaded already, so they are well formed."""
    dimension, _, _, _, _, n = HEADER.unpack_from(data)
    width = dimension + 1
    rows = np.frombuffer(data, "<f4", count=n * width, offset=HEADER_SIZE).reshape(n, width)
    masks = np.frombuffer(data, "<u8", count=n, offset=HEADER_SIZE + 4 * n * width)
    return rows[:, dimension].astype(np.float32), masks.astype(np.uint64)


def read(path) -> IndexImage:
    return decode(Path(path).read_bytes())


def write(path, image: IndexImage) -> Path:
    path = Path(path)
    path.write_bytes(encode(image))
    return path


def write_level0(
    path, vectors, norms, masks=None, links=None, *, max_m: int = 16, ep_id: int = -1
) -> Path:
    """A file of level-0 nodes built from arrays at once, for files too large for
    :class:`IndexImage`: ``links`` is an (n, degree) id array (None: every list empty), the
    entry point ``ep_id`` stands on layer 0 and the curvature is 1."""
    vectors = np.asarray(vectors)
    n, d = vectors.shape
    rows = np.empty((n, d + 1), "<f4")
    rows[:, :d] = vectors
    rows[:, d] = norms
    fields = [("level", "<i4"), ("count", "<u8")]
    if links is not None:
        links = np.asarray(links)
        fields.append(("ids", "<i4", (links.shape[1],)))
    lists = np.zeros(n, np.dtype(fields))  # packed: no padding between the fields
    if links is not None:
        lists["count"] = links.shape[1]
        lists["ids"] = links
    masks = np.zeros(n, "<u8") if masks is None else np.asarray(masks, "<u8")
    head = HEADER.pack(d, 1.0, max_m, ep_id, 0 if ep_id >= 0 else -1, n)
    path = Path(path)
    with open(path, "wb") as f:
        f.writelines([head, rows.tobytes(), masks.tobytes(), lists.tobytes()])
    return path


def saved_bytes(index, path) -> bytes:
    """The bytes ``index.save_index`` writes to ``path``."""
    index.save_index(str(path))
    return Path(path).read_bytes()


def snapshot(index, path) -> IndexImage:
    """The index's contents, read back through its own index file."""
    return decode(saved_bytes(index, path))
