"""The index file: a fixed header, then the index's arrays, each at a 64-byte
boundary so that ``numpy.memmap`` can map it.

Layout, every number little-endian::

    offset  size  field
         0     8  magic, b"VELNORIX"
         8     4  format version (u32), 1
        12     4  header size (u32): bytes before the first array, a multiple of 64
        16     4  header checksum (u32): CRC-32 of the header, this field read as 0
        20     4  metric (u32): 0 euclidean, 1 cosine
        24     8  n, rows (u64)
        32     8  dim, features per row (u64)
        40     8  medoid (u64): the node the searches start from, local numbering
        48     8  seed of the build (u64)
        56     4  array count (u32), 4
        60     4  setting count (u32)
        64        array table, 32 bytes an array: name (12 bytes, NUL-padded),
                  CRC-32 of its bytes (u32), offset (u64), size in bytes (u64)
         .        build settings, 32 bytes each: name (24 bytes, NUL-padded
                  ASCII), value (f64)
         .        zeros up to the header size
    header size   the arrays, in this order, each at a multiple of 64 with zeros
                  between them; the file ends where the last one ends:
                    rows       n x dim float32: the rows in local order and stored
                               form (unit length for cosine)
                    offsets    n + 1 uint64: node i's neighbours are
                               neighbors[offsets[i]:offsets[i + 1]]
                    neighbors  uint32 local node numbers
                    order      n uint32: local node -> original row number

Magic and version keep their place in every version, so a newer file is
recognised as such. A reader checks the header against the file's size
before it allocates anything, and every array against its checksum.
"""

from __future__ import annotations

import contextlib
import dataclasses
import io
import os
import secrets
import struct
import zlib
from collections.abc import Callable
from typing import BinaryIO

import numpy as np

MAGIC = b"VELNORIX"
VERSION = 1

_PREFIX = struct.Struct("<8sIIIIQQQQII")
_ARRAY = struct.Struct("<12sIQQ")
_SETTING = struct.Struct("<24sd")
_ALIGN = 64
_MAX_HEADER = 1 << 20
_CHECKSUM_AT = 16  # offset of the header checksum
_METRICS = ("euclidean", "cosine")
_ARRAYS = (("rows", "<f4"), ("offsets", "<u8"), ("neighbors", "<u4"), ("order", "<u4"))


@dataclasses.dataclass(frozen=True)
class Contents:
    """What an index file holds; the arrays as the index exports them."""

    metric: str
    seed: int
    settings: dict[str, float]
    medoid: int
    rows: np.ndarray       # (n, dim) float32
    offsets: np.ndarray    # (n + 1,) uint64
    neighbors: np.ndarray  # uint32
    order: np.ndarray      # (n,) uint32


def fault(name: str, problem: str) -> ValueError:
    """The error for an unreadable index: names the file and the problem."""
    return ValueError(f"{name}: {problem}")


