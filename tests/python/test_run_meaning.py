"""Reduction keeps the meaning: a store run as built and its compiled plan give
the same frames, for random graphs from the building workloads (made runnable)
and for realistic pipelines; and those pipelines agree with pandas."""
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from nodalis_core import IncrementalReducer

import nodalis
import nodalis.stage
import pipelines as pl
from run_graphs import assert_same_frames, runnable, source_data, workloads

WL = workloads()
needs_workloads = pytest.mark.skipif(WL is None, reason="shared workloads not beside the project")


def plans(store, outputs):
    reducer = IncrementalReducer()
    reducer.step(store)
    return [nodalis.compile(store, outputs), nodalis.compile(store, outputs, maximal_fusion=True),
            nodalis.compile_incremental(reducer, store, outputs)]


def random_store(mix, seed, n):
    import nodalis_core

    if mix == "building":
        calls, _ = WL.build_calls(n, seed=seed)
        raw = WL.build_store(nodalis_core, calls)
    else:
        calls, outs = WL.reduce_graph(n, seed=seed)
        raw, _ = WL.build_reduce_store(nodalis_core, calls, outs)
    return runnable(raw.nodes())


@needs_workloads
@pytest.mark.parametrize("mix", ["building", "reduce"])
@settings(max_examples=8, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.integers(0, 2**20))
def test_random_graphs_keep_their_meaning(mix, seed, monkeypatch):
    monkeypatch.setattr(nodalis.stage, "CHUNK_ROWS", 7)  # many chunks over threads in 200 rows
    store, outputs = random_store(mix, seed, 150)
    data = source_data(store, 200, seed)
    expected = nodalis.run(store, outputs, sources=data)
    assert len(expected) == len(outputs)
    for plan in plans(store, outputs):
        assert plan.report["stages"] > 0 or not any(n["kind"] == "op" for n in store.nodes())
        assert_same_frames(expected, nodalis.run(plan, sources=data))


def test_wine_pipeline_keeps_its_meaning_and_matches_pandas(tmp_path, monkeypatch):
    monkeypatch.setattr(nodalis.stage, "CHUNK_ROWS", 50)
    path, frame = pl.wine_csv(tmp_path)
    store, outputs = pl.wine_pipeline(path)
    expected = nodalis.run(store, outputs + outputs[:1])
    assert len(expected) == 7
    for plan in plans(store, outputs + outputs[:1]):
        assert plan.report["stages"] >= 1
        assert_same_frames(expected, nodalis.run(plan))
    for ours, theirs, key in zip(expected, pl.wine_in_pandas(frame),
                                 [None, None, "target", "target", "target", None]):
        if key:
            ours = pl.by_key(ours, key)
        assert list(ours.columns) == list(theirs.columns)
        np.testing.assert_allclose(ours.to_numpy(float), theirs.to_numpy(float), rtol=1e-12)


def test_scoring_pipeline_keeps_its_meaning_and_matches_pandas():
    model, w, b = pl.scoring_model()
    store, outputs, models = pl.scoring_pipeline(model)
    frame = pl.transactions()
    expected = nodalis.run(store, outputs, sources={"tx": frame}, models=models)
    for plan in plans(store, outputs):
        assert_same_frames(expected, nodalis.run(plan, sources={"tx": frame}, models=models))
    for ours, theirs, key in zip(expected, pl.scoring_in_pandas(frame, w, b), [None, "user", None]):
        if key:
            ours = pl.by_key(ours, key)
        assert ours["user"].tolist() == theirs["user"].tolist()
        np.testing.assert_allclose(ours.drop(columns="user").to_numpy(float),
                                   theirs.drop(columns="user").to_numpy(float), rtol=2e-5)
