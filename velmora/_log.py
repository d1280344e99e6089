"""The log of a collection's changes since its last save, so that a lost shard can be rebuilt.

A record is written before any shard sees the change, so every change a caller saw acknowledged
is in the log. A collection with a saved directory keeps its log in a file beside it
(``<directory>.log``), tied to that save by the SHA-256 of its manifest: a log whose digest does
not match belongs to an older save, whose rows the newer save already holds, and is ignored.
Without a saved directory the log is kept in memory.

File layout: the header (magic, manifest digest), then records of
``<4-byte tag><payload length: u64><CRC-32 of the payload: u32><payload>``, each payload a run of
``.npy`` arrays. A record cut short by a crash at the end of the file was never acknowledged and
is dropped; damage anywhere else is an error naming the file and the offset.
"""

from __future__ import annotations

import hashlib
import io
import os
import struct
import zlib
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from ._manifest import CollectionFileError

MAGIC = b"VELMORA-LOG-1\n"
_DIGEST_SIZE = 32
_RECORD = struct.Struct("<4sQI")
_ADD, _MASKS = b"ADD ", b"MASK"


class LogFileError(CollectionFileError):
    """A log file is damaged somewhere other than a torn last record."""


@dataclass(frozen=True)
class AddRecord:
    """One ``add`` batch after shuffling: rows in insertion order."""

    batch: int
    ef: int
    rows: np.ndarray
    labels: np.ndarray
    masks: np.ndarray

    def for_shard(self, shard: int, count: int) -> AddRecord:
        sel = self.labels % count == shard
        return AddRecord(self.batch, self.ef, self.rows[sel], self.labels[sel], self.masks[sel])


@dataclass(frozen=True)
class MaskRecord:
    """One ``update_masks`` call."""

    labels: np.ndarray
    masks: np.ndarray

    def for_shard(self, shard: int, count: int) -> MaskRecord:
        sel = self.labels % count == shard
        return MaskRecord(self.labels[sel], self.masks[sel])


def log_path(directory) -> Path:
    """The log file of the saved directory ``directory``: a sibling named ``<name>.log``."""
    d = Path(os.fspath(directory))
    return d.with_name(d.name + ".log")


def manifest_digest(manifest_file: Path) -> bytes:
    return hashlib.sha256(manifest_file.read_bytes()).digest()


class MemoryLog:
    """Records kept in this process (a collection that has never been saved)."""

    def __init__(self):
        self._records: list[AddRecord | MaskRecord] = []

    def append(self, record: AddRecord | MaskRecord) -> None:
        self._records.append(record)

    def records(self) -> list[AddRecord | MaskRecord]:
        return list(self._records)


class FileLog:
    """Records appended to the file beside a saved directory, each synced before it returns."""

    def __init__(self, path: Path, digest: bytes, valid_size: int | None = None):
        """Open ``path`` for appending; start a new log for ``digest`` unless ``valid_size`` (the
        length of its intact records, from :func:`read_log`) says it already holds one."""
        self.path = path
        self.digest = digest
        if valid_size is None:
            _replace_file(path, MAGIC + digest)
        else:
            with open(path, "r+b") as f:
                f.truncate(valid_size)
                os.fsync(f.fileno())

    def append(self, record: AddRecord | MaskRecord) -> None:
        tag, payload = _encode(record)
        with open(self.path, "ab") as f:
            f.write(_RECORD.pack(tag, len(payload), zlib.crc32(payload)) + payload)
            f.flush()
            os.fsync(f.fileno())

    def records(self) -> list[AddRecord | MaskRecord]:
        found = read_log(self.path, self.digest)
        return [] if found is None else found[0]


def read_log(path: Path, digest: bytes) -> tuple[list, int] | None:
    """(records, length of the intact part) of the log at ``path`` if it extends the save whose
    manifest has ``digest``; None when there is no such log."""
    try:
        data = path.read_bytes()
    except FileNotFoundError:
        return None
    except OSError as e:
        raise LogFileError(f"{path}: cannot be read ({e.strerror})") from None
    head = len(MAGIC) + _DIGEST_SIZE
    if len(data) < head or not data.startswith(MAGIC):
        raise LogFileError(f"{path}: not a collection log (bad header)")
    if data[len(MAGIC) : head] != digest:
        return None
    records, pos = [], head
    while pos < len(data):
        if pos + _RECORD.size > len(data):
            break
        tag, size, crc = _RECORD.unpack_from(data, pos)
        end = pos + _RECORD.size + size
        if end > len(data):
            break
        payload = data[pos + _RECORD.size : end]
        if zlib.crc32(payload) != crc:
            if end == len(data):
                break
            raise LogFileError(f"{path}: record at offset {pos} fails its checksum")
        records.append(_decode(tag, payload, path, pos))
        pos = end
    return records, pos


def _encode(record: AddRecord | MaskRecord) -> tuple[bytes, bytes]:
    buf = io.BytesIO()
    if isinstance(record, AddRecord):
        arrays = (np.array([record.batch, record.ef], dtype=np.int64), record.rows,
                  record.labels, record.masks)  # fmt: skip
        tag = _ADD
    else:
        arrays, tag = (record.labels, record.masks), _MASKS
    for a in arrays:
        np.save(buf, np.ascontiguousarray(a), allow_pickle=False)
    return tag, buf.getvalue()


def _decode(tag: bytes, payload: bytes, path: Path, pos: int) -> AddRecord | MaskRecord:
    buf = io.BytesIO(payload)
    try:
        if tag == _ADD:
            head, rows, labels, masks = (np.load(buf, allow_pickle=False) for _ in range(4))
            if rows.dtype == np.float32 and rows.ndim == 2 and len(rows) == len(labels):
                _check_pairs(labels, masks, path, pos)
                return AddRecord(int(head[0]), int(head[1]), rows, labels, masks)
        elif tag == _MASKS:
            labels, masks = (np.load(buf, allow_pickle=False) for _ in range(2))
            _check_pairs(labels, masks, path, pos)
            return MaskRecord(labels, masks)
        else:
            raise LogFileError(f"{path}: record at offset {pos} has unknown tag {tag!r}")
    except (ValueError, OSError, EOFError, IndexError) as e:
        if isinstance(e, LogFileError):
            raise
        raise LogFileError(f"{path}: record at offset {pos} is unreadable ({e})") from None
    raise LogFileError(f"{path}: record at offset {pos} holds arrays of the wrong type or shape")


def _check_pairs(labels: np.ndarray, masks: np.ndarray, path: Path, pos: int) -> None:
    if labels.dtype != np.int64 or masks.dtype != np.uint64 or labels.shape != masks.shape:
        raise LogFileError(
            f"{path}: record at offset {pos} holds labels and masks that do not match"
        )


def replay(shard, records) -> None:
    """Apply ``records`` (already cut to this shard) to a shard in this process, in order."""
    for r in records:
        if isinstance(r, AddRecord):
            shard.add_rows(r.rows, r.labels, r.masks, r.ef)
        elif len(r.labels):
            nodes = shard.find(r.labels)
            if (nodes < 0).any():
                missing = int(r.labels[np.flatnonzero(nodes < 0)[0]])
                raise LogFileError(f"the log changes the mask of label {missing}, never added")
            shard.update_masks(nodes, r.masks)


def _replace_file(path: Path, data: bytes) -> None:
    tmp = path.with_name(f".{path.name}.new")
    with open(tmp, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)
    fd = os.open(path.parent, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
