"""A second build of nodalis_core for side-by-side figures: the benchmarks time
the installed module and, with --baseline DIR, the one built into DIR, in one
process and in alternation, so that the machine's drift hits both alike."""
import glob
import importlib.util
import os
import statistics
import sys


def load_baseline(directory):
    """The nodalis_core extension built in `directory`, loaded beside the installed one."""
    paths = glob.glob(os.path.join(directory, "nodalis_core", "__init__*.so"))
    if not paths:
        sys.exit(f"no nodalis_core extension under {directory}")
    module_spec = importlib.util.spec_from_file_location("nodalis_core", paths[0])
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def core_module(directory):
    """The build in `directory`, or the installed nodalis_core when it is "": what a
    child process of a benchmark times, named by one command-line argument."""
    if directory:
        return load_baseline(directory)
    import nodalis_core
    return nodalis_core


def rotated(items, k):
    """items starting at position k % len: whoever runs first in a round pays for
    the memory the round before left to the system, so the first place rotates."""
    k %= len(items)
    return items[k:] + items[:k]


def alternate(mods, rounds, measure):
    """measure(module) for each (label, module) in turn, `rounds` times; medians per label."""
    samples = {label: [] for label, _ in mods}
    for r in range(rounds):
        for label, module in rotated(mods, r):
            samples[label].append(measure(module))
    return {label: statistics.median(s) for label, s in samples.items()}
