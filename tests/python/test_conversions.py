# Conversion of every argument: the accepted forms, the exact exception type
# and message of each refusal (with the argument prefix and chained cause where
# it applies), and that no refusal changes the store.
import math
import struct

import pytest

from nodalis_core import GraphStore, PayloadDescriptor

DESCRIPTOR = dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 2.5


class IntSub(int):
    pass


class StrSub(str):
    pass


class DictSub(dict):
    pass


def stored_params(params):
    store = GraphStore()
    store.add_source("x", params)
    return store.nodes()[0]["params"]


# ---- params ----------------------------------------------------------------

@pytest.mark.parametrize(
    "value, expected, kind",
    [
        (True, True, bool),
        (False, False, bool),
        (1, 1, int),
        (0, 0, int),
        (-1, -1, int),
        (2**30 - 1, 2**30 - 1, int),
        (-(2**30 - 1), -(2**30 - 1), int),
        (2**30, 2**30, int),
        (-(2**30), -(2**30), int),
        (-(2**63), -(2**63), int),
        (2**63 - 1, 2**63 - 1, int),
        (2**63, float(2**63), float),
        (2**70, float(2**70), float),
        (-(2**70), -float(2**70), float),
        (1.0, 1.0, float),
        (-0.0, -0.0, float),
        (math.inf, math.inf, float),
        ("1", "1", str),
        ("", "", str),
        ("é✓\U0001f600", "é✓\U0001f600", str),
        (Index(5), 5, int),
        (Index(2**64), float(2**64), float),
        (IntSub(7), 7, int),
        (StrSub("s"), "s", str),
        (Floaty(), 2.5, float),
    ],
)
def test_param_values_and_their_types(value, expected, kind):
    got = stored_params({"v": value})["v"]
    assert type(got) is kind
    assert got == expected
    if kind is float:
        assert math.copysign(1, got) == math.copysign(1, expected)


def test_nan_payloads_are_one_value():
    store = GraphStore()
    a = store.add_source("x", {"v": float("nan")})
    b = store.add_source("x", {"v": -float("nan")})
    c = store.add_source("x", {"v": math.inf - math.inf})
    assert a == b == c
    assert math.isnan(store.nodes()[a]["params"]["v"])
    assert store.add_source("x", {"v": 0.0}) != store.add_source("x", {"v": -0.0})


def test_params_are_sorted_and_order_free():
    store = GraphStore()
    a = store.add_source("x", {"b": 1, "a": 2, "ab": 3, "B": 4})
    b = store.add_source("x", {"B": 4, "ab": 3, "a": 2, "b": 1})
    assert a == b
    assert list(store.nodes()[a]["params"]) == ["B", "a", "ab", "b"]


def test_the_four_types_make_four_nodes():
    store = GraphStore()
    ids = [store.add_source("x", {"v": v}) for v in (True, 1, 1.0, "1")]
    assert len(set(ids)) == 4
    assert [type(n["params"]["v"]) for n in store.nodes()] == [bool, int, float, str]


@pytest.mark.parametrize("params", [DictSub(a=1), {"a": 1}])
def test_dict_subclass_is_a_dict(params):
    assert stored_params(params) == {"a": 1}


PARAM_VALUE_ERROR = "param values must be int, float, bool, or str"


@pytest.mark.parametrize(
    "params, error, message",
    [
        ([("a", 1)], TypeError, "params must be a dict or None"),
        ("a=1", TypeError, "params must be a dict or None"),
        (0, TypeError, "params must be a dict or None"),
        ({"a": None}, TypeError, PARAM_VALUE_ERROR),
        ({"a": [1]}, TypeError, PARAM_VALUE_ERROR),
        ({"a": b"1"}, TypeError, PARAM_VALUE_ERROR),
        ({"a": 10**400}, TypeError, PARAM_VALUE_ERROR),
        ({"a": "\ud800"}, TypeError, PARAM_VALUE_ERROR),
        ({"a": 1, "b": object()}, TypeError, PARAM_VALUE_ERROR),
        ({1: 1}, TypeError, "expected str, not int"),
        ({"\udcff": 1}, UnicodeEncodeError, None),
    ],
)
def test_params_refusals(params, error, message):
    store = GraphStore()
    with pytest.raises(error) as info:
        store.add_source("x", params)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
        assert not str(info.value).startswith("argument")
    assert store.node_count() == 0


