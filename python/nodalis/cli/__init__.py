"""The ``nodalis`` command: look at, draw, reduce, compare, check and run IR blobs.

Each subcommand is a module of this package with a ``register(subcommands)``
function that adds its parser and sets ``command``, the one function that runs
it; adding a subcommand is a new module and its name in ``SUBCOMMANDS``.
"""
from __future__ import annotations

import argparse
import importlib
import os
import sys
import traceback
from typing import List, Optional, Sequence

import nodalis_core

from nodalis.cli.common import CommandError, shared_options

SUBCOMMANDS = ("inspect", "render", "reduce", "diff", "verify", "run")

DESCRIPTION = """\
Work with nodalis IR blobs (.nir files, as written by GraphStore.serialize),
and run them on data.

Exit status: 0 on success; 1 when diff finds differences or verify finds a
fault; 2 for errors (unreadable files, bad arguments, a missing Graphviz)."""


def version_text() -> str:
    """The version line printed by ``--version``."""
    return f"nodalis {nodalis_core.version()}"


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the command, with every registered subcommand."""
    parser = argparse.ArgumentParser(
        prog="nodalis", description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="Run 'nodalis COMMAND --help' for the options of one command.")
    parser.add_argument("--version", action="version", version=version_text())
    shared_options(parser, top_level=True)
    subcommands = parser.add_subparsers(dest="subcommand", metavar="COMMAND", required=True)
    for name in SUBCOMMANDS:
        importlib.import_module(f"nodalis.cli.{name}").register(subcommands)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments after the program name; ``sys.argv[1:]`` without it.

    Returns
    -------
    int
        The exit status.
    """
    parser = build_parser()
    args = parser.parse_args(None if argv is None else list(argv))
    try:
        status: int = args.command(args)
        sys.stdout.flush()
        return status
    except CommandError as e:
        return _fail(args, str(e), e.status)
    except KeyboardInterrupt:
        return _fail(args, "interrupted", 130)
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly, and keep the
        # interpreter's final flush from failing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except nodalis_core.PanicException as e:
        return _fail(args, f"internal fault: {e}", 3)
    except (OSError, ValueError, TypeError, OverflowError, MemoryError) as e:
        return _fail(args, _one_line(e), 2)


def _one_line(e: BaseException) -> str:
    if isinstance(e, OSError) and e.strerror and e.filename:
        return f"{e.filename}: {e.strerror}"
    text = str(e).strip().splitlines()
    return text[0] if text else type(e).__name__


def _fail(args: argparse.Namespace, message: str, status: int) -> int:
    if getattr(args, "debug", False):
        traceback.print_exc()
    print(f"nodalis {args.subcommand}: error: {message}", file=sys.stderr)
    return status


__all__: List[str] = ["main", "build_parser", "SUBCOMMANDS"]
