"""Node storage (flat insertion, stored norms, masks) and the distance kernel."""

import math

import numpy as np
import pytest
from conftest import F32_EPS, POINCARE_FLOOR

import orv_core

HyperbolicIndex = orv_core.HyperbolicIndex
MISMATCH = "Vector dimension mismatch"
MASK_SIZE = "Mask array size does not match graph size!"
DIMENSIONS = [1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 33, 100]


def read_masks(index, n, dimension):
    """Each node's mask, probed bit by bit through the flat search."""
    query = np.zeros(dimension, np.float32)
    masks = [0] * n
    for bit in range(64):
        for node in index.hardware_flat_search(query, n, 1 << bit):
            masks[node] |= 1 << bit
    return masks


def kernel_distances(index, query, n):
    return np.array([index.compute_distance(query, i) for i in range(n)])


# --- node storage -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "vector, norm",
    [([3, 4], 25.0), ([-3, -4], 25.0), ([0, 0], 0.0), ([0.5, 0], 0.25), ([1e20, 0], math.inf)],
)
def test_stored_norm_is_squared(all_metrics, vector, norm):
    index = HyperbolicIndex(2, metric=all_metrics)
    index.add_item_flat(np.array(vector, np.float32))
    assert index.get_stored_norm(0) == norm


@pytest.mark.parametrize("dimension", DIMENSIONS)
def test_stored_norm_is_a_fused_chain(rng, make_index, fused_squared_norms, dimension):
    scales = np.exp2(rng.integers(-6, 7, size=(200, 1)))
    vectors = (rng.standard_normal((200, dimension)) * scales).astype(np.float32)
    index = make_index(dimension, "cosine", vectors)
    stored = np.array([index.get_stored_norm(i) for i in range(len(vectors))], np.float32)
    fused = fused_squared_norms(vectors)
    np.testing.assert_array_equal(stored, fused)
    if dimension >= 3:
        unfused = np.zeros(len(vectors), np.float32)
        for i in range(dimension):
            unfused = unfused + vectors[:, i] * vectors[:, i]
        assert np.any(unfused != fused), "data too tame to tell a fused chain apart"


@pytest.mark.parametrize(
    "vector, norm",
    [([np.nan, 1.0], math.nan), ([np.inf, 0.0], math.inf), ([-np.inf, 1.0], math.inf)],
)
def test_flat_insertion_keeps_non_finite_values(vector, norm):
    index = HyperbolicIndex(2, metric="euclidean")
    index.add_item_flat(np.array(vector, np.float32))
    assert index.get_stats()["num_nodes"] == 1
    stored = index.get_stored_norm(0)
    assert stored == norm or (math.isnan(norm) and math.isnan(stored))


@pytest.mark.parametrize(
    "bad",
    [
        pytest.param(np.zeros((1, 4), np.float32), id="row-matrix"),
        pytest.param(np.zeros((4, 1), np.float32), id="column-matrix"),
        pytest.param(np.zeros((2, 2), np.float32), id="square-matrix"),
        pytest.param(np.zeros(5, np.float32), id="one-too-long"),
        pytest.param(np.zeros(3, np.float32), id="one-too-short"),
        pytest.param(np.zeros(0, np.float32), id="empty"),
        pytest.param(np.float32(1.0), id="scalar"),
        pytest.param([[1, 2, 3, 4]], id="nested-list"),
    ],
)
def test_flat_insertion_rejects_wrong_shape(make_index, bad):
    index = make_index(4, "euclidean", [[1, 0, 0, 0], [0, 2, 0, 0]])
    with pytest.raises(RuntimeError) as info:
        index.add_item_flat(bad)
    assert str(info.value) == MISMATCH
    assert index.get_stats()["num_nodes"] == 2
    assert [index.get_stored_norm(i) for i in range(2)] == [1.0, 4.0]
    index.add_item_flat(np.array([0, 0, 3, 0], np.float32))
    assert index.get_stored_norm(2) == 9.0
    with pytest.raises(IndexError):
        index.get_stored_norm(3)


def test_flat_nodes_stay_outside_the_graph(make_index, random_vectors):
    index = make_index(6, "poincare", random_vectors(25, 6))
    stats = index.get_stats()
    assert (stats["num_nodes"], stats["ep_id"], stats["ep_layer"]) == (25, -1, -1)
    assert (stats["avg_degree_layer0"], stats["layer_distribution"]) == (0.0, [0])
    assert index.custom_hnsw_search(np.zeros(6, np.float32), 5) == []
    assert index.filtered_search(np.zeros(6, np.float32), 5) == []


