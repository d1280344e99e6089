"""Batch calls benchmarked: every system in batches on one thread, the thread scaling of
velmora.search, and velmora.add_items against the per-row loop.

    python -m bench.batch_bench            # about 10 min; writes bench/batch_results.json
                                           # and bench/BATCH_RESULTS.md
    python -m bench.batch_bench --quick    # subsets, about 1 min, printed only

``python -m bench.run`` runs the same stage and puts its tables in RESULTS.md.

Wall-clock times (perf_counter), best of the rounds; this machine has 2 cores and other work
may share them, so each ratio is measured from rounds taken in turn.
"""

from __future__ import annotations

import os

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse
import json
import time
from pathlib import Path

import numpy as np

import velmora
from orv_core import HyperbolicIndex
from velmora import datasets as vd

K = 10
OUT = Path(__file__).resolve().parent / "batch_results.json"


def best_time(fn, rounds: int) -> tuple[float, object]:
    best, out = float("inf"), None
    for _ in range(rounds):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def recall(ids: np.ndarray, gt: np.ndarray) -> float:
    hits = sum(len(set(a[a >= 0].tolist()) & set(b.tolist())) for a, b in zip(ids, gt[:, :K]))
    return hits / (len(gt) * K)


def orv_build(ds, n_base, seed=7):
    ix = HyperbolicIndex(ds.base.shape[1], metric=ds.metric, M=16)
    velmora.seed(ix, seed)
    t0 = time.perf_counter()
    velmora.add_items(ix, ds.base[:n_base], ds.base_masks[:n_base])
    return ix, time.perf_counter() - t0


def peers(ds, n_base):
    """hnswlib and faiss built in batches on one thread, with their batch searchers."""
    import faiss
    import hnswlib

    faiss.omp_set_num_threads(1)
    x = ds.base[:n_base]
    if ds.metric == "cosine":
        x = x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-30)
    out = {}
    h = hnswlib.Index(space="cosine" if ds.metric == "cosine" else "l2", dim=x.shape[1])
    h.init_index(max_elements=len(x), M=16, ef_construction=200, random_seed=7)
    t0 = time.perf_counter()
    h.add_items(x, num_threads=1)
    out["hnswlib"] = (
        time.perf_counter() - t0,
        lambda q, ef: (h.set_ef(max(ef, K)), h.knn_query(q, K, num_threads=1))[1][0],
    )
    f = faiss.IndexHNSWFlat(x.shape[1], 16)
    f.hnsw.efConstruction = 200
    t0 = time.perf_counter()
    f.add(x)

    def faiss_search(q, ef):
        f.hnsw.efSearch = max(ef, K)
        return f.search(q, K)[1]

    out["faiss"] = (time.perf_counter() - t0, faiss_search)
    return out


def batch_table(ds, n_base, n_queries, efs, rounds) -> list[dict]:
    """One thread, every system given the whole query matrix at once."""
    q = ds.queries[:n_queries]
    gt, _ = vd.ground_truth(
        vd.Dataset(
            **{
                **ds.__dict__,
                "base": ds.base[:n_base],
                "base_masks": ds.base_masks[:n_base],
                "queries": q,
                "query_masks": ds.query_masks[:n_queries],
            }
        ),
        K,
    )
    ix, build = orv_build(ds, n_base)
    systems = {"orv": (build, lambda qq, ef: velmora.search(ix, qq, K, ef_search=ef, threads=1)[0])}
    if ds.metric != "poincare":
        qn = q if ds.metric != "cosine" else q / np.linalg.norm(q, axis=1, keepdims=True)
        for name, (t, fn) in peers(ds, n_base).items():
            systems[name] = (t, lambda qq, ef, fn=fn, qn=qn: fn(qn, ef))
    rows = []
    for name, (t, fn) in systems.items():
        for ef in efs:
            secs, ids = best_time(lambda fn=fn, ef=ef: fn(q, ef), rounds)
            rows.append(
                {
                    "data": ds.name,
                    "metric": ds.metric,
                    "system": name,
                    "build_s": t,
                    "ef": ef,
                    "recall": recall(np.asarray(ids), gt),
                    "qps": len(q) / secs,
                }
            )
    return rows


