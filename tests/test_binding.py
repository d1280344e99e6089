"""The Python surface of orv_core: module, class, argument conversion, results, construction."""

import pickle
import re
import subprocess
import sys

import numpy as np
import pytest

import orv_core

HyperbolicIndex = orv_core.HyperbolicIndex

METHODS = (
    "add_item_flat",
    "add_item_and_link",
    "custom_hnsw_search",
    "filtered_search",
    "hardware_flat_search",
    "save_index",
    "load_index",
    "get_stats",
    "get_metric",
    "compute_distance",
    "get_stored_norm",
    "update_masks",
)

# (name, default or None when required) for every argument after self.
SIGNATURES = {
    "__init__": [("dimension", None), ("curvature", "1.0"), ("M", "16"), ("metric", "'poincare'")],
    "add_item_flat": [("vector", None), ("mask", "0")],
    "add_item_and_link": [("vector", None), ("mask", "0"), ("ef_construction", "200")],
    "custom_hnsw_search": [
        ("query", None),
        ("k", None),
        ("filter_mask", "0"),
        ("ef_search", "50"),
        ("max_radius", "-1.0"),
        ("min_norm", "-1.0"),
    ],
    "filtered_search": [
        ("query", None),
        ("k", None),
        ("filter_mask", "0"),
        ("ef_search", "2000"),
        ("max_radius", "-1.0"),
        ("min_norm", "-1.0"),
    ],
    "hardware_flat_search": [
        ("query", None),
        ("k", None),
        ("filter_mask", None),
        ("max_radius", "-1.0"),
        ("min_norm_sq", "-1.0"),
    ],
    "save_index": [("filename", None)],
    "load_index": [("filename", None)],
    "get_stats": [],
    "get_metric": [],
    "compute_distance": [("query", None), ("node_id", None)],
    "get_stored_norm": [("node_id", None)],
    "update_masks": [("new_masks", None)],
}

RESULT_ANNOTATIONS = {
    "__init__": "None",
    "add_item_flat": "None",
    "add_item_and_link": "None",
    "custom_hnsw_search": "list[int]",
    "filtered_search": "list[int]",
    "hardware_flat_search": "list[int]",
    "save_index": "None",
    "load_index": "None",
    "get_stats": "dict",
    "get_metric": "str",
    "compute_distance": "float",
    "get_stored_norm": "float",
    "update_masks": "None",
}


def _split_top_level(text):
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text[start:].strip():
        parts.append(text[start:].strip())
    return parts


def _parse_doc_signature(name):
    first = getattr(HyperbolicIndex, name).__doc__.splitlines()[0]
    match = re.fullmatch(re.escape(name) + r"\((.*)\) -> (.*)", first)
    assert match, first
    params = []
    for part in _split_top_level(match.group(1)):
        head, _, default = part.partition(" = ")
        params.append((head.split(":")[0].strip(), default or None))
    return params, match.group(2)


@pytest.fixture
def small():
    index = HyperbolicIndex(3, metric="euclidean")
    for v in ([0, 0, 0], [1, 0, 0], [0, 2, 0]):
        index.add_item_flat(np.array(v, dtype=np.float32), 1)
    return index


def test_module_doc_string_is_exact():
    expected = "Velmora \u2014 multi-metric HNSW vector index (Poincar\u00e9 / Euclidean / Cosine)"
    assert orv_core.__doc__ == expected


def test_module_exposes_only_the_class():
    public = [n for n in vars(orv_core) if not n.startswith("__")]
    assert public == ["HyperbolicIndex"]


def test_class_registers_methods_in_order():
    # The __init__ key is created with the type (its slot); the rest follow registration order.
    names = [n for n in vars(HyperbolicIndex) if n not in ("__init__", "__doc__", "__module__")]
    assert names == ["_pybind11_conduit_v1_", *METHODS]
    assert HyperbolicIndex.__init__.__doc__.startswith("__init__(self: orv_core.HyperbolicIndex,")


