"""Linked insertion, observed through the index file: links, caps, levels and the entry point."""

import heapq
import math

import numpy as np
import pytest
from graph_helpers import build, random_vectors

from orv_core import HyperbolicIndex
from velmora import hyperbolic
from velmora import index_file as ifr

METRICS = ("poincare", "euclidean", "cosine")


def cap(image, layer):
    return 2 * image.max_m if layer == 0 else image.max_m


def check_invariants(img):
    """Structural invariants that every graph built by insertion keeps."""
    for i, layers in enumerate(img.links):
        assert len(layers) == img.levels[i] + 1
        for layer, ids in enumerate(layers):
            where = f"node {i} layer {layer}: {ids}"
            assert len(ids) <= cap(img, layer), where
            assert i not in ids, where
            assert len(set(ids)) == len(ids), where
            assert all(0 <= j < img.n for j in ids), where
            assert all(img.levels[j] >= layer for j in ids), where


def first_with_max_level(levels):
    top = max(levels)
    return levels.index(top), top


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("M", [2, 16])
def test_first_insertion_is_entry_point_without_links(metric, M, scratch):
    rng = np.random.default_rng(1)
    # M = 2 draws a level above 0 half of the time, so several fresh indexes cover both cases.
    for _ in range(12):
        index = HyperbolicIndex(4, M=M, metric=metric)
        index.add_item_and_link(random_vectors(rng, 1, 4, metric)[0])
        img = ifr.snapshot(index, scratch / "one.bin")
        assert (img.ep_id, img.ep_layer) == (0, img.levels[0])
        assert img.links == [[[] for _ in range(img.levels[0] + 1)]]
        stats = index.get_stats()
        assert (stats["ep_id"], stats["ep_layer"]) == (0, img.levels[0])


@pytest.mark.parametrize("metric", METRICS)
def test_second_insertion_links_both_nodes_on_shared_layers(metric, scratch):
    rng = np.random.default_rng(2)
    shared_upper_layer = False
    for _ in range(40):
        index = build(metric, random_vectors(rng, 2, 3, metric), M=2)
        img = ifr.snapshot(index, scratch / "two.bin")
        l0, l1 = img.levels
        shared_upper_layer |= min(l0, l1) > 0
        for node, other in ((0, 1), (1, 0)):
            for layer in range(img.levels[node] + 1):
                expected = [other] if layer <= min(l0, l1) else []
                assert img.links[node][layer] == expected, (node, layer, img.levels)
        expected_ep = (1, l1) if l1 > l0 else (0, l0)
        assert (img.ep_id, img.ep_layer) == expected_ep
    assert shared_upper_layer  # M = 2 gives both nodes a level above 0 a quarter of the time


@pytest.mark.parametrize("metric", METRICS)
def test_small_graph_links_every_pair_in_insertion_order(metric, scratch):
    # Below the caps and with a wide beam nothing is pruned: every layer is a complete graph.
    # A node's list is its own selection (the earlier nodes, nearest first) followed by the
    # reverse links of later nodes in insertion order.
    rng = np.random.default_rng(3)
    vectors = random_vectors(rng, 30, 5, metric)
    index = build(metric, vectors, M=16)
    img = ifr.snapshot(index, scratch / "small.bin")
    check_invariants(img)
    for layer in range(max(img.levels) + 1):
        members = [i for i in range(img.n) if img.levels[i] >= layer]
        for i in members:
            earlier = [j for j in members if j < i]
            later = [j for j in members if j > i]
            ids = img.links[i][layer]
            assert sorted(ids[: len(earlier)]) == earlier, (i, layer, ids)
            assert ids[len(earlier) :] == later, (i, layer, ids)
    for i in range(1, img.n):
        dists = [index.compute_distance(vectors[i], j) for j in range(i)]
        assert dists[img.links[i][0][0]] == min(dists), i


@pytest.mark.parametrize("metric", METRICS)
def test_stored_vectors_norms_and_masks(metric, scratch):
    rng = np.random.default_rng(4)
    vectors = random_vectors(rng, 40, 7, metric)
    masks = rng.integers(0, 2**63, 40, dtype=np.uint64) | np.uint64(1)
    masks[5] = np.uint64(2**64 - 1)
    img = ifr.snapshot(build(metric, vectors, M=4, masks=masks), scratch / "s.bin")
    assert img.vectors.tobytes() == vectors.tobytes()
    np.testing.assert_array_equal(img.masks, masks)
    np.testing.assert_allclose(img.norms, hyperbolic.stored_sq_norms(vectors), rtol=3e-7)


