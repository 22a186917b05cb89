"""Pictures of graphs: Graphviz drawings of a store or a plan's reduced store.

The drawing itself (running Graphviz's ``dot`` on the store's DOT text) lives
beside the core, which uses it for the notebook display; this is its public face.
"""
from __future__ import annotations

from typing import Optional, Union

from nodalis_core import GraphStore
from nodalis_core import _display
from nodalis_core._display import MAX_DRAWN_NODES, GraphvizFailed, GraphvizMissing

from nodalis.plan import Plan

__all__ = ["draw", "GraphvizMissing", "GraphvizFailed", "MAX_DRAWN_NODES"]


def draw(graph: Union[GraphStore, Plan], fmt: str = "svg", *,
         timeout: Optional[float] = None) -> bytes:
    """Draw a graph with Graphviz.

    Parameters
    ----------
    graph : GraphStore or Plan
        The store to draw; for a plan, its reduced store.
    fmt : str, default "svg"
        A Graphviz output format (``"svg"``, ``"png"``, ``"pdf"``...).
    timeout : float, optional
        Seconds to wait for Graphviz; without it, no limit. Graphs of more
        than ``MAX_DRAWN_NODES`` nodes may take minutes.

    Returns
    -------
    bytes
        The drawing.

    Raises
    ------
    GraphvizMissing
        If Graphviz's ``dot`` program is not installed.
    GraphvizFailed
        If ``dot`` fails or runs past `timeout`.
    """
    store = graph.store if isinstance(graph, Plan) else graph
    return _display.run_dot(store.to_dot(), fmt, timeout=timeout)
