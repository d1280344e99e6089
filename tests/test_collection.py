"""velmora.Collection: merge rules, the auto choice, persistence and bad input."""

import hashlib
import json
import os
import pathlib

import numpy as np
import pytest

import orv_core
import velmora
from velmora import Collection, CollectionFileError
from velmora.collection import _gap_cut

DIM = 8
ALL_METRICS = ("poincare", "euclidean", "cosine")


def rows(rng, n, dim=DIM, scale=0.1):
    return (rng.standard_normal((n, dim)) * scale).astype(np.float32)


@pytest.fixture
def data(rng):
    """300 rows, 20 of them copies of row 0 (ties), with scattered labels and two mask bits."""
    x = rows(rng, 300)
    x[280:] = x[0]
    labels = rng.permutation(5000)[:300].astype(np.int64)
    masks = rng.integers(0, 4, 300).astype(np.uint64)
    return x, labels, masks


def build(data, metric="poincare", shards=3, seed=7, **kw):
    x, labels, masks = data
    col = Collection(DIM, metric=metric, shards=shards, seed=seed)
    col.add(x, ids=labels, masks=masks, **kw)
    return col


def exact(data, metric, queries, k, filter_mask=0):
    """Exact answer of one index holding every row, ties ordered by label."""
    x, labels, masks = data
    ref = orv_core.HyperbolicIndex(DIM, metric=metric)
    velmora.add_items(ref, x, masks)
    ids, d = velmora.search(ref, queries, len(x), method="flat", filter_mask=filter_mask)
    lab = np.where(ids >= 0, labels[ids], -1)
    order = np.lexsort((lab, d, lab < 0), axis=1)[:, :k]
    return np.take_along_axis(lab, order, 1), np.take_along_axis(d, order, 1)


def saved_bytes(path):
    return {p.name: p.read_bytes() for p in sorted(pathlib.Path(path).iterdir())}


class TestMerge:
    @pytest.mark.parametrize("metric", ALL_METRICS)
    @pytest.mark.parametrize("shards", [1, 2, 3])
    @pytest.mark.parametrize("filter_mask", [0, 1, 3])
    def test_flat_equals_one_exact_index_to_the_bit(self, data, rng, metric, shards, filter_mask):
        col = build(data, metric, shards)
        queries = np.vstack([data[0][:1], rows(rng, 5)])  # the first meets 20 tied copies
        got = col.search(queries, 7, method="flat", filter_mask=filter_mask)
        want = exact(data, metric, queries, 7, filter_mask)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1].view(np.uint32), want[1].view(np.uint32))

    @pytest.mark.parametrize("method", ["hnsw", "filtered"])
    def test_graph_methods_merge_the_shards_answers(self, data, rng, method):
        col = build(data, "cosine", shards=3)
        q = rows(rng, 6)
        parts = [s.search_batch(q, 5, method, 1, None, -1.0, -1.0, 1) for s in col._shards]
        lab = np.concatenate([p[0] for p in parts], axis=1)
        dist = np.concatenate([p[1] for p in parts], axis=1)
        order = np.lexsort((lab, dist, lab < 0), axis=1)[:, :5]
        lab, dist = np.take_along_axis(lab, order, 1), np.take_along_axis(dist, order, 1)
        if method == "filtered":
            _gap_cut(lab, dist)
        got = col.search(q, 5, method=method, filter_mask=1)
        np.testing.assert_array_equal(got[0], lab)
        np.testing.assert_array_equal(got[1], dist)

    @pytest.mark.parametrize(
        "dists, kept",
        [([0.005, 0.9], 2), ([0.1, 0.8], 1), ([0.1, 0.5, 1.0, 1.5], 4), ([1.9, 2.1], 1),
         ([5.0], 1), ([0.3, np.inf], 1)],
    )  # fmt: skip
    def test_gap_cut_keeps_the_filtered_search_thresholds(self, dists, kept):
        d = np.array([dists], dtype=np.float32)
        lab = np.arange(d.size, dtype=np.int64)[None, :]
        _gap_cut(lab, d)
        assert (lab[0] >= 0).sum() == kept and np.isinf(d[0, kept:]).all()

    def test_results_do_not_depend_on_threads(self, data, rng):
        col = build(data, "euclidean", shards=3)
        q = rows(rng, 20)
        for method in ("hnsw", "filtered", "flat", "auto"):
            a = col.search(q, 6, method=method, filter_mask=1, threads=1)
            b = col.search(q, 6, method=method, filter_mask=1, threads=2)
            np.testing.assert_array_equal(a[0], b[0])