class ReferenceGraph:
    """The insertion algorithm replayed in Python on the index's own distances.

    ``dist[i][j]`` is the kernel's distance from node i's vector to node j, as the index measures
    it; levels are the ones the index drew. Distinct distances make every step deterministic.
    """

    def __init__(self, metric, max_m, dist, norms):
        self.poincare = metric == "poincare"
        self.max_m = max_m
        self.dist = dist
        self.norms = norms
        self.links = []
        self.ep = (-1, -1)

    def search_layer(self, q, entry, ef, layer):
        ef = max(ef, 1)
        d = self.dist[q]
        visited = {entry}
        candidates, beam = [(d[entry], entry)], [(-d[entry], entry)]
        while candidates:
            c, node = heapq.heappop(candidates)
            if len(beam) >= ef and c > -beam[0][0]:
                break
            for nb in self.links[node][layer]:
                if nb in visited:
                    continue
                visited.add(nb)
                if self.poincare and self.norms[nb] >= np.float32(0.995):
                    continue
                if len(beam) < ef or d[nb] < -beam[0][0]:
                    heapq.heappush(candidates, (d[nb], nb))
                    heapq.heappush(beam, (-d[nb], nb))
                    if len(beam) > ef:
                        heapq.heappop(beam)
        return [(-negd, node) for negd, node in beam]

    def select(self, candidates, cap):
        chosen, pruned = [], []
        for dc, c in sorted(candidates):
            if len(chosen) >= cap:
                break
            if any(dc > self.dist[c][s] for s in chosen):
                pruned.append(c)
            else:
                chosen.append(c)
        return (chosen + pruned)[:cap]

    def insert(self, new_id, level, ef_construction):
        self.links.append([[] for _ in range(level + 1)])
        ep_id, ep_layer = self.ep
        if new_id == 0:
            self.ep = (0, level)
            return
        cur = ep_id
        for layer in range(ep_layer, level, -1):
            cur = min(self.search_layer(new_id, cur, 1, layer))[1]
        for layer in range(min(level, ep_layer), -1, -1):
            cap = self.max_m if layer else 2 * self.max_m
            sel = self.select(self.search_layer(new_id, cur, ef_construction, layer), cap)
            self.links[new_id][layer] = list(sel)
            for nb in sel:
                lst = self.links[nb][layer]
                lst.append(new_id)
                if len(lst) > cap:
                    self.links[nb][layer] = self.select([(self.dist[nb][m], m) for m in lst], cap)
            if sel:
                cur = sel[0]
        if level > ep_layer:
            self.ep = (new_id, level)


@pytest.mark.parametrize(
    "second,expected",
    [
        # Squared distances from the origin 1.0, 1.25, 1.44; node 1 lies at 1.25 from node 0 too,
        # and a candidate at exactly the base's distance from a selected node is not pruned.
        ((0.5, 1.0), [0, 1, 2]),
        # 1.390625 from the origin, 1.140625 from node 0: pruned, and back through the fill-up.
        ((0.625, 1.0), [0, 2, 1]),
    ],
)
def test_selection_prunes_only_strictly_closer_candidates(second, expected, scratch):
    vectors = np.array([(1.0, 0.0), second, (-1.2, 0.0), (0.0, 0.0)], dtype=np.float32)
    img = ifr.snapshot(build("euclidean", vectors), scratch / "sel.bin")
    assert img.links[3][0] == expected


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("M,ef_construction", [(2, 1), (2, 16), (3, 4), (4, 200)])
def test_insertion_matches_reference_replay(metric, M, ef_construction, scratch):
    n = 80
    rng = np.random.default_rng([M, ef_construction])
    vectors = random_vectors(rng, n, 3, metric)
    if metric == "poincare":  # a few nodes on the boundary, which the layer search skips
        vectors[::9] *= np.float32(0.9975) / np.linalg.norm(vectors[::9], axis=1)[:, None]
    index = HyperbolicIndex(3, M=M, metric=metric)
    for v in vectors:
        index.add_item_and_link(v, 0, ef_construction)
    img = ifr.snapshot(index, scratch / "r.bin")
    dist = [[index.compute_distance(vectors[i], j) for j in range(n)] for i in range(n)]
    assert all(len(set(row)) == n for row in dist)  # no ties
    ref = ReferenceGraph(metric, M, dist, img.norms)
    for i in range(n):
        ref.insert(i, img.levels[i], ef_construction)
    assert (img.ep_id, img.ep_layer) == ref.ep
    for i in range(n):
        assert img.links[i] == ref.links[i], i
    if ef_construction >= 2 * M:  # new nodes fill their lists, so reverse links overflow
        assert any(len(layers[0]) == 2 * M for layers in img.links)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("M", [2, 3, 5, 16])
def test_invariants_after_many_insertions(metric, M, scratch):
    rng = np.random.default_rng(6)
    index = build(metric, random_vectors(rng, 400, 6, metric), M=M, ef_construction=40)
    img = ifr.snapshot(index, scratch / "many.bin")
    check_invariants(img)
    assert (img.ep_id, img.ep_layer) == first_with_max_level(img.levels)
    assert all(len(layers[0]) >= 1 for layers in img.links)
    assert max(len(layers[0]) for layers in img.links) == 2 * M


