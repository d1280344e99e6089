"""save_index / load_index: the exact byte layout, round trips, validation of malformed files and
failed saves."""

import copy
import errno
import math
import os
import stat
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
from graph_helpers import random_vectors

import orv_core
from orv_core import HyperbolicIndex
from velmora import index_file as ifr

METRICS = ("poincare", "euclidean", "cosine")


def mixed_index(metric, n=200, dim=6, M=5, seed=21):
    """Linked nodes with every tenth node added flat; assorted masks, the all-ones one included."""
    rng = np.random.default_rng(seed)
    vectors = random_vectors(rng, n, dim, metric)
    masks = rng.integers(0, 2**63, n, dtype=np.uint64)
    masks[7] = np.uint64(2**64 - 1)
    index = HyperbolicIndex(dim, curvature=0.75, M=M, metric=metric)
    for i, (v, m) in enumerate(zip(vectors, masks)):
        if i % 10 == 3:
            index.add_item_flat(v, int(m))
        else:
            index.add_item_and_link(v, int(m), 32)
    return index


def state(index, directory):
    """Everything observable about an index: its file image, statistics and metric."""
    return ifr.saved_bytes(index, directory / "state.bin"), index.get_stats(), index.get_metric()


# --- layout ----------------------------------------------------------------------------------


def test_empty_index_is_28_exact_bytes(scratch):
    data = ifr.saved_bytes(HyperbolicIndex(3, 1.0, 16), scratch / "e.bin")
    assert data == bytes.fromhex("03000000 0000803f 10000000 ffffffff ffffffff 0000000000000000")


@pytest.mark.parametrize("mask", [0, 5, 2**64 - 1])
def test_one_flat_node_is_60_exact_bytes(mask, scratch):
    index = HyperbolicIndex(2)
    index.add_item_flat(np.array([3.0, 4.0], dtype=np.float32), mask)
    expected = (
        struct.pack("<ifiiiQ", 2, 1.0, 16, -1, -1, 1)
        + struct.pack("<fff", 3.0, 4.0, 25.0)
        + struct.pack("<Q", mask)
        + struct.pack("<iQ", 0, 0)
    )
    assert len(expected) == 60
    assert ifr.saved_bytes(index, scratch / "one.bin") == expected


@pytest.mark.parametrize("metric", METRICS)
def test_flat_nodes_are_level_zero_with_one_empty_list(metric, scratch):
    img = ifr.snapshot(mixed_index(metric), scratch / "m.bin")
    flat = [i for i in range(img.n) if i % 10 == 3]
    assert all(img.levels[i] == 0 and img.links[i] == [[]] for i in flat)
    # Flat nodes are outside the graph: no list names them.
    named = {j for layers in img.links for ids in layers for j in ids}
    assert not named & set(flat)


def test_flat_only_file_section_c_is_level_and_count(scratch):
    index = HyperbolicIndex(3)
    for i in range(4):
        index.add_item_flat(np.full(3, i, dtype=np.float32))
    data = ifr.saved_bytes(index, scratch / "f.bin")
    _, c_offset = ifr.decode(data).section_offsets()
    assert data[c_offset:] == struct.pack("<iQ", 0, 0) * 4


@pytest.mark.parametrize("degree", [0, 3])
def test_level0_writer_matches_the_image_encoder_and_loads(degree, scratch):
    rng = np.random.default_rng(4)
    vectors = rng.standard_normal((6, 3)).astype(np.float32)
    norms = rng.uniform(-1.0, 2.0, 6)  # stored as given, not recomputed
    masks = rng.integers(0, 2**63, 6, dtype=np.uint64)
    links = (np.arange(6)[:, None] + np.arange(1, degree + 1)) % 6
    ep = 0 if degree else -1
    path = ifr.write_level0(scratch / "l0.bin", vectors, norms, masks,
                            links if degree else None, max_m=4, ep_id=ep)  # fmt: skip
    lists = [[row.tolist()] for row in links]
    image = ifr.make_image(vectors, lists, max_m=4, ep_id=ep, masks=masks, norms=norms)
    assert path.read_bytes() == ifr.encode(image)
    index = HyperbolicIndex(1, metric="euclidean")
    index.load_index(str(path))
    assert ifr.saved_bytes(index, scratch / "again.bin") == path.read_bytes()


