"""The log beside a saved directory: replayed by load, stale logs ignored, damage named."""

import numpy as np
import pytest

from velmora import Collection, CollectionFileError
from velmora._log import AddRecord, FileLog, MaskRecord, log_path, manifest_digest


def _saved(tmp_path):
    x = np.random.default_rng(2).normal(size=(40, 4)).astype(np.float32) * 0.1
    col = Collection(4, "euclidean", M=4, shards=2, seed=3)
    col.add(x[:30], ef_construction=20)
    col.save(tmp_path / "c")
    log = FileLog(log_path(tmp_path / "c"), manifest_digest(tmp_path / "c" / "manifest.json"))
    return col, x, log


def test_load_replays_the_log_as_the_collection_would_have_gone_on(tmp_path):
    col, x, log = _saved(tmp_path)
    col.add(x[30:], ef_construction=20)
    col.update_masks([1, 34], [5, 6])
    log.append(AddRecord(1, 20, *_added_in_order(col, x)))
    log.append(MaskRecord(np.array([1, 34]), np.array([5, 6], dtype=np.uint64)))
    back = Collection.load(tmp_path / "c")
    assert len(back) == 40 and back._next_batch == col._next_batch
    col.save(tmp_path / "a")
    back.save(tmp_path / "b")
    for f in (tmp_path / "a").iterdir():
        assert f.read_bytes() == (tmp_path / "b" / f.name).read_bytes(), f.name


def _added_in_order(col, x):
    order = np.random.default_rng(np.random.SeedSequence(3, spawn_key=(1, 1)).generate_state(
        1, np.uint32)[0]).permutation(10)  # fmt: skip
    labels = np.arange(30, 40, dtype=np.int64)[order]
    return x[30:][order], labels, np.zeros(10, dtype=np.uint64)


@pytest.mark.parametrize("damage", ["stale", "torn", "middle"])
def test_stale_torn_and_damaged_logs(tmp_path, damage):
    *_, log = _saved(tmp_path)
    log.append(MaskRecord(np.array([1]), np.array([5], dtype=np.uint64)))
    log.append(MaskRecord(np.array([2]), np.array([6], dtype=np.uint64)))
    path = log_path(tmp_path / "c")
    data = bytearray(path.read_bytes())
    if damage == "stale":
        data[20] ^= 0xFF  # the digest of another save
    elif damage == "torn":
        data = data[:-3]
    else:
        data[46 + 16 + 150] ^= 0xFF  # inside the first record, not the last
    path.write_bytes(bytes(data))
    if damage == "middle":
        with pytest.raises(CollectionFileError, match=r"c\.log: record at offset \d+ fails"):
            Collection.load(tmp_path / "c")
        return
    back = Collection.load(tmp_path / "c")
    expected = {"stale": (0, 0), "torn": (5, 0)}[damage]
    assert (
        tuple(
            int(s.masks[s.find(np.array([lab]))[0]])
            for lab, s in ((1, back._shards[1]), (2, back._shards[0]))
        )
        == expected
    )
