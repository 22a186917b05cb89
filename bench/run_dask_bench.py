"""The Dask engine on two local worker processes: a Parquet source of (user,
amount) rows, a hash exchange into 16 partitions by user, and a grouped sum,
against pandas reading the same files and grouping on one core.

Prints rows per second for both and their ratio, from one run. The default is
50M rows; give a smaller count as the first argument on a small machine.

Usage: python3 bench/run_dask_bench.py [rows] [files]
"""
import os
import pathlib
import sys
import tempfile
import time

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
from nodalis_core import GraphStore

import nodalis


def write_source(folder, rows, files, seed=0):
    rng = np.random.default_rng(seed)
    per_file = rows // files
    for i in range(files):
        n = per_file if i < files - 1 else rows - per_file * (files - 1)
        table = pa.table({"user": rng.integers(0, 1_000_000, n), "amount": rng.gamma(2.0, 10.0, n)})
        pq.write_table(table, folder / f"part-{i:03d}.parquet", row_group_size=1 << 20)


def graph(folder):
    g = GraphStore()
    events = g.add_source("events", {"path": str(folder), "format": "parquet", "key": "user"})
    by_user = g.add_exchange([events], {"scheme": "hash", "key": "user", "parts": 16})
    return g, g.add_reduction("sum", [by_user], {"axis": 0})


def main(rows=50_000_000, files=32):
    import distributed

    pa.set_cpu_count(1)
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp) / "events"
        folder.mkdir()
        t = time.perf_counter()
        write_source(folder, rows, files)
        print(f"wrote {rows:,} rows in {files} Parquet files ({time.perf_counter() - t:.1f} s)")

        t = time.perf_counter()
        frame = pd.read_parquet(folder, engine="pyarrow")  # one core: pyarrow's pool is set to 1
        expected = frame.groupby("user", sort=True)["amount"].sum()
        t_pandas = time.perf_counter() - t
        del frame

        g, out = graph(folder)
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None, memory_limit=None) as cluster, \
                distributed.Client(cluster) as client:
            t = time.perf_counter()
            (result,) = nodalis.run(g, [out], backend="dask", client=client)
            t_dask = time.perf_counter() - t
        got = result.sort_values("user").set_index("user")["amount"]
        assert len(got) == len(expected)
        assert np.allclose(got.to_numpy(), expected.to_numpy(), rtol=1e-9)

    print(f"pandas, one core (read + groupby sum):           {rows / t_pandas / 1e6:7.2f} M rows/s "
          f"({t_pandas:.1f} s)")
    print(f"nodalis dask, 2 workers (read, exchange 16, sum): {rows / t_dask / 1e6:7.2f} M rows/s "
          f"({t_dask:.1f} s)   dask / pandas {t_pandas / t_dask:.2f}x")
    print(f"machine: {os.cpu_count()} cores")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:3]))
