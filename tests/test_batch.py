"""Batch calls: equal to the per-row and per-query calls, seeded builds, bad batches,
Ctrl-C and use across threads."""

import _thread
import re
import threading
import time

import numpy as np
import pytest

import velmora
from orv_core import HyperbolicIndex

IN_USE = "index is in use by another thread and cannot be changed now"
BEING_CHANGED = "index is being changed by another thread"
ALL_METRICS = ("poincare", "euclidean", "cosine")


def rows(n, d, seed=3):
    x = np.random.default_rng(seed).standard_normal((n, d))
    return 0.9 * x / (1.0 + np.linalg.norm(x, axis=1, keepdims=True))  # inside the ball, float64


def seeded(d, metric, seed=11, M=8):
    ix = HyperbolicIndex(d, metric=metric, M=M)
    velmora.seed(ix, seed)
    return ix


def image(ix, tmp_path, name="ix.bin"):
    ix.save_index(str(tmp_path / name))
    return (tmp_path / name).read_bytes(), velmora.get_rng_state(ix)


def count(ix):
    return ix.get_stats()["num_nodes"]


@pytest.mark.parametrize("metric", ALL_METRICS)
def test_add_items_equals_rows_one_by_one(metric, tmp_path):
    x, masks = rows(600, 6), np.arange(600) % 5
    batch, single = seeded(6, metric), seeded(6, metric)
    velmora.add_items(batch, x[:100], masks[:100], linked=False)
    velmora.add_items(batch, x[100:], masks[100:], ef_construction=40)
    for i, v in enumerate(x.astype(np.float32)):
        if i < 100:
            single.add_item_flat(v, int(masks[i]))
        else:
            single.add_item_and_link(v, int(masks[i]), 40)
    assert image(batch, tmp_path, "a") == image(single, tmp_path, "b")


@pytest.mark.parametrize("metric", ALL_METRICS)
@pytest.mark.parametrize("method", ["hnsw", "filtered", "flat"])
def test_search_equals_per_query_calls(metric, method):
    x = rows(800, 6).astype(np.float32)
    ix = seeded(6, metric)
    velmora.add_items(ix, x, np.arange(800) % 4)
    q = rows(60, 6, seed=4).astype(np.float32)
    filters = np.arange(60, dtype=np.uint64) % 3
    call = {
        "hnsw": ix.custom_hnsw_search,
        "filtered": ix.filtered_search,
        "flat": ix.hardware_flat_search,
    }[method]
    ef = {} if method == "flat" else {"ef_search": 30}
    ids, dists = velmora.search(ix, q, 7, method, filters, threads=1, **ef)
    assert ids.dtype == np.int64 and dists.dtype == np.float32 and ids.shape == (60, 7)
    for i in range(60):
        want = call(q[i], 7, int(filters[i]), **ef)[:7]
        assert ids[i, : len(want)].tolist() == want and (ids[i, len(want) :] == -1).all()
        got = [ix.compute_distance(q[i], j) for j in want]
        assert dists[i, : len(want)].tolist() == got and np.isposinf(dists[i, len(want) :]).all()
    again = velmora.search(ix, q, 7, method, filters, threads=2, **ef)
    assert (again[0] == ids).all() and (again[1].view(np.uint32) == dists.view(np.uint32)).all()


def test_seeds_repeat_and_states_continue(tmp_path):
    x = rows(300, 5)
    a, b, c = seeded(5, "poincare", 1), seeded(5, "poincare", 1), seeded(5, "poincare", 2)
    for ix in (a, b, c):
        velmora.add_items(ix, x[:150])
    assert image(a, tmp_path, "a") == image(b, tmp_path, "b") != image(c, tmp_path, "c")
    # A loaded copy given a's state goes on exactly as a does.
    _, state = image(a, tmp_path, "half")
    fresh = seeded(5, "poincare", 9)
    fresh.load_index(str(tmp_path / "half"))
    velmora.set_rng_state(fresh, state)
    velmora.add_items(a, x[150:])
    velmora.add_items(fresh, x[150:])
    assert image(fresh, tmp_path, "f") == image(a, tmp_path, "a")
    with pytest.raises(ValueError, match="not a level generator state"):
        velmora.set_rng_state(a, b"1 2 3")
    with pytest.raises(ValueError, match="seed must be"):
        velmora.seed(a, 2**32)


