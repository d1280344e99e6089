"""The Ray backend of Collection on a two-node cluster on this machine (127.0.0.1 only).

One cluster serves the whole module (a start costs seconds). Every answer is compared with a
local-backend collection built from the same seed and rows.
"""

import numpy as np
import pytest

from velmora.ray_local import loopback_cluster, set_loopback_env

set_loopback_env()  # before Ray is imported: every Ray process then keeps to 127.0.0.1
ray = pytest.importorskip("ray")

import velmora
from velmora import _ray
from velmora._log import log_path
from velmora.collection import Collection


@pytest.fixture(scope="module")
def cluster():
    with loopback_cluster(nodes=2, cpus_per_node=4) as c:
        yield c


def _data(n=600, d=8, seed=5):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, d)) * 0.08
    return x.astype(np.float32), rng.integers(0, 8, size=n).astype(np.uint64)


def _pair(metric="poincare", shards=3, n=600):
    """The same rows in a Ray-backed and a local collection."""
    x, masks = _data(n)
    cols = [Collection(8, metric, M=8, shards=shards, seed=11, backend=b) for b in ("ray", "local")]
    for c in cols:
        c.add(x[: n // 2], masks=masks[: n // 2], ef_construction=40)
        c.add(x[n // 2 :], ids=np.arange(n // 2, n) * 3 + 1000, masks=masks[n // 2 :],
              ef_construction=40)  # fmt: skip
    return cols, x


def _saved_bytes(path):
    return {p.name: p.read_bytes() for p in sorted(path.iterdir())}


def _same_answers(a, b, queries, **kw):
    for method in ("auto", "hnsw", "filtered", "flat"):
        for fm in (0, 1, np.arange(len(queries)) % 4):
            la, da = a.search(queries, 7, method=method, filter_mask=fm, **kw)
            lb, db = b.search(queries, 7, method=method, filter_mask=fm, **kw)
            np.testing.assert_array_equal(la, lb, err_msg=f"{method} {fm}")
            np.testing.assert_array_equal(da, db, err_msg=f"{method} {fm}")


@pytest.mark.parametrize("metric", ["poincare", "cosine", "euclidean"])
def test_answers_stats_and_saved_bytes_equal_the_local_backend(cluster, tmp_path, metric):
    (rc, lc), x = _pair(metric)
    assert repr(rc).endswith("backend='ray')") and rc.backend == "ray" and len(rc) == len(lc)
    nodes = {s.where()[0] for s in rc._shards}
    assert len(nodes) == 2  # the shards are spread over both nodes
    _same_answers(rc, lc, x[::37] * 1.01)
    rc.update_masks([1900, 3, 4], [7, 0, 2])
    lc.update_masks([1900, 3, 4], [7, 0, 2])
    _same_answers(rc, lc, x[::53], ef_search=30)
    assert rc.stats() == lc.stats()
    rc.save(tmp_path / "r")
    lc.save(tmp_path / "l")
    assert _saved_bytes(tmp_path / "r") == _saved_bytes(tmp_path / "l")
    del rc  # frees its actors' CPUs
    back = Collection.load(tmp_path / "l", backend="ray")
    _same_answers(back, lc, x[::41])


def test_killed_actor_is_restored_with_no_row_lost(cluster, tmp_path):
    (rc, lc), x = _pair()
    ray.kill(rc._shards[1]._actor)  # in memory: rebuilt from the seed and the whole log
    _same_answers(rc, lc, x[::29])
    rc.save(tmp_path / "r")
    lc.save(tmp_path / "l")
    extra, masks = _data(90, seed=9)
    for c in (rc, lc):
        c.add(extra, masks=masks, ef_construction=40)
        c.update_masks([1900, 1903], 5)
    assert log_path(tmp_path / "r").stat().st_size > 0
    for i in (0, 2):  # from the saved directory and the log beside it
        ray.kill(rc._shards[i]._actor)
    rc.add(extra[:5] * 0.5, ids=[10**9 + i for i in range(5)])  # meets the dead shards
    lc.add(extra[:5] * 0.5, ids=[10**9 + i for i in range(5)])
    _same_answers(rc, lc, x[::31])
    rc.save(tmp_path / "r2")
    lc.save(tmp_path / "l2")
    assert _saved_bytes(tmp_path / "r2") == _saved_bytes(tmp_path / "l2")


def test_restarted_driver_reopens_the_directory_with_its_log(cluster, tmp_path):
    (rc, lc), x = _pair(shards=2)
    rc.save(tmp_path / "r")
    extra, masks = _data(50, seed=3)
    for c in (rc, lc):
        c.add(extra, masks=masks, ef_construction=40)
        c.update_masks([1903], 6)
    with open(log_path(tmp_path / "r"), "ab") as f:
        f.write(b"ADD \x40\x00")  # a record cut short by a crash: never acknowledged
    del rc
    for backend in ("ray", "local"):
        back = Collection.load(tmp_path / "r", backend=backend)
        assert len(back) == len(lc)
        _same_answers(back, lc, x[::43])
    back.save(tmp_path / "r")  # a local save replaces the copy; its log is spent
    assert not log_path(tmp_path / "r").exists()


def test_cluster_without_room_for_the_shards_is_a_clear_error(cluster, monkeypatch):
    monkeypatch.setattr(_ray, "PLACE_TIMEOUT_S", 2.0)
    with pytest.raises(RuntimeError, match="placed [0-9]+ of 40 shard actors"):
        Collection(8, shards=40, backend="ray")
    with pytest.raises(ValueError, match="backend must be one of local, ray, got 'dask'"):
        Collection(8, backend="dask")


def test_lost_shard_that_cannot_be_restored_names_the_shard(cluster, tmp_path):
    (rc, _), x = _pair(shards=2)
    rc.save(tmp_path / "r")
    (tmp_path / "r" / "shard-001.index").write_bytes(b"broken")
    ray.kill(rc._shards[1]._actor)
    with pytest.raises(velmora.ShardLostError, match="shard 1 was lost.*shard-001.index"):
        rc.search(x[:3], 5)


@pytest.mark.parametrize("backend", ["ray", "local"])
@pytest.mark.parametrize(
    "call, error",
    [
        (lambda c: c.add(np.zeros((2, 5))), "shape \\(n, 8\\)"),
        (lambda c: c.add(np.zeros((1, 8)), ids=[0]), "label 0 is already"),
        (lambda c: c.add(np.full((1, 8), 0.5)), "row 0 has squared norm 2"),
        (lambda c: c.update_masks([7777], 1), "label 7777 is not"),
        (lambda c: c.update_masks([0, 1], [1, 2, 3]), "hold 2 values"),
        (lambda c: c.search(np.zeros(8), 3, method="exact"), "method must be one of"),
        (lambda c: c.search(np.zeros((1, 8)), -1), "k must be"),
    ],
)
def test_bad_input_raises_the_local_errors_and_changes_nothing(cluster, backend, call, error):
    x, _ = _data(20)
    c = Collection(8, shards=2, seed=1, backend=backend)
    c.add(x)
    before = c.search(x, 4)
    with pytest.raises((ValueError, TypeError), match=error):
        call(c)
    assert len(c) == 20
    np.testing.assert_array_equal(c.search(x, 4)[0], before[0])
