"""Tables: the value every node of a running graph evaluates to.

A table is named, equal-length numpy columns, split into key columns (passed
through element-wise work untouched) and value columns (what kernels see).
A table that came through an exchange remembers how its rows are cut into
partitions, so a reduction can group by the exchange key per partition.
"""
from __future__ import annotations

import functools
import os
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np
import pandas as pd

Columns = Dict[str, np.ndarray]


@dataclass(frozen=True)
class Partitioning:
    """How an exchanged table's rows are cut.

    Attributes
    ----------
    key : str or None
        The exchange key column (``None`` after a round-robin exchange).
    parts : int
        The number of partitions.
    offsets : numpy.ndarray or None
        ``parts + 1`` row offsets: partition p is rows ``offsets[p]:offsets[p+1]``.
        ``None`` on Dask, where each Dask partition is one exchange partition.
    """

    key: Optional[str]
    parts: int
    offsets: Optional[np.ndarray] = None


@dataclass
class Table:
    """Key columns and value columns of equal length."""

    keys: Columns = field(default_factory=dict)
    values: Columns = field(default_factory=dict)
    partitioning: Optional[Partitioning] = None

    @property
    def nrows(self) -> int:
        for col in self.values.values():
            return len(col)
        for col in self.keys.values():
            return len(col)
        return 0

    def slice(self, start: int, stop: int) -> "Table":
        """Rows ``start:stop`` as views; the slice is not partitioned."""
        return Table({k: v[start:stop] for k, v in self.keys.items()},
                     {k: v[start:stop] for k, v in self.values.items()})

    def take(self, rows: np.ndarray) -> "Table":
        """The given rows, in the given order."""
        return Table({k: v[rows] for k, v in self.keys.items()},
                     {k: v[rows] for k, v in self.values.items()})

    def to_frame(self) -> pd.DataFrame:
        """Key columns first, then value columns, with a fresh 0..n-1 index."""
        names = (*self.keys, *self.values)
        if len(set(names)) != len(names):
            raise ValueError(f"a column is both a key and a value column: {names}")
        # Building the column index of str names dominates a small frame's
        # construction; the same names come back on every run, so reuse it.
        frame = pd.DataFrame(dict(enumerate((*self.keys.values(), *self.values.values()))), copy=False)
        frame.columns = _column_index(names)
        return frame


@functools.lru_cache(maxsize=512)
def _column_index(names: Tuple[str, ...]) -> pd.Index:
    return pd.Index(names)


def _column(values: Any) -> np.ndarray:
    arr = values.to_numpy() if hasattr(values, "to_numpy") else np.asarray(values)
    if arr.dtype.kind in "USO":
        arr = arr.astype(object)
    return arr


def _frame_columns(data: Any) -> Tuple[List[str], Columns]:
    """Column names and numpy columns of every in-memory source form."""
    if isinstance(data, pd.DataFrame):
        names = [str(c) for c in data.columns]
        return names, {str(c): _column(data[c]) for c in data.columns}
    try:
        import pyarrow as pa
    except ImportError:  # pragma: no cover - pyarrow is part of the run extra
        pa = None
    if pa is not None and isinstance(data, pa.Table):
        return data.column_names, {n: _column(data.column(n).to_numpy()) for n in data.column_names}
    if isinstance(data, Mapping):
        return [str(k) for k in data], {str(k): _column(v) for k, v in data.items()}
    raise TypeError(f"unsupported source data of type {type(data).__name__}")


def read_path(path: "os.PathLike[str] | str", fmt: Optional[str]) -> pd.DataFrame:
    """Reads a Parquet or CSV file (by ``fmt``, else by extension) through pyarrow."""
    import pyarrow.csv as pcsv
    import pyarrow.parquet as pq

    text = os.fspath(path)
    kind = (fmt or "").lower() or ("csv" if text.lower().endswith((".csv", ".csv.gz")) else
                                    "parquet" if text.lower().endswith((".parquet", ".pq")) else "")
    if kind == "parquet":
        return pq.read_table(text).to_pandas()
    if kind == "csv":
        return pcsv.read_csv(text).to_pandas()
    raise ValueError(f"cannot tell the format of {text!r}; give the source a 'format' param "
                     "('parquet' or 'csv')")


def is_path(data: Any) -> bool:
    return isinstance(data, (str, os.PathLike))


def key_names(params: Mapping[str, Any]) -> List[str]:
    """The key columns a source's ``key`` param declares (comma-separated)."""
    key = params.get("key")
    if not isinstance(key, str):
        return []
    return [k.strip() for k in key.split(",") if k.strip()]


def table_from_data(name: str, data: Any, keys: Sequence[str]) -> Table:
    """Builds a source's table from any in-memory form (a path is read first).

    A 1-D array becomes one value column named after the source.

    Raises
    ------
    ValueError
        A declared key column is missing, a value column is str, or lengths differ.
    """
    if isinstance(data, (np.ndarray, pd.Series, list, tuple)) or _is_arrow_array(data):
        arr = _column(data)
        if arr.ndim != 1:
            raise ValueError(f"array source must be 1-D, got shape {arr.shape}")
        names, cols = [name], {name: arr}
    else:
        names, cols = _frame_columns(data)
    missing = [k for k in keys if k not in cols]
    if missing:
        raise ValueError(f"key column {missing[0]!r} is not a column of the data "
                         f"(columns: {', '.join(names)})")
    lengths = {len(c) for c in cols.values()}
    if len(lengths) > 1:
        raise ValueError(f"columns of unequal length {sorted(lengths)}")
    table = Table({k: cols[k] for k in keys}, {n: cols[n] for n in names if n not in keys})
    for n, col in table.values.items():
        if col.dtype.kind not in "biuf":
            raise ValueError(f"value column {n!r} has dtype {col.dtype}; only numeric and bool "
                             "columns can be values (declare str columns in the 'key' param)")
    return table


def _is_arrow_array(data: Any) -> bool:
    mod = type(data).__module__
    return mod.startswith("pyarrow") and hasattr(data, "to_numpy") and not hasattr(data, "column_names")
