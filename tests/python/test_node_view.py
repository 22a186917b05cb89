# GraphStore.nodes(): one dict per node in id order, keys in their fixed
# order, values of the documented types, and a view independent of the store.
import pytest
from nodalis_core import GraphStore, PayloadDescriptor

BASE_KEYS = ["id", "output", "inputs", "kind", "name", "params"]


def build_pipeline():
    store = GraphStore()
    x = store.add_source("x", {"dtype": "f32", "rows": 1000})
    w = store.add_external(
        PayloadDescriptor(kind="onnx", content_hash="sha256:00ff", framework="torch",
                          version="2.1", io_schema="f32[3]", preprocessing_ref="norm-v1"), [])
    y = store.add_op("mul", [x, w], {"scalar": 1.5, "fused": False})
    part = store.add_exchange([y], {"scheme": "hash", "parts": 8})
    total = store.add_reduction("sum", [part], {"axis": 0})
    plain = store.add_external(
        {"kind": "table", "content_hash": "h", "framework": "arrow", "version": "14",
         "io_schema": "i64"}, [total])
    return store, (x, w, y, part, total, plain)


def test_every_kind_in_the_view():
    store, ids = build_pipeline()
    view = store.nodes()
    assert [n["id"] for n in view] == list(range(6)) == list(ids)
    assert [n["kind"] for n in view] == ["source", "external", "op", "exchange", "reduction",
                                         "external"]
    assert [n["name"] for n in view] == ["x", "", "mul", "", "sum", ""]
    assert [n["inputs"] for n in view] == [[], [], [0, 1], [2], [3], [4]]
    assert [n["output"] for n in view] == [False] * 6
    assert view[0]["params"] == {"dtype": "f32", "rows": 1000}
    assert view[2]["params"] == {"fused": False, "scalar": 1.5}
    assert view[3]["params"] == {"parts": 8, "scheme": "hash"}
    assert view[1]["descriptor"] == {
        "kind": "onnx", "content_hash": "sha256:00ff", "framework": "torch", "version": "2.1",
        "io_schema": "f32[3]", "preprocessing_ref": "norm-v1",
    }
    assert view[5]["descriptor"]["preprocessing_ref"] is None


def test_key_order_and_value_types():
    store, _ = build_pipeline()
    for node in store.nodes():
        expected = BASE_KEYS + (["descriptor"] if node["kind"] == "external" else [])
        assert list(node) == expected
        assert type(node["id"]) is int and type(node["output"]) is bool
        assert type(node["inputs"]) is list and all(type(i) is int for i in node["inputs"])
        assert type(node["params"]) is dict
        if "descriptor" in node:
            assert list(node["descriptor"]) == ["kind", "content_hash", "framework", "version",
                                                "io_schema", "preprocessing_ref"]


def test_view_is_a_fresh_copy():
    store, _ = build_pipeline()
    view = store.nodes()
    view[0]["params"]["rows"] = 0
    view[2]["inputs"].append(99)
    view.clear()
    again = store.nodes()
    assert again[0]["params"]["rows"] == 1000
    assert again[2]["inputs"] == [0, 1]
    assert store.nodes() == again


def test_view_follows_growth():
    store = GraphStore()
    store.add_source("x")
    first = store.nodes()
    store.add_op("neg", [0])
    assert len(first) == 1
    assert len(store.nodes()) == 2


def test_outputs_of_a_built_store_are_empty():
    store, _ = build_pipeline()
    assert store.outputs() == []
    assert store.outputs() is not store.outputs()


def _stage_blob(token: bytes) -> bytes:
    """A source x and a stage over it whose one member has `token`."""
    import struct
    source = b"\x00" + struct.pack("<I", 1) + b"x" + struct.pack("<I", 0)
    stage = (b"\x04" + struct.pack("<IQ", 1, 0) + struct.pack("<I", 1)
             + struct.pack("<I", len(token)) + token + struct.pack("<I", 1) + b"\x00"
             + struct.pack("<I", 0))
    return b"NIR1" + struct.pack("<I", 2) + source + stage + struct.pack("<I", 0)


@pytest.mark.parametrize("token, shown", [
    (b"src|x", '"src|x"'),
    (b"op|add|scalar", '"op|add|scalar"'),
    (b'op|a"b|zz', '"op|a\\"b|zz"'),
    (b"op", '"op"'),
])
def test_unparseable_stage_member_token(token, shown):
    store = GraphStore.deserialize(_stage_blob(token))
    with pytest.raises(ValueError) as info:
        store.nodes()
    assert str(info.value) == "unparseable stage member token " + shown


def test_parseable_stage_member_is_described():
    store = GraphStore.deserialize(_stage_blob(b"red|sum|axis=i0"))
    stage = store.nodes()[1]
    assert stage["kind"] == "stage" and stage["n_members"] == 1
    assert stage["members"] == [
        {"kind": "red", "name": "sum", "params": {"axis": 0}, "inputs": [("input", 0)]}]


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("failing", [False, True])
def test_collector_state_is_kept(enabled, failing):
    import gc

    store = GraphStore.deserialize(_stage_blob(b"op")) if failing else build_pipeline()[0]
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        if failing:
            with pytest.raises(ValueError):
                store.nodes()
        else:
            store.nodes()
        assert gc.isenabled() == enabled
    finally:
        (gc.enable if was else gc.disable)()


