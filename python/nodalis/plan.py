"""Plans: a reduced store together with where each requested output ended up.

A reduced store marks each distinct output once, so it cannot say which of its
nodes computes which request; a plan keeps that mapping, in request order.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Collection, Dict, Optional, Sequence, Tuple

from nodalis_core import GraphStore, IncrementalReducer


@dataclass(frozen=True, slots=True, repr=False)
class Plan:
    """A compiled graph.

    Attributes
    ----------
    store : GraphStore
        The reduced store.
    report : dict of str to int
        The six counts of the reduction.
    outputs : tuple of int
        For each requested output, in request order (repeats kept), the id of
        the reduced node that computes it.
    """

    store: GraphStore
    report: Dict[str, int]
    outputs: Tuple[int, ...]

    def __repr__(self) -> str:
        stages = self.report.get("stages", 0)
        return (f"<Plan outputs {list(self.outputs)}, {self.store.node_count()} nodes, "
                f"{stages} stage{'' if stages == 1 else 's'}>")

    def _repr_mimebundle_(self, include: Optional[Collection[str]] = None,
                          exclude: Optional[Collection[str]] = None) -> Dict[str, Any]:
        # The store's drawing, under a summary that leads with the plan.
        bundle = self.store._repr_mimebundle_(include, exclude)
        if "text/plain" in bundle:
            bundle["text/plain"] = repr(self) + "\n" + bundle["text/plain"]
        return bundle


def compile(store: GraphStore, outputs: Optional[Sequence[int]] = None, *,
            maximal_fusion: bool = False) -> Plan:
    """Reduce a store into a plan.

    Parameters
    ----------
    store : GraphStore
        The store to reduce; it is not changed.
    outputs : sequence of int, optional
        The node ids to compute, in order, repeats allowed. Without it the
        store's marked outputs are used, in mark order.
    maximal_fusion : bool, default False
        Also fuse an op with several uses when all of them land in one stage.

    Returns
    -------
    Plan
        The reduced store, its report, and the reduced id of each output.

    Raises
    ------
    ValueError
        If an id of `outputs` is not in `store`.
    TypeError
        If `outputs` is not a sequence of ints (a ``str`` is refused).

    Examples
    --------
    >>> from nodalis_core import GraphStore
    >>> g = GraphStore()
    >>> x = g.add_source("x")
    >>> a, b = g.add_op("tanh", [x]), g.add_op("exp", [x])
    >>> compile(g, [a, b, a]).outputs
    (1, 2, 1)
    """
    reduced, report, ids = store.reduce_plan(outputs=outputs, maximal_fusion=maximal_fusion)
    return Plan(reduced, report, tuple(ids))


def compile_incremental(reducer: IncrementalReducer, store: GraphStore,
                        outputs: Optional[Sequence[int]] = None, *,
                        maximal_fusion: bool = False) -> Plan:
    """Finish an incremental reduction into a plan.

    Parameters
    ----------
    reducer : IncrementalReducer
        The reducer that has followed `store` (with ``step``) while it was
        built; it consumes what is left of the store first and stays usable.
    store : GraphStore
        The store the reducer follows.
    outputs : sequence of int, optional
        The node ids to compute, in order, repeats allowed. Without it the
        store's marked outputs are used.
    maximal_fusion : bool, default False
        Also fuse an op with several uses when all of them land in one stage.

    Returns
    -------
    Plan
        The reduced store, its report, and the reduced id of each output.

    Raises
    ------
    ValueError
        If an id of `outputs` is not in `store`.
    """
    reduced, report, ids = reducer.finalize_plan(store, outputs=outputs,
                                                 maximal_fusion=maximal_fusion)
    return Plan(reduced, report, tuple(ids))