def loops_against_batch(ix, q, rounds) -> dict:
    """The issue's baseline: one search call per query plus one compute_distance per id."""

    def per_query_with_distances():
        for x in q:
            ids = ix.custom_hnsw_search(x, K, 0, 10)
            [ix.compute_distance(x, i) for i in ids]

    def per_query_ids():
        for x in q:
            ix.custom_hnsw_search(x, K, 0, 10)

    out = {}
    for _ in range(rounds):  # taken in turn, best of each
        for name, fn in {
            "loop_with_distances": per_query_with_distances,
            "loop_ids_only": per_query_ids,
            "batch_1_thread": lambda: velmora.search(ix, q, K, ef_search=10, threads=1),
            "batch_2_threads": lambda: velmora.search(ix, q, K, ef_search=10, threads=2),
        }.items():
            secs, _ = best_time(fn, 1)
            out[name] = max(out.get(name, 0.0), len(q) / secs)
    return out


def adds_against_loop(ds, n, rounds) -> dict:
    x, m = ds.base[:n], ds.base_masks[:n]

    def loop():
        ix = HyperbolicIndex(x.shape[1], metric=ds.metric)
        velmora.seed(ix, 3)
        for v, mm in zip(x, m):
            ix.add_item_and_link(v, int(mm))

    def batch():
        ix = HyperbolicIndex(x.shape[1], metric=ds.metric)
        velmora.seed(ix, 3)
        velmora.add_items(ix, x, m)

    out = {"data": ds.name, "rows": n}
    for _ in range(rounds):
        for name, fn in (("loop_s", loop), ("batch_s", batch)):
            out[name] = min(out.get(name, float("inf")), best_time(fn, 1)[0])
    return out


def run(quick: bool) -> dict:
    wn = vd.wordnet_nouns(n_queries=10_000)
    fm = {m: vd.fashion_mnist(m, n_queries=1000) for m in ("euclidean", "cosine")}
    rounds = 1 if quick else 3
    res = {"batch": [], "scaling": None, "adds": [], "cores": velmora.batch._native.usable_cores()}
    res["batch"] += batch_table(wn, 20_000 if quick else None, 1000, [10, 32, 128], rounds)
    for ds in fm.values():
        res["batch"] += batch_table(
            ds, 5_000 if quick else 20_000, 200 if quick else 1000, [16, 64, 256], rounds
        )
    ix, _ = orv_build(wn, 20_000 if quick else None)
    res["scaling"] = loops_against_batch(ix, wn.queries[:10_000], 3 if quick else 7)
    res["adds"].append(adds_against_loop(wn, 5_000 if quick else 20_000, rounds))
    res["adds"].append(adds_against_loop(fm["euclidean"], 1_000 if quick else 5_000, rounds))
    return res


def report_lines(res: dict) -> list[str]:
    """Markdown tables of one run."""
    lines = [
        (
            "Every system gets the whole query matrix at once, on one thread (hnswlib `knn_query`"
            " with `num_threads=1`, faiss `search` with one OpenMP thread, orv `velmora.search`"
            " with `threads=1`); builds from 2-D arrays (`add_items`, `add`, `velmora.add_items`)."
            " Wall-clock seconds, best of the rounds."
        ),
        "",
        "| data | metric | system | build s | ef | recall@10 | QPS |",
        "|---|---|---|---|---|---|---|",
    ]
    for r in res["batch"]:
        lines.append(
            f"| {r['data']} | {r['metric']} | {r['system']} | {r['build_s']:.1f} | {r['ef']} "
            f"| {r['recall']:.4f} | {r['qps']:.0f} |"
        )
    s = res["scaling"]
    base = s["loop_with_distances"]
    lines += [
        "",
        (
            f"WordNet nouns, 10 000 queries, `ef_search` 10, k 10 ({res['cores']} cores; the best of"
            " rounds taken in turn):"
        ),
        "",
        "| how | QPS | × the per-query loop with distances |",
        "|---|---|---|",
    ]
    for name, qps in s.items():
        lines.append(f"| {name.replace('_', ' ')} | {qps:.0f} | {qps / base:.2f} |")
    lines += [
        "",
        f"Two threads against one: {s['batch_2_threads'] / s['batch_1_thread']:.2f}×.",
        "",
        "| data | rows | per-row loop s | add_items s |",
        "|---|---|---|---|",
    ]
    for a in res["adds"]:
        lines.append(f"| {a['data']} | {a['rows']} | {a['loop_s']:.2f} | {a['batch_s']:.2f} |")
    return lines


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    res = run(args.quick)
    text = "\n".join(["# Batch calls", ""] + report_lines(res)) + "\n"
    print(text)
    if not args.quick:
        OUT.write_text(json.dumps(res, indent=1))
        OUT.with_name("BATCH_RESULTS.md").write_text(text)


if __name__ == "__main__":
    main()
