"""nodalis: compile dataflow graphs held by ``nodalis_core`` and run them on data.

The native core holds and reduces the graph; this package is where people meet
it: compiling to plans whose outputs follow the request order, the ``nodalis``
command, pictures, and the interpreter that runs a graph on data.
"""
from typing import TYPE_CHECKING, Any, List

from nodalis.drawing import draw
from nodalis.errors import RunError
from nodalis.plan import Plan, compile, compile_incremental

if TYPE_CHECKING:
    from nodalis.runner import run

__all__ = ["Plan", "RunError", "compile", "compile_incremental", "draw", "run"]


def __getattr__(name: str) -> Any:
    # The interpreter brings numpy and pandas, a second or so of imports that
    # compiling, drawing and every verb of the command but `run` never use:
    # it is imported when `run` is first asked for.
    if name == "run":
        from nodalis.runner import run

        return run
    raise AttributeError(f"module 'nodalis' has no attribute {name!r}")


def __dir__() -> List[str]:
    # Completion and help() list run before it is imported.
    return sorted(set(globals()) | set(__all__))