class TestAuto:
    @pytest.mark.parametrize("metric, graph", [("cosine", "filtered"), ("euclidean", "hnsw")])
    def test_rare_mask_takes_the_exact_scan_and_common_mask_the_graph(self, metric, graph):
        rng = np.random.default_rng(3)
        x, labels = rows(rng, 20000), np.arange(20000, dtype=np.int64)
        masks = (rng.random(20000) < 0.5).astype(np.uint64)
        masks[:3] |= np.uint64(1 << 40)  # three rows pass the rare mask
        col = build((x, labels, masks), metric, shards=1)
        filters = np.array([0, 1 << 40, 1], dtype=np.uint64)
        methods, efs = col.auto_methods(filters, 5, ef_search=10)
        assert list(methods) == ["hnsw", "flat", graph]
        # about half the rows pass mask 1, so the beam widens to about 4 k
        assert efs[0] == 10 and 19 <= efs[2] <= 22
        q = rows(rng, 3)
        got = col.search(q, 5, filter_mask=filters, ef_search=10)
        want = exact((x, labels, masks), metric, q[1:2], 5, 1 << 40)
        np.testing.assert_array_equal(got[0][1:2], want[0])
        np.testing.assert_array_equal(got[1][1:2], want[1])
        assert (got[0][1, 3:] == -1).all()
        on_graph = col.search(q[2:], 5, method=graph, filter_mask=1, ef_search=int(efs[2]))
        np.testing.assert_array_equal(got[0][2:], on_graph[0])
        assert (got[0][2] >= 0).all()

    def test_more_shards_move_the_crossover_towards_the_scan(self, data):
        one, four = build(data, shards=1), build(data, shards=4)
        ks = [
            k
            for k in range(1, 300)
            if one.auto_methods(np.array([1], np.uint64), k)[0][0] == "flat"
        ]
        k4 = [
            k
            for k in range(1, 300)
            if four.auto_methods(np.array([1], np.uint64), k)[0][0] == "flat"
        ]
        assert len(k4) >= len(ks)

    def test_pass_counts_follow_add_and_update_masks(self, data, rng):
        col = build(data)
        before = col.passing_rows(2)
        col.add(rows(rng, 10), masks=2)
        col.update_masks(data[1][:50], 0)
        recount = sum(int(((s.masks & np.uint64(2)) == 2).sum()) for s in col._shards)
        assert col.passing_rows(2) == recount != before


