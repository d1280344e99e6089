"""Benchmark of orv_core against hnswlib, faiss-cpu, pynndescent and exact search.

    python -m bench.run            # full run, about 1.5-2 h (the two 1M-row synthetic cases
                                   # about 1 h of it); writes bench/results.json,
                                   # bench/RESULTS.md and bench/*.png
    python -m bench.run --quick    # subsets and a few ef values, about 4-5 min; writes into
                                   # bench/cache/quick/ so the full results stay in place
    python -m bench.run --cases synthetic-euclidean --synthetic-n 100000,300000,1000000
                                   # how query and build cost grow with n, about 45 min
    python -m bench.run --merge DIR,DIR
                                   # one report from runs of disjoint cases made side by side
                                   # (one per core, each with --cases and --out DIR)

Run from the repository root. Needs orv_core and velmora importable (for a source tree:
PYTHONPATH=<build dir>:<repo>) and pip install hnswlib faiss-cpu pynndescent matplotlib tqdm.

Every system runs single-threaded in this one process on the same data; queries go one at a
time from Python for all of them, so each pays the same kind of per-call overhead. Query
throughput is measured in process CPU time (see measure.py). Ground truth is exact brute force
in float64 (velmora.datasets.ground_truth), cached in bench/cache/.
"""

from __future__ import annotations

import os

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "NUMBA_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse
import gc
import json
import tempfile
from functools import partial
from pathlib import Path

import numpy as np
from threadpoolctl import threadpool_limits
from tqdm import tqdm

from . import (
    batch_bench,
    checks,
    data,
    environment,
    graph_check,
    measure,
    persistence,
    report,
    systems,
)

BENCH = Path(__file__).resolve().parent
FULL = {
    "fashion_base": None,
    "fashion_queries": 1000,
    "wordnet_base": None,
    "wordnet_queries": 1000,
    "gloss_base": None,
    "gloss_queries": 1000,
    "synthetic_n": [1_000_000],
    "synthetic_queries": 1000,
    "efs": [10, 16, 24, 32, 48, 64, 96, 128, 256],
    "exact_queries": 200,
    "rounds": 3,
    "build_rounds": 3,
    "filter_queries": 300,
    "filtered_efs": [10, 32, 128, 512, 2000],
    "post_efs": [64, 256, 1024],
    "peer_filter_efs": [16, 64, 256],
    "hnswlib_filter_efs": [16, 128],
    "epsilons": [0.0, 0.05, 0.1, 0.2, 0.3, 0.5],
    "self_sample": 2000,
    "all_pass_queries": 1000,
    "big_file_nodes": 1_000_000,
}
QUICK = {
    "fashion_base": 5000,
    "fashion_queries": 100,
    "wordnet_base": 10000,
    "wordnet_queries": 100,
    "gloss_base": 10000,
    "gloss_queries": 100,
    "synthetic_n": [20_000],
    "synthetic_queries": 100,
    "efs": [16, 64, 256],
    "exact_queries": 50,
    "rounds": 1,
    "build_rounds": 1,
    "filter_queries": 100,
    "filtered_efs": [32, 2000],
    "post_efs": [256],
    "peer_filter_efs": [64],
    "hnswlib_filter_efs": [64],
    "epsilons": [0.1],
    "self_sample": 300,
    "all_pass_queries": 100,
    "big_file_nodes": 100_000,
}
# From 300k rows on: one build per system and fewer points. At 1M synthetic rows a build takes
# 5-10 CPU min here (orv_core 36 s, hnswlib 19 s at 100k), so each 1M case runs about 30 min.
LARGE_N = 300_000
LARGE = {
    "efs": [16, 32, 64, 128, 256],
    "build_rounds": 1,
    "rounds": 2,
    "exact_queries": 50,
    "filter_queries": 100,
    "filtered_efs": [32, 512],
    "post_efs": [256],
    "peer_filter_efs": [64],
    "hnswlib_filter_efs": [64],
    "self_sample": 500,
}
CASES = (
    "fashion-euclidean,fashion-cosine,wordnet,gloss-euclidean,gloss-cosine,"
    "synthetic-euclidean,synthetic-cosine"
)