def test_many_distinct_texts_keep_their_values():
    # Names and parameter texts that share lengths, prefixes and non-ASCII
    # characters, more of them than any table of reused strs holds.
    store = GraphStore()
    names = [f"n{i}" for i in range(600)] + [f"é{i}" for i in range(50)] + ["x" * 60, "x" * 61]
    for i, name in enumerate(names):
        store.add_source(name, {f"k{i % 7}": name, "tag": "t" if i % 2 else "u"})
    view = store.nodes()
    assert [n["name"] for n in view] == names
    assert [n["params"] for n in view] == [
        {f"k{i % 7}": name, "tag": "t" if i % 2 else "u"} for i, name in enumerate(names)]


def test_inputs_near_and_far():
    # Inputs at distances around the ones the view treats alike, each checked
    # against the ids the node was built with.
    store = GraphStore()
    for i in range(2100):
        store.add_source("s", {"i": i})
    given = {}
    for distance in (1, 2, 1023, 1024, 1025, 2047, 2048, 2049):
        new_id = store.node_count()
        inputs = [new_id - distance, new_id - distance - 1, new_id - 1]
        assert store.add_op("neg", inputs) == new_id
        given[new_id] = inputs
    view = store.nodes()
    assert {n["id"]: n["inputs"] for n in view if n["kind"] == "op"} == given
    assert all(n["inputs"] == [] for n in view[:2100])


def test_repeated_values_are_separate_objects():
    # Nodes with equal names and params share what is immutable, never a
    # container: changing one node's dicts changes no other node.
    store = GraphStore()
    x = store.add_source("x")
    for i in range(6):
        store.add_op("mul", [x], {"scalar": 1.5, "side": "r"})  # interned once
        store.add_op("mul", [x, i], {"scalar": 1.5, "side": "r"})
    view = store.nodes()
    first, *rest = [n for n in view if n["kind"] == "op"]
    first["params"]["scalar"] = 0.0
    first["name"] = "add"
    first["inputs"].append(99)
    assert all(n["params"] == {"scalar": 1.5, "side": "r"} and n["name"] == "mul" for n in rest)
    assert all(99 not in n["inputs"] for n in rest)
    assert store.nodes()[1] == {**first, "params": {"scalar": 1.5, "side": "r"}, "name": "mul",
                                "inputs": first["inputs"][:-1]}


def test_names_met_again_in_any_order():
    # Many names, each met several times in shifting order, so that what the
    # view keeps per name is replaced again and again.
    store = GraphStore()
    x = store.add_source("x")
    names = [f"op{(i * 37) % 150}" for i in range(900)]
    for i, name in enumerate(names):
        (store.add_op if i % 3 else store.add_reduction)(name, [x], {"k": i})
    view = store.nodes()[1:]
    assert [n["name"] for n in view] == names
    assert [n["kind"] for n in view] == ["reduction" if i % 3 == 0 else "op"
                                         for i in range(len(names))]
    assert [n["params"] for n in view] == [{"k": i} for i in range(len(names))]


def _collections_during(call):
    """call()'s result and how many collections started while it ran."""
    import gc

    started = []

    def count(phase, info):
        if phase == "start":
            started.append(info["generation"])

    gc.callbacks.append(count)
    try:
        return call(), len(started)
    finally:
        gc.callbacks.remove(count)


def _free_threaded():
    import sysconfig

    return bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.parametrize("enabled, young_threshold, collects", [
    (True, 700, True), (True, 0, False), (False, 700, False)])
def test_collector_runs_only_as_it_would_by_itself(enabled, young_threshold, collects):
    # A large view lets the collector visit its young generations as it goes,
    # unless the program turned collection off, by either means.
    import gc

    store = GraphStore()
    for i in range(3000):
        store.add_source("s", {"i": i})
    was_enabled, was_threshold = gc.isenabled(), gc.get_threshold()
    (gc.enable if enabled else gc.disable)()
    gc.set_threshold(young_threshold, *was_threshold[1:])
    try:
        view, collections = _collections_during(store.nodes)
    finally:
        gc.set_threshold(*was_threshold)
        (gc.enable if was_enabled else gc.disable)()
    assert (collections > 0) == (collects and not _free_threaded())
    assert [n["params"] for n in view] == [{"i": i} for i in range(3000)]
    assert gc.is_tracked(view)


def test_code_the_collector_runs_cannot_spoil_the_view():
    # A collection callback that walks every container it can find and empties
    # the node dicts met so far: the view must not show a hole, and nodes made
    # after a collection must not copy what the callback changed.
    import gc

    store = GraphStore()
    store.add_source("x")
    for i in range(1, 3000):
        store.add_op("mul", [i - 1, max(0, i - 1500)], {"scalar": 1.5})

    def spoil(phase, info):
        if phase != "stop":
            return
        for o in gc.get_objects():
            if type(o) is list:
                for _ in o:  # a list with empty places would crash here
                    pass
            elif type(o) is dict and list(o)[:6] == BASE_KEYS:
                o["params"].clear()
                o.clear()

    gc.callbacks.append(spoil)
    try:
        view = store.nodes()
    finally:
        gc.callbacks.remove(spoil)
    # Made only now: the callback would have emptied these too.
    expected = [{"id": 0, "output": False, "inputs": [], "kind": "source", "name": "x",
                 "params": {}}]
    expected += [{"id": i, "output": False, "inputs": [i - 1, max(0, i - 1500)], "kind": "op",
                  "name": "mul", "params": {"scalar": 1.5}} for i in range(1, 3000)]
    kept = [i for i, node in enumerate(view) if node]
    assert all(view[i] == expected[i] for i in kept)
    assert len(kept) < len(view) or _free_threaded()
    assert kept  # the nodes made after the last collection
