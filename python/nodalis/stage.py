"""Runs a stage node fused: every member over one chunk of rows, then the next chunk.

Members write into chunk buffers kept from the first chunk and the last member
writes straight into the result, so no member ever holds a full-length
temporary. Plain numpy ufuncs into buffers give, element for element, the
values the same ops give as separate nodes, which a reduced graph must keep.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np

from nodalis.elementwise import OpCall, apply_op
from nodalis.table import Columns, Table

# Rows per chunk: eight float64 member buffers of this size stay in a core's L2 cache.
CHUNK_ROWS = 1 << 14


@dataclass(frozen=True)
class Member:
    """One stage member: its op and where each argument comes from ("input" or "member", index)."""

    op: OpCall
    refs: Tuple[Tuple[str, int], ...]


def _chunk(t: Table, start: int, stop: int) -> Table:
    # The partitioning object rides along unchanged, so the result can tell
    # which input's partitioning it carries.
    return Table({k: v[start:stop] for k, v in t.keys.items()},
                 {k: v[start:stop] for k, v in t.values.items()}, t.partitioning)


def _run_members(members: Sequence[Member], inputs: Sequence[Table],
                 buffers: Optional[List[Optional[Columns]]], last_out: Optional[Columns]) -> List[Table]:
    results: List[Table] = []
    for j, member in enumerate(members):
        args = [inputs[k] if kind == "input" else results[k] for kind, k in member.refs]
        out = None
        if member.op.kernel.takes_out:
            if j == len(members) - 1:
                out = last_out
            elif buffers is not None and buffers[j] is not None:
                n = args[0].nrows if args else 0
                out = {name: buf[:n] for name, buf in buffers[j].items()}  # type: ignore[union-attr]
        results.append(apply_op(member.op, args, out))
    return results


def run_stage(members: Sequence[Member], inputs: Sequence[Table],
              chunk_rows: Optional[int] = None) -> Table:
    """The value of a stage: its last member, computed chunk by chunk.

    Parameters
    ----------
    members : sequence of Member
        In stage order; references point to inputs or earlier members.
    inputs : sequence of Table
        The stage's inputs, all with the same number of rows.
    chunk_rows : int, optional
        Rows per chunk (default ``CHUNK_ROWS``).

    Returns
    -------
    Table
    """
    chunk_rows = chunk_rows or CHUNK_ROWS
    rows = {t.nrows for t in inputs}
    if len(rows) > 1:
        raise ValueError(f"row counts do not match: {[t.nrows for t in inputs]}")
    n = rows.pop() if rows else 0
    if n == 0:
        return _run_members(members, inputs, None, None)[-1]

    first = min(n, chunk_rows)
    chunk_in = [_chunk(t, 0, first) for t in inputs]
    results = _run_members(members, chunk_in, None, None)
    buffers: List[Optional[Columns]] = [
        dict(r.values) if m.op.kernel.takes_out else None for m, r in zip(members, results)]
    last = results[-1]
    final: Dict[str, np.ndarray] = {}
    for name, col in last.values.items():
        final[name] = np.empty(n, col.dtype)
        final[name][:first] = col

    for start in range(first, n, chunk_rows):
        stop = min(n, start + chunk_rows)
        chunk_in = [_chunk(t, start, stop) for t in inputs]
        views = {name: col[start:stop] for name, col in final.items()}
        tail = _run_members(members, chunk_in, buffers, views)[-1]
        for name, col in tail.values.items():
            if col is not views[name]:
                views[name][...] = col

    # Every chunk checked that key columns met with equal values; the whole
    # result takes the full-length columns of the inputs its members reach.
    keys: Columns = {}
    for i in key_sources(members)[-1]:
        for name, col in inputs[i].keys.items():
            keys.setdefault(name, col)
    return Table(keys, final, last.partitioning)


def key_sources(members: Sequence[Member]) -> List[List[int]]:
    """For each member, the stage inputs whose key columns it carries, in first-seen order."""
    reach: List[List[int]] = []
    for member in members:
        seen: List[int] = []
        for kind, k in member.refs:
            for i in ([k] if kind == "input" else reach[k]):
                if i not in seen:
                    seen.append(i)
        reach.append(seen)
    return reach
