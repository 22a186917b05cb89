"""``nodalis render``: draw a blob with Graphviz, or write its DOT text."""
from __future__ import annotations

import argparse
import os

from nodalis import drawing
from nodalis.cli.common import CommandError, add_subcommand, decode, note, progress, read_blob, write_file

FORMATS = ("svg", "png", "pdf", "dot")

DESCRIPTION = f"""\
Draw the graph of an IR blob with Graphviz's 'dot' program. The format follows
the output file's extension ({', '.join(FORMATS)}) unless --format is given;
'dot' writes the DOT text itself and needs no Graphviz.

Graphs of more than {drawing.MAX_DRAWN_NODES} nodes are refused unless --force
is given, since Graphviz may take minutes to lay them out. Exit status 2 when
Graphviz is not installed."""


def register(subcommands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    """Add ``render`` to the command."""
    parser = add_subcommand(subcommands, "render", summary="draw a blob with Graphviz",
                            description=DESCRIPTION, command=command)
    parser.add_argument("file", metavar="FILE.nir", help="the blob to draw ('-' for stdin)")
    parser.add_argument("-o", "--output", metavar="OUT", required=True,
                        help="the file to write: OUT.svg, OUT.png, OUT.pdf or OUT.dot "
                             "('-' for stdout, with --format)")
    parser.add_argument("--format", choices=FORMATS,
                        help="the output format (default: from the extension of OUT)")
    parser.add_argument("--force", action="store_true",
                        help=f"draw graphs over {drawing.MAX_DRAWN_NODES} nodes too")


def output_format(args: argparse.Namespace) -> str:
    """The format asked for, by ``--format`` or by the output's extension."""
    if args.format:
        return str(args.format)
    ext = os.path.splitext(str(args.output))[1].lstrip(".").lower()
    if ext not in FORMATS:
        raise CommandError(f"cannot tell the format of {args.output!r}: "
                           f"use an extension among {', '.join(FORMATS)} or --format")
    return ext


def command(args: argparse.Namespace) -> int:
    """Run ``nodalis render``."""
    fmt = output_format(args)
    blob = read_blob(args.file)
    with progress(args, 2, len(blob)) as steps:
        store = decode(args.file, blob, steps)
        count = store.node_count()
        if fmt == "dot":
            data = store.to_dot().encode()
        else:
            if count > drawing.MAX_DRAWN_NODES and not args.force:
                raise CommandError(
                    f"{args.file} has {count} nodes, more than Graphviz lays out in reasonable "
                    f"time (over {drawing.MAX_DRAWN_NODES}); give --force to draw it anyway, "
                    f"or -o OUT.dot for the DOT text")
            steps.step(f"drawing {count} nodes with Graphviz")
            try:
                data = drawing.draw(store, fmt)
            except (drawing.GraphvizMissing, drawing.GraphvizFailed) as e:
                raise CommandError(str(e)) from e
    write_file(args.output, data)
    if args.output != "-":
        note(args, f"wrote {args.output} ({len(data):,} bytes, {count} nodes)")
    return 0
