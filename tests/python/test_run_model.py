"""The interpreter's data model on the numpy engine: kernels, scalars and
broadcasting, key columns, exchanges, reductions and the empty-group
convention, source forms, user kernels, and the errors that name a node."""
import struct

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from hypothesis import given, settings, strategies as st
from nodalis_core import GraphStore

import nodalis
from nodalis.exchange import hash_partitions


def run1(build, sources, **kw):
    g = GraphStore()
    out = build(g)
    return nodalis.run(g, [out], sources=sources, **kw)[0]


X = np.array([-2.5, -0.0, 0.0, 0.5, 3.0, np.nan])
Y = np.array([1.0, 2.0, -3.0, 0.25, 4.0, 1.0])


@pytest.mark.parametrize("name,params,expect", [
    ("add", {}, lambda x, y: x + y), ("sub", {}, lambda x, y: x - y),
    ("div", {}, lambda x, y: x / y), ("pow", {}, np.power), ("mod", {}, np.mod),
    ("maximum", {}, np.maximum), ("lt", {}, np.less), ("xor", {}, np.logical_xor),
    ("sigmoid", {}, lambda x, y: 1 / (1 + np.exp(-x))), ("relu", {}, lambda x, y: np.maximum(x, 0)),
    ("sign", {}, lambda x, y: np.sign(x)), ("log1p", {}, lambda x, y: np.log1p(x)),
    ("round", {"decimals": 1}, lambda x, y: np.round(x, 1)),
    ("fill_nan", {"value": 7.0}, lambda x, y: np.where(np.isnan(x), 7.0, x)),
    ("clip", {"lo": -1.0, "hi": 1.0}, lambda x, y: np.clip(x, -1, 1)),
    ("cast", {"dtype": "int32"}, lambda x, y: np.nan_to_num(x).astype(np.int32)),
])
def test_standard_kernels_follow_numpy(name, params, expect):
    binary = name in ("add", "sub", "div", "pow", "mod", "maximum", "lt", "xor")
    x = X if name != "cast" else np.nan_to_num(X)

    def build(g):
        ins = [g.add_source("x"), g.add_source("y")] if binary else [g.add_source("x")]
        return g.add_op(name, ins, params)
    with np.errstate(all="ignore"):
        want = expect(x, Y)
    got = run1(build, {"x": x, "y": Y})
    assert list(got.columns) == ["x"]
    np.testing.assert_array_equal(got["x"].to_numpy(), want)


def test_where_takes_three_inputs():
    got = run1(lambda g: g.add_op("where", [g.add_source("c"), g.add_source("a"), g.add_source("b")]),
               {"c": np.array([True, False]), "a": np.array([1.0, 2.0]), "b": np.array([5.0, 6.0])})
    assert got["c"].tolist() == [1.0, 6.0]


@pytest.mark.parametrize("side,expect", [("r", [8.0, 6.0]), ("l", [-8.0, -6.0]), (None, [8.0, 6.0])])
def test_scalar_side(side, expect):
    params = {"scalar": 2.0} if side is None else {"scalar": 2.0, "side": side}
    got = run1(lambda g: g.add_op("sub", [g.add_source("x")], params), {"x": np.array([10.0, 8.0])})
    assert got["x"].tolist() == expect


def test_broadcasting_names_and_keys():
    wide = pd.DataFrame({"id": ["a", "b"], "p": [1.0, 2.0], "q": [3.0, 4.0]})
    other = pd.DataFrame({"q": [10.0, 20.0], "p": [100.0, 200.0]})
    g = GraphStore()
    w = g.add_source("wide", {"key": "id"})
    s, t, o = g.add_source("s"), g.add_source("t"), g.add_source("other")
    outs = [g.add_op("mul", [s, w]), g.add_op("add", [s, t]), g.add_op("add", [w, o]),
            g.add_op("neg", [w])]
    single, pair, cols, neg = nodalis.run(g, outs, sources={
        "wide": wide, "s": np.array([2.0, 3.0]), "t": np.array([1.0, 1.0]), "other": other})
    assert list(single.columns) == ["id", "p", "q"] and single["q"].tolist() == [6.0, 12.0]
    assert list(pair.columns) == ["s"] and pair["s"].tolist() == [3.0, 4.0]
    assert cols["p"].tolist() == [101.0, 202.0] and cols["q"].tolist() == [13.0, 24.0]
    assert neg["id"].tolist() == ["a", "b"] and neg["p"].tolist() == [-1.0, -2.0]


