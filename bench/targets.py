"""The "Targets" section of RESULTS.md: each goal with this run's numbers and whether it is met."""

from __future__ import annotations

from .measure import K, qps_interpolated
from .systems import M

RECALLS = (0.90, 0.95, 0.99)
BUILD_LIMIT = 1.2
PEERS = ("hnswlib", "faiss")
HNSWLIB_LABEL_MAP_BYTES = 40  # per entry of its id -> slot hash map (node and bucket)


def _x(r: float | None) -> str:
    return "–" if r is None else f"{r:.2f}×"


def _q(x: float | None) -> str:
    return "–" if x is None else f"{x:.0f}"


def _verdict(ok: bool, why: str = "") -> str:
    return "yes" if ok else f"**no**{': ' + why if why else ''}"


def _ratio(a: float | None, b: float | None) -> float | None:
    return None if a is None or b is None or b == 0 else a / b


def _qps_row(d: dict) -> list[str]:
    """orv_core's QPS against the faster of hnswlib and faiss at each recall level."""
    parts, ratios, unreached = [], [], []
    for t in RECALLS:
        o = qps_interpolated(d["sweeps"]["orv_core"], t)
        peers = {p: qps_interpolated(d["sweeps"][p], t) for p in PEERS if p in d["sweeps"]}
        reached = {p: q for p, q in peers.items() if q is not None}
        if o is None and not reached:
            parts.append(f"{t:.2f}: no system gets there")
            continue
        if not reached:
            parts.append(f"{t:.2f}: only orv_core gets there ({_q(o)})")
            continue
        else:
            peer = max(reached, key=reached.get)
            if o is None:
                unreached.append(f"{t:.2f}")
                parts.append(f"{t:.2f}: orv_core never gets there ({_q(reached[peer])} {peer})")
                continue
            r = _ratio(o, reached[peer])
            shown = f"{_q(o)} / {_q(reached[peer])} {peer}"
        ratios.append(r)
        parts.append(f"{t:.2f}: {_x(r)} ({shown})")
    low = min(ratios, default=float("inf"))
    why = [f"not reached at {', '.join(unreached)}"] if unreached else []
    if low < 1.0:
        why.append(f"lowest {_x(low)}")
    verdict = _verdict(not why, "; ".join(why))
    return [
        "`custom_hnsw_search` QPS ≥ the best of hnswlib and faiss at R@10 0.90, 0.95, 0.99",
        "; ".join(parts) + " (orv / best peer QPS)",
        verdict,
    ]


def _build_row(d: dict) -> list[str]:
    o, h = d["builds"]["orv_core"]["cpu_s"], d["builds"]["hnswlib"]["cpu_s"]
    r = o / h
    verdict = _verdict(r <= BUILD_LIMIT)
    if r <= 1.0:
        verdict += ", stretch 1.0× too"
    return [
        f"build CPU time ≤ {BUILD_LIMIT}× hnswlib `add_items` (1 thread); stretch ≤ 1.0×",
        f"{_x(r)} ({o:.1f} s / {h:.1f} s)",
        verdict,
    ]


def hnswlib_layout_bytes(d: dict) -> float:
    """hnswlib's arrays for n rows: layer-0 block (links, vector, label), level and list pointer,
    upper lists for the expected n/(M-1) node-layers, and its label hash map."""
    n, dim = d["n"], d["dim"] + (1 if d["metric"] == "poincare" else 0)
    per_node = (4 * 2 * M + 4) + 4 * dim + 8 + 8 + 4 + HNSWLIB_LABEL_MAP_BYTES
    return n * per_node + n / (M - 1) * (4 * M + 4)


def _memory_row(d: dict) -> list[str]:
    o, h = d["builds"]["orv_core"], d["builds"]["hnswlib"]
    r = _ratio(o["rss_delta"], h["rss_delta"])
    est = _ratio(o.get("estimated_bytes"), hnswlib_layout_bytes(d))
    return [
        f"index memory ≤ 1.2× hnswlib's (same data, M = {M})",
        (
            f"RSS Δ {_x(r)} ({o['rss_delta'] / 2**20:.1f} / {h['rss_delta'] / 2**20:.1f} MiB); "
            f"layout estimate {_x(est)}"
        ),
        _verdict(r is not None and r <= 1.2 and (est is None or est <= 1.2)),
    ]


def by_dataset(res: dict) -> list[str]:
    """A table per data set: QPS against the best peer (not for Poincaré, where the peers
    search a stand-in metric), build time and memory against hnswlib."""
    lines = []
    for name, d in res["datasets"].items():
        rows = [] if d["metric"] == "poincare" else [_qps_row(d)]
        rows += [_build_row(d), _memory_row(d)]
        lines += [f"### {name}", "", "| target | measured in this run | met |", "|---|---|---|"]
        lines += ["| " + " | ".join(r) + " |" for r in rows] + [""]
    return lines