# --- round trips -----------------------------------------------------------------------------


def search_results(index, queries):
    results = []
    for q in queries:
        for f in (0, 1, 6):
            results.append(index.custom_hnsw_search(q, 8, f))
            results.append(index.custom_hnsw_search(q, 5, f, 20, 3.0, 0.3))
            results.append(index.filtered_search(q, 8, f))
            results.append(index.filtered_search(q, 5, f, 30, 3.0, 0.1))
            results.append(index.hardware_flat_search(q, 8, f))
    return results


@pytest.mark.parametrize("metric", METRICS)
def test_round_trip_reproduces_every_byte_and_search(metric, scratch):
    original = mixed_index(metric)
    saved = ifr.saved_bytes(original, scratch / "a.bin")
    copy_ = HyperbolicIndex(1, curvature=3.0, M=40, metric=metric)
    copy_.load_index(str(scratch / "a.bin"))
    assert ifr.saved_bytes(copy_, scratch / "b.bin") == saved
    assert copy_.get_stats() == original.get_stats()
    queries = random_vectors(np.random.default_rng(22), 10, 6, metric)
    assert search_results(copy_, queries) == search_results(original, queries)
    assert [copy_.get_stored_norm(i) for i in range(200)] == [
        original.get_stored_norm(i) for i in range(200)
    ]


def test_file_dimension_replaces_constructed_dimension(scratch):
    rng = np.random.default_rng(23)
    small = HyperbolicIndex(4, metric="euclidean")
    for v in random_vectors(rng, 20, 4, "euclidean"):
        small.add_item_and_link(v)
    small.save_index(str(scratch / "d4.bin"))
    index = HyperbolicIndex(8, metric="euclidean")
    index.load_index(str(scratch / "d4.bin"))
    assert index.get_stats()["dimension"] == 4
    q = random_vectors(rng, 1, 4, "euclidean")[0]
    assert index.custom_hnsw_search(q, 5) == small.custom_hnsw_search(q, 5)
    with pytest.raises(RuntimeError, match="^Vector dimension mismatch$"):
        index.add_item_flat(np.zeros(8, dtype=np.float32))
    index.add_item_flat(np.zeros(4, dtype=np.float32))


def test_metric_is_not_part_of_the_file(scratch):
    cosine = mixed_index("cosine", n=30)
    cosine.save_index(str(scratch / "c.bin"))
    default = HyperbolicIndex(6)
    default.load_index(str(scratch / "c.bin"))
    assert default.get_metric() == "poincare"
    poincare = HyperbolicIndex(6, metric="poincare")
    poincare.load_index(str(scratch / "c.bin"))
    q = np.full(6, 0.1, dtype=np.float32)
    dists = [default.compute_distance(q, i) for i in range(30)]
    assert dists == [poincare.compute_distance(q, i) for i in range(30)]
    assert dists != [cosine.compute_distance(q, i) for i in range(30)]


def test_link_caps_follow_the_loaded_max_m(scratch):
    eight = HyperbolicIndex(2, M=8)
    eight.save_index(str(scratch / "m8.bin"))
    index = HyperbolicIndex(2, M=16)
    index.load_index(str(scratch / "m8.bin"))
    stats = index.get_stats()
    assert (stats["max_m"], stats["max_m_0"]) == (8, 16)
    rng = np.random.default_rng(24)
    for v in random_vectors(rng, 150, 2, "poincare"):
        index.add_item_and_link(v)
    img = ifr.snapshot(index, scratch / "after.bin")
    assert max(len(layers[0]) for layers in img.links) == 16
    assert max(len(ids) for layers in img.links for ids in layers[1:]) <= 8


