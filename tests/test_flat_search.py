"""The exhaustive search against a brute force over the kernel's distances."""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orv_core

HyperbolicIndex = orv_core.HyperbolicIndex
NORM_SLACK = np.float32(0.15)


def kernel_distances(index, query, n):
    return np.array([index.compute_distance(query, i) for i in range(n)])


def passing_nodes(dists, masks, norms, filter_mask=0, max_radius=-1.0, min_norm_sq=-1.0):
    """Ids that pass the mask, norm and radius tests, with float32 limits."""
    radius, min_sq = np.float32(max_radius), np.float32(min_norm_sq)
    bound = np.float32(min_sq - NORM_SLACK)
    ids = []
    for i, d in enumerate(dists):
        if filter_mask & ~int(masks[i]):
            continue
        if min_sq >= 0 and norms[i] < bound:
            continue
        if radius >= 0 and not radius >= d:
            continue
        ids.append(i)
    return ids


def assert_same_result(result, dists, passing, k):
    """result holds the k nearest passing ids, nearest first; ties may come in any order."""
    assert type(result) is list
    assert len(result) == min(max(k, 0), len(passing))
    assert len(set(result)) == len(result)
    assert set(result) <= set(passing)
    got = [dists[i] for i in result]
    assert got == sorted(got)
    assert got == sorted(dists[i] for i in passing)[: len(result)]
    expected = sorted(passing, key=lambda i: dists[i])[: len(result)]
    if len({dists[i] for i in passing}) == len(passing):
        assert result == expected


def check_search(index, query, masks, norms, k, filter_mask=0, max_radius=-1.0, min_norm_sq=-1.0):
    dists = kernel_distances(index, query, len(masks))
    passing = passing_nodes(dists, masks, norms, filter_mask, max_radius, min_norm_sq)
    result = index.hardware_flat_search(query, k, filter_mask, max_radius, min_norm_sq)
    assert_same_result(result, dists, passing, k)
    return result, passing


@pytest.fixture
def filled(all_metrics, make_index, random_vectors, rng):
    vectors = random_vectors(300, 8)
    masks = rng.integers(0, 16, size=len(vectors)).astype(np.uint64)
    index = make_index(8, all_metrics, vectors, masks)
    norms = np.array([index.get_stored_norm(i) for i in range(len(vectors))], np.float32)
    return index, vectors, masks, norms, random_vectors(3, 8)


@pytest.mark.parametrize(
    "k, filter_mask, radius_quantile, min_norm_sq",
    [
        (1, 0, None, -1.0),
        (10, 0, None, -1.0),
        (300, 0, None, -1.0),
        (500, 0, None, -1.0),
        (10, 0b0001, None, -1.0),
        (10, 0b0110, None, -1.0),
        (10, 0b1111, None, -1.0),
        (50, 0, 0.1, -1.0),
        (50, 0b0010, 0.3, -1.0),
        (10, 0, None, 0.3),
        (100, 0b0100, 0.5, 0.4),
        (400, 0b1000, 0.9, 0.2),
        (7, 0, 0.0, -1.0),
    ],
)
def test_matches_brute_force(filled, k, filter_mask, radius_quantile, min_norm_sq):
    index, _, masks, norms, queries = filled
    for query in queries:
        limits = {"filter_mask": filter_mask, "min_norm_sq": min_norm_sq}
        if radius_quantile is not None:
            dists = kernel_distances(index, query, len(masks))
            limits["max_radius"] = float(np.quantile(dists, radius_quantile, method="lower"))
        check_search(index, query, masks, norms, k, **limits)


def test_default_limits_return_the_k_nearest(filled):
    index, _, masks, _, queries = filled
    dists = kernel_distances(index, queries[0], len(masks))
    result = index.hardware_flat_search(queries[0], 20, 0)
    assert_same_result(result, dists, list(range(len(masks))), 20)


@pytest.mark.parametrize("k", [0, 1, 5])
def test_masked_out_nearest_is_never_returned(all_metrics, make_index, random_vectors, k):
    vectors = random_vectors(20, 4)
    index = make_index(4, all_metrics, vectors, [0] + [1] * 19)
    result = index.hardware_flat_search(vectors[0], k, 1)
    assert 0 not in result and len(result) == k
    assert index.hardware_flat_search(vectors[0], 1, 0) == [0]


@pytest.mark.parametrize("limits", [{}, {"max_radius": 100.0}, {"min_norm_sq": 0.0}])
def test_k_zero_returns_nothing(filled, limits):
    index, _, _, _, queries = filled
    assert index.hardware_flat_search(queries[0], 0, 0, **limits) == []


