"""Writes the decoder fuzzer's seed blobs into this folder.

Each seed is small and reaches one part of the decoder: every node kind and
value tag, the normalised forms (unsorted keys, loose bool and presence bytes,
merged records), and one blob per error. Run: python3 make_seeds.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u8(v): return struct.pack("<B", v)
def u32(v): return struct.pack("<I", v)
def u64(v): return struct.pack("<Q", v)
def s(text): b = text.encode() if isinstance(text, str) else text; return u32(len(b)) + b
def header(n): return b"NIR1" + u32(n)
def outputs(*ids): return u32(len(ids)) + b"".join(u64(i) for i in ids)
def ids(*xs): return u32(len(xs)) + b"".join(u64(i) for i in xs)
def entry(key, tag, payload): return s(key) + u8(tag) + payload


def params(*entries): return u32(len(entries)) + b"".join(entries)


def source(name, p=params()): return u8(0) + s(name) + p
def op(name, inputs, p=params(), tag=1): return u8(tag) + s(name) + p + ids(*inputs)
def external(fields, ref, p, inputs, presence=None):
    rec = u8(3) + b"".join(s(f) for f in fields)
    if ref is None:
        rec += u8(0)
    else:
        rec += u8(1 if presence is None else presence) + s(ref)
    return rec + p + ids(*inputs)
def stage(inputs, members):
    rec = u8(4) + ids(*inputs) + u32(len(members))
    for token, refs in members:
        rec += s(token) + u32(len(refs)) + b"".join(u8(t) + u32(i) for t, i in refs)
    return rec
def exchange(inputs, p=params()): return u8(5) + p + ids(*inputs)


RICH = params(
    entry("a", 0, struct.pack("<q", -5)),
    entry("f", 1, u64(0x7FF0000000000123)),
    entry("flag", 2, u8(1)),
    entry("s", 3, s("h\u00e9 \"q\" ;|=%")),
    entry("z", 1, u64(0x8000000000000000)),
)
DESC = ["model", "sha256:ab", "torch", "2.1", "f32[3]->f32[1]"]

SEEDS = {
    "empty": header(0) + outputs(),
    "source_marked": header(1) + source("x") + outputs(0),
    "stage": header(2) + source("x") + stage([0], [("op|neg", [(0, 0)])]) + outputs(1),
    "all_kinds": header(8)
    + source("x", RICH)
    + source("y")
    + op("add", [0, 0], params(entry("scalar", 1, u64(0)), entry("side", 3, s("r"))))
    + op("sum", [2], params(entry("axis", 0, u64(0))), tag=2)
    + external(DESC, None, params(), [0])
    + external(DESC, "", params(entry("k", 2, u8(0))), [1, 4])
    + stage([2, 1], [("op|neg", [(0, 0)]), ("op|mul", [(1, 0), (0, 1)]), ("op|add", [(1, 1), (1, 0)])])
    + exchange([6], params(entry("scheme", 3, s("hash"))))
    + outputs(7, 2, 7),
    "unsorted_keys": header(1) + source("s", params(entry("b", 0, u64(1)), entry("a", 1, u64(0)), entry("a", 2, u8(0)))) + outputs(0),
    "loose_bytes": header(2) + source("s", params(entry("flag", 2, u8(2)))) + external(DESC, "pre", params(), [0], presence=7) + outputs(1),
    "merged_records": header(5) + source("a") + source("b") + source("a") + op("f", [2, 1]) + op("g", [3, 2]) + outputs(4, 2),
    "trailing_bytes": header(1) + source("x") + outputs(0) + b"\xff\x00trailing",
    "bad_magic": b"NIR2" + u32(0) + outputs(),
    "truncated_header": b"NIR1\x01",
    "node_tag_6": header(1) + u8(6),
    "param_tag_4": header(1) + u8(0) + s("x") + u32(1) + s("k") + u8(4),
    "stage_ref_tag_2": header(2) + source("x") + stage([0], [("op|neg", [(2, 0)])]) + outputs(),
    "input_out_of_range": header(2) + source("x") + op("f", [1]) + outputs(),
    "stage_input_out_of_range": header(2) + source("x") + stage([0], [("op|neg", [(0, 3)])]) + outputs(),
    "output_out_of_range": header(1) + source("x") + outputs(1),
    "bad_utf8": header(1) + source(b"\xed\xa0\x80") + outputs(),
    "forged_node_count": header(0xFFFFFFFF) + bytes(12),
    "forged_output_count": header(1) + source("x") + u32(0xFFFFFFFF) + u64(0),
}

if __name__ == "__main__":
    for name, blob in SEEDS.items():
        with open(os.path.join(HERE, name + ".bin"), "wb") as f:
            f.write(blob)
