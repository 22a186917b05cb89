"""Stores shared by builders, readers and reducers at once, and the very lists
and dicts a call is converting changed by other threads meanwhile. Under a
free-threaded interpreter with the GIL off (scripts/freethreaded.sh) these run
truly in parallel; elsewhere they still check the same outcomes."""
import random
import subprocess
import sys
import sysconfig
import threading

import pytest

from nodalis_core import GraphStore, IncrementalReducer

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
BUILDERS, PER_BUILDER, SHARED = 8, 3000, 400
MUTATED_CALLS = 12000


@pytest.fixture(autouse=True)
def switch_often():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_all(targets):
    """Starts every target at one barrier and re-raises the first failure."""
    barrier = threading.Barrier(len(targets))
    failures = []

    def wrap(target):
        def run():
            barrier.wait()
            try:
                target()
            except BaseException as e:  # a failed thread must fail the test
                failures.append(e)
        return run

    threads = [threading.Thread(target=wrap(t)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        raise failures[0]


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_importing_the_module_leaves_the_gil_off():
    code = "import sys, nodalis_core; assert not sys._is_gil_enabled()"
    subprocess.run([sys.executable, "-X", "gil=0", "-W", "error", "-c", code], check=True)


def key_of(t, i):
    # Even steps share keys across builders, odd steps are the builder's own.
    return ("shared", (i // 2) % SHARED) if i % 2 == 0 else ("own", t, i)


def test_builders_readers_and_reducers_at_once():
    store = GraphStore()
    root = store.add_source("root")
    got = [None] * BUILDERS
    done = threading.Event()
    finished = []

    def build(t):
        ids = {}
        for i in range(PER_BUILDER):
            key = key_of(t, i)
            name = "op_" + "_".join(map(str, key))
            ids[key] = store.add_op(name, [root], {"i": key[-1], "t": key[0]})
            if i % 7 == 0:  # a chain, so that reductions have work to do
                store.add_op("tanh", [ids[key]])
        got[t] = ids
        finished.append(t)
        if len(finished) == BUILDERS:
            done.set()

    def read():
        while not done.is_set():
            view = store.nodes()
            assert [n["id"] for n in view] == list(range(len(view)))
            assert all(i < n["id"] for n in view for i in n["inputs"])
            blob = store.serialize()
            assert GraphStore.deserialize(blob).serialize() == blob
            assert store.to_dot().count(" -> ") >= len(view) - 1
            reduced, report = store.reduce(outputs=[len(view) - 1])
            assert report["input_nodes"] >= len(view)

    def step():
        reducer = IncrementalReducer()
        while not done.is_set():
            reducer.step(store)
            assert reducer.watermark() == reducer.total_work() <= store.node_count()
        reducer.step(store)
        assert reducer.watermark() == store.node_count()
        reducer.finalize(store, outputs=[store.node_count() - 1])

    run_all([lambda t=t: build(t) for t in range(BUILDERS)] + [read, read, step, step])

    merged = {}
    for ids in got:
        for key, node_id in ids.items():
            assert merged.setdefault(key, node_id) == node_id  # one id per shared key
    assert len(merged) == SHARED + BUILDERS * (PER_BUILDER // 2)
    assert len(set(merged.values())) == len(merged)
    view = store.nodes()
    chained = {n["inputs"][0] for n in view if n["name"] == "tanh"}
    assert store.node_count() == 1 + len(merged) + len(chained)  # dense, nothing lost
    for key, node_id in merged.items():
        assert view[node_id]["name"] == "op_" + "_".join(map(str, key))
        assert view[node_id]["params"] == {"i": key[-1], "t": key[0]}


def mutate_list(lst, stable, pool, stop):
    rng = random.Random(1)
    while not stop.is_set():
        r = rng.randrange(4)
        if r == 0 and len(lst) < 40:
            lst.extend(rng.choices(pool, k=rng.randrange(1, 20)))  # reallocates
        elif r == 1 and len(lst) > len(stable):
            del lst[len(stable):]
        elif r == 2:
            lst[len(stable):] = rng.choices(pool, k=rng.randrange(0, 30))
        elif len(lst) > len(stable):
            lst.pop()


def mutate_dict(d, stable, stop):
    # `stable` maps each key that stays to the values it may take.
    rng = random.Random(2)
    extra = [f"k{i}" for i in range(40)]
    while not stop.is_set():
        r = rng.randrange(3)
        if r == 0:
            for k in rng.sample(extra, rng.randrange(1, 40)):  # grows past resizes
                # Fresh objects, freed again when replaced: a reader that
                # kept a stale one would see garbage, not a valid value.
                d[k] = rng.choice([str(rng.random()), rng.random(), 2**40 + rng.randrange(9)])
        elif r == 1:
            for k in list(d):
                if k not in stable:
                    d.pop(k, None)
        else:
            k = rng.choice(list(stable))
            d[k] = rng.choice(stable[k])


def test_lists_and_dicts_changed_while_they_are_converted():
    store = GraphStore()
    pool = [store.add_source(f"s{i}") for i in range(5)]
    inputs = [pool[0], pool[1]]                       # a prefix that never changes
    params = {"a": 0, "b": 1}                         # keys that are never removed
    descriptor = {"kind": "model", "content_hash": "h", "framework": "f", "version": "1",
                  "io_schema": "s"}
    outputs = [pool[2]]
    stop = threading.Event()
    made = []

    def call(add):
        for _ in range(MUTATED_CALLS):
            made.append(add())

    def check_serialize():
        for _ in range(MUTATED_CALLS // 4):
            marks = GraphStore.deserialize(store.serialize(outputs=outputs)).outputs()
            assert marks[0] == pool[2] and set(marks) <= set(pool)

    def mutators():
        try:
            run_all([lambda: call(lambda: store.add_op("f", inputs, params)),
                     lambda: call(lambda: store.add_external(descriptor, inputs, params)),
                     lambda: call(lambda: store.add_exchange(inputs, params)),
                     check_serialize])
        finally:
            stop.set()

    run_all([mutators,
             lambda: mutate_list(inputs, inputs[:2], pool, stop),
             lambda: mutate_list(outputs, outputs[:1], pool, stop),
             lambda: mutate_dict(params, {"a": [0, 1], "b": [0, 1]}, stop),
             lambda: mutate_dict(descriptor, {k: ["x", "y"] for k in descriptor}, stop)])

    view = store.nodes()
    for node_id in made:
        node = view[node_id]
        # Each node holds one state of the list and one of the dict, never a mix.
        assert node["inputs"][:2] == pool[:2] and set(node["inputs"]) <= set(pool)
        assert {"a", "b"} <= node["params"].keys()
        assert all(type(v) in (int, float, str) for v in node["params"].values())
        assert all(str(float(v)) == v for k, v in node["params"].items() if type(v) is str)
    assert len(made) == 3 * MUTATED_CALLS
