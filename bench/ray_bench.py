"""What the Ray backend costs per call, against the local backend, on a two-node Ray cluster
started on this machine (127.0.0.1 only).

    python -m bench.ray_bench            # about 3 min on 2 cores
    python -m bench.ray_bench --quick    # about 1 min

Both collections hold the same rows (same seed, so the same shards and the same answers). For
each batch size it times one ``search`` (k = 10, "hnsw", ef 50) and one ``add`` per backend; the
Ray overhead is the difference. Times are the median of several calls, wall clock, on a shared
machine. Writes bench/ray_results.md and bench/ray_results.json.
"""

from __future__ import annotations

import argparse
import json
import time
from pathlib import Path

import numpy as np

from velmora.ray_local import loopback_cluster

HERE = Path(__file__).resolve().parent
DIM, M, SHARDS, K, EF = 64, 16, 2, 10, 50


def median_time(fn, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return float(np.median(times))


def rows(n: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).normal(size=(n, DIM)).astype(np.float32)


def build(Collection, backend: str, base: np.ndarray):
    col = Collection(DIM, "cosine", M=M, shards=SHARDS, seed=7, backend=backend)
    t0 = time.perf_counter()
    col.add(base, ef_construction=100)
    return col, time.perf_counter() - t0


def search_times(cols: dict, batches, repeats: int) -> list[dict]:
    out = []
    for n in batches:
        q = rows(n, 100 + n)
        answers = {b: c.search(q, K, method="hnsw", ef_search=EF) for b, c in cols.items()}
        same = all(np.array_equal(answers["ray"][i], answers["local"][i]) for i in (0, 1))
        t = {b: median_time(lambda c=c, q=q: c.search(q, K, method="hnsw", ef_search=EF),
                            repeats) for b, c in cols.items()}  # fmt: skip
        out.append({"queries": n, "local_ms": t["local"] * 1e3, "ray_ms": t["ray"] * 1e3,
                    "overhead_ms": (t["ray"] - t["local"]) * 1e3, "same_answers": same})  # fmt: skip
    return out


def add_times(cols: dict, batches, repeats: int) -> list[dict]:
    out, next_id = [], 10**9
    for n in batches:
        t = {}
        for b, c in cols.items():
            samples = []
            for r in range(repeats):
                ids = np.arange(next_id + r * n, next_id + (r + 1) * n)
                x = rows(n, 5000 + r) * 0.5
                t0 = time.perf_counter()
                c.add(x, ids=ids, ef_construction=100)
                samples.append(time.perf_counter() - t0)
            t[b] = float(np.median(samples))
        next_id += repeats * n
        out.append({"rows": n, "local_ms": t["local"] * 1e3, "ray_ms": t["ray"] * 1e3,
                    "overhead_ms": (t["ray"] - t["local"]) * 1e3})  # fmt: skip
    return out


def markdown(result: dict) -> str:
    lines = [
        "## Ray backend overhead (bench/ray_bench.py)",
        "",
        (
            f"Two Ray nodes on one 2-core shared machine (127.0.0.1), {result['base_rows']} rows "
            f"of {DIM}-d cosine, M {M}, {SHARDS} shards; k {K}, hnsw ef {EF}. Median wall time "
            f"per call. Build of the base rows: local {result['build_s']['local']:.2f} s, Ray "
            f"{result['build_s']['ray']:.2f} s."
        ),
        "",
        "| queries per search | local ms | Ray ms | overhead ms | same answers |",
        "|---:|---:|---:|---:|:---:|",
    ]
    for r in result["search"]:
        lines.append(f"| {r['queries']} | {r['local_ms']:.2f} | {r['ray_ms']:.2f} | "
                     f"{r['overhead_ms']:.2f} | {'yes' if r['same_answers'] else 'NO'} |")  # fmt: skip
    lines += ["", "| rows per add | local ms | Ray ms | overhead ms |", "|---:|---:|---:|---:|"]
    for r in result["add"]:
        lines.append(f"| {r['rows']} | {r['local_ms']:.2f} | {r['ray_ms']:.2f} | "
                     f"{r['overhead_ms']:.2f} |")  # fmt: skip
    return "\n".join(lines) + "\n"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer rows and repeats")
    args = ap.parse_args()
    n_base, repeats = (5_000, 5) if args.quick else (20_000, 9)
    with loopback_cluster(nodes=2, cpus_per_node=2):
        from velmora.collection import Collection

        base = rows(n_base, 1)
        cols, build_s = {}, {}
        for backend in ("local", "ray"):
            cols[backend], build_s[backend] = build(Collection, backend, base)
        result = {
            "base_rows": n_base, "build_s": build_s,
            "search": search_times(cols, (1, 10, 100, 1000), repeats),
            "add": add_times(cols, (1, 10, 100, 1000), repeats),
        }  # fmt: skip
        del cols
    (HERE / "ray_results.json").write_text(json.dumps(result, indent=2) + "\n")
    (HERE / "ray_results.md").write_text(markdown(result))
    print(markdown(result))


if __name__ == "__main__":
    main()