@pytest.mark.parametrize("k", [-1, -7, -(2**31)])
@pytest.mark.parametrize("filter_mask", [0, 2**64 - 1])
def test_negative_k_fails_on_a_non_empty_index(make_index, k, filter_mask):
    index = make_index(3, "euclidean", np.diag(np.float32([1, 2, 3])))
    with pytest.raises(ValueError) as info:
        index.hardware_flat_search(np.zeros(3, np.float32), k, filter_mask)
    assert str(info.value) == "vector::reserve"
    assert index.hardware_flat_search(np.zeros(3, np.float32), 5, 0) == [0, 1, 2]


@pytest.mark.parametrize("k", [-(2**31), -1, 0, 1, 10])
def test_empty_index_returns_nothing(all_metrics, k):
    index = HyperbolicIndex(3, metric=all_metrics)
    assert index.hardware_flat_search(np.zeros(3, np.float32), k, 0) == []
    assert index.hardware_flat_search(np.zeros(3, np.float32), k, 5, 1.0, 1.0) == []


def test_k_larger_than_passing_count(all_metrics, make_index, random_vectors):
    vectors = random_vectors(30, 5)
    masks = [3 if i % 3 == 0 else 1 for i in range(30)]
    index = make_index(5, all_metrics, vectors, masks)
    query = random_vectors(1, 5)[0]
    dists = kernel_distances(index, query, 30)
    result = index.hardware_flat_search(query, 1000, 2)
    assert sorted(result) == list(range(0, 30, 3))
    assert result == sorted(result, key=lambda i: dists[i])


def test_zero_radius_keeps_exact_copies(make_index, rng):
    base = rng.standard_normal((10, 6)).astype(np.float32)
    near = base[3] + np.float32(1e-3)
    vectors = np.vstack([base, base[3], near, base[3]])
    index = make_index(6, "euclidean", vectors)
    for radius in (0.0, -0.0):
        assert sorted(index.hardware_flat_search(base[3], 10, 0, max_radius=radius)) == [3, 10, 12]
    result = index.hardware_flat_search(base[3], 10, 0, max_radius=0.0, min_norm_sq=0.0)
    assert sorted(result) == [3, 10, 12]


@pytest.mark.parametrize("radius", [-1.0, -0.5, -1e-30, -math.inf, math.nan])
def test_negative_or_nan_radius_is_no_limit(make_index, radius):
    index = make_index(1, "euclidean", [[0.0], [10.0], [1e18]])
    assert index.hardware_flat_search(np.zeros(1, np.float32), 5, 0, max_radius=radius) == [0, 1, 2]


@pytest.mark.parametrize(
    "radius, expected",
    [(4.0, [0, 1, 2]), (np.nextafter(np.float32(4), np.float32(0)), [0, 1]), (9.0, [0, 1, 2, 3])],
)
def test_radius_bound_is_inclusive(make_index, radius, expected):
    index = make_index(1, "euclidean", [[0.0], [1.0], [2.0], [3.0]])
    found = index.hardware_flat_search(np.zeros(1, np.float32), 10, 0, max_radius=float(radius))
    assert found == expected


def test_nan_distance_is_dropped_by_the_radius(make_index):
    index = make_index(2, "euclidean", [[0.0, 0.0], [math.nan, 0.0], [1.0, 0.0]])
    found = index.hardware_flat_search(np.zeros(2, np.float32), 5, 0, max_radius=1e30)
    assert found == [0, 2]


@pytest.mark.parametrize(
    "min_norm_sq, expected",
    [
        (-1.0, [0, 1, 2, 3, 4]),
        (0.0, [0, 1, 2, 3, 4]),
        (0.15, [0, 1, 2, 3, 4]),
        (0.4, [1, 2, 3, 4]),
        (0.5, [2, 3, 4]),
        (1.0, [3, 4]),
        (4.15, [4]),
        (4.2, []),
        (math.nan, [0, 1, 2, 3, 4]),
    ],
)
def test_min_norm_sq_has_slack(make_index, min_norm_sq, expected):
    # Stored squared norms 0, 0.25, 0.36, 1, 4; a node passes when norm >= min_norm_sq - 0.15.
    index = make_index(1, "euclidean", [[0.0], [0.5], [0.6], [1.0], [2.0]])
    found = index.hardware_flat_search(np.zeros(1, np.float32), 10, 0, min_norm_sq=min_norm_sq)
    assert found == expected