def test_class_has_no_extras():
    index = HyperbolicIndex(2)
    with pytest.raises(AttributeError):
        index.extra = 1
    with pytest.raises(TypeError):
        pickle.dumps(index)
    with pytest.raises(TypeError):
        memoryview(index)
    assert "__repr__" not in vars(HyperbolicIndex)


def test_class_can_be_subclassed():
    class Sub(HyperbolicIndex):
        def __init__(self):
            super().__init__(2, metric="cosine")

    assert Sub().get_metric() == "cosine"


def test_subclass_skipping_init_is_refused():
    class Broken(HyperbolicIndex):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match="__init__"):
        Broken()


@pytest.mark.parametrize("call", ["get_metric()", "get_stats()", "get_stored_norm(0)"])
def test_method_on_uninitialised_instance_is_refused(call):
    # A child process: using an instance whose native object was never built must not crash us.
    code = (
        "import orv_core\n"
        "H = orv_core.HyperbolicIndex\n"
        "try:\n"
        f"    H.__new__(H).{call}\n"
        "except TypeError:\n"
        "    raise SystemExit(0)\n"
        "raise SystemExit(3)\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", code], check=False, capture_output=True, timeout=60
    )
    outcome = {3: "returned a value", -11: "crashed (SIGSEGV)"}.get(done.returncode, "failed")
    assert done.returncode == 0, f"{outcome}: {done.stderr.decode()[-300:]}"


@pytest.mark.parametrize("name", ["__init__", *METHODS])
def test_doc_signature_names_and_defaults(name):
    params, result = _parse_doc_signature(name)
    assert params[0][0] == "self"
    assert params[1:] == SIGNATURES[name]
    assert result == RESULT_ANNOTATIONS[name]


@pytest.mark.parametrize("name", METHODS)
def test_methods_have_no_own_doc(name):
    lines = [ln for ln in getattr(HyperbolicIndex, name).__doc__.splitlines() if ln.strip()]
    assert len(lines) == 1


def test_constructor_defaults():
    index = HyperbolicIndex(8)
    assert index.get_metric() == "poincare"
    stats = index.get_stats()
    assert (stats["max_m"], stats["max_m_0"], stats["dimension"]) == (16, 32, 8)


def test_constructor_keywords():
    index = HyperbolicIndex(dimension=8, metric="cosine", M=4)
    assert index.get_metric() == "cosine"
    assert (index.get_stats()["max_m"], index.get_stats()["max_m_0"]) == (4, 8)
    index = HyperbolicIndex(M=5, curvature=0.5, metric="l2", dimension=3)
    assert (index.get_metric(), index.get_stats()["dimension"]) == ("euclidean", 3)


@pytest.mark.parametrize("m", [2, 3, 16, 100, 65536])
def test_fresh_index_stats(m):
    stats = HyperbolicIndex(5, M=m).get_stats()
    assert list(stats.items()) == [
        ("num_nodes", 0),
        ("ep_id", -1),
        ("ep_layer", -1),
        ("max_m", m),
        ("max_m_0", 2 * m),
        ("dimension", 5),
        ("avg_degree_layer0", 0.0),
        ("layer_distribution", [0]),
    ]


@pytest.mark.parametrize(
    "name, expected",
    [
        ("poincare", "poincare"),
        ("euclidean", "euclidean"),
        ("l2", "euclidean"),
        ("cosine", "cosine"),
        ("Cosine", "poincare"),
        ("COSINE", "poincare"),
        (" cosine", "poincare"),
        ("cosine ", "poincare"),
        ("L2", "poincare"),
        ("Euclidean", "poincare"),
        ("", "poincare"),
        ("hyperbolic", "poincare"),
        ("cos", "poincare"),
        ("l2\0", "poincare"),
        (b"l2", "euclidean"),
        (bytearray(b"cosine"), "cosine"),
    ],
)
def test_metric_names(name, expected):
    assert HyperbolicIndex(2, metric=name).get_metric() == expected