def _wordnet_level(sw: dict) -> tuple[float, str]:
    """0.95, or 0.90 (marked) when orv_core never reaches 0.95."""
    best = max(p["recall"] for p in sw["orv_core"])
    if best >= 0.95:
        return 0.95, ""
    return 0.90, f" — orv_core's best R@10 is {best:.3f}, so at **0.90 instead of 0.95**"


def wordnet_rows(sets: dict) -> list[list[str]]:
    rows = []
    for name, d in sets.items():
        if d["metric"] != "poincare":
            continue
        sw = d["sweeps"]
        level, mark = _wordnet_level(sw)
        o = qps_interpolated(sw["orv_core"], level)
        for peer in ("hnswlib", "faiss"):
            p = qps_interpolated(sw[peer], level)
            best = max(pt["recall"] for pt in sw[peer])
            r = _ratio(o, p)
            shown = f"{_x(r)} ({_q(o)} / {_q(p)})" if p is not None else f"{peer} never gets there"
            rows.append(
                [
                    f"{name}: orv_core QPS ≥ {peer} (hyperboloid inner product) at R@10 {level}",
                    f"{shown}; {peer} best R@10 {best:.3f}{mark}",
                    _verdict(o is not None and (p is None or o >= p)),
                ]
            )
        flat = d["exact"]["orv_core flat"]["qps"]
        o, how = _beside_flat(d, level, o)
        r = _ratio(o, flat)
        rows.append(
            [
                f"{name}: orv_core QPS at R@10 {level} ≥ 20× exact flat search",
                f"{_x(r)} ({_q(o)} / {flat:.1f}{how}){mark}",
                _verdict(r is not None and r >= 20),
            ]
        )
    return rows


def _beside_flat(d: dict, level: float, sweep_qps: float | None) -> tuple[float | None, str]:
    """The graph search's QPS at ``level`` from its passes taken in turn with the flat scan's
    (recall of each ef from the sweep), or the sweep's own where those were not measured."""
    recall = {p["param"]: p["recall"] for p in d["sweeps"]["orv_core"]}
    pts = [dict(p, recall=recall[p["param"]]) for p in d.get("graph_beside_flat", [])]
    if not pts:
        return sweep_qps, ""
    return qps_interpolated(pts, level), "; both measured in the same rounds"


def flat_rows(sets: dict) -> list[list[str]]:
    rows = []
    for name, d in sets.items():
        e, once = d["exact"], d.get("read_once")
        if once is None:
            continue
        per_query = 1.0 / e["orv_core flat"]["qps"]
        r_read = per_query / once["cpu_s"]
        r_np = e["orv_core flat"]["qps"] / e["numpy brute force"]["qps"]
        rows.append(
            [
                (
                    f"{name}: `hardware_flat_search` time per query ≤ 1.5× NumPy reading the "
                    "vectors once (`X.sum()`), and faster than NumPy brute force"
                ),
                (
                    f"{_x(r_read)} ({1e3 * per_query:.2f} ms / {1e3 * once['cpu_s']:.2f} ms for "
                    f"{once['bytes'] / 2**20:.1f} MiB); {_x(r_np)} NumPy brute-force QPS"
                ),
                _verdict(r_read <= 1.5 and r_np > 1.0, _flat_why(r_read, r_np)),
            ]
        )
    return rows


def _flat_why(r_read: float, r_np: float) -> str:
    why = ["over 1.5× the read"] if r_read > 1.5 else []
    return ", ".join(why + (["slower than NumPy brute force"] if r_np <= 1.0 else []))


def _all_pass_part(pts: list[dict], ef: int) -> tuple[str, bool]:
    c = next(p for p in pts if p["ef"] == ef and p["method"] == "custom_hnsw_search")
    f = next(p for p in pts if p["ef"] == ef and p["method"] == "filtered_search")
    r = f["qps"] / c["qps"]
    cut = f["mean_returned"] < K - 1e-9  # the gap cut-off shortened its lists
    key = "recall_at_1" if cut else "recall"
    kept = f[key] >= c[key] - 0.005
    label = "R@1" if cut else "R@10"
    text = f"ef {ef}: {_x(r)} QPS; {label} {f[key]:.3f} vs {c[key]:.3f}" + (
        f" (R@10 {f['recall']:.3f}, {f['mean_returned']:.1f} ids: gap cut-off)" if cut else ""
    )
    return text, r >= 1.0 and kept


def filter_rows(sets: dict) -> list[list[str]]:
    rows = []
    for name, d in sets.items():
        ap = d.get("filter_all_pass")
        if ap is None:
            continue
        efs = sorted({p["ef"] for p in ap["points"]})
        parts = [_all_pass_part(ap["points"], ef) for ef in efs]
        bad = [str(ef) for ef, (_, ok) in zip(efs, parts) if not ok]
        rows.append(
            [
                (
                    f"{name}: `filtered_search` with a mask every node passes costs no more than "
                    "`custom_hnsw_search` at the same ef and keeps its recall"
                ),
                "; ".join(t for t, _ in parts) + " (filtered / plain)",
                _verdict(not bad, "ef " + ", ".join(bad)),
            ]
        )
        rows += size_rows(name, d)
    return rows


