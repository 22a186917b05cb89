"""The Dask engine on a two-worker local cluster gives the numpy engine's frames,
exchanges and externals included."""
import numpy as np
import pandas as pd
import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import nodalis  # noqa: E402
import pipelines as pl  # noqa: E402
from run_graphs import assert_same_frames, runnable, source_data, workloads  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


def split(data, parts=3):
    frame = data if isinstance(data, pd.DataFrame) else pd.DataFrame(data)
    return dd.from_pandas(frame, npartitions=parts, sort=False)


def test_wine_pipeline(client, tmp_path):
    path, frame = pl.wine_csv(tmp_path)
    store, outputs = pl.wine_pipeline(path)
    expected = nodalis.run(store, outputs)
    plan = nodalis.compile(store, outputs)
    got = nodalis.run(plan, sources={"wine": split(frame)}, backend="dask", client=client)
    assert_same_frames(expected, got)
    # Read from the CSV path by Dask itself.
    assert_same_frames(expected, nodalis.run(store, outputs, backend="dask", client=client))


def test_scoring_pipeline_with_external(client):
    model, _, _ = pl.scoring_model()
    store, outputs, models = pl.scoring_pipeline(model)
    frame = pl.transactions()
    expected = nodalis.run(store, outputs, sources={"tx": frame}, models=models)
    got = nodalis.run(nodalis.compile(store, outputs), sources={"tx": split(frame, 4)},
                      models=models, backend="dask", client=client)
    assert_same_frames(expected, got)


@pytest.mark.skipif(workloads() is None, reason="shared workloads not beside the project")
@pytest.mark.parametrize("seed", [3])
def test_random_graph(client, seed):
    import nodalis_core

    calls, outs = workloads().reduce_graph(80, seed=seed)
    raw, _ = workloads().build_reduce_store(nodalis_core, calls, outs)
    store, outputs = runnable(raw.nodes(), parts=5)
    data = source_data(store, 400, seed)
    expected = nodalis.run(store, outputs, sources=data)
    lazy = nodalis.run(store, outputs, sources={k: split(v) for k, v in data.items()},
                       backend="dask", compute=False)
    assert all(isinstance(f, dd.DataFrame) for f in lazy)
    got = [f.reset_index(drop=True) for f in client.gather(client.compute(lazy))]
    for a, b in zip(expected, got):
        assert list(a.columns) == list(b.columns) and a.shape == b.shape
        # Ungrouped float sums add per-partition partial sums: equal up to rounding.
        np.testing.assert_allclose(b.to_numpy(float), a.to_numpy(float), rtol=1e-9, atol=1e-12)


def test_round_robin_and_worker_errors_name_the_node(client):
    from nodalis_core import GraphStore

    g = GraphStore()
    x = g.add_source("x")
    rr = g.add_reduction("count", [g.add_exchange([x], {"scheme": "round_robin", "parts": 4})])
    bad = g.add_op("picky", [x])
    data = {"x": np.arange(10.0)}
    expected = nodalis.run(g, [rr], sources=data)
    got = nodalis.run(g, [rr], sources={"x": split(data)}, backend="dask", client=client)
    assert_same_frames(expected, got)
    assert got[0]["x"].tolist() == [3, 3, 2, 2]

    def picky(v):
        if len(v) and v.max() > 5:
            raise ValueError("too large")
        return v
    with pytest.raises(nodalis.RunError, match=r"node 3 \(op 'picky'\): too large"):
        nodalis.run(g, [bad], sources={"x": split(data)}, kernels={"picky": picky},
                    backend="dask", client=client)
