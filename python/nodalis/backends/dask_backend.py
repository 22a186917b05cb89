"""The distributed engine: every node is a lazy Dask DataFrame, one pandas frame per partition.

Partitions run the numpy engine's own table code, so elements and groups come
out bit for bit the same. Exchanges never use Dask's shuffle hash: each input
partition is cut by nodalis' partition function and output partition p
concatenates the p-th pieces in input order, so rows keep their order within
a partition. Ungrouped reductions combine per-partition partial results.
"""
from __future__ import annotations

import dataclasses
import importlib
import math
from dataclasses import dataclass
from typing import Any, List, Optional, Sequence, Tuple

import numpy as np
import pandas as pd

import dask as _dask
import dask.dataframe as _dd
import dask.diagnostics as _diagnostics

from nodalis import evaluate as ev
from nodalis.exchange import split_rows
from nodalis.program import Step
from nodalis.reductions import STANDARD as REDUCERS, reduce_whole
from nodalis.table import Partitioning, Table, is_path, table_from_data

# Dask's own annotations are partial; its calls are checked by the tests.
dask: Any = _dask
dd: Any = _dd
diagnostics: Any = _diagnostics

# Rows per partition when a source arrives in memory as one piece.
ROWS_PER_PARTITION = 1 << 20


@dataclass(frozen=True)
class DaskTable:
    """A lazy table: its frame (key columns first), which columns are keys, and its exchange."""

    frame: Any
    keys: Tuple[str, ...]
    partitioning: Optional[Partitioning] = None


def _guard(step: Step, fn: Any, *args: Any) -> Any:
    # Tasks run on worker threads, where numpy's error state is the default one.
    with np.errstate(all="ignore"):
        return ev.guarded(step, fn, *args)


def _table(df: pd.DataFrame, keys: Sequence[str], part: Optional[Partitioning] = None) -> Table:
    return Table({k: df[k].to_numpy() for k in keys},
                 {c: df[c].to_numpy() for c in df.columns if c not in keys}, part)


def _frame(t: Table) -> pd.DataFrame:
    return t.to_frame()


def _lean(step: Step) -> Step:
    # What each task carries: no source data and no model bytes (those travel once, as their own keys).
    return dataclasses.replace(step, data=None, model=None)


def _part_op(step: Step, specs: Sequence[Tuple[Tuple[str, ...], Optional[Partitioning]]],
             *dfs: pd.DataFrame) -> pd.DataFrame:
    tables = [_table(df, keys, part) for df, (keys, part) in zip(dfs, specs)]
    fn = ev.stage_table if step.kind == "stage" else ev.op_table
    return _frame(_guard(step, fn, step, tables))


def _part_external(step: Step, specs: Sequence[Tuple[Tuple[str, ...], Optional[Partitioning]]],
                   model: Any, *dfs: pd.DataFrame) -> pd.DataFrame:
    tables = [_table(df, keys, part) for df, (keys, part) in zip(dfs, specs)]
    step = dataclasses.replace(step, model=model)
    return _frame(_guard(step, ev.external_table, step, tables))


def _split(step: Step, keys: Sequence[str], df: pd.DataFrame, start: Any) -> List[pd.DataFrame]:
    table = _table(df, keys)
    parts = int(step.params["parts"])

    def cut() -> List[pd.DataFrame]:
        order, offsets = split_rows(ev.partitions_of(step, table, int(start)), parts)
        moved = ev.keyed(step, table).take(order)
        return [_frame(moved.slice(int(offsets[p]), int(offsets[p + 1]))) for p in range(parts)]

    pieces: List[pd.DataFrame] = _guard(step, cut)
    return pieces


def _starts(lengths: Sequence[int]) -> List[int]:
    return [0, *np.cumsum(lengths)[:-1].tolist()] if lengths else []


def _concat(pieces: Sequence[pd.DataFrame]) -> pd.DataFrame:
    return pd.concat(pieces, ignore_index=True)


def _part_reduce(step: Step, keys: Sequence[str], part: Optional[Partitioning], number: int,
                 df: pd.DataFrame) -> pd.DataFrame:
    table = _table(df, keys, part)
    return _frame(_guard(step, ev.reduction_table, step, table, number))


def _partials(step: Step, keys: Sequence[str], df: pd.DataFrame) -> List[Tuple[str, Any, Any]]:
    values = _table(df, keys).values
    reducer = REDUCERS[step.name]
    return [(c, x.dtype, reducer.partial(x)) for c, x in values.items()]


def _combine(step: Step, meta: pd.DataFrame, partials: Sequence[List[Tuple[str, Any, Any]]]) -> pd.DataFrame:
    reducer = REDUCERS[step.name]
    out = {}
    for i, col in enumerate(meta.columns):
        states = [p[i][2] for p in partials]
        out[col] = np.asarray([reducer.combine(states, meta[col].dtype)])
    return pd.DataFrame(out)


def _gather_reduce(step: Step, keys: Sequence[str], dfs: Sequence[pd.DataFrame]) -> pd.DataFrame:
    table = _table(pd.concat(dfs, ignore_index=True), keys)
    return _frame(_guard(step, ev.reduction_table, step, table))