def _ref_partition(value, parts):
    """splitmix64 of the canonical key, written out on Python ints."""
    if isinstance(value, str):
        h = 0xCBF29CE484222325
        for byte in value.encode():
            h = ((h ^ byte) * 0x100000001B3) & (2**64 - 1)
        k = h
    elif isinstance(value, float):
        value = 0.0 if value == 0 else value
        k = 0x7FF8000000000000 if value != value else struct.unpack("<Q", struct.pack("<d", value))[0]
    else:
        k = int(value) & (2**64 - 1)
    z = (k + 0x9E3779B97F4A7C15) & (2**64 - 1)
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & (2**64 - 1)
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & (2**64 - 1)
    return (z ^ (z >> 31)) % parts


@pytest.mark.parametrize("keys", [
    np.array([0, 1, -1, 2**62, -(2**40), 7], np.int64), np.array([3, 200, 7], np.uint8),
    np.array([True, False, True]), np.array([1.5, -0.0, 0.0, np.nan, -np.inf, 1e300]),
    np.array(["a", "", "héllo", "a", "zz"], object),
])
def test_hash_exchange_places_rows_by_splitmix64(keys):
    parts = 5
    table = pd.DataFrame({"key": keys, "row": np.arange(len(keys), dtype=float)})
    got = run1(lambda g: g.add_exchange([g.add_source("t", {"key": "key"})],
                                        {"scheme": "hash", "parts": parts, "key": "key"}), {"t": table})
    want = sorted(range(len(keys)), key=lambda r: (_ref_partition(keys[r].item() if hasattr(keys[r], "item")
                                                                  else keys[r], parts), r))
    assert got["row"].tolist() == [float(r) for r in want]


@settings(max_examples=40, deadline=None)
@given(st.lists(st.one_of(st.floats(allow_nan=True), st.integers(-2**63, 2**63 - 1).map(float)),
                min_size=1, max_size=40), st.integers(1, 9), st.integers(0, 40))
def test_partition_of_a_row_does_not_depend_on_its_neighbours(values, parts, cut):
    keys = np.array(values, np.float64)
    whole = hash_partitions(keys, parts)
    pieces = np.concatenate([hash_partitions(keys[:cut], parts), hash_partitions(keys[cut:], parts)])
    assert whole.tolist() == pieces.tolist()
    flipped = np.where(keys == 0, -keys, keys)  # -0.0 <-> 0.0
    assert hash_partitions(flipped, parts).tolist() == whole.tolist()


def test_grouped_reduction_orders_keys_within_partitions():
    rng = np.random.default_rng(3)
    keys = rng.integers(0, 40, 500)
    vals = rng.normal(size=500)
    g = GraphStore()
    x = g.add_exchange([g.add_source("t", {"key": "k"})], {"scheme": "hash", "parts": 3, "key": "k"})
    outs = [g.add_reduction(r, [x], {"axis": 0}) for r in ("sum", "count", "max", "mean")]
    got = nodalis.run(g, outs, sources={"t": {"k": keys, "v": vals}})
    order = sorted(set(keys.tolist()), key=lambda k: (_ref_partition(k, 3), k))
    for frame, name in zip(got, ("sum", "count", "max", "mean")):
        assert frame["k"].tolist() == order
        for k, v in zip(frame["k"], frame["v"]):
            group = vals[keys == k]  # in row order, as the reduction accumulates
            want = {"sum": np.add.reduce(group), "count": len(group), "max": group.max(),
                    "mean": np.add.reduce(group) / len(group)}[name]
            assert v == pytest.approx(want, rel=1e-12)


