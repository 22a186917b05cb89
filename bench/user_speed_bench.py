"""The costs users feel, on the shared reference workloads, one row per measure:

  reduce     GraphStore.reduce() of reduce_graph(n), per call, for n = 10 .. 1M,
             and t(1M) / t(100k);
  blob       GraphStore.deserialize of the store build_calls(1M) builds, in MB/s of
             blob and against pickle.loads of the same node tuples (collector paused
             for pickle, its best case);
  nodes      nodes() of that store with the garbage collector on (the default), in
             us per node, counting the collection the next new container pays for,
             then also the collections the next 300k containers pay (enough for the
             view to reach the oldest generation); beside it the same call with the
             collector paused and a Python comprehension making dicts of the same shape;
  add_op     bench/add_op_bench.py's comparison against the bare C-call floor.

The workloads come from workloads.py, found as ../shared/bench/workloads.py beside the
project root or wherever NODALIS_WORKLOADS names. With --baseline DIR (a site-packages
folder holding another build of nodalis_core), every figure is measured for both builds
in alternation, so "before / after" ratios hold on a noisy machine: in this one process,
except the reductions of the two big graphs, which run one build per child process.
Figures are medians over rounds.

  python3 bench/user_speed_bench.py [--baseline DIR] [--rows reduce,blob,nodes,add_op]
                                    [--big N] [--rounds R]
"""
import argparse
import gc
import importlib.util
import json
import os
import pickle
import statistics
import subprocess
import sys
import time

from baseline import alternate, load_baseline, rotated

HERE = os.path.dirname(os.path.abspath(__file__))


def load_path(name, path):
    module_spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def load_workloads():
    path = os.environ.get("NODALIS_WORKLOADS") or os.path.join(
        HERE, "..", "..", "shared", "bench", "workloads.py")
    if not os.path.exists(path):
        sys.exit(f"no workloads.py at {path} (set NODALIS_WORKLOADS)")
    return load_path("workloads", path)


ADD_OP_BENCH = load_path("add_op_bench", os.path.join(HERE, "add_op_bench.py"))


def modules(baseline_dir):
    """[(label, module)]: the installed build, then the baseline if given."""
    import nodalis_core

    found = [("after", nodalis_core)]
    if baseline_dir:
        found.append(("before", load_baseline(baseline_dir)))
    return found


def show(title, figures, unit, target=None, lower_is_better=True):
    parts = [f"{label} {value:10.3f} {unit}" for label, value in figures.items()]
    line = f"{title:<34} " + "   ".join(parts)
    if "before" in figures:
        ratio = figures["before"] / figures["after"] if lower_is_better else \
            figures["after"] / figures["before"]
        line += f"   speedup {ratio:5.2f}x"
    if target is not None:
        line += f"   (target {'<=' if lower_is_better else '>='} {target} {unit})"
    print(line, flush=True)


