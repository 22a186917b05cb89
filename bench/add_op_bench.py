"""Cost of building a graph from Python, measured against two references.

  floor  a minimal C method with add_op's signature that only converts its
         arguments (compiled by this script at run time with the interpreter's
         own compiler settings): what any binding must pay at least;
  dict   interning the same keys as tuples in a Python dict: what a pure-Python
         hash-consing store would pay.

The same calls into many 20k-node stores (whose table and keys stay in the
caches) show how much of add_op's time is the work of a call and how much the
cache misses of a big store.

All three build the same 1M-node graph (calls like add_op("mul", [i, j],
{"scalar": 1.5})) side by side in one process, best of several rounds, so the
ratios hold on a noisy machine. Memory is the RSS growth of a fresh process
building the graph, per node.

Targets: add_op <= 2x floor, dict >= 4x add_op, <= 128 bytes per node.
Run against the installed module: python3 bench/add_op_bench.py [--nodes N]
To compare a change, --baseline DIR adds the nodalis_core package found in DIR
(another build) to the same rounds, so before and after are measured side by
side.
"""
import argparse
import gc
import importlib.util
import os
import subprocess
import sys
import sysconfig
import tempfile
import time

from baseline import load_baseline

FLOOR_SOURCE = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static unsigned long long calls;

/* floor(name, inputs, params=None): converts like add_op, then returns an int. */
static PyObject* floor_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  (void)self;
  if (kwnames != NULL || nargs < 2 || nargs > 3) {
    PyErr_SetString(PyExc_TypeError, "floor(name, inputs, params=None)");
    return NULL;
  }
  Py_ssize_t len;
  if (!PyUnicode_Check(args[0]) || PyUnicode_AsUTF8AndSize(args[0], &len) == NULL) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "name");
    return NULL;
  }
  if (PyUnicode_Check(args[1]) || !PySequence_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "inputs");
    return NULL;
  }
  PyObject* seq = PySequence_Fast(args[1], "inputs");
  if (seq == NULL) return NULL;
  unsigned long long ids[8];
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
    unsigned long long v = PyLong_AsUnsignedLongLong(PySequence_Fast_GET_ITEM(seq, i));
    if (v == (unsigned long long)-1 && PyErr_Occurred()) { Py_DECREF(seq); return NULL; }
    ids[i & 7] = v;
  }
  Py_DECREF(seq);
  if (nargs == 3 && args[2] != Py_None) {
    if (!PyDict_Check(args[2])) { PyErr_SetString(PyExc_TypeError, "params"); return NULL; }
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(args[2], &pos, &k, &v)) {
      if (!PyUnicode_Check(k) || PyUnicode_AsUTF8AndSize(k, &len) == NULL) return NULL;
      if (PyBool_Check(v)) continue;
      if (PyLong_Check(v)) { if (PyLong_AsLongLong(v) == -1 && PyErr_Occurred()) return NULL; continue; }
      if (PyFloat_Check(v)) { ids[0] += (unsigned long long)PyFloat_AS_DOUBLE(v); continue; }
      if (PyUnicode_Check(v) && PyUnicode_AsUTF8AndSize(v, &len) != NULL) continue;
      PyErr_SetString(PyExc_TypeError, "param values");
      return NULL;
    }
  }
  (void)ids;
  return PyLong_FromUnsignedLongLong(++calls);
}

/* noop(...): the call itself, converting nothing. */
static PyObject* noop_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  (void)self; (void)args; (void)nargs; (void)kwnames;
  return PyLong_FromUnsignedLongLong(++calls);
}

static PyMethodDef methods[] = {
  {"floor", (PyCFunction)(void (*)(void))floor_call, METH_FASTCALL | METH_KEYWORDS, NULL},
  {"noop", (PyCFunction)(void (*)(void))noop_call, METH_FASTCALL | METH_KEYWORDS, NULL},
  {NULL, NULL, 0, NULL},
};
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "bench_floor", NULL, -1, methods,
                                 NULL, NULL, NULL, NULL};
