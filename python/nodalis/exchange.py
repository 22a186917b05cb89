"""The partition function of exchanges, the same on every backend.

A hash exchange sends row r to partition ``splitmix64(k_r) mod N``, where k_r
is the key's canonical 64-bit value: ints sign-extended to 64 bits, bools 0/1,
floats as the IEEE bits of their float64 value with -0.0 taken as 0.0 and every
NaN as 0x7FF8000000000000, and str keys as the 64-bit FNV-1a hash of their
UTF-8 bytes. No engine's own hash is ever used, so a graph partitions the same
rows together on numpy, on Dask, and on any later engine.
"""
from __future__ import annotations

from typing import Tuple

import numpy as np

_GAMMA = np.uint64(0x9E3779B97F4A7C15)
_M1 = np.uint64(0xBF58476D1CE4E5B9)
_M2 = np.uint64(0x94D049BB133111EB)
_FNV_BASIS = np.uint64(0xCBF29CE484222325)
_FNV_PRIME = np.uint64(0x100000001B3)
_CANONICAL_NAN = np.uint64(0x7FF8000000000000)


def splitmix64(x: np.ndarray) -> np.ndarray:
    """splitmix64's output function on each uint64 (state advanced by the golden gamma first)."""
    with np.errstate(over="ignore"):
        z = x.astype(np.uint64) + _GAMMA
        t = np.empty_like(z)  # in place: one temporary for the shifts, whatever the length
        for shift, mult in ((30, _M1), (27, _M2)):
            np.right_shift(z, np.uint64(shift), out=t)
            z ^= t
            z *= mult
        np.right_shift(z, np.uint64(31), out=t)
        z ^= t
        return z


def fnv1a64(keys: np.ndarray) -> np.ndarray:
    """64-bit FNV-1a of each str's UTF-8 bytes, a byte position at a time over all keys."""
    encoded = [str(k).encode("utf-8") for k in keys]
    n = len(encoded)
    h = np.full(n, _FNV_BASIS, np.uint64)
    if n == 0:
        return h
    lengths = np.fromiter((len(b) for b in encoded), np.int64, n)
    width = int(lengths.max())
    if width == 0:
        return h
    padded = np.frombuffer(b"".join(b.ljust(width, b"\0") for b in encoded), np.uint8).reshape(n, width)
    with np.errstate(over="ignore"):
        for i in range(width):
            live = lengths > i
            step = (h ^ padded[:, i].astype(np.uint64)) * _FNV_PRIME
            h = np.where(live, step, h)
    return h


def canonical_key(keys: np.ndarray) -> np.ndarray:
    """Each key's canonical 64-bit value, as uint64."""
    kind = keys.dtype.kind
    if kind == "b":
        return keys.astype(np.uint64)
    if kind in "iu":
        return keys.astype(np.int64).view(np.uint64) if kind == "i" else keys.astype(np.uint64)
    if kind == "f":
        f = keys.astype(np.float64) + 0.0  # -0.0 becomes 0.0
        bits = f.view(np.uint64).copy()
        bits[np.isnan(f)] = _CANONICAL_NAN
        return bits
    return fnv1a64(keys)


def hash_partitions(keys: np.ndarray, parts: int) -> np.ndarray:
    """The partition of each row under a hash exchange into ``parts`` partitions."""
    return (splitmix64(canonical_key(keys)) % np.uint64(parts)).astype(np.intp)


def round_robin_partitions(start: int, nrows: int, parts: int) -> np.ndarray:
    """The partition of rows ``start .. start+nrows-1`` under a round-robin exchange."""
    return (np.arange(start, start + nrows, dtype=np.int64) % parts).astype(np.intp)


def split_rows(part_of_row: np.ndarray, parts: int) -> Tuple[np.ndarray, np.ndarray]:
    """The row order that groups rows by partition (keeping their order), and the ``parts + 1`` offsets."""
    # Partition numbers fit in 16 bits almost always, where a stable sort is a radix sort.
    narrow = part_of_row.astype(np.uint16) if parts <= 1 << 16 else part_of_row
    order = np.argsort(narrow, kind="stable")
    counts = np.bincount(part_of_row, minlength=parts)
    offsets = np.zeros(parts + 1, np.int64)
    np.cumsum(counts, out=offsets[1:])
    return order, offsets
