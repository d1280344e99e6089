"""Fashion-MNIST (Debian ``dataset-fashion-mnist``): 60 000 + 10 000 images of 784 pixels."""

from __future__ import annotations

import gzip
from pathlib import Path

import numpy as np

from ._cache import cached
from ._sources import require, source_dir
from .dataset import Dataset

FASHION_CLASSES = [
    "T-shirt/top", "Trouser", "Pullover", "Dress", "Coat",
    "Sandal", "Shirt", "Sneaker", "Bag", "Ankle boot",
]  # fmt: skip
_DEBIAN_PACKAGE = "dataset-fashion-mnist"


def _read_idx(path: Path) -> np.ndarray:
    """An IDX file (big-endian header, unsigned bytes) as a uint8 array."""
    with gzip.open(require(path, _DEBIAN_PACKAGE), "rb") as f:
        data = f.read()
    if data[:2] != b"\x00\x00" or data[2] != 0x08:
        raise ValueError(f"{path} is not an IDX file of unsigned bytes")
    ndim = data[3]
    shape = [int.from_bytes(data[4 + 4 * i : 8 + 4 * i], "big") for i in range(ndim)]
    return np.frombuffer(data, dtype=np.uint8, offset=4 + 4 * ndim).reshape(shape)


def _build_fashion() -> dict:
    source, arrays = source_dir("FASHION_DIR"), {}
    for split, key in (("train", "base"), ("t10k", "queries")):
        images = _read_idx(source / f"{split}-images-idx3-ubyte.gz")
        arrays[key] = images.reshape(len(images), -1)
        arrays[key + "_labels"] = _read_idx(source / f"{split}-labels-idx1-ubyte.gz")
    return arrays


def fashion_mnist(metric: str = "euclidean", n_queries: int | None = None) -> Dataset:
    """Fashion-MNIST: 60 000 training images as base, the 10 000 test images as queries.

    784 pixels scaled to [0, 1] in float32; ``n_queries`` keeps the first test images. Mask =
    1 << class (``FASHION_CLASSES``). ``metric`` is "euclidean" or "cosine" (same vectors).
    """
    if metric not in ("euclidean", "cosine"):
        raise ValueError("fashion_mnist serves the euclidean and cosine metrics")
    a = cached("fashion_mnist", _build_fashion)
    count = len(a["queries"]) if n_queries is None else n_queries
    scale = np.float32(255.0)
    return Dataset(
        name="fashion_mnist", metric=metric,
        base=np.ascontiguousarray(a["base"], dtype=np.float32) / scale,
        queries=np.ascontiguousarray(a["queries"][:count], dtype=np.float32) / scale,
        base_masks=np.left_shift(np.uint64(1), a["base_labels"].astype(np.uint64)),
        query_masks=np.left_shift(np.uint64(1), a["queries_labels"][:count].astype(np.uint64)),
        label_names=list(FASHION_CLASSES),
    )  # fmt: skip
