"""Linked batches built on several threads: the saved file and the level generator end exactly
as the one-by-one insertion leaves them."""

import numpy as np
import pytest

import velmora
import velmora.datasets
from orv_core import HyperbolicIndex


def clustered(n, d, seed, spread=0.15):
    """Rows around a few centres, with every tenth row repeated (ties), inside the ball."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((6, d))
    x = centres[rng.integers(0, 6, n)] + spread * rng.standard_normal((n, d))
    x[1::10] = x[::10][: len(x[1::10])]
    return (0.8 * x / (1.0 + np.linalg.norm(x, axis=1, keepdims=True))).astype(np.float32)


def image(ix, path):
    ix.save_index(str(path))
    return path.read_bytes(), velmora.get_rng_state(ix)


def build(d, metric, M, steps, threads, seed=5):
    """Runs steps of ("flat" | "linked" | "single", rows) on a seeded index."""
    ix = HyperbolicIndex(d, metric=metric, M=M)
    velmora.seed(ix, seed)
    for kind, x in steps:
        masks = np.arange(len(x)) % 7
        if kind == "single":
            for v, m in zip(x, masks):
                ix.add_item_and_link(v, int(m), 64)
        else:
            velmora.add_items(ix, x, masks, 64, linked=kind == "linked", threads=threads)
    return ix


@pytest.mark.parametrize("metric", ["poincare", "euclidean", "cosine"])
@pytest.mark.parametrize("M", [2, 4, 16])
@pytest.mark.parametrize("d", [8, 128])
def test_threads_build_the_one_by_one_graph(metric, M, d, tmp_path):
    x = clustered(900, d, seed=d + M)
    steps = [("flat", x[:50]), ("linked", x[50:700]), ("flat", x[700:720]), ("linked", x[720:])]
    want = image(build(d, metric, M, steps, threads=1), tmp_path / "one")
    for threads in (2, 3):
        assert image(build(d, metric, M, steps, threads), tmp_path / f"t{threads}") == want


def test_rows_at_and_beyond_the_boundary(tmp_path):
    x = clustered(600, 16, seed=1)
    # Some rows on the unit sphere and past it, some just inside.
    x[::9] /= np.linalg.norm(x[::9], axis=1, keepdims=True)
    x[4::9] *= 1.5 / np.linalg.norm(x[4::9], axis=1, keepdims=True)
    x[5::9] *= np.float32(0.99999) / np.linalg.norm(x[5::9], axis=1, keepdims=True)
    steps = [("linked", x)]
    want = image(build(16, "poincare", 8, steps, threads=1), tmp_path / "one")
    assert image(build(16, "poincare", 8, steps, threads=2), tmp_path / "two") == want


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_one_by_one_insertion_continues_after_a_parallel_batch(metric, tmp_path):
    x = clustered(800, 96, seed=9)
    one = build(96, metric, 8, [("single", x[:500]), ("single", x[500:])], threads=1)
    mixed = build(96, metric, 8, [("linked", x[:500]), ("single", x[500:])], threads=2)
    assert image(mixed, tmp_path / "mixed") == image(one, tmp_path / "one")


def test_identical_rows_only(tmp_path):
    x = np.repeat(clustered(3, 32, seed=2), 200, axis=0)
    want = image(build(32, "euclidean", 4, [("linked", x)], threads=1), tmp_path / "one")
    assert image(build(32, "euclidean", 4, [("linked", x)], threads=2), tmp_path / "two") == want


def test_threads_must_be_positive():
    ix = HyperbolicIndex(4, metric="euclidean")
    with pytest.raises(ValueError, match="threads must be at least 1, got 0"):
        velmora.add_items(ix, np.zeros((2, 4)), threads=0)
    assert ix.get_stats()["num_nodes"] == 0


def test_repeated_builds_of_a_hierarchy(tmp_path):
    # WordNet nouns: a few hubs sit in nearly every plan's path and a commit changes their lists
    # most times, so plans often read a list while a commit writes it. A plan trusted after such
    # a read would make some runs differ from the one-by-one build.
    x = velmora.datasets.wordnet_nouns().base[:8000]
    want = image(build(10, "poincare", 16, [("linked", x)], threads=1), tmp_path / "one")
    for run, threads in enumerate((2, 4, 2, 4, 2, 4)):
        got = image(build(10, "poincare", 16, [("linked", x)], threads), tmp_path / f"r{run}")
        assert got == want, f"run {run} on {threads} threads"
