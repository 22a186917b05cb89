"""Drawing stores with Graphviz: the notebook display of ``GraphStore`` and the
``dot`` runner that the ``nodalis render`` command shares with it.

The extension calls ``mimebundle`` lazily, the first time a store is shown; the
drawing runs the ``dot`` program on the store's own DOT text, so it needs no
Python package, and every failure of it falls back to the text summary.
"""
from __future__ import annotations

import shutil
import subprocess
from collections import Counter
from typing import TYPE_CHECKING, Any, Collection, Dict, Optional

if TYPE_CHECKING:
    from nodalis_core import GraphStore

# Graphviz's layout takes minutes beyond a few thousand nodes.
MAX_DRAWN_NODES = 2000
# Kinds are counted through the node view, which costs time on huge stores.
MAX_COUNTED_NODES = 200_000
DISPLAY_TIMEOUT_SECONDS = 20.0
INSTALL_HINT = ("Graphviz's 'dot' program was not found; install Graphviz "
                "(apt-get install graphviz, brew install graphviz, conda install graphviz)")


class GraphvizMissing(RuntimeError):
    """The ``dot`` program is not on the PATH."""


class GraphvizFailed(RuntimeError):
    """``dot`` ran and refused its input, or ran out of time."""


def dot_program() -> Optional[str]:
    """The path of Graphviz's ``dot`` program, or None when it is not installed."""
    return shutil.which("dot")


def run_dot(dot_text: str, fmt: str, *, timeout: Optional[float] = None) -> bytes:
    """Lay out and draw DOT text with Graphviz.

    Parameters
    ----------
    dot_text : str
        A Graphviz graph, e.g. from ``GraphStore.to_dot()``.
    fmt : str
        A ``dot -T`` output format: ``"svg"``, ``"png"``, ``"pdf"``...
    timeout : float, optional
        Seconds to wait for ``dot``; without it, no limit.

    Returns
    -------
    bytes
        What ``dot`` wrote.

    Raises
    ------
    GraphvizMissing
        If ``dot`` is not installed.
    GraphvizFailed
        If ``dot`` fails on the input or does not finish within `timeout`.
    """
    program = dot_program()
    if program is None:
        raise GraphvizMissing(INSTALL_HINT)
    try:
        done = subprocess.run([program, f"-T{fmt}"], input=dot_text.encode(), capture_output=True,
                              timeout=timeout, check=False)
    except subprocess.TimeoutExpired as e:
        raise GraphvizFailed(f"dot did not finish within {timeout:g} s") from e
    if done.returncode != 0:
        message = done.stderr.decode(errors="replace").strip().splitlines()
        raise GraphvizFailed(f"dot failed: {message[0] if message else f'exit status {done.returncode}'}")
    return done.stdout


def summary(store: GraphStore) -> str:
    """The store's repr and, unless the store is huge, its node count by kind."""
    text = repr(store)
    count = store.node_count()
    if 0 < count <= MAX_COUNTED_NODES:
        kinds = Counter(node["kind"] for node in store.nodes())
        text += "\n" + ", ".join(f"{n} {kind}" for kind, n in sorted(kinds.items()))
    if count > MAX_DRAWN_NODES:
        text += f"\n(not drawn: over {MAX_DRAWN_NODES} nodes)"
    return text


def mimebundle(store: GraphStore, include: Optional[Collection[str]] = None,
               exclude: Optional[Collection[str]] = None) -> Dict[str, Any]:
    """The notebook display of a store: the summary, and an SVG drawing when possible.

    Never raises for a missing or failing Graphviz, or a graph too large to draw:
    the drawing is then left out.
    """
    def wanted(mime: str) -> bool:
        return (include is None or mime in include) and (exclude is None or mime not in exclude)

    bundle: Dict[str, Any] = {}
    if wanted("text/plain"):
        bundle["text/plain"] = summary(store)
    if wanted("image/svg+xml") and 0 < store.node_count() <= MAX_DRAWN_NODES:
        try:
            svg = run_dot(store.to_dot(), "svg", timeout=DISPLAY_TIMEOUT_SECONDS)
            bundle["image/svg+xml"] = svg.decode("utf-8", errors="replace")
        except (GraphvizMissing, GraphvizFailed, OSError):
            pass
    return bundle
