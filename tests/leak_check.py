"""Memory check of orv_core, run by hand (pytest does not collect it).

Repeats whole life cycles of indexes: create, add (flat and linked), the three searches, the
per-node calls, statistics, mask updates, save, load, the usual failures (bad vectors, ids,
files) and destruction. Two modes:

    python3 tests/leak_check.py [--iterations 2000] [--warmup 300]
        Resident set size (VmRSS) over a long loop; fails when it still grows after warm-up.
    python3 tests/leak_check.py --valgrind
        Runs this script with --short under valgrind (PYTHONMALLOC=malloc) and fails when a
        block is "definitely lost" with a frame in the module. The command it runs:
        PYTHONMALLOC=malloc valgrind --leak-check=full --errors-for-leak-kinds=definite \\
            python3 tests/leak_check.py --short

The module is imported from PYTHONPATH like in the tests (e.g. PYTHONPATH=build).
"""

import argparse
import gc
import os
import re
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import numpy as np

import orv_core

METRICS = ("poincare", "euclidean", "cosine")
MODULE_FRAME = re.compile(r"orv_core|orv::")


def rss_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def expect_error(call, kind):
    try:
        call()
    except kind:
        return
    raise AssertionError(f"{call} did not raise {kind.__name__}")


def failures(index, dim, directory):
    """The error paths: each must free what it built before raising."""
    q = np.zeros(dim, np.float32)
    bad = np.full(dim, np.nan, np.float32)
    expect_error(lambda: index.add_item_and_link(bad), ValueError)
    expect_error(lambda: index.add_item_flat(q[:-1]), RuntimeError)
    expect_error(lambda: index.hardware_flat_search(q[:-1], 3, 0), RuntimeError)
    expect_error(lambda: index.hardware_flat_search(q, -1, 0), ValueError)
    expect_error(lambda: index.custom_hnsw_search(q, -1), ValueError)
    expect_error(lambda: index.compute_distance(q, -1), IndexError)
    expect_error(lambda: index.get_stored_norm(1 << 30), IndexError)
    expect_error(lambda: index.update_masks([1]), RuntimeError)
    expect_error(lambda: index.save_index(str(directory / "missing" / "x.bin")), RuntimeError)
    expect_error(lambda: index.load_index(str(directory / "missing.bin")), RuntimeError)
    truncated = directory / "truncated.bin"
    truncated.write_bytes((directory / "a.bin").read_bytes()[:-3])
    expect_error(lambda: index.load_index(str(truncated)), RuntimeError)
    expect_error(lambda: index.add_item_flat(np.zeros(dim)), TypeError)


def one_cycle(i, n, dim, directory, rng):
    metric = METRICS[i % 3]
    vectors = rng.standard_normal((n, dim)).astype(np.float32)
    vectors *= np.float32(0.9 / np.sqrt(dim))
    index = orv_core.HyperbolicIndex(dim, M=4 + i % 5, metric=metric)
    for j, v in enumerate(vectors):
        if j % 5 == 4:
            index.add_item_flat(v, j % 8)
        else:
            index.add_item_and_link(v, j % 8, 20 + i % 30)
    for t, q in enumerate(vectors[:50]):
        index.hardware_flat_search(q, 10, 1, 2.0, 0.1)
        index.custom_hnsw_search(q, 10, 2, 30, 2.0, 0.1)
        index.filtered_search(q, 10, 1, 100)
        index.filtered_search(q, n, 0, n)
        index.compute_distance(q, 7 * t % n)
        index.get_stored_norm(7 * t % n)
        index.get_stats()
        index.get_metric()
    index.update_masks(np.arange(n, dtype=np.uint64))
    index.save_index(str(directory / "a.bin"))
    twin = orv_core.HyperbolicIndex(1, metric=metric)
    twin.load_index(str(directory / "a.bin"))
    twin.load_index(str(directory / "a.bin"))  # over a full index
    twin.custom_hnsw_search(vectors[0], 5)
    # A short-lived thread: its per-thread search memory must go with it.
    worker = threading.Thread(target=twin.filtered_search, args=(vectors[1], 10))
    worker.start()
    worker.join()
    failures(twin, dim, directory)
    del index, twin


def run_cycles(iterations, n, dim, warmup, every):
    """Runs the cycles; returns [(iteration, VmRSS KiB)] sampled every `every` iterations."""
    rng = np.random.default_rng(7)
    samples = []
    with tempfile.TemporaryDirectory(
        dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    ) as d:
        for i in range(iterations):
            one_cycle(i, n, dim, Path(d), rng)
            if (i + 1) % every == 0 or i + 1 == warmup:
                gc.collect()
                samples.append((i + 1, rss_kib()))
    return samples


