"""Plans: a reduced store together with where each requested output ended up.

A reduced store marks each distinct output once, so it cannot say which of its
nodes computes which request; a plan keeps that mapping, in request order.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, Optional, Sequence, Tuple

from nodalis_core import GraphStore, IncrementalReducer


@dataclass(frozen=True, slots=True)
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


def compile(store: GraphStore, outputs: Optional[Sequence[int]] = None, *,
            maximal_fusion: bool = False) -> Plan:
    """Reduce ``store`` for ``outputs`` (default: its marked outputs) into a :class:`Plan`."""
    raise NotImplementedError("compile lands with the request-ordered reduction of the core")


def compile_incremental(reducer: IncrementalReducer, store: GraphStore,
                        outputs: Optional[Sequence[int]] = None) -> Plan:
    """Finalize ``reducer`` over ``store`` into a :class:`Plan`."""
    raise NotImplementedError("compile_incremental lands with the request-ordered reduction of the core")