class TestPersistence:
    def test_round_trip_and_going_on_as_the_saved_one_would(self, data, rng, tmp_path):
        col = build(data, "cosine", shards=2)
        col.save(str(tmp_path / "a"))
        loaded = Collection.load(tmp_path / "a")
        assert repr(loaded) == repr(col) and loaded.stats() == col.stats()
        q = rows(rng, 5)
        for c in (col, loaded):
            c.add(q + 0.01)
        col.save(tmp_path / "b")
        loaded.save(tmp_path / "c")
        assert saved_bytes(tmp_path / "b") == saved_bytes(tmp_path / "c")
        np.testing.assert_array_equal(col.search(q, 5)[0], loaded.search(q, 5)[0])

    def test_same_seed_and_rows_give_the_same_bytes_whatever_the_threads(self, data, tmp_path):
        build(data, threads=1).save(tmp_path / "one")
        build(data, threads=2).save(tmp_path / "two")
        build(data, seed=8).save(tmp_path / "other")
        assert saved_bytes(tmp_path / "one") == saved_bytes(tmp_path / "two")
        assert saved_bytes(tmp_path / "one") != saved_bytes(tmp_path / "other")

    def test_shuffle_false_keeps_the_given_order(self, data):
        col = build(data, shards=1, shuffle=False)
        np.testing.assert_array_equal(col._shards[0].labels, data[1])

    def test_failed_save_keeps_the_previous_copy(self, data, tmp_path, monkeypatch):
        col = build(data)
        col.save(tmp_path / "c")
        before = saved_bytes(tmp_path / "c")
        col.add(rows(np.random.default_rng(1), 5))
        monkeypatch.setattr(velmora.collection.LocalShard, "to_bytes", _raise_disk_full)
        with pytest.raises(OSError, match="disk full"):
            col.save(tmp_path / "c")
        assert saved_bytes(tmp_path / "c") == before
        assert [p.name for p in tmp_path.iterdir()] == ["c"]

    def test_save_refuses_to_replace_what_is_not_a_collection(self, data, tmp_path):
        (tmp_path / "f").write_text("mine")
        with pytest.raises(FileExistsError, match="not a saved collection"):
            build(data).save(tmp_path / "f")

    @pytest.mark.parametrize(
        "damage, match",
        [
            ("missing index", r"shard-001\.index: cannot be read"),
            ("flipped byte", r"shard-001\.index: checksum"),
            ("truncated index", r"shard-001\.index: Cannot load index"),
            ("bad json", r"manifest\.json: not valid JSON"),
            ("bad version", r"manifest\.json: format_version"),
            ("bad metric", r"manifest\.json: metric 'Cosine'"),
            ("duplicate label", r"shard-001\.labels\.npy: duplicate label"),
            ("misplaced label", r"shard-001\.labels\.npy: label .* does not belong"),
            ("short masks", r"shard-001\.masks\.npy: .* entries"),
            ("bad rng", r"shard-001\.rng"),
        ],
    )  # fmt: skip
    def test_load_names_the_file_at_fault(self, data, tmp_path, damage, match):
        build(data).save(tmp_path / "c")
        _damage(tmp_path / "c", damage)
        with pytest.raises(CollectionFileError, match=match):
            Collection.load(tmp_path / "c")

    def test_import_a_single_index_file_with_its_metric(self, data, rng, tmp_path):
        x, labels, masks = data
        ix = orv_core.HyperbolicIndex(DIM, metric="cosine")
        velmora.add_items(ix, x, masks)
        ix.save_index(str(tmp_path / "one.index"))
        col = Collection.from_index_file(tmp_path / "one.index", "cosine", ids=labels)
        q = rows(rng, 4)
        got = col.search(q, 5, method="flat", filter_mask=1)
        np.testing.assert_array_equal(got[0], exact(data, "cosine", q, 5, 1)[0])
        with pytest.raises(ValueError, match='"poincare", "euclidean", "l2", "cosine"'):
            Collection.from_index_file(tmp_path / "one.index", "Cosine")


def _raise_disk_full(self):
    raise OSError("disk full")


def _damage(root, damage):
    manifest = json.loads((root / "manifest.json").read_text())
    files = manifest["files"][1]
    if damage == "missing index":
        (root / "shard-001.index").unlink()
    elif damage == "flipped byte":
        blob = bytearray((root / "shard-001.index").read_bytes())
        blob[40] ^= 1
        (root / "shard-001.index").write_bytes(bytes(blob))
    elif damage == "bad json":
        (root / "manifest.json").write_text("{")
    elif damage in ("bad version", "bad metric"):
        key, value = ("format_version", 2) if damage == "bad version" else ("metric", "Cosine")
        (root / "manifest.json").write_text(json.dumps(dict(manifest, **{key: value})))
    else:
        kind, blob = _damaged_blob(root, damage)
        (root / files[kind]["file"]).write_bytes(blob)
        files[kind]["sha256"] = hashlib.sha256(blob).hexdigest()
        (root / "manifest.json").write_text(json.dumps(manifest))


def _damaged_blob(root, damage):
    labels = np.load(root / "shard-001.labels.npy")
    if damage == "truncated index":
        return "index", (root / "shard-001.index").read_bytes()[:100]
    if damage == "bad rng":
        return "rng", b"not a state"
    if damage == "short masks":
        arr, kind = np.load(root / "shard-001.masks.npy")[:-1], "masks"
    elif damage == "duplicate label":
        arr, kind = np.concatenate([labels[:1], labels[:-1]]), "labels"
    else:
        arr, kind = labels + 1, "labels"
    path = root / "scratch.npy"
    np.save(path, arr)
    blob = path.read_bytes()
    os.unlink(path)
    return kind, blob


