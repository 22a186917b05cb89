"""Fusion paying off: an 8-member element-wise chain over 10M float64 rows, run
by ``nodalis.run`` as built (op by op, one full-length temporary per op) and
compiled (one stage, run chunk by chunk into reused buffers).

Prints, from one run side by side (best of three each):
- unreduced / reduced time on the numpy engine (target >= 2x); the stage
  spreads its chunks over up to nodalis.stage.THREADS threads, op by op is one;
- peak traced memory of the reduced run against input + output (target: a few
  chunks more than input + output);
- the same chain through numexpr, over the whole arrays, against the stage
  (the stage uses numpy because it gives the same bits as op by op).

Usage: python3 bench/run_stage_bench.py [rows]
"""
import sys
import timeit
import tracemalloc

import numpy as np
from nodalis_core import GraphStore

import nodalis
from nodalis import stage


def chain():
    g = GraphStore()
    x, y = g.add_source("x"), g.add_source("y")
    a = g.add_op("mul", [x], {"scalar": 1.5})
    b = g.add_op("add", [a, y])
    c = g.add_op("maximum", [b], {"scalar": 0.0})
    d = g.add_op("sub", [c], {"scalar": 2.0, "side": "l"})
    e = g.add_op("mul", [d, x])
    f = g.add_op("abs", [e])
    h = g.add_op("sqrt", [f])
    out = g.add_op("add", [h], {"scalar": 1.0})
    return g, out


def best(fn, repeat=3):
    return min(timeit.repeat(fn, number=1, repeat=repeat))


def main(rows=10_000_000):
    rng = np.random.default_rng(0)
    data = {"x": rng.normal(size=rows), "y": rng.normal(size=rows)}
    g, out = chain()
    plan = nodalis.compile(g, [out])
    assert plan.report["stages"] == 1 and plan.store.node_count() == 3
    unreduced = nodalis.run(g, [out], sources=data)[0]
    reduced = nodalis.run(plan, sources=data)[0]
    assert np.array_equal(unreduced.to_numpy(), reduced.to_numpy())

    t_unreduced = best(lambda: nodalis.run(g, [out], sources=data))
    t_reduced = best(lambda: nodalis.run(plan, sources=data))
    print(f"{rows:,} rows, 8 members, chunks of {stage.CHUNK_ROWS:,} rows")
    print(f"unreduced (op by op): {t_unreduced * 1e3:8.1f} ms")
    print(f"reduced (one stage):  {t_reduced * 1e3:8.1f} ms   speed-up {t_unreduced / t_reduced:.2f}x")

    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    nodalis.run(plan, sources=data)
    peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    nodalis.run(g, [out], sources=data)
    peak_unreduced = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    io = 3 * rows * 8  # two inputs and one output
    chunk = stage.CHUNK_ROWS * 8
    # The inputs exist before the run; the traced peak is what the run adds.
    print(f"peak memory, reduced:   {(2 * rows * 8 + peak) / io:.3f} x (input + output); "
          f"{(peak - rows * 8) / chunk:.1f} chunk buffers above the output")
    print(f"peak memory, unreduced: {(2 * rows * 8 + peak_unreduced) / io:.3f} x (input + output)")

    try:
        import numexpr
    except ImportError:
        return
    expr = "sqrt(abs((2.0 - where(x * 1.5 + y > 0.0, x * 1.5 + y, 0.0)) * x)) + 1.0"
    t_ne = best(lambda: numexpr.evaluate(expr, local_dict=data))
    same = np.array_equal(numexpr.evaluate(expr, local_dict=data), reduced.to_numpy()[:, 0])
    print(f"numexpr, whole arrays ({numexpr.nthreads} threads): {t_ne * 1e3:8.1f} ms   "
          f"stage / numexpr {t_reduced / t_ne:.2f}x, same bits: {same}")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:2]))
