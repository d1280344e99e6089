"""get_stats: values, types and key order, checked against the index file's contents."""

import numpy as np
import pytest

from orv_core import HyperbolicIndex
from velmora import index_file as ifr

METRICS = ("poincare", "euclidean", "cosine")
KEYS = [
    "num_nodes", "ep_id", "ep_layer", "max_m", "max_m_0", "dimension", "avg_degree_layer0",
    "layer_distribution",
]  # fmt: skip


def load(image, directory, metric="poincare"):
    index = HyperbolicIndex(image.dimension, metric=metric)
    index.load_index(str(ifr.write(directory / "crafted.bin", image)))
    return index


def expected_stats(img):
    """The statistics computed from an index file image."""
    distribution = [0] * (img.ep_layer + 2)
    for level in img.levels:
        if 0 <= level + 1 < len(distribution):
            distribution[level + 1] += 1
    degree = sum(len(layers[0]) for layers in img.links) / img.n if img.n else 0.0
    return {
        "num_nodes": img.n, "ep_id": img.ep_id, "ep_layer": img.ep_layer,
        "max_m": img.max_m, "max_m_0": 2 * img.max_m, "dimension": img.dimension,
        "avg_degree_layer0": degree, "layer_distribution": distribution,
    }  # fmt: skip


def assert_stats(stats, expected):
    assert list(stats) == KEYS
    assert stats == expected
    assert all(type(stats[key]) is int for key in KEYS[:6])
    assert type(stats["avg_degree_layer0"]) is float
    assert type(stats["layer_distribution"]) is list
    assert all(type(c) is int for c in stats["layer_distribution"])


@pytest.mark.parametrize("dimension,M", [(1, 2), (3, 16), (128, 48)])
@pytest.mark.parametrize("metric", METRICS)
def test_fresh_index(dimension, M, metric):
    stats = HyperbolicIndex(dimension, M=M, metric=metric).get_stats()
    assert_stats(stats, {
        "num_nodes": 0, "ep_id": -1, "ep_layer": -1, "max_m": M, "max_m_0": 2 * M,
        "dimension": dimension, "avg_degree_layer0": 0.0, "layer_distribution": [0],
    })  # fmt: skip


def test_flat_nodes_only():
    index = HyperbolicIndex(3)
    for i in range(3):
        index.add_item_flat(np.full(3, 0.1 * i, dtype=np.float32))
    assert_stats(index.get_stats(), {
        "num_nodes": 3, "ep_id": -1, "ep_layer": -1, "max_m": 16, "max_m_0": 32,
        "dimension": 3, "avg_degree_layer0": 0.0, "layer_distribution": [0],
    })  # fmt: skip


def test_two_nodes_linked_to_each_other(scratch):
    image = ifr.make_image([[0.1, 0.0], [0.0, 0.1]], [[[1]], [[0]]], max_m=4)
    assert_stats(load(image, scratch).get_stats(), {
        "num_nodes": 2, "ep_id": 0, "ep_layer": 0, "max_m": 4, "max_m_0": 8,
        "dimension": 2, "avg_degree_layer0": 1.0, "layer_distribution": [0, 2],
    })  # fmt: skip


@pytest.mark.parametrize(
    "links,ep_id,distribution,degree",
    [
        # Node 2 (level 2) lies above the entry point's layer 1 and is not counted.
        ([[[1], [3]], [[0]], [[3], [], []], [[2], [0]]], 0, [0, 1, 2], 1.0),
        # Level counts by entry level + 1; degrees 3, 1, 1, 1 average to 1.5.
        ([[[1, 2, 3], []], [[0]], [[0]], [[0]]], 0, [0, 3, 1], 1.5),
        ([[[1], [], []], [[0], []], [[]], [[]]], 0, [0, 2, 1, 1], 0.5),
    ],
)
def test_crafted_graphs(links, ep_id, distribution, degree, scratch):
    image = ifr.make_image(np.eye(4, dtype=np.float32) * 0.5, links, max_m=3, ep_id=ep_id)
    stats = load(image, scratch).get_stats()
    assert stats["layer_distribution"] == distribution
    assert stats["avg_degree_layer0"] == degree
    assert_stats(stats, expected_stats(image))


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("M", [2, 6])
def test_stats_agree_with_index_file(metric, M, scratch):
    rng = np.random.default_rng(30)
    index = HyperbolicIndex(4, M=M, metric=metric)
    vectors = rng.standard_normal((300, 4)).astype(np.float32) * np.float32(0.2)
    for i, v in enumerate(vectors):
        if i % 7 == 0:
            index.add_item_flat(v)
        else:
            index.add_item_and_link(v, 0, 24)
    img = ifr.snapshot(index, scratch / "s.bin")
    stats = index.get_stats()
    assert_stats(stats, expected_stats(img))
    assert stats["layer_distribution"][0] == 0
    assert sum(stats["layer_distribution"]) == 300


def test_flat_nodes_count_on_level_zero(scratch):
    index = HyperbolicIndex(2, M=2)
    for i in range(3):
        index.add_item_flat(np.array([0.1 * i, 0.0], dtype=np.float32))
    index.add_item_and_link(np.array([0.0, 0.2], dtype=np.float32))
    level = ifr.snapshot(index, scratch / "f.bin").levels[3]
    expected = [0] * (level + 2)
    expected[1] += 3
    expected[level + 1] += 1
    stats = index.get_stats()
    assert (stats["ep_id"], stats["ep_layer"]) == (3, level)
    assert stats["layer_distribution"] == expected
    assert stats["avg_degree_layer0"] == 0.0
