"""Plans: the reduced id of each requested output, in request order, from a
whole-store reduction and from an incremental reducer, checked by what the
reduced nodes compute."""
import dataclasses

import pytest
from nodalis_core import GraphStore, IncrementalReducer

import nodalis
from graph_meaning import random_store, values


def compile_whole(store, outputs, maximal_fusion):
    return nodalis.compile(store, outputs, maximal_fusion=maximal_fusion)


def compile_stepped(store, outputs, maximal_fusion):
    # A reducer that followed the store (a reducer only ever follows one).
    reducer = IncrementalReducer()
    reducer.step(store)
    return nodalis.compile_incremental(reducer, store, outputs, maximal_fusion=maximal_fusion)


COMPILERS = pytest.mark.parametrize("compile_", [compile_whole, compile_stepped],
                                    ids=["whole", "incremental"])
FUSION = pytest.mark.parametrize("maximal_fusion", [False, True], ids=["single-use", "maximal"])


def twin_outputs():
    """A store where a2 equals a and b2 equals b modulo the rewrite rules."""
    g = GraphStore()
    x, y = g.add_source("x"), g.add_source("y")
    a = g.add_op("tanh", [g.add_op("mul", [x, y])])
    b = g.add_op("exp", [g.add_op("add", [x, y])])
    a2 = g.add_op("tanh", [g.add_op("mul", [y, g.add_op("add", [x], {"scalar": 0.0, "side": "r"})])])
    b2 = g.add_op("exp", [g.add_op("add", [y, x])])
    return g, a, b, a2, b2


@COMPILERS
@FUSION
def test_equal_blobs_different_plans(compile_, maximal_fusion):
    g, a, b, a2, b2 = twin_outputs()
    first = compile_(g, [a, b, a2], maximal_fusion)
    second = compile_(g, [a, b, b2], maximal_fusion)
    # The reduced stores cannot tell the two requests apart; the plans can.
    assert first.store.serialize() == second.store.serialize()
    assert first.outputs[:2] == second.outputs[:2]
    assert first.outputs[2] == first.outputs[0] != second.outputs[2] == second.outputs[1]


@COMPILERS
@FUSION
@pytest.mark.parametrize("seed", range(6))
def test_each_planned_output_computes_its_request(compile_, maximal_fusion, seed):
    g = random_store(GraphStore(), seed, 120)
    n = g.node_count()
    requested = [n - 1, 3, n // 2, n - 1, 3, n - 7]
    plan = compile_(g, requested, maximal_fusion)
    assert len(plan.outputs) == len(requested)
    assert values(plan.store, plan.outputs) == pytest.approx(values(g, requested))
    # The marks are the planned ids without their repeats, in first-seen order.
    assert plan.store.outputs() == list(dict.fromkeys(plan.outputs))


@COMPILERS
def test_without_outputs_the_marks_are_used(compile_):
    g = random_store(GraphStore(), 11, 80)
    marked = GraphStore.deserialize(g.serialize([40, 7, 40, 79]))
    plan = compile_(marked, None, False)
    assert values(plan.store, plan.outputs) == pytest.approx(values(marked))
    assert len(plan.outputs) == len(marked.outputs())
    # A store built by hand has no marks: an empty plan.
    empty = compile_(g, None, False)
    assert empty.outputs == () and empty.store.node_count() == 0


@COMPILERS
def test_bad_requests_are_refused(compile_):
    g, *_ = twin_outputs()
    with pytest.raises(ValueError, match=f"no node with id {g.node_count()}"):
        compile_(g, [0, g.node_count()], False)
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        compile_(g, "01", False)


def test_plan_is_a_frozen_value():
    g, a, b, *_ = twin_outputs()
    plan = nodalis.compile(g, [a, b])
    with pytest.raises(dataclasses.FrozenInstanceError):
        plan.outputs = ()  # type: ignore[misc]
    assert [f.name for f in dataclasses.fields(plan)] == ["store", "report", "outputs"]
    assert isinstance(plan.outputs, tuple)


def test_core_plan_methods_agree_with_reduce():
    g, a, b, a2, _ = twin_outputs()
    store, report, ids = g.reduce_plan(outputs=[a, b, a2], maximal_fusion=True)
    plain, plain_report = g.reduce(outputs=[a, b, a2], maximal_fusion=True)
    assert store.serialize() == plain.serialize() and report == plain_report
    reducer = IncrementalReducer()
    fin, fin_report, fin_ids = reducer.finalize_plan(g, outputs=[a, b, a2])
    again, again_report = IncrementalReducer().finalize(g, outputs=[a, b, a2])
    assert fin.serialize() == again.serialize() and fin_report == again_report
    assert ids[2] == ids[0] != ids[1] and fin_ids[2] == fin_ids[0] != fin_ids[1]
