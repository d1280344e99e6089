"""Measurements behind the targets table: a filter that every node passes, and how the
filtered search's per-call cost follows the index size."""

from __future__ import annotations

import numpy as np

from . import data, measure, systems
from .measure import K

ALL_PASS = 0  # the mask test is all-of: only the empty mask admits every node
ALL_PASS_EFS = (10, 32, 128)
ROUNDS = 7  # best of, per method and ef, the methods interleaved: the two costs are close


def _searchers(index, ef: int) -> dict:
    return {
        "custom_hnsw_search": lambda q: index.custom_hnsw_search(q, K, ALL_PASS, ef),
        "filtered_search": lambda q: index.filtered_search(q, K, ALL_PASS, ef),
    }


def _best_runs(index, queries: np.ndarray, ef: int) -> dict:
    """Ids and best CPU seconds per method over ROUNDS interleaved rounds."""
    runs = measure.best_runs({n: (f, queries) for n, f in _searchers(index, ef).items()}, ROUNDS)
    return {name: (ids, sw.cpu) for name, (ids, sw) in runs.items()}


def all_pass(case: data.Case, orv: systems.Orv, cfg: dict) -> dict:
    """custom_hnsw_search and filtered_search with a mask every node passes, same queries."""
    n = min(cfg["all_pass_queries"], len(case.ds.queries))
    sub = data.subset_queries(case, n)
    queries = sub.ds.queries
    measure.run_queries(_searchers(orv.index, 32)["filtered_search"], queries[:50])  # warm-up
    rows = []
    for ef in ALL_PASS_EFS:
        for name, (ids, cpu) in _best_runs(orv.index, queries, ef).items():
            point = measure.recalls(sub.ds, ids, sub.gt_dist)
            point.update(method=name, ef=ef, qps=n / cpu)
            rows.append(point)
    return {"mask": ALL_PASS, "n_queries": n, "rounds": ROUNDS, "points": rows}


def size_growth(case: data.Case, orv: systems.Orv, cfg: dict) -> dict:
    """QPS at ef 10 (mask passing every node) on an index of the first tenth of the rows
    against the whole index, for both searches."""
    ds = case.ds
    n_small = max(1000, ds.n // 10)
    small = systems.Orv(ds.dim, case.metric)
    small.build(ds.base[:n_small], ds.base_masks[:n_small])
    queries = ds.queries[: cfg["all_pass_queries"]]
    out = {"n_small": n_small, "n_full": ds.n, "ef": 10, "n_queries": len(queries)}
    for label, index in (("small", small.index), ("full", orv.index)):
        measure.run_queries(_searchers(index, 10)["filtered_search"], queries[:50])
        for name, (_, cpu) in _best_runs(index, queries, 10).items():
            out[f"{name} {label}"] = len(queries) / cpu
    return out
