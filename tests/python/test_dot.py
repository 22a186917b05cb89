# GraphStore.to_dot: the exact Graphviz text, labels from the display forms,
# the escaping of backslashes and quotes, double circles for marks only, and
# every edge after every node.
import struct

from nodalis_core import GraphStore


def dot(*lines):
    return "digraph nodalis {\n" + "".join("  " + line + "\n" for line in lines) + "}\n"


def u32(v):
    return struct.pack("<I", v)


def u64(v):
    return struct.pack("<Q", v)


def text(s):
    b = s.encode()
    return u32(len(b)) + b


def test_reference_example():
    store = GraphStore.deserialize(
        b"NIR1" + u32(2) + b"\x00" + text("x") + u32(0)
        + b"\x01" + text("add") + u32(1) + text("alpha") + b"\x00" + struct.pack("<q", 1) + u32(2) + u64(0) + u64(0)
        + u32(1) + u64(1))
    assert store.to_dot() == (
        "digraph nodalis {\n"
        "  n0 [label=\"Source x\"];\n"
        "  n1 [label=\"Op add {alpha=1}\", shape=doublecircle];\n"
        "  n0 -> n1;\n"
        "  n0 -> n1;\n"
        "}\n")


def test_empty_store_is_header_and_footer():
    assert GraphStore().to_dot() == "digraph nodalis {\n}\n"


def test_labels_of_every_kind():
    store = GraphStore()
    store.add_source("x")
    store.add_source("y", {"b": True, "a": 2.5})
    store.add_op("mul", [0, 1], {"scalar": 1.0, "side": "r"})
    store.add_reduction("sum", [2])
    store.add_external(dict(kind="onnx", content_hash="abc", framework="torch", version="2.1",
                            io_schema="f32[3]", preprocessing_ref="norm"), [3])
    store.add_external(dict(kind="k", content_hash="h", framework="f", version="v", io_schema="s"),
                       [], {"n": -7})
    store.add_exchange([4])
    store.add_exchange([4, 5], {"scheme": "hash"})
    assert store.to_dot() == dot(
        'n0 [label="Source x"];',
        'n1 [label="Source y {a=2.5, b=true}"];',
        'n2 [label="Op mul {scalar=1, side=\\"r\\"}"];',
        'n3 [label="Reduction sum"];',
        'n4 [label="External onnx:abc [torch 2.1]"];',
        'n5 [label="External k:h [f v] {n=-7}"];',
        'n6 [label="Exchange"];',
        'n7 [label="Exchange {scheme=\\"hash\\"}"];',
        "n0 -> n2;",
        "n1 -> n2;",
        "n2 -> n3;",
        "n3 -> n4;",
        "n4 -> n6;",
        "n4 -> n7;",
        "n5 -> n7;",
    )


def test_quotes_and_backslashes_are_escaped_after_the_display_form():
    store = GraphStore()
    store.add_source('say "hi"')
    store.add_source("back\\slash")
    # The display form of the str is "a\"b\\c\n" (quoted, with its own
    # escapes); the DOT escaping then doubles every backslash and escapes
    # every quote of that.
    store.add_source("s", {"v": 'a"b\\c\n'})
    # Line feeds and non-ASCII text pass through as they are.
    store.add_source("line\nfeed \u00e9\u6f22")
    assert store.to_dot() == dot(
        'n0 [label="Source say \\"hi\\""];',
        'n1 [label="Source back\\\\slash"];',
        'n2 [label="Source s {v=\\"a\\\\\\"b\\\\\\\\c\\\\n\\"}"];',
        'n3 [label="Source line\nfeed \u00e9\u6f22"];',
    )


def test_stage_label_and_edges_come_from_the_stage_inputs():
    # Two sources and a stage over (1, 0, 1) with one member.
    members = text("op|neg") + u32(1) + b"\x00" + u32(2)
    blob = (b"NIR1" + u32(3) + b"\x00" + text("x") + u32(0) + b"\x00" + text("y") + u32(0)
            + b"\x04" + u32(3) + u64(1) + u64(0) + u64(1) + u32(1) + members + u32(2) + u64(2) + u64(0))
    store = GraphStore.deserialize(blob)
    assert store.to_dot() == dot(
        'n0 [label="Source x", shape=doublecircle];',
        'n1 [label="Source y"];',
        'n2 [label="Stage[1 members]", shape=doublecircle];',
        "n1 -> n2;",
        "n0 -> n2;",
        "n1 -> n2;",
    )


def test_only_the_stores_own_marks_draw_double_circles():
    store = GraphStore()
    store.add_source("x")
    store.add_op("neg", [0])
    store.serialize(outputs=[1, 0])
    assert "doublecircle" not in store.to_dot()
    marked = GraphStore.deserialize(store.serialize(outputs=[1]))
    assert marked.to_dot() == dot(
        'n0 [label="Source x"];',
        'n1 [label="Op neg", shape=doublecircle];',
        "n0 -> n1;",
    )


def test_signature():
    assert GraphStore.to_dot.__text_signature__ == "($self)"
    assert GraphStore.to_dot.__doc__ is None