def test_params_errors_are_not_swallowed_when_fatal():
    class Interrupting:
        def __index__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        stored_params({"a": Interrupting()})


def test_failing_index_falls_back_to_float_then_refuses():
    class Broken:
        def __index__(self):
            raise ValueError("no")

    class BrokenButFloat(Broken):
        def __float__(self):
            return 0.5

    assert stored_params({"a": BrokenButFloat()}) == {"a": 0.5}
    with pytest.raises(TypeError, match=PARAM_VALUE_ERROR):
        stored_params({"a": Broken()})


class _Mutating:
    """A value whose conversion changes the dict being converted."""

    def __init__(self, params, change):
        self.params, self.change = params, change

    def __index__(self):
        self.change(self.params)
        return 7


def _readd(params):
    value = params.pop("a")
    params["a"] = 5  # same size, same keys, another order
    params.pop("b")
    params["b"] = value


class _Twin(str):
    """Two of these with one text are two dict keys."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


@pytest.mark.parametrize(
    "change",
    [_readd, lambda p: p.update(zzz=1), lambda p: p.pop("b"), lambda p: p.clear()],
    ids=["delete-and-readd", "grow", "shrink", "clear"],
)
def test_params_dict_changed_during_conversion(change):
    # The map is the dict as it was when conversion began, never a mix.
    params = {"b": 2}
    params["a"] = _Mutating(params, change)
    store = GraphStore()
    x = store.add_source("x", params)
    assert store.nodes()[x]["params"] == {"a": 7, "b": 2}
    assert store.add_source("x", {"b": 2, "a": 7}) == x
    assert store.to_dot().count("a=") == 1


def test_params_keys_with_one_text_are_refused():
    store = GraphStore()
    store.add_source("x")
    with pytest.raises(ValueError, match="params has the key 'a' more than once"):
        store.add_op("f", [0], {_Twin("a"): 1, "b": 2, _Twin("a"): 2})
    assert store.node_count() == 1


# ---- name --------------------------------------------------------------------

@pytest.mark.parametrize(
    "call",
    [
        lambda s, v: s.add_source(v),
        lambda s, v: s.add_op(v, []),
        lambda s, v: s.add_reduction(v, []),
    ],
)
@pytest.mark.parametrize("bad, underlying", [(1, "expected str, not int"),
                                             (None, "expected str, not NoneType"),
                                             (b"x", "expected str, not bytes")])
def test_name_must_be_str(call, bad, underlying):
    store = GraphStore()
    with pytest.raises(TypeError) as info:
        call(store, bad)
    assert str(info.value) == "argument 'name': " + underlying
    assert type(info.value.__cause__) is TypeError
    assert str(info.value.__cause__) == underlying
    assert store.node_count() == 0


def test_name_with_surrogate_raises_unicode_encode_error_unprefixed():
    store = GraphStore()
    with pytest.raises(UnicodeEncodeError):
        store.add_source("a\ud800b")
    assert store.node_count() == 0


def test_name_accepts_str_subclass_and_any_text():
    store = GraphStore()
    assert store.add_source(StrSub("x")) == store.add_source("x")
    for name in ["", "a|b;c=d%", "\x00", "日本"]:
        i = store.add_source(name)
        assert store.nodes()[i]["name"] == name


# ---- inputs ------------------------------------------------------------------

INPUT_METHODS = [
    lambda s, v: s.add_op("f", v),
    lambda s, v: s.add_reduction("f", v),
    lambda s, v: s.add_exchange(v),
    lambda s, v: s.add_external(DESCRIPTOR, v),
]


@pytest.mark.parametrize("call", INPUT_METHODS)
@pytest.mark.parametrize(
    "inputs, underlying",
    [
        ("0", "Can't extract `str` to `Vec`"),
        ("", "Can't extract `str` to `Vec`"),
        (StrSub("01"), "Can't extract `str` to `Vec`"),
        (0, "expected a sequence, not int"),
        (None, "expected a sequence, not NoneType"),
        ({0: 0}, "expected a sequence, not dict"),
        ({0}, "expected a sequence, not set"),
        ([0, 1.0], "'float' object cannot be interpreted as an integer"),
        ([0, "1"], "'str' object cannot be interpreted as an integer"),
        ([None], "'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_inputs_type_errors_are_prefixed(call, inputs, underlying):
    store = GraphStore()
    store.add_source("x")
    with pytest.raises(TypeError) as info:
        call(store, inputs)
    assert str(info.value) == "argument 'inputs': " + underlying
    assert str(info.value.__cause__) == underlying
    assert info.value.__suppress_context__
    assert store.node_count() == 1


@pytest.mark.parametrize("call", INPUT_METHODS)
@pytest.mark.parametrize("bad", [-1, 2**64, -(2**100), Index(-1), Index(2**64)])
def test_out_of_range_ids_raise_overflow_unprefixed(call, bad):
    store = GraphStore()
    store.add_source("x")
    with pytest.raises(OverflowError) as info:
        call(store, [0, bad])
    assert not str(info.value).startswith("argument")
    assert store.node_count() == 1


@pytest.mark.parametrize(
    "inputs", [[0, 1], (0, 1), range(2), [True, Index(1)], [IntSub(0), 1], b"\x00\x01",
               bytearray(b"\x00\x01")],
)
def test_inputs_accept_any_integer_sequence(inputs):
    store = GraphStore()
    store.add_source("x")
    store.add_source("y")
    assert store.add_op("f", inputs) == 2


def test_inputs_from_a_getitem_sequence():
    class Seq:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError
            return i

    store = GraphStore()
    store.add_source("x")
    store.add_source("y")
    assert store.add_op("f", Seq()) == store.add_op("f", [0, 1])


def test_inputs_list_shrunk_by_index_during_conversion():
    # The inputs are the list as it was when conversion began, as for params.
    inputs = []

    class Shrinks:
        def __index__(self):
            inputs.clear()
            return 0

    inputs.extend([Shrinks(), 0, 0, 0])
    store = GraphStore()
    store.add_source("x")
    assert store.add_op("f", inputs) == store.add_op("f", [0, 0, 0, 0])
    assert inputs == []


def test_long_input_lists():
    store = GraphStore()
    store.add_source("x")
    many = [0] * 1000
    i = store.add_op("f", many)
    assert store.nodes()[i]["inputs"] == many


# ---- order of conversion -------------------------------------------------------

def test_name_is_converted_before_inputs_and_params():
    store = GraphStore()
    with pytest.raises(TypeError, match="^argument 'name'"):
        store.add_op(1, "bad", 5)
    with pytest.raises(TypeError, match="^argument 'inputs'"):
        store.add_op("f", "bad", 5)
    with pytest.raises(TypeError, match="^params must be"):
        store.add_op("f", [], 5)


def test_external_converts_inputs_before_descriptor():
    store = GraphStore()
    with pytest.raises(TypeError, match="^argument 'inputs'"):
        store.add_external(5, "bad", 5)
    with pytest.raises(TypeError, match="^descriptor must be a PayloadDescriptor or dict$"):
        store.add_external(5, [], 5)
    with pytest.raises(TypeError, match="^params must be"):
        store.add_external(DESCRIPTOR, [], 5)
    with pytest.raises(ValueError, match="^no node with id 0$"):
        store.add_external(DESCRIPTOR, [0], {"a": 1})


# ---- descriptors -----------------------------------------------------------------

@pytest.mark.parametrize("missing", list(DESCRIPTOR))
def test_descriptor_dict_missing_field(missing):
    store = GraphStore()
    partial = {k: v for k, v in DESCRIPTOR.items() if k != missing}
    with pytest.raises(ValueError) as info:
        store.add_external(partial, [])
    assert str(info.value) == f"descriptor missing required field '{missing}'"


def test_descriptor_dict_fields_checked_in_order():
    store = GraphStore()
    with pytest.raises(ValueError, match="'kind'"):
        store.add_external({}, [])
    with pytest.raises(TypeError, match="^expected str, not int$"):
        store.add_external({"preprocessing_ref": 1}, [])
    with pytest.raises(ValueError, match="'version'"):
        store.add_external({"kind": "k", "content_hash": "h", "framework": "f"}, [])


@pytest.mark.parametrize("field", list(DESCRIPTOR))
@pytest.mark.parametrize("bad", [None, 1, b"x"])
def test_descriptor_dict_values_must_be_str(field, bad):
    store = GraphStore()
    with pytest.raises(TypeError) as info:
        store.add_external(dict(DESCRIPTOR, **{field: bad}), [])
    assert str(info.value) == f"expected str, not {type(bad).__name__}"
    assert store.node_count() == 0


@pytest.mark.parametrize("bad", [None, [], "kind", PayloadDescriptor])
def test_descriptor_of_another_type(bad):
    with pytest.raises(TypeError, match="^descriptor must be a PayloadDescriptor or dict$"):
        GraphStore().add_external(bad, [])


def test_payload_descriptor_attributes():
    d = PayloadDescriptor(**DESCRIPTOR)
    assert (d.kind, d.content_hash, d.framework, d.version, d.io_schema) == ("k", "h", "f", "v", "s")
    assert d.preprocessing_ref is None
    assert PayloadDescriptor(**DESCRIPTOR, preprocessing_ref="p").preprocessing_ref == "p"
    assert PayloadDescriptor(**DESCRIPTOR, preprocessing_ref=None).preprocessing_ref is None
    assert PayloadDescriptor(**DESCRIPTOR) != d  # identity comparison
    assert hash(d) == hash(d)


@pytest.mark.parametrize("field", list(DESCRIPTOR) + ["preprocessing_ref"])
def test_payload_descriptor_arguments_must_be_str(field):
    with pytest.raises(TypeError) as info:
        PayloadDescriptor(**dict(DESCRIPTOR, **{field: 3}))
    assert str(info.value) == f"argument '{field}': expected str, not int"
    assert str(info.value.__cause__) == "expected str, not int"
    with pytest.raises(UnicodeEncodeError):
        PayloadDescriptor(**dict(DESCRIPTOR, **{field: "\ud800"}))


class _Int(int):
    pass


class _Float(float):
    pass


class _Str(str):
    pass


class _Dict(dict):
    pass


def _nan(payload, sign=0):
    return struct.unpack("<d", struct.pack("<Q", sign << 63 | 0x7FF0000000000000 | payload))[0]


@pytest.mark.parametrize(
    "plain, other",
    [
        # Small dicts of exact types take a shortcut; subclasses, more than
        # eight entries and non-ASCII text take the general route. Both must
        # describe one node the same way.
        ({"v": 3, "s": "r"}, {"s": _Str("r"), "v": _Int(3)}),
        ({"v": -7, "w": 2**40}, {"w": _Int(2**40), "v": _Int(-7)}),
        ({"v": 1.5}, _Dict(v=_Float(1.5))),
        ({"v": _nan(1)}, {"v": _Float(_nan(0x8000000000000, sign=1))}),
        ({"v": float("nan"), "w": 2}, {"w": _Int(2), "v": _nan(0xFFFFFFFFFFFFF)}),
        ({f"k{i}": i for i in range(9)}, {f"k{i}": _Int(i) for i in reversed(range(9))}),
        ({"é": 1.0, "a": True}, {"a": True, "é": _Float(1.0)}),
    ],
)
def test_both_param_routes_give_one_node(plain, other):
    store = GraphStore()
    a = store.add_source("x")
    first = store.add_op("f", [a], plain)
    assert store.add_op("f", [a], other) == first
    assert store.add_op("f", (a,), dict(reversed(list(plain.items())))) == first
    assert store.add_op("f", [a], {**plain, "extra": 0}) != first
    assert store.node_count() == 3


def test_long_records_and_many_inputs():
    store = GraphStore()
    a = store.add_source("a" * 1000, {"s": "v" * 5000})
    ids = [a] * 300
    b = store.add_op("b" * 700, ids, {"k": 1})
    assert store.add_op("b" * 700, list(ids), {"k": 1}) == b
    assert store.add_op("b" * 700, ids[:-1], {"k": 1}) != b
    node = store.nodes()[b]
    assert node["inputs"] == ids
    assert node["name"] == "b" * 700