def size_rows(name: str, d: dict) -> list[list[str]]:
    g = d.get("filter_size")
    if g is None:
        return []
    grow = {m: g[f"{m} small"] / g[f"{m} full"] for m in ("filtered_search", "custom_hnsw_search")}
    return [
        [
            (
                f"{name}: `filtered_search` per-call cost does not grow with the index size "
                "(beyond the plain search's growth)"
            ),
            (
                f"ef {g['ef']}, {g['n_small']} → {g['n_full']} rows: QPS "
                f"{g['filtered_search small']:.0f} → {g['filtered_search full']:.0f} "
                f"(cost ×{grow['filtered_search']:.2f}); `custom_hnsw_search` cost "
                f"×{grow['custom_hnsw_search']:.2f}"
            ),
            _verdict(grow["filtered_search"] <= 1.1 * grow["custom_hnsw_search"]),
        ]
    ]


def big_file_rows(res: dict) -> list[list[str]]:
    b = res.get("big_file_load")
    if b is None:
        return []
    return [
        [
            f"Loading a {b['nodes']:,}-node index file ≤ 2× reading its bytes",
            (
                f"{_x(b['load_over_read'])} (load {b['load_s']:.3f} s / read {b['read_s']:.3f} s, "
                f"{b['file_bytes'] / 2**20:.0f} MiB, dimension {b['dim']}, full layer-0 lists)"
            ),
            _verdict(b["load_over_read"] <= 2.0 and b["loaded_nodes"] == b["nodes"]),
        ]
    ]


def section(res: dict) -> list[str]:
    sets = res["datasets"]
    rows = wordnet_rows(sets) + flat_rows(sets) + filter_rows(sets) + big_file_rows(res)
    lines = by_dataset(res) + ["### Other targets", ""]
    lines += ["| target | measured in this run | met |", "|---|---|---|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return lines + ["", *NOTES]


NOTES = [
    (
        "All numbers above come from this run. QPS at a recall is read off each recall/QPS curve, "
        "linear in recall and in log QPS between the two sweep points around it (the Headline "
        "takes the fastest measured point at or above it instead). Ratios are orv_core / peer, "
        "so above 1× is faster for QPS and heavier for time and memory. Timings of a few percent "
        "apart are within the run-to-run noise of this shared machine."
    ),
    "",
    (
        "- Build: every layer-0 list of orv_core is filled up from the pruned candidates to its "
        "cap of 2M links, as its neighbour selection requires; hnswlib keeps only what its "
        "heuristic takes (13.6 links on average on Fashion, Euclidean). Built once without that "
        "fill-up, orv_core builds faster than hnswlib with the same recall (Speed work, below), "
        "so the build target cannot be met without changing results."
    ),
    (
        "- WordNet: the graph that the insertion builds on these rows cannot reach R@10 0.95 at "
        "any ef: most of its nodes have no layer-0 in-link, so no search of it can reach them. "
        "That target is read at 0.90, where the 20× over the flat scan is not reached either; "
        "what limits these 10-d queries, and what was tried, is in Speed work, below."
    ),
    (
        "- Memory: RSS Δ is the growth of the process over the build; the layout estimate sets "
        "orv_core's node store against hnswlib's arrays (layer-0 block, level, list pointers, "
        f"upper lists for n/(M−1) node-layers, ~{HNSWLIB_LABEL_MAP_BYTES} B per label-map entry)."
    ),
    (
        "- Flat search: one query's CPU time against the CPU time of `X.sum()` over the same "
        "float32 base array (best of 7), both in this process. The graph search's speed against "
        "the flat scan's comes from passes over the same exhaustive-search queries taken in turn "
        "with the flat scan's (best of the rounds, each ef of the sweep), read at the recall "
        "level with the recall of each ef from the sweep."
    ),
    (
        "- A mask that every node passes: the mask test is all-of (a node passes when it holds "
        "every bit of the mask), so only mask 0 admits every node; 0xFFFFFFFFFFFFFFFF admits none "
        "here. Both searches get mask 0 and the same queries, best of 7 interleaved rounds. Where "
        "the gap cut-off of `filtered_search` shortens its lists (squared Euclidean, Poincaré) "
        "its R@1 is compared instead of R@10. The size check builds a second index on the first "
        "tenth of the rows and compares how the cost per call grows with that of "
        "`custom_hnsw_search` (met within 10%). With mask 0, `filtered_search` runs the plain "
        "beam search with a watch that tells whether the beam's first k are its own answer, "
        "which keeps the shortcut exact; the watch costs 0.9–5.4 % more instructions (Speed work), "
        "which the timings cannot tell from noise: their ratios fall on both sides of 1.00, and "
        "the check asks for 1.00 or more at every ef."
    ),
    (
        "- Index load: a synthetic valid file written in the index format (every node on layer 0 "
        "with a full list of 2M random neighbours), best of 3; the read is "
        "`open(f, 'rb').read()` from the page cache."
    ),
]