@pytest.mark.parametrize(
    "name, expected",
    [("l2", 0.25), ("euclidean", 0.25), ("cosine", 1.0), ("Cosine", 1.0986123), ("", 1.0986123)],
)
def test_metric_name_selects_the_distance(name, expected):
    # Query at the origin against (0.5, 0): squared Euclidean 0.25, cosine 1, Poincare ln 3.
    index = HyperbolicIndex(2, metric=name)
    index.add_item_flat(np.array([0.5, 0.0], dtype=np.float32))
    assert index.compute_distance(np.zeros(2, dtype=np.float32), 0) == pytest.approx(expected)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"dimension": 0}, "dimension must be at least 1, got 0"),
        ({"dimension": -3}, "dimension must be at least 1, got -3"),
        ({"dimension": 4, "M": 1}, "M must be at least 2, got 1"),
        ({"dimension": 4, "M": 0}, "M must be at least 2, got 0"),
        ({"dimension": 4, "M": -7}, "M must be at least 2, got -7"),
        ({"dimension": 4, "M": 65537}, "M must be at most 65536, got 65537"),
        ({"dimension": 4, "M": 70000}, "M must be at most 65536, got 70000"),
    ],
)
def test_constructor_rejects_bad_sizes(kwargs, message):
    with pytest.raises(ValueError) as info:
        HyperbolicIndex(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((8.0,), {}),
        ((2**31,), {}),
        ((8,), {"M": 16.0}),
        ((8,), {"M": 2**31}),
        ((8,), {"metric": 5}),
        ((8,), {"metric": None}),
        ((8,), {"metric": "\ud800"}),
        ((8,), {"curvature": "1"}),
        ((), {"dim": 8}),
        ((), {}),
    ],
)
def test_constructor_type_errors(args, kwargs):
    with pytest.raises(TypeError):
        HyperbolicIndex(*args, **kwargs)


def test_curvature_accepts_int_and_numpy_scalars():
    HyperbolicIndex(2, 2)
    HyperbolicIndex(2, np.float64(0.5), np.int64(4))


