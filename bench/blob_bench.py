"""Blob and DOT throughput on a 1M-node store, with pickle side by side.

Builds one store of N nodes (sources, ops with two inputs and params,
reductions), then times serialize, deserialize and to_dot against
pickle.dumps / pickle.loads of the equivalent list of node tuples, each the
best of a few runs in this one process, and prints the throughputs and the
ratios. Run against the installed module: python3 bench/blob_bench.py [N]
"""
import pickle
import sys
import time

from nodalis_core import GraphStore


def best_of(runs, work):
    """The shortest of `runs` timings of work(), and its last result. The
    previous result is freed before each run, outside the timing."""
    best = float("inf")
    result = None
    for _ in range(runs):
        result = None
        start = time.perf_counter()
        result = work()
        best = min(best, time.perf_counter() - start)
    return best, result


def build(n):
    """The store and the same graph as a list of (kind, name, params, inputs)."""
    store = GraphStore()
    tuples = []
    names = ("add", "mul", "sub", "max")
    sources = max(1, n // 1000)
    for i in range(sources):
        params = {"shape": i, "dtype": "f32"}
        store.add_source(f"x{i}", params)
        tuples.append(("source", f"x{i}", params, []))
    for i in range(sources, n):
        if i % 10 == 0:
            inputs = [i - 1]
            params = {"axis": i % 3}
            store.add_reduction("sum", inputs, params)
            tuples.append(("reduction", "sum", params, inputs))
        else:
            inputs = [i - 1, (i * 7919) % i]
            params = {"scalar": float(i), "side": "r"}
            name = names[i % 4]
            store.add_op(name, inputs, params)
            tuples.append(("op", name, params, inputs))
    assert store.node_count() == n, "every node must be distinct"
    return store, tuples


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    runs = 3
    t0 = time.perf_counter()
    store, tuples = build(n)
    print(f"built {n} nodes in {time.perf_counter() - t0:.1f} s")

    t_ser, blob = best_of(runs, store.serialize)
    t_de, back = best_of(runs, lambda: GraphStore.deserialize(blob))
    assert back.serialize() == blob
    t_pdump, pickled = best_of(runs, lambda: pickle.dumps(tuples, protocol=pickle.HIGHEST_PROTOCOL))
    t_pload, _ = best_of(runs, lambda: pickle.loads(pickled))
    t_dot, text = best_of(runs, store.to_dot)

    mb = len(blob) / 1e6
    print(f"blob {mb:.1f} MB, pickle {len(pickled) / 1e6:.1f} MB, dot {len(text) / 1e6:.1f} MB")
    print(f"serialize    {t_ser * 1e3:8.1f} ms  {mb / t_ser / 1e3:6.2f} GB/s of blob")
    print(f"pickle.dumps {t_pdump * 1e3:8.1f} ms  -> serialize is {t_pdump / t_ser:5.1f}x faster")
    print(f"deserialize  {t_de * 1e3:8.1f} ms  {mb / t_de:6.0f} MB/s of blob")
    print(f"pickle.loads {t_pload * 1e3:8.1f} ms  -> deserialize is {t_pload / t_de:5.1f}x faster")
    print(f"to_dot       {t_dot * 1e3:8.1f} ms  {len(text) / 1e6 / t_dot:6.0f} MB/s of text")


if __name__ == "__main__":
    main()