def test_level_draw_follows_the_loaded_max_m(scratch):
    two = HyperbolicIndex(1, M=2, metric="euclidean")
    two.save_index(str(scratch / "m2.bin"))
    index = HyperbolicIndex(1, M=64, metric="euclidean")
    index.load_index(str(scratch / "m2.bin"))
    n = 2000
    for x in np.random.default_rng(25).random(n, dtype=np.float32):
        index.add_item_and_link(np.array([x]), 0, 4)
    upper = sum(level >= 1 for level in ifr.snapshot(index, scratch / "l.bin").levels)
    # level_mult 1/ln 2: half the nodes reach layer 1 (1/64 of them with the constructed M).
    assert abs(upper - n / 2) <= 5 * math.sqrt(n / 4)


def test_loading_an_empty_image_empties_the_index(scratch):
    HyperbolicIndex(3, 1.0, 16).save_index(str(scratch / "empty.bin"))
    index = mixed_index("poincare", n=50)
    index.load_index(str(scratch / "empty.bin"))
    assert index.get_stats() == {
        "num_nodes": 0, "ep_id": -1, "ep_layer": -1, "max_m": 16, "max_m_0": 32,
        "dimension": 3, "avg_degree_layer0": 0.0, "layer_distribution": [0],
    }  # fmt: skip
    q = np.zeros(3, dtype=np.float32)
    assert index.custom_hnsw_search(q, 3) == index.filtered_search(q, 3) == []
    assert index.hardware_flat_search(q, 3, 0) == []


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("norm", [-1.0, -0.0001, float("nan")])
def test_odd_stored_norms_are_kept(metric, norm, scratch):
    vector = np.array([0.3, 0.4], dtype=np.float32)
    image = ifr.make_image([vector], [[[]]], norms=[norm], ep_id=-1)
    path = ifr.write(scratch / "odd.bin", image)
    index = HyperbolicIndex(2, metric=metric)
    index.load_index(str(path))
    stored = index.get_stored_norm(0)
    assert (math.isnan(stored) and math.isnan(norm)) or stored == float(np.float32(norm))
    assert ifr.saved_bytes(index, scratch / "again.bin") == path.read_bytes()
    plain = HyperbolicIndex(2, metric=metric)
    plain.add_item_flat(vector)
    q = np.array([0.1, -0.2], dtype=np.float32)
    got, expected = index.compute_distance(q, 0), plain.compute_distance(q, 0)
    if norm < 0 or metric == "euclidean":  # a negative norm is recomputed at every use
        assert got == expected
    else:
        assert math.isnan(got)


# --- errors ----------------------------------------------------------------------------------


def test_save_error_messages(scratch):
    index = mixed_index("poincare", n=10)
    with pytest.raises(RuntimeError) as err:
        index.save_index("/x/y")
    assert str(err.value) == "Cannot open file for saving: /x/y"
    with pytest.raises(RuntimeError) as err:
        index.save_index(str(scratch))
    assert str(err.value) == f"Cannot open file for saving: {scratch}"
    with pytest.raises(RuntimeError) as err:
        index.save_index(str(scratch / "a\0b"))
    assert str(err.value).startswith("Cannot open file for saving: ")
    assert list(scratch.iterdir()) == []


@pytest.mark.parametrize("kind", ["missing", "directory", "nul"])
def test_load_error_messages_leave_index_unchanged(kind, scratch):
    index = mixed_index("euclidean", n=20)
    before = state(index, scratch)
    path = {
        "missing": str(scratch / "no-such-file.bin"),
        "directory": str(scratch),
        "nul": str(scratch / "a\0b"),
    }[kind]
    with pytest.raises(RuntimeError) as err:
        index.load_index(path)
    expected = "Cannot open file for loading: " + path
    if kind == "nul":
        expected = expected.replace("\0", "\\0") + " (the name holds a NUL byte)"
    assert str(err.value) == expected
    assert state(index, scratch) == before


