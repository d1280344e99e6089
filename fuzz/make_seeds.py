"""Writes the loader fuzzer's seed corpus into fuzz/seeds/.

ok_* files must load into an index of every metric; bad_* files must be refused.
Graph seeds are built through orv_core; the rest are crafted through velmora.index_file.
Every file stays under the fuzzer's 4096-byte input limit. Run it with an interpreter that
imports orv_core and velmora (an installed build, or PYTHONPATH=/path/to/build:/path/to/repo):

    python3 fuzz/make_seeds.py
"""

from __future__ import annotations

import dataclasses
import math
import tempfile
from pathlib import Path

import numpy as np

import orv_core
from velmora import index_file

SEEDS = Path(__file__).resolve().parent / "seeds"
MAX_SEED_BYTES = 4096


def saved(index) -> bytes:
    with tempfile.TemporaryDirectory() as tmp:
        return index_file.saved_bytes(index, Path(tmp) / "index")


def graph_index(metric: str, n: int, dim: int, m: int, seed: int, flat_after: int = 0):
    rng = np.random.default_rng(seed)
    index = orv_core.HyperbolicIndex(dim, 1.0, m, metric)
    for _ in range(n):
        v = rng.standard_normal(dim)
        v *= rng.uniform(0.05, 0.9) / np.linalg.norm(v)
        index.add_item_and_link(v.astype(np.float32), int(rng.integers(0, 16)), 16)
    for _ in range(flat_after):
        index.add_item_flat(rng.uniform(-0.5, 0.5, dim).astype(np.float32), 3)
    return index


def built_seeds() -> dict[str, bytes]:
    seeds = {"ok_empty.idx": saved(orv_core.HyperbolicIndex(3, 1.0, 16))}
    assert seeds["ok_empty.idx"] == bytes.fromhex(
        "03000000 0000803f 10000000" + "ff" * 8 + "00" * 8
    )
    for i, metric in enumerate(("poincare", "euclidean", "cosine")):
        seeds[f"ok_graph_{metric}.idx"] = saved(graph_index(metric, 14, 3, 3, 10 + i))
    seeds["ok_graph_m2.idx"] = saved(graph_index("euclidean", 12, 2, 2, 20))
    seeds["ok_mixed.idx"] = saved(graph_index("poincare", 6, 4, 4, 30, flat_after=3))
    flat = orv_core.HyperbolicIndex(3, 0.5, 8, "cosine")
    for v in ([0.1, 0.2, 0.3], [math.nan, 0.0, 1.0], [math.inf, -math.inf, 0.0], [0, 0, 0]):
        flat.add_item_flat(np.array(v, dtype=np.float32), 1)
    seeds["ok_flat_only.idx"] = saved(flat)
    return seeds


def crafted(head: tuple[int, int, int, int], vectors, masks, links) -> index_file.IndexImage:
    """head: dimension, max_m, ep_id, ep_layer; norms are the vectors' squared norms."""
    dimension, max_m, ep_id, ep_layer = head
    norms = [sum(x * x for x in v) for v in vectors]
    image = index_file.make_image(
        vectors, links, max_m=max_m, ep_id=ep_id, ep_layer=ep_layer, masks=masks, norms=norms
    )
    return dataclasses.replace(image, dimension=dimension)


