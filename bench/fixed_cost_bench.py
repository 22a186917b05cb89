"""Fixed cost of the small things every caller pays: a new store, a new
incremental reducer, refusing a blob that is not one, decoding a 5-node blob
and reducing a 10-node graph; and the first reduction of a process, which
pays for what the reducer makes once (its rules, its symbols).

Each figure is the best per-call time over several rounds (the machine is
shared), beside `dict()` as a reference call so that the ratios hold on a
noisy machine. Targets: GraphStore() <= 1 us, a bad-magic blob refused in
<= 1 us.
Run against the installed module: python3 bench/fixed_cost_bench.py
--baseline DIR adds the nodalis_core package found in DIR (another build,
e.g. `pip install --target DIR .` of an older commit), measured in the same
rounds.
"""
import argparse
import os
import subprocess
import sys
import timeit

from baseline import alternate, load_baseline


def cases(nc):
    """name -> zero-argument call, all against module `nc`."""
    small = nc.GraphStore()
    a = small.add_source("a")
    b = small.add_source("b")
    small.add_op("exp", [small.add_op("mul", [a, b])])
    out = small.add_op("add", [a, 3], {"scalar": 0.0, "side": "r"})
    blob = small.serialize(outputs=[out])
    bad = b"XXXX" + blob[4:]

    ten = nc.GraphStore()
    x = ten.add_source("x")
    y = ten.add_source("y")
    z = ten.add_op("mul", [x, y])
    for name in ("exp", "tanh", "neg", "exp", "abs", "sqrt"):
        z = ten.add_op(name, [z])
    w = ten.add_op("add", [z, x], {"scalar": 0.0, "side": "r"})
    last = [ten.add_op("mul", [w, y])]

    def refuse():
        try:
            nc.GraphStore.deserialize(bad)
        except ValueError:
            pass

    return {
        "GraphStore()": nc.GraphStore,
        "IncrementalReducer()": nc.IncrementalReducer,
        "bad-magic blob refused": refuse,
        "5-node blob decoded": lambda: nc.GraphStore.deserialize(blob),
        "10-node graph reduced": lambda: ten.reduce(outputs=last),
    }


# Run in a fresh interpreter: argv[1] is the bench directory, argv[2] a
# baseline build's directory or "" for the installed module.
FIRST_REDUCTION = """
import sys, time
sys.path.insert(0, sys.argv[1])
from fixed_cost_bench import cases
from baseline import core_module
nc = core_module(sys.argv[2])
reduce_ten = cases(nc)["10-node graph reduced"]
start = time.perf_counter()
reduce_ten()
print((time.perf_counter() - start) * 1e6)
"""


def first_reduction_us(baseline_dirs, rounds):
    """Median time of a process's first reduction of the 10-node graph, one
    process per sample, the builds taking turns."""
    here = os.path.dirname(os.path.abspath(__file__))

    def measure(d):
        out = subprocess.run([sys.executable, "-c", FIRST_REDUCTION, here, d or ""],
                             check=True, capture_output=True, text=True).stdout
        return float(out)

    return alternate([(d, d) for d in baseline_dirs], rounds, measure)


def best_us(call, number, rounds):
    return min(timeit.repeat(call, number=number, repeat=rounds)) / number * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--number", type=int, default=20000)
    parser.add_argument("--baseline", metavar="DIR")
    args = parser.parse_args()

    import nodalis_core

    variants = {"": cases(nodalis_core)}
    if args.baseline:
        variants[" (baseline)"] = cases(load_baseline(args.baseline))
    reference = best_us(dict, args.number, args.rounds)
    print(f"{'dict() (reference)':32s} {reference:9.3f} us")
    for name in variants[""]:
        number = args.number if "reduced" not in name else args.number // 20
        ours = None
        for suffix, calls in variants.items():
            t = best_us(calls[name], number, args.rounds)
            ours = t if ours is None else ours
            line = f"{name + suffix:32s} {t:9.3f} us  {t / reference:8.1f}x dict()"
            if suffix:
                line += f"  baseline / ours {t / ours:6.1f}x"
            print(line)
    first = first_reduction_us([None] + ([args.baseline] if args.baseline else []), args.rounds)
    for d, t in first.items():
        line = f"{'first reduction of a process' + (' (baseline)' if d else ''):32s} {t:9.3f} us"
        if d:
            line += f"  {'':17s}baseline / ours {t / first[None]:6.1f}x"
        print(line)


if __name__ == "__main__":
    main()
