"""``nodalis inspect``: a blob's nodes, one line each, or its node view as JSON."""
from __future__ import annotations

import argparse
import json
import math
import sys
from typing import Any

from nodalis.cli.common import add_subcommand, load
from nodalis.cli.layout import id_width, kind_counts, node_line

DESCRIPTION = """\
Print a summary of an IR blob: its node count by kind and its outputs, then one
line per node: id, kind, name, input ids and parameters; stage nodes also list
their members with their arguments (%k is node k, m<j> the stage's member j).
With --json, print the node view (GraphStore.nodes()) as a JSON list instead;
being strict JSON, it writes a non-finite float parameter as the string "NaN",
"Infinity" or "-Infinity"."""


def register(subcommands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    """Add ``inspect`` to the command."""
    parser = add_subcommand(subcommands, "inspect", summary="list the nodes of a blob",
                            description=DESCRIPTION, command=command)
    parser.add_argument("file", metavar="FILE.nir", help="the blob to read ('-' for stdin)")
    parser.add_argument("--json", action="store_true",
                        help="print the node view as JSON, for programs")


def command(args: argparse.Namespace) -> int:
    """Run ``nodalis inspect``."""
    store = load(args, args.file)
    nodes = store.nodes()
    if args.json:
        json.dump(_strict(nodes), sys.stdout, indent=1, allow_nan=False)
        sys.stdout.write("\n")
        return 0
    counts = kind_counts(nodes)
    print(f"{args.file}: {len(nodes)} nodes" + (f" ({counts})" if counts else "")
          + f", outputs {store.outputs()}")
    width = id_width(len(nodes))
    for node in nodes:
        print(node_line(node, width))
    return 0


def _strict(value: Any) -> Any:
    """``value`` with non-finite floats spelled as JavaScript does, which JSON cannot hold."""
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if value != value else ("Infinity" if value > 0 else "-Infinity")
    if isinstance(value, dict):
        return {key: _strict(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_strict(item) for item in value]
    return value
