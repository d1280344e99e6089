"""Benchmark cases: data sets with their filters, and exact ground truth cached in bench/cache/."""

from __future__ import annotations

import dataclasses
import hashlib
from pathlib import Path

import numpy as np

from velmora import datasets as vd
from velmora import hyperbolic

from .measure import K

CACHE = Path(__file__).resolve().parent / "cache"
RANDOM_BITS = {10: 0.01, 11: 0.002}  # extra Fashion-MNIST label bits: bit -> share of the rows


@dataclasses.dataclass
class Filter:
    """One filter setting: a mask per query and the share of base rows it admits."""

    name: str
    masks: np.ndarray  # uint64, one per query
    selectivity: float


@dataclasses.dataclass
class Case:
    """A data set as benchmarked: base, queries, masks, filters and exact ground truth."""

    name: str
    ds: vd.Dataset
    filters: list[Filter]
    gt: np.ndarray = None
    gt_dist: np.ndarray = None
    filtered_gt: dict = dataclasses.field(default_factory=dict)

    @property
    def metric(self) -> str:
        return self.ds.metric


def _share(base_masks: np.ndarray, masks: np.ndarray) -> float:
    """Mean over queries of the share of base rows that pass the query's mask."""
    shares = {}
    for m in np.unique(masks):
        shares[int(m)] = float(np.mean((base_masks & m) == m))
    return float(np.mean([shares[int(m)] for m in masks]))


def _fixed(name: str, bit: int, ds: vd.Dataset) -> Filter:
    masks = np.full(len(ds.queries), np.uint64(1) << np.uint64(bit), dtype=np.uint64)
    return Filter(name, masks, _share(ds.base_masks, masks))


def fashion_case(metric: str, n_base: int | None, n_queries: int) -> Case:
    """Fashion-MNIST with two random label bits added for rare filters (seeded)."""
    ds = vd.fashion_mnist(metric, n_queries=n_queries)
    if n_base is not None:
        ds.base, ds.base_masks = ds.base[:n_base], ds.base_masks[:n_base]
    rng = np.random.default_rng(7)
    masks = ds.base_masks.copy()
    for bit, share in RANDOM_BITS.items():
        chosen = rng.choice(ds.n, max(1, round(share * ds.n)), replace=False)
        masks[chosen] |= np.uint64(1) << np.uint64(bit)
    ds.base_masks = masks
    own = Filter("own class (per query)", ds.query_masks, _share(masks, ds.query_masks))
    filters = [
        _fixed("class Bag", vd.FASHION_CLASSES.index("Bag"), ds),
        own,
        _fixed("random 1%", 10, ds),
        _fixed("random 0.2%", 11, ds),
    ]
    return Case(f"fashion_mnist-{metric}", ds, filters)


def _subset_wordnet(ds: vd.Dataset, n_base: int) -> None:
    """Keep ``n_base`` random rows (the queries' source rows among them), renumbered."""
    rng = np.random.default_rng(3)
    others = np.setdiff1d(np.arange(ds.n), ds.query_ids)
    extra = rng.choice(others, max(0, n_base - len(ds.query_ids)), replace=False)
    rows = np.union1d(ds.query_ids, extra)
    ds.base, ds.base_masks = ds.base[rows], ds.base_masks[rows]
    ds.query_ids = np.searchsorted(rows, ds.query_ids)


def _category_near(ds: vd.Dataset, share: float) -> int:
    """The label bit whose share of the base rows is nearest to ``share`` (log scale)."""
    bits = np.arange(len(ds.label_names), dtype=np.uint64)
    counts = np.array([np.count_nonzero(ds.base_masks & (np.uint64(1) << b)) for b in bits])
    score = np.where(counts > 0, np.abs(np.log(np.maximum(counts, 1) / ds.n / share)), np.inf)
    return int(np.argmin(score))


def wordnet_case(n_base: int | None, n_queries: int) -> Case:
    """WordNet nouns in the Poincare ball; filters are lexicographer categories."""
    ds = vd.wordnet_nouns()
    ds.queries, ds.query_masks = ds.queries[:n_queries], ds.query_masks[:n_queries]
    ds.query_ids = ds.query_ids[:n_queries]
    if n_base is not None:
        _subset_wordnet(ds, n_base)
    filters = [
        _fixed(ds.label_names[_category_near(ds, 0.10)], _category_near(ds, 0.10), ds),
        Filter("own category (per query)", ds.query_masks, _share(ds.base_masks, ds.query_masks)),
    ]
    for share in (0.009, 0.004, 0.0005):
        bit = _category_near(ds, share)
        if all(f.name != ds.label_names[bit] for f in filters):
            filters.append(_fixed(ds.label_names[bit], bit, ds))
    return Case("wordnet_nouns-poincare", ds, filters)


