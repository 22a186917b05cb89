"""Cost of converting one very large params dict, on both conversion routes.

  fast     str keys and values of exact builtin types, all ASCII
  general  the same dict with one entry that needs the general route (here a
           non-ASCII key, met last, so the fast route is tried to the end
           first)

Both routes must be linear in the entry count: the figures are the best
time of several rounds at two sizes, with the ratio between the sizes (about
5x for linear cost; a quadratic route shows about 25x) and between routes.
Target: a 1M-entry dict converts in well under a second on either route.
Run against the installed module: python3 bench/params_bench.py [--sizes 200000 1000000]
--baseline DIR adds the nodalis_core package found in DIR (another build, e.g.
`pip install --target DIR .` of an older commit), measured at the smaller size
only, in the same run (a quadratic build takes minutes at the larger one).
"""
import argparse
import time

from baseline import load_baseline


def convert_seconds(nc, params, rounds):
    best = float("inf")
    for _ in range(rounds):
        store = nc.GraphStore()
        start = time.perf_counter()
        store.add_source("x", params)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs=2, default=[200_000, 1_000_000])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--baseline", metavar="DIR")
    args = parser.parse_args()

    import nodalis_core as nc

    baseline = load_baseline(args.baseline) if args.baseline else None

    figures = {}
    for n in args.sizes:
        fast = {f"k{i}": (i if i % 3 else 0.5 * i) for i in range(n)}
        general = dict(fast)
        del general[f"k{n - 1}"]
        general["k\u00e9"] = 1
        for route, params in (("fast", fast), ("general", general)):
            figures[route, n] = convert_seconds(nc, params, args.rounds)
            print(f"{route:8s} {n:>9,d} entries  {figures[route, n]:8.3f} s")
            if baseline is not None and n == args.sizes[0]:
                t = convert_seconds(baseline, params, 1)
                print(f"{route:8s} {n:>9,d} entries  {t:8.3f} s  baseline"
                      f"  (baseline / ours {t / figures[route, n]:6.1f}x)")
    small, large = args.sizes
    for route in ("fast", "general"):
        growth = figures[route, large] / figures[route, small]
        print(f"{route:8s} {large:,d} / {small:,d} entries: {growth:5.1f}x time"
              f" for {large / small:.1f}x entries")
    print(f"general / fast at {large:,d} entries: {figures['general', large] / figures['fast', large]:5.2f}x")


if __name__ == "__main__":
    main()