def build_systems(case: data.Case, cfg: dict, with_pynndescent: bool) -> tuple[dict, dict]:
    """Builds every approximate index (by system name), recording CPU/wall time and the RSS it added.

    The first round's indexes are kept (and give the RSS); later rounds build throwaway copies,
    the systems taking turns, and each system's time is its fastest round's, as for queries."""
    ds, built, info = case.ds, {}, {}
    kinds = [systems.Orv, systems.Hnswlib, systems.Faiss]
    jit = None
    if with_pynndescent and case.metric == "poincare":
        with measure.Stopwatch() as jit:
            systems.Pynndescent.warm_up(case.metric, ds.dim)
        kinds.append(systems.Pynndescent)
    for rnd in range(cfg["build_rounds"]):
        for kind in kinds:
            gc.collect()
            s = kind(ds.dim, case.metric)  # frees the last throwaway, if any
            rss0 = measure.rss_bytes()
            with measure.Stopwatch() as sw:
                s.build(ds.base, ds.base_masks)
            if rnd > 0:
                entry = info[s.name]
                entry["cpu_s_rounds"].append(sw.cpu)
                if sw.cpu < entry["cpu_s"]:
                    entry["cpu_s"], entry["wall_s"] = sw.cpu, sw.wall
                continue
            entry = {"cpu_s": sw.cpu, "wall_s": sw.wall, "rss_delta": measure.rss_bytes() - rss0}
            entry["cpu_s_rounds"] = [sw.cpu]
            if isinstance(s, systems.Orv):
                entry["estimated_bytes"] = s.estimated_bytes()
                entry["stats"] = s.stats
            elif hasattr(s, "file_bytes"):
                entry["file_bytes"] = s.file_bytes()
            elif jit is not None:
                entry["jit_warm_up_cpu_s"] = jit.cpu
            info[s.name] = entry
            built[s.name] = s
    return built, info


def sweep(case: data.Case, built: dict, cfg: dict) -> dict:
    """Recall and QPS per system over the ef (or epsilon) values, systems interleaved per value."""
    ds, out = case.ds, {name: [] for name in built}
    prepared = {name: s.prepare_queries(ds.queries) for name, s in built.items()}
    steps = [(p, s) for p in cfg["efs"] for s in built.values() if s.param != "epsilon"]
    steps += [(e, s) for e in cfg["epsilons"] for s in built.values() if s.param == "epsilon"]
    for param, s in {s.name: (p, s) for p, s in steps}.values():  # untimed warm-up pass
        measure.run_queries(s.searcher(param), prepared[s.name][:200])
    # Systems take turns at each value, best of cfg["rounds"] passes.
    by_param = {}
    for param, s in steps:
        by_param.setdefault(param, []).append(s)
    for param, systems_at in tqdm(by_param.items(), desc=f"sweep {case.name}"):
        searches = {s.name: (s.searcher(param), prepared[s.name]) for s in systems_at}
        runs = measure.best_runs(searches, cfg["rounds"])
        for s in systems_at:
            ids, sw = runs[s.name]
            point = measure.recalls(ds, ids, case.gt_dist)
            point.update(param=param, qps=len(ids) / sw.cpu, qps_wall=len(ids) / sw.wall)
            out[s.name].append(point)
    return out


def exact(case: data.Case, orv: systems.Orv, cfg: dict) -> tuple[dict, list]:
    """Throughput and recall of the exhaustive searches on the first queries, and of
    orv_core's graph search at each ef of the sweep measured in the same rounds."""
    n = min(cfg["exact_queries"], len(case.ds.queries))
    sub = data.subset_queries(case, n)
    out = {}
    np_exact = systems.NumpyExact(sub.ds.dim, case.metric)
    np_exact.build(sub.ds.base, sub.ds.base_masks)
    with threadpool_limits(1):
        flat = [systems.OrvFlat(orv), np_exact]
        searches = {s.name: (s.searcher(), s.prepare_queries(sub.ds.queries)) for s in flat}
        # The graph search at every ef of the sweep, in the same rounds, so that its speed
        # against the flat scan's comes from the same spells of the machine.
        graph = {f"graph ef {ef}": ef for ef in cfg["efs"]}
        for name, ef in graph.items():
            searches[name] = (orv.searcher(ef), sub.ds.queries)
        # Untimed warm-up, as in the sweeps: x.sum() is the best of several passes.
        for search, queries in searches.values():
            measure.run_queries(search, queries[:20])
        runs = measure.best_runs(searches, cfg["rounds"])
        beside = []
        for name, (ids, sw) in runs.items():
            point = measure.recalls(sub.ds, ids, sub.gt_dist)
            point.update(qps=n / sw.cpu, qps_wall=n / sw.wall, n_queries=n)
            if name in graph:
                beside.append(dict(point, param=graph[name]))
            else:
                out[name] = point
    return out, beside


