"""Engines that run a checked program: one small interface, one module per engine.

The driver walks the program's steps in id order and calls the engine's method
named after each step's kind with the values of the step's inputs; the engine
decides what a value is (a table in memory, a lazy Dask frame) and how the
requested values become pandas frames. The numpy engine is the reference.
"""
from __future__ import annotations

from typing import Any, List, Optional, Protocol, Sequence

from nodalis.program import Step


class Backend(Protocol):
    """What the driver needs from an engine. Values are whatever the engine uses for a table."""

    def source(self, step: Step) -> Any: ...
    def op(self, step: Step, inputs: Sequence[Any]) -> Any: ...
    def stage(self, step: Step, inputs: Sequence[Any]) -> Any: ...
    def exchange(self, step: Step, inputs: Sequence[Any]) -> Any: ...
    def reduction(self, step: Step, inputs: Sequence[Any]) -> Any: ...
    def external(self, step: Step, inputs: Sequence[Any]) -> Any: ...

    def frames(self, values: Sequence[Any], compute: bool, progress: Optional[bool]) -> List[Any]:
        """The requested values as pandas frames (or lazy collections when ``compute`` is false)."""
        ...


BACKENDS = ("numpy", "dask")


def make_backend(name: str, client: Any = None) -> Backend:
    """The engine called ``name`` ("numpy" or "dask")."""
    if name == "numpy":
        if client is not None:
            raise ValueError("client= is for backend='dask'")
        from nodalis.backends.numpy_backend import NumpyBackend

        return NumpyBackend()
    if name == "dask":
        from nodalis.backends.dask_backend import DaskBackend

        return DaskBackend(client)
    raise ValueError(f"unknown backend {name!r} (known: {', '.join(BACKENDS)})")