class TestBadInput:
    @pytest.mark.parametrize(
        "call, error, match",
        [
            (lambda c: c.add(np.zeros((2, DIM + 1))), ValueError, r"shape \(n, 8\)"),
            (lambda c: c.add(np.zeros((2, 2, DIM))), ValueError, "shape"),
            (lambda c: c.add(np.full((1, DIM), "a")), TypeError, "real numbers"),
            (lambda c: c.add(np.zeros((2, DIM)), ids=[9, 9]), ValueError, "label 9 appears"),
            (lambda c: c.add(np.zeros((2, DIM)), ids=[1, 2]), ValueError, "label 1 is already"),
            (lambda c: c.add(np.zeros((2, DIM)), ids=[-1, 700]), ValueError, "non-negative, got -1"),
            (lambda c: c.add(np.zeros((2, DIM)), ids=[1.0, 2.0]), TypeError, "integers"),
            (lambda c: c.add(np.zeros((2, DIM)), ids=[700]), ValueError, "2 labels"),
            (lambda c: c.add(np.zeros((2, DIM)), masks=[1]), ValueError, "hold 2 values"),
            (lambda c: c.add(np.zeros((2, DIM)), masks=[1, -2]), ValueError, "got -2"),
            (lambda c: c.add(_with(1, 3, np.nan)), ValueError, "row 1 holds a non-finite value"),
            (lambda c: c.add(_with(2, 0, 1.0)), ValueError, "row 2 has squared norm 1"),
            (lambda c: c.update_masks([1, 123456], 1), ValueError, "label 123456 is not"),
            (lambda c: c.update_masks([1, 2], [1, 2, 3]), ValueError, "hold 2 values"),
            (lambda c: c.search(np.zeros(DIM), 3, method="exact"), ValueError, "method must"),
            (lambda c: c.search(np.zeros(DIM), -1), ValueError, r"k must be in 0 \.\. 2147483647, got -1"),
            (lambda c: c.search(np.zeros((2, DIM)), 3, filter_mask=[1]), ValueError, "2 values"),
            (lambda c: c.search(np.zeros(3), 3), ValueError, "queries must have shape"),
        ],
    )  # fmt: skip
    def test_refused_and_nothing_changes(self, data, tmp_path, call, error, match):
        col = build((data[0], np.arange(300), data[2]))
        col.save(tmp_path / "before")
        with pytest.raises(error, match=match):
            call(col)
        col.save(tmp_path / "after")
        assert saved_bytes(tmp_path / "before") == saved_bytes(tmp_path / "after")

    @pytest.mark.parametrize("metric", ["Cosine", "", "hyperbolic", None])
    def test_unknown_metric_lists_the_accepted_names(self, metric):
        with pytest.raises(ValueError, match='"poincare", "euclidean", "l2", "cosine"'):
            Collection(DIM, metric=metric)

    def test_boundary_rows_are_kept_and_counted(self, rng):
        col = Collection(DIM, shards=2, seed=1)
        x = rows(rng, 50)
        x[:4] = x[:4] / np.linalg.norm(x[:4], axis=1, keepdims=True) * np.float32(0.998)
        col.add(x)
        stats = col.stats()
        assert len(col) == 50 and stats["beyond_boundary"] == 4
        assert sum(s["beyond_boundary"] for s in stats["per_shard"]) == 4
        assert repr(col) == "Collection(metric='poincare', dimension=8, rows=50, shards=2)"

    def test_labels_continue_from_the_largest(self, rng):
        col = Collection(DIM, metric="l2", seed=1)
        col.add(rows(rng, 2), ids=[10, 4])
        col.add(rows(rng, 3))
        assert sorted(col._shards[0].labels) == [4, 10, 11, 12, 13] and col.metric == "euclidean"


def _with(row, col, value):
    x = np.zeros((3, DIM), dtype=np.float32)
    x[row, col] = value
    return x
