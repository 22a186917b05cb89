"""What ``nodalis.run`` adds around the work: a 10-node graph (two sources, seven
element-wise ops, a reduction) on 1,000 rows, run as built and as a compiled
plan, against the same arithmetic written directly in numpy.

Prints per-call times (best of five repeats of 200 calls) and the overhead in
milliseconds (target <= 1 ms) from one run.

Usage: python3 bench/run_overhead_bench.py [rows]
"""
import sys
import timeit

import numpy as np
from nodalis_core import GraphStore

import nodalis


def graph():
    g = GraphStore()
    x, y = g.add_source("x"), g.add_source("y")
    a = g.add_op("mul", [x, y])
    b = g.add_op("add", [a], {"scalar": 1.0})
    c = g.add_op("tanh", [b])
    d = g.add_op("sub", [c, x])
    e = g.add_op("abs", [d])
    f = g.add_op("maximum", [e, y])
    h = g.add_op("mul", [f], {"scalar": 0.5})
    return g, g.add_reduction("sum", [h], {"axis": 0})


def direct(x, y):
    return float(np.add.reduce(np.maximum(np.abs(np.tanh(x * y + 1.0) - x), y) * 0.5))


def per_call(fn):
    return min(timeit.repeat(fn, number=200, repeat=5)) / 200


def main(rows=1000):
    rng = np.random.default_rng(0)
    data = {"x": rng.normal(size=rows), "y": rng.normal(size=rows)}
    g, out = graph()
    assert g.node_count() == 10
    plan = nodalis.compile(g, [out])
    assert nodalis.run(g, [out], sources=data)[0]["x"][0] == nodalis.run(plan, sources=data)[0]["x"][0]
    t_numpy = per_call(lambda: direct(data["x"], data["y"]))
    t_store = per_call(lambda: nodalis.run(g, [out], sources=data))
    t_plan = per_call(lambda: nodalis.run(plan, sources=data))
    print(f"10-node graph on {rows:,} rows, per call")
    print(f"numpy directly:    {t_numpy * 1e3:.3f} ms")
    print(f"run(store):        {t_store * 1e3:.3f} ms   overhead {(t_store - t_numpy) * 1e3:.3f} ms "
          f"({t_store / t_numpy:.1f}x numpy)")
    print(f"run(plan):         {t_plan * 1e3:.3f} ms   overhead {(t_plan - t_numpy) * 1e3:.3f} ms "
          f"({t_plan / t_numpy:.1f}x numpy)")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:2]))
