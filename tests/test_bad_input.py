"""Every method against bad arguments: each gives its documented result or a clear exception,
and the index is byte for byte what it was afterwards, with its change guard released."""

import math
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import orv_core
from velmora import index_file as ifr

HyperbolicIndex = orv_core.HyperbolicIndex

DIM, N_LINKED, N_FLAT = 4, 24, 6
N = N_LINKED + N_FLAT
INT32_MAX, INT32_MIN = 2**31 - 1, -(2**31)
Q = np.array([0.1, -0.2, 0.05, 0.3], np.float32)

MISMATCH = (RuntimeError, "Vector dimension mismatch")
INCOMPATIBLE = (TypeError, None)
MASK_SIZE = (RuntimeError, "Mask array size does not match graph size!")


@pytest.fixture(scope="module")
def image(tmp_path_factory):
    """Bytes of a small index: linked nodes first (M = 16, so layer 0 is complete), then flat."""
    rng = np.random.default_rng(515)
    vectors = rng.standard_normal((N, DIM))
    vectors *= (rng.uniform(0.1, 0.8, N) / np.linalg.norm(vectors, axis=1))[:, None]
    vectors = vectors.astype(np.float32)
    masks = rng.integers(0, 8, N)
    index = HyperbolicIndex(DIM, metric="euclidean")
    for i in range(N):
        add = index.add_item_and_link if i < N_LINKED else index.add_item_flat
        add(vectors[i], int(masks[i]))
    return ifr.saved_bytes(index, tmp_path_factory.mktemp("image") / "image.bin")


@pytest.fixture
def metric():
    return "euclidean"


@pytest.fixture
def loaded(image, scratch, metric):
    """A fresh index holding the image, for the metric of the test."""
    path = scratch / "image.bin"
    path.write_bytes(image)
    index = HyperbolicIndex(DIM, metric=metric)
    index.load_index(str(path))
    return index


def assert_unchanged(index, image, scratch):
    assert ifr.saved_bytes(index, scratch / "after.bin") == image
    # The change guard was released: a change succeeds now.
    index.add_item_flat(Q)
    assert index.get_stats()["num_nodes"] == N + 1


def assert_raises(call, expected):
    kind, message = expected
    with pytest.raises(kind) as info:
        call()
    if message is None:
        assert "incompatible function arguments" in str(info.value)
    else:
        assert str(info.value) == message


def assert_valid_ids(result, limit):
    assert type(result) is list and all(type(i) is int for i in result)
    assert len(set(result)) == len(result) <= limit
    assert all(0 <= i < N for i in result)


# --- vectors and queries ---------------------------------------------------------------------

VECTOR_METHODS = {
    "add_item_flat": lambda ix, v: ix.add_item_flat(v, 1),
    "add_item_and_link": lambda ix, v: ix.add_item_and_link(v, 1, 20),
    "custom_hnsw_search": lambda ix, v: ix.custom_hnsw_search(v, 5),
    "filtered_search": lambda ix, v: ix.filtered_search(v, 5),
    "hardware_flat_search": lambda ix, v: ix.hardware_flat_search(v, 5, 0),
    "compute_distance": lambda ix, v: ix.compute_distance(v, 3),
}
QUERY_METHODS = {k: v for k, v in VECTOR_METHODS.items() if not k.startswith("add")}

REFUSED_VECTORS = {
    "float64": (Q.astype(np.float64), INCOMPATIBLE),
    "int32": (np.arange(DIM, dtype=np.int32), INCOMPATIBLE),
    "int64": (np.arange(DIM, dtype=np.int64), INCOMPATIBLE),
    "uint64": (np.arange(DIM, dtype=np.uint64), INCOMPATIBLE),
    "complex64": (Q.astype(np.complex64), INCOMPATIBLE),
    "object": (np.array([0.1, 0.2, 0.3, 0.4], dtype=object), INCOMPATIBLE),
    "strings": (["a", "b", "c", "d"], INCOMPATIBLE),
    "str": ("abcd", INCOMPATIBLE),
    "ragged": ([[0.1, 0.2], [0.3]], INCOMPATIBLE),
    "dict": ({"a": 1.0}, INCOMPATIBLE),
    "empty": (np.zeros(0, np.float32), MISMATCH),
    "empty-2d": (np.zeros((0, DIM), np.float32), MISMATCH),
    "short": (Q[:3].copy(), MISMATCH),
    "short-strided": (np.repeat(Q, 2)[:6:2], MISMATCH),
    "short-2d": (Q[:3].reshape(1, 3), MISMATCH),
    "short-list": ([0.1, 0.2], MISMATCH),
    "scalar": (np.float32(0.1), MISMATCH),
    "none": (None, MISMATCH),
}