def test_failed_write_to_full_device():
    if not (os.path.exists("/dev/full") and stat.S_ISCHR(os.stat("/dev/full").st_mode)):
        pytest.skip("/dev/full is not available")
    index = mixed_index("poincare", n=10)
    with pytest.raises(RuntimeError) as err:
        index.save_index("/dev/full")
    assert str(err.value) == (
        f"Cannot save index to /dev/full: write failed ({os.strerror(errno.ENOSPC)})"
    )


def test_save_into_a_directory_path_keeps_everything(scratch):
    target = scratch / "target"
    target.mkdir()
    (target / "inside.bin").write_bytes(b"keep")
    with pytest.raises(RuntimeError, match="^Cannot open file for saving: "):
        mixed_index("poincare", n=10).save_index(str(target))
    assert sorted(p.name for p in scratch.iterdir()) == ["target"]
    assert (target / "inside.bin").read_bytes() == b"keep"


def test_successful_save_replaces_the_file_without_leftovers(scratch):
    path = scratch / "index.bin"
    path.write_bytes(b"old contents")
    index = mixed_index("cosine", n=30)
    index.save_index(str(path))
    assert sorted(p.name for p in scratch.iterdir()) == ["index.bin"]
    assert ifr.decode(path.read_bytes()).n == 30


CHILD_SAVE = textwrap.dedent(
    """
    import resource, signal, sys
    import numpy as np
    from orv_core import HyperbolicIndex
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    index = HyperbolicIndex(64)
    for i in range(200):
        index.add_item_flat(np.full(64, i / 1000, dtype=np.float32))
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
    try:
        index.save_index(sys.argv[1])
    except RuntimeError as err:
        print(err)
    """
)


def test_save_failing_mid_write_keeps_the_old_file(scratch):
    # A file size limit makes the write fail after the file was created and partly written.
    path = scratch / "good.bin"
    HyperbolicIndex(3).save_index(str(path))
    good = path.read_bytes()
    env = dict(
        os.environ, PYTHONPATH=os.pathsep.join([str(Path(orv_core.__file__).parent)] + sys.path)
    )
    out = subprocess.run(
        [sys.executable, "-c", CHILD_SAVE, str(path)], check=False, env=env, capture_output=True,
        text=True, timeout=60,
    )  # fmt: skip
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == (
        f"Cannot save index to {path}: write failed ({os.strerror(errno.EFBIG)})"
    )
    assert path.read_bytes() == good
    assert sorted(p.name for p in scratch.iterdir()) == ["good.bin"]


# --- validation of malformed files -----------------------------------------------------------


def valid_image():
    """Five nodes on three layers, max_m 2 (caps 4 on layer 0, 2 above), entry point node 2."""
    links = [
        [[1, 2], [2]],
        [[0, 3]],
        [[0, 4], [0, 4], []],
        [[1]],
        [[2], [2]],
    ]
    vectors = np.arange(10, dtype=np.float32).reshape(5, 2) / 20
    masks = [1, 2, 3, 2**64 - 1, 0]
    return ifr.make_image(vectors, links, max_m=2, ep_id=2, masks=masks, curvature=0.5)


def set_level(node, level):
    def change(img):
        img.levels[node] = level
        img.links[node] = [[] for _ in range(min(max(level + 1, 0), 70))]
        img.links[1][0] = [0]  # node 3 is no longer named by node 1

    return change


def set_header(**fields):
    def change(img):
        for name, value in fields.items():
            setattr(img, name, value)

    return change


def set_list(node, layer, ids):
    def change(img):
        img.links[node][layer] = ids

    return change