@pytest.mark.parametrize("min_norm_sq", [0.5, 1.15, 0.3, 2.0 / 3.0])
def test_min_norm_sq_bound_in_float32(tmp_path, write_flat_file, min_norm_sq):
    bound = np.float32(np.float32(min_norm_sq) - NORM_SLACK)
    below = np.nextafter(bound, np.float32(-1))
    above = np.nextafter(bound, np.float32(9))
    norms = [below, bound, above, math.nan]
    write_flat_file(tmp_path / "n.bin", np.zeros((4, 2), np.float32), norms)
    index = HyperbolicIndex(2, metric="euclidean")
    index.load_index(str(tmp_path / "n.bin"))
    found = index.hardware_flat_search(np.zeros(2, np.float32), 10, 0, min_norm_sq=min_norm_sq)
    assert sorted(found) == [1, 2, 3]


def test_ties_are_cut_by_distance(make_index):
    vectors = [[1.0, 0.0], [0.0, 1.0], [-1.0, 0.0], [0.0, -1.0], [0.5, 0.0], [3.0, 0.0]]
    index = make_index(2, "euclidean", vectors)
    result = index.hardware_flat_search(np.zeros(2, np.float32), 3, 0)
    assert result[0] == 4 and set(result[1:]) <= {0, 1, 2, 3} and len(set(result)) == 3


def test_flat_search_ignores_the_graph(all_metrics, random_vectors):
    vectors = random_vectors(60, 5)
    index = HyperbolicIndex(5, M=4, metric=all_metrics)
    masks = [0] * 60
    for i, v in enumerate(vectors):
        if i % 2:
            index.add_item_and_link(v, ef_construction=20)
        else:
            index.add_item_flat(v)
    norms = [index.get_stored_norm(i) for i in range(60)]
    for query in random_vectors(3, 5):
        result, _ = check_search(index, query, masks, norms, 60)
        assert sorted(result) == list(range(60))


def test_query_layout(all_metrics, make_index, random_vectors):
    vectors = random_vectors(40, 6)
    index = make_index(6, all_metrics, vectors)
    query = random_vectors(1, 6)[0]
    expected = index.hardware_flat_search(query, 10, 0)
    longer = np.concatenate([query, np.float32([5.0, -5.0])])
    assert index.hardware_flat_search(longer, 10, 0) == expected
    assert index.hardware_flat_search(query.reshape(2, 3), 10, 0) == expected
    assert index.hardware_flat_search(np.asfortranarray(query.reshape(3, 2)), 10, 0) == expected
    assert index.hardware_flat_search(np.repeat(query, 2)[::2], 10, 0) == expected
    assert index.hardware_flat_search(query.tolist(), 10, 0) == expected


@st.composite
def flat_cases(draw):
    n = draw(st.integers(0, 30))
    d = draw(st.integers(1, 6))
    coords = st.floats(-1.0, 1.0, width=32, allow_subnormal=False)
    vectors = np.array(
        draw(st.lists(st.lists(coords, min_size=d, max_size=d), min_size=n, max_size=n)), np.float32
    ).reshape(n, d)
    query = np.array(draw(st.lists(coords, min_size=d, max_size=d)), np.float32)
    masks = draw(st.lists(st.integers(0, 15), min_size=n, max_size=n))
    # Duplicates make ties; repeat a few rows.
    for i, j in draw(st.lists(st.tuples(st.integers(0, 29), st.integers(0, 29)), max_size=3)):
        if i < n and j < n:
            vectors[i] = vectors[j]
    return {
        "vectors": vectors,
        "query": query,
        "masks": masks,
        "k": draw(st.integers(0, n + 3)),
        "filter_mask": draw(st.integers(0, 15)),
        "radius_pick": draw(st.one_of(st.none(), st.floats(0.0, 1.0))),
        "min_norm_sq": draw(st.one_of(st.just(-1.0), st.floats(0.0, 2.0, width=32))),
    }


@settings(
    max_examples=60,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(case=flat_cases())
def test_property_flat_search_is_brute_force(
    all_metrics, make_index, ref_distance, ref_tolerance, case
):
    vectors, query = case["vectors"], case["query"]
    n, d = vectors.shape
    index = make_index(d, all_metrics, vectors, case["masks"])
    norms = [index.get_stored_norm(i) for i in range(n)]
    dists = kernel_distances(index, query, n)
    radius = -1.0
    if case["radius_pick"] is not None and n:
        radius = float(np.quantile(dists, case["radius_pick"], method="nearest"))
    check_search(
        index,
        query,
        case["masks"],
        norms,
        case["k"],
        filter_mask=case["filter_mask"],
        max_radius=radius,
        min_norm_sq=case["min_norm_sq"],
    )
    if n:
        reference = ref_distance(all_metrics, query, vectors)
        tolerance = ref_tolerance(all_metrics, query, vectors, reference)
        assert np.all(np.abs(dists - reference) <= tolerance)