@pytest.mark.parametrize("vector, expected", REFUSED_VECTORS.values(), ids=REFUSED_VECTORS)
@pytest.mark.parametrize("method", VECTOR_METHODS)
def test_refused_vector(loaded, image, scratch, method, vector, expected):
    assert_raises(lambda: VECTOR_METHODS[method](loaded, vector), expected)
    assert_unchanged(loaded, image, scratch)


FLAT_SHAPES = {
    "row": Q.reshape(1, DIM),
    "column": Q.reshape(DIM, 1),
    "square": Q.reshape(2, 2),
    "two-rows": np.stack([Q, Q]),
    "one-more": np.append(Q, 0.5).astype(np.float32),
    "double": np.tile(Q, 2),
}


@pytest.mark.parametrize("vector", FLAT_SHAPES.values(), ids=FLAT_SHAPES)
def test_flat_insertion_refuses_other_shapes(loaded, image, scratch, vector):
    assert_raises(lambda: loaded.add_item_flat(vector), MISMATCH)
    assert_unchanged(loaded, image, scratch)


def _read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


# Layouts whose first DIM values in C order are Q.
QUERY_LAYOUTS = {
    "strided": np.repeat(Q, 3)[::3],
    "negative-stride": Q[::-1].copy()[::-1],
    "row": Q.reshape(1, DIM),
    "column": Q.reshape(DIM, 1),
    "fortran": np.asfortranarray(Q.reshape(2, 2)),
    "longer": np.append(Q, [9.0, -9.0]).astype(np.float32),
    "two-rows": np.stack([Q, -Q]),
    "big-endian": Q.astype(">f4"),
    "read-only": _read_only(Q),
    "list": [float(x) for x in Q],
    "tuple": tuple(float(x) for x in Q),
}


@pytest.mark.parametrize("query", QUERY_LAYOUTS.values(), ids=QUERY_LAYOUTS)
@pytest.mark.parametrize("method", QUERY_METHODS)
def test_query_layout_reads_the_first_values(loaded, image, scratch, method, query):
    expected = QUERY_METHODS[method](loaded, Q)
    assert QUERY_METHODS[method](loaded, query) == expected
    assert_unchanged(loaded, image, scratch)


@pytest.mark.parametrize("value, text", [(np.nan, "nan"), (np.inf, "inf"), (-np.inf, "-inf")])
@pytest.mark.parametrize("position", [0, DIM - 1])
def test_linked_insertion_refuses_non_finite(loaded, image, scratch, value, text, position):
    vector = Q.copy()
    vector[position] = value
    message = f"vector holds a non-finite value ({text}) at index {position}"
    assert_raises(lambda: loaded.add_item_and_link(vector), (ValueError, message))
    assert_unchanged(loaded, image, scratch)


NON_FINITE_QUERIES = {
    "one-nan": np.array([0.1, np.nan, 0.0, 0.2], np.float32),
    "all-nan": np.full(DIM, np.nan, np.float32),
    "inf": np.array([np.inf, 0.0, 0.0, 0.0], np.float32),
    "minus-inf": np.array([0.0, 0.0, -np.inf, 0.1], np.float32),
    "huge": np.full(DIM, 3e38, np.float32),
}


@pytest.mark.parametrize("metric", ["poincare", "euclidean", "cosine"])
@pytest.mark.parametrize("query", NON_FINITE_QUERIES.values(), ids=NON_FINITE_QUERIES)
@pytest.mark.parametrize("method", QUERY_METHODS)
def test_non_finite_query_does_no_harm(loaded, image, scratch, method, query):
    result = QUERY_METHODS[method](loaded, query)
    if method == "compute_distance":
        assert type(result) is float
        if np.isnan(query).any():
            assert math.isnan(result)
    else:
        assert_valid_ids(result, 5)
        if method == "hardware_flat_search":
            assert len(result) == 5
    assert_unchanged(loaded, image, scratch)