MALFORMED = {
    "dimension 0": set_header(dimension=0),
    "dimension -1": set_header(dimension=-1),
    "max_m 1": set_header(max_m=1),
    "max_m 0": set_header(max_m=0),
    "max_m -2": set_header(max_m=-2),
    "max_m 65537": set_header(max_m=65537),
    "count one more": set_header(count=6),
    "count one less": set_header(count=4),
    "count 2**32": set_header(count=2**32),
    "count 2**63": set_header(count=2**63),
    "count 2**64-1": set_header(count=2**64 - 1),
    "ep id without layer": set_header(ep_layer=-1),
    "ep layer without id": set_header(ep_id=-1),
    "ep id = N": set_header(ep_id=5),
    "ep id -2": set_header(ep_id=-2, ep_layer=-2),
    "ep layer below its level": set_header(ep_layer=1),
    "ep layer above its level": set_header(ep_layer=3),
    "ep on a lower node": set_header(ep_id=1, ep_layer=2),
    "level -1": set_level(3, -1),
    "level -2": set_level(3, -2),
    "level 34, above what max_m 2 can draw": set_level(3, 34),
    "level 65": set_level(3, 65),
    "level 2**31-1": set_level(3, 2**31 - 1),
    "layer 0 over cap": set_list(0, 0, [1, 2, 3, 4, 1]),
    "layer 1 over cap": set_list(0, 1, [2, 4, 2]),
    "id N": set_list(3, 0, [5]),
    "id -1": set_list(3, 0, [-1]),
    "id 2**31-1": set_list(3, 0, [2**31 - 1]),
    "id of level 0 on layer 1": set_list(0, 1, [1]),
    "id of level 1 on layer 2": set_list(2, 2, [0]),
}


def full_lists(img):
    img.links[0] = [[1, 2, 3, 4], [2, 4]]


def odd_norms(img):
    img.norms[:2] = [-3.0, np.nan]


VALID = {
    "as built": lambda img: None,
    "lists at their caps": full_lists,
    "level 33, the highest max_m 2 can draw": set_level(3, 33),
    "no entry point": set_header(ep_id=-1, ep_layer=-1),
    "entry point below the top level": set_header(ep_id=0, ep_layer=1),
    "negative and NaN norms": odd_norms,
}


def crafted(change):
    img = copy.deepcopy(valid_image())
    change(img)
    return ifr.encode(img)


@pytest.fixture
def loaded_index():
    return mixed_index("poincare", n=30, dim=3)


def assert_load_fails_unchanged(index, path, directory):
    before = state(index, directory)
    with pytest.raises(RuntimeError) as err:
        index.load_index(str(path))
    assert str(err.value).startswith(f"Cannot load index from {path}: "), str(err.value)
    assert state(index, directory) == before


@pytest.mark.parametrize("case", list(MALFORMED))
def test_malformed_file_rejected_and_index_unchanged(case, loaded_index, scratch):
    path = scratch / "bad.bin"
    path.write_bytes(crafted(MALFORMED[case]))
    assert_load_fails_unchanged(loaded_index, path, scratch)


@pytest.mark.parametrize("extra", [b"\0", b"\1" * 8])
def test_trailing_bytes_rejected(extra, loaded_index, scratch):
    path = scratch / "long.bin"
    path.write_bytes(crafted(VALID["as built"]) + extra)
    assert_load_fails_unchanged(loaded_index, path, scratch)


def test_every_truncation_rejected(loaded_index, scratch):
    data = crafted(VALID["as built"])
    path = scratch / "short.bin"
    before = state(loaded_index, scratch)
    for size in range(len(data)):
        path.write_bytes(data[:size])
        with pytest.raises(RuntimeError, match=f"^Cannot load index from {path}: "):
            loaded_index.load_index(str(path))
    assert state(loaded_index, scratch) == before


@pytest.mark.parametrize("case", list(VALID))
def test_valid_crafted_file_loads_exactly(case, loaded_index, scratch):
    data = crafted(VALID[case])
    path = scratch / "ok.bin"
    path.write_bytes(data)
    loaded_index.load_index(str(path))
    assert ifr.saved_bytes(loaded_index, scratch / "back.bin") == data
    assert loaded_index.get_metric() == "poincare"
