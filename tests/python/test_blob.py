# The IR blob from Python: exact bytes of representative stores, round trips,
# every decoder error and which one wins, normalisation of loose blobs, the
# outputs= rules, and the argument conventions of serialize/deserialize.
import inspect
import math
import struct
import time

import pytest

from nodalis_core import GraphStore

# ---- an independent writer of blob bytes -----------------------------------


def u8(v):
    return struct.pack("<B", v)


def u32(v):
    return struct.pack("<I", v)


def u64(v):
    return struct.pack("<Q", v)


def text(s):
    b = s.encode() if isinstance(s, str) else s
    return u32(len(b)) + b


def header(n):
    return b"NIR1" + u32(n)


def outputs(*ids):
    return u32(len(ids)) + b"".join(u64(i) for i in ids)


def inputs(*ids):
    return u32(len(ids)) + b"".join(u64(i) for i in ids)


def entry(key, tag, payload):
    return text(key) + u8(tag) + payload


def pmap(*entries):
    return u32(len(entries)) + b"".join(entries)


def i64(v):
    return struct.pack("<q", v)


def f64(v):
    return struct.pack("<d", v)


def source(name, params=pmap()):
    return u8(0) + text(name) + params


def op(name, ids, params=pmap()):
    return u8(1) + text(name) + params + inputs(*ids)


def stage(ids, members):
    rec = u8(4) + inputs(*ids) + u32(len(members))
    for token, refs in members:
        rec += text(token) + u32(len(refs)) + b"".join(u8(t) + u32(i) for t, i in refs)
    return rec


DESCRIPTOR = dict(kind="onnx", content_hash="abc", framework="torch", version="2.1",
                  io_schema="f32[3]")


def decode_error(blob):
    with pytest.raises(ValueError) as info:
        GraphStore.deserialize(blob)
    return str(info.value)


# ---- exact bytes -------------------------------------------------------------


def test_empty_store_is_twelve_bytes():
    blob = GraphStore().serialize()
    assert blob == bytes.fromhex("4E495231 00000000 00000000")
    back = GraphStore.deserialize(blob)
    assert back.node_count() == 0 and back.outputs() == []


def test_marked_source_matches_the_reference_bytes():
    reference = bytes.fromhex("4E495231 01000000 00 01000000 78 00000000 01000000 0000000000000000")
    store = GraphStore()
    store.add_source("x")
    assert store.serialize(outputs=[0]) == reference
    back = GraphStore.deserialize(reference)
    assert back.outputs() == [0]
    assert back.serialize() == reference


def test_representative_store_has_exact_bytes():
    store = GraphStore()
    x = store.add_source("x", {"shape": 3, "dtype": "f32"})
    add = store.add_op("add", [x, x], {"side": "r", "scalar": 0.5})
    red = store.add_reduction("sum", [add], {"axis": 0, "keep": True})
    ext = store.add_external(dict(DESCRIPTOR, preprocessing_ref=""), [red])
    exch = store.add_exchange([ext], {"scheme": "hash"})
    expected = (
        header(5)
        + source("x", pmap(entry("dtype", 3, text("f32")), entry("shape", 0, i64(3))))
        + op("add", [0, 0], pmap(entry("scalar", 1, f64(0.5)), entry("side", 3, text("r"))))
        + u8(2) + text("sum") + pmap(entry("axis", 0, i64(0)), entry("keep", 2, u8(1))) + inputs(1)
        + u8(3) + text("onnx") + text("abc") + text("torch") + text("2.1") + text("f32[3]")
        + u8(1) + text("") + pmap() + inputs(2)
        + u8(5) + pmap(entry("scheme", 3, text("hash"))) + inputs(3)
    )
    assert store.serialize() == expected + outputs()
    assert store.serialize(outputs=[exch, x]) == expected + outputs(4, 0)