def filtered_methods(built: dict, cfg: dict, allowed_by_mask) -> list:
    """(method, system, ef, factory) per filtered variant; the factory makes the one-query
    search (query, mask) right before its run, since hnswlib keeps ef on the index."""
    orv, hnsw, fai = built["orv_core"], built["hnswlib"], built["faiss"]
    methods = [("orv filtered_search", orv, ef, partial(orv.filtered_searcher, ef))
               for ef in cfg["filtered_efs"]]  # fmt: skip
    methods += [("orv custom_hnsw_search (post-filter)", orv, ef,
                 partial(orv.filtered_searcher, ef, "post")) for ef in cfg["post_efs"]]  # fmt: skip
    methods.append(
        ("orv hardware_flat_search", orv, None, partial(orv.filtered_searcher, 0, "flat"))
    )
    methods += [("faiss HNSW + IDSelectorBitmap", fai, ef,
                 partial(fai.filtered_searcher, ef, allowed_by_mask))
                for ef in cfg["peer_filter_efs"]]  # fmt: skip
    methods += [("hnswlib filter callback", hnsw, ef,
                 partial(hnsw.filtered_searcher, ef, allowed_by_mask))
                for ef in cfg["hnswlib_filter_efs"]]  # fmt: skip
    return methods


def filtered(case: data.Case, built: dict, cfg: dict) -> dict:
    """Recall and QPS of the filtered searches against exact filtered ground truth."""
    n = min(cfg["filter_queries"], len(case.ds.queries))
    cache = {}

    def allowed_by_mask(m):
        if m not in cache:
            mm = np.uint64(m)
            cache[m] = (case.ds.base_masks & mm) == mm
        return cache[m]

    prepared = {name: s.prepare_queries(case.ds.queries[:n]) for name, s in built.items()}
    sub = data.subset_queries(case, n)
    out = {}
    for f in case.filters:
        masks = [int(m) for m in f.masks[:n]]
        gt_dist = case.filtered_gt[f.name][1][:n]
        rows = {}
        methods = filtered_methods(built, cfg, allowed_by_mask)
        for method, system, ef, factory in tqdm(methods, desc=f"filter {f.name}"):
            ids, sw = measure.run_queries(factory(), prepared[system.name], masks)
            point = measure.recalls(sub.ds, ids, gt_dist, f.masks[:n])
            point.update(param=ef, qps=n / sw.cpu, qps_wall=n / sw.wall)
            rows.setdefault(method, []).append(point)
        out[f.name] = {"selectivity": f.selectivity, "n_queries": n, "methods": rows}
    return out


def diagnose_graph(case: data.Case, built: dict, index_file: str, sample: int) -> dict:
    """Layer-0 degrees of each graph, and how often a search for a stored row returns it first."""
    hnsw, fai = built["hnswlib"], built["faiss"]
    out = {"orv_core": graph_check.summary(*graph_check.orv_layer0(index_file))}
    hnsw_file = index_file + ".hnswlib"
    hnsw.index.save_index(hnsw_file)
    out["hnswlib"] = graph_check.summary(*graph_check.hnswlib_layer0(hnsw_file))
    os.remove(hnsw_file)
    out["faiss"] = graph_check.summary(*graph_check.faiss_layer0(fai.index))
    rng = np.random.default_rng(5)
    rows = rng.choice(case.ds.n, min(sample, case.ds.n), replace=False)
    for s in (built["orv_core"], hnsw, fai):
        ids, _ = measure.run_queries(s.searcher(64), s.prepare_queries(case.ds.base[rows]))
        out[s.name]["self_found_at_ef64"] = float(np.mean(ids[:, 0] == rows))
    out["self_sample"] = len(rows)
    return out