@pytest.mark.parametrize("name,empty", [("sum", 0), ("prod", 1), ("count", 0), ("any", False),
                                        ("all", True), ("min", None), ("max", None), ("mean", None)])
def test_empty_groups(name, empty):
    g = GraphStore()
    src = g.add_source("t")
    rr = g.add_exchange([src], {"scheme": "round_robin", "parts": 4})
    outs = [g.add_reduction(name, [src], {"axis": 0}), g.add_reduction(name, [rr], {"axis": 0})]
    none = nodalis.run(g, outs, sources={"t": np.zeros(0)})
    _, per_part = nodalis.run(g, outs, sources={"t": np.array([1.0, 2.0])})
    for value in (none[0]["t"][0], none[1]["t"][0], per_part["t"][3]):
        assert (np.isnan(value) if empty is None else value == empty)
    assert per_part["part"].tolist() == [0, 1, 2, 3] and len(none[1]) == 4


def test_axis_one_reduces_across_value_columns():
    t = pd.DataFrame({"id": [1, 2], "a": [1.0, 5.0], "b": [4.0, 2.0]})
    got = run1(lambda g: g.add_reduction("max", [g.add_source("t", {"key": "id"})], {"axis": 1}), {"t": t})
    assert list(got.columns) == ["id", "max"] and got["max"].tolist() == [4.0, 5.0]