def test_stage_record_matches_the_reference_bytes():
    record = bytes.fromhex("04 01000000 0000000000000000 01000000 06000000 6F707C6E6567 01000000 00 00000000")
    assert record == stage([0], [("op|neg", [(0, 0)])])
    blob = header(2) + source("x") + record + outputs(1)
    store = GraphStore.deserialize(blob)
    assert store.serialize() == blob
    view = store.nodes()[1]
    assert view["kind"] == "stage" and view["inputs"] == [0] and view["n_members"] == 1
    assert view["members"] == [{"kind": "op", "name": "neg", "params": {}, "inputs": [("input", 0)]}]


# ---- round trips -------------------------------------------------------------


def built_store():
    store = GraphStore()
    a = store.add_source("a", {"k": "v;|=%", "": -1})
    b = store.add_source("b\u00e9\n", {"flag": False})
    m = store.add_op("mul", [a, b, a])
    store.add_reduction("max", [m], {"axis": -3})
    store.add_external(DESCRIPTOR, [m, b], {"w": 2.0 ** 70})
    store.add_external(dict(DESCRIPTOR, preprocessing_ref="norm"), [])
    store.add_exchange([m], {})
    return store


def test_round_trip_is_byte_identical_with_the_same_ids_and_marks():
    blob = built_store().serialize(outputs=[6, 2, 0])
    store = GraphStore.deserialize(blob)
    assert store.outputs() == [6, 2, 0]
    assert store.serialize() == blob
    again = GraphStore.deserialize(store.serialize())
    assert again.nodes() == store.nodes()
    assert again.node_count() == 7


def test_default_output_section_is_the_marks_in_mark_order():
    marked = GraphStore.deserialize(built_store().serialize(outputs=[3, 1]))
    assert marked.serialize()[-20:] == outputs(3, 1)
    # The marks decide the default, and an explicit list never changes them.
    assert marked.serialize(outputs=[]).endswith(outputs())
    assert marked.outputs() == [3, 1]


@pytest.mark.parametrize("bits", [0x8000000000000000, 0x7FF0000000000123, 0xFFF8000000000001,
                                  0x7FF8000000000000, 0x0000000000000001])
def test_float_bit_patterns_survive(bits):
    blob = header(1) + source("s", pmap(entry("v", 1, u64(bits)))) + outputs()
    store = GraphStore.deserialize(blob)
    assert store.serialize() == blob
    value = store.nodes()[0]["params"]["v"]
    assert struct.pack("<d", value) == u64(bits) or math.isnan(value)


def test_negative_zero_from_python_is_kept():
    store = GraphStore()
    store.add_source("s", {"z": -0.0})
    back = GraphStore.deserialize(store.serialize())
    z = back.nodes()[0]["params"]["z"]
    assert z == 0.0 and math.copysign(1.0, z) == -1.0
    assert back.add_source("s", {"z": 0.0}) == 1  # +0.0 is another node


# ---- decoder errors ----------------------------------------------------------

TRUNCATED = "truncated nodalis IR blob"
BAD_MAGIC = "not a nodalis IR blob (bad magic/version)"


