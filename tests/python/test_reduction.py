"""GraphStore.reduce, reduce_incremental and reduction_report: the road of one
request, the outputs rules, the identity texts end to end, and that every
reduction computes what the store computes. What the rules merge and how
stages form are the optimizer's own tests (src/optimizer)."""
import pytest

from nodalis_core import GraphStore, IncrementalReducer

from graph_meaning import random_store, values

REPORT_ORDER = ["input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
                "boundary_nodes"]
KEYS = set(REPORT_ORDER)


def report(**counts):
    return {k: counts.get(k, 0) for k in KEYS}


def test_road_of_one_request():
    g = GraphStore()
    x = g.add_source("x")
    plus0 = g.add_op("add", [x], {"scalar": 0.0, "side": "r"})
    y = g.add_source("y")
    prod = g.add_op("mul", [plus0, y])
    reduced, rep = g.reduce(outputs=[prod])
    assert rep == report(input_nodes=4, reachable_nodes=4, canonical_nodes=3, stages=1,
                         reduced_nodes=3, boundary_nodes=2)
    nodes = reduced.nodes()
    assert [(n["kind"], n["name"], n["inputs"]) for n in nodes] == [
        ("source", "x", []), ("source", "y", []), ("stage", "", [0, 1])]
    assert nodes[2]["members"] == [
        {"kind": "op", "name": "mul", "params": {}, "inputs": [("input", 0), ("input", 1)]}]
    assert reduced.outputs() == [2]


def test_without_marks_or_outputs_nothing_is_reachable():
    g = random_store(GraphStore(), 1, 30)
    n = g.node_count()
    for reduced, rep in (g.reduce(), g.reduce(outputs=[]), g.reduce_incremental()):
        assert reduced.node_count() == 0
        assert rep == report(input_nodes=n)
    assert g.reduction_report(outputs=()) == report(input_nodes=n)


def test_output_ids_are_checked_before_any_work():
    g = random_store(GraphStore(), 2, 20)
    n = g.node_count()
    for call in (lambda o: g.reduce(outputs=o), lambda o: g.reduce_incremental(outputs=o),
                 lambda o: g.reduction_report(outputs=o)):
        with pytest.raises(ValueError, match=f"^no node with id {n}$"):
            call([0, n, n + 1])
        call([n - 1])


@pytest.mark.parametrize("bad, error, text", [
    ("0", TypeError, "argument 'outputs': Can't extract `str` to `Vec`"),
    ("", TypeError, "argument 'outputs': Can't extract `str` to `Vec`"),
    (5, TypeError, "argument 'outputs': "),
    ([0, "1"], TypeError, "argument 'outputs': "),
    ([-1], OverflowError, ""),
    ([2**64], OverflowError, ""),
])
def test_bad_outputs_are_refused(bad, error, text):
    g = random_store(GraphStore(), 3, 10)
    for call in (g.reduce, g.reduce_incremental, g.reduction_report):
        with pytest.raises(error) as info:
            call(outputs=bad)
        assert str(info.value).startswith(text)


def test_bad_arguments_are_refused():
    g = random_store(GraphStore(), 3, 10)
    with pytest.raises(TypeError, match="argument 'maximal_fusion': "):
        g.reduce(maximal_fusion=1)
    with pytest.raises(TypeError, match=r"GraphStore\.reduce\(\)"):
        g.reduce(True)
    with pytest.raises(TypeError):
        g.reduce_incremental(maximal_fusion=True)
    with pytest.raises(TypeError):
        g.reduction_report(nope=1)
    assert g.reduce(maximal_fusion=None)[1] == g.reduce()[1]


def test_outputs_keep_order_and_repeats_and_ignore_marks():
    g = GraphStore()
    a, b = g.add_source("a"), g.add_source("b")
    ab, ba = g.add_op("add", [a, b]), g.add_op("add", [b, a])
    t = g.add_op("tanh", [a])
    marked, _ = g.reduce(outputs=[t, ab])
    assert len(marked.outputs()) == 2
    # The reduced store carries marks; an explicit list ignores them.
    again, rep = marked.reduce(outputs=[])
    assert again.node_count() == 0
    reduced, rep = g.reduce(outputs=[ba, ab, ba])
    assert reduced.outputs() == [reduced.node_count() - 1]  # one stage for both twins
    assert rep["reachable_nodes"] == 4 and rep["canonical_nodes"] == 3


def test_source_store_is_unchanged():
    g = random_store(GraphStore(), 4, 60)
    before = g.nodes()
    g.reduce(outputs=[59, 3, 59], maximal_fusion=True)
    g.reduction_report(outputs=[10])
    assert g.nodes() == before
    assert g.outputs() == []


def test_re_reducing_a_reduced_store_is_a_fixpoint():
    g = random_store(GraphStore(), 5, 80)
    once, _ = g.reduce(outputs=[79, 40, 12])
    twice, rep = once.reduce()
    assert twice.nodes() == once.nodes()
    assert rep["stages"] == 0 and rep["boundary_nodes"] == once.node_count()


