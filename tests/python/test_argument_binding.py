# Argument binding errors must read exactly as the interpreter's own for a
# function of the same signature: each case is checked against a Python
# function declared with that signature and qualified name.
import pytest

from nodalis_core import GraphStore, PayloadDescriptor

REFERENCE_SOURCE = '''
class GraphStore:
    @staticmethod
    def add_source(name, params=None): pass
    @staticmethod
    def add_op(name, inputs, params=None): pass
    @staticmethod
    def add_reduction(name, inputs, params=None): pass
    @staticmethod
    def add_external(descriptor, inputs, params=None): pass
    @staticmethod
    def add_exchange(inputs, params=None): pass

def PayloadDescriptor(*, kind, content_hash, framework, version, io_schema,
                      preprocessing_ref=None): pass

def GraphStoreNew(): pass
GraphStoreNew.__qualname__ = "GraphStore"
'''
REFERENCE = {}
exec(REFERENCE_SOURCE, REFERENCE)

CALLS = [
    ((), {}),
    (("x",), {}),
    ((1, 2, 3, 4), {}),
    ((1, 2, 3, 4, 5), {}),
    ((1, 2), {"x": 3}),
    ((1,), {"x": 3, "y": 4}),
    ((1, 2), {"name": 3}),
    ((1, 2, 3, 4), {"name": 3}),
    ((1, 2, 3, 4), {"x": 3}),
    ((), {"name": 1}),
    ((), {"inputs": 1}),
    ((), {"params": 1}),
    ((1,), {"params": 1}),
    ((1, 2), {"params": 1}),
    ((1, 2), {"inputs": 1}),
    ((), {"descriptor": 1, "params": 2}),
]
METHODS = ["add_source", "add_op", "add_reduction", "add_external", "add_exchange"]


def reference_error(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except TypeError as e:
        return str(e)
    return None



# Only the calls that the reference refuses: the others bind, and what they
# do next is the conversions' business.
BINDING_ERRORS = [
    (method, args, kwargs, message)
    for method in METHODS
    for args, kwargs in CALLS
    if (message := reference_error(getattr(REFERENCE["GraphStore"], method), args, kwargs))
]


@pytest.mark.parametrize("method, args, kwargs, expected", BINDING_ERRORS)
def test_method_binding_errors_match_the_interpreter(method, args, kwargs, expected):
    store = GraphStore()
    with pytest.raises(TypeError) as info:
        getattr(store, method)(*args, **kwargs)
    assert str(info.value) == expected
    assert store.node_count() == 0


FIELDS = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((), {"kind": "k"}),
        ((), {k: v for k, v in FIELDS.items() if k != "kind"}),
        ((), {k: v for k, v in FIELDS.items() if k not in ("kind", "io_schema")}),
        ((1,), {}),
        ((1,), {"kind": "k"}),
        ((1, 2), dict(FIELDS)),
        ((), dict(FIELDS, extra=1)),
        ((), dict(FIELDS, preprocessing_ref=None, x=None)),
    ],
)
def test_constructor_binding_errors_match_the_interpreter(args, kwargs):
    expected = reference_error(REFERENCE["PayloadDescriptor"], args, kwargs)
    assert expected is not None
    with pytest.raises(TypeError) as info:
        PayloadDescriptor(*args, **kwargs)
    assert str(info.value) == expected


def test_the_quoted_messages():
    store = GraphStore()
    cases = [
        (lambda: store.add_op("x"),
         "GraphStore.add_op() missing 1 required positional argument: 'inputs'"),
        (lambda: store.add_op("x", [], x=1),
         "GraphStore.add_op() got an unexpected keyword argument 'x'"),
        (lambda: store.add_op(1, 2, 3, 4),
         "GraphStore.add_op() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: store.add_op("x", [], name="y"),
         "GraphStore.add_op() got multiple values for argument 'name'"),
        (lambda: PayloadDescriptor(content_hash="h", framework="f", version="v", io_schema="s"),
         "PayloadDescriptor() missing 1 required keyword-only argument: 'kind'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((1, 2), {"y": 1})])
def test_graph_store_constructor_takes_nothing(args, kwargs):
    expected = reference_error(REFERENCE["GraphStoreNew"], args, kwargs)
    with pytest.raises(TypeError) as info:
        GraphStore(*args, **kwargs)
    assert str(info.value) == expected


@pytest.mark.parametrize("method", ["node_count", "nodes", "outputs"])
def test_no_argument_methods_refuse_arguments(method):
    store = GraphStore()
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        getattr(store, method)(1)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        getattr(store, method)(x=1)


def test_all_parameters_by_keyword_in_any_order():
    store = GraphStore()
    assert store.add_source(params={"a": 1}, name="x") == 0
    assert store.add_op(params=None, inputs=[0], name="neg") == 1
    assert store.add_reduction(inputs=[1], name="sum") == 2
    d = dict(FIELDS)
    assert store.add_external(params={}, inputs=[2], descriptor=d) == 3
    assert store.add_exchange(params={"scheme": "hash"}, inputs=[3]) == 4
    # The same nodes positionally get the same ids.
    assert store.add_source("x", {"a": 1}) == 0
    assert store.add_op("neg", [0]) == 1
    assert store.add_external(d, [2], None) == 3
    assert store.add_exchange([3], {"scheme": "hash"}) == 4


def test_non_string_keyword_names_are_refused():
    store = GraphStore()
    with pytest.raises(TypeError):
        store.add_source("x", **{1: 2})