def test_flat_insertion_leaves_the_entry_point(random_vectors):
    vectors = random_vectors(6, 4)
    index = HyperbolicIndex(4, metric="euclidean")
    index.add_item_and_link(vectors[0])
    before = index.get_stats()
    for v in vectors[1:]:
        index.add_item_flat(v)
    after = index.get_stats()
    assert (after["ep_id"], after["ep_layer"]) == (before["ep_id"], before["ep_layer"])
    assert after["avg_degree_layer0"] == 0.0
    assert index.custom_hnsw_search(vectors[3], 6) == [0]


def test_ids_follow_insertion_order(make_index, random_vectors, fused_squared_norms):
    vectors = random_vectors(40, 5)
    index = make_index(5, "euclidean", vectors)
    norms = fused_squared_norms(vectors)
    for i, v in enumerate(vectors):
        assert index.get_stored_norm(i) == norms[i]
        assert index.hardware_flat_search(v, 1, 0) == [i]


@pytest.mark.parametrize(
    "node_mask, filter_mask, matches",
    [
        (0b1011, 0b0011, True),
        (0b1011, 0b1000, True),
        (0b1011, 0b1011, True),
        (0b1011, 0b0100, False),
        (0b1011, 0b0111, False),
        (0b1011, 0b1111, False),
        (0b1011, 0, True),
        (0, 0, True),
        (0, 1, False),
        (0, 2**63, False),
        (2**63, 2**63, True),
        (2**63, 2**63 | 1, False),
        (2**63 | 1, 2**63, True),
        (2**32, 2**32, True),
        (2**32, 1, False),
        (2**64 - 1, 0, True),
        (2**64 - 1, 1, True),
        (2**64 - 1, 2**63, True),
        (2**64 - 1, 2**64 - 1, True),
        (2**64 - 2, 2**64 - 1, False),
    ],
)
def test_mask_is_an_all_of_test(node_mask, filter_mask, matches):
    index = HyperbolicIndex(2, metric="euclidean")
    index.add_item_flat(np.zeros(2, np.float32), node_mask)
    found = index.hardware_flat_search(np.zeros(2, np.float32), 3, filter_mask)
    assert found == ([0] if matches else [])


def test_default_mask_is_zero():
    index = HyperbolicIndex(2)
    index.add_item_flat(np.zeros(2, np.float32))
    assert read_masks(index, 1, 2) == [0]
    assert index.hardware_flat_search(np.zeros(2, np.float32), 1, 0) == [0]


def _single_bit_index(n, dimension=2):
    index = HyperbolicIndex(dimension, metric="euclidean")
    for i in range(n):
        index.add_item_flat(np.full(dimension, i, np.float32), 1 << i)
    return index


@pytest.mark.parametrize(
    "layout",
    [
        pytest.param(lambda a: a.reshape(2, 3), id="c-order-2d"),
        pytest.param(lambda a: np.asfortranarray(a.reshape(2, 3)), id="fortran-2d"),
        pytest.param(lambda a: a.reshape(1, 2, 3), id="3d"),
        pytest.param(lambda a: np.repeat(a, 2)[::2], id="strided"),
        pytest.param(lambda a: a.reshape(3, 2).T.copy().T, id="transposed-view"),
        pytest.param(lambda a: [int(x) for x in a], id="list"),
    ],
)
def test_update_masks_takes_logical_row_major_order(layout):
    index = _single_bit_index(6)
    new = np.array([1 << 40, 3, 2**64 - 1, 0, 1 << 63, 12345], np.uint64)
    index.update_masks(layout(new))
    assert read_masks(index, 6, 2) == [int(m) for m in new]


@pytest.mark.parametrize(
    "empty",
    [np.empty(0, np.uint64), np.empty((0, 4), np.uint64), [], np.empty(0, np.uint32)],
)
def test_update_masks_empty_on_empty_index(empty):
    index = HyperbolicIndex(3)
    index.update_masks(empty)
    assert index.get_stats()["num_nodes"] == 0
    assert index.hardware_flat_search(np.zeros(3, np.float32), 3, 0) == []


