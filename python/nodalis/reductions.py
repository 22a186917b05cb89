"""Reductions: over all rows, per group of an exchange key, or across a row's value columns.

Floats accumulate in float64; ints and bools in int64. A group with no rows
follows pandas: sum 0, prod 1, count 0, any False, all True, and NaN for min,
max and mean. NaN inside a group propagates, as in numpy (fill_nan first to
skip it). User reduction kernels are called numpy-style: ``fn(x, axis=a, **params)``.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple

import numpy as np
import pandas as pd

from nodalis.table import Columns


def accumulable(x: np.ndarray, name: str) -> np.ndarray:
    """``x`` in the dtype a reduction accumulates in."""
    if name in ("sum", "prod", "mean"):
        if x.dtype.kind == "f":
            return x.astype(np.float64, copy=False)
        if x.dtype.kind in "biu":
            return x.astype(np.int64, copy=False) if name != "mean" else x.astype(np.float64)
    if name in ("any", "all"):
        return x.astype(bool, copy=False)
    return x


@dataclass(frozen=True)
class Reducer:
    """A standard reduction: over rows, per group and across columns."""

    name: str
    ufunc: Optional[np.ufunc]
    empty: Any

    def whole(self, x: np.ndarray) -> Any:
        x = accumulable(x, self.name)
        if self.name == "count":
            return np.int64(len(x))
        if len(x) == 0:
            return self.empty_value(x)
        if self.name == "mean":
            return np.add.reduce(x) / len(x)
        return self.ufunc.reduce(x)  # type: ignore[union-attr]

    def by_codes(self, x: np.ndarray, codes: np.ndarray, ngroups: int) -> Any:
        """One value per group, ``codes`` giving each row's group (every group has a row).

        Each group accumulates its rows in row order, without sorting the rows.
        """
        if self.name == "count":
            return np.bincount(codes, minlength=ngroups).astype(np.int64)
        x = accumulable(x, self.name)
        if self.name in ("sum", "mean") and x.dtype.kind == "f":
            total = np.bincount(codes, weights=x, minlength=ngroups)
            return total / np.bincount(codes, minlength=ngroups) if self.name == "mean" else total
        if self.name in ("min", "max", "any", "all"):
            first = np.empty(ngroups, np.intp)
            first[codes[::-1]] = np.arange(len(codes) - 1, -1, -1)
            out = x[first]
        else:
            out = np.full(ngroups, self.empty, x.dtype)
        self.ufunc.at(out, codes, x)  # type: ignore[union-attr]
        return out

    def across(self, m: np.ndarray, nrows: int) -> Any:
        """One value per row of the (rows x columns) matrix ``m``."""
        if self.name == "count":
            return np.full(nrows, m.shape[1], np.int64)
        if m.shape[1] == 0:
            return np.full(nrows, self.empty, self.result_dtype(m.dtype))
        m = accumulable(m, self.name)
        if self.name == "mean":
            return np.add.reduce(m, axis=1) / m.shape[1]
        return self.ufunc.reduce(m, axis=1)  # type: ignore[union-attr]

    def result_dtype(self, dtype: np.dtype) -> np.dtype:
        if self.name == "count":
            return np.dtype(np.int64)
        if self.name in ("any", "all"):
            return np.dtype(bool)
        if self.name == "mean" or (self.name in ("min", "max") and dtype.kind not in "f"):
            return np.dtype(np.float64) if self.name == "mean" else dtype
        return accumulable(np.empty(0, dtype), self.name).dtype

    def empty_value(self, x: np.ndarray) -> Any:
        if self.name in ("min", "max", "mean"):
            return np.float64(np.nan)
        return np.array([self.empty], self.result_dtype(x.dtype))[0]

    # Partial results, for engines that reduce each partition and then combine.
    def partial(self, x: np.ndarray) -> Tuple[Any, int]:
        if self.name == "mean":
            return (np.add.reduce(accumulable(x, "sum")) if len(x) else 0.0), len(x)
        return (self.whole(x) if len(x) else None), len(x)

    def combine(self, partials: List[Tuple[Any, int]], dtype: np.dtype) -> Any:
        n = sum(c for _, c in partials)
        if self.name == "count":
            return np.int64(n)
        if self.name == "mean":
            return np.float64(np.add.reduce(np.array([float(v) for v, _ in partials])) / n) \
                if n else np.float64(np.nan)
        vals = [v for v, c in partials if c]
        if not vals:
            return self.empty_value(np.empty(0, dtype))
        return self.ufunc.reduce(np.array(vals))  # type: ignore[union-attr]


STANDARD: Dict[str, Reducer] = {
    "sum": Reducer("sum", np.add, 0), "prod": Reducer("prod", np.multiply, 1),
    "min": Reducer("min", np.minimum, np.nan), "max": Reducer("max", np.maximum, np.nan),
    "mean": Reducer("mean", None, np.nan), "count": Reducer("count", None, 0),
    "any": Reducer("any", np.logical_or, False), "all": Reducer("all", np.logical_and, True),
}

UserReduction = Callable[..., Any]


def groups(keys: np.ndarray) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Distinct keys ascending, the row order that sorts rows by key (stable), group starts and sizes.

    -0.0 and 0.0 are one key, and so are all NaNs (sorted last).
    """
    if keys.dtype.kind == "f":
        keys = keys + 0.0  # -0.0 becomes 0.0
    order = np.argsort(keys, kind="stable")
    ordered = keys[order]
    if len(ordered) == 0:
        return ordered, order, np.zeros(0, np.intp), np.zeros(0, np.intp)
    change = ordered[1:] != ordered[:-1]
    if keys.dtype.kind == "f":
        change &= ~(np.isnan(ordered[1:]) & np.isnan(ordered[:-1]))
    starts = np.concatenate(([0], np.flatnonzero(change) + 1)).astype(np.intp)
    counts = np.diff(np.append(starts, len(ordered)))
    return ordered[starts], order, starts, counts


