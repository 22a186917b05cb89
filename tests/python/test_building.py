# Building a graph: interning (equal nodes share an id), the node kinds kept
# apart, input validation, and that a refused call leaves the store as it was.
import pytest

from nodalis_core import GraphStore

DESCRIPTOR = dict(kind="onnx", content_hash="abc", framework="torch", version="2.1",
                  io_schema="f32[3]")


def test_new_store_is_empty():
    store = GraphStore()
    assert store.node_count() == 0
    assert store.outputs() == []
    assert store.nodes() == []


def test_equal_sources_share_one_id():
    store = GraphStore()
    assert store.add_source("x") == 0
    assert store.add_source("x") == 0
    assert store.add_source("x", {}) == 0
    assert store.add_source("x", None) == 0
    assert store.add_source("x", {"shape": 3}) == 1
    assert store.add_source("y") == 2
    assert store.node_count() == 3


def test_op_inputs_keep_order_and_repeats():
    store = GraphStore()
    store.add_source("x")
    store.add_source("y")
    assert store.add_op("add", [0, 0]) == 2
    assert store.add_op("add", [0, 1]) == 3
    assert store.add_op("add", [1, 0]) == 4
    assert store.add_op("add", (0, 1)) == 3
    assert store.add_op("add", [0]) == 5
    assert store.add_op("add", []) == 6
    assert store.nodes()[4]["inputs"] == [1, 0]


def test_kinds_with_equal_fields_are_different_nodes():
    store = GraphStore()
    store.add_source("x")
    ids = {
        store.add_op("sum", [0]),
        store.add_reduction("sum", [0]),
        store.add_exchange([0]),
        store.add_external(DESCRIPTOR, [0]),
    }
    assert len(ids) == 4
    assert store.add_reduction("sum", [0]) in ids


def test_exchange_identity_is_params_and_inputs():
    store = GraphStore()
    store.add_source("a")
    store.add_source("b")
    assert store.add_exchange([]) == 2
    assert store.add_exchange([0, 1], {"scheme": "hash"}) == 3
    assert store.add_exchange([0, 1], {"scheme": "hash"}) == 3
    assert store.add_exchange([0, 1], {"scheme": "range"}) == 4
    view = store.nodes()[3]
    assert (view["kind"], view["name"], view["params"]) == ("exchange", "", {"scheme": "hash"})


def test_external_from_descriptor_object_or_dict_is_one_node():
    from nodalis_core import PayloadDescriptor

    store = GraphStore()
    first = store.add_external(PayloadDescriptor(**DESCRIPTOR), [])
    assert store.add_external(DESCRIPTOR, []) == first
    assert store.add_external(dict(DESCRIPTOR, preprocessing_ref=None), []) == first
    assert store.add_external(dict(DESCRIPTOR, unknown="ignored"), []) == first
    assert store.add_external(dict(DESCRIPTOR, preprocessing_ref=""), []) != first
    with_ref = store.add_external(PayloadDescriptor(**DESCRIPTOR, preprocessing_ref="p"), [])
    assert store.add_external(dict(DESCRIPTOR, preprocessing_ref="p"), []) == with_ref


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.add_op("add", [0, 1]),
        lambda s: s.add_op("add", [1, 0]),
        lambda s: s.add_reduction("sum", [0, 1]),
        lambda s: s.add_exchange([1]),
        lambda s: s.add_external(DESCRIPTOR, [0, 1, 2]),
    ],
)
def test_unknown_input_id_is_refused_and_nothing_added(call):
    store = GraphStore()
    store.add_source("x")
    with pytest.raises(ValueError) as info:
        call(store)
    assert str(info.value) == "no node with id 1"
    assert store.node_count() == 1


def test_first_bad_id_in_input_order_is_reported():
    store = GraphStore()
    store.add_source("x")
    with pytest.raises(ValueError, match="^no node with id 7$"):
        store.add_op("f", [0, 7, 3])
    with pytest.raises(ValueError, match=f"^no node with id {2**64 - 1}$"):
        store.add_op("f", [2**64 - 1])


# Ids on both sides of the interpreter's one-digit ints, which are read
# without a call; the error names the id exactly as given.
@pytest.mark.parametrize("bad", [2**30 - 1, 2**30, 2**31 + 5, 2**32 - 1, 2**32, 2**62 + 3])
def test_unknown_ids_around_the_compact_int_limit(bad):
    store = GraphStore()
    store.add_source("x")
    for inputs in ([0, bad], (bad,), [0] * 8 + [bad]):
        with pytest.raises(ValueError, match=f"^no node with id {bad}$"):
            store.add_op("f", inputs)
    assert store.node_count() == 1


def test_many_nodes_get_dense_ids():
    store = GraphStore()
    store.add_source("x")
    for i in range(1, 2000):
        assert store.add_op("inc", [i - 1]) == i
    assert store.node_count() == 2000
    assert store.add_op("inc", [999]) == 1000
