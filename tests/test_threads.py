"""Many Python threads on one index: concurrent reads equal sequential ones, and a change that
overlaps a use is refused with an error that leaves the index intact."""

import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from graph_helpers import scratch_directory

import orv_core
from velmora import index_file as ifr

HyperbolicIndex = orv_core.HyperbolicIndex

IN_USE = "index is in use by another thread and cannot be changed now"
BEING_CHANGED = "index is being changed by another thread"
MASK_SIZE = "Mask array size does not match graph size!"
INT32_MAX = 2**31 - 1
THREADS = 8
QUERIES = 60


def run_threads(count, target):
    """Runs target(t) on `count` threads started together; re-raises the first failure."""
    barrier = threading.Barrier(count)
    errors = []

    def body(t):
        try:
            barrier.wait()
            target(t)
        except BaseException as e:  # noqa: BLE001 - reported in the main thread
            errors.append(e)

    pool = [threading.Thread(target=body, args=(t,)) for t in range(count)]
    for th in pool:
        th.start()
    for th in pool:
        th.join()
    if errors:
        raise errors[0]


# --- concurrent reads ------------------------------------------------------------------------


def read_calls(index, q, i):
    """Every read-only call for one query; node i is the probe of the per-node calls."""
    return (
        index.hardware_flat_search(q, 10, i % 4),
        index.hardware_flat_search(q, 5, 0, 1.0, 0.2),
        index.custom_hnsw_search(q, 10, 0, 40),
        index.custom_hnsw_search(q, 5, 2, 60, -1.0, 0.3),
        index.filtered_search(q, 10, 1, 100),
        index.filtered_search(q, 5, 3, 200, 2.5, 0.1),
        index.compute_distance(q, i),
        index.get_stored_norm(i),
    )


@pytest.mark.parametrize("metric", ["poincare", "cosine"])
def test_concurrent_reads_equal_sequential_ones(metric, scratch):
    rng = np.random.default_rng(11)
    vectors = rng.standard_normal((2500, 12))
    vectors *= (rng.uniform(0.05, 0.9, 2500) / np.linalg.norm(vectors, axis=1))[:, None]
    vectors = vectors.astype(np.float32)
    index = HyperbolicIndex(12, M=8, metric=metric)
    for i, v in enumerate(vectors):
        if i % 25:
            index.add_item_and_link(v, i % 4, 40)
        else:
            index.add_item_flat(v, i % 4)
    queries = vectors[rng.integers(0, 2500, QUERIES)] * np.float32(0.97)
    probes = rng.integers(0, 2500, QUERIES)
    want = [read_calls(index, q, int(i)) for q, i in zip(queries, probes)]
    want_stats, want_file = index.get_stats(), ifr.saved_bytes(index, scratch / "want.bin")
    got = [[None] * QUERIES for _ in range(THREADS)]

    def reader(t):
        for rnd in range(3):
            for j in range(QUERIES):
                # Each thread walks the queries from its own start, so different calls overlap.
                k = (j + 5 * t + rnd) % QUERIES
                got[t][k] = read_calls(index, queries[k], int(probes[k]))
            assert index.get_stats() == want_stats
            assert index.get_metric() == metric
            assert ifr.saved_bytes(index, scratch / f"t{t}-{rnd}.bin") == want_file

    run_threads(THREADS, reader)
    for t in range(THREADS):
        assert got[t] == want, f"thread {t} got other results"
    assert ifr.saved_bytes(index, scratch / "after.bin") == want_file


# --- big indexes written straight from NumPy ---------------------------------------------------


def write_index_file(path, vectors, degree=0, max_m=16, seed=0):
    """All nodes on level 0; with degree > 0, a circulant layer 0 (every node links to the same
    offsets, 1 among them, so the graph is connected) and node 0 as entry point."""
    n = len(vectors)
    norms = (vectors.astype(np.float64) ** 2).sum(axis=1)
    if not degree:
        return ifr.write_level0(path, vectors, norms, max_m=max_m)
    rng = np.random.default_rng(seed)
    offsets = np.concatenate([[1], rng.choice(np.arange(2, n - 1), degree - 1, False)])
    links = (np.arange(n)[:, None] + offsets[None, :]) % n
    return ifr.write_level0(path, vectors, norms, links=links, max_m=max_m, ep_id=0)


# --- a change while a search runs ------------------------------------------------------------