@pytest.mark.parametrize("ef_construction", [-3, 0, 1, 2, 5, 200])
def test_ef_construction_bounds_links_of_new_node(ef_construction, scratch):
    # Caps above the node count: nothing is pruned, every layer stays connected, and the beam
    # of width max(ef_construction, 1) fills up, so the count of new links is exact.
    width = max(ef_construction, 1)
    rng = np.random.default_rng(7)
    vectors = random_vectors(rng, 50, 4, "euclidean")
    index = HyperbolicIndex(4, M=64, metric="euclidean")
    ep_layer = -1
    for i, v in enumerate(vectors):
        index.add_item_and_link(v, 0, ef_construction)
        img = ifr.snapshot(index, scratch / "ef.bin")
        for layer in range(img.levels[i] + 1):
            earlier = sum(lv >= layer for lv in img.levels[:i])
            expected = min(width, earlier) if layer <= ep_layer else 0
            assert len(img.links[i][layer]) == expected, (i, layer)
        ep_layer = img.ep_layer


@pytest.mark.parametrize("metric", METRICS)
def test_linked_insertion_after_flat_nodes(metric, scratch):
    rng = np.random.default_rng(8)
    vectors = random_vectors(rng, 5, 3, metric)
    index = HyperbolicIndex(3, M=4, metric=metric)
    for v in vectors[:3]:
        index.add_item_flat(v)
    index.add_item_and_link(vectors[3])
    img = ifr.snapshot(index, scratch / "f.bin")
    assert (img.ep_id, img.ep_layer) == (3, img.levels[3])
    assert img.levels[:3] == [0, 0, 0]
    assert all(lst == [] for layers in img.links for lst in layers)
    # The next node descends from node 3 and can reach nothing else.
    index.add_item_and_link(vectors[4])
    img = ifr.snapshot(index, scratch / "f.bin")
    for layer in range(min(img.levels[3], img.levels[4]) + 1):
        assert img.links[4][layer] == [3] and img.links[3][layer] == [4]
    assert img.links[:3] == [[[]], [[]], [[]]]


def index_with_nodes(metric, n=10, dim=5):
    rng = np.random.default_rng(9)
    return build(metric, random_vectors(rng, n, dim, metric), M=4)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize(
    "value,text", [(float("nan"), "nan"), (float("inf"), "inf"), (float("-inf"), "-inf")]
)
@pytest.mark.parametrize("position", [0, 3])
def test_non_finite_vector_rejected_and_index_unchanged(metric, value, text, position, scratch):
    index = index_with_nodes(metric)
    before = ifr.saved_bytes(index, scratch / "b.bin")
    vector = np.full(5, 0.1, dtype=np.float32)
    vector[position] = value
    with pytest.raises(ValueError) as err:
        index.add_item_and_link(vector)
    assert str(err.value) == f"vector holds a non-finite value ({text}) at index {position}"
    assert ifr.saved_bytes(index, scratch / "a.bin") == before
    index.add_item_and_link(np.full(5, 0.1, dtype=np.float32))
    assert index.get_stats()["num_nodes"] == 11


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("shape", [(0,), (4,), (1, 4), (2, 2)])
def test_short_vector_rejected_and_index_unchanged(metric, shape, scratch):
    index = index_with_nodes(metric)
    before = ifr.saved_bytes(index, scratch / "b.bin")
    with pytest.raises(RuntimeError, match="^Vector dimension mismatch$"):
        index.add_item_and_link(np.full(shape, 0.1, dtype=np.float32))
    assert ifr.saved_bytes(index, scratch / "a.bin") == before


@pytest.mark.parametrize("shape", [(8,), (1, 5), (2, 5)])
def test_longer_vector_stores_its_first_values(shape, scratch):
    index = index_with_nodes("euclidean")
    data = np.arange(np.prod(shape), dtype=np.float32).reshape(shape) / 10
    index.add_item_and_link(data)
    img = ifr.snapshot(index, scratch / "l.bin")
    assert img.vectors[10].tobytes() == data.reshape(-1)[:5].tobytes()


@pytest.mark.parametrize("M", [2, 4, 16])
def test_levels_are_geometric_with_ratio_one_over_m(M, scratch):
    n = 3000
    rng = np.random.default_rng(10)
    index = build("euclidean", random_vectors(rng, n, 2, "euclidean"), M=M, ef_construction=8)
    levels = np.array(ifr.snapshot(index, scratch / "g.bin").levels)
    for level in (1, 2):
        p = float(M) ** -level
        count = int((levels >= level).sum())
        spread = 5 * math.sqrt(n * p * (1 - p)) + 2
        assert abs(count - n * p) <= spread, (level, count, n * p)
    # The 1e-10 floor of the uniform draw bounds the level.
    assert levels.max() <= math.floor(23.02585 / math.log(M))