def _subset_rows(ds: vd.Dataset, n_base: int, seed: int) -> None:
    """Keep ``n_base`` base rows drawn at random (seeded), in their order."""
    rows = np.sort(np.random.default_rng(seed).choice(ds.n, min(n_base, ds.n), replace=False))
    ds.base, ds.base_masks = ds.base[rows], ds.base_masks[rows]
    if ds.words is not None:
        ds.words = [ds.words[i] for i in rows]


def gloss_case(metric: str, n_base: int | None, n_queries: int) -> Case:
    """LSA vectors of the WordNet glosses; filters are parts of speech and lexicographer files."""
    ds = vd.wordnet_glosses(metric)
    ds.queries, ds.query_masks = ds.queries[:n_queries], ds.query_masks[:n_queries]
    if n_base is not None:
        _subset_rows(ds, n_base, seed=4)
    verb = vd.GLOSS_LABELS.index("pos.verb")
    filters = [
        _fixed("pos.verb", verb, ds),
        Filter("own lexicographer file (per query)", ds.query_masks,
               _share(ds.base_masks, ds.query_masks)),
    ]  # fmt: skip
    for share in (0.01, 0.001):
        bit = _category_near(ds, share)
        if all(f.name != ds.label_names[bit] for f in filters):
            filters.append(_fixed(ds.label_names[bit], bit, ds))
    return Case(f"wordnet_glosses-{metric}", ds, filters)


def synthetic_case(metric: str, n: int, n_queries: int) -> Case:
    """The first ``n`` rows of the seeded cluster mixture; filters are the query's own group
    (about 6 %, placed with the clusters) and random bits of 50 %, 5 % and 0.2 %."""
    ds = vd.synthetic_mixture(metric, n=n, n_queries=n_queries)
    filters = [
        Filter("own group (per query)", ds.query_masks, _share(ds.base_masks, ds.query_masks)),
    ]
    for label in ("random 50%", "random 5%", "random 0.2%"):
        filters.append(_fixed(label, ds.label_names.index(label), ds))
    return Case(f"synthetic_mixture-{_count(n)}-{metric}", ds, filters)


def _count(n: int) -> str:
    """1000000 -> "1M", 300000 -> "300k"."""
    if n % 1_000_000 == 0:
        return f"{n // 1_000_000}M"
    return f"{n // 1000}k" if n % 1000 == 0 else str(n)


def _fingerprint(ds: vd.Dataset, extra: np.ndarray | None) -> str:
    h = hashlib.sha1()
    for a in (ds.base, ds.queries, ds.base_masks) + (() if extra is None else (extra,)):
        h.update(np.ascontiguousarray(a).tobytes())
    h.update(ds.metric.encode())
    return h.hexdigest()[:16]


def cached_ground_truth(ds: vd.Dataset, masks: np.ndarray | None) -> tuple[np.ndarray, np.ndarray]:
    """:func:`velmora.datasets.ground_truth` for K, cached by a hash of the inputs."""
    CACHE.mkdir(parents=True, exist_ok=True)
    path = CACHE / f"gt-{ds.name}-{ds.metric}-{_fingerprint(ds, masks)}.npz"
    if path.is_file():
        with np.load(path) as z:
            return z["ids"], z["dists"]
    ids, dists = vd.ground_truth(ds, K, masks)
    np.savez(path, ids=ids, dists=dists)
    return ids, dists


def attach_ground_truth(case: Case) -> None:
    case.gt, case.gt_dist = cached_ground_truth(case.ds, None)
    for f in case.filters:
        case.filtered_gt[f.name] = cached_ground_truth(case.ds, f.masks)


def lorentz_check(case: Case) -> float:
    """Recall@K of exact float32 inner-product search on the hyperboloid images."""
    base = hyperbolic.to_lorentz(case.ds.base).astype(np.float32)
    queries = hyperbolic.lorentz_mips_queries(case.ds.queries).astype(np.float32)
    hits = 0
    for start in range(0, len(queries), 256):
        scores = queries[start : start + 256] @ base.T
        top = np.argpartition(-scores, K - 1, axis=1)[:, :K]
        for row, gt in zip(top, case.gt[start : start + 256]):
            hits += len(set(row.tolist()) & set(gt.tolist()))
    return hits / case.gt.size


def subset_queries(case: Case, n: int) -> Case:
    """The same case restricted to its first ``n`` queries (filters and filtered truth too)."""
    ds = dataclasses.replace(
        case.ds, queries=case.ds.queries[:n], query_masks=case.ds.query_masks[:n]
    )
    filters = [Filter(f.name, f.masks[:n], f.selectivity) for f in case.filters]
    sub = Case(case.name, ds, filters, case.gt[:n], case.gt_dist[:n])
    sub.filtered_gt = {k: (v[0][:n], v[1][:n]) for k, v in case.filtered_gt.items()}
    return sub
