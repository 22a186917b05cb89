"""The element-wise kernels ops and stage members call, and how user kernels join them.

A standard kernel is numpy in, numpy out, and writes into ``out`` when given
one, so a fused stage can run every member into a chunk buffer it reuses.
Bools count as 0 and 1 in arithmetic, and float functions of ints or bools
compute in float64, so a value means the same whatever its dtype became on
the way. User kernels (``run(..., kernels={name: fn})``) take arrays and the
op's own params as keyword arguments and return a new array.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Dict, FrozenSet, List, Mapping, Optional, Sequence

import numpy as np

from nodalis.errors import RunError

KernelFn = Callable[..., Any]


@dataclass(frozen=True)
class Kernel:
    """An element-wise kernel and what the driver may check about it before running.

    ``arity`` and ``params`` are ``None`` for user kernels, whose signature
    the driver does not second-guess.
    """

    fn: KernelFn
    arity: Optional[int] = None
    params: Optional[FrozenSet[str]] = None
    required: FrozenSet[str] = frozenset()
    takes_out: bool = False
    # Given one call's arguments, the bare ufunc that computes the same for
    # arguments of those dtypes (a fused stage calls it on every chunk), or None.
    plain: Optional[Callable[[Sequence[Any]], Optional[KernelFn]]] = None


def _float_dtype(x: Any) -> np.dtype:
    dt = np.result_type(x)
    return dt if dt.kind in "fc" else np.dtype(np.float64)


def _sigmoid(x: Any, out: Optional[np.ndarray] = None) -> Any:
    dt = _float_dtype(x)
    out = np.negative(x, out=out, dtype=dt)
    np.exp(out, out=out)
    np.add(out, 1.0, out=out)
    return np.reciprocal(out, out=out)


def _relu(x: Any, out: Optional[np.ndarray] = None) -> Any:
    return np.maximum(x, np.zeros((), np.result_type(x)), out=out)


def _fill_nan(x: Any, out: Optional[np.ndarray] = None, *, value: Any) -> Any:
    x = np.asarray(x)
    if out is None:
        out = np.array(x, copy=True)
    else:
        np.copyto(out, x)
    if x.dtype.kind in "fc":
        np.copyto(out, value, where=np.isnan(x), casting="unsafe")
    return out


def _clip(x: Any, out: Optional[np.ndarray] = None, *, lo: Any = None, hi: Any = None) -> Any:
    return np.clip(x, lo, hi, out=out)


def _cast(x: Any, out: Optional[np.ndarray] = None, *, dtype: str) -> Any:
    if out is None:
        return np.array(x, dtype=dtype, copy=True)
    np.copyto(out, x, casting="unsafe")
    return out


def _round(x: Any, out: Optional[np.ndarray] = None, *, decimals: int = 0) -> Any:
    return np.round(x, decimals, out=out)


def _where(cond: Any, a: Any, b: Any) -> Any:
    return np.where(np.asarray(cond, dtype=bool), a, b)


def _ufunc(fn: np.ufunc) -> Kernel:
    return Kernel(fn, arity=fn.nin, params=frozenset(), takes_out=True)


def _is_bool(x: Any) -> bool:
    return isinstance(x, (bool, np.bool_)) or (isinstance(x, np.ndarray) and x.dtype.kind == "b")


def _counting(fn: np.ufunc) -> Kernel:
    """Arithmetic where bools count as 0 and 1 (numpy would refuse them or treat + as or)."""
    def kernel(*args: Any, out: Optional[np.ndarray] = None) -> Any:
        args = tuple(np.asarray(a, np.int64) if _is_bool(a) else a for a in args)
        return fn(*args, out=out)
    return Kernel(kernel, arity=fn.nin, params=frozenset(), takes_out=True,
                  plain=lambda args: None if any(_is_bool(a) for a in args) else fn)


def _floating(fn: np.ufunc) -> Kernel:
    """A float-valued function computed in float64 unless its input already is a float."""
    def kernel(x: Any, out: Optional[np.ndarray] = None) -> Any:
        return fn(x, out=out, dtype=_float_dtype(x))
    return Kernel(kernel, arity=1, params=frozenset(), takes_out=True,
                  plain=lambda args: fn if np.result_type(args[0]).kind == "f" else None)


_UFUNCS: Dict[str, np.ufunc] = {
    "add": np.add, "sub": np.subtract, "mul": np.multiply, "div": np.true_divide,
    "pow": np.power, "mod": np.mod, "maximum": np.maximum, "minimum": np.minimum,
    "eq": np.equal, "ne": np.not_equal, "lt": np.less, "le": np.less_equal,
    "gt": np.greater, "ge": np.greater_equal,
    "and": np.logical_and, "or": np.logical_or, "xor": np.logical_xor, "not": np.logical_not,
    "neg": np.negative, "abs": np.absolute, "sign": np.sign, "exp": np.exp, "log": np.log,
    "log1p": np.log1p, "sqrt": np.sqrt, "square": np.square, "tanh": np.tanh,
    "sin": np.sin, "cos": np.cos, "floor": np.floor, "ceil": np.ceil,
}

STANDARD: Dict[str, Kernel] = {name: _ufunc(fn) for name, fn in _UFUNCS.items()}
STANDARD.update({name: _counting(_UFUNCS[name]) for name in ("add", "sub", "neg", "pow", "mod")})
STANDARD.update({name: _floating(_UFUNCS[name])
                 for name in ("exp", "log", "log1p", "sqrt", "tanh", "sin", "cos")})
STANDARD.update({
    "sigmoid": Kernel(_sigmoid, 1, frozenset(), takes_out=True),
    "relu": Kernel(_relu, 1, frozenset(), takes_out=True),
    "round": Kernel(_round, 1, frozenset({"decimals"}), takes_out=True),
    "fill_nan": Kernel(_fill_nan, 1, frozenset({"value"}), frozenset({"value"}), takes_out=True),
    "clip": Kernel(_clip, 1, frozenset({"lo", "hi"}), takes_out=True),
    "cast": Kernel(_cast, 1, frozenset({"dtype"}), frozenset({"dtype"}), takes_out=True),
    "where": Kernel(_where, 3, frozenset()),
})

# Params an op reads itself; everything else goes to the kernel.
OP_PARAMS = frozenset({"scalar", "side"})


def kernel_table(user: Optional[Mapping[str, KernelFn]]) -> Dict[str, Kernel]:
    """The standard kernels with the user's added or overriding them.

    Parameters
    ----------
    user : mapping of str to callable, optional
        Kernels by op name; ``"external:<framework>"`` entries run external
        nodes of that framework and are kept as they are.

    Returns
    -------
    dict of str to Kernel
    """
    if not user:
        return STANDARD
    table = dict(STANDARD)
    for name, fn in user.items():
        if not callable(fn):
            raise RunError(f"kernel {name!r} is not callable")
        table[name] = Kernel(fn)
    return table


def check_kernel_params(kernel: Kernel, params: Mapping[str, Any]) -> Optional[str]:
    """Why ``params`` do not suit a standard kernel, or ``None`` when they do."""
    if kernel.params is None:
        return None
    extra = sorted(set(params) - kernel.params)
    if extra:
        allowed = ", ".join(sorted(kernel.params)) or "none"
        return f"unexpected param {extra[0]!r} (this kernel takes: {allowed})"
    missing = sorted(kernel.required - set(params))
    if missing:
        return f"missing param {missing[0]!r}"
    if "dtype" in params:
        try:
            dt = np.dtype(params["dtype"])
        except TypeError:
            return f"unknown dtype {params['dtype']!r}"
        if dt.kind not in "biuf":
            return f"dtype {params['dtype']!r} is not numeric or bool"
    return None


def call_kernel(kernel: Kernel, args: List[Any], params: Mapping[str, Any],
                out: Optional[np.ndarray] = None) -> Any:
    """Calls ``kernel`` on ``args``, into ``out`` when it can write there."""
    if kernel.takes_out and out is not None:
        return kernel.fn(*args, out=out, **params)
    return kernel.fn(*args, **params)
