"""nodalis: compile dataflow graphs held by ``nodalis_core`` and run them on data.

The native core holds and reduces the graph; this package is where people meet
it: compiling to plans whose outputs follow the request order, the ``nodalis``
command, pictures, and the interpreter that runs a graph on data.
"""
from nodalis.drawing import draw
from nodalis.errors import RunError
from nodalis.plan import Plan, compile, compile_incremental
from nodalis.runner import run

__all__ = ["Plan", "RunError", "compile", "compile_incremental", "draw", "run"]
