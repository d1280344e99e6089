"""Properties of random indexes (flat and linked nodes mixed, random M, metric and masks): the
index file round trip, the statistics against the file, and the invariants of the graph
searches' results."""

import itertools

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import orv_core
from velmora import index_file as ifr

HyperbolicIndex = orv_core.HyperbolicIndex
METRICS = ("poincare", "euclidean", "cosine")
GAP_NEAR, GAP_JUMP, GAP_FAR = np.float32(0.01), np.float32(0.6), np.float32(2.0)

SETTINGS = settings(
    max_examples=500,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)


@st.composite
def recipes(draw):
    """How to build one random index; build() follows it."""
    return {
        "metric": draw(st.sampled_from(METRICS)),
        "dim": draw(st.integers(1, 6)),
        "M": draw(st.integers(2, 6)),
        "n": draw(st.integers(0, 400)),
        "linked_share": draw(st.sampled_from([0.0, 0.3, 0.8, 1.0])),
        "ef": draw(st.integers(1, 40)),
        "mask_bits": draw(st.integers(0, 3)),
        "duplicates": draw(st.booleans()),
        "seed": draw(st.integers(0, 2**32 - 1)),
    }


def points(rng, n, dim):
    """Points inside the unit ball, a few of them at its boundary (squared norm near 0.998)."""
    v = rng.standard_normal((n, dim))
    radii = np.where(rng.random(n) < 0.05, 0.999, rng.uniform(0.02, 0.97, n))
    return (v * (radii / np.linalg.norm(v, axis=1))[:, None]).astype(np.float32)


