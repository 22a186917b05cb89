"""IncrementalReducer: its accessors, steps cut in any pattern, finalize against
marks or an explicit list, bad input refused before any work, and agreement in
value with GraphStore.reduce."""
import random
import threading

import pytest

from nodalis_core import GraphStore, IncrementalReducer

from graph_meaning import random_store, values


def test_a_new_reducer_is_empty():
    r = IncrementalReducer()
    assert (r.watermark(), r.total_work(), r.canonical_count()) == (0, 0, 0)
    with pytest.raises(TypeError):
        IncrementalReducer(1)


def test_stepping_twice_without_new_nodes_returns_zero():
    g = random_store(GraphStore(), 1, 30)
    r = IncrementalReducer()
    assert r.step(g) == g.node_count()
    assert r.step(g) == 0
    assert r.watermark() == r.total_work() == g.node_count()


@pytest.mark.parametrize("seed", range(6))
def test_steps_cut_in_any_pattern_give_the_same_canonical_form(seed):
    whole = random_store(GraphStore(), 100 + seed, 200)
    outs = [whole.node_count() - 1, 7, 150]
    one = IncrementalReducer()
    one.step(whole)
    reference = one.finalize(whole, outputs=outs)

    # Rebuild the same store while stepping at random points.
    rng = random.Random(seed)
    g = GraphStore()
    r = IncrementalReducer()
    for node in whole.nodes():
        if node["kind"] == "source":
            g.add_source(node["name"], node["params"])
        elif node["kind"] == "op":
            g.add_op(node["name"], node["inputs"], node["params"])
        elif node["kind"] == "reduction":
            g.add_reduction(node["name"], node["inputs"], node["params"])
        elif node["kind"] == "exchange":
            g.add_exchange(node["inputs"], node["params"])
        else:
            g.add_external(node["descriptor"], node["inputs"], node["params"])
        if rng.random() < 0.2:
            r.step(g)
            assert r.total_work() == r.watermark() == g.node_count()
    assert g.nodes() == whole.nodes()
    r.step(g)
    assert r.canonical_count() == one.canonical_count()
    reduced, rep = r.finalize(g, outputs=outs)
    assert reduced.nodes() == reference[0].nodes() and rep == reference[1]
    assert r.total_work() == r.watermark() == g.node_count()


def test_finalize_without_step_consumes_the_store_and_reduces_the_canonical_form():
    g = GraphStore()
    x, y = g.add_source("x"), g.add_source("y")
    i = g.add_op("add", [x], {"scalar": 0.0, "side": "r"})
    ab, ba = g.add_op("mul", [i, y]), g.add_op("mul", [y, x])
    r = IncrementalReducer()
    reduced, rep = r.finalize(g, outputs=[ab, ba])
    assert r.watermark() == 5 and r.canonical_count() == 3
    assert rep["input_nodes"] == 3 < g.node_count()
    assert reduced.outputs() == [2] and reduced.node_count() == 3
    full, full_rep = g.reduce(outputs=[ab, ba])
    assert full.nodes() == reduced.nodes()
    assert full_rep["canonical_nodes"] == rep["canonical_nodes"]


def test_finalize_against_marks_or_exactly_the_given_outputs():
    g = random_store(GraphStore(), 3, 60)
    marked, _ = g.reduce(outputs=[59, 20])  # a store that carries marks
    r = IncrementalReducer()
    by_marks, rep = r.finalize(marked)
    assert values(by_marks) == values(marked)
    r2 = IncrementalReducer()
    empty, rep2 = r2.finalize(marked, outputs=[])
    assert empty.node_count() == 0 and rep2["reachable_nodes"] == 0
    assert r2.watermark() == marked.node_count()
    # finalize reads and never resets: more steps and another finalize work.
    again, _ = r.finalize(marked, maximal_fusion=True)
    assert values(again) == values(marked)


def test_bad_input_is_refused_before_any_work():
    g = random_store(GraphStore(), 4, 20)
    r = IncrementalReducer()
    for bad in (None, 3, "store", [g]):
        with pytest.raises(TypeError, match="^argument 'store': "):
            r.step(bad)
        with pytest.raises(TypeError, match="^argument 'store': "):
            r.finalize(bad)
    with pytest.raises(TypeError, match="^argument 'outputs': Can't extract `str` to `Vec`"):
        r.finalize(g, outputs="12")
    with pytest.raises(ValueError, match=f"^no node with id {g.node_count()}$"):
        r.finalize(g, outputs=[1, g.node_count()])
    with pytest.raises(TypeError, match="^argument 'maximal_fusion': "):
        r.finalize(g, maximal_fusion="yes")
    with pytest.raises(TypeError):
        r.finalize(g, True)
    assert r.watermark() == 0 and r.total_work() == 0


def _exp_mul(second):
    """exp(mul(a, x)) with x = tanh(a) or a second source: two stores that
    share their first ids but not their meaning."""
    g = GraphStore()
    a = g.add_source("a")
    x = g.add_op("tanh", [a]) if second == "tanh" else g.add_source("c")
    return g, g.add_op("exp", [g.add_op("mul", [a, x])])


@pytest.mark.parametrize("call", ["step", "finalize", "finalize_plan"])
@pytest.mark.parametrize("other", ["different", "same-nodes", "made-once-the-first-is-gone"])
def test_a_reducer_refuses_every_store_but_the_first_it_was_given(call, other):
    first, out = _exp_mul("tanh")
    r = IncrementalReducer()
    r.step(first)
    expected = IncrementalReducer().finalize(first, outputs=[out])
    state = (r.watermark(), r.total_work(), r.canonical_count())
    if other == "different":
        store = _exp_mul("source")[0]
    elif other == "same-nodes":
        store = GraphStore.deserialize(first.serialize())
    else:
        first = None  # the new store may take the old one's memory
        store = _exp_mul("tanh")[0]
    with pytest.raises(ValueError, match="^this IncrementalReducer follows another GraphStore"):
        getattr(r, call)(store)
    assert (r.watermark(), r.total_work(), r.canonical_count()) == state
    # A fresh reducer takes whichever store comes first.
    getattr(IncrementalReducer(), call)(store)
    if first is not None:
        reduced, report = r.finalize(first, outputs=[out])
        assert (reduced.nodes(), report) == (expected[0].nodes(), expected[1])


def test_incremental_and_full_reduction_compute_the_same_values():
    # An earlier, dead twin: reduce keeps the operand order of the earliest
    # reachable node, the reducer that of the first arrival.
    g = GraphStore()
    x, y = g.add_source("x"), g.add_source("y")
    g.add_op("maximum", [y, x])
    xy = g.add_op("maximum", [x, y])
    out = g.add_op("sub", [xy, x])
    full, _ = g.reduce(outputs=[out])
    r = IncrementalReducer()
    inc, _ = r.finalize(g, outputs=[out])
    assert full.nodes()[2]["inputs"] == [0, 1]
    assert inc.nodes()[2]["inputs"] == [1, 0]
    assert values(full) == values(inc) == values(g, [out])


def test_threads_stepping_one_reducer_while_the_store_grows():
    g = GraphStore()
    r = IncrementalReducer()
    done = threading.Event()

    def build():
        random_store(g, 9, 3000)
        done.set()

    def step():
        while not done.is_set():
            r.step(g)

    threads = [threading.Thread(target=build)] + [threading.Thread(target=step) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    r.step(g)
    assert r.watermark() == r.total_work() == g.node_count()