def rss_mode(args):
    print(f"{args.iterations} cycles of {args.nodes} nodes, dimension {args.dim}; "
          f"warm-up {args.warmup}")  # fmt: skip
    samples = run_cycles(args.iterations, args.nodes, args.dim, args.warmup, args.every)
    for it, kib in samples:
        print(f"  after {it:6d} cycles: VmRSS {kib / 1024:8.1f} MiB")
    base = next(kib for it, kib in samples if it >= args.warmup)
    after = [kib for it, kib in samples if it > args.warmup]
    growth = max(after) - base if after else 0
    last = after[-1] - base if after else 0
    print(f"growth after warm-up: max {growth} KiB, at the end {last} KiB "
          f"(limit {args.limit} KiB)")  # fmt: skip
    if growth > args.limit:
        print("FAIL: resident memory keeps growing")
        return 1
    print("OK: resident memory is flat after warm-up")
    return 0


LOSS = re.compile(r"([\d,]+) (?:\([^)]*\) )?bytes in [\d,]+ blocks are (definitely|possibly) lost")
MEMORY_ERROR = re.compile(r"Invalid (read|write|free)|uninitialised|Mismatched free|overlap")


def module_findings(log):
    """Bytes definitely and possibly lost in loss records with a frame of the module, and the
    memory errors (invalid accesses, uninitialised values) with such a frame."""
    found = {"definitely": 0, "possibly": 0, "errors": [], "definite_records": []}
    for record in re.split(r"\n(?===\d+== \n)", log):
        if not MODULE_FRAME.search(record):
            continue
        loss = LOSS.search(record)
        if loss:
            found[loss.group(2)] += int(loss.group(1).replace(",", ""))
            if loss.group(2) == "definitely":
                found["definite_records"].append(record)
        elif MEMORY_ERROR.search(record):
            found["errors"].append(record)
    return found


def run_valgrind(cycles):
    env = dict(os.environ, PYTHONMALLOC="malloc")
    with tempfile.NamedTemporaryFile("r", suffix=".log") as log:
        # The interpreter binary itself: a launcher script (pyenv shim) would hide it.
        cmd = ["valgrind", "--leak-check=full", "--errors-for-leak-kinds=definite",
               f"--log-file={log.name}", sys.executable, __file__, "--short",
               "--cycles", str(cycles)]  # fmt: skip
        print("running: PYTHONMALLOC=malloc", " ".join(cmd), flush=True)
        done = subprocess.run(cmd, env=env, check=False)
        text = log.read()
    if done.returncode != 0 or "LEAK SUMMARY" not in text:
        raise SystemExit(f"valgrind run failed (exit {done.returncode})")
    for line in text[text.find("LEAK SUMMARY") :].splitlines()[:6]:
        print("   ", re.sub(r"^==\d+== ", "", line))
    print("   ", re.findall(r"ERROR SUMMARY: .*", text)[-1])
    found = module_findings(text)
    print(f"    module frames: definitely lost {found['definitely']} B, possibly lost "
          f"{found['possibly']} B, memory errors {len(found['errors'])}")  # fmt: skip
    return found


def valgrind_mode(args):
    """Two runs of different lengths: what the module loses once (at import) is the same in
    both; a loss per cycle shows as growth."""
    few, many = run_valgrind(args.cycles), run_valgrind(4 * args.cycles)
    for record in many["definite_records"] + many["errors"]:
        print(record)
    growth = many["possibly"] - few["possibly"]
    print(f"possibly lost in module frames: {few['possibly']} B after {args.cycles} cycles, "
          f"{many['possibly']} B after {4 * args.cycles}")  # fmt: skip
    bad = many["definitely"] or many["errors"] or growth > 0
    print("FAIL" if bad else "OK: nothing definitely lost in the module, no growth, no errors")
    return 1 if bad else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=2000)
    parser.add_argument("--warmup", type=int, default=300)
    parser.add_argument("--every", type=int, default=250)
    parser.add_argument("--nodes", type=int, default=300)
    parser.add_argument("--dim", type=int, default=16)
    parser.add_argument("--limit", type=int, default=1536, help="KiB of growth allowed")
    parser.add_argument("--short", action="store_true", help="a few cycles, no RSS check")
    parser.add_argument("--cycles", type=int, default=3, help="cycles of --short")
    parser.add_argument("--valgrind", action="store_true")
    args = parser.parse_args()
    if args.valgrind:
        return valgrind_mode(args)
    if args.short:
        run_cycles(args.cycles, 60, 8, args.cycles, args.cycles)
        print("short run done")
        return 0
    return rss_mode(args)


if __name__ == "__main__":
    sys.exit(main())
