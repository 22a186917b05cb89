"""The text layout of a node view, one line per node, that ``inspect`` prints
and ``diff`` uses to name the nodes it finds on one side only.
"""
from __future__ import annotations

from collections import Counter
from typing import Any, Dict, List, Mapping, Sequence

Node = Dict[str, Any]


def params_text(params: Mapping[str, Any]) -> str:
    """``{axis=0, scheme='hash'}``: the parameters in key order, values as Python literals."""
    return "{" + ", ".join(f"{k}={v!r}" for k, v in params.items()) + "}"


def kind_counts(nodes: Sequence[Node]) -> str:
    """``2 source, 5 op``: how many nodes of each kind, kinds in name order."""
    counts = Counter(node["kind"] for node in nodes)
    return ", ".join(f"{n} {kind}" for kind, n in sorted(counts.items()))


def members_text(node: Node) -> str:
    """A stage's members with their arguments: ``m0=fill_nan(%0) {value=0.0}; m1=mul(m0, %1) {}``.

    ``%k`` is the stage's input node k, ``m<j>`` the value of its earlier member j.
    """
    parts: List[str] = []
    inputs = node["inputs"]
    for j, member in enumerate(node.get("members", [])):
        args = ", ".join(f"%{inputs[i]}" if where == "input" else f"m{i}"
                         for where, i in member["inputs"])
        label = member["name"] if member["kind"] == "op" else f"{member['kind']} {member['name']}"
        parts.append(f"m{j}={label}({args}) {params_text(member['params'])}")
    return "; ".join(parts)


def node_line(node: Node, id_width: int = 2) -> str:
    """One node: id, kind, name (an external's model kind), inputs, parameters, members."""
    label = node["name"] or node.get("descriptor", {}).get("kind", "")
    ident = f"%{node['id']}"
    line = (f"  {ident:<{id_width + 1}} {node['kind']:<9} {label:<9} "
            f"inputs={node['inputs']} {params_text(node['params'])}")
    if node["kind"] == "stage":
        line += " members: " + members_text(node)
    if node["kind"] == "external":
        d = node["descriptor"]
        line += (f" model={d['content_hash']} {d['framework']} {d['version']} "
                 f"io={d['io_schema']}")
        if d.get("preprocessing_ref") is not None:
            line += f" pre={d['preprocessing_ref']}"
    return line


def id_width(count: int) -> int:
    """Digits of the largest id of a store of `count` nodes."""
    return len(str(max(count - 1, 0)))