@pytest.mark.parametrize("n, size", [(5, 4), (5, 6), (5, 0), (5, 10), (0, 1), (1, 2)])
def test_update_masks_wrong_size_changes_nothing(n, size):
    index = _single_bit_index(n)
    before = read_masks(index, n, 2)
    with pytest.raises(RuntimeError) as info:
        index.update_masks(np.full(size, 2**64 - 1, np.uint64))
    assert str(info.value) == MASK_SIZE
    assert read_masks(index, n, 2) == before
    with pytest.raises(RuntimeError, match=MASK_SIZE):
        index.update_masks(np.zeros((1, size), np.uint64))
    assert read_masks(index, n, 2) == before


def test_update_masks_copies_the_values():
    index = _single_bit_index(3)
    new = np.array([4, 2, 1], np.uint64)
    index.update_masks(new)
    new[:] = 0
    assert read_masks(index, 3, 2) == [4, 2, 1]


# --- distance kernel ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "metric, stored, query, expected",
    [
        ("euclidean", [3, 4], [0, 0], 25.0),
        ("euclidean", [0, 0], [3, 4], 25.0),
        ("euclidean", [1.5, -2], [1.5, -2], 0.0),
        ("euclidean", [1, 1], [-1, -1], 8.0),
        ("cosine", [0, 0], [1, 2], 1.0),
        ("cosine", [1, 2], [0, 0], 1.0),
        ("cosine", [0, 0], [0, 0], 1.0),
        ("cosine", [1, 0], [0, 3], 1.0),
        ("cosine", [1, 0], [-2, 0], 2.0),
        ("cosine", [2, 0], [5, 0], 0.0),
    ],
)
def test_exact_distances(metric, stored, query, expected):
    index = HyperbolicIndex(2, metric=metric)
    index.add_item_flat(np.array(stored, np.float32))
    assert index.compute_distance(np.array(query, np.float32), 0) == expected


def test_cosine_self_distance_is_near_zero(make_index, random_vectors):
    vectors = random_vectors(50, 13)
    index = make_index(13, "cosine", vectors)
    values = [index.compute_distance(v, i) for i, v in enumerate(vectors)]
    assert max(abs(x) for x in values) <= 4 * 13 * F32_EPS


@pytest.mark.parametrize("dimension", [1, 2, 5, 8, 17])
def test_poincare_self_distance_is_the_floor(make_index, random_vectors, dimension):
    vectors = np.vstack([random_vectors(20, dimension), np.zeros((1, dimension), np.float32)])
    index = make_index(dimension, "poincare", vectors)
    values = {index.compute_distance(v, i) for i, v in enumerate(vectors)}
    assert values == {POINCARE_FLOOR}
    assert POINCARE_FLOOR == pytest.approx(0.0013810393, rel=1e-7)


@pytest.mark.parametrize("stored, query", [([0.5, 0], [0, 0]), ([0, 0], [0.5, 0])])
def test_poincare_origin_to_half(stored, query):
    index = HyperbolicIndex(2)
    index.add_item_flat(np.array(stored, np.float32))
    got = index.compute_distance(np.array(query, np.float32), 0)
    assert got == pytest.approx(math.log(3.0), rel=4 * F32_EPS)


@pytest.mark.parametrize(
    "stored, query",
    [
        ([0.5, 0.0], [1.0, 0.0]),
        ([0.0, 0.0], [1.0, 0.0]),
        ([0.0, 0.0], [0.6, 0.8]),
        ([0.3, 0.1], [2.0, 0.0]),
        ([0.3, 0.1], [1e3, -1e3]),
        ([1.0, 0.0], [0.0, 0.0]),
        ([3.0, 0.0], [0.0, 0.5]),
        ([1.0, 0.0], [1.0, 0.0]),
        ([1.0, 0.0], [0.0, 1.0]),
        ([5.0, 5.0], [-5.0, -5.0]),
        ([0.9995, 0.0], [0.0, 0.9995]),
    ],
)
def test_poincare_near_and_beyond_the_boundary(ref_distance, stored, query):
    index = HyperbolicIndex(2)
    index.add_item_flat(np.array(stored, np.float32))
    got = index.compute_distance(np.array(query, np.float32), 0)
    assert math.isfinite(got) and got >= POINCARE_FLOOR
    expected = ref_distance("poincare", query, [stored])[0]
    assert got == pytest.approx(expected, rel=2e-5)


@pytest.mark.parametrize("dimension", DIMENSIONS)
def test_kernel_matches_reference(
    all_metrics, make_index, random_vectors, ref_distance, ref_tolerance, dimension
):
    vectors = random_vectors(60, dimension)
    index = make_index(dimension, all_metrics, vectors)
    for query in random_vectors(4, dimension):
        got = kernel_distances(index, query, len(vectors))
        expected = ref_distance(all_metrics, query, vectors)
        tolerance = ref_tolerance(all_metrics, query, vectors, expected)
        assert np.all(np.abs(got - expected) <= tolerance), np.max(np.abs(got - expected))


