"""A feature-and-scoring pipeline over real data, built, reduced and run.

The data is scikit-learn's bundled wine table (178 wines, 13 measurements, the
cultivar as key). The graph cleans and squashes the measurements into
features, scores each wine with a small ONNX model (built here with
onnx.helper), and summarises features and scores per cultivar through a hash
exchange. The reduction drops a debugging branch, removes an identity op and
fuses the element-wise chain into one stage. The example prints the graph, the
reduced graph with its report and the result frames, times the graph as built
against the reduced one on the table repeated many times, and saves the
reduced store as a blob, as DOT and, with Graphviz installed, as SVG, next to
the data (wine.csv) and the model (cultivar_score.onnx) that `nodalis run` needs.

Usage: python3 examples/pipeline.py [out_dir] [copies]
"""
import hashlib
import pathlib
import sys
import timeit
from typing import List, Tuple

import numpy as np
import pandas as pd

import nodalis
import nodalis_core
from nodalis_core import GraphStore, PayloadDescriptor

REPORT_KEYS = ["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
               "boundary_nodes"]


def wine_table() -> pd.DataFrame:
    from sklearn.datasets import load_wine

    frame = load_wine(as_frame=True).frame.rename(columns={"target": "cultivar"})
    return frame[["cultivar", *[c for c in frame.columns if c != "cultivar"]]]


def scoring_model(n_in: int, n_out: int = 3) -> bytes:
    """A logistic layer (MatMul, Add, Sigmoid) with fixed weights, as ONNX bytes."""
    from onnx import TensorProto, helper, numpy_helper

    rng = np.random.default_rng(42)
    w = rng.normal(scale=0.5, size=(n_in, n_out)).astype(np.float32)
    b = rng.normal(size=n_out).astype(np.float32)
    graph = helper.make_graph(
        [helper.make_node("MatMul", ["x", "w"], ["xw"]), helper.make_node("Add", ["xw", "b"], ["z"]),
         helper.make_node("Sigmoid", ["z"], ["y"])],
        "cultivar_score", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [None, n_in])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [None, n_out])],
        [numpy_helper.from_array(w, "w"), numpy_helper.from_array(b, "b")])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    return model.SerializeToString()


def build(model: bytes) -> Tuple[GraphStore, List[int]]:
    """The graph and the ids of the values the pipeline delivers."""
    g = GraphStore()
    wine = g.add_source("wine", {"key": "cultivar", "rows": 178})
    clean = g.add_op("fill_nan", [wine], {"value": 0.0})
    logged = g.add_op("log1p", [clean])
    scaled = g.add_op("mul", [logged], {"scalar": 0.5})
    # Adding 0.0 on the right is an identity: the reduction drops it.
    shifted = g.add_op("add", [scaled], {"scalar": 0.0, "side": "r"})
    squashed = g.add_op("tanh", [g.add_op("sub", [shifted], {"scalar": 1.0})])
    bounded = g.add_op("clip", [g.add_op("mul", [squashed, squashed])], {"lo": 0.0, "hi": 0.8})
    features = g.add_op("sigmoid", [g.add_op("add", [bounded, logged])])

    descriptor = PayloadDescriptor(kind="onnx", content_hash="sha256:" + hashlib.sha256(model).hexdigest(),
                                   framework="onnx", version="1.17", io_schema="f32[n,13]->f32[n,3]")
    scores = g.add_external(descriptor, [features], {"batch": 65536})
    best = g.add_reduction("max", [scores], {"axis": 1})

    by_cultivar = g.add_exchange([features], {"scheme": "hash", "key": "cultivar", "parts": 4})
    mean_features = g.add_reduction("mean", [by_cultivar], {"axis": 0})
    scored = g.add_exchange([scores], {"scheme": "hash", "key": "cultivar", "parts": 4})
    mean_scores = g.add_reduction("mean", [scored], {"axis": 0})

    g.add_op("exp", [wine])  # a debugging branch that no output needs
    assert g.add_op("mul", [logged], {"scalar": 0.5}) == scaled  # the same op again is the same node
    return g, [mean_features, mean_scores, best]


def describe(node: dict) -> str:
    params = ", ".join(f"{k}={v!r}" for k, v in node["params"].items())
    label = node["name"] or node.get("descriptor", {}).get("framework", "")
    line = f"  %{node['id']:<2} {node['kind']:<9} {label:<9} inputs={node['inputs']} {{{params}}}"
    if node.get("members"):
        line += " members=" + " ".join(m["name"] for m in node["members"])
    return line


def best_of(fn, repeat: int = 3) -> float:
    return min(timeit.repeat(fn, number=1, repeat=repeat))


def main(out_dir: str = "out", copies: str = "2000") -> None:
    wine = wine_table()
    model = scoring_model(wine.shape[1] - 1)
    g, outputs = build(model)
    models = {"sha256:" + hashlib.sha256(model).hexdigest(): model}
    print(f"nodalis_core {nodalis_core.version()}: {g.node_count()} nodes")
    for node in g.nodes():
        print(describe(node))

    plan = nodalis.compile(g, outputs)
    print(f"reduced: {plan.store.node_count()} nodes, outputs {list(plan.outputs)}")
    for node in plan.store.nodes():
        print(describe(node))
    print("report: " + ", ".join(f"{key}={plan.report[key]}" for key in REPORT_KEYS))

    frames = nodalis.run(plan, sources={"wine": wine}, models=models)
    as_built = nodalis.run(g, outputs, sources={"wine": wine}, models=models)
    assert all(a.equals(b) for a, b in zip(frames, as_built)), "the reduction changed a result"
    with pd.option_context("display.width", 120, "display.max_columns", 8, "display.precision", 4):
        for title, frame in zip(["mean features per cultivar", "mean model scores per cultivar",
                                 "best score per wine"], frames):
            print(f"{title}:\n{frame if len(frame) < 10 else frame.head(5)}")

    many = pd.concat([wine] * int(copies), ignore_index=True)
    t_built = best_of(lambda: nodalis.run(g, outputs, sources={"wine": many}, models=models))
    t_plan = best_of(lambda: nodalis.run(plan, sources={"wine": many}, models=models))
    print(f"on {len(many):,} rows (the wine table {int(copies):,} times): as built {t_built * 1e3:.0f} ms, "
          f"reduced {t_plan * 1e3:.0f} ms, speed-up {t_built / t_plan:.2f}x")

    out = pathlib.Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    blob = plan.store.serialize()
    (out / "pipeline.reduced.nir").write_bytes(blob)
    (out / "pipeline.reduced.dot").write_text(plan.store.to_dot())
    # The data and the model too, so that `nodalis run` can run the saved blob.
    wine.to_csv(out / "wine.csv", index=False)
    (out / "cultivar_score.onnx").write_bytes(model)
    assert GraphStore.deserialize(blob).outputs() == plan.store.outputs()
    print(f"saved {out / 'pipeline.reduced.nir'} ({len(blob)} bytes) and {out / 'pipeline.reduced.dot'}")
    try:
        (out / "pipeline.reduced.svg").write_bytes(nodalis.draw(plan, "svg"))
        print(f"drew {out / 'pipeline.reduced.svg'}")
    except nodalis.drawing.GraphvizMissing as e:
        print(f"no drawing: {e}")


if __name__ == "__main__":
    main(*sys.argv[1:3])