def reduce_rows(w, mods, sites, rounds, big):
    small = [10, 100, 1000, 10_000]
    targets = {10: 5.0, 100: 15.0, 1000: 100.0, 10_000: 1200.0}
    for n in small:
        calls, outputs = w.reduce_graph(n)
        stores = {label: w.build_reduce_store(m, calls, outputs) for label, m in mods}
        reports = {label: s.reduce(outputs=o)[1] for label, (s, o) in stores.items()}
        blobs = {label: s.reduce(outputs=o)[0].serialize() for label, (s, o) in stores.items()}
        assert len(set(map(repr, reports.values()))) == 1, reports
        assert len(set(blobs.values())) == 1, "builds disagree on the reduced blob"
        # About 50 ms of calls per sample.
        store, out = stores["after"]
        start = time.process_time()
        store.reduce(outputs=out)
        reps = max(1, int(0.05 / max(time.process_time() - start, 1e-7)))

        def measure(module, n=n, reps=reps):
            s, o = stores[next(lbl for lbl, m in mods if m is module)]
            reduce = s.reduce
            t = time.process_time()
            for _ in range(reps):
                reduce(outputs=o)
            return (time.process_time() - t) / reps * 1e6

        show(f"reduce() of reduce_graph({n})", alternate(mods, max(rounds, 9), measure), "us",
             targets[n])
    if not big:
        return
    per_n = {}
    for n in (big // 10, big):
        per_n[n] = big_reductions(sites, n, rounds)
        show(f"reduce() of reduce_graph({n})", per_n[n], "s", 0.5 if n == 1_000_000 else None)
    ratio = {label: per_n[big][label] / per_n[big // 10][label] for label in per_n[big]}
    show(f"t({big}) / t({big // 10})", ratio, "", 12)


# The big graphs are reduced with one build per process, as users run them. In
# one process, one build's large reductions leave the allocator in a state that
# slows the other's: beside the base, main's 1M reduction took ~0.1 s longer.
BIG_REDUCTION = """
import hashlib, json, sys, time
here, site, n, reps = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
sys.path.insert(0, here)
from user_speed_bench import load_workloads
from baseline import core_module
nc = core_module(site)
w = load_workloads()
calls, outputs = w.reduce_graph(n)
store, ids = w.build_reduce_store(nc, calls, outputs)
del calls, outputs
reduced, report = store.reduce(outputs=ids)  # the first call also pays for fresh memory
digest = hashlib.sha256(reduced.serialize() + repr(report).encode()).hexdigest()
del reduced
times = []
for _ in range(reps):
    t = time.process_time()
    store.reduce(outputs=ids)
    times.append(time.process_time() - t)
print(json.dumps({"digest": digest, "times": times}))
"""


def big_reductions(sites, n, rounds):
    """Seconds of a later reduce() of reduce_graph(n) for each (label, site folder,
    or "" for the installed build): two processes per build taking turns, each
    giving the median of its `rounds` calls."""
    digests = set()

    def measure(site):
        out = subprocess.run([sys.executable, "-c", BIG_REDUCTION, HERE, site, str(n), str(rounds)],
                             check=True, capture_output=True, text=True).stdout
        found = json.loads(out)
        digests.add(found["digest"])
        return statistics.median(found["times"])

    times = alternate(sites, 2, measure)
    assert len(digests) == 1, "builds disagree on the reduced blob"
    return times


def calls_store(w, n):
    calls, _ = w.build_calls(n)
    return calls


def node_tuples(calls):
    """The distinct nodes the calls make, as (kind, name, params, inputs) tuples."""
    seen, tuples = set(), []
    for kind, name, inputs, params in calls:
        key = (kind, name, tuple(inputs), tuple(sorted(params.items())) if params else ())
        if key in seen:
            continue
        seen.add(key)
        tuples.append(("op" if kind else "source", name, dict(params) if params else {},
                       list(inputs)))
    return tuples


def blob_rows(w, mods, rounds, n):
    calls = calls_store(w, n)
    stores = {label: w.build_store(m, calls) for label, m in mods}
    blob = stores["after"].serialize()
    for label, s in stores.items():
        assert s.serialize() == blob, f"{label} serializes another blob"
    for label, m in mods:
        assert m.GraphStore.deserialize(blob).serialize() == blob, f"{label} reads another store"
    tuples = node_tuples(calls)
    assert len(tuples) == stores["after"].node_count()
    pickled = pickle.dumps(tuples, protocol=pickle.HIGHEST_PROTOCOL)
    del tuples

    def measure(module):
        t = time.process_time()
        back = module.GraphStore.deserialize(blob)
        t = time.process_time() - t
        del back
        return t

    def measure_pickle():
        # pickle's best case: no collection runs while its containers appear.
        gc.collect()
        gc.disable()
        t = time.process_time()
        back = pickle.loads(pickled)
        t = time.process_time() - t
        gc.enable()
        del back
        return t

    samples = {label: [] for label, _ in mods}
    samples["pickle"] = []
    runners = [(label, lambda m=module: measure(m)) for label, module in mods]
    runners.append(("pickle", measure_pickle))
    for r in range(rounds):
        for label, run in rotated(runners, r):
            samples[label].append(run())
    pickle_samples = samples.pop("pickle")
    t = {label: statistics.median(s) for label, s in samples.items()}
    t_pickle = statistics.median(pickle_samples)
    mb = len(blob) / 1e6
    print(f"blob of build_calls({n}): {mb:.1f} MB, {stores['after'].node_count()} nodes;"
          f" pickle.loads of the node tuples {t_pickle * 1e3:.1f} ms")
    show("deserialize throughput", {k: mb / v for k, v in t.items()}, "MB/s", 1000,
         lower_is_better=False)
    show("deserialize vs pickle.loads", {k: t_pickle / v for k, v in t.items()}, "x", 4,
         lower_is_better=False)
    return stores


def nodes_rows(w, mods, rounds, n, stores=None):
    if stores is None:
        calls = calls_store(w, n)
        stores = {label: w.build_store(m, calls) for label, m in mods}
    count = stores["after"].node_count()
    first = stores["after"].nodes()
    for label, s in stores.items():
        assert s.nodes() == first, f"{label} shows other nodes"

    def measure(module, paused=False, follow=1):
        s = stores[next(lbl for lbl, m in mods if m is module)]
        gc.collect()
        if paused:
            gc.disable()
        t = time.process_time()
        view = s.nodes()
        # The next new containers pay for whatever collections the build left
        # pending, so they are part of the cost: the first one at least, and
        # with `follow` > 1 enough for the view to reach the oldest generation.
        pending = [[] for _ in range(follow)]
        t = time.process_time() - t
        del pending
        gc.enable()
        del view
        gc.collect()
        if follow > 1:  # net of what making them costs without a view
            gc.collect()
            start = time.process_time()
            pending = [[] for _ in range(follow)]
            t -= time.process_time() - start
            del pending
        return t / count * 1e6

    show(f"nodes() of build_calls({n}), gc on", alternate(mods, rounds, measure), "us/node", 0.6)
    show("  and the next 300k containers", alternate(mods, rounds, lambda m: measure(m, follow=300_000)),
         "us/node")
    show("nodes(), gc paused", alternate(mods, rounds, lambda m: measure(m, True)), "us/node")

    # A Python comprehension making dicts of the same shape, as a reference.
    rows = [(d["id"], d["kind"], d["name"], d["params"], d["inputs"]) for d in first]
    keys = list(first[0].keys())
    del first

    def comprehension():
        gc.collect()
        t = time.process_time()
        made = [{keys[0]: a, keys[1]: b, keys[2]: c, keys[3]: dict(d), keys[4]: list(e)}
                for a, b, c, d, e in rows]
        t = time.process_time() - t
        del made
        gc.collect()
        return t / count * 1e6

    ref = statistics.median(comprehension() for _ in range(rounds))
    print(f"{'  reference: dict comprehension':<34} {ref:10.3f} us/node (gc on)", flush=True)


def add_op_rows(mods, rounds, n):
    baseline = dict(mods).get("before")
    ns = ADD_OP_BENCH.timing(n, rounds, baseline)
    floor = ns["floor (convert only)"]
    figures = {"after": ns["add_op"] / floor}
    if baseline is not None:
        figures["before"] = ns["add_op (baseline)"] / floor
    show("add_op / bare C-call floor", figures, "x", 2)
    print(f"{'  dict of tuples / add_op':<34} {ns['dict of tuples'] / ns['add_op']:10.3f} x",
          flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--baseline", metavar="DIR")
    parser.add_argument("--rows", default="reduce,blob,nodes,add_op")
    parser.add_argument("--big", type=int, default=1_000_000,
                        help="largest graph for reduce, blob and nodes (0 skips the big reduces)")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    rows = set(args.rows.split(","))
    w = load_workloads()
    mods = modules(args.baseline)
    n = args.big or 1_000_000
    if "reduce" in rows:
        sites = [("after", "")] + ([("before", args.baseline)] if args.baseline else [])
        reduce_rows(w, mods, sites, args.rounds, args.big)
    stores = None
    if "blob" in rows:
        stores = blob_rows(w, mods, args.rounds, n)
    if "nodes" in rows:
        nodes_rows(w, mods, args.rounds, n, stores)
    del stores
    if "add_op" in rows:
        add_op_rows(mods, args.rounds, n)


if __name__ == "__main__":
    main()
