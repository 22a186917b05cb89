"""Builds the IR of a small scoring pipeline, prints its node view, reduces it,
prints the reduced graph with its report, and saves the reduced store as an IR
blob, as Graphviz DOT and, where Graphviz is installed, as an SVG drawing (in
./out, or the directory given as argument).

Two sources are cleaned by element-wise ops, scored by an external model,
repartitioned across workers by an exchange and summed per partition. Adding a
node that is already present gives back its id: the graph is hash-consed.
The reduction drops what the outputs do not need (a debugging branch), removes
the identity op, finds that two products differ only in operand order, and
fuses the element-wise chain into one stage.
"""
import pathlib
import sys
from collections import Counter
from typing import List, Tuple

import nodalis
import nodalis_core
from nodalis_core import GraphStore, IncrementalReducer, PayloadDescriptor

REPORT_KEYS = ["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
               "boundary_nodes"]


def build() -> Tuple[GraphStore, List[int]]:
    """The graph and the ids of the values the pipeline delivers."""
    g = GraphStore()
    clicks = g.add_source("clicks", {"format": "parquet", "rows": 1_000_000})
    prices = g.add_source("prices", {"format": "csv"})

    clean = g.add_op("fill_nan", [clicks], {"value": 0.0})
    scaled = g.add_op("mul", [clean], {"scalar": 1.5})
    # Adding 0.0 on the right is an identity: the reduction drops it.
    shifted = g.add_op("add", [scaled], {"scalar": 0.0, "side": "r"})
    joined = g.add_op("mul", [shifted, prices])

    model = PayloadDescriptor(kind="onnx", content_hash="sha256:9f2c41", framework="torch",
                              version="2.1.0", io_schema="f32[n,2]->f32[n]",
                              preprocessing_ref="standardize-v3")
    scores = g.add_external(model, [joined, prices], {"batch": 512})

    by_user = g.add_exchange([scores], {"scheme": "hash", "key": "user_id", "parts": 8})
    total = g.add_reduction("sum", [by_user], {"axis": 0})
    peak = g.add_reduction("max", [by_user], {"axis": 0})

    # Revenue, written with the operands the other way round, and a debugging
    # branch that no output needs.
    revenue = g.add_reduction("sum", [g.add_op("mul", [prices, scaled])], {"axis": 0})
    g.add_op("log", [clicks])

    # The same op again is the same node.
    assert g.add_op("mul", [clean], {"scalar": 1.5}) == scaled
    assert g.add_reduction("sum", [by_user], {"axis": 0}) == total
    return g, [total, peak, revenue]


def describe(node: dict) -> str:
    params = ", ".join(f"{k}={v!r}" for k, v in node["params"].items())
    label = node["name"] or node.get("descriptor", {}).get("kind", "")
    return f"  %{node['id']:<2} {node['kind']:<9} {label:<9} inputs={node['inputs']} {{{params}}}"


def main(out_dir: str = "out") -> None:
    g, outputs = build()
    nodes = g.nodes()
    kinds = Counter(n["kind"] for n in nodes)
    print(f"nodalis_core {nodalis_core.version()}: {g.node_count()} nodes "
          f"({', '.join(f'{count} {kind}' for kind, count in sorted(kinds.items()))})")
    for node in nodes:
        print(describe(node))

    reduced, report = g.reduce(outputs=outputs)
    print(f"reduced: {reduced.node_count()} nodes, outputs {reduced.outputs()}")
    for node in reduced.nodes():
        members = node.get("members")
        line = describe(node)
        if members:
            line += " members=" + " ".join(m["name"] for m in members)
        print(line)
    print("report: " + ", ".join(f"{key}={report[key]}" for key in REPORT_KEYS))

    # The same reduction, followed while building: the reducer keeps a small
    # canonical form and finalize reduces only that.
    reducer = IncrementalReducer()
    reducer.step(g)
    _, incremental = reducer.finalize(g, outputs=outputs)
    print(f"incremental: {reducer.total_work()} nodes stepped, canonical form of "
          f"{reducer.canonical_count()}, {incremental['reduced_nodes']} nodes after finalize")

    # The reduced store carries its outputs, so its blob reloads as the same
    # graph with the same marks.
    out = pathlib.Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    blob = reduced.serialize()
    (out / "pipeline.reduced.nir").write_bytes(blob)
    (out / "pipeline.reduced.dot").write_text(reduced.to_dot())
    assert GraphStore.deserialize(blob).outputs() == reduced.outputs()
    print(f"saved {out / 'pipeline.reduced.nir'} ({len(blob)} bytes) and {out / 'pipeline.reduced.dot'}")
    try:
        (out / "pipeline.reduced.svg").write_bytes(nodalis.draw(reduced, "svg"))
        print(f"drew {out / 'pipeline.reduced.svg'}")
    except nodalis.drawing.GraphvizMissing as e:
        print(f"no drawing: {e}")


if __name__ == "__main__":
    main(*sys.argv[1:2])