F64 = np.zeros(3, dtype=np.float64)
Q = np.zeros(3, dtype=np.float32)


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda ix: ix.add_item_flat(F64), id="vector-float64"),
        pytest.param(lambda ix: ix.add_item_flat(F64.astype(np.int32)), id="vector-int32"),
        pytest.param(lambda ix: ix.add_item_flat(F64.astype(np.int64)), id="vector-int64"),
        pytest.param(lambda ix: ix.add_item_flat(F64.astype(np.uint32)), id="vector-uint32"),
        pytest.param(lambda ix: ix.add_item_flat(F64.astype(np.complex64)), id="vector-complex"),
        pytest.param(lambda ix: ix.add_item_flat(["a", "b", "c"]), id="vector-strings"),
        pytest.param(lambda ix: ix.add_item_flat(Q, -1), id="mask-negative"),
        pytest.param(lambda ix: ix.add_item_flat(Q, 2**64), id="mask-2**64"),
        pytest.param(lambda ix: ix.add_item_flat(Q, 1.0), id="mask-float"),
        pytest.param(lambda ix: ix.add_item_flat(Q, "1"), id="mask-str"),
        pytest.param(lambda ix: ix.add_item_flat(Q, masks=1), id="mask-wrong-keyword"),
        pytest.param(lambda ix: ix.hardware_flat_search(Q, 5), id="flat-no-filter"),
        pytest.param(lambda ix: ix.hardware_flat_search(Q, 1.0, 0), id="k-float"),
        pytest.param(lambda ix: ix.hardware_flat_search(Q, 2**31, 0), id="k-too-big"),
        pytest.param(lambda ix: ix.hardware_flat_search(Q, 1, -1), id="filter-negative"),
        pytest.param(lambda ix: ix.hardware_flat_search(Q, 1, 2**64), id="filter-2**64"),
        pytest.param(lambda ix: ix.hardware_flat_search(Q, 1, 0.0), id="filter-float"),
        pytest.param(lambda ix: ix.hardware_flat_search(F64, 1, 0), id="query-float64"),
        pytest.param(lambda ix: ix.hardware_flat_search(Q, 1, 0, "x"), id="radius-str"),
        pytest.param(lambda ix: ix.hardware_flat_search(Q, 1, 0, None), id="radius-none"),
        pytest.param(lambda ix: ix.custom_hnsw_search(Q, k=1.0), id="hnsw-k-float"),
        pytest.param(lambda ix: ix.filtered_search(F64, 1), id="filtered-float64"),
        pytest.param(lambda ix: ix.add_item_and_link(F64), id="link-float64"),
        pytest.param(lambda ix: ix.compute_distance(Q, 0.0), id="node-id-float"),
        pytest.param(lambda ix: ix.compute_distance(F64, 0), id="distance-float64"),
        pytest.param(lambda ix: ix.get_stored_norm(0.0), id="norm-float"),
        pytest.param(lambda ix: ix.get_stored_norm("0"), id="norm-str"),
        pytest.param(lambda ix: ix.get_stored_norm(2**31), id="norm-too-big"),
        pytest.param(lambda ix: ix.update_masks(np.zeros(3, np.int64)), id="masks-int64"),
        pytest.param(lambda ix: ix.update_masks(np.zeros(3, np.int32)), id="masks-int32"),
        pytest.param(lambda ix: ix.update_masks(np.zeros(3, np.int8)), id="masks-int8"),
        pytest.param(lambda ix: ix.update_masks(np.zeros(3, np.float64)), id="masks-float64"),
        pytest.param(lambda ix: ix.update_masks([1, -1, 2]), id="masks-negative"),
        pytest.param(lambda ix: ix.update_masks([1, 2**64, 2]), id="masks-2**64"),
        pytest.param(lambda ix: ix.save_index(5), id="save-int"),
        pytest.param(lambda ix: ix.get_stats(1), id="stats-extra"),
    ],
)
def test_refused_arguments_raise_type_error(small, call):
    before = [small.get_stored_norm(i) for i in range(3)]
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(small)
    assert small.get_stats()["num_nodes"] == 3
    assert [small.get_stored_norm(i) for i in range(3)] == before
    assert small.hardware_flat_search(Q, 10, 1) == [0, 1, 2]


@pytest.mark.parametrize(
    "vector, norm",
    [
        pytest.param([0.5, 0.25, 1.0], 1.3125, id="list-floats"),
        pytest.param([3, 4, 0], 25.0, id="list-ints"),
        pytest.param((1.0, 2.0, 2.0), 9.0, id="tuple"),
        pytest.param(np.array([0.5, 0.25, 1.0], np.float16), 1.3125, id="float16"),
        pytest.param(np.array([-3, 4, 0], np.int8), 25.0, id="int8"),
        pytest.param(np.array([200, 0, 1], np.uint8), 40001.0, id="uint8"),
        pytest.param(np.array([-300, 0, 1], np.int16), 90001.0, id="int16"),
        pytest.param(np.array([1000, 0, 1], np.uint16), 1000001.0, id="uint16"),
        pytest.param(np.array([True, False, True]), 2.0, id="bool"),
        pytest.param(np.arange(9, dtype=np.float32)[::3], 45.0, id="strided-slice"),
        pytest.param(np.arange(3, dtype=np.float32)[::-1], 5.0, id="reversed-slice"),
    ],
)
def test_accepted_vector_conversions(vector, norm):
    index = HyperbolicIndex(3, metric="euclidean")
    index.add_item_flat(vector)
    assert index.get_stored_norm(0) == norm
    # The stored values, not only their norm: an exact copy is at distance 0.
    exact = np.asarray(vector).astype(np.float32)
    assert index.compute_distance(exact, 0) == 0.0


def test_non_contiguous_query_is_read_by_value():
    index = HyperbolicIndex(3, metric="euclidean")
    for v in ([0, 0, 0], [0, 3, 6], [9, 9, 9]):
        index.add_item_flat(np.array(v, np.float32))
    query = np.arange(9, dtype=np.float32)[::3]
    assert index.hardware_flat_search(query, 1, 0) == [1]
    assert index.compute_distance(query, 1) == 0.0