# --- integers: k, ef, ids, masks -------------------------------------------------------------

SEARCHES = {
    "hardware_flat_search": lambda ix, k, **kw: ix.hardware_flat_search(Q, k, 0, **kw),
    "custom_hnsw_search": lambda ix, k, **kw: ix.custom_hnsw_search(Q, k, **kw),
    "filtered_search": lambda ix, k, **kw: ix.filtered_search(Q, k, **kw),
}
RESERVE = (ValueError, "vector::reserve")
BAD_INTS = {"2**31": 2**31, "-2**31-1": -(2**31) - 1, "float": 1.0, "str": "5", "none": None}


@pytest.mark.parametrize("k", BAD_INTS.values(), ids=BAD_INTS)
@pytest.mark.parametrize("search", SEARCHES)
def test_k_outside_int32_or_not_an_int(loaded, image, scratch, search, k):
    assert_raises(lambda: SEARCHES[search](loaded, k), INCOMPATIBLE)
    assert_unchanged(loaded, image, scratch)


@pytest.mark.parametrize("search", SEARCHES)
def test_k_int32_max_returns_what_the_search_can_reach(loaded, image, scratch, search):
    # A beam at least as wide as the graph visits all of it, whatever k beyond that.
    expected = SEARCHES[search](
        loaded, N, **({} if search.startswith("hard") else {"ef_search": N})
    )
    result = SEARCHES[search](loaded, INT32_MAX)
    assert result == expected
    if search != "filtered_search":
        assert sorted(result) == list(range(N if search.startswith("hard") else N_LINKED))
    assert_unchanged(loaded, image, scratch)


@pytest.mark.parametrize("k", [-1, INT32_MIN])
@pytest.mark.parametrize("search", SEARCHES)
def test_negative_k(loaded, image, scratch, search, k):
    if search == "filtered_search":
        assert_valid_ids(SEARCHES[search](loaded, k), 1)
    else:
        assert_raises(lambda: SEARCHES[search](loaded, k), RESERVE)
    assert_unchanged(loaded, image, scratch)


GRAPH_SEARCHES = ("custom_hnsw_search", "filtered_search")


@pytest.mark.parametrize("ef, same_as", [(INT32_MAX, N), (0, 1), (-1, 1), (INT32_MIN, 1)])
@pytest.mark.parametrize("search", GRAPH_SEARCHES)
def test_extreme_ef_search(loaded, image, scratch, search, ef, same_as):
    for k in (1, 3):
        expected = SEARCHES[search](loaded, k, ef_search=same_as)
        assert SEARCHES[search](loaded, k, ef_search=ef) == expected
    assert_unchanged(loaded, image, scratch)


@pytest.mark.parametrize("ef", BAD_INTS.values(), ids=BAD_INTS)
@pytest.mark.parametrize("search", GRAPH_SEARCHES)
def test_ef_search_outside_int32(loaded, image, scratch, search, ef):
    assert_raises(lambda: SEARCHES[search](loaded, 3, ef_search=ef), INCOMPATIBLE)
    assert_unchanged(loaded, image, scratch)


@pytest.mark.parametrize("ef", BAD_INTS.values(), ids=BAD_INTS)
def test_ef_construction_outside_int32(loaded, image, scratch, ef):
    assert_raises(lambda: loaded.add_item_and_link(Q, 0, ef), INCOMPATIBLE)
    assert_unchanged(loaded, image, scratch)


@pytest.mark.parametrize("ef", [INT32_MAX, 0, -1, INT32_MIN])
def test_extreme_ef_construction_links_a_sound_node(loaded, image, scratch, ef):
    loaded.add_item_and_link(Q, 5, ef)
    data = ifr.saved_bytes(loaded, scratch / "grown.bin")
    grown = ifr.decode(data)
    assert grown.n == N + 1 and grown.masks[N] == 5
    assert grown.links[N][0], "the new node has no layer-0 link"
    # The loader validates every list; the reloaded index finds the new node.
    twin = HyperbolicIndex(DIM, metric="euclidean")
    twin.load_index(str(scratch / "grown.bin"))
    assert twin.custom_hnsw_search(Q, 1, 5) == [N]


