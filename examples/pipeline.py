"""Builds the IR of a small scoring pipeline and prints its node view.

Two sources are cleaned by element-wise ops, scored by an external model,
repartitioned across workers by an exchange and summed per partition. Adding a
node that is already present gives back its id: the graph is hash-consed.
"""
from collections import Counter

import nodalis_core
from nodalis_core import GraphStore, PayloadDescriptor


def build() -> GraphStore:
    g = GraphStore()
    clicks = g.add_source("clicks", {"format": "parquet", "rows": 1_000_000})
    prices = g.add_source("prices", {"format": "csv"})

    clean = g.add_op("fill_nan", [clicks], {"value": 0.0})
    scaled = g.add_op("mul", [clean], {"scalar": 1.5})
    shifted = g.add_op("add", [scaled], {"scalar": 0.0})  # identity: an optimizer drops it
    joined = g.add_op("mul", [shifted, prices])

    model = PayloadDescriptor(kind="onnx", content_hash="sha256:9f2c41", framework="torch",
                              version="2.1.0", io_schema="f32[n,2]->f32[n]",
                              preprocessing_ref="standardize-v3")
    scores = g.add_external(model, [joined, prices], {"batch": 512})

    by_user = g.add_exchange([scores], {"scheme": "hash", "key": "user_id", "parts": 8})
    total = g.add_reduction("sum", [by_user], {"axis": 0})
    g.add_reduction("max", [by_user], {"axis": 0})

    # The same op again is the same node.
    assert g.add_op("mul", [clean], {"scalar": 1.5}) == scaled
    assert g.add_reduction("sum", [by_user], {"axis": 0}) == total
    return g


def describe(node: dict) -> str:
    params = ", ".join(f"{k}={v!r}" for k, v in node["params"].items())
    label = node["name"] or node.get("descriptor", {}).get("kind", "")
    return f"  %{node['id']:<2} {node['kind']:<9} {label:<9} inputs={node['inputs']} {{{params}}}"


def main() -> None:
    g = build()
    nodes = g.nodes()
    kinds = Counter(n["kind"] for n in nodes)
    print(f"nodalis_core {nodalis_core.version()}: {g.node_count()} nodes "
          f"({', '.join(f'{count} {kind}' for kind, count in sorted(kinds.items()))})")
    for node in nodes:
        print(describe(node))


if __name__ == "__main__":
    main()
