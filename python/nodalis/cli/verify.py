"""``nodalis verify``: check that a blob decodes and is in canonical form."""
from __future__ import annotations

import argparse

from nodalis_core import GraphStore

from nodalis.cli.common import add_subcommand, progress, read_blob

DESCRIPTION = """\
Check an IR blob: it must decode, and encoding the decoded graph again must
give the same bytes (the blob is canonical). Prints what is wrong: the
decoder's own message, or the first byte offset where the re-encoding
differs.

Exit status: 0 when the blob is valid and canonical, 1 when it is not, 2 on
trouble (e.g. an unreadable file)."""


def register(subcommands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    """Add ``verify`` to the command."""
    parser = add_subcommand(subcommands, "verify", summary="check that a blob is valid and canonical",
                            description=DESCRIPTION, command=command)
    parser.add_argument("file", metavar="FILE.nir", help="the blob to check ('-' for stdin)")


def first_difference(a: bytes, b: bytes) -> int:
    """The first offset where `a` and `b` differ (the shorter length if one is a prefix)."""
    lo, hi = 0, min(len(a), len(b))
    if a[:hi] == b[:hi]:
        return hi
    # Halve the range while its first half matches: slices compare in C.
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if a[lo:mid] == b[lo:mid]:
            lo = mid
        else:
            hi = mid
    return lo


def command(args: argparse.Namespace) -> int:
    """Run ``nodalis verify``."""
    blob = read_blob(args.file)
    with progress(args, 2, len(blob)) as steps:
        steps.step(f"decoding {len(blob):,} bytes")
        try:
            store = GraphStore.deserialize(blob)
        except ValueError as e:
            print(f"{args.file}: invalid: {e}")
            return 1
        steps.step("encoding again")
        again = store.serialize()
    if again != blob:
        offset = first_difference(blob, again)
        print(f"{args.file}: not canonical: re-encoding differs from byte {offset} on "
              f"({len(blob):,} bytes read, {len(again):,} re-encoded)")
        return 1
    print(f"{args.file}: ok: {store.node_count()} nodes, {len(store.outputs())} outputs, "
          f"{len(blob):,} bytes, canonical")
    return 0