def group_codes(keys: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Distinct keys ascending, and each row's position among them.

    Hashing the keys instead of sorting the rows keeps grouping linear;
    -0.0 and 0.0 are one key, and so are all NaNs (sorted last).
    """
    if keys.dtype.kind == "f":
        keys = keys + 0.0
    codes, uniques = pd.factorize(keys, use_na_sentinel=False)
    uniques = np.asarray(uniques)
    rank = np.argsort(uniques)  # distinct keys: no ties, so any sort gives one order
    position = np.empty(len(rank), np.intp)
    position[rank] = np.arange(len(rank))
    return uniques[rank], position[codes]


def reduce_whole(name: str, user: Optional[UserReduction], values: Columns,
                 params: Mapping[str, Any]) -> Columns:
    """Each value column reduced to one row."""
    out: Columns = {}
    for col, x in values.items():
        v = user(x, axis=0, **params) if user else STANDARD[name].whole(x)
        out[col] = np.asarray([v])
    return out


def reduce_grouped(name: str, user: Optional[UserReduction], keys: np.ndarray, values: Columns,
                   params: Mapping[str, Any]) -> Tuple[np.ndarray, Columns]:
    """One row per distinct key (ascending): the distinct keys and each value column reduced per group."""
    out: Columns = {}
    if user is None:
        uniq, codes = group_codes(keys)
        for col, x in values.items():
            out[col] = np.asarray(STANDARD[name].by_codes(x, codes, len(uniq)))
        return uniq, out
    uniq, order, starts, counts = groups(keys)
    for col, x in values.items():
        xs = x[order]
        out[col] = np.asarray([user(xs[s:s + c], axis=0, **params) for s, c in zip(starts, counts)])
    return uniq, out


def reduce_across(name: str, user: Optional[UserReduction], values: Columns, nrows: int,
                  params: Mapping[str, Any]) -> np.ndarray:
    """Each row reduced across its value columns."""
    cols = list(values.values())
    m = np.column_stack(cols) if cols else np.empty((nrows, 0))
    if user:
        return np.asarray(user(m, axis=1, **params))
    return np.asarray(STANDARD[name].across(m, nrows))
