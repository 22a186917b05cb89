"""What an element-wise op does to tables: which columns meet, where the scalar
goes, and which key columns and partitioning the result keeps.

Op nodes and stage members both come through here, so a stage computes exactly
what its members would compute as separate nodes.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from nodalis.kernels import OP_PARAMS, Kernel, call_kernel
from nodalis.table import Columns, Table


@dataclass(frozen=True)
class OpCall:
    """One op as it will be called: its kernel, the scalar and its side, the kernel's params."""

    name: str
    kernel: Kernel
    scalar: Any = None
    has_scalar: bool = False
    side: str = "r"
    params: Mapping[str, Any] = None  # type: ignore[assignment]

    @staticmethod
    def of(name: str, kernel: Kernel, params: Mapping[str, Any]) -> "OpCall":
        rest = {k: v for k, v in params.items() if k not in OP_PARAMS}
        return OpCall(name, kernel, params.get("scalar"), "scalar" in params,
                      str(params.get("side", "r")), rest)

    def arity(self, n_inputs: int) -> int:
        return n_inputs + (1 if self.has_scalar else 0)


def column_plan(tables: Sequence[Table]) -> List[Tuple[str, List[str]]]:
    """For each result column: its name and the column each input contributes.

    Raises
    ------
    ValueError
        Two multi-column inputs whose value columns differ, or unequal row counts.
    """
    rows = {t.nrows for t in tables}
    if len(rows) > 1:
        raise ValueError(f"row counts do not match: {[t.nrows for t in tables]}")
    names = [list(t.values) for t in tables]
    if len(tables) == 1:
        return [(n, [n]) for n in names[0]]
    wide = [ns for ns in names if len(ns) != 1]
    if not wide:
        return [(names[0][0], [ns[0] for ns in names])]
    ref = wide[0]
    for ns in wide[1:]:
        if set(ns) != set(ref):
            raise ValueError(f"value columns do not match: {ref} against {ns}")
    return [(n, [n if len(ns) != 1 else ns[0] for ns in names]) for n in ref]


def _same_column(a: np.ndarray, b: np.ndarray) -> bool:
    if a is b or (a.shape == b.shape and a.dtype == b.dtype and a.strides == b.strides
                  and a.ctypes.data == b.ctypes.data):
        return True
    return bool(np.array_equal(a, b, equal_nan=a.dtype.kind == "f" and b.dtype.kind == "f"))


def merge_keys(key_sets: Sequence[Columns]) -> Columns:
    """The union of the inputs' key columns, in first-seen order.

    A key column that two inputs both carry must hold the same values: rows
    that meet in an op are the same rows, whichever operand comes first.
    """
    keys: Columns = {}
    for cols in key_sets:
        for name, col in cols.items():
            if name not in keys:
                keys[name] = col
            elif not _same_column(keys[name], col):
                raise ValueError(f"inputs carry different values in key column {name!r}")
    return keys


def passthrough(tables: Sequence[Table]) -> Tuple[Columns, Any]:
    """The key columns (merged) and partitioning (the first input's that has one) a result keeps."""
    keys = merge_keys([t.keys for t in tables]) if len(tables) > 1 else dict(tables[0].keys) if tables else {}
    part = next((t.partitioning for t in tables if t.partitioning is not None), None)
    return keys, part


def apply_op(op: OpCall, tables: Sequence[Table],
             out: Optional[Dict[str, np.ndarray]] = None) -> Table:
    """Runs ``op`` column by column over ``tables``.

    Parameters
    ----------
    op : OpCall
    tables : sequence of Table
        The op's inputs in order.
    out : dict of str to numpy.ndarray, optional
        Buffers to write each result column into (standard kernels only).

    Returns
    -------
    Table
    """
    plan = column_plan(tables)
    n = tables[0].nrows if tables else 0
    values: Columns = {}
    for name, cols in plan:
        args: List[Any] = [t.values[c] for t, c in zip(tables, cols)]
        if op.has_scalar:
            if op.side == "l":
                args.insert(0, op.scalar)
            else:
                args.append(op.scalar)
        result = call_kernel(op.kernel, args, op.params, None if out is None else out.get(name))
        result = np.asarray(result)
        if result.ndim != 1 or len(result) != n:
            raise ValueError(f"kernel {op.name!r} returned shape {result.shape} for {n} rows")
        if result.dtype.kind not in "biuf":
            raise ValueError(f"kernel {op.name!r} returned dtype {result.dtype}; values must be "
                             "numeric or bool")
        values[name] = result
    keys, part = passthrough(tables)
    return Table(keys, values, part)
