"""What the subcommands share: their error type, the options every one takes,
reading blobs, and the progress bar shown on a terminal during long steps.
"""
from __future__ import annotations

import argparse
import contextlib
import os
import sys
from typing import Any, Callable, Iterator, List, Optional

from nodalis_core import GraphStore

# Below this size every step is quick, and a bar would only flicker.
PROGRESS_MIN_BYTES = 1 << 20

Command = Callable[[argparse.Namespace], int]


class CommandError(Exception):
    """A failure the command reports as one line on stderr, with an exit status."""

    def __init__(self, message: str, status: int = 2) -> None:
        super().__init__(message)
        self.status = status


def shared_options(parser: argparse.ArgumentParser, *, top_level: bool = False) -> None:
    """Add ``--quiet`` and ``--debug`` to `parser`.

    They are accepted both before and after the subcommand: a subcommand's
    parser adds them without a default, so it never undoes the top level's.
    """
    default: Any = False if top_level else argparse.SUPPRESS
    parser.add_argument("-q", "--quiet", action="store_true", default=default,
                        help="no progress bar and no notes on stderr")
    parser.add_argument("--debug", action="store_true", default=default,
                        help="show the full traceback of an error")


def add_subcommand(subcommands: "argparse._SubParsersAction[argparse.ArgumentParser]", name: str,
                   *, summary: str, description: str,
                   command: Command) -> argparse.ArgumentParser:
    """Add a subcommand parser that runs `command` with the parsed arguments."""
    parser = subcommands.add_parser(name, help=summary, description=description,
                                    formatter_class=argparse.RawDescriptionHelpFormatter)
    shared_options(parser)
    parser.set_defaults(command=command)
    return parser


def parse_ids(text: str) -> List[int]:
    """``"3,5,5"`` -> ``[3, 5, 5]``; the argparse type of ``--outputs``."""
    try:
        ids = [int(part) for part in text.split(",") if part.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected node ids separated by commas, not {text!r}")
    if any(i < 0 for i in ids):
        raise argparse.ArgumentTypeError(f"node ids are not negative: {text!r}")
    return ids


def note(args: argparse.Namespace, text: str) -> None:
    """A remark on stderr that ``--quiet`` silences."""
    if not args.quiet:
        print(f"nodalis {args.subcommand}: {text}", file=sys.stderr)


class Progress:
    """The steps of a long command as a bar on stderr (a no-op when hidden).

    The core's calls run to the end without giving control back, so the bar
    moves between them, naming each step before it starts.
    """

    def __init__(self, bar: Any) -> None:
        self._bar = bar

    def step(self, text: str) -> None:
        """Announce the next step; the previous one is counted as done."""
        if self._bar is not None:
            if self._bar.desc:
                self._bar.update(1)
            self._bar.set_description_str(text)


@contextlib.contextmanager
def progress(args: argparse.Namespace, steps: int, size: int) -> Iterator[Progress]:
    """A progress bar of `steps` steps for work on `size` bytes of input.

    Shown only on a terminal, for inputs of at least ``PROGRESS_MIN_BYTES``,
    without ``--quiet``, and when tqdm is installed.
    """
    bar = None
    if not args.quiet and size >= PROGRESS_MIN_BYTES and sys.stderr.isatty():
        try:
            from tqdm import tqdm
        except ImportError:
            tqdm = None
        if tqdm is not None:
            bar = tqdm(total=steps, file=sys.stderr, leave=False, unit="step",
                       bar_format="{desc}: {n}/{total} steps {bar} {elapsed}")
    try:
        yield Progress(bar)
        if bar is not None:
            bar.update(bar.total - bar.n)
    finally:
        if bar is not None:
            bar.close()


def read_blob(path: str) -> bytes:
    """The bytes of a blob file (``-`` reads standard input)."""
    if path == "-":
        return sys.stdin.buffer.read()
    with open(path, "rb") as f:
        return f.read()


def decode(path: str, blob: bytes, steps: Optional[Progress] = None) -> GraphStore:
    """Decode a blob read from `path`; a malformed blob is a CommandError."""
    if steps is not None:
        steps.step(f"decoding {os.path.basename(path)} ({len(blob):,} bytes)")
    try:
        return GraphStore.deserialize(blob)
    except ValueError as e:
        raise CommandError(f"{path}: not a valid nodalis IR blob: {e}") from e


def load(args: argparse.Namespace, path: str) -> GraphStore:
    """Read and decode a blob file, with a progress bar when it is large."""
    blob = read_blob(path)
    with progress(args, 1, len(blob)) as steps:
        return decode(path, blob, steps)


def write_file(path: str, data: bytes) -> None:
    """Write `data` to `path` (``-`` writes to standard output)."""
    if path == "-":
        sys.stdout.buffer.write(data)
        sys.stdout.flush()
        return
    with open(path, "wb") as f:
        f.write(data)