BIG_N, BIG_D = 100_000, 16


@pytest.fixture(scope="module")
def big_files(tmp_path_factory):
    with scratch_directory(tmp_path_factory.mktemp("big")) as d:
        rng = np.random.default_rng(5)
        flat = rng.standard_normal((BIG_N, BIG_D)).astype(np.float32)
        small = rng.standard_normal((10, BIG_D)).astype(np.float32)
        yield write_index_file(d / "flat.bin", flat), write_index_file(d / "small.bin", small)


CHANGES = {
    "add_item_flat": lambda ix, files: ix.add_item_flat(np.ones(BIG_D, np.float32), 7),
    "add_item_and_link": lambda ix, files: ix.add_item_and_link(np.ones(BIG_D, np.float32), 7),
    "update_masks": lambda ix, files: ix.update_masks(
        np.full(ix.get_stats()["num_nodes"], 3, np.uint64)
    ),
    "load_index": lambda ix, files: ix.load_index(str(files[1])),
}


def search_during(index, call):
    """Starts a long exhaustive search on a thread, runs call() while it is (most likely) under
    way, and returns (outcome of call, result of the search)."""
    started, out = threading.Event(), {}

    def search():
        started.set()
        out["ids"] = index.hardware_flat_search(np.zeros(BIG_D, np.float32), BIG_N, 0)

    th = threading.Thread(target=search)
    th.start()
    started.wait()
    time.sleep(0.003)
    try:
        call()
        outcome = None
    except RuntimeError as e:
        outcome = str(e)
    th.join()
    return outcome, out.get("ids")


@pytest.mark.parametrize("change", CHANGES)
def test_change_during_a_search_is_refused(change, big_files, scratch):
    index = HyperbolicIndex(BIG_D, metric="euclidean")
    index.load_index(str(big_files[0]))
    expected_ids = index.hardware_flat_search(np.zeros(BIG_D, np.float32), BIG_N, 0)
    deadline, rounds = time.monotonic() + 20, 0
    while time.monotonic() < deadline:
        rounds += 1
        before = ifr.saved_bytes(index, scratch / "before.bin")
        outcome, ids = search_during(index, lambda: CHANGES[change](index, big_files))
        if outcome is not None:
            break
        # No overlap this time: the change went through; start again from the big index.
        index.load_index(str(big_files[0]))
        expected_ids = index.hardware_flat_search(np.zeros(BIG_D, np.float32), BIG_N, 0)
    else:
        pytest.fail(f"{change} was never refused in {rounds} searches of {BIG_N} nodes")
    assert outcome == IN_USE
    assert ids == expected_ids
    assert ifr.saved_bytes(index, scratch / "after.bin") == before
    CHANGES[change](index, big_files)  # nothing is in use now


# --- a use while a change runs ---------------------------------------------------------------

GRAPH_N, GRAPH_D = 100_000, 8


def poll_calls(index, path):
    q = np.full(GRAPH_D, 0.1, np.float32)
    # Sized for the index before any insertion: once it grows, only the guard can answer
    # before the size check does.
    masks = np.zeros(GRAPH_N, np.uint64)
    reads = {
        "get_stored_norm": lambda: index.get_stored_norm(0),
        "compute_distance": lambda: index.compute_distance(q, 1),
        "get_stats": index.get_stats,
        "hardware_flat_search": lambda: index.hardware_flat_search(q, 5, 0),
        "custom_hnsw_search": lambda: index.custom_hnsw_search(q, 5, 0, 10),
        "filtered_search": lambda: index.filtered_search(q, 5, 0, 10),
        "save_index": lambda: index.save_index(str(path)),
    }
    changes = {
        "update_masks": lambda: index.update_masks(masks),
        "add_item_flat": lambda: index.add_item_flat(q, 9),
    }
    return reads, changes


def poll_during_add(index, vector, reads, changes, seen, counts):
    """One linked insertion with an unbounded beam on a thread while this thread calls every
    read and change in turn; returns whether the insertion went through."""
    out = {}

    def add():
        try:
            index.add_item_and_link(vector, 5, INT32_MAX)
            out["ok"] = True
        except RuntimeError as e:
            out["error"] = str(e)

    th = threading.Thread(target=add)
    th.start()
    calls = [*reads.items(), *changes.items()]
    j = 0
    while th.is_alive():
        name, call = calls[j % len(calls)]
        j += 1
        try:
            call()
            counts[name] = counts.get(name, 0) + 1
        except RuntimeError as e:
            if str(e) == MASK_SIZE and name == "update_masks":
                continue  # the guard was free and the index had grown: nothing changed
            assert str(e) == (BEING_CHANGED if name in reads else IN_USE), name
            seen.add(name)
    th.join()
    # A read of ours may have been under way when the insertion began: then it is refused.
    assert out.get("error") in (None, IN_USE)
    return out.get("ok", False)


