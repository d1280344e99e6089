"""Every loader fuzz seed and regression input either loads or is refused without harm.

A refused file raises RuntimeError and leaves the loading index exactly as it was (same saved
bytes, same stats); a loaded file saves back byte for byte. Seeds named ok_* must load and
bad_* must be refused; regression inputs may do either.
"""

from pathlib import Path

import numpy as np
import pytest

import orv_core

FUZZ_DIR = Path(__file__).resolve().parent.parent / "fuzz"
INPUTS = sorted(
    path
    for folder in ("seeds", "regressions")
    for path in (FUZZ_DIR / folder).glob("*")
    if path.is_file() and not path.name.startswith(".")
)
METRICS = ("poincare", "euclidean", "cosine")
MAX_SEARCH_DIMENSION = 4096


def _populated_index(metric):
    index = orv_core.HyperbolicIndex(3, 0.5, 4, metric)
    rng = np.random.default_rng(7)
    for i in range(6):
        index.add_item_and_link(rng.uniform(-0.4, 0.4, 3).astype(np.float32), i)
    index.add_item_flat(np.array([0.1, -0.2, 0.3], dtype=np.float32), 9)
    return index


def _saved_bytes(index, path):
    index.save_index(str(path))
    return path.read_bytes()


def _check_searchable(index):
    stats = index.get_stats()
    if stats["dimension"] > MAX_SEARCH_DIMENSION:
        return
    query = np.full(stats["dimension"], 0.05, dtype=np.float32)
    for ids in (
        index.hardware_flat_search(query, 4, 0),
        index.custom_hnsw_search(query, 4),
        index.filtered_search(query, 4),
    ):
        assert all(0 <= i < stats["num_nodes"] for i in ids)


def test_corpus_has_files_that_load_and_files_that_do_not():
    names = [path.name for path in INPUTS]
    assert any(name.startswith("ok_") for name in names)
    assert any(name.startswith("bad_") for name in names)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("path", INPUTS, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_fuzz_input_loads_or_leaves_index_unchanged(path, metric, tmp_path):
    index = _populated_index(metric)
    before = _saved_bytes(index, tmp_path / "before.idx")
    stats_before = index.get_stats()
    try:
        index.load_index(str(path))
    except RuntimeError as error:
        assert not path.name.startswith("ok_"), str(error)
        assert str(error).startswith(f"Cannot load index from {path}: ")
        assert _saved_bytes(index, tmp_path / "after.idx") == before
        assert index.get_stats() == stats_before
        return
    assert not path.name.startswith("bad_")
    assert _saved_bytes(index, tmp_path / "after.idx") == path.read_bytes()
    assert index.get_metric() == metric
    _check_searchable(index)
