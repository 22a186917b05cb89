"""Pickling and copying stores and descriptors (also across worker processes),
the one-line reprs, and the notebook display with and without Graphviz."""
import copy
import multiprocessing
import pickle
import xml.etree.ElementTree as ET

import pytest
from nodalis_core import GraphStore, IncrementalReducer, PayloadDescriptor
from nodalis_core import _display

import nodalis
from graph_meaning import random_store

FIELDS = ["kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"]
COPIERS = {
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    **{f"pickle{p}": (lambda o, p=p: pickle.loads(pickle.dumps(o, protocol=p)))
       for p in range(pickle.HIGHEST_PROTOCOL + 1)},
}


def descriptor(pre=None):
    return PayloadDescriptor(kind="onnx", content_hash="sha256:1", framework="torch",
                             version="2.1", io_schema="f32[n]->f32[n]", preprocessing_ref=pre)


def marked_store():
    """A store whose marks are out of id order and repeat, with every node kind."""
    g = random_store(GraphStore(), 5, 60)
    return GraphStore.deserialize(g.serialize([50, 3, 50, 20]))


@pytest.mark.parametrize("copier", COPIERS.values(), ids=COPIERS.keys())
@pytest.mark.parametrize("make", [marked_store, lambda: GraphStore(),
                                  lambda: random_store(GraphStore(), 9, 40)],
                         ids=["marked", "empty", "unmarked"])
def test_store_copies_keep_ids_and_marks(copier, make):
    store = make()
    again = copier(store)
    assert type(again) is GraphStore and again is not store
    assert again.serialize() == store.serialize()
    assert again.nodes() == store.nodes() and again.outputs() == store.outputs()
    # A copy is a store of its own: adding to it leaves the original alone.
    n = store.node_count()
    again.add_source("only in the copy")
    assert store.node_count() == n


@pytest.mark.parametrize("copier", COPIERS.values(), ids=COPIERS.keys())
@pytest.mark.parametrize("pre", [None, "", "standardize-v3"])
def test_descriptor_copies_keep_fields(copier, pre):
    d = descriptor(pre)
    again = copier(d)
    assert type(again) is PayloadDescriptor
    assert [getattr(again, f) for f in FIELDS] == [getattr(d, f) for f in FIELDS]
    # Equal fields make the same external node.
    g = GraphStore()
    x = g.add_source("x")
    assert g.add_external(again, [x]) == g.add_external(d, [x])


def test_reducers_still_refuse_to_be_copied():
    # A reducer's canonical form has no durable form; a copy would be empty.
    for run in (copy.copy, pickle.dumps):
        with pytest.raises(TypeError, match="cannot pickle"):
            run(IncrementalReducer())


def _in_worker(job):
    """Runs in a fresh process: extends the store it was sent and sends it back."""
    store, d = job
    x = store.add_source("from the worker")
    ext = store.add_external(d, [x])
    return store, store.serialize([ext]), d


def test_round_trips_through_a_process_pool():
    stores = [marked_store(), random_store(GraphStore(), 2, 30), GraphStore()]
    jobs = [(s, descriptor(pre)) for s, pre in zip(stores, [None, "", "p"])]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        results = pool.map(_in_worker, jobs)
    for (sent, d), (back, blob, d_back) in zip(jobs, results):
        n = sent.node_count()
        assert back.node_count() == n + 2
        assert back.outputs() == sent.outputs()
        # The worker's nodes follow the ones sent, whose ids did not move.
        assert back.nodes()[:n] == sent.nodes()
        assert [getattr(d_back, f) for f in FIELDS] == [getattr(d, f) for f in FIELDS]
        # The worker's blob decodes here to the same graph it built there.
        assert GraphStore.deserialize(blob).serialize(back.outputs()) == back.serialize()


def test_reprs():
    g = GraphStore()
    assert repr(g) == "<GraphStore 0 nodes>"
    x = g.add_source("x")
    assert repr(g) == "<GraphStore 1 node>"
    ids = [g.add_op("tanh", [x], {"k": i}) for i in range(12)]
    assert repr(GraphStore.deserialize(g.serialize(ids[:3]))) == "<GraphStore 13 nodes, outputs [1, 2, 3]>"
    many = repr(GraphStore.deserialize(g.serialize(ids)))
    assert many == "<GraphStore 13 nodes, outputs [1, 2, 3, 4, 5, 6, 7, 8, ... 12 in all]>"
    reducer = IncrementalReducer()
    reducer.step(g)
    assert repr(reducer) == "<IncrementalReducer watermark 13, canonical 13>"
    plan = nodalis.compile(g, [ids[0], ids[1], ids[0]])
    assert repr(plan) == f"<Plan outputs [1, 2, 1], 3 nodes, 2 stages>"
    assert "\n" not in repr(plan) + repr(reducer) + many


def svg_of(bundle):
    return ET.fromstring(bundle["image/svg+xml"])


needs_dot = pytest.mark.skipif(_display.dot_program() is None, reason="Graphviz 'dot' not installed")


@needs_dot
def test_display_draws_small_graphs():
    g = marked_store()
    bundle = g._repr_mimebundle_()
    root = svg_of(bundle)
    assert root.tag.endswith("svg")
    # One drawn node per store node: Graphviz titles each node group.
    ns = {"s": "http://www.w3.org/2000/svg"}
    drawn = root.findall(".//s:g[@class='node']", ns)
    assert len(drawn) == g.node_count()
    assert bundle["text/plain"].splitlines()[0] == repr(g)
    plan_bundle = nodalis.compile(g)._repr_mimebundle_()
    assert plan_bundle["text/plain"].startswith("<Plan outputs")
    svg_of(plan_bundle)


def test_display_without_graphviz_is_the_summary(monkeypatch):
    monkeypatch.setattr(_display, "dot_program", lambda: None)
    bundle = marked_store()._repr_mimebundle_()
    assert set(bundle) == {"text/plain"}
    kinds = bundle["text/plain"].splitlines()[1]
    assert "4 source" in kinds and "39 op" in kinds


def test_display_of_large_or_failing_graphs_is_the_summary(monkeypatch):
    calls = []
    monkeypatch.setattr(_display, "run_dot", lambda *a, **k: calls.append(a) or b"<svg/>")
    big = random_store(GraphStore(), 1, _display.MAX_DRAWN_NODES + 1)
    bundle = big._repr_mimebundle_()
    assert set(bundle) == {"text/plain"} and not calls
    assert "not drawn" in bundle["text/plain"]

    def broken(*args, **kwargs):
        raise _display.GraphvizFailed("dot failed: syntax error")
    monkeypatch.setattr(_display, "run_dot", broken)
    assert set(marked_store()._repr_mimebundle_()) == {"text/plain"}


def test_display_honours_include_and_exclude(monkeypatch):
    monkeypatch.setattr(_display, "run_dot", lambda *a, **k: b"<svg/>")
    g = marked_store()
    assert set(g._repr_mimebundle_(include={"image/svg+xml"})) == {"image/svg+xml"}
    assert set(g._repr_mimebundle_(exclude=["image/svg+xml"])) == {"text/plain"}
    assert set(g._repr_mimebundle_()) == {"text/plain", "image/svg+xml"}