BAD_MASKS = {"-1": -1, "2**64": 2**64, "float": 1.5, "str": "1", "none": None}
MASK_CALLS = {
    "add_item_flat": lambda ix, m: ix.add_item_flat(Q, m),
    "add_item_and_link": lambda ix, m: ix.add_item_and_link(Q, m),
    "hardware_flat_search": lambda ix, m: ix.hardware_flat_search(Q, 3, m),
    "custom_hnsw_search": lambda ix, m: ix.custom_hnsw_search(Q, 3, m),
    "filtered_search": lambda ix, m: ix.filtered_search(Q, 3, m),
}


@pytest.mark.parametrize("mask", BAD_MASKS.values(), ids=BAD_MASKS)
@pytest.mark.parametrize("method", MASK_CALLS)
def test_mask_outside_uint64(loaded, image, scratch, method, mask):
    assert_raises(lambda: MASK_CALLS[method](loaded, mask), INCOMPATIBLE)
    assert_unchanged(loaded, image, scratch)


NODE_CALLS = {
    "get_stored_norm": lambda ix, i: ix.get_stored_norm(i),
    "compute_distance": lambda ix, i: ix.compute_distance(Q, i),
}


@pytest.mark.parametrize("node_id", [-1, N, N + 1, INT32_MAX, INT32_MIN])
@pytest.mark.parametrize("method", NODE_CALLS)
def test_node_id_out_of_range(loaded, image, scratch, method, node_id):
    message = f"node id {node_id} is out of range for an index of {N} nodes"
    assert_raises(lambda: NODE_CALLS[method](loaded, node_id), (IndexError, message))
    assert_unchanged(loaded, image, scratch)


@pytest.mark.parametrize("node_id", BAD_INTS.values(), ids=BAD_INTS)
@pytest.mark.parametrize("method", NODE_CALLS)
def test_node_id_not_an_int32(loaded, image, scratch, method, node_id):
    assert_raises(lambda: NODE_CALLS[method](loaded, node_id), INCOMPATIBLE)
    assert_unchanged(loaded, image, scratch)


BAD_MASK_ARRAYS = {
    "one-short": (np.ones(N - 1, np.uint64), MASK_SIZE),
    "one-long": (np.ones(N + 1, np.uint64), MASK_SIZE),
    "empty": (np.ones(0, np.uint64), MASK_SIZE),
    "scalar": (np.uint64(1), MASK_SIZE),
    "short-2d": (np.ones((N - 1, 1), np.uint64), MASK_SIZE),
    "strided-short": (np.ones(2 * N, np.uint64)[1::2][:-1], MASK_SIZE),
    "none": (None, INCOMPATIBLE),
    "negative": ([1] * (N - 1) + [-1], INCOMPATIBLE),
    "2**64": ([2**64] * N, INCOMPATIBLE),
    "int64": (np.ones(N, np.int64), INCOMPATIBLE),
    "float64": (np.ones(N), INCOMPATIBLE),
    "float32": (np.ones(N, np.float32), INCOMPATIBLE),
    "strings": (["x"] * N, INCOMPATIBLE),
}


@pytest.mark.parametrize("masks, expected", BAD_MASK_ARRAYS.values(), ids=BAD_MASK_ARRAYS)
def test_update_masks_refused(loaded, image, scratch, masks, expected):
    assert_raises(lambda: loaded.update_masks(masks), expected)
    assert_unchanged(loaded, image, scratch)


# --- floats: radius and norm limits ----------------------------------------------------------

LIMIT_NAMES = {
    "hardware_flat_search": ("max_radius", "min_norm_sq"),
    "custom_hnsw_search": ("max_radius", "min_norm"),
    "filtered_search": ("max_radius", "min_norm"),
}
# Off: NaN and anything negative. On and passing every finite value: +inf (1e300 becomes it).
OFF_LIMITS = {"nan": math.nan, "-inf": -math.inf, "-1e300": -1e300, "-0.5": -0.5}
WIDE_LIMITS = {"inf": math.inf, "1e300": 1e300}


@pytest.mark.parametrize("value", [*OFF_LIMITS.values(), *WIDE_LIMITS.values()],
                         ids=[*OFF_LIMITS, *WIDE_LIMITS])  # fmt: skip
