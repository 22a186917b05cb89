"""Writes the inputs of saturation_bench: reduce_graph(n)'s store as PREFIX.blob
and its output ids as PREFIX.outs (little-endian uint64).

Usage: python3 bench/saturation_inputs.py N PREFIX
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
for d in (os.path.join(HERE, "..", "..", "shared", "bench"), os.path.join(HERE, "..", "shared", "bench")):
    if os.path.exists(os.path.join(d, "workloads.py")):
        sys.path.insert(0, d)
import workloads  # noqa: E402
import nodalis_core as nc  # noqa: E402


def main():
    n, prefix = int(sys.argv[1]), sys.argv[2]
    calls, outputs = workloads.reduce_graph(n)
    store, ids = workloads.build_reduce_store(nc, calls, outputs)
    with open(prefix + ".blob", "wb") as f:
        f.write(store.serialize())
    with open(prefix + ".outs", "wb") as f:
        f.write(struct.pack("<%dQ" % len(ids), *ids))


if __name__ == "__main__":
    main()
