"""Runs a stage node fused: every member over one chunk of rows, then the next chunk.

Members write into chunk buffers kept from the first chunk and the last member
writes straight into the result, so no member ever holds a full-length
temporary; a long stage spreads its chunks over a few threads. Plain numpy ufuncs into buffers give, element for element, the
values the same ops give as separate nodes, which a reduced graph must keep.
"""
from __future__ import annotations

import dataclasses
import os
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from nodalis.elementwise import OpCall, apply_op, column_plan, merge_keys
from nodalis.table import Columns, Table

# Rows per chunk: eight float64 member buffers of this size stay in a core's L2 cache.
CHUNK_ROWS = 1 << 14
# Threads a long stage spreads its chunks over (numpy's kernels run without the GIL).
THREADS = min(4, os.cpu_count() or 1)
_executor: Optional[ThreadPoolExecutor] = None


def _pool() -> ThreadPoolExecutor:
    global _executor
    if _executor is None:
        _executor = ThreadPoolExecutor(max_workers=THREADS, thread_name_prefix="nodalis-stage")
    return _executor


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


def _run_members(members: Sequence[Member], inputs: Sequence[Table]) -> List[Table]:
    results: List[Table] = []
    for member in members:
        args = [inputs[k] if kind == "input" else results[k] for kind, k in member.refs]
        results.append(apply_op(member.op, args))
    return results


@dataclass(frozen=True)
class _Call:
    """One kernel call of the flattened stage: one result column of one member."""

    member: int
    column: str
    fn: Callable[..., Any]
    args: Tuple[Tuple[str, Any, Any], ...]  # ("input", k, column) / ("member", k, column) / ("scalar", v, None)
    params: Mapping[str, Any]
    takes_out: bool
    buffer: Optional[np.ndarray]


def _flatten(members: Sequence[Member], chunk_in: Sequence[Table], results: Sequence[Table]) -> List[_Call]:
    """The first chunk's member calls, with every column and buffer resolved, for the chunks after it."""
    calls: List[_Call] = []
    last = len(members) - 1
    for j, member in enumerate(members):
        tables = [chunk_in[k] if kind == "input" else results[k] for kind, k in member.refs]
        op = member.op
        for name, cols in column_plan(tables):
            args: List[Tuple[str, Any, Any]] = [(kind, k, c) for (kind, k), c in zip(member.refs, cols)]
            if op.has_scalar:
                args.insert(0 if op.side == "l" else len(args), ("scalar", op.scalar, None))
            takes_out = op.kernel.takes_out
            buffer = results[j].values[name] if takes_out and j != last else None
            fn = op.kernel.fn
            if op.kernel.plain is not None:
                values = [chunk_in[k].values[c] if kind == "input" else results[k].values[c]
                          if kind == "member" else k for kind, k, c in args]
                fn = op.kernel.plain(values) or fn
            calls.append(_Call(j, name, fn, tuple(args), op.params, takes_out, buffer))
    return calls


def _run_calls(calls: Sequence[_Call], inputs: Sequence[Table], start: int, stop: int,
               final: Columns, last: int) -> None:
    m = stop - start
    made: Dict[Tuple[int, str], np.ndarray] = {}
    sliced: Dict[Tuple[int, str], np.ndarray] = {}
    for call in calls:
        args = []
        for kind, a, b in call.args:
            if kind == "input":
                col = sliced.get((a, b))
                if col is None:
                    col = sliced[(a, b)] = inputs[a].values[b][start:stop]
                args.append(col)
            elif kind == "member":
                args.append(made[(a, b)])
            else:
                args.append(a)
        if call.member == last:
            out = final[call.column][start:stop]
            result = call.fn(*args, out=out, **call.params) if call.takes_out else call.fn(*args, **call.params)
            if result is not out:
                out[...] = result
        elif call.takes_out:
            result = call.fn(*args, out=call.buffer[:m], **call.params)  # type: ignore[index]
        else:
            result = np.asarray(call.fn(*args, **call.params))
            if result.shape != (m,):
                raise ValueError(f"kernel returned shape {result.shape} for {m} rows")
        made[(call.member, call.column)] = result


def run_stage(members: Sequence[Member], inputs: Sequence[Table],
              chunk_rows: Optional[int] = None) -> Table:
    """The value of a stage: its last member, computed chunk by chunk.

    The first chunk runs member by member through the op semantics (names,
    broadcasting, checks); the chunks after it replay the same kernel calls
    into the same buffers.

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
    reach = key_sources(members)
    for used in reach:
        if len(used) > 1:  # key columns that meet must agree, over all rows at once
            merge_keys([inputs[i].keys for i in used])
    if n <= chunk_rows:  # one chunk: the inputs themselves
        return _run_members(members, inputs)[-1]

    first = min(n, chunk_rows)
    chunk_in = [_chunk(t, 0, first) for t in inputs]
    results = _run_members(members, chunk_in)
    last = results[-1]
    final: Dict[str, np.ndarray] = {}
    for name, col in last.values.items():
        final[name] = np.empty(n, col.dtype)
        final[name][:first] = col
    if n > first:
        calls = _flatten(members, chunk_in, results)
        starts = list(range(first, n, chunk_rows))
        workers = min(THREADS, len(starts) // 4) if all(c.takes_out for c in calls) else 1
        groups = [starts[w::max(workers, 1)] for w in range(max(workers, 1))]

        errors = np.geterr()  # floating-point error handling is per thread: carry the caller's

        def run_group(group: List[int], calls: List[_Call]) -> None:
            with np.errstate(**errors):
                for start in group:
                    _run_calls(calls, inputs, start, min(n, start + chunk_rows), final, len(members) - 1)

        if workers <= 1:
            run_group(starts, calls)
        else:
            # Chunks are independent: each thread replays the calls into buffers of its own.
            own = [calls] + [[dataclasses.replace(c, buffer=None if c.buffer is None else np.empty_like(c.buffer))
                              for c in calls] for _ in range(workers - 1)]
            for f in [_pool().submit(run_group, g, c) for g, c in zip(groups, own)]:
                f.result()

    keys: Columns = {}
    for i in reach[-1]:
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
