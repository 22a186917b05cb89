"""Two realistic pipelines on real data, each with an independent pandas version:
feature engineering over scikit-learn's bundled wine CSV, and scoring with an
ONNX model built with onnx.helper."""
import hashlib

import numpy as np
import pandas as pd
from nodalis_core import GraphStore, PayloadDescriptor


def wine_csv(tmp_path):
    from sklearn.datasets import load_wine

    frame = load_wine(as_frame=True).frame
    path = tmp_path / "wine.csv"
    frame.to_csv(path, index=False)
    return path, frame


def wine_pipeline(path):
    """Log features squashed and scaled per row, then per-class statistics. Returns (store, outputs)."""
    g = GraphStore()
    wine = g.add_source("wine", {"format": "csv", "key": "target", "path": str(path), "rows": 178})
    logged = g.add_op("log1p", [wine])
    scaled = g.add_op("mul", [logged], {"scalar": 0.5})
    shifted = g.add_op("add", [scaled], {"scalar": 0.0, "side": "r"})  # an identity
    squashed = g.add_op("tanh", [g.add_op("sub", [shifted], {"scalar": 1.0, "side": "r"})])
    bounded = g.add_op("clip", [g.add_op("mul", [squashed, squashed])], {"lo": 0.0, "hi": 0.8})
    features = g.add_op("sigmoid", [g.add_op("add", [bounded, logged])])
    score = g.add_reduction("sum", [features], {"axis": 1})
    by_class = g.add_exchange([features], {"scheme": "hash", "key": "target", "parts": 3})
    outputs = [features, score,
               g.add_reduction("mean", [by_class], {"axis": 0}),
               g.add_reduction("max", [by_class], {"axis": 0}),
               g.add_reduction("count", [by_class], {"axis": 0}),
               g.add_reduction("min", [features], {"axis": 0})]
    g.add_op("exp", [wine])  # needed by no output
    return g, outputs


def wine_in_pandas(frame):
    """The wine pipeline's frames, computed with pandas (groups sorted by key)."""
    values = frame.drop(columns="target")
    logged = np.log1p(values)
    squashed = np.tanh(logged * 0.5 - 1.0)
    features = 1 / (1 + np.exp(-((squashed * squashed).clip(0.0, 0.8) + logged)))
    features.insert(0, "target", frame["target"])
    grouped = features.groupby("target", sort=True)
    score = pd.DataFrame({"target": frame["target"], "sum": features.drop(columns="target").sum(axis=1)})
    return [features, score, grouped.mean().reset_index(), grouped.max().reset_index(),
            grouped.count().reset_index(), features.drop(columns="target").min().to_frame().T]


def scoring_model(n_in=4, n_out=2, seed=0):
    """A logistic layer (MatMul, Add, Sigmoid) as ONNX bytes, and its weights."""
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    rng = np.random.default_rng(seed)
    w = rng.normal(size=(n_in, n_out)).astype(np.float32)
    b = rng.normal(size=n_out).astype(np.float32)
    graph = helper.make_graph(
        [helper.make_node("MatMul", ["x", "w"], ["xw"]), helper.make_node("Add", ["xw", "b"], ["z"]),
         helper.make_node("Sigmoid", ["z"], ["y"])],
        "score", [helper.make_tensor_value_info("x", TensorProto.FLOAT, [None, n_in])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [None, n_out])],
        [numpy_helper.from_array(w, "w"), numpy_helper.from_array(b, "b")])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    return model.SerializeToString(), w, b


def transactions(rows=3000, seed=1):
    rng = np.random.default_rng(seed)
    users = np.array([f"user-{i:03d}" for i in range(60)], object)
    frame = pd.DataFrame({"user": users[rng.integers(0, 60, rows)],
                          "amount": rng.gamma(2.0, 30.0, rows), "items": rng.integers(1, 9, rows).astype(float),
                          "age": rng.uniform(1, 400, rows), "risk": rng.normal(size=rows)})
    frame.loc[rng.random(rows) < 0.03, "amount"] = np.nan
    return frame


def scoring_pipeline(model_bytes):
    """Cleaned features scored by the model, summed per user. Returns (store, outputs, models)."""
    digest = "sha256:" + hashlib.sha256(model_bytes).hexdigest()
    g = GraphStore()
    tx = g.add_source("tx", {"key": "user"})
    clean = g.add_op("fill_nan", [tx], {"value": 0.0})
    scaled = g.add_op("mul", [g.add_op("log1p", [g.add_op("abs", [clean])])], {"scalar": 0.25})
    desc = PayloadDescriptor(kind="onnx", content_hash=digest, framework="onnx", version="1.17",
                             io_schema="f32[n,4]->f32[n,2]")
    scores = g.add_external(desc, [scaled], {"batch": 512})
    per_user = g.add_exchange([scores], {"scheme": "hash", "key": "user", "parts": 4})
    outputs = [scores, g.add_reduction("sum", [per_user], {"axis": 0}),
               g.add_reduction("max", [scores], {"axis": 1})]
    return g, outputs, {digest: model_bytes}


def scoring_in_pandas(frame, w, b):
    x = (np.log1p(frame.drop(columns="user").fillna(0.0).abs()) * 0.25).to_numpy(np.float32)
    y = 1 / (1 + np.exp(-(x @ w + b)))
    scores = pd.DataFrame({"user": frame["user"], "out0": y[:, 0], "out1": y[:, 1]})
    per_user = scores.groupby("user", sort=True)[["out0", "out1"]].sum().reset_index()
    return [scores, per_user, pd.DataFrame({"user": frame["user"], "max": y.max(axis=1)})]


def by_key(frame, key):
    """Rows sorted by their key (groups are unique per key), for engine-independent comparison."""
    return frame.sort_values(key, kind="stable").reset_index(drop=True)
