"""External nodes: a model run over the value columns of the node's inputs.

ONNX models run through onnxruntime with one session per model per process
(on Dask, per worker process), cached by the SHA-256 of the model bytes. Other
frameworks run through ``kernels={"external:<framework>": fn}``.
"""
from __future__ import annotations

import hashlib
import os
import re
import threading
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence

import numpy as np

from nodalis.elementwise import passthrough
from nodalis.table import Columns, Table

_SHA256 = re.compile(r"^(?:sha256:)?([0-9a-fA-F]{64})$")
_sessions: Dict[str, Any] = {}
_sessions_lock = threading.Lock()


@dataclass(frozen=True)
class Model:
    """The bytes of a model and their SHA-256, the key its session is cached under."""

    data: bytes
    digest: str


def load_model(content_hash: str, models: Optional[Mapping[str, Any]]) -> Optional[Model]:
    """The model for ``content_hash`` from ``models`` (bytes or a path), checked against the hash.

    The hash is looked up as given, then with or without its ``sha256:`` prefix.
    Returns ``None`` when ``models`` has no entry for it.

    Raises
    ------
    ValueError
        The content hash is a SHA-256 and the bytes do not hash to it.
    """
    models = models or {}
    match = _SHA256.match(content_hash)
    candidates = [content_hash]
    if match:
        candidates += [match.group(1), "sha256:" + match.group(1)]
    entry = next((models[c] for c in candidates if c in models), None)
    if entry is None:
        return None
    if isinstance(entry, (str, os.PathLike)):
        with open(entry, "rb") as f:
            entry = f.read()
    data = bytes(entry)
    digest = hashlib.sha256(data).hexdigest()
    if match and digest != match.group(1).lower():
        raise ValueError(f"model bytes hash to sha256:{digest}, not {content_hash}")
    return Model(data, digest)


def session(model: Model) -> Any:
    """This process's one onnxruntime session for ``model``."""
    with _sessions_lock:
        sess = _sessions.get(model.digest)
        if sess is None:
            import onnxruntime

            opts = onnxruntime.SessionOptions()
            opts.log_severity_level = 3
            sess = onnxruntime.InferenceSession(model.data, opts, providers=["CPUExecutionProvider"])
            _sessions[model.digest] = sess
        return sess


def input_matrices(tables: Sequence[Table]) -> List[np.ndarray]:
    """Each input's value columns, in order, as a float32 (rows x columns) matrix."""
    out = []
    for t in tables:
        cols = [c.astype(np.float32, copy=False) for c in t.values.values()]
        out.append(np.column_stack(cols) if cols else np.empty((t.nrows, 0), np.float32))
    return out


def _onnx_rows(model: Model, mats: List[np.ndarray]) -> np.ndarray:
    sess = session(model)
    feeds_meta = sess.get_inputs()
    if len(feeds_meta) == len(mats):
        arrays = mats
    elif len(feeds_meta) == 1:
        arrays = [np.hstack(mats) if len(mats) > 1 else mats[0]]
    else:
        raise ValueError(f"the model takes {len(feeds_meta)} inputs, the node gives {len(mats)}")
    feeds = {}
    for meta, arr in zip(feeds_meta, arrays):
        shape = meta.shape
        if isinstance(shape, (list, tuple)) and len(shape) == 1:
            arr = arr.reshape(-1)
        feeds[meta.name] = np.ascontiguousarray(arr)
    return np.asarray(sess.run([sess.get_outputs()[0].name], feeds)[0])


ExternalKernel = Callable[..., Any]


def run_external(tables: Sequence[Table], model: Optional[Model], params: Mapping[str, Any],
                 descriptor: Mapping[str, Any], kernel: Optional[ExternalKernel] = None) -> Table:
    """The external node's table: the model's first output as ``out`` or ``out0..outK``.

    Parameters
    ----------
    tables : sequence of Table
        The node's inputs; their rows must match.
    model : Model or None
        The ONNX model (unused when ``kernel`` is given).
    params : mapping
        The node's params; ``batch`` is rows per model call.
    descriptor : mapping
        The node's descriptor, handed to ``kernel``.
    kernel : callable, optional
        ``fn(matrices, *, descriptor, model, **params)`` for a non-ONNX framework.

    Returns
    -------
    Table
    """
    rows = {t.nrows for t in tables}
    if len(rows) > 1:
        raise ValueError(f"row counts do not match: {[t.nrows for t in tables]}")
    n = rows.pop() if rows else 0
    mats = input_matrices(tables)
    if kernel is not None:
        extra = {k: v for k, v in params.items()}
        result = np.asarray(kernel(mats, descriptor=dict(descriptor),
                                   model=None if model is None else model.data, **extra))
    else:
        assert model is not None
        if n == 0:  # still learn the output's width and dtype
            result = _onnx_rows(model, [np.zeros((1, m.shape[1]), np.float32) for m in mats])[:0]
        else:
            batch = int(params.get("batch", n)) or n
            parts = [_onnx_rows(model, [m[s:s + batch] for m in mats]) for s in range(0, n, batch)]
            result = parts[0] if len(parts) == 1 else np.concatenate(parts)
    if result.ndim == 2 and result.shape[1] == 1:
        result = result[:, 0]
    if result.ndim not in (1, 2) or result.shape[0] != n:
        raise ValueError(f"the model gave shape {result.shape} for {n} rows")
    values: Columns = ({"out": result} if result.ndim == 1 else
                       {f"out{i}": np.ascontiguousarray(result[:, i]) for i in range(result.shape[1])})
    keys, part = passthrough(tables)
    return Table(keys, values, part)
