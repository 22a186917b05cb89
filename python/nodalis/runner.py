"""``nodalis.run``: runs a store as built, or a compiled plan, on data.

The driver checks the whole program first (so a bad graph fails before any data
is read), then walks it in id order, handing each node to the chosen engine.
"""
from __future__ import annotations

import sys

import numpy as np
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from nodalis.backends import make_backend
from nodalis.plan import Plan
from nodalis.program import Program, build_program
from nodalis_core import GraphStore


def _request(graph: Union[GraphStore, Plan], outputs: Optional[Sequence[int]]) -> Tuple[GraphStore, List[int]]:
    if isinstance(graph, Plan):
        return graph.store, list(graph.outputs if outputs is None else outputs)
    if isinstance(graph, GraphStore):
        return graph, list(graph.outputs() if outputs is None else outputs)
    raise TypeError(f"graph must be a GraphStore or a Plan, not {type(graph).__name__}")


def _progress_bar(enabled: bool, total: int) -> Any:
    if not enabled:
        return None
    try:
        from tqdm import tqdm
    except ImportError:  # pragma: no cover - tqdm is part of the run extra
        return None
    return tqdm(total=total, desc="nodalis run", unit="node", leave=False)


def evaluate(program: Program, backend: Any, progress: bool = False) -> List[Any]:
    """The engine's value of each output of ``program``, in request order."""
    values: Dict[int, Any] = {}
    bar = _progress_bar(progress, len(program.steps))
    try:
        with np.errstate(all="ignore"):
            for step in program.steps:
                method = getattr(backend, step.kind)
                if step.kind == "source":
                    values[step.id] = method(step)
                else:
                    values[step.id] = method(step, [values[i] for i in step.inputs])
                if bar is not None:
                    bar.update(1)
    finally:
        if bar is not None:
            bar.close()
    return [values[o] for o in program.outputs]


def run(graph: Union[GraphStore, Plan], outputs: Optional[Sequence[int]] = None, *,
        sources: Optional[Mapping[str, Any]] = None, models: Optional[Mapping[str, Any]] = None,
        kernels: Optional[Mapping[str, Callable[..., Any]]] = None, backend: str = "numpy",
        client: Any = None, progress: Optional[bool] = None, compute: bool = True) -> List[Any]:
    """Run a graph on data.

    Parameters
    ----------
    graph : GraphStore or Plan
        A store runs exactly as built (its meaning); a plan from
        :func:`nodalis.compile` runs its reduced graph.
    outputs : sequence of int, optional
        Node ids to return, in order, repeats kept. Defaults to the plan's
        outputs, or the store's marked outputs.
    sources : mapping of str to data, optional
        Data by source name: a pandas or Dask DataFrame, a pyarrow Table, a
        dict of arrays, a 1-D array (one column named after the source), or a
        path to a Parquet or CSV file. A source without an entry is read from
        its ``path`` param.
    models : mapping of str to bytes or path, optional
        Model bytes by the external node's content hash; a SHA-256 content
        hash must match the bytes.
    kernels : mapping of str to callable, optional
        Kernels that add to or override the standard ones: element-wise
        ``fn(*arrays, **params)``, reductions ``fn(x, axis=..., **params)``, and
        ``"external:<framework>"`` runners ``fn(matrices, *, descriptor, model, **params)``.
    backend : {"numpy", "dask"}
        The engine.
    client : distributed.Client, optional
        With ``backend="dask"``, the cluster to run on.
    progress : bool, optional
        Show a progress bar; by default only when standard error is a terminal.
    compute : bool
        With ``backend="dask"``, ``False`` returns lazy Dask DataFrames.

    Returns
    -------
    list of pandas.DataFrame
        One frame per requested output, key columns first, then value columns.

    Raises
    ------
    RunError
        A node cannot run; the message names the node id and kind. Problems
        visible in the graph, kernels and models are raised before any data is read.
    ValueError
        An output id that is not in the graph.
    """
    store, requested = _request(graph, outputs)
    program = build_program(store, requested, sources, models, kernels)
    engine = make_backend(backend, client)
    show = sys.stderr.isatty() if progress is None else progress
    # The numpy engine works node by node; a Dask graph runs only when computed.
    values = evaluate(program, engine, show and backend == "numpy")
    return engine.frames(values, compute, show)
