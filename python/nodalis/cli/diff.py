"""``nodalis diff``: compare two blobs by structure, whatever their node ids.

A node is known by its content (kind, name, parameters, descriptor, stage
members) and, recursively, by the structure of its inputs in order; two nodes
of different blobs are the same when those agree, so renumbering, or building
the same graph in another order, changes nothing.
"""
from __future__ import annotations

import argparse
import hashlib
from collections import Counter
from typing import Any, Dict, List, Sequence, Tuple

from nodalis.cli.common import add_subcommand, decode, progress, read_blob
from nodalis.cli.layout import Node, id_width, node_line

DESCRIPTION = """\
Compare two IR blobs structurally: node ids do not matter, only what each node
is (kind, name, parameters, descriptor, stage members) and what its inputs are,
followed down to the sources. Prints the nodes found in only one of the blobs
and how the outputs differ, and nothing when the graphs are the same.

Exit status, as for diff(1): 0 when the graphs are equal, 1 when they differ,
2 on trouble (e.g. an unreadable blob)."""


def register(subcommands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    """Add ``diff`` to the command."""
    parser = add_subcommand(subcommands, "diff", summary="compare two blobs, ignoring node ids",
                            description=DESCRIPTION, command=command)
    parser.add_argument("a", metavar="A.nir", help="the first blob")
    parser.add_argument("b", metavar="B.nir", help="the second blob")


def _content(node: Node) -> Tuple[Any, ...]:
    # repr keeps value types apart (1, 1.0 and True are different parameters).
    params = tuple((k, repr(v)) for k, v in node["params"].items())
    descriptor = tuple(sorted(node.get("descriptor", {}).items()))
    members = tuple((m["kind"], m["name"], tuple((k, repr(v)) for k, v in m["params"].items()),
                     tuple(m["inputs"])) for m in node.get("members", ()))
    return (node["kind"], node["name"], params, descriptor, members)


def structural_keys(nodes: Sequence[Node]) -> List[bytes]:
    """A key per node that equal structures share, whatever their ids.

    Parameters
    ----------
    nodes : sequence of dict
        A node view (``GraphStore.nodes()``), in id order.

    Returns
    -------
    list of bytes
        ``keys[i]`` digests node i's content and its inputs' keys in order.
    """
    keys: List[bytes] = []
    for node in nodes:
        h = hashlib.blake2b(repr(_content(node)).encode(), digest_size=16)
        for i in node["inputs"]:
            h.update(keys[i])
        keys.append(h.digest())
    return keys


def _only_in(nodes: Sequence[Node], keys: List[bytes], other: Counter[bytes]) -> List[Node]:
    seen: Counter[bytes] = Counter()
    only = []
    for node, key in zip(nodes, keys):
        seen[key] += 1
        if seen[key] > other[key]:
            only.append(node)
    return only


def output_changes(a_name: str, a_outputs: Sequence[int], a_keys: List[bytes],
                   b_name: str, b_outputs: Sequence[int], b_keys: List[bytes]) -> List[str]:
    """One line per output position where the two blobs disagree."""
    lines = []
    for pos in range(max(len(a_outputs), len(b_outputs))):
        if pos >= len(a_outputs):
            lines.append(f"  output {pos}: only in {b_name} (%{b_outputs[pos]})")
        elif pos >= len(b_outputs):
            lines.append(f"  output {pos}: only in {a_name} (%{a_outputs[pos]})")
        elif a_keys[a_outputs[pos]] != b_keys[b_outputs[pos]]:
            lines.append(f"  output {pos}: %{a_outputs[pos]} in {a_name} is not "
                         f"%{b_outputs[pos]} in {b_name}")
    return lines


def command(args: argparse.Namespace) -> int:
    """Run ``nodalis diff``."""
    blobs = read_blob(args.a), read_blob(args.b)
    with progress(args, 3, sum(map(len, blobs))) as steps:
        a = decode(args.a, blobs[0], steps)
        b = decode(args.b, blobs[1], steps)
        steps.step("comparing")
        a_nodes, b_nodes = a.nodes(), b.nodes()
        a_keys, b_keys = structural_keys(a_nodes), structural_keys(b_nodes)
    only: Dict[str, List[Node]] = {
        args.a: _only_in(a_nodes, a_keys, Counter(b_keys)),
        args.b: _only_in(b_nodes, b_keys, Counter(a_keys)),
    }
    changes = output_changes(args.a, a.outputs(), a_keys, args.b, b.outputs(), b_keys)
    width = id_width(max(len(a_nodes), len(b_nodes)))
    for name, nodes in only.items():
        if nodes:
            print(f"only in {name} ({len(nodes)}):")
            for node in nodes:
                print(node_line(node, width))
    if changes:
        print(f"outputs differ: {a.outputs()} in {args.a}, {b.outputs()} in {args.b}")
        for line in changes:
            print(line)
    return 1 if changes or any(only.values()) else 0
