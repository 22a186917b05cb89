"""Graphs and data for the interpreter's tests: random stores from the shared
workloads made runnable, and the frame comparison the tests agree on
(values with ==, NaN equal to NaN, -0.0 equal to 0.0).
"""
import importlib.util
import pathlib

import numpy as np
from nodalis_core import GraphStore

ROOT = pathlib.Path(__file__).resolve().parents[2]


def workloads():
    """The shared workload generators, beside the project root or in the workplace."""
    for base in (ROOT.parent / "shared" / "bench", ROOT / ".." / "shared" / "bench"):
        path = base / "workloads.py"
        if path.exists():
            spec = importlib.util.spec_from_file_location("workloads", path)
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
            return module
    return None


def same_values(a, b):
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape:
        return False
    if a.dtype.kind in "fcbiu" and b.dtype.kind in "fcbiu":
        a64, b64 = a.astype(np.float64), b.astype(np.float64)
        return bool(np.all((a64 == b64) | (np.isnan(a64) & np.isnan(b64))))
    return bool(np.all(a == b))


def assert_same_frames(left, right, names=True):
    assert len(left) == len(right)
    for i, (a, b) in enumerate(zip(left, right)):
        assert a.shape == b.shape, (i, a.shape, b.shape)
        if names:
            assert list(a.columns) == list(b.columns), (i, list(a.columns), list(b.columns))
        for ca, cb in zip(a.columns, b.columns):
            assert same_values(a[ca].to_numpy(), b[cb].to_numpy()), (i, ca, cb)


def runnable(view, parts=4):
    """A store that runs, built from any store's node view.

    Every source is a table (key column ``k``, value columns ``v`` and ``w``);
    binary ops only meet values with the same rows (others get a scalar
    instead), unary kernels drop scalars, exchanges get a key when their input
    still has one and are round-robin otherwise. Returns (store, outputs).
    """
    g = GraphStore()
    ids, rows, keyed = {}, {}, {}
    unary = {"neg", "exp", "tanh", "abs", "sqrt", "log"}
    for n in view:
        i, kind, name = n["id"], n["kind"], n["name"]
        ins = [ids[j] for j in n["inputs"]]
        if kind == "source":
            new = g.add_source(name, {**n["params"], "key": "k"})
            rows[new], keyed[new] = "src", True
        elif kind == "op":
            params = {k: v for k, v in n["params"].items() if k in ("scalar", "side")}
            if name == "where":
                name = "maximum"
            if name in unary:
                ins, params = ins[:1], {}
            elif len(ins) == 1 or len(ins) > 2 or len({rows[j] for j in ins}) > 1:
                ins = ins[:1]
                params.setdefault("scalar", 1.5)
            elif params.get("scalar") is not None:
                params = {}
            new = g.add_op(name, ins, params)
            rows[new], keyed[new] = rows[ins[0]], any(keyed[j] for j in ins)
        elif kind == "reduction":
            grouped = rows[ins[0]].startswith("x")
            new = g.add_reduction(name, ins[:1], {"axis": 0})
            rows[new], keyed[new] = f"r{new}", grouped and keyed[ins[0]]
        elif kind == "exchange":
            params = ({"scheme": "hash", "key": "k", "parts": parts} if keyed[ins[0]]
                      else {"scheme": "round_robin", "parts": parts})
            new = g.add_exchange(ins[:1], params)
            rows[new], keyed[new] = f"x{new}", keyed[ins[0]]
        else:
            continue
        ids[i] = new
    used = {j for n in g.nodes() for j in n["inputs"]}
    outputs = [n["id"] for n in g.nodes() if n["id"] not in used and n["kind"] != "source"]
    return g, outputs


def source_data(store, rows, seed=0):
    """A table for every source name of ``store``: the same int key ``k`` (the rows of
    all sources are the same rows) and float values with negative zeros, NaNs and
    infinities among them."""
    rng = np.random.default_rng(seed)
    data = {}
    k = rng.integers(0, 25, rows)
    for n in store.nodes():
        if n["kind"] == "source" and n["name"] not in data:
            v = rng.normal(size=rows)
            v[rng.random(rows) < 0.02] = -0.0
            v[rng.random(rows) < 0.01] = np.nan
            w = rng.uniform(0.5, 2.0, rows)
            w[rng.random(rows) < 0.01] = np.inf
            data[n["name"]] = {"k": k, "v": v, "w": w}
    return data
