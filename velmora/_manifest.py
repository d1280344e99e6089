"""The saved form of a collection: a directory with a JSON manifest and four files per shard.

The directory is written beside its target under a temporary name, synced, and renamed into place,
so a failed save leaves the previous copy whole. Reading checks the manifest and every checksum
before anything is built.
"""

from __future__ import annotations

import hashlib
import json
import os
import shutil
import tempfile
from pathlib import Path

FORMAT_VERSION = 1
MANIFEST = "manifest.json"
PLACEMENT = "label mod shards"
METRICS = ("poincare", "euclidean", "cosine")
SHARD_FILES = {"index": "index", "labels": "labels.npy", "masks": "masks.npy", "rng": "rng"}
_HEADER_INTS = {"dimension": (1, 2**31 - 1), "M": (2, 65536), "shards": (1, 4096),
                "seed": (0, 2**32 - 1), "next_batch": (0, 2**63 - 1)}  # fmt: skip


class CollectionFileError(ValueError):
    """A saved collection is missing a file, or a file is corrupt or inconsistent."""


def shard_file_name(shard: int, kind: str) -> str:
    return f"shard-{shard:03d}.{SHARD_FILES[kind]}"


def write_collection(path, header: dict, shard_blobs: list[dict[str, bytes]]) -> None:
    """Write the directory ``path`` from the header fields and each shard's blobs."""
    target = Path(os.fspath(path))
    _check_replaceable(target)
    target.parent.mkdir(parents=True, exist_ok=True)
    tmp = Path(tempfile.mkdtemp(prefix=f".{target.name}.saving-", dir=target.parent))
    try:
        files = []
        for i, blobs in enumerate(shard_blobs):
            entry = {}
            for kind in SHARD_FILES:
                name = shard_file_name(i, kind)
                _write_synced(tmp / name, blobs[kind])
                entry[kind] = {"file": name, "sha256": hashlib.sha256(blobs[kind]).hexdigest()}
            files.append(entry)
        manifest = dict(header, format_version=FORMAT_VERSION, placement=PLACEMENT, files=files)
        _write_synced(tmp / MANIFEST, json.dumps(manifest, indent=2).encode())
        _sync_dir(tmp)
        _move_into_place(tmp, target)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise


def _check_replaceable(target: Path) -> None:
    if target.exists() and not (target.is_dir() and (target / MANIFEST).is_file()):
        raise FileExistsError(f"{target} exists and is not a saved collection; not replacing it")


def _write_synced(path: Path, data: bytes) -> None:
    with open(path, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())


def _sync_dir(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _move_into_place(tmp: Path, target: Path) -> None:
    """Rename ``tmp`` to ``target``; an old copy is renamed aside first and removed last."""
    old = None
    if target.exists():
        old = Path(tempfile.mkdtemp(prefix=f".{target.name}.old-", dir=target.parent))
        os.rename(target, old / "copy")
    try:
        os.rename(tmp, target)
    except BaseException:
        if old is not None:
            os.rename(old / "copy", target)
            shutil.rmtree(old, ignore_errors=True)
        raise
    _sync_dir(target.parent)
    if old is not None:
        shutil.rmtree(old, ignore_errors=True)


def read_collection(path) -> tuple[dict, list[dict[str, bytes]]]:
    """The manifest and every shard's blobs, each file's checksum verified."""
    root = Path(os.fspath(path))
    if not root.is_dir():
        raise CollectionFileError(f"{root} is not a directory holding a saved collection")
    manifest = read_manifest(root / MANIFEST)
    shard_blobs = []
    for entry in manifest["files"]:
        blobs = {}
        for kind in SHARD_FILES:
            file = root / entry[kind]["file"]
            try:
                data = file.read_bytes()
            except OSError as e:
                raise CollectionFileError(f"{file}: cannot be read ({e.strerror})") from None
            if hashlib.sha256(data).hexdigest() != entry[kind]["sha256"]:
                raise CollectionFileError(f"{file}: checksum does not match the manifest")
            blobs[kind] = data
        shard_blobs.append(blobs)
    return manifest, shard_blobs


def read_manifest(file: Path) -> dict:
    try:
        manifest = json.loads(file.read_bytes())
    except OSError as e:
        raise CollectionFileError(f"{file}: cannot be read ({e.strerror})") from None
    except (json.JSONDecodeError, UnicodeDecodeError) as e:
        raise CollectionFileError(f"{file}: not valid JSON ({e})") from None
    problem = _manifest_problem(manifest)
    if problem:
        raise CollectionFileError(f"{file}: {problem}")
    return manifest


def _manifest_problem(m) -> str | None:
    if not isinstance(m, dict):
        return "not a JSON object"
    if m.get("format_version") != FORMAT_VERSION:
        return f"format_version {m.get('format_version')!r}, this version reads {FORMAT_VERSION}"
    if m.get("metric") not in METRICS:
        return f"metric {m.get('metric')!r} is not one of {', '.join(METRICS)}"
    if m.get("placement") != PLACEMENT:
        return f"placement {m.get('placement')!r}, expected {PLACEMENT!r}"
    for key, (low, high) in _HEADER_INTS.items():
        value = m.get(key)
        if type(value) is not int or not low <= value <= high:
            return f"{key} {value!r} is not an integer in {low} .. {high}"
    if type(m.get("curvature")) not in (int, float):
        return f"curvature {m.get('curvature')!r} is not a number"
    files = m.get("files")
    if not isinstance(files, list) or len(files) != m["shards"]:
        return f"files must list one entry per shard ({m['shards']})"
    for i, entry in enumerate(files):
        for kind in SHARD_FILES:
            item = entry.get(kind) if isinstance(entry, dict) else None
            if not isinstance(item, dict) or item.get("file") != shard_file_name(i, kind):
                return f"shard {i} has no {kind} file entry named {shard_file_name(i, kind)}"
            digest = item.get("sha256")
            if not isinstance(digest, str) or len(digest) != 64:
                return f"shard {i} {kind} checksum {digest!r} is not a sha256 hex digest"
    return None