@pytest.mark.parametrize("which", [0, 1], ids=["radius", "norm"])
@pytest.mark.parametrize("search", SEARCHES)
def test_extreme_limits(loaded, image, scratch, search, which, value):
    name = LIMIT_NAMES[search][which]
    result = SEARCHES[search](loaded, 5, **{name: value})
    if which == 1 and value > 0:
        assert result == []
    else:
        assert result == SEARCHES[search](loaded, 5)
    assert_unchanged(loaded, image, scratch)


@pytest.mark.parametrize("value", ["1", None, 1j], ids=["str", "none", "complex"])
@pytest.mark.parametrize("which", [0, 1], ids=["radius", "norm"])
@pytest.mark.parametrize("search", SEARCHES)
def test_limit_not_a_float(loaded, image, scratch, search, which, value):
    name = LIMIT_NAMES[search][which]
    assert_raises(lambda: SEARCHES[search](loaded, 5, **{name: value}), INCOMPATIBLE)
    assert_unchanged(loaded, image, scratch)


# --- file names ------------------------------------------------------------------------------


def _file_names(scratch):
    (scratch / "plain").write_bytes(b"x")
    (scratch / "dir").mkdir()
    return {
        "directory": str(scratch / "dir"),
        "root": "/",
        "missing-directory": str(scratch / "nowhere" / "x.bin"),
        "under-a-file": str(scratch / "plain" / "x.bin"),
        "under-etc-passwd": "/etc/passwd/x",
        "empty": "",
        "nul": str(scratch / "a\0b.bin"),
        "nul-bytes": str(scratch / "a\0b.bin").encode(),
        "too-long": str(scratch / ("n" * 5000)),
    }


def _shown(name):
    name = name.decode() if isinstance(name, bytes) else name
    if "\0" in name:
        return name.replace("\0", "\\0") + " (the name holds a NUL byte)"
    return name


FILE_CASES = [
    "directory", "root", "missing-directory", "under-a-file", "under-etc-passwd", "empty", "nul",
    "nul-bytes", "too-long",
]  # fmt: skip


@pytest.mark.parametrize("case", FILE_CASES)
def test_save_to_a_bad_name(loaded, image, scratch, case):
    name = _file_names(scratch)[case]
    listing = sorted(p.name for p in scratch.rglob("*"))
    expected = (RuntimeError, "Cannot open file for saving: " + _shown(name))
    assert_raises(lambda: loaded.save_index(name), expected)
    assert sorted(p.name for p in scratch.rglob("*")) == listing, "a file was left behind"
    assert (scratch / "plain").read_bytes() == b"x"
    assert_unchanged(loaded, image, scratch)


@pytest.mark.parametrize("case", [*FILE_CASES, "dev-null", "dev-zero"])
def test_load_from_a_bad_name(loaded, image, scratch, case):
    names = _file_names(scratch) | {"dev-null": "/dev/null", "dev-zero": "/dev/zero"}
    name = names[case]
    expected = (RuntimeError, "Cannot open file for loading: " + _shown(name))
    assert_raises(lambda: loaded.load_index(name), expected)
    assert_unchanged(loaded, image, scratch)


FILE_NAME_TYPES = {
    "path": pathlib.Path("/tmp/x.bin"),
    "none": None,
    "int": 3,
    "surrogate": "/tmp/\udcff.bin",
    "list": ["/tmp/x.bin"],
}


@pytest.mark.parametrize("name", FILE_NAME_TYPES.values(), ids=FILE_NAME_TYPES)
@pytest.mark.parametrize("method", ["save_index", "load_index"])
def test_file_name_of_another_type(loaded, image, scratch, method, name):
    assert_raises(lambda: getattr(loaded, method)(name), INCOMPATIBLE)
    assert_unchanged(loaded, image, scratch)


@pytest.mark.parametrize("kind", [bytes, bytearray])
@pytest.mark.parametrize("stem", [b"plain.bin", b"not-utf8-\xff\xfe.bin"])
def test_bytes_file_names_round_trip(loaded, image, scratch, kind, stem):
    name = kind(bytes(scratch) + b"/" + stem)
    loaded.save_index(name)
    assert (scratch / stem.decode(errors="surrogateescape")).read_bytes() == image
    other = HyperbolicIndex(2)
    other.load_index(name)
    assert ifr.saved_bytes(other, scratch / "other.bin") == image