PyMODINIT_FUNC PyInit_bench_floor(void) { return PyModule_Create(&def); }
"""


def build_floor(workdir):
    src = os.path.join(workdir, "bench_floor.c")
    with open(src, "w") as f:
        f.write(FLOOR_SOURCE)
    out = os.path.join(workdir, "bench_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    cc = (sysconfig.get_config_var("CC") or "cc").split()
    cmd = cc + ["-O2", "-shared", "-fPIC", "-I" + sysconfig.get_paths()["include"], src,
                "-o", out]
    subprocess.run(cmd, check=True)
    module_spec = importlib.util.spec_from_file_location("bench_floor", out)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def dict_interner():
    table = {}

    def intern(name, inputs, params=None):
        key = (name, tuple(inputs), tuple(sorted(params.items())) if params else ())
        return table.setdefault(key, len(table))

    return intern


PARAMS_1 = {"scalar": 1.5}
PARAMS_2 = {"scalar": 1.5, "side": "r"}


def build(add, n, params):
    """Node k >= 2 is mul over [k-1, k-2]: every node new, ids always valid.

    CPU time of the process, not wall time: on a shared machine the loop is
    descheduled now and then, which says nothing about the code."""
    start = time.process_time()
    for k in range(2, n):
        add("mul", [k - 1, k - 2], params)
    return time.process_time() - start


def fresh_store(module=None):
    if module is None:
        import nodalis_core as module

    store = module.GraphStore()
    store.add_source("a")
    store.add_source("b")
    return store


def timing(n, rounds, baseline=None):
    with tempfile.TemporaryDirectory() as workdir:
        floor = build_floor(workdir)
        variants = {
            "noop (call only)": lambda: floor.noop,
            "floor (convert only)": lambda: floor.floor,
            "add_op": lambda: fresh_store().add_op,
            "dict of tuples": dict_interner,
        }
        if baseline is not None:
            variants["add_op (baseline)"] = lambda: fresh_store(baseline).add_op
        best = {name: float("inf") for name in variants}
        for _ in range(rounds):
            for name, make in variants.items():
                add = make()
                gc.collect()
                gc.disable()
                try:
                    best[name] = min(best[name], build(add, n, PARAMS_1))
                finally:
                    gc.enable()
                del add
                gc.collect()
        return {name: t / (n - 2) * 1e9 for name, t in best.items()}


SMALL_STORE = 20_000


def small_store_timing(n, rounds, module=None):
    """ns per add_op call into fresh stores of SMALL_STORE nodes, n calls in all:
    the store's table and keys stay in the caches, so this is the CPU work of a
    call, while the 1M-node build adds the cache misses of a big store."""
    best = float("inf")
    chunks = max(1, n // SMALL_STORE)
    for _ in range(rounds):
        gc.collect()
        gc.disable()
        try:
            total = sum(build(fresh_store(module).add_op, SMALL_STORE, PARAMS_1) for _ in range(chunks))
        finally:
            gc.enable()
        best = min(best, total)
    return best / (chunks * (SMALL_STORE - 2)) * 1e9


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def rss_child(kind, n, nparams):
    """Runs in a fresh process: RSS growth per node of one n-node build."""
    params = PARAMS_2 if nparams == 2 else PARAMS_1
    # Warm the interpreter's allocator for the loop's temporaries first.
    target = fresh_store() if kind == "add_op" else None
    warm = fresh_store() if kind == "add_op" else dict_interner()
    build(warm.add_op if kind == "add_op" else warm, 10000, params)
    del warm
    gc.collect()
    before = rss_bytes()
    add = target.add_op if kind == "add_op" else dict_interner()
    build(add, n, params)
    gc.collect()
    print((rss_bytes() - before) / n)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--rss-child", nargs=2, metavar=("KIND", "NPARAMS"))
    parser.add_argument("--baseline", metavar="DIR")
    args = parser.parse_args()
    if args.rss_child:
        rss_child(args.rss_child[0], args.nodes, int(args.rss_child[1]))
        return

    baseline = load_baseline(args.baseline) if args.baseline else None
    ns = timing(args.nodes, args.rounds, baseline)
    print(f"building {args.nodes} nodes, best of {args.rounds} rounds, ns per call:")
    for name, t in ns.items():
        print(f"  {name:<22} {t:8.1f}")
    call = ns["noop (call only)"]
    floor, ours, table = ns["floor (convert only)"], ns["add_op"], ns["dict of tuples"]
    print(f"add_op / floor          {ours / floor:5.2f}x   (target <= 2)"
          f"   net of the bare call: {(ours - call) / (floor - call):5.2f}x")
    print(f"dict of tuples / add_op {table / ours:5.2f}x   (target >= 4)"
          f"   net of the bare call: {(table - call) / (ours - call):5.2f}x")
    if "add_op (baseline)" in ns:
        base = ns["add_op (baseline)"]
        print(f"baseline / add_op       {base / ours:5.2f}x   baseline / floor {base / floor:5.2f}x,"
              f" dict of tuples / baseline {table / base:5.2f}x")
    small = small_store_timing(args.nodes, args.rounds)
    line = (f"add_op into {SMALL_STORE // 1000}k-node stores / floor {small / floor:5.2f}x"
            f"   ({small:.1f} ns per call; the rest of the 1M figure is the big store's cache misses)")
    if baseline is not None:
        line += f"   baseline {small_store_timing(args.nodes, args.rounds, baseline) / floor:5.2f}x"
    print(line)

    def child(kind, nparams):
        out = subprocess.run([sys.executable, __file__, "--nodes", str(args.nodes),
                              "--rss-child", kind, str(nparams)],
                             check=True, capture_output=True, text=True).stdout
        return float(out)

    for nparams in (1, 2):
        ours_rss = child("add_op", nparams)
        table_rss = child("dict", nparams)
        print(f"RSS per node, {nparams} param(s): add_op {ours_rss:6.1f} B (target <= 128),"
              f" dict of tuples {table_rss:6.1f} B")


if __name__ == "__main__":
    main()