def run_case(case: data.Case, cfg: dict, with_pynndescent: bool, workdir: str) -> dict:
    ds = case.ds
    print(f"\n== {case.name}: {ds.n} x {ds.dim}, {len(ds.queries)} queries", flush=True)
    data.attach_ground_truth(case)
    res = {"n": ds.n, "dim": ds.dim, "metric": case.metric, "n_queries": len(ds.queries)}
    if case.metric == "poincare":
        res["lorentz_exact_ip_recall"] = data.lorentz_check(case)
    built, res["builds"] = build_systems(case, cfg, with_pynndescent)
    res["sweeps"] = sweep(case, built, cfg)
    orv = built["orv_core"]
    res["exact"], res["graph_beside_flat"] = exact(case, orv, cfg)
    with threadpool_limits(1):  # the bytes every flat search reads, read once by NumPy
        res["read_once"] = measure.read_once_s(np.ascontiguousarray(ds.base, dtype=np.float32))
    res["filter_all_pass"] = checks.all_pass(case, orv, cfg)
    res["filter_size"] = checks.size_growth(case, orv, cfg)
    res["filtered"] = filtered(case, built, cfg)
    index_file = os.path.join(workdir, f"{case.name}.idx")
    res["persistence"] = persistence.measure_all(case, built, index_file)
    res["graph"] = diagnose_graph(case, built, index_file, cfg["self_sample"])
    os.remove(index_file)
    return res


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="subsets, a few ef values (~2 min)")
    ap.add_argument(
        "--cases",
        default=CASES,
        help="comma-separated subset of the default",
    )
    ap.add_argument(
        "--synthetic-n",
        help="comma-separated row counts of the synthetic cases, e.g. 100000,300000,1000000 "
        "(default 1000000, quick 20000)",
    )
    ap.add_argument("--no-pynndescent", action="store_true", help="skip the pynndescent peer")
    ap.add_argument("--out", help="output directory (default bench/, or bench/cache/quick)")
    ap.add_argument(
        "--merge",
        help="comma-separated output directories of runs made side by side: writes their joint "
        "results.json and report to --out instead of running",
    )
    args = ap.parse_args()
    if args.merge:
        out_dir = Path(args.out or BENCH)
        results = merge([Path(d) for d in args.merge.split(",")])
        (out_dir / "results.json").write_text(json.dumps(results, indent=1, default=_json_default))
        report.write(results, out_dir)
        print(f"\nwrote {out_dir}/results.json, RESULTS.md and plots")
        return
    cfg = dict(QUICK if args.quick else FULL)
    if args.synthetic_n:
        cfg["synthetic_n"] = [int(n) for n in args.synthetic_n.split(",")]
    out_dir = Path(args.out or (BENCH / "cache" / "quick" if args.quick else BENCH))
    out_dir.mkdir(parents=True, exist_ok=True)
    results = {
        "mode": "quick" if args.quick else "full",
        "config": cfg,
        "environment": environment.describe(),
        "datasets": {},
    }
    pynn = not args.no_pynndescent and not args.quick
    (BENCH / "cache").mkdir(exist_ok=True)
    with tempfile.TemporaryDirectory(dir=BENCH / "cache") as work:
        for name in args.cases.split(","):
            for case in make_cases(name.strip(), cfg):
                case_cfg = dict(cfg, **LARGE) if case.ds.n >= LARGE_N else cfg
                results["datasets"][case.name] = run_case(case, case_cfg, pynn, work)
            gc.collect()
            results["environment"]["load_average_at_end"] = os.getloadavg()
            text = json.dumps(results, indent=1, default=_json_default)
            (out_dir / "results.json").write_text(text)  # kept if a later case fails
        results["big_file_load"] = persistence.big_file_load(cfg["big_file_nodes"], work)
        results["batch"] = batch_bench.run(args.quick)
        (out_dir / "results.json").write_text(json.dumps(results, indent=1, default=_json_default))
    report.write(results, out_dir)
    print(f"\nwrote {out_dir}/results.json, RESULTS.md and plots")


def merge(dirs: list[Path]) -> dict:
    """The results of runs of disjoint cases made at the same time, as one: the first run's
    configuration, environment and whole-library measurements, every run's cases, and the load
    average at the end of the last to finish."""
    parts = [json.loads((d / "results.json").read_text()) for d in dirs]
    joint = dict(parts[0], datasets={})
    for part in parts:
        clash = set(part["datasets"]) & set(joint["datasets"])
        if clash:
            raise SystemExit(f"cases measured twice: {sorted(clash)}")
        joint["datasets"].update(part["datasets"])
    joint["side_by_side"] = [list(p["datasets"]) for p in parts]
    ends = [p["environment"].get("load_average_at_end") for p in parts]
    joint["environment"] = dict(joint["environment"], load_average_at_end=max(e for e in ends if e))
    return joint


def make_cases(name: str, cfg: dict) -> list[data.Case]:
    if name.startswith("fashion-"):
        metric = name.split("-", 1)[1]
        return [data.fashion_case(metric, cfg["fashion_base"], cfg["fashion_queries"])]
    if name == "wordnet":
        return [data.wordnet_case(cfg["wordnet_base"], cfg["wordnet_queries"])]
    if name in ("gloss-euclidean", "gloss-cosine"):
        metric = name.split("-", 1)[1]
        return [data.gloss_case(metric, cfg["gloss_base"], cfg["gloss_queries"])]
    if name in ("synthetic-euclidean", "synthetic-cosine"):
        metric = name.split("-", 1)[1]
        return [
            data.synthetic_case(metric, n, cfg["synthetic_queries"]) for n in cfg["synthetic_n"]
        ]
    raise SystemExit(f"unknown case {name!r}; known: {CASES}")


def _json_default(x):
    if isinstance(x, np.generic):
        return x.item()
    if isinstance(x, np.ndarray):
        return x.tolist()
    raise TypeError(type(x))


if __name__ == "__main__":
    main()