def test_load_from_a_fifo_does_not_hang(scratch):
    fifo = scratch / "fifo"
    code = textwrap.dedent(f"""
        import os, orv_core
        os.mkfifo({str(fifo)!r})
        try:
            orv_core.HyperbolicIndex(2).load_index({str(fifo)!r})
        except RuntimeError as e:
            print(e)
    """)
    try:
        done = subprocess.run(
            [sys.executable, "-c", code], check=False, capture_output=True, timeout=3
        )
    except subprocess.TimeoutExpired:
        pytest.fail("load_index on a FIFO did not return in 3 s")
    assert done.stdout.decode().strip() == f"Cannot open file for loading: {fifo}"


# --- the empty index -------------------------------------------------------------------------

NO_NODE_0 = (IndexError, "node id 0 is out of range for an index of 0 nodes")
EMPTY_CALLS = {
    "norm-0": (lambda ix: ix.get_stored_norm(0), NO_NODE_0),
    "distance-0": (lambda ix: ix.compute_distance(Q, 0), NO_NODE_0),
    "distance-short": (lambda ix: ix.compute_distance(Q[:2], 0), MISMATCH),
    "masks-one": (lambda ix: ix.update_masks([1]), MASK_SIZE),
    "flat-short": (lambda ix: ix.hardware_flat_search(Q[:1], 1, 0), MISMATCH),
    "hnsw-short": (lambda ix: ix.custom_hnsw_search(Q[:1], 1), MISMATCH),
    "filtered-short": (lambda ix: ix.filtered_search(Q[:1], 1), MISMATCH),
}  # fmt: skip


@pytest.mark.parametrize("call, expected", EMPTY_CALLS.values(), ids=EMPTY_CALLS)
def test_empty_index_refuses(scratch, call, expected):
    index = HyperbolicIndex(DIM)
    empty = ifr.saved_bytes(index, scratch / "before.bin")
    assert_raises(lambda: call(index), expected)
    assert ifr.saved_bytes(index, scratch / "after.bin") == empty


@pytest.mark.parametrize("k", [INT32_MIN, -1, 0, 1, INT32_MAX])
@pytest.mark.parametrize("search", SEARCHES)
def test_empty_index_searches_return_nothing(search, k):
    index = HyperbolicIndex(DIM)
    assert SEARCHES[search](index, k) == []
    index.update_masks(np.zeros(0, np.uint64))


# --- memory of huge k ------------------------------------------------------------------------


def test_huge_k_and_ef_allocate_only_what_the_index_needs():
    # Under an address-space limit 1 GiB above the current use, room for 2**31 ids (8 GiB)
    # could not be reserved; every search must return the whole index instead.
    code = textwrap.dedent("""
        import resource, numpy as np, orv_core
        rng = np.random.default_rng(3)
        ix = orv_core.HyperbolicIndex(8, metric="cosine", M=4)
        for v in rng.standard_normal((3000, 8)).astype(np.float32):
            ix.add_item_and_link(v, 1, 16)
        q = np.ones(8, np.float32)
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + 2**30, resource.RLIM_INFINITY))
        hnsw, filtered = ix.custom_hnsw_search(q, 3000), ix.filtered_search(q, 3000, 0, 3000)
        big = 2**31 - 1
        print(len(ix.hardware_flat_search(q, big, 0)),
              ix.custom_hnsw_search(q, big) == hnsw,
              len(ix.custom_hnsw_search(q, 1, 0, big)),
              ix.filtered_search(q, big, 0, big) == filtered)
        ix.add_item_and_link(q, 0, big)
        print(ix.get_stats()["num_nodes"])
    """)
    done = subprocess.run(
        [sys.executable, "-c", code], check=False, capture_output=True, timeout=120
    )
    assert done.returncode == 0, done.stderr.decode()[-500:]
    counts, nodes = done.stdout.decode().split("\n")[:2]
    assert counts.split() == ["3000", "True", "1", "True"]
    assert nodes == "3001"


@pytest.mark.parametrize("args", [(DIM,), (7,), (DIM, 1.0, 2, "cosine"), (0,)])
def test_second_init_does_no_harm(loaded, image, scratch, args):
    try:
        loaded.__init__(*args)
    except (TypeError, ValueError):
        pass
    assert loaded.get_metric() == "euclidean"
    assert_unchanged(loaded, image, scratch)
