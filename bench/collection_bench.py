"""Benchmark of velmora.Collection on Fashion-MNIST (cosine, 60 000 x 784).

    python -m bench.collection_bench            # about 10 min on 2 cores
    python -m bench.collection_bench --quick    # 10 000 rows, about 2 min

Measures, and writes as a markdown section (bench/collection_results.md, ready for RESULTS.md):
build wall time with 1, 2 and 4 shards; QPS against recall@10 at 1 and 2 threads; shuffled
against class-sorted insertion; the costs behind the "auto" crossover (scan per row and filtered
graph search per unit of beam width, at 784 and 32 dimensions); and recall/QPS of "auto",
"filtered" and "flat" on filtered queries from 0.1 % to 50 % of the rows. Times are wall clock,
best of three passes, on a shared machine: read them as ratios.
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

import numpy as np

import velmora
from velmora import datasets as vd

from .data import cached_ground_truth

K = 10
EFS = (10, 20, 40, 80, 160)
FILTER_EFS = (10, 40, 160, 640, 2000)
RANDOM_BITS = {20: 0.5, 21: 0.1, 22: 0.01, 23: 0.001}  # extra mask bit -> share of rows
_NO_ROW = 1 << 63  # a mask bit no row holds


def best_time(fn, repeats=3) -> float:
    best = np.inf
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def recall(found: np.ndarray, truth: np.ndarray) -> float:
    hits = total = 0
    for f, t in zip(found, truth):
        t = t[t >= 0]
        hits += len(np.intersect1d(f[f >= 0], t))
        total += len(t)
    return hits / max(total, 1)


def load(rows: int | None, n_queries: int):
    ds = vd.fashion_mnist("cosine", n_queries=n_queries)
    if rows is not None:
        ds.base, ds.base_masks = ds.base[:rows], ds.base_masks[:rows]
    rng = np.random.default_rng(2024)
    for bit, share in RANDOM_BITS.items():
        on = rng.random(ds.n) < share
        ds.base_masks = ds.base_masks | (on.astype(np.uint64) << np.uint64(bit))
    return ds


def build(ds, shards, order=None, shuffle=True):
    col = velmora.Collection(ds.dim, "cosine", shards=shards, seed=7)
    order = np.arange(ds.n) if order is None else order
    t0 = time.perf_counter()
    col.add(ds.base[order], ids=order, masks=ds.base_masks[order], shuffle=shuffle)
    return col, time.perf_counter() - t0


def sharding_section(ds, truth, out):
    out += ["### Shards: build and search", "",
            "| shards | build s | threads | " + " | ".join(f"ef {e} R@10 / QPS" for e in EFS) + " |",
            "|---|---|---|" + "---|" * len(EFS)]  # fmt: skip
    cols = {}
    for shards in (1, 2, 4):
        col, secs = build(ds, shards)
        cols[shards] = col
        for threads in (1, 2):
            cells = []
            for ef in EFS:

                def run(col=col, q=ds.queries, ef=ef, threads=threads):
                    return col.search(q, K, "hnsw", ef_search=ef, threads=threads)

                t = best_time(run)
                found, q = run()[0], ds.queries
                cells.append(f"{recall(found, truth):.3f} / {len(q) / t:.0f}")
            out.append(f"| {shards} | {secs:.1f} | {threads} | " + " | ".join(cells) + " |")
    out.append("")
    return cols


def order_section(ds, truth, out):
    by_class = np.argsort(ds.base_masks & np.uint64(0x3FF), kind="stable")
    out += ["### Insertion order (1 shard, rows sorted by class)", "",
            "| order | build s | " + " | ".join(f"ef {e} R@10" for e in EFS) + " |",
            "|---|---|" + "---|" * len(EFS)]  # fmt: skip
    for name, shuffle in (("as given (sorted)", False), ("shuffled", True)):
        col, secs = build(ds, 1, by_class, shuffle)
        cells = [
            f"{recall(col.search(ds.queries, K, 'hnsw', ef_search=ef)[0], truth):.3f}" for ef in EFS
        ]
        out.append(f"| {name} | {secs:.1f} | " + " | ".join(cells) + " |")
    out.append("")


def scan_costs(index, queries) -> tuple[float, float]:
    """(ns per skipped row, ns per passing row) of the single-threaded exact scan."""
    n = index.get_stats()["num_nodes"]
    q = queries[:100]

    def scan(mask):
        return best_time(lambda: velmora.search(index, q, K, "flat", filter_mask=mask, threads=1))

    skip = scan(_NO_ROW) / (len(q) * n) * 1e9
    passing = scan(0) / (len(q) * n) * 1e9 - skip
    return skip, passing


def graph_costs(index, queries, mask, efs=FILTER_EFS) -> list[tuple[int, float]]:
    """(ef, ns per query) of the single-threaded filtered graph search."""
    rows = []
    for ef in efs:
        q = queries[: max(50, 20000 // ef)]

        def run(q=q, ef=ef):
            velmora.search(index, q, K, "filtered", filter_mask=mask, ef_search=ef, threads=1)

        rows.append((ef, best_time(run) / len(q) * 1e9))
    return rows


def fit_graph(measured) -> np.ndarray:
    """(base, base per dim, per ef, per ef per dim) of ns = base(d) + ef * per_ef(d).

    Relative errors are minimised, so that the narrow beams weigh as much as the wide ones.
    """
    a = np.array([[1, d, ef, ef * d] for d in measured for ef, _ in measured[d][1]], dtype=float)
    y = np.array([ns for d in measured for _, ns in measured[d][1]])
    return np.linalg.lstsq(a / y[:, None], np.ones_like(y), rcond=None)[0]


def crossover_section(ds, col784, out):
    """Fit the scan and filtered-search costs at 784 and 32 dimensions."""
    proj = np.random.default_rng(5).standard_normal((ds.dim, 32)).astype(np.float32)
    base32, q32 = ds.base @ proj, ds.queries @ proj
    ix32 = velmora.HyperbolicIndex(32, metric="cosine")
    velmora.seed(ix32, 7)
    velmora.add_items(ix32, base32, ds.base_masks)
    ix784 = col784._shards[0].index
    common = 1 << 20
    measured = {}
    for dim, index, q in ((32, ix32, q32), (ds.dim, ix784, ds.queries)):
        measured[dim] = (scan_costs(index, q), graph_costs(index, q, common))
    dims = sorted(measured)
    skip = float(np.mean([measured[d][0][0] for d in dims]))
    slope = (measured[dims[1]][0][1] - measured[dims[0]][0][1]) / (dims[1] - dims[0])
    intercept = measured[dims[0]][0][1] - slope * dims[0]
    graph = fit_graph(measured)
    rare = [(share, graph_costs(ix784, ds.queries, 1 << bit, efs=(10,))[0][1])
            for bit, share in RANDOM_BITS.items()]  # fmt: skip
    out += ["### Costs behind \"auto\" (single thread)", "",
            "| dim | scan ns / skipped row | scan ns / passing row | "
            + " | ".join(f"filtered ef {e} µs" for e in FILTER_EFS) + " |",
            "|---|---|---|" + "---|" * len(FILTER_EFS)]  # fmt: skip
    for d in dims:
        (s, p), g = measured[d]
        out.append(
            f"| {d} | {s:.2f} | {p:.1f} | " + " | ".join(f"{ns / 1e3:.0f}" for _, ns in g) + " |"
        )
    out += ["", "Filtered search at ef 10, 784 dimensions, by share of rows passing: "
            + ", ".join(f"{share:.1%}: {ns / 1e3:.0f} µs" for share, ns in rare)
            + ".", "", (f"Fit: `SCAN_NS_PER_ROW = {skip:.2f}`, "
            f"`SCAN_NS_PER_PASSING = ({intercept:.1f}, {slope:.3f})`, "
            f"`GRAPH_NS_BASE = ({graph[0]:.0f}, {graph[1]:.2f})`, "
            f"`GRAPH_NS_PER_EF = ({graph[2]:.1f}, {graph[3]:.3f})` (fixed, per dimension; "
            "the filter admits half the rows)."), ""]  # fmt: skip


def auto_section(ds, col, out):
    filters = [(f"random {share:.1%}", np.full(len(ds.queries), 1 << bit, dtype=np.uint64))
               for bit, share in RANDOM_BITS.items()]  # fmt: skip
    filters.append(("own class (10%)", ds.query_masks & np.uint64(0x3FF)))
    out += ["### auto, filtered and flat on filtered queries (1 shard, 1 thread)", "",
            "| filter | rows passing | method | ef | R@10 | QPS | queries on the scan |",
            "|---|---|---|---|---|---|---|"]  # fmt: skip
    curves = {}
    for name, masks in filters:
        truth = cached_ground_truth(ds, masks)[0]
        share = np.mean([col.passing_rows(int(m)) for m in masks]) / len(col)
        runs = [("flat", None)] + [(m, ef) for m in ("filtered", "auto") for ef in FILTER_EFS]
        for method, ef in runs:
            q, f = ds.queries, masks
            if method == "filtered" and ef >= 640:
                q, f = q[:200], f[:200]

            def run(q=q, f=f, method=method, ef=ef):
                return col.search(q, K, method, filter_mask=f, ef_search=ef, threads=1)

            t = best_time(run)
            found = run()[0]
            scanned = np.mean(col.auto_methods(f, K, ef)[0] == "flat") if method == "auto" else 0
            r = recall(found, truth[: len(q)])
            curves.setdefault(name, {}).setdefault(method, []).append((r, len(q) / t))
            out.append(
                f"| {name} | {share:.2%} | {method} | {ef or '–'} | "
                f"{r:.3f} | {len(q) / t:.0f} | {scanned:.0%} |"
            )
    out += ["", f"![auto against filtered and flat]({plot_auto(curves)})", ""]


def plot_auto(curves: dict) -> str:
    """Recall against QPS of the three methods, one panel per filter; returns the file name."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(curves), figsize=(4 * len(curves), 3.6), squeeze=False)
    for ax, (name, methods) in zip(axes[0], curves.items()):
        for method, pts in methods.items():
            style = "s" if method == "flat" else "o-"
            ax.plot([p[0] for p in pts], [p[1] for p in pts], style, label=method, ms=4)
        ax.set_title(name, fontsize=9)
        ax.set_xlabel("recall@10")
        ax.set_yscale("log")
    axes[0][0].set_ylabel("queries per second")
    axes[0][0].legend(fontsize=8)
    fig.tight_layout()
    name = "collection-auto-filtered.png"
    fig.savefig(Path(__file__).parent / name, dpi=90)
    plt.close(fig)
    return name


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10 000 rows")
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--rows", type=int, default=None, help="first rows of the base only")
    parser.add_argument("--out", default=str(Path(__file__).parent / "collection_results.md"))
    parser.add_argument("--only", choices=("shards", "order", "crossover", "auto"), nargs="*")
    args = parser.parse_args()
    ds = load(10000 if args.quick else args.rows, args.queries)
    truth = cached_ground_truth(ds, None)[0]
    out = ["## Collections (Fashion-MNIST, cosine)", "",
           (f"{ds.n} rows x {ds.dim}, {len(ds.queries)} queries, M 16, ef_construction 200, "
           f"seed 7; wall time on this machine ({len(velmora.collection.os.sched_getaffinity(0))} "
           "cores, shared)."), ""]  # fmt: skip
    cols = {}
    if not args.only or "shards" in args.only:
        cols = sharding_section(ds, truth, out)
    if not args.only or "order" in args.only:
        order_section(ds, truth, out)
    if not args.only or {"crossover", "auto"} & set(args.only):
        col = cols.get(1) or build(ds, 1)[0]
        if not args.only or "crossover" in args.only:
            crossover_section(ds, col, out)
        if not args.only or "auto" in args.only:
            auto_section(ds, col, out)
    text = "\n".join(out)
    Path(args.out).write_text(text + "\n")
    print(text)


if __name__ == "__main__":
    main()
