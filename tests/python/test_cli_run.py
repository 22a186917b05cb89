"""``nodalis run``: Parquet per output from a blob, sources and models given on the
command line, and nothing written when a node fails."""
import hashlib

import numpy as np
import pandas as pd
import pytest
from nodalis_core import GraphStore

import nodalis
import pipelines as pl

main = pytest.importorskip("nodalis.cli.common") and pytest.importorskip("nodalis.cli").main


@pytest.fixture
def scoring(tmp_path):
    model, _, _ = pl.scoring_model()
    store, outputs, _ = pl.scoring_pipeline(model)
    frame = pl.transactions(500)
    frame.to_parquet(tmp_path / "tx.parquet")
    (tmp_path / "model.onnx").write_bytes(model)
    (tmp_path / "plan.nir").write_bytes(nodalis.compile(store, outputs).store.serialize())
    digest = "sha256:" + hashlib.sha256(model).hexdigest()
    expected = nodalis.run(store, outputs, sources={"tx": frame}, models={digest: model})
    args = ["run", str(tmp_path / "plan.nir"), "--source", f"tx={tmp_path / 'tx.parquet'}",
            "--model", f"{digest}={tmp_path / 'model.onnx'}", "-q"]
    return args, expected


@pytest.mark.parametrize("backend", ["numpy", "dask"])
def test_writes_one_parquet_per_output(tmp_path, scoring, backend):
    args, expected = scoring
    out = tmp_path / "out"
    assert main([*args, "--backend", backend, "-o", str(out)]) == 0
    files = sorted(out.iterdir())
    assert [f.name for f in files] == ["output_0_node_2.parquet", "output_1_node_4.parquet",
                                       "output_2_node_5.parquet"]
    for f, want in zip(files, expected):
        got = pd.read_parquet(f)
        assert list(got.columns) == list(want.columns)
        np.testing.assert_array_equal(got.drop(columns="user").to_numpy(), want.drop(columns="user").to_numpy())


def test_a_failing_node_writes_nothing(tmp_path, capsys):
    g = GraphStore()
    g.add_op("frobnicate", [g.add_source("x")])
    (tmp_path / "bad.nir").write_bytes(g.serialize(outputs=[1]))
    pd.DataFrame({"x": [1.0]}).to_parquet(tmp_path / "x.parquet")
    out = tmp_path / "out"
    status = main(["run", str(tmp_path / "bad.nir"), "--source", f"x={tmp_path / 'x.parquet'}",
                   "-o", str(out)])
    err = capsys.readouterr().err.strip().splitlines()
    assert status == 2 and len(err) == 1
    assert err[0].startswith("nodalis run: error: node 1 (op 'frobnicate')")
    assert not out.exists() and [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


def test_bad_pairs_are_refused(tmp_path, capsys):
    assert main(["run", str(tmp_path / "x.nir"), "--source", "nopath", "-o", str(tmp_path)]) == 2
    assert "--source takes NAME=PATH" in capsys.readouterr().err