def test_incremental_one_shot_and_report_agree_with_reduce():
    g = random_store(GraphStore(), 6, 120)
    outs = [119, 50, 119]
    reduced, rep = g.reduce(outputs=outs)
    inc, inc_rep = g.reduce_incremental(outputs=outs)
    assert inc.nodes() == reduced.nodes() and inc_rep == rep
    assert g.reduction_report(outputs=outs) == rep
    # Every report is a dict of its own, keys in one order: emptying one
    # leaves the next whole.
    rep.clear()
    again = g.reduction_report(outputs=outs)
    assert again == inc_rep and list(again) == list(inc_rep) == REPORT_ORDER


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("maximal", [False, True])
def test_reports_hold_their_invariants_and_values_are_kept(seed, maximal):
    g = random_store(GraphStore(), seed, 40 + 10 * seed)
    outs = [g.node_count() - 1, seed, g.node_count() // 2]
    reduced, rep = g.reduce(outputs=outs, maximal_fusion=maximal)
    assert set(rep) == KEYS and all(type(v) is int for v in rep.values())
    assert rep["reduced_nodes"] == rep["stages"] + rep["boundary_nodes"] == reduced.node_count()
    assert rep["reduced_nodes"] <= rep["canonical_nodes"] <= rep["reachable_nodes"] <= rep["input_nodes"]
    assert values(reduced) == values(g, sorted(set(outs), key=outs.index))


def chain_store():
    g = GraphStore()
    s = g.add_source("s")
    x = g.add_op("neg", [s])
    y, z = g.add_op("exp", [x]), g.add_op("tanh", [x])
    w = g.add_op("sub", [y, z])
    return g, w


def test_fan_out_fuses_only_with_maximal_fusion():
    g, w = chain_store()
    single, rep1 = g.reduce(outputs=[w])
    fan, rep2 = g.reduce(outputs=[w], maximal_fusion=True)
    assert rep1["stages"] == 2 and [n.get("n_members") for n in single.nodes()] == [None, 1, 3]
    assert rep2["stages"] == 1 and [n.get("n_members") for n in fan.nodes()] == [None, 4]
    assert values(single) == values(fan) == values(g, [w])


@pytest.mark.parametrize("name, params, n_inputs, eliminated", [
    ("add", {"scalar": 0.0, "side": "r"}, 1, True),
    ("add", {"scalar": 0.0, "side": "l"}, 1, True),
    ("mul", {"scalar": 1.0, "side": "r"}, 1, True),
    ("mul", {"scalar": 1.0, "side": "l"}, 1, True),
    ("add", {"scalar": 0.0, "side": "r"}, 2, False),
    ("add", {"scalar": 0, "side": "r"}, 1, False),
    ("add", {"scalar": -0.0, "side": "r"}, 1, False),
    ("mul", {"scalar": 1.0, "side": "x"}, 1, False),
    ("mul", {"scalar": 1.0}, 1, False),
    ("mul", {"scalar": 1.0, "side": "r", "k": True}, 1, False),
    ("sub", {"scalar": 0.0, "side": "r"}, 1, False),
])
def test_identities_only_for_the_four_exact_texts_with_one_input(name, params, n_inputs, eliminated):
    g = GraphStore()
    x, y = g.add_source("x"), g.add_source("y")
    ident = g.add_op(name, [x, y][:n_inputs], params)
    use = g.add_op("pow", [ident, y])
    plain = g.add_op("pow", [x, y])
    rep = g.reduction_report(outputs=[use, plain])
    assert rep["canonical_nodes"] == (3 if eliminated else 5)
    reduced, _ = g.reduce(outputs=[use, plain])
    assert (reduced.outputs() == [reduced.node_count() - 1]) == eliminated
    assert values(reduced, [reduced.outputs()[0], reduced.outputs()[-1]]) == values(g, [use, plain])
    red = IncrementalReducer()
    red.step(g)
    assert red.canonical_count() == (3 if eliminated else 5)


def test_reductions_see_the_store_as_it_was_while_another_thread_builds():
    import threading

    g = GraphStore()
    first = g.add_source("first")
    done = threading.Event()

    def build():
        random_store(g, 21, 4000)
        done.set()

    builder = threading.Thread(target=build)
    builder.start()
    seen = []
    while not done.is_set():
        n = g.node_count()
        reduced, rep = g.reduce(outputs=[first, n - 1])
        assert rep["input_nodes"] >= n
        seen.append(rep["input_nodes"])
    builder.join()
    assert g.reduction_report(outputs=[first])["input_nodes"] == g.node_count()
    assert seen == sorted(seen)


def test_a_reduced_store_round_trips_through_its_blob_with_its_marks():
    g = random_store(GraphStore(), 8, 90)
    reduced, _ = g.reduce(outputs=[89, 30])
    again = GraphStore.deserialize(reduced.serialize())
    assert again.nodes() == reduced.nodes() and again.outputs() == reduced.outputs()
    # Its marks are what a reduction without outputs keeps: a fixpoint.
    assert again.reduce()[0].serialize() == reduced.serialize()
