"""The measurements behind SCALING.md: memory per row, build rate and search time of one shard.

    python -m bench.scaling_measure            # about 6 min on 2 cores
    python -m bench.scaling_measure --quick    # about 2 min

Each configuration is built in a fresh process, one thread, from random Gaussian rows:

- bytes per row, by dimension and M: the growth of the process's resident memory while the rows
  go in, and the saved file's size, each divided by the rows (the link memo and the cosine norm
  bounds, which are not saved, count in the resident figure only);
- build rate: rows per second of ``velmora.add_items`` at ef_construction 200;
- search time: one thread, k 10, ef 50 and 100, best of three passes, on shards of two sizes.

Writes bench/scaling_results.json.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing as mp
import os
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _memory(dim: int, m: int, n: int, metric: str, out) -> None:
    import orv_core
    import velmora

    x = np.random.default_rng(dim * 100 + m).normal(size=(n, dim)).astype(np.float32) * 0.02
    index = orv_core.HyperbolicIndex(dim, M=m, metric=metric)
    velmora.seed(index, 1)
    before = rss_bytes()
    velmora.add_items(index, x, ef_construction=40)
    grown = rss_bytes() - before
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "i")
        index.save_index(path)
        file_size = os.path.getsize(path)
    out.put({"dimension": dim, "M": m, "metric": metric, "rows": n,
             "rss_bytes_per_row": grown / n, "file_bytes_per_row": file_size / n})  # fmt: skip


def _speed(dim: int, m: int, sizes: tuple, out) -> None:
    import orv_core
    import velmora

    rng = np.random.default_rng(3)
    result = {"dimension": dim, "M": m, "metric": "cosine", "shards": []}
    for n in sizes:
        x = rng.normal(size=(n, dim)).astype(np.float32)
        index = orv_core.HyperbolicIndex(dim, M=m, metric="cosine")
        velmora.seed(index, 1)
        t0 = time.perf_counter()
        velmora.add_items(index, x, ef_construction=200)
        build = time.perf_counter() - t0
        q = rng.normal(size=(300, dim)).astype(np.float32)
        row = {"rows": n, "build_rows_per_s": n / build}
        for ef in (50, 100):
            best = np.inf
            for _ in range(3):  # best of three: the machine is shared
                t0 = time.perf_counter()
                velmora.search(index, q, 10, ef_search=ef, threads=1)
                best = min(best, time.perf_counter() - t0)
            row[f"search_us_ef{ef}"] = best / len(q) * 1e6
        result["shards"].append(row)
    out.put(result)


def in_child(fn, *args):
    ctx = mp.get_context("spawn")
    out = ctx.Queue()
    p = ctx.Process(target=fn, args=(*args, out))
    p.start()
    value = out.get()
    p.join()
    return value


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer rows")
    args = ap.parse_args()
    n = 20_000 if args.quick else 50_000
    memory = []
    for dim in (32, 128, 384):
        for m in (8, 16, 32):
            memory.append(in_child(_memory, dim, m, n, "euclidean"))
            print(memory[-1], flush=True)
    memory.append(in_child(_memory, 128, 16, n, "cosine"))
    sizes = (10_000, 40_000) if not args.quick else (5_000, 20_000)
    speed = in_child(_speed, 128, 16, sizes)
    print(speed, flush=True)
    result = {"memory": memory, "speed": speed}
    (HERE / "scaling_results.json").write_text(json.dumps(result, indent=2) + "\n")


if __name__ == "__main__":
    main()
