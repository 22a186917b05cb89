"""``nodalis run``: run a blob's outputs on data and write one Parquet file per output.

The files appear all together or not at all: they are written into a
temporary directory beside the destination and moved into place only when
every output has been computed and written.
"""
from __future__ import annotations

import argparse
import importlib
import os
import pathlib
import shutil
import tempfile
from typing import Any, Dict, List, Sequence

from nodalis.cli.common import CommandError, add_subcommand, load, note
from nodalis.errors import RunError

DESCRIPTION = """\
Run the marked outputs of an IR blob on data and write each output's frame to
OUTDIR/output_<i>_node_<id>.parquet (i is the output's position, id its node).

Sources are read from --source NAME=PATH (Parquet or CSV, by extension or the
source's 'format' param), else from the source's 'path' param. Models of
external nodes come from --model HASH=PATH. Nothing is written unless every
output succeeds."""


def register(subcommands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    """Add ``run`` to the command."""
    parser = add_subcommand(subcommands, "run", summary="run a blob on data, writing Parquet",
                            description=DESCRIPTION, command=command)
    parser.add_argument("file", metavar="FILE.nir", help="the blob to run ('-' for stdin)")
    parser.add_argument("--source", action="append", default=[], metavar="NAME=PATH",
                        help="the data of the source NAME (repeatable)")
    parser.add_argument("--model", action="append", default=[], metavar="HASH=PATH",
                        help="the model file of external nodes with content hash HASH (repeatable)")
    parser.add_argument("--backend", choices=("numpy", "dask"), default="numpy",
                        help="the engine (default: numpy, in this process)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a Dask scheduler to run on (implies --backend dask)")
    parser.add_argument("-o", "--output", required=True, metavar="OUTDIR",
                        help="the directory to write the Parquet files into")


def pairs(items: Sequence[str], what: str) -> Dict[str, str]:
    """``["a=x.parquet"]`` -> ``{"a": "x.parquet"}``; a malformed item is a CommandError."""
    out: Dict[str, str] = {}
    for item in items:
        name, sep, path = item.partition("=")
        if not sep or not name or not path:
            raise CommandError(f"--{what} takes NAME=PATH, not {item!r}")
        out[name] = path
    return out


def write_frames(frames: Sequence[Any], ids: Sequence[int], outdir: str) -> List[pathlib.Path]:
    """Writes each frame as Parquet into ``outdir``, all or nothing.

    A new ``outdir`` is created by renaming the finished temporary directory;
    into an existing one the finished files are moved one by one.
    """
    import pyarrow as pa
    import pyarrow.parquet as pq

    target = pathlib.Path(outdir)
    if target.exists() and not target.is_dir():
        raise CommandError(f"{outdir}: exists and is not a directory")
    parent = target.resolve().parent
    parent.mkdir(parents=True, exist_ok=True)
    scratch = pathlib.Path(tempfile.mkdtemp(prefix=f".{target.name}.", dir=parent))
    names = [f"output_{i}_node_{node}.parquet" for i, node in enumerate(ids)]
    try:
        for frame, name in zip(frames, names):
            pq.write_table(pa.Table.from_pandas(frame, preserve_index=False), scratch / name)
        if not target.exists():
            os.replace(scratch, target)
        else:
            for name in names:
                os.replace(scratch / name, target / name)
            scratch.rmdir()
    except BaseException:
        shutil.rmtree(scratch, ignore_errors=True)
        raise
    return [target / name for name in names]


def command(args: argparse.Namespace) -> int:
    """Run ``nodalis run``."""
    import nodalis

    sources = pairs(args.source, "source")
    models = pairs(args.model, "model")
    store = load(args, args.file)
    outputs = store.outputs()
    if not outputs:
        raise CommandError(f"{args.file}: the blob marks no outputs")
    backend = "dask" if args.scheduler else args.backend
    client: Any = None
    if args.scheduler:
        try:
            distributed: Any = importlib.import_module("distributed")
        except ImportError as e:
            raise CommandError("--scheduler needs the dask extra: pip install 'nodalis_core[dask]'") from e
        client = distributed.Client(args.scheduler)
    try:
        frames = nodalis.run(store, outputs, sources=sources, models=models, backend=backend,
                             client=client, progress=False if args.quiet else None)
    except RunError as e:
        raise CommandError(str(e)) from e
    finally:
        if client is not None:
            client.close()
    written = write_frames(frames, outputs, args.output)
    for path, frame in zip(written, frames):
        note(args, f"wrote {path} ({len(frame):,} rows)")
    return 0
