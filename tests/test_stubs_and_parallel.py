"""The shipped type stubs match the module, and the batch helper matches one-by-one calls."""

import ast
import pathlib
import re

import numpy as np
import pytest

import orv_core
from velmora.parallel import batch_search

STUB = pathlib.Path(orv_core.__file__).with_name("orv_core.pyi")
if not STUB.exists():
    STUB = pathlib.Path(__file__).resolve().parents[1] / "orv_core.pyi"


def stub_signatures():
    tree = ast.parse(STUB.read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "HyperbolicIndex")
    out = {}
    for fn in cls.body:
        if isinstance(fn, ast.FunctionDef):
            args = fn.args.args[1:]
            defaults = [None] * (len(args) - len(fn.args.defaults)) + fn.args.defaults
            out[fn.name] = [
                (a.arg, ast.unparse(a.annotation), None if d is None else ast.unparse(d))
                for a, d in zip(args, defaults)
            ] + [("->", ast.unparse(fn.returns), None)]
    return out


def module_signature(name):
    doc = getattr(orv_core.HyperbolicIndex, name).__doc__.splitlines()[0]
    inner, ret = re.match(r"\w+\(self: orv_core\.HyperbolicIndex,? ?(.*)\) -> (.*)$", doc).groups()
    parts, depth, cur = [], 0, ""
    for ch in inner:
        depth += ch == "["
        depth -= ch == "]"
        if ch == "," and depth == 0:
            parts.append(cur.strip())
            cur = ""
        else:
            cur += ch
    if cur.strip():
        parts.append(cur.strip())
    sig = []
    for p in parts:
        m = re.match(r"(\w+): (.*?)(?: = (.*))?$", p)
        sig.append((m.group(1), m.group(2), m.group(3)))
    return sig + [("->", ret, None)]


def normalise(sig):
    return [(n, a.replace("'", '"'), None if d is None else d.replace("'", '"')) for n, a, d in sig]


def test_stub_lists_the_constructor_and_twelve_methods_in_order():
    names = [
        n for n in orv_core.HyperbolicIndex.__dict__ if not n.startswith("_") or n == "__init__"
    ]
    assert list(stub_signatures()) == names
    assert len(names) == 13


@pytest.mark.parametrize("name", list(stub_signatures()))
def test_stub_signature_matches_module(name):
    assert normalise(stub_signatures()[name]) == normalise(module_signature(name))


@pytest.mark.parametrize(
    "method, extra",
    [
        ("custom_hnsw_search", {}),
        ("filtered_search", {"filter_mask": 1}),
        ("hardware_flat_search", {"filter_mask": 0}),
    ],
)
def test_batch_search_equals_one_by_one(method, extra):
    rng = np.random.default_rng(7)
    data = rng.normal(size=(400, 8)).astype(np.float32)
    ix = orv_core.HyperbolicIndex(8, metric="euclidean")
    for i, v in enumerate(data):
        ix.add_item_and_link(v, mask=i % 3)
    queries = rng.normal(size=(50, 8)).astype(np.float32)
    ids, dists = batch_search(ix, queries, 5, method=method, threads=2, **extra)
    for q, row, drow in zip(queries, ids, dists):
        want = getattr(ix, method)(q, 5, **extra)
        assert row[: len(want)].tolist() == want
        assert (row[len(want) :] == -1).all()
        assert np.isnan(drow[len(want) :]).all()
        assert drow[: len(want)].tolist() == [ix.compute_distance(q, i) for i in want]


def test_batch_search_rejects_bad_arguments():
    ix = orv_core.HyperbolicIndex(4)
    with pytest.raises(ValueError, match="2-D"):
        batch_search(ix, np.zeros(4, np.float32), 3)
    with pytest.raises(ValueError, match="method"):
        batch_search(ix, np.zeros((2, 4), np.float32), 3, method="nope")
