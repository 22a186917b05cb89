"""What each kind of node does to tables, in one place for every backend.

The numpy backend calls these on whole tables; the Dask backend calls them on
each partition (an exchanged Dask partition is one exchange partition), so both
compute every element and every group with the same code.
"""
from __future__ import annotations

from typing import Any, Callable, Sequence, TypeVar

import numpy as np

from nodalis.elementwise import apply_op
from nodalis.errors import RunError
from nodalis.exchange import hash_partitions, round_robin_partitions, split_rows
from nodalis.external import run_external
from nodalis.program import Step
from nodalis.reductions import reduce_across, reduce_grouped, reduce_whole
from nodalis.stage import run_stage
from nodalis.table import Partitioning, Table, is_path, read_path, table_from_data

T = TypeVar("T")


def guarded(step: Step, fn: Callable[..., T], *args: Any) -> T:
    """Runs ``fn``, reporting any failure against ``step``'s node.

    Callers run it under ``np.errstate(all="ignore")``: like pandas, a run
    turns 0/0 into NaN and overflow into inf without a warning.
    """
    try:
        return fn(*args)
    except RunError:
        raise
    except Exception as err:  # noqa: BLE001 - every fault is reported against its node
        raise step.fail(str(err) if isinstance(err, (ValueError, KeyError)) and str(err)
                        else f"{type(err).__name__}: {err}") from err


def source_table(step: Step, data: Any) -> Table:
    """A source's table from its data (read first when it is a path)."""
    if is_path(data):
        data = read_path(data, step.params.get("format"))
    return table_from_data(step.name, data, step.keys)


def op_table(step: Step, inputs: Sequence[Table]) -> Table:
    assert step.op is not None
    return apply_op(step.op, inputs)


def stage_table(step: Step, inputs: Sequence[Table]) -> Table:
    return run_stage(step.members, inputs)


def external_table(step: Step, inputs: Sequence[Table]) -> Table:
    return run_external(inputs, step.model, step.params, step.descriptor, step.external_kernel)


def partitions_of(step: Step, table: Table, start_row: int = 0) -> np.ndarray:
    """The exchange partition of each row (``start_row`` is the first row's global position)."""
    parts = int(step.params["parts"])
    if step.params["scheme"] == "round_robin":
        return round_robin_partitions(start_row, table.nrows, parts)
    key = str(step.params["key"])
    col = table.keys.get(key, table.values.get(key))
    if col is None:
        raise step.fail(f"key column {key!r} is not a column of the input "
                        f"(columns: {', '.join([*table.keys, *table.values]) or 'none'})")
    return hash_partitions(col, parts)


def keyed(step: Step, table: Table) -> Table:
    """The table with the hash exchange's key moved among the key columns."""
    key = str(step.params.get("key"))
    if step.params["scheme"] != "hash" or key in table.keys:
        return table
    values = dict(table.values)
    return Table({**table.keys, key: values.pop(key)}, values, table.partitioning)


def exchange_table(step: Step, table: Table) -> Table:
    """Rows regrouped partition by partition, each partition keeping the input's row order."""
    parts = int(step.params["parts"])
    order, offsets = split_rows(partitions_of(step, table), parts)
    out = keyed(step, table).take(order)
    key = str(step.params["key"]) if step.params["scheme"] == "hash" else None
    out.partitioning = Partitioning(key, parts, offsets)
    return out


def reduction_table(step: Step, table: Table, first_part: int = 0) -> Table:
    """A reduction's table (see the reductions module for the empty-group convention).

    ``first_part`` is the global index of the table's first partition.
    """
    params = {k: v for k, v in step.params.items() if k != "axis"}
    if step.params.get("axis", 0) == 1:
        col = reduce_across(step.name, step.reduction, table.values, table.nrows, params)
        return Table(dict(table.keys), {step.name: col}, table.partitioning)
    part = table.partitioning
    if part is None:
        return Table({}, reduce_whole(step.name, step.reduction, table.values, params))
    offsets = part.offsets if part.offsets is not None else np.array([0, table.nrows])
    pieces = []
    for p in range(len(offsets) - 1):
        rows = table.slice(int(offsets[p]), int(offsets[p + 1]))
        if part.key is None:
            values = reduce_whole(step.name, step.reduction, rows.values, params)
            pieces.append(Table({"part": np.array([first_part + p], np.int64)}, values))
        else:
            keys, values = reduce_grouped(step.name, step.reduction, rows.keys[part.key],
                                          rows.values, params)
            pieces.append(Table({part.key: keys}, values))
    return concat(pieces, Partitioning(part.key, part.parts, _offsets([t.nrows for t in pieces])))


def _offsets(lengths: Sequence[int]) -> np.ndarray:
    out = np.zeros(len(lengths) + 1, np.int64)
    np.cumsum(lengths, out=out[1:])
    return out


def concat(pieces: Sequence[Table], partitioning: Any = None) -> Table:
    """Tables with the same columns, one after another."""
    first = pieces[0]
    keys = {k: np.concatenate([t.keys[k] for t in pieces]) for k in first.keys}
    values = {k: np.concatenate([t.values[k] for t in pieces]) for k in first.values}
    return Table(keys, values, partitioning)