class DaskBackend:
    """Builds one lazy Dask DataFrame per node; ``frames`` computes the requested ones."""

    def __init__(self, client: Any = None) -> None:
        self.client = client

    def _meta(self, t: DaskTable) -> Table:
        return _table(t.frame._meta, t.keys, t.partitioning)

    def _threads(self) -> int:
        if self.client is None:
            return 2
        return max(1, int(sum(self.client.nthreads().values())))

    def source(self, step: Step) -> DaskTable:
        data = step.data
        if is_path(data):
            fmt = str(step.params.get("format", "")).lower()
            text = str(data).lower()
            if fmt == "csv" or (not fmt and text.endswith((".csv", ".csv.gz"))):
                frame = dd.read_csv(str(data), engine="pyarrow")
            elif fmt == "parquet" or (not fmt and text.endswith((".parquet", ".pq"))) or not fmt:
                frame = dd.read_parquet(str(data))
            else:
                raise step.fail(f"unknown format {fmt!r} (known: parquet, csv)")
        elif isinstance(data, dd.DataFrame):
            frame = data
        else:
            local = _guard(step, ev.source_table, step, data).to_frame()
            parts = max(1, min(math.ceil(len(local) / ROWS_PER_PARTITION), 4 * self._threads()))
            frame = dd.from_pandas(local, npartitions=parts, sort=False)
        meta = _guard(step, table_from_data, step.name, frame._meta, step.keys)
        order = [*meta.keys, *meta.values]
        frame = frame[order] if list(frame.columns) != order else frame
        return DaskTable(frame, step.keys)

    def _same_split(self, step: Step, inputs: Sequence[DaskTable]) -> None:
        counts = {t.frame.npartitions for t in inputs}
        if len(counts) > 1:
            raise step.fail(f"inputs are split into different numbers of partitions "
                            f"{[t.frame.npartitions for t in inputs]}; give its sources the same split")

    def _elementwise(self, step: Step, inputs: Sequence[DaskTable], fn: Any, *extra: Any) -> DaskTable:
        self._same_split(step, inputs)
        specs = [(t.keys, t.partitioning) for t in inputs]
        metas = [self._meta(t) for t in inputs]
        local = ev.external_table if fn is _part_external else \
            ev.stage_table if step.kind == "stage" else ev.op_table
        meta = _frame(_guard(step, local, step, metas))
        frame = dd.map_partitions(fn, _lean(step), specs, *extra, *[t.frame for t in inputs],
                                  meta=meta, align_dataframes=False, enforce_metadata=False)
        first = next((t for t in inputs if t.keys), None)
        part = next((t.partitioning for t in inputs if t.partitioning is not None), None)
        return DaskTable(frame, first.keys if first else (), part)

    def op(self, step: Step, inputs: Sequence[DaskTable]) -> DaskTable:
        return self._elementwise(step, inputs, _part_op)

    def stage(self, step: Step, inputs: Sequence[DaskTable]) -> DaskTable:
        return self._elementwise(step, inputs, _part_op)

    def external(self, step: Step, inputs: Sequence[DaskTable]) -> DaskTable:
        model = dask.delayed(step.model, pure=True) if step.model is not None else None
        return self._elementwise(step, inputs, _part_external, model)

    def exchange(self, step: Step, inputs: Sequence[DaskTable]) -> DaskTable:
        (t,) = inputs
        parts = int(step.params["parts"])
        meta_table = _guard(step, ev.exchange_table, step, self._meta(t))
        meta = _frame(meta_table)
        lean = _lean(step)
        pieces_in = t.frame.to_delayed()
        if step.params["scheme"] == "round_robin":
            starts = dask.delayed(_starts)([dask.delayed(len)(p) for p in pieces_in])
            start_of = [starts[i] for i in range(len(pieces_in))]
        else:
            start_of = [0] * len(pieces_in)
        cut = [dask.delayed(_split, nout=parts)(lean, t.keys, p, s) for p, s in zip(pieces_in, start_of)]
        outs = [dask.delayed(_concat)([c[p] for c in cut]) for p in range(parts)]
        frame = dd.from_delayed(outs, meta=meta, verify_meta=False)
        keys = tuple(meta_table.keys)
        key = meta_table.partitioning.key if meta_table.partitioning is not None else None
        return DaskTable(frame, keys, Partitioning(key, parts))

    def reduction(self, step: Step, inputs: Sequence[DaskTable]) -> DaskTable:
        (t,) = inputs
        lean = _lean(step)
        meta_table = _guard(step, ev.reduction_table, step, self._meta(t))
        meta = _frame(meta_table).iloc[:0]
        keys = tuple(meta_table.keys)
        if step.params.get("axis", 0) == 1:
            frame = dd.map_partitions(_part_reduce, lean, t.keys, t.partitioning, 0, t.frame,
                                      meta=meta, align_dataframes=False, enforce_metadata=False)
            return DaskTable(frame, keys, t.partitioning)
        pieces = t.frame.to_delayed()
        if t.partitioning is not None:
            outs = [dask.delayed(_part_reduce)(lean, t.keys, t.partitioning, i, p)
                    for i, p in enumerate(pieces)]
            part = Partitioning(t.partitioning.key, t.partitioning.parts)
            return DaskTable(dd.from_delayed(outs, meta=meta, verify_meta=False), keys, part)
        if step.reduction is None:
            partials = [dask.delayed(_partials)(lean, t.keys, p) for p in pieces]
            out = dask.delayed(_combine)(lean, meta, partials)
        else:
            out = dask.delayed(_gather_reduce)(lean, t.keys, pieces)
        return DaskTable(dd.from_delayed([out], meta=meta, verify_meta=False), keys)

    def frames(self, values: Sequence[DaskTable], compute: bool, progress: Optional[bool]) -> List[Any]:
        lazy = [v.frame for v in values]
        if not compute:
            return lazy
        if self.client is not None:
            futures = self.client.compute(lazy)
            if progress:
                show: Any = importlib.import_module("distributed").progress
                show(futures)
            done = self.client.gather(futures)
        elif progress:
            with diagnostics.ProgressBar():
                done = dask.compute(*lazy)
        else:
            done = dask.compute(*lazy)
        return [frame.reset_index(drop=True) for frame in done]
