"""``nodalis reduce``: reduce a blob, write the reduced blob, print the report."""
from __future__ import annotations

import argparse
import json
import sys
from typing import Any, Dict, List

from nodalis_core import IncrementalReducer

from nodalis.cli.common import (CommandError, add_subcommand, decode, note, parse_ids, progress, read_blob,
                                write_file)
from nodalis.plan import Plan, compile, compile_incremental

REPORT_KEYS = ("input_nodes", "reachable_nodes", "canonical_nodes", "stages", "reduced_nodes",
               "boundary_nodes")

DESCRIPTION = """\
Reduce the graph of an IR blob: keep what the outputs need, merge equal nodes,
canonicalize modulo the rewrite rules and fuse element-wise chains into stages.
Prints the reduction report and, for each requested output, the id of the
reduced node that computes it; with -o, writes the reduced blob (its marks are
the reduced outputs, each once).

The outputs are the blob's marked outputs unless --outputs lists node ids (in
order, repeats allowed; the marks are then ignored)."""


def register(subcommands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    """Add ``reduce`` to the command."""
    parser = add_subcommand(subcommands, "reduce", summary="reduce a blob and print the report",
                            description=DESCRIPTION, command=command)
    parser.add_argument("file", metavar="FILE.nir", help="the blob to reduce ('-' for stdin)")
    parser.add_argument("-o", "--output", metavar="OUT.nir",
                        help="write the reduced blob here ('-' for stdout)")
    parser.add_argument("--outputs", metavar="IDS", type=parse_ids,
                        help="node ids to compute, separated by commas, e.g. 3,5,5")
    parser.add_argument("--maximal-fusion", action="store_true",
                        help="also fuse an op with several uses when all of them land in one stage")
    parser.add_argument("--incremental", action="store_true",
                        help="reduce through an IncrementalReducer (same graph, another road)")
    parser.add_argument("--json", action="store_true",
                        help="print the report and outputs as JSON, for programs")


def reduce_store(args: argparse.Namespace, store: Any, requested: List[int]) -> Plan:
    """The plan of `store` for `requested`, by the road the options choose."""
    if args.incremental:
        reducer = IncrementalReducer()
        reducer.step(store)
        return compile_incremental(reducer, store, requested, maximal_fusion=args.maximal_fusion)
    return compile(store, requested, maximal_fusion=args.maximal_fusion)


def command(args: argparse.Namespace) -> int:
    """Run ``nodalis reduce``."""
    blob = read_blob(args.file)
    with progress(args, 3 if args.output else 2, len(blob)) as steps:
        store = decode(args.file, blob, steps)
        requested = store.outputs() if args.outputs is None else args.outputs
        if not requested:
            note(args, f"{args.file} marks no outputs, so the reduced graph is empty "
                       "(--outputs names the nodes to keep)")
        steps.step(f"reducing {store.node_count():,} nodes")
        try:
            plan = reduce_store(args, store, requested)
        except ValueError as e:  # an id of --outputs that the blob does not have
            raise CommandError(f"{args.file} has {store.node_count()} nodes: {e}") from e
        reduced_blob = plan.store.serialize()
        if args.output:
            steps.step(f"writing {args.output}")
            write_file(args.output, reduced_blob)
    # With the blob on stdout, the report goes to stderr.
    out = sys.stderr if args.output == "-" else sys.stdout
    if args.json:
        result: Dict[str, Any] = {
            "file": args.file,
            "report": {key: plan.report[key] for key in REPORT_KEYS},
            "outputs": requested,
            "reduced_outputs": list(plan.outputs),
            "written": args.output,
            "bytes": len(reduced_blob),
        }
        print(json.dumps(result, indent=1), file=out)
        return 0
    report = plan.report
    print(f"{args.file}: {report['input_nodes']} nodes reduced to {report['reduced_nodes']} "
          f"({report['stages']} stages, {report['boundary_nodes']} boundary nodes)", file=out)
    for key in REPORT_KEYS:
        print(f"  {key:<16} {report[key]}", file=out)
    if requested:
        print("outputs: " + ", ".join(f"{a} -> {b}" for a, b in zip(requested, plan.outputs)),
              file=out)
    if args.output and args.output != "-":
        note(args, f"wrote {args.output} ({len(reduced_blob):,} bytes)")
    return 0
