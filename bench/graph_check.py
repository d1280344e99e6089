"""Layer-0 out- and in-degrees of the HNSW graphs of orv_core, hnswlib and faiss."""

from __future__ import annotations

import itertools
import struct

import numpy as np

from velmora import index_file


def orv_layer0(path: str) -> tuple[np.ndarray, np.ndarray]:
    """(out-degree, in-degree) of every node on layer 0, from an orv_core index file."""
    image = index_file.read(path)
    lists = [layers[0] if layers else [] for layers in image.links]
    out = np.array([len(ids) for ids in lists], dtype=np.int64)
    ids = np.fromiter(itertools.chain.from_iterable(lists), dtype=np.int64)
    return out, np.bincount(ids, minlength=image.n)


def hnswlib_layer0(path: str) -> tuple[np.ndarray, np.ndarray]:
    """(out-degree, in-degree) of every element on layer 0, from an hnswlib index file."""
    with open(path, "rb") as f:
        head = f.read(96)
        offset0, _, n, size, *_ = struct.unpack_from("<6Q", head, 0)
        max_m0 = struct.unpack_from("<Q", head, 64)[0]
        level0 = np.frombuffer(f.read(n * size), dtype=np.uint8).reshape(n, size)
    words = level0[:, offset0 : offset0 + 4 * (max_m0 + 1)].copy().view(np.uint32)
    out = (words[:, 0] & 0xFFFF).astype(np.int64)
    ids = words[:, 1:][np.arange(max_m0)[None, :] < out[:, None]]
    return out, np.bincount(ids.astype(np.int64), minlength=n)


def faiss_layer0(index) -> tuple[np.ndarray, np.ndarray]:
    """(out-degree, in-degree) of every node on layer 0 of a faiss IndexHNSW."""
    import faiss

    hnsw = index.hnsw
    cum = faiss.vector_to_array(hnsw.cum_nneighbor_per_level)
    offsets = faiss.vector_to_array(hnsw.offsets)[:-1].astype(np.int64)
    neighbours = faiss.vector_to_array(hnsw.neighbors)
    width = int(cum[1])
    lists = neighbours[offsets[:, None] + np.arange(width)[None, :]]
    out = np.sum(lists >= 0, axis=1)
    return out, np.bincount(lists[lists >= 0].astype(np.int64), minlength=len(offsets))


def summary(out: np.ndarray, indeg: np.ndarray) -> dict:
    return {
        "avg_out_degree": float(out.mean()) if out.size else 0.0,
        "nodes_without_in_link": int(np.sum(indeg == 0)),
        "max_in_degree": int(indeg.max()) if indeg.size else 0,
    }
