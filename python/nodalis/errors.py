"""The one error a run raises for a graph or data it cannot run.

Every message starts with the node it is about (id, kind and name) so that a
failure deep inside a stage or on a Dask worker still points at the graph.
"""
from __future__ import annotations

from typing import Any, Optional, Tuple


class RunError(ValueError):
    """A graph, its sources or its models cannot be run.

    Attributes
    ----------
    node : int or None
        The id of the node the error is about (``None`` for errors about the
        request as a whole).
    kind : str
        The node's kind ("source", "op", "stage", ...), or "" without a node.
    """

    def __init__(self, message: str, node: Optional[int] = None, kind: str = "",
                 name: str = "") -> None:
        self.node = node
        self.kind = kind
        if node is not None:
            label = f"{kind} '{name}'" if name else kind
            message = f"node {node} ({label}): {message}"
        super().__init__(message)

    def __reduce__(self) -> Tuple[Any, Tuple[str, Optional[int], str]]:  # keep the fields across processes
        return (_rebuild, (self.args[0], self.node, self.kind))


def _rebuild(message: str, node: Optional[int], kind: str) -> RunError:
    err = RunError(message)
    err.node, err.kind = node, kind
    return err