@pytest.mark.parametrize("mask", [0, 1, 2**63, 2**64 - 1, np.uint64(2**64 - 1), np.uint32(7)])
def test_accepted_masks(mask):
    index = HyperbolicIndex(2)
    index.add_item_flat(np.zeros(2, np.float32), mask)
    assert index.hardware_flat_search(np.zeros(2, np.float32), 1, int(mask)) == [0]


class _Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_integer_arguments_accept_index_objects(small):
    assert small.hardware_flat_search(Q, _Index(2), _Index(1)) == [0, 1]
    assert small.hardware_flat_search(Q, np.int64(1), np.uint64(1)) == [0]
    assert small.get_stored_norm(_Index(2)) == 4.0


@pytest.mark.parametrize("radius", [1, 1.0, np.float32(1.0), np.int32(1), _Index(1)])
def test_max_radius_accepts_ints(small, radius):
    # Squared distances are 0, 1 and 4: a bound of 1 keeps the first two.
    assert small.hardware_flat_search(Q, 5, 0, max_radius=radius) == [0, 1]


def test_every_argument_can_be_given_by_keyword():
    index = HyperbolicIndex(dimension=3, curvature=1.0, M=4, metric="euclidean")
    index.add_item_flat(vector=np.ones(3, np.float32), mask=2)
    index.add_item_and_link(vector=np.zeros(3, np.float32), mask=3, ef_construction=10)
    assert index.get_stored_norm(node_id=0) == 3.0
    assert index.compute_distance(query=np.zeros(3, np.float32), node_id=0) == 3.0
    found = index.hardware_flat_search(
        query=np.zeros(3, np.float32), k=5, filter_mask=2, max_radius=10.0, min_norm_sq=-1.0
    )
    assert found == [1, 0]
    index.update_masks(new_masks=np.array([1, 1], np.uint64))
    assert index.hardware_flat_search(Q, 5, filter_mask=2) == []
    kw = {"query": Q, "k": 2, "filter_mask": 0, "ef_search": 10, "max_radius": -1.0}
    assert index.custom_hnsw_search(**kw, min_norm=-1.0) == [1]
    assert index.filtered_search(**kw, min_norm=-1.0) == [1]


@pytest.mark.parametrize(
    "masks",
    [
        pytest.param([5, 0, 2**64 - 1], id="list"),
        pytest.param(np.array([5, 0, 2**64 - 1], np.uint64), id="uint64"),
        pytest.param(np.array([5, 0, 2**32 - 1], np.uint32), id="uint32"),
        pytest.param(np.array([5, 0, 255], np.uint8), id="uint8"),
        pytest.param(np.array([5, 0, 65535], np.uint16), id="uint16"),
        pytest.param(np.array([True, False, True]), id="bool"),
    ],
)
def test_update_masks_accepted_inputs(small, masks):
    small.update_masks(masks)
    values = [int(m) for m in masks]
    for bit in range(64):
        expected = [i for i in range(3) if values[i] >> bit & 1]
        assert sorted(small.hardware_flat_search(Q, 5, 1 << bit)) == expected


def test_results_are_plain_python_objects(small):
    small.add_item_and_link(np.ones(3, np.float32))
    for result in (
        small.hardware_flat_search(Q, 5, 0),
        small.custom_hnsw_search(Q, 5),
        small.filtered_search(Q, 5),
    ):
        assert type(result) is list
        assert all(type(i) is int for i in result)
    assert type(small.hardware_flat_search(Q, 0, 0)) is list
    assert type(small.get_stored_norm(1)) is float
    assert type(small.compute_distance(Q, 1)) is float
    assert type(small.get_metric()) is str
    assert type(small.get_stats()) is dict
    assert small.add_item_flat(Q) is None
    assert small.update_masks([0] * 5) is None