def build(r):
    rng = np.random.default_rng(r["seed"])
    n = r["n"]
    vectors = points(rng, n, r["dim"])
    if r["duplicates"] and n > 1:
        vectors[n // 2 :] = vectors[: n - n // 2]
    masks = rng.integers(0, 2 ** r["mask_bits"], n)
    linked = rng.random(n) < r["linked_share"]
    curvature = float(rng.uniform(0.1, 2.0))
    index = HyperbolicIndex(r["dim"], curvature, r["M"], r["metric"])
    for v, m, link in zip(vectors, masks, linked):
        if link:
            index.add_item_and_link(v, int(m), r["ef"])
        else:
            index.add_item_flat(v, int(m))
    return index, vectors, linked


def queries_for(vectors, dim, seed, count=3):
    """Random points plus, when there are nodes, an exact copy of one (distance ties, zero)."""
    rng = np.random.default_rng(seed)
    qs = list(points(rng, count, dim))
    if len(vectors):
        qs.append(vectors[rng.integers(len(vectors))].copy())
    return qs


query_params = st.fixed_dictionaries(
    {
        "k": st.integers(-2, 15),
        "filter_mask": st.integers(0, 7),
        "ef_search": st.integers(-1, 60),
        "max_radius": st.one_of(st.just(-1.0), st.floats(0.0, 3.0, width=32)),
        "min_norm": st.one_of(st.just(-1.0), st.floats(0.0, 1.0, width=32)),
    }
)


def all_answers(index, n, queries, p):
    """Everything observable through the read-only calls, for each query."""
    out = []
    for q in queries:
        k = max(p["k"], 0)
        out.append(
            (
                index.hardware_flat_search(q, k, p["filter_mask"], p["max_radius"], p["min_norm"]),
                index.custom_hnsw_search(q, k, **{x: p[x] for x in p if x != "k"}),
                index.filtered_search(q, p["k"], **{x: p[x] for x in p if x != "k"}),
                [index.compute_distance(q, i) for i in range(n)],
            )
        )
    return out


@SETTINGS
@given(recipe=recipes(), p=query_params, other_dim=st.integers(1, 9), other_m=st.integers(2, 40))
def test_save_then_load_reproduces_bytes_and_searches(scratch, recipe, p, other_dim, other_m):
    index, vectors, _ = build(recipe)
    data = ifr.saved_bytes(index, scratch / "a.bin")
    # The file replaces everything but the metric, whatever the reader was built with.
    twin = HyperbolicIndex(other_dim, M=other_m, metric=recipe["metric"])
    twin.load_index(str(scratch / "a.bin"))
    assert ifr.saved_bytes(twin, scratch / "b.bin") == data
    assert twin.get_stats() == index.get_stats()
    n = recipe["n"]
    assert [twin.get_stored_norm(i) for i in range(n)] == [
        index.get_stored_norm(i) for i in range(n)
    ]
    queries = queries_for(vectors, recipe["dim"], recipe["seed"] + 1)
    assert all_answers(twin, n, queries, p) == all_answers(index, n, queries, p)
    # Nothing outside the file differs: the same flat insertion gives the same bytes.
    for ix in (index, twin):
        ix.add_item_flat(np.full(recipe["dim"], 0.25, np.float32), 6)
    assert ifr.saved_bytes(twin, scratch / "b.bin") == ifr.saved_bytes(index, scratch / "a.bin")


def stats_from_image(image):
    n = image.n
    distribution = [0] * (image.ep_layer + 2)
    for level in image.levels:
        if 0 <= level + 1 < len(distribution):
            distribution[level + 1] += 1
    degree = sum(float(len(layers[0])) for layers in image.links) / n if n else 0.0
    return {
        "num_nodes": n,
        "ep_id": image.ep_id,
        "ep_layer": image.ep_layer,
        "max_m": image.max_m,
        "max_m_0": 2 * image.max_m,
        "dimension": image.dimension,
        "avg_degree_layer0": degree,
        "layer_distribution": distribution,
    }


@SETTINGS
@given(recipe=recipes())
def test_statistics_agree_with_the_file(scratch, recipe):
    index, _, linked = build(recipe)
    image = ifr.snapshot(index, scratch / "s.bin")
    stats = index.get_stats()
    assert list(stats) == list(stats_from_image(image))
    assert stats == stats_from_image(image)
    assert image.n == recipe["n"] and image.max_m == recipe["M"]
    # The entry point is a linked node of the top level; flat nodes are bare level-0 nodes.
    assert (image.ep_id == -1) == (not linked.any())
    if image.ep_id >= 0:
        assert linked[image.ep_id]
        assert image.levels[image.ep_id] == image.ep_layer == max(image.levels)
    for i in np.flatnonzero(~linked):
        assert image.levels[i] == 0 and image.links[i] == [[]]


def passes(image, i, d, filter_mask, max_radius, norm_floor):
    """The mask, radius and norm tests; norm_floor < 0 switches the norm test off."""
    mask_ok = filter_mask & ~int(image.masks[i]) == 0
    radius_ok = not max_radius >= 0 or np.float32(max_radius) >= d
    norm_ok = norm_floor < 0 or image.norms[i] >= norm_floor
    return mask_ok and radius_ok and norm_ok


def check_result_list(index, q, result, k, n):
    """Unique ids of the index, at most k of them (one when k <= 0), nearest first."""
    assert type(result) is list
    assert len(set(result)) == len(result) <= max(k, 1)
    assert all(0 <= i < n for i in result)
    dists = [np.float32(index.compute_distance(q, i)) for i in result]
    assert dists == sorted(dists), "not nearest first"
    return dists


@SETTINGS
@given(recipe=recipes(), p=query_params)
def test_custom_search_is_its_beam_filtered_sorted_unique_at_most_k(scratch, recipe, p):
    index, vectors, _ = build(recipe)
    image = ifr.snapshot(index, scratch / "m.bin")
    k = max(p["k"], 0)
    params = {x: p[x] for x in p if x != "k"}
    floor = np.float32(p["min_norm"]) * np.float32(p["min_norm"]) if p["min_norm"] >= 0 else -1
    width = max(k, p["ef_search"], 1)
    for q in queries_for(vectors, recipe["dim"], recipe["seed"] + 2):
        result = index.custom_hnsw_search(q, k, **params)
        dists = check_result_list(index, q, result, k, recipe["n"])
        for i, d in zip(result, dists):
            assert passes(image, i, d, p["filter_mask"], p["max_radius"], floor)
            assert image.levels[i] >= 0 and (image.links[i][0] or i == image.ep_id)
        # The same beam, unfiltered and in full, then filtered here: the first k that pass.
        beam = index.custom_hnsw_search(q, width, 0, width)
        beam_dists = [np.float32(index.compute_distance(q, i)) for i in beam]
        passing = [
            i
            for i, d in zip(beam, beam_dists)
            if passes(image, i, d, p["filter_mask"], p["max_radius"], floor)
        ]
        assert result == passing[: max(k, 1)]


@SETTINGS
@given(recipe=recipes(), p=query_params)
def test_filtered_search_results_pass_their_filters_and_the_gap_rule(scratch, recipe, p):
    index, vectors, _ = build(recipe)
    image = ifr.snapshot(index, scratch / "m.bin")
    params = {x: p[x] for x in p if x != "k"}
    for q in queries_for(vectors, recipe["dim"], recipe["seed"] + 3):
        result = index.filtered_search(q, p["k"], **params)
        dists = check_result_list(index, q, result, p["k"], recipe["n"])
        for i, d in zip(result, dists):
            assert passes(image, i, d, p["filter_mask"], p["max_radius"], p["min_norm"])
        for prev, cur in itertools.pairwise(dists):
            assert not (prev > GAP_NEAR and cur - prev > GAP_JUMP), (prev, cur)
            assert not cur > GAP_FAR, cur