BAD_BATCHES = [
    (np.zeros((3, 7)), None, ValueError, "expected 6 columns, got 7"),
    (np.zeros((2, 2, 6)), None, ValueError, "1-D or 2-D"),
    (np.zeros((3, 6), np.complex64), None, TypeError, "dtype complex64"),
    (np.array([["a"] * 6]), None, TypeError, "dtype <U1"),
    (
        np.where(np.arange(18).reshape(3, 6) == 14, np.nan, 0.1),
        None,
        ValueError,
        "row 2 holds nan at column 2",
    ),
    (np.full((2, 6), np.inf), None, ValueError, "row 0 holds inf at column 0"),
    (np.zeros((3, 6)), np.array([1, 2]), ValueError, "expected 3 masks, one per row, got 2"),
    (np.zeros((3, 6)), np.array([1, -2, 3]), ValueError, "non-negative, got -2 at 1"),
    (np.zeros((3, 6)), np.array([1.0, 2.0, 3.0]), TypeError, "dtype float64"),
    (np.zeros((3, 6)), -1, ValueError, "from 0 to 2\\*\\*64 - 1, got -1"),
]


@pytest.mark.parametrize("vectors, masks, error, message", BAD_BATCHES)
def test_bad_batch_changes_nothing(vectors, masks, error, message, tmp_path):
    ix = seeded(6, "euclidean")
    velmora.add_items(ix, rows(20, 6))
    before = image(ix, tmp_path, "before")
    with pytest.raises(error, match=message):
        velmora.add_items(ix, vectors, masks)
    assert image(ix, tmp_path, "after") == before


def test_flat_rows_may_hold_non_finite_values():
    ix = seeded(6, "euclidean")
    velmora.add_items(ix, np.full((2, 6), np.nan), linked=False)
    assert count(ix) == 2


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"queries": np.zeros((2, 5))}, ValueError, "expected 6 columns, got 5"),
        ({"k": -1}, ValueError, "k must be at least 0, got -1"),
        ({"method": "exact"}, ValueError, 'got "exact"'),
        ({"threads": 0}, ValueError, "threads must be at least 1, got 0"),
        ({"filter_mask": np.ones(3, np.uint64)}, ValueError, "expected 2 filter masks"),
    ],
)
def test_bad_search_arguments(kwargs, error, message):
    ix = seeded(6, "cosine")
    velmora.add_items(ix, rows(30, 6))
    args = {"queries": np.zeros((2, 6)), "k": 3, **kwargs}
    with pytest.raises(error, match=message):
        velmora.search(ix, **args)


def test_empty_batches_and_k_zero():
    ix = seeded(6, "euclidean")
    velmora.add_items(ix, np.zeros((0, 6)))
    ids, dists = velmora.search(ix, np.zeros((4, 6)), 3)
    assert (ids == -1).all() and np.isposinf(dists).all()
    velmora.add_items(ix, rows(10, 6))
    assert velmora.search(ix, np.zeros((4, 6)), 0)[0].shape == (4, 0)


def test_interrupt_stops_at_a_row_boundary(tmp_path):
    x = rows(60_000, 8, seed=5)
    ix = seeded(8, "euclidean")
    timer = threading.Timer(0.3, _thread.interrupt_main)
    timer.start()
    with pytest.raises(KeyboardInterrupt) as caught:
        velmora.add_items(ix, x, ef_construction=100)
    timer.join()
    done = int(re.search(r"holds the (\d+) rows", str(caught.value)).group(1))
    assert 0 < done < len(x) and count(ix) == done
    again = seeded(8, "euclidean")
    velmora.add_items(again, x[:done], ef_construction=100)
    assert image(again, tmp_path, "a") == image(ix, tmp_path, "b")


def run_beside(background, foreground, tries=200):
    """Calls foreground while background runs on a thread, until one is refused."""
    for _ in range(tries):
        errors = []

        def run(errors=errors):
            try:
                background()
            except RuntimeError as e:
                errors.append(str(e))

        th = threading.Thread(target=run)
        th.start()
        time.sleep(0.002)
        try:
            foreground()
        except RuntimeError as e:
            errors.append(str(e))
        th.join()
        if errors:
            return errors
    pytest.fail("the two calls never overlapped")


def test_batch_add_meets_batch_search(tmp_path):
    ix = seeded(16, "euclidean")
    velmora.add_items(ix, rows(40_000, 16), linked=False)
    q = rows(300, 16, seed=8)
    before = image(ix, tmp_path, "before")
    errors = run_beside(
        lambda: velmora.search(ix, q, 5, "flat", threads=2),
        lambda: velmora.add_items(ix, rows(5, 16)),
    )
    assert errors == [IN_USE] and image(ix, tmp_path, "after") == before

    grow = rows(3_000, 16, seed=9)
    errors = run_beside(
        lambda: velmora.add_items(ix, grow, linked=False),
        lambda: velmora.search(ix, q[:50], 5, "flat"),
    )
    assert errors == [BEING_CHANGED]