def test_float32_sums_accumulate_in_float64():
    x = np.full(10_000_000 // 100, 0.1, np.float32)
    got = run1(lambda g: g.add_reduction("sum", [g.add_source("x")], {"axis": 0}), {"x": x})
    assert got["x"].dtype == np.float64
    assert got["x"][0] == np.add.reduce(x.astype(np.float64))


def test_source_forms(tmp_path):
    frame = pd.DataFrame({"id": ["u", "v", "w"], "a": [1.0, 2.0, 3.0]})
    pq.write_table(pa.Table.from_pandas(frame), tmp_path / "t.parquet")
    frame.to_csv(tmp_path / "t.csv", index=False)
    frame.to_csv(tmp_path / "t.data", index=False)
    forms = [frame, pa.Table.from_pandas(frame), {"id": frame["id"].to_numpy(), "a": [1.0, 2.0, 3.0]},
             str(tmp_path / "t.parquet"), tmp_path / "t.csv"]
    for data in forms:
        got = run1(lambda g: g.add_op("neg", [g.add_source("t", {"key": "id"})]), {"t": data})
        assert got["id"].tolist() == ["u", "v", "w"] and got["a"].tolist() == [-1.0, -2.0, -3.0]
    got = run1(lambda g: g.add_op("neg", [g.add_source("t", {"key": "id", "format": "csv",
                                                              "path": str(tmp_path / "t.data")})]), None)
    assert got["a"].tolist() == [-1.0, -2.0, -3.0]


def test_user_kernels_add_and_override():
    kernels = {"mul": lambda a, b: a + b, "affine": lambda x, *, a, b: x * a + b,
               "spread": lambda x, axis: np.max(x, axis=axis) - np.min(x, axis=axis),
               "external:linear": lambda mats, *, descriptor, model, **p: mats[0].sum(axis=1)}
    g = GraphStore()
    x = g.add_source("x", {"key": "k"})
    desc = dict(kind="fn", content_hash="none", framework="linear", version="1", io_schema="")
    outs = [g.add_op("mul", [x, x]), g.add_op("affine", [x], {"a": 2.0, "b": 1.0}),
            g.add_reduction("spread", [x], {"axis": 1}),
            g.add_reduction("spread", [g.add_exchange([x], {"scheme": "hash", "parts": 2, "key": "k"})]),
            g.add_external(desc, [x])]
    data = {"k": np.array([1, 1, 2]), "a": np.array([1.0, 4.0, 2.0]), "b": np.array([0.0, 1.0, 9.0])}
    mul, affine, spread1, spread0, ext = nodalis.run(g, outs, sources={"x": data}, kernels=kernels)
    assert mul["a"].tolist() == [2.0, 8.0, 4.0] and affine["b"].tolist() == [1.0, 3.0, 19.0]
    assert spread1["spread"].tolist() == [1.0, 3.0, 7.0]
    assert dict(zip(spread0["k"], spread0["a"])) == {1: 3.0, 2: 0.0}
    assert ext["out"].tolist() == [1.0, 5.0, 11.0] and ext["k"].tolist() == [1, 1, 2]


def test_outputs_default_and_repeats():
    g = GraphStore()
    x = g.add_source("x")
    a = g.add_op("neg", [x])
    assert nodalis.run(g, sources={"x": np.ones(2)}) == []
    frames = nodalis.run(g, [a, x, a], sources={"x": np.ones(2)})
    assert [f.columns[0] for f in frames] == ["x"] * 3 and frames[0] is not frames[2]
    blob = GraphStore.deserialize(g.serialize(outputs=[a]))
    assert nodalis.run(blob, sources={"x": np.ones(2)})[0]["x"].tolist() == [-1.0, -1.0]
    with pytest.raises(ValueError, match="no node with id 9"):
        nodalis.run(g, [9])


def _bad_token_store():
    g = GraphStore()
    g.add_op("neg", [g.add_source("x")])
    reduced, _ = g.reduce(outputs=[1])
    return GraphStore.deserialize(reduced.serialize().replace(b"op|neg", b"zz|neg"))


ERRORS = [
    ("unknown op", lambda g: g.add_op("frobnicate", [g.add_source("x", {"path": "/nonexistent.parquet"})]),
     ["node 1 (op 'frobnicate')", "kernels={'frobnicate': fn}"]),
    ("missing source", lambda g: g.add_op("neg", [g.add_source("nowhere")]),
     ["node 0 (source 'nowhere')", "'nowhere'"]),
    ("bad scheme", lambda g: g.add_exchange([g.add_source("x")], {"scheme": "range", "parts": 2}),
     ["node 1 (exchange)", "'range'"]),
    ("missing key", lambda g: g.add_exchange([g.add_source("x")], {"scheme": "hash", "parts": 2}),
     ["node 1 (exchange)", "'key'"]),
    ("absent key column", lambda g: g.add_exchange([g.add_source("x")],
                                                   {"scheme": "hash", "parts": 2, "key": "user"}),
     ["node 1 (exchange)", "'user'"]),
    ("row mismatch", lambda g: g.add_op("add", [g.add_source("x"), g.add_source("short")]),
     ["node 2 (op 'add')", "row counts"]),
    ("kernel params", lambda g: g.add_op("clip", [g.add_source("x")], {"low": 1.0}),
     ["node 1 (op 'clip')", "'low'"]),
    ("arity", lambda g: g.add_op("exp", [g.add_source("x")], {"scalar": 2.0}),
     ["node 1 (op 'exp')", "takes 1 argument"]),
    ("reduction name", lambda g: g.add_reduction("median", [g.add_source("x")]),
     ["node 1 (reduction 'median')", "kernels="]),
    ("no model", lambda g: g.add_external(dict(kind="onnx", content_hash="abc", framework="onnx",
                                                version="1", io_schema=""), [g.add_source("x")]),
     ["node 1 (external 'onnx')", "models="]),
    ("framework", lambda g: g.add_external(dict(kind="m", content_hash="abc", framework="torch",
                                                 version="2", io_schema=""), [g.add_source("x")]),
     ["node 1 (external 'torch')", "'external:torch'"]),
]


@pytest.mark.parametrize("build,fragments", [e[1:] for e in ERRORS], ids=[e[0] for e in ERRORS])
def test_errors_name_the_node(build, fragments):
    g = GraphStore()
    out = build(g)
    with pytest.raises(nodalis.RunError) as info:
        nodalis.run(g, [out], sources={"x": np.ones(3), "short": np.ones(2)})
    for fragment in fragments:
        assert fragment in str(info.value)


def test_unparseable_member_token_names_the_stage():
    with pytest.raises(nodalis.RunError, match=r"node 1 \(stage\).*zz\|neg") as info:
        nodalis.run(_bad_token_store(), [1], sources={"x": np.ones(2)})
    assert info.value.node == 1 and info.value.kind == "stage"