def test_query_longer_than_dimension_uses_its_head(all_metrics, make_index, random_vectors):
    vectors = random_vectors(10, 4)
    index = make_index(4, all_metrics, vectors)
    query = random_vectors(1, 4)[0]
    longer = np.concatenate([query, np.float32([7, -3, 0.5])])
    for i in range(10):
        assert index.compute_distance(longer, i) == index.compute_distance(query, i)


@pytest.mark.parametrize(
    "shape",
    [
        pytest.param(lambda q: q.reshape(2, 3), id="2x3"),
        pytest.param(lambda q: q.reshape(3, 2), id="3x2"),
        pytest.param(lambda q: q.reshape(6, 1), id="6x1"),
        pytest.param(lambda q: np.asfortranarray(q.reshape(2, 3)), id="fortran"),
        pytest.param(lambda q: np.concatenate([q, q]).reshape(3, 4), id="3x4-longer"),
        pytest.param(lambda q: np.tile(q, (2, 1)), id="two-rows"),
    ],
)
def test_multidimensional_query_read_in_c_order(all_metrics, make_index, random_vectors, shape):
    vectors = random_vectors(8, 6)
    index = make_index(6, all_metrics, vectors)
    query = random_vectors(1, 6)[0]
    for i in range(8):
        assert index.compute_distance(shape(query), i) == index.compute_distance(query, i)


@pytest.mark.parametrize(
    "n, node_id", [(3, 3), (3, 5), (3, -1), (3, 2**31 - 1), (3, -(2**31)), (0, 0)]
)
def test_node_id_out_of_range(n, node_id):
    index = _single_bit_index(n)
    message = f"node id {node_id} is out of range for an index of {n} nodes"
    with pytest.raises(IndexError) as info:
        index.compute_distance(np.zeros(2, np.float32), node_id)
    assert str(info.value) == message
    with pytest.raises(IndexError) as info:
        index.get_stored_norm(node_id)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "query",
    [np.zeros(4, np.float32), np.zeros(0, np.float32), np.zeros((2, 2), np.float32), 1.0],
)
def test_short_query_is_rejected(all_metrics, make_index, query):
    index = make_index(5, all_metrics, np.ones((2, 5), np.float32))
    with pytest.raises(RuntimeError) as info:
        index.compute_distance(query, 0)
    assert str(info.value) == MISMATCH
    with pytest.raises(RuntimeError, match=MISMATCH):
        index.hardware_flat_search(query, 1, 0)


@pytest.mark.parametrize("metric", ["cosine", "poincare"])
def test_negative_stored_norm_falls_back(
    tmp_path, make_index, ref_distance, write_flat_file, metric
):
    vectors = np.array([[0.3, 0.4], [0.1, -0.5], [0.6, 0.5]], np.float32)
    write_flat_file(tmp_path / "neg.bin", vectors, [-1.0, -0.5, 0.4])
    loaded = HyperbolicIndex(2, metric=metric)
    loaded.load_index(str(tmp_path / "neg.bin"))
    fresh = make_index(2, metric, vectors)
    query = np.array([-0.2, 0.35], np.float32)
    assert loaded.get_stored_norm(0) == -1.0
    assert loaded.compute_distance(query, 0) == fresh.compute_distance(query, 0)
    assert loaded.compute_distance(query, 1) == fresh.compute_distance(query, 1)
    assert loaded.get_stored_norm(0) == -1.0 and loaded.get_stored_norm(1) == -0.5
    # A non-negative stored value is used as it is, even when it is not the vector's norm.
    expected = ref_distance(metric, query, vectors[2:])[0]
    assert loaded.compute_distance(query, 2) != pytest.approx(expected, rel=1e-3)


def test_nan_stored_norm_is_used_unchanged(tmp_path, write_flat_file):
    vectors = np.array([[0.3, 0.4]], np.float32)
    write_flat_file(tmp_path / "nan.bin", vectors, [math.nan])
    query = np.array([0.1, 0.1], np.float32)
    for metric, is_nan in (("cosine", True), ("poincare", True), ("euclidean", False)):
        index = HyperbolicIndex(2, metric=metric)
        index.load_index(str(tmp_path / "nan.bin"))
        assert math.isnan(index.compute_distance(query, 0)) == is_nan
