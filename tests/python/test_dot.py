# GraphStore.to_dot: the exact Graphviz text, labels from the display forms
# (floats, and which characters a str escapes), the escaping of backslashes
# and quotes, text Graphviz itself reads, double circles for marks only, and
# every edge after every node.
import decimal
import importlib.util
import pathlib
import random
import re
import shutil
import struct
import subprocess
import unicodedata

import pytest

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


# Texts Graphviz must take in every place a label shows user text.
AWKWARD_TEXTS = {
    "controls": "".join(map(chr, range(0x20))) + "\x7f",
    "nul": "a\0b",
    "quotes-and-backslashes": '"\\"\\\\\'\\',
    "trailing-backslash": "a\\",
    "dot-syntax": "{}|<>[];=,-> \\N \\G \\l",
    "non-ascii": "é ñ 中文 Ωμέγα",
    "combining": "e\u0301\u20dd\u0300",
    "emoji": "\U0001F600\U0001F469\u200d\U0001F4BB",
    "separators": "a\u2028b\u2029c\u0085",
}


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz `dot` is not installed")
@pytest.mark.parametrize("text", list(AWKWARD_TEXTS.values()), ids=list(AWKWARD_TEXTS))
def test_graphviz_reads_every_label(text):
    store = GraphStore()
    a = store.add_source(text, {text: text})
    store.add_op(text, [a], {"k": text})
    store.add_reduction("sum", [a], {text: 1})
    store.add_external({field: text for field in
                        ("kind", "content_hash", "framework", "version", "io_schema")}, [a])
    store.add_exchange([a], {text: 1.5})
    drawn = subprocess.run(["dot", "-Tplain"], input=store.to_dot().encode(),
                           capture_output=True, check=False)
    assert drawn.returncode == 0, drawn.stderr.decode(errors="replace")
    lines = drawn.stdout.decode(errors="replace").splitlines()
    assert sum(line.startswith("node ") for line in lines) == store.node_count()


def plain_repr(x):
    """Python's shortest round-trip digits for x, written without an exponent."""
    text = format(decimal.Decimal(repr(x)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


@pytest.mark.parametrize("sign", [1.0, -1.0])
def test_float_labels_are_the_shortest_digits_without_exponent(sign):
    rng = random.Random(8)
    values = [sign * struct.unpack("<d", struct.pack("<Q", exponent << 52 | rng.getrandbits(52)))[0]
              for exponent in range(2047) for _ in range(3)]
    # Named cases: long binary expansions, a param int past 64 bits, both ends
    # of the range, and values whose digits end in zeros.
    values += [sign * v for v in (1e23, 2**70, 1e300, 1.7976931348623157e308, 5e-324, 1e-7,
                                  0.0, 1.0, 0.1, 2.5e-300, 123456789.125, 1e22, 9007199254740993.0)]
    store = GraphStore()
    for x in values:
        store.add_source("x", {"v": x})
    labels = re.findall(r'label="Source x \{v=([^}]*)\}"', store.to_dot())
    assert len(labels) == store.node_count()
    shown = dict(zip((float(text) for text in labels), labels))
    assert [(x, shown[x]) for x in values if shown[x] != plain_repr(x)] == []


def _generator():
    """scripts/gen_unicode_tables.py, for its Other_Grapheme_Extend list."""
    path = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "gen_unicode_tables.py"
    spec = importlib.util.spec_from_file_location("gen_unicode_tables", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


SPECIAL_ESCAPES = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\0": "\\0"}


@pytest.mark.parametrize("plane", range(17))
def test_str_display_escapes_exactly_the_unicode_15_1_table(plane):
    ucd = pytest.importorskip("unicodedata2")
    assert ucd.unidata_version == "15.1.0"
    other_extend = {cp for lo, hi in _generator().OTHER_GRAPHEME_EXTEND for cp in range(lo, hi + 1)}

    def escaped(c):
        category = ucd.category(c)
        mark = category in ("Mn", "Me") or ord(c) in other_extend
        invisible = category in ("Cc", "Cf", "Cs", "Co", "Cn", "Zs", "Zl", "Zp") and c != " "
        if unicodedata.unidata_version == ucd.unidata_version:
            assert invisible == (not c.isprintable())
        return mark or invisible

    # Every code point of the plane but the surrogates, which no UTF-8 text holds.
    text = "".join(chr(cp) for cp in range(plane << 16, (plane + 1) << 16) if not 0xD800 <= cp <= 0xDFFF)
    expected = "".join(SPECIAL_ESCAPES.get(c) or (f"\\u{{{ord(c):x}}}" if escaped(c) else c) for c in text)
    store = GraphStore()
    store.add_source("x", {"s": text})
    label = re.search(r'label="(.*)"\];\n', store.to_dot(), re.S).group(1)
    assert re.sub(r"\\(.)", r"\1", label, flags=re.S) == f'Source x {{s="{expected}"}}'
