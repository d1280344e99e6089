"""Uniform wrappers around orv_core and the peer libraries.

Every wrapper prepares its own copy of the data outside the timed parts (normalised vectors for
the cosine peers, hyperboloid images for the Poincare peers), then offers ``searcher(param)``,
a one-query function used in the timed loop, and ``filtered_searcher`` where it can filter.
"""

from __future__ import annotations

import numpy as np
from tqdm import tqdm

import orv_core
from velmora import hyperbolic

from .measure import K

M = 16
EF_CONSTRUCTION = 200
CHUNK = 1000


def _normalised(x: np.ndarray) -> np.ndarray:
    norms = np.linalg.norm(x, axis=1, keepdims=True)
    return np.ascontiguousarray(x / np.maximum(norms, 1e-12), dtype=np.float32)


class Orv:
    name = "orv_core"
    param = "ef_search"

    def __init__(self, dim: int, metric: str):
        self.index = orv_core.HyperbolicIndex(dim, 1.0, M, metric)

    def build(self, base: np.ndarray, masks: np.ndarray) -> None:
        add, ix = self.index.add_item_and_link, self.index
        for i in tqdm(range(len(base)), desc=f"build {self.name}", unit="vec", mininterval=2):
            add(base[i], int(masks[i]), EF_CONSTRUCTION)
        self.stats = ix.get_stats()

    def prepare_queries(self, queries: np.ndarray) -> np.ndarray:
        return queries

    def searcher(self, ef: int):
        search = self.index.custom_hnsw_search
        return lambda q: search(q, K, 0, ef)

    def filtered_searcher(self, ef: int, mode: str = "filtered"):
        ix = self.index
        if mode == "filtered":
            return lambda q, m: ix.filtered_search(q, K, m, ef)
        if mode == "post":
            return lambda q, m: ix.custom_hnsw_search(q, K, m, ef)
        return lambda q, m: ix.hardware_flat_search(q, K, m)

    def estimated_bytes(self) -> int:
        """Bytes of the node store as laid out in memory (without allocator slack)."""
        s = self.stats
        n, d = s["num_nodes"], s["dimension"]
        # row, norm, level, mask, layer-0 list, upper-list vector, selection split
        per_node = 4 * d + 4 + 4 + 8 + 4 * (s["max_m_0"] + 2) + 24 + 1
        slots = s["max_m_0"] + 1
        memo = 13 * slots + 1  # layer-0 link memo: distance, row of bits and slot per link
        if slots <= 64 and memo <= 4 * d:
            per_node += memo
        upper = sum(c * lvl for lvl, c in enumerate(s["layer_distribution"][1:]))
        return n * per_node + upper * (24 + 4 * (s["max_m"] + 1) + 16)


class Hnswlib:
    name = "hnswlib"
    param = "ef"

    def __init__(self, dim: int, metric: str):
        import hnswlib

        self.metric = metric
        space = {"euclidean": "l2", "cosine": "cosine", "poincare": "ip"}[metric]
        self.dim = dim + 1 if metric == "poincare" else dim
        self.index = hnswlib.Index(space=space, dim=self.dim)

    def build(self, base: np.ndarray, masks: np.ndarray) -> None:
        data = _lorentz_base(base) if self.metric == "poincare" else base
        self.index.init_index(max_elements=len(data), M=M, ef_construction=EF_CONSTRUCTION)
        self.index.set_num_threads(1)
        for s in tqdm(range(0, len(data), CHUNK), desc=f"build {self.name}", mininterval=2):
            rows = np.arange(s, min(s + CHUNK, len(data)))
            self.index.add_items(data[rows], rows, num_threads=1)

    def prepare_queries(self, queries: np.ndarray) -> np.ndarray:
        return _lorentz_queries(queries) if self.metric == "poincare" else queries

    def searcher(self, ef: int):
        self.index.set_ef(ef)
        knn = self.index.knn_query
        return lambda q: knn(q, K, num_threads=1)[0][0]

    def filtered_searcher(self, ef: int, allowed_by_mask):
        self.index.set_ef(ef)
        knn, lists = self.index.knn_query, {}

        def admits(m):
            if m not in lists:  # Python bools: the cheapest thing for the callback to return
                lists[m] = allowed_by_mask(m).tolist().__getitem__
            return lists[m]

        def search(q, m):
            try:
                return knn(q, K, num_threads=1, filter=admits(m))[0][0]
            except RuntimeError:  # fewer than K admitted rows met
                return []

        return search

    def file_bytes(self) -> int:
        return int(self.index.index_file_size())