def test_use_during_a_long_insertion_is_refused(scratch):
    rng = np.random.default_rng(9)
    vectors = rng.standard_normal((GRAPH_N, GRAPH_D)).astype(np.float32)
    path = write_index_file(scratch / "graph.bin", vectors, degree=32, max_m=16)
    index = HyperbolicIndex(GRAPH_D, metric="euclidean")
    index.load_index(str(path))
    reads, changes = poll_calls(index, scratch / "poll.bin")
    seen, counts, added = set(), {}, []
    deadline = time.monotonic() + 25
    while time.monotonic() < deadline and seen != set(reads) | set(changes):
        v = rng.standard_normal(GRAPH_D).astype(np.float32)
        if poll_during_add(index, v, reads, changes, seen, counts):
            added.append(v)
    missing = (set(reads) | set(changes)) - seen
    assert not missing, f"never refused during {len(added)} insertions: {sorted(missing)}"
    # Intact: the loader accepts the file (it checks every list), old vectors are unchanged,
    # and every inserted vector is found where it was put.
    final = scratch / "final.bin"
    index.save_index(str(final))
    image = ifr.read(final)
    assert image.n == GRAPH_N + len(added) + counts.get("add_item_flat", 0)
    assert np.array_equal(image.vectors[:GRAPH_N], vectors)
    twin = HyperbolicIndex(GRAPH_D, metric="euclidean")
    twin.load_index(str(final))
    ids = [i for i in range(GRAPH_N, image.n) if image.masks[i] == 5]
    assert len(ids) == len(added)
    for i, v in zip(ids, added):
        assert np.array_equal(image.vectors[i], v)
        assert twin.hardware_flat_search(v, 1, 5) == [i]
        assert twin.compute_distance(v, i) == 0.0
    assert not list(scratch.glob("*.tmp*")), "a refused save left a temporary file"


# --- a load between an insertion's checks and its guard --------------------------------------

RACE_SCRIPT = """
import sys, threading, time, numpy as np, orv_core
from velmora import index_file
small, big, pause = sys.argv[1], sys.argv[2], float(sys.argv[3])
d1, d2 = 4_000_000, 16_000_000
index_file.write(small, index_file.empty_image(d1))
index_file.write(big, index_file.empty_image(d2))
ix = orv_core.HyperbolicIndex(1, metric="euclidean")
ix.load_index(small)
vector, out = np.full(d1, 0.5, np.float32), {}
def add():
    try:
        ix.add_item_and_link(vector)
        out["add"] = "added"
    except RuntimeError as e:
        out["add"] = str(e)
th = threading.Thread(target=add)
th.start()
time.sleep(pause)
try:
    ix.load_index(big)
    load = "loaded"
except RuntimeError as e:
    load = str(e)
th.join()
s = ix.get_stats()
print(load, out["add"], s["num_nodes"], s["dimension"], sep="|")
"""
RACE_OUTCOMES = {
    (IN_USE, "added", "1", "4000000"),  # the insertion held the index
    ("loaded", IN_USE, "0", "16000000"),  # the load held it
    ("loaded", "Vector dimension mismatch", "0", "16000000"),  # the load came first
}


def test_load_while_an_insertion_checks_its_vector(scratch):
    # Checking a vector of 4 M values takes milliseconds; a load that lands then must be refused
    # or make the insertion refuse the vector, never let it read past the vector's end.
    for pause in (0.0005, 0.001, 0.0015, 0.002) * 2:
        args = [str(scratch / "s.bin"), str(scratch / "b.bin"), str(pause)]
        done = subprocess.run(
            [sys.executable, "-c", RACE_SCRIPT, *args],
            check=False,
            capture_output=True,
            timeout=60,
        )
        assert done.returncode == 0, f"pause {pause}: exit {done.returncode}"
        assert tuple(done.stdout.decode().strip().split("|")) in RACE_OUTCOMES
