"""Finds which stage node holds a member token the node view cannot read.

The node view refuses a whole store over one bad member token and its message
names only the token; a run must name the node, so this walks the store's blob
(whose layout is fixed and versioned) to the stage records and their tokens.
"""
from __future__ import annotations

import struct
from typing import Iterator, List, Optional, Tuple


class _Reader:
    def __init__(self, data: bytes) -> None:
        self.data, self.pos = data, 8

    def take(self, n: int) -> bytes:
        chunk = self.data[self.pos:self.pos + n]
        if len(chunk) != n:
            raise ValueError("truncated")
        self.pos += n
        return chunk

    def u8(self) -> int:
        return self.take(1)[0]

    def u32(self) -> int:
        return int(struct.unpack("<I", self.take(4))[0])

    def string(self) -> str:
        return self.take(self.u32()).decode("utf-8", "replace")

    def params(self) -> None:
        for _ in range(self.u32()):
            self.string()
            tag = self.u8()
            if tag in (0, 1):
                self.take(8)
            elif tag == 2:
                self.take(1)
            else:
                self.string()

    def inputs(self) -> None:
        self.take(8 * self.u32())


def stage_member_tokens(blob: bytes) -> Iterator[Tuple[int, List[str]]]:
    """Yields (node id, member tokens) for every stage record of a store blob."""
    if blob[:4] != b"NIR1" or len(blob) < 8:
        return
    r = _Reader(blob)
    count = int(struct.unpack("<I", blob[4:8])[0])
    for node in range(count):
        tag = r.u8()
        if tag in (0, 1, 2):
            r.string()
            r.params()
            if tag:
                r.inputs()
        elif tag == 3:
            for _ in range(5):
                r.string()
            if r.u8():
                r.string()
            r.params()
            r.inputs()
        elif tag == 4:
            r.inputs()
            tokens = []
            for _ in range(r.u32()):
                tokens.append(r.string())
                r.take(5 * r.u32())
            yield node, tokens
        else:
            r.params()
            r.inputs()


def node_of_bad_token(blob: bytes, message: str) -> Optional[Tuple[int, str]]:
    """The (stage node id, token) whose token the node view's ``message`` quotes."""
    for node, tokens in stage_member_tokens(blob):
        for token in tokens:
            if token and token in message:
                return node, token
    return None