def crafted_valid() -> dict[str, index_file.IndexImage]:
    top = 33  # the deepest level the draw gives for max_m 2
    return {
        "ok_one_node.idx": crafted((2, 16, 0, 0), [[0.1, 0.2]], [0], [[[]]]),
        "ok_huge_dimension_no_nodes.idx": index_file.empty_image(1 << 30, max_m=2),
        "ok_max_m.idx": crafted(
            (1, 65536, 1, 1), [[0.1], [0.2], [-0.3]], [1, 2, 3], [[[1, 2]], [[0, 2], []], [[1]]]
        ),
        "ok_max_level.idx": crafted(
            (1, 2, 0, top), [[0.25], [0.5]], [0, 0], [[[1]] * (top + 1), [[0]] * (top + 1)]
        ),
        # Node 2 stands above the entry point; lists hold self links and repeats.
        "ok_odd_links.idx": crafted(
            (2, 3, 0, 1),
            [[0.1, 0.1], [0.2, -0.1], [-0.3, 0.0], [0.0, 0.4]],
            [1, 3, 7, 15],
            [[[1, 1, 0], [2]], [[0, 2, 3]], [[0, 1], [0], [], []], [[3, 3, 3, 3, 3, 3]]],
        ),
        "ok_no_entry_but_links.idx": crafted(
            (2, 2, -1, -1), [[0.1, 0.0], [0.0, 0.1]], [0, 0], [[[1], []], [[0]]]
        ),
    }


def with_norms(data: bytes, norms: list[float]) -> bytes:
    im = index_file.decode(data)
    im.norms = np.array([norms[i % len(norms)] for i in range(im.n)], dtype=np.float32)
    return index_file.encode(im)


def malformed(good: bytes) -> dict[str, bytes]:
    base = index_file.decode(good)
    n = base.n

    def changed(**fields) -> bytes:
        return index_file.encode(dataclasses.replace(base, **fields))

    def relinked(i: int, layer: int, ids: list[int]) -> bytes:
        links = [[list(x) for x in node] for node in base.links]
        links[i][layer] = ids
        return changed(links=links)

    low = next(i for i in range(n) if len(base.links[i]) == 1)
    high = next(i for i in range(n) if len(base.links[i]) > 1)
    return {
        "bad_empty_file.idx": b"",
        "bad_short_header.idx": good[:27],
        "bad_truncated.idx": good[:-3],
        "bad_trailing_byte.idx": good + b"\0",
        "bad_dimension_zero.idx": changed(dimension=0),
        "bad_dimension_negative.idx": changed(dimension=-4),
        "bad_max_m_1.idx": changed(max_m=1),
        "bad_max_m_65537.idx": changed(max_m=65537),
        "bad_count_huge.idx": changed(count=1 << 63),
        "bad_count_one_more.idx": changed(count=n + 1),
        "bad_entry_half_missing.idx": changed(ep_id=-1),
        "bad_entry_out_of_range.idx": changed(ep_id=n),
        "bad_entry_wrong_layer.idx": changed(ep_layer=base.ep_layer + 1),
        "bad_level_negative.idx": changed(
            levels=[-1] + base.levels[1:], links=[[]] + base.links[1:], ep_id=-1, ep_layer=-1
        ),
        "bad_layer0_over_cap.idx": relinked(high, 0, [low] * (2 * base.max_m + 1)),
        "bad_upper_over_cap.idx": relinked(high, 1, [high] * (base.max_m + 1)),
        "bad_neighbour_out_of_range.idx": relinked(low, 0, [n]),
        "bad_neighbour_negative.idx": relinked(low, 0, [-1]),
        "bad_neighbour_level_too_low.idx": relinked(high, 1, [low]),
    }


def main() -> None:
    seeds = built_seeds()
    seeds.update({name: index_file.encode(im) for name, im in crafted_valid().items()})
    graph = seeds["ok_graph_euclidean.idx"]
    seeds["ok_negative_norms.idx"] = with_norms(graph, [-1.0, 0.5, -0.0, -math.inf])
    seeds["ok_nan_norms.idx"] = with_norms(seeds["ok_graph_poincare.idx"], [math.nan, 0.25])
    seeds.update(malformed(graph))
    assert len(seeds["ok_one_node.idx"]) == 60
    SEEDS.mkdir(exist_ok=True)
    for old in SEEDS.glob("*.idx"):
        old.unlink()
    for name, data in sorted(seeds.items()):
        assert len(data) <= MAX_SEED_BYTES, name
        (SEEDS / name).write_bytes(data)
    print(f"{len(seeds)} seeds in {SEEDS}")


if __name__ == "__main__":
    main()