class Faiss:
    name = "faiss"
    param = "efSearch"

    def __init__(self, dim: int, metric: str):
        import faiss

        self.faiss, self.metric = faiss, metric
        faiss.omp_set_num_threads(1)
        kind = faiss.METRIC_L2 if metric == "euclidean" else faiss.METRIC_INNER_PRODUCT
        self.dim = dim + 1 if metric == "poincare" else dim
        self.index = faiss.IndexHNSWFlat(self.dim, M, kind)
        self.index.hnsw.efConstruction = EF_CONSTRUCTION

    def _data(self, x: np.ndarray, queries: bool) -> np.ndarray:
        if self.metric == "cosine":
            return _normalised(x)
        if self.metric == "poincare":
            return _lorentz_queries(x) if queries else _lorentz_base(x)
        return x

    def build(self, base: np.ndarray, masks: np.ndarray) -> None:
        data = self._data(base, queries=False)
        for s in tqdm(range(0, len(data), CHUNK), desc=f"build {self.name}", mininterval=2):
            self.index.add(data[s : s + CHUNK])

    def prepare_queries(self, queries: np.ndarray) -> np.ndarray:
        return self._data(queries, queries=True)

    def searcher(self, ef: int):
        params = self.faiss.SearchParametersHNSW(efSearch=ef)
        search = self.index.search
        return lambda q: search(q[None], K, params=params)[1][0]

    def filtered_searcher(self, ef: int, allowed_by_mask):
        made = {}  # mask -> (params, selector, bitmap); the bitmap must outlive the selector
        n, faiss = self.index.ntotal, self.faiss

        def params_for(m):
            if m not in made:
                bitmap = np.packbits(allowed_by_mask(m), bitorder="little")
                sel = faiss.IDSelectorBitmap(n, faiss.swig_ptr(bitmap))
                made[m] = (faiss.SearchParametersHNSW(sel=sel, efSearch=ef), sel, bitmap)
            return made[m][0]

        search = self.index.search
        return lambda q, m: search(q[None], K, params=params_for(m))[1][0]

    def file_bytes(self) -> int:
        return int(self.faiss.serialize_index(self.index).size)


def _poincare_numba():
    """Poincare distance of the unit ball as a numba function (pynndescent has no such metric):
    the sums in one fused loop here, the formula compiled from velmora's."""
    import numba

    from_parts = numba.njit(hyperbolic.poincare_from_parts)

    @numba.njit(fastmath=True)
    def poincare(x, y):
        sq_x, sq_y, diff = 0.0, 0.0, 0.0
        for i in range(x.shape[0]):
            sq_x += x[i] * x[i]
            sq_y += y[i] * y[i]
            diff += (x[i] - y[i]) * (x[i] - y[i])
        return from_parts(diff, max(1.0 - sq_x, 1e-6), max(1.0 - sq_y, 1e-6))

    return poincare


class Pynndescent:
    name = "pynndescent"
    param = "epsilon"
    _metric = None

    def __init__(self, dim: int, metric: str):
        self.metric = metric

    @classmethod
    def metric_for(cls, metric: str):
        if metric != "poincare":
            return metric
        if cls._metric is None:
            cls._metric = _poincare_numba()
        return cls._metric

    @classmethod
    def warm_up(cls, metric: str, dim: int) -> None:
        """Compile the numba functions on small data so the build time excludes the JIT."""
        from pynndescent import NNDescent

        rng = np.random.default_rng(0)
        x = rng.standard_normal((5000, dim)).astype(np.float32)
        x *= np.float32(0.8) / np.linalg.norm(x, axis=1, keepdims=True)
        ix = NNDescent(x, metric=cls.metric_for(metric), random_state=0, n_jobs=1)
        ix.prepare()
        ix.query(x[:2], k=K, epsilon=0.1)

    def build(self, base: np.ndarray, masks: np.ndarray) -> None:
        from pynndescent import NNDescent

        metric = self.metric_for(self.metric)
        self.index = NNDescent(base, metric=metric, random_state=0, n_jobs=1)
        self.index.prepare()

    def prepare_queries(self, queries: np.ndarray) -> np.ndarray:
        return queries

    def searcher(self, eps: float):
        query = self.index.query
        return lambda q: query(q[None], k=K, epsilon=eps)[0][0]


class NumpyExact:
    """Brute force with one matrix-vector product per query (BLAS limited to one thread)."""

    name = "numpy brute force"
    param = None

    def __init__(self, dim: int, metric: str):
        self.metric = metric

    def build(self, base: np.ndarray, masks: np.ndarray) -> None:
        self.base = _normalised(base) if self.metric == "cosine" else base
        self.sq = np.einsum("ij,ij->i", self.base, self.base)
        self.inv = 1.0 / np.maximum(1.0 - self.sq, 1e-12) if self.metric == "poincare" else None

    def prepare_queries(self, queries: np.ndarray) -> np.ndarray:
        return _normalised(queries) if self.metric == "cosine" else queries

    def searcher(self, _param=None):
        base, sq, inv = self.base, self.sq, self.inv

        def top_k(key):
            part = np.argpartition(key, K - 1)[:K]
            return part[np.argsort(key[part])]

        if self.metric == "cosine":
            return lambda q: top_k(-(base @ q))
        if self.metric == "euclidean":
            return lambda q: top_k(sq - 2.0 * (base @ q))
        return lambda q: top_k((sq + q @ q - 2.0 * (base @ q)) * inv)


class OrvFlat:
    """orv_core's exhaustive hardware_flat_search on an existing orv index."""

    name = "orv_core flat"
    param = None

    def __init__(self, orv: Orv):
        self.index = orv.index

    def prepare_queries(self, queries: np.ndarray) -> np.ndarray:
        return queries

    def searcher(self, _param=None):
        flat = self.index.hardware_flat_search
        return lambda q: flat(q, K, 0)


def _lorentz_base(x: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(hyperbolic.to_lorentz(x), dtype=np.float32)


def _lorentz_queries(x: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(hyperbolic.lorentz_mips_queries(x), dtype=np.float32)
