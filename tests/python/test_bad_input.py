# Hostile and odd input: no refusal may leak a reference or memory, code run
# from inside a conversion (__index__, __float__) may re-enter the store, and
# nothing may crash the interpreter.
import gc
import sys
import tracemalloc

import pytest

from nodalis_core import GraphStore, PayloadDescriptor

DESCRIPTOR = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


REFUSED_CALLS = [
    lambda s: s.add_source(1),
    lambda s: s.add_source("\ud800"),
    lambda s: s.add_source("x", {"a": None}),
    lambda s: s.add_source("x", {"a": "\ud800"}),
    lambda s: s.add_source("x", {"a": 10**400}),
    lambda s: s.add_source("x", {1: 1}),
    lambda s: s.add_source("x", [("a", 1)]),
    lambda s: s.add_op("f", "01"),
    lambda s: s.add_op("f", [0, 2**64]),
    lambda s: s.add_op("f", [0, Index(-1)]),
    lambda s: s.add_op("f", [0, 1.5]),
    lambda s: s.add_op("f", [0, 5]),
    lambda s: s.add_op("f", [0], {"ok": 1, "bad": object()}),
    lambda s: s.add_reduction("f", 7),
    lambda s: s.add_exchange([9], {"scheme": "x"}),
    lambda s: s.add_external({"kind": "k"}, [0]),
    lambda s: s.add_external(dict(DESCRIPTOR, version=3), [0]),
    lambda s: s.add_external(3, [0]),
    lambda s: s.add_op(),
    lambda s: s.add_op("f", [], None, 4),
    lambda s: s.add_op("f", [], bogus=1),
    lambda s: PayloadDescriptor(**dict(DESCRIPTOR, kind=1)),
]


def run_refused(store, n):
    for _ in range(n):
        for call in REFUSED_CALLS:
            try:
                call(store)
            except (TypeError, ValueError, OverflowError):
                pass
            else:
                raise AssertionError("accepted")


def test_refusals_leak_nothing_and_change_nothing():
    store = GraphStore()
    store.add_source("x")
    run_refused(store, 50)  # warm caches (interned strings, free lists)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        run_refused(store, 500)
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert growth < 16 * 1024, growth
    assert store.node_count() == 1


def test_repeated_interning_leaks_nothing():
    store = GraphStore()
    store.add_source("x")
    args = ("mul", [0, 0], {"scalar": 1.5, "side": "r", "n": 2**70, "b": True})
    store.add_op(*args)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(20000):
            store.add_op(*args)
            store.add_external(DESCRIPTOR, [1], {"a": "b"})
        store.nodes()
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert growth < 16 * 1024, growth
    assert store.node_count() == 3


def test_argument_reference_counts_are_unchanged():
    store = GraphStore()
    store.add_source("x")
    name = "".join(["na", "me"])
    inputs = [0, Index(0)]
    value = "".join(["va", "lue"])
    params = {"k": value, "f": 0.25}
    bad_inputs = [0, 2**64]
    counts = [sys.getrefcount(o) for o in (name, inputs, value, params, bad_inputs)]
    for _ in range(100):
        store.add_op(name, inputs, params)
        with pytest.raises(OverflowError):
            store.add_op(name, bad_inputs, params)
        with pytest.raises(ValueError):
            store.add_op(name, [7], params)
        store.nodes()
    assert [sys.getrefcount(o) for o in (name, inputs, value, params, bad_inputs)] == counts


def test_conversion_code_may_reenter_the_store():
    store = GraphStore()
    store.add_source("x")

    class Reentrant:
        def __index__(self):
            # Converts another params dict on the same thread mid-conversion.
            store.add_source("inner", {"z": "inner-text", "y": 2.5})
            return 7

    outer = store.add_op("outer", [0], {"b": "outer-text", "a": Reentrant(), "c": 1.5})
    view = store.nodes()
    assert view[outer]["params"] == {"a": 7, "b": "outer-text", "c": 1.5}
    inner = [n for n in view if n["name"] == "inner"]
    assert inner[0]["params"] == {"y": 2.5, "z": "inner-text"}


def test_params_value_dropped_by_its_own_conversion():
    params = {}

    class SelfDeleting:
        def __index__(self):
            params.clear()
            params["a"] = "other"  # same size, different objects
            return 3

    params["a"] = SelfDeleting()
    store = GraphStore()
    assert store.nodes() == []
    i = store.add_source("x", params)
    assert store.nodes()[i]["params"] == {"a": 3}


@pytest.mark.parametrize(
    "inputs",
    [[2**63], [2**64 - 1], [Index(2**64 - 1)], [0] * 100000],
)
def test_extreme_but_valid_inputs_do_not_crash(inputs):
    store = GraphStore()
    store.add_source("x")
    if max(int(i) for i in inputs) > 0:
        with pytest.raises(ValueError):
            store.add_op("f", inputs)
    else:
        assert store.add_op("f", inputs) == 1


def test_large_params_and_names():
    store = GraphStore()
    params = {f"k{i}": i for i in range(5000)}
    params["text"] = "x" * 1_000_000
    i = store.add_source("n" * 100000, params)
    node = store.nodes()[i]
    assert node["params"] == params and len(node["name"]) == 100000
    # The per-thread buffers are fine for small maps afterwards.
    small = store.add_source("s", {"a": 1})
    assert store.nodes()[small]["params"] == {"a": 1}
