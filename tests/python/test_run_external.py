"""External ONNX nodes: the content-hash check, models given as paths, batching,
one session per model, and the shapes of the model's output."""
import hashlib

import numpy as np
import pytest
from nodalis_core import GraphStore

import nodalis
import nodalis.external
import pipelines as pl


def scoring_graph(content_hash, params=None):
    """A store scoring source x with the model of ``content_hash``, and its output list."""
    g = GraphStore()
    x = g.add_source("x", {"key": "id"})
    desc = dict(kind="onnx", content_hash=content_hash, framework="onnx", version="1", io_schema="")
    return g, [g.add_external(desc, [x], params)]


def data(rows=1000):
    rng = np.random.default_rng(5)
    return {"id": np.arange(rows), **{c: rng.normal(size=rows) for c in "abcd"}}


@pytest.mark.parametrize("prefix", ["sha256:", ""])
def test_batches_and_paths_give_the_same_scores(tmp_path, prefix):
    model, w, b = pl.scoring_model()
    digest = prefix + hashlib.sha256(model).hexdigest()
    (tmp_path / "m.onnx").write_bytes(model)
    x = data()
    whole = nodalis.run(*scoring_graph(digest), sources={"x": x}, models={digest: model})[0]
    batched = nodalis.run(*scoring_graph(digest, {"batch": 7}), sources={"x": x},
                          models={hashlib.sha256(model).hexdigest(): str(tmp_path / "m.onnx")})[0]
    assert list(whole.columns) == ["id", "out0", "out1"] and whole.equals(batched)
    m = np.column_stack([x[c] for c in "abcd"]).astype(np.float32)
    np.testing.assert_allclose(whole[["out0", "out1"]].to_numpy(), 1 / (1 + np.exp(-(m @ w + b))), rtol=1e-5)


def test_a_content_hash_the_bytes_do_not_match_is_refused_before_reading():
    model, _, _ = pl.scoring_model()
    wrong = "sha256:" + "0" * 64
    g, outputs = scoring_graph(wrong)
    with pytest.raises(nodalis.RunError, match=r"node 1 \(external 'onnx'\): model bytes hash to sha256:"):
        nodalis.run(g, outputs, sources={"x": "/nonexistent.parquet"}, models={wrong: model})


def test_one_session_per_model_and_a_single_output_column():
    model, _, _ = pl.scoring_model(n_out=1, seed=3)
    digest = hashlib.sha256(model).hexdigest()
    nodalis.external._sessions.pop(digest, None)
    g, outputs = scoring_graph(digest)
    for rows in (10, 0):
        frame = nodalis.run(g, outputs * 2, sources={"x": data(rows)}, models={digest: model})[0]
        assert list(frame.columns) == ["id", "out"] and len(frame) == rows
    assert digest in nodalis.external._sessions
    session = nodalis.external._sessions[digest]
    nodalis.run(g, outputs, sources={"x": data(3)}, models={digest: model})
    assert nodalis.external._sessions[digest] is session
