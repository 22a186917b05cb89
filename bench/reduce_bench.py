"""Reduction benchmarks from Python, run against the installed module.

Builds the pipeline-shaped graph at 100k and 1M nodes (sources; parameterless
commutative ops, a third of them followed by their commuted twin; identity
ops; parameterized ops; reductions and exchanges; about 30% of the nodes on
dead branches) and reports, side by side from one run:

- GraphStore.reduce() end to end (best of three), and t(1M) / t(100k);
- the peak extra memory of that reduction, per input node (the process's peak
  resident size is reset before it, through /proc/self/clear_refs);
- IncrementalReducer.step in nodes per second, as one step over the built store
  and as steps of 10000 nodes interleaved with building (caches then cold);
- finalize on the canonical form against reduce on the store.

Usage: python3 bench/reduce_bench.py [big_n]
"""
import random
import sys
import time

from nodalis_core import GraphStore, IncrementalReducer

IDENTITIES = [{"scalar": 0.0, "side": "r"}, {"scalar": 0.0, "side": "l"},
              {"scalar": 1.0, "side": "r"}, {"scalar": 1.0, "side": "l"}]
COMMUTATIVE = ["add", "mul", "maximum", "minimum"]
UNARY = ["tanh", "exp", "neg", "relu"]


def build(n, seed=7):
    """The graph and its outputs: the live nodes that no live node uses."""
    rng = random.Random(seed)
    g = GraphStore()
    live, frontier = [], []

    def keep(node_id):
        if node_id + 1 == g.node_count():  # a new node, not an interned twin
            live.append(node_id)
            frontier.append(node_id)

    while g.node_count() + len(frontier) < n:
        dead = len(live) > 8 and rng.random() < 0.3

        def pick():
            if dead and rng.random() < 0.5:
                return rng.randrange(g.node_count())
            if not dead and frontier and rng.random() < 0.75:
                k = len(frontier) - 1 - rng.randrange(min(len(frontier), 64))
                frontier[k], frontier[-1] = frontier[-1], frontier[k]
                return frontier.pop()
            return live[-1 - rng.randrange(min(len(live), 64))]

        r = rng.randrange(100) if len(live) >= 4 else 0
        if r < 10:
            node = g.add_source(f"x{g.node_count()}")
        elif r < 38:
            a, b = pick(), pick()
            name = rng.choice(COMMUTATIVE)
            node = g.add_op(name, [a, b])
            if rng.randrange(3) == 0:
                if not dead:
                    keep(node)
                node = g.add_op(name, [b, a])
        elif r < 48:
            node = g.add_op(rng.choice(("add", "mul")), [pick()], rng.choice(IDENTITIES))
        elif r < 68:
            node = g.add_op(rng.choice(("add", "mul")), [pick()],
                            {"scalar": 1.0 + rng.randrange(1000) / 8.0, "side": "r"})
        elif r < 84:
            node = g.add_op(rng.choice(UNARY), [pick()])
        elif r < 92:
            node = g.add_reduction("sum", [pick()], {"axis": rng.randrange(3)})
        else:
            node = g.add_exchange([pick()], {"scheme": rng.choice(("hash", "range"))})
        if not dead:
            keep(node)
    while len(frontier) > 16:  # a pipeline ends in a few sinks
        a, b = frontier.pop(), frontier.pop()
        node = g.add_op("concat", [a, b])
        live.append(node)
        frontier.insert(0, node)
    used = set()
    live_set = set(live)
    for i, node in enumerate(g.nodes()):
        if i in live_set:
            used.update(node["inputs"])
    outputs = [i for i in live if i not in used]
    return g, outputs


def peak_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def measure(g, outputs, runs=3):
    """Best time of `runs` reductions (the machine is shared), and the peak
    extra memory of the first."""
    base = rss_kib()
    resettable = reset_peak()
    best = float("inf")
    extra = float("nan")
    for run in range(runs):
        t = time.perf_counter()
        reduced, report = g.reduce(outputs=outputs)
        best = min(best, time.perf_counter() - t)
        if run == 0 and resettable:
            extra = (peak_kib() - base) * 1024
        del reduced
    return best, extra, report


def step_rate(g, chunk):
    nodes = g.nodes()
    h = GraphStore()
    r = IncrementalReducer()
    spent = 0.0
    # Rebuild the store in chunks and time only the steps.
    for start in range(0, len(nodes), chunk):
        for node in nodes[start:start + chunk]:
            kind = node["kind"]
            if kind == "source":
                h.add_source(node["name"], node["params"])
            elif kind == "op":
                h.add_op(node["name"], node["inputs"], node["params"])
            elif kind == "reduction":
                h.add_reduction(node["name"], node["inputs"], node["params"])
            else:
                h.add_exchange(node["inputs"], node["params"])
        t = time.perf_counter()
        r.step(h)
        spent += time.perf_counter() - t
    return r, h, spent


def main():
    big = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    small = big // 10
    print(f"building {small} and {big} nodes ...", flush=True)
    gs, outs_s = build(small)
    gb, outs_b = build(big)
    print(f"graphs: {gs.node_count()} nodes / {len(outs_s)} outputs, "
          f"{gb.node_count()} nodes / {len(outs_b)} outputs")

    ts, ms, rep_s = measure(gs, outs_s)
    tb, mb, rep_b = measure(gb, outs_b)
    print(f"reduce(): {small}: {ts:.3f} s, {big}: {tb:.3f} s, ratio t(big)/t(small) = {tb / ts:.2f}")
    print(f"  report at {big}: {rep_b}")
    print(f"  peak extra memory: {ms / gs.node_count():.0f} B/node at {small}, "
          f"{mb / gb.node_count():.0f} B/node at {big}")

    t_whole = float("inf")
    for _ in range(2):
        whole = IncrementalReducer()
        t = time.perf_counter()
        whole.step(gb)
        t_whole = min(t_whole, time.perf_counter() - t)
    print(f"IncrementalReducer.step: one step over the {gb.node_count()}-node store: {t_whole:.3f} s = "
          f"{gb.node_count() / t_whole / 1e6:.1f} M nodes/s")
    r, h, spent = step_rate(gb, 10_000)
    print(f"IncrementalReducer.step: steps of 10000 while rebuilding it: {spent:.3f} s = "
          f"{h.node_count() / spent / 1e6:.1f} M nodes/s")
    tf = tr = float("inf")
    for _ in range(3):  # alternating, best of each
        t = time.perf_counter()
        fin, fin_rep = r.finalize(h, outputs=outs_b)
        tf = min(tf, time.perf_counter() - t)
        del fin
        t = time.perf_counter()
        full, full_rep = h.reduce(outputs=outs_b)
        tr = min(tr, time.perf_counter() - t)
        del full
    print(f"finalize on the canonical form ({fin_rep['input_nodes']} nodes): {tf:.3f} s; "
          f"reduce on the store ({full_rep['input_nodes']} nodes): {tr:.3f} s; ratio {tf / tr:.2f}")


if __name__ == "__main__":
    main()