@pytest.mark.parametrize("blob, message", [
    (b"", TRUNCATED),
    (b"NI", TRUNCATED),
    (b"NIR", TRUNCATED),
    (b"NIR1", TRUNCATED),
    (b"XYZW", BAD_MAGIC),
    (b"NIR2" + u32(0) + outputs(), BAD_MAGIC),
    (b"NIR1\x00\x00", TRUNCATED),
    (header(0), TRUNCATED),
    (header(1), TRUNCATED),
    (header(1) + u8(6), "invalid node tag 6"),
    (header(2) + source("x") + u8(200), "invalid node tag 200"),
    (header(1) + u8(0) + text("x") + pmap(entry("k", 4, b"")), "invalid param tag 4"),
    (header(2) + source("x") + stage([0], [("op|neg", [(2, 0)])]) + outputs(), "invalid stage-ref tag 2"),
    (header(1) + source(b"\xc3\x28") + outputs(), "invalid utf-8 in nodalis IR blob"),
    (header(2) + source("x") + op("f", [1]) + outputs(), "node reference 1 out of range"),
    (header(2) + source("x") + op("f", [9]) + outputs(), "node reference 9 out of range"),
    (header(1) + source("x") + outputs(1), "node reference 1 out of range"),
    (header(2) + source("x") + stage([0], [("op|neg", [(1, 0)])]) + outputs(), "node reference 0 out of range"),
    # An Input argument must name a position of the stage's own input list.
    (header(2) + source("x") + stage([0], [("op|neg", [(0, 1)])]) + outputs(), "node reference 1 out of range"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_each_decoder_error(blob, message):
    assert decode_error(blob) == message


@pytest.mark.parametrize("blob, message", [
    # Length is judged before the magic.
    (b"XYZ", TRUNCATED),
    # A bad name wins over a bad tag later in the same record.
    (header(1) + u8(0) + text(b"\xff") + pmap(entry("k", 9, b"")), "invalid utf-8 in nodalis IR blob"),
    # A map value tag is judged before its payload is looked for.
    (header(1) + u8(0) + text("x") + u32(1) + text("k") + u8(7), "invalid param tag 7"),
    # A stage reference needs all five bytes before its tag counts.
    (header(2) + source("x") + u8(4) + inputs(0) + u32(1) + text("op|neg") + u32(1) + u8(2) + u8(0),
     TRUNCATED),
    # Each input id is checked as soon as it is read, before the shortfall.
    (header(2) + source("x") + u8(1) + text("f") + pmap() + u32(3) + u64(0) + u64(5), "node reference 5 out of range"),
    (header(2) + source("x") + u8(1) + text("f") + pmap() + u32(3) + u64(0), TRUNCATED),
    # Records come before outputs.
    (header(1) + u8(7) + outputs(3), "invalid node tag 7"),
    (header(1) + source("x") + outputs(0, 4), "node reference 4 out of range"),
])
def test_first_failing_check_wins(blob, message):
    assert decode_error(blob) == message


def test_forged_counts_end_at_once():
    start = time.monotonic()
    forged = header(0xFFFFFFFF) + bytes(12)
    assert len(forged) == 20
    assert decode_error(forged) == TRUNCATED
    assert decode_error(header(1) + source("x") + u32(0xFFFFFFFF) + u64(0)) == TRUNCATED
    assert decode_error(header(1) + u8(0) + text("x") + u32(0xFFFFFFFF)) == TRUNCATED
    assert time.monotonic() - start < 1.0


def test_trailing_bytes_are_ignored():
    blob = built_store().serialize(outputs=[1])
    store = GraphStore.deserialize(blob + b"\x00garbage NIR1")
    assert store.serialize() == blob


# ---- normalisation -----------------------------------------------------------


def test_bool_byte_two_decodes_true_and_writes_back_as_one():
    store = GraphStore.deserialize(header(1) + source("s", pmap(entry("b", 2, u8(2)))) + outputs())
    assert store.nodes()[0]["params"] == {"b": True}
    assert store.serialize() == header(1) + source("s", pmap(entry("b", 2, u8(1)))) + outputs()


def test_presence_byte_seven_means_the_text_follows():
    fields = b"".join(text(DESCRIPTOR[k]) for k in ("kind", "content_hash", "framework", "version", "io_schema"))
    loose = header(1) + u8(3) + fields + u8(7) + text("pre") + pmap() + inputs() + outputs()
    store = GraphStore.deserialize(loose)
    assert store.nodes()[0]["descriptor"]["preprocessing_ref"] == "pre"
    assert store.serialize() == header(1) + u8(3) + fields + u8(1) + text("pre") + pmap() + inputs() + outputs()
    # The same node as one built from Python.
    assert store.add_external(dict(DESCRIPTOR, preprocessing_ref="pre"), []) == 0


def test_unsorted_keys_are_sorted():
    unsorted = header(1) + source("s", pmap(entry("z", 0, i64(1)), entry("a", 3, text("r")), entry("m", 1, f64(1.0))))
    store = GraphStore.deserialize(unsorted + outputs())
    assert list(store.nodes()[0]["params"]) == ["a", "m", "z"]
    assert store.serialize() == header(1) + source(
        "s", pmap(entry("a", 3, text("r")), entry("m", 1, f64(1.0)), entry("z", 0, i64(1)))) + outputs()
    assert store.add_source("s", {"m": 1.0, "z": 1, "a": "r"}) == 0


def test_merged_records_keep_every_reference_meaning():
    # Record 2 equals record 0; record 3 refers to records 2 and 1, record 4
    # to record 3; every reference keeps naming what it named when written.
    blob = header(5) + source("a") + source("b") + source("a") + op("f", [2, 1]) + op("g", [3]) + outputs(4, 2)
    store = GraphStore.deserialize(blob)
    assert store.node_count() == 4
    view = store.nodes()
    assert (view[2]["name"], view[2]["inputs"]) == ("f", [0, 1])
    assert (view[3]["name"], view[3]["inputs"]) == ("g", [2])
    assert store.outputs() == [3, 0]


# ---- serialize(outputs=...) ----------------------------------------------------


def three_nodes():
    store = GraphStore()
    store.add_source("x")
    store.add_source("y")
    store.add_op("add", [0, 1])
    return store


def test_outputs_are_written_as_given():
    store = three_nodes()
    blob = store.serialize(outputs=[2, 0, 2])
    assert blob.endswith(outputs(2, 0, 2))
    assert GraphStore.deserialize(blob).outputs() == [2, 0]
    assert store.serialize((1,)).endswith(outputs(1))
    assert store.serialize(outputs=None) == store.serialize() == store.serialize(None)
    assert store.outputs() == []


@pytest.mark.parametrize("bad, error, message", [
    ("012", TypeError, "argument 'outputs': Can't extract `str` to `Vec`"),
    ([0, 3, 7], ValueError, "no node with id 3"),
    ([2 ** 64 - 1], ValueError, "no node with id 18446744073709551615"),
    ([0, -1], OverflowError, None),
    ([2 ** 64], OverflowError, None),
    (5, TypeError, None),
    ([0, 1.0], TypeError, None),
])
def test_bad_outputs_are_refused(bad, error, message):
    with pytest.raises(error) as info:
        three_nodes().serialize(outputs=bad)
    if message is not None:
        assert str(info.value) == message
    if error is TypeError:
        assert str(info.value).startswith("argument 'outputs': ")


# ---- argument conventions ----------------------------------------------------


class Blob(bytes):
    pass


def test_deserialize_takes_bytes_and_bytes_subclasses_only():
    blob = three_nodes().serialize(outputs=[2])
    assert GraphStore.deserialize(Blob(blob)).serialize() == blob
    assert GraphStore.deserialize(data=blob).outputs() == [2]
    for other in (bytearray(blob), memoryview(blob), blob.decode("latin-1"), None, [1]):
        with pytest.raises(TypeError, match="^argument 'data': "):
            GraphStore.deserialize(other)
    with pytest.raises(TypeError):
        GraphStore.deserialize()
    with pytest.raises(TypeError):
        GraphStore.deserialize(blob, blob)


def test_deserialize_is_a_static_method():
    blob = three_nodes().serialize()
    assert isinstance(GraphStore.__dict__["deserialize"], staticmethod)
    # Called on an instance it still takes only the data.
    made = GraphStore().deserialize(blob)
    assert type(made) is GraphStore and made.node_count() == 3


def test_deserialize_is_static_to_introspection_too():
    # stubtest reads __self__: a static method, not a function bound to the class.
    assert isinstance(inspect.getattr_static(GraphStore, "deserialize"), staticmethod)
    assert GraphStore.deserialize.__self__ is None