def _aligned(offset: int) -> int:
    return -(-offset // _ALIGN) * _ALIGN


# ---------------------------------------------------------------- writing

def _header(contents: Contents, arrays: list[np.ndarray]) -> tuple[bytes, list[int]]:
    """The header for `arrays` (as _ARRAYS lists them) and each array's offset."""
    settings = sorted(contents.settings.items())
    size = _aligned(_PREFIX.size + _ARRAY.size * len(arrays) + _SETTING.size * len(settings))
    offsets, end = [], size
    table = b""
    for (name, _), array in zip(_ARRAYS, arrays):
        start = _aligned(end)
        offsets.append(start)
        table += _ARRAY.pack(name.encode(), zlib.crc32(array.data), start, array.nbytes)
        end = start + array.nbytes
    for name, value in settings:
        if len(name) > 24 or not name.isascii():
            raise ValueError(f"setting name {name!r} does not fit the file format")
    table += b"".join(_SETTING.pack(name.encode(), float(value)) for name, value in settings)
    n, dim = contents.rows.shape
    prefix = _PREFIX.pack(MAGIC, VERSION, size, 0, _METRICS.index(contents.metric), n, dim,
                          contents.medoid, contents.seed, len(arrays), len(settings))
    header = bytearray((prefix + table).ljust(size, b"\0"))
    struct.pack_into("<I", header, _CHECKSUM_AT, zlib.crc32(header))
    return bytes(header), offsets


def write(stream: BinaryIO, contents: Contents) -> None:
    """Writes `contents` in the file format to a binary stream."""
    arrays = [np.ascontiguousarray(getattr(contents, name), dtype=dtype) for name, dtype in _ARRAYS]
    header, offsets = _header(contents, arrays)
    stream.write(header)
    position = len(header)
    for start, array in zip(offsets, arrays):
        stream.write(b"\0" * (start - position))
        stream.write(array.data)
        position = start + array.nbytes


def write_atomically(path, write_to: Callable[[BinaryIO], None]) -> None:
    """Calls `write_to` on a new file beside `path`, then renames it to `path`:
    a failure leaves `path` as it was, never half written."""
    path = os.fspath(path)
    folder, base = os.path.split(os.path.abspath(path))
    temporary = os.path.join(folder, f".{base}.{secrets.token_hex(6)}.tmp")
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(fd, "wb") as f:
            write_to(f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    # The rename itself survives a crash once the folder is on disk.
    with contextlib.suppress(OSError):
        dir_fd = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(dir_fd)
        finally:
            os.close(dir_fd)


def save(path, contents: Contents) -> None:
    """Writes `contents` to the file `path`, atomically."""
    write_atomically(path, lambda f: write(f, contents))


def to_bytes(contents: Contents) -> bytes:
    """`contents` in the file format, in memory."""
    arrays = [np.ascontiguousarray(getattr(contents, name), dtype=dtype) for name, dtype in _ARRAYS]
    header, offsets = _header(contents, arrays)
    end = offsets[-1] + arrays[-1].nbytes
    out = bytearray(end)
    out[:len(header)] = header
    for start, array in zip(offsets, arrays):
        out[start:start + array.nbytes] = array.data.cast("B")
    return bytes(out)


# ---------------------------------------------------------------- reading

class _File:
    """Reads a file's header and arrays, each array read into memory or mapped."""

    def __init__(self, f: io.BufferedReader, mmap: bool):
        self.f, self.mmap = f, mmap
        self.size = os.fstat(f.fileno()).st_size

    def read(self, offset: int, nbytes: int) -> bytes:
        self.f.seek(offset)
        return self.f.read(nbytes)

    def array(self, offset: int, dtype: str, count: int, mapped: bool) -> np.ndarray:
        if mapped and self.mmap:
            return np.memmap(self.f, dtype=dtype, mode="r", offset=offset, shape=(count,))
        out = np.empty(count, dtype=dtype)
        self.f.seek(offset)
        if self.f.readinto(out.data.cast("B")) != out.nbytes:
            raise EOFError
        return out


class _Buffer:
    """Reads a header and arrays from bytes in memory; arrays are copies, so
    the buffer need not outlive them."""

    def __init__(self, data):
        self.view = memoryview(data).cast("B")
        self.size = len(self.view)

    def read(self, offset: int, nbytes: int) -> bytes:
        return bytes(self.view[offset:offset + nbytes])

    def array(self, offset: int, dtype: str, count: int, mapped: bool) -> np.ndarray:
        return np.frombuffer(self.view, dtype=dtype, count=count, offset=offset).copy()


def _parse_header(source, name: str):
    """The header's fields and array table, checked against the source's size."""
    size = source.size
    if size == 0:
        raise fault(name, "the file is empty")
    prefix = source.read(0, min(size, _PREFIX.size))
    if prefix[:len(MAGIC)] != MAGIC[:len(prefix)]:
        raise fault(name, "not a velnor index file (its first bytes are not the magic bytes VELNORIX)")
    if len(prefix) >= 12:
        version = struct.unpack_from("<I", prefix, 8)[0]
        if version > VERSION:
            raise fault(name, f"format version {version} is newer than this velnor reads (up to {VERSION}): "
                              "upgrade velnor to load it")
        if version < 1:
            raise fault(name, f"unknown format version {version}")
    if len(prefix) < _PREFIX.size:
        raise fault(name, f"the file is truncated: {size} bytes end inside the {_PREFIX.size}-byte header")
    (_, _, header_size, checksum, metric, n, dim, medoid, seed, array_count,
     setting_count) = _PREFIX.unpack(prefix)
    needed = _PREFIX.size + _ARRAY.size * array_count + _SETTING.size * setting_count
    if header_size % _ALIGN or not needed <= header_size <= _MAX_HEADER:
        raise fault(name, f"the header is corrupted (header size {header_size})")
    if header_size > size:
        raise fault(name, f"the file is truncated: {size} bytes end inside the {header_size}-byte header")
    header = bytearray(source.read(0, header_size))
    struct.pack_into("<I", header, _CHECKSUM_AT, 0)
    if zlib.crc32(header) != checksum:
        raise fault(name, "the header is corrupted (checksum mismatch)")
    # The checksum holds: what follows is what the writer wrote.
    if metric >= len(_METRICS) or array_count != len(_ARRAYS):
        raise fault(name, "the header names an unknown metric or array layout")
    if not (1 <= n < 2**32 and dim >= 1 and medoid < n):
        raise fault(name, f"the header's shape is invalid (n={n}, dim={dim}, medoid={medoid})")
    table, expected_sizes, end = [], {"rows": n * dim * 4, "offsets": (n + 1) * 8, "order": n * 4}, header_size
    for i, (array_name, dtype) in enumerate(_ARRAYS):
        raw, crc, offset, nbytes = _ARRAY.unpack_from(header, _PREFIX.size + i * _ARRAY.size)
        if raw.rstrip(b"\0").decode("ascii", "replace") != array_name:
            raise fault(name, f"array {i} is not {array_name!r}")
        if nbytes != expected_sizes.get(array_name, nbytes) or nbytes % 4:
            raise fault(name, f"array {array_name!r} has {nbytes} bytes, not what n={n} and dim={dim} need")
        if offset % _ALIGN or offset < end:
            raise fault(name, f"array {array_name!r} is misplaced (offset {offset})")
        end = offset + nbytes
        table.append((array_name, dtype, offset, nbytes, crc))
    if end > size:
        raise fault(name, f"the file is truncated: the header declares {end} bytes, the file has {size}")
    if end < size:
        raise fault(name, f"the file has {size - end} unexpected bytes after its last array")
    settings = {}
    for i in range(setting_count):
        raw, value = _SETTING.unpack_from(header, _PREFIX.size + _ARRAY.size * array_count + i * _SETTING.size)
        settings[raw.rstrip(b"\0").decode("ascii", "replace")] = int(value) if value.is_integer() else value
    return _METRICS[metric], n, dim, medoid, seed, settings, table


def _read(source, name: str) -> Contents:
    metric, n, dim, medoid, seed, settings, table = _parse_header(source, name)
    arrays = {}
    for array_name, dtype, offset, nbytes, crc in table:
        itemsize = np.dtype(dtype).itemsize
        try:
            array = source.array(offset, dtype, nbytes // itemsize, mapped=array_name == "rows")
        except EOFError:
            raise fault(name, "the file is truncated (it shrank while being read)") from None
        if zlib.crc32(array.data) != crc:
            raise fault(name, f"array {array_name!r} is corrupted (checksum mismatch)")
        # Native byte order for the index (a no-op on little-endian machines).
        arrays[array_name] = array.astype(array.dtype.newbyteorder("="), copy=False)
    return Contents(metric=metric, seed=seed, settings=settings, medoid=medoid,
                    rows=arrays["rows"].reshape(n, dim), offsets=arrays["offsets"],
                    neighbors=arrays["neighbors"], order=arrays["order"])


def load(path, mmap: bool = False) -> Contents:
    """The contents of the index file `path`; with `mmap`, the rows are mapped
    from the file rather than read. Raises ValueError naming the file and the
    problem when it is not a sound index file of a version this reader knows."""
    name = os.fsdecode(os.fspath(path))
    with open(path, "rb") as f:
        return _read(_File(f, mmap), name)


def from_bytes(data, name: str) -> Contents:
    """The contents of an index file held in memory (`name` for errors)."""
    return _read(_Buffer(data), name)
