"""Turning a path, a binary file object or a buffer into bytes to scan."""

from __future__ import annotations

import errno
import io
import mmap
import os
import stat
from typing import Any

from . import _native


def missing_file(path: str | os.PathLike[str]) -> FileNotFoundError:
    """The one wording for a file that is not there."""
    return FileNotFoundError(errno.ENOENT, "no such file", os.fspath(path))


def open_file(path: str | os.PathLike[str]) -> Any:
    """A file opened for reading bytes, or the one error for a missing one."""
    try:
        return open(path, "rb")
    except FileNotFoundError:
        raise missing_file(path) from None


def open_source(source: Any, *, map: bool = True, max_bytes: int | None = None) -> tuple[Any, bool, str | None]:
    """(buffer, is_own_mapping, name). Regular files given by path or as
    real file objects are memory-mapped read-only (small ones, and all when
    ``map`` is false, are read); other file objects are read from their
    current position; buffers are used as they are, without copying.

    Files that are not regular (devices, pipes) have no size to plan by and
    may never end (/dev/zero): a path to one is refused, and so is a file
    object of a device, unless ``max_bytes`` bounds what is read from it."""
    if max_bytes is not None and (not isinstance(max_bytes, int) or isinstance(max_bytes, bool) or max_bytes < 0):
        raise ValueError(f"max_bytes must be a non-negative int or None, not {max_bytes!r}")
    if isinstance(source, (str, os.PathLike)):
        name = os.fspath(source)
        with open_file(source) as f:
            mode = os.fstat(f.fileno()).st_mode
            if not stat.S_ISREG(mode):
                if max_bytes is None:
                    raise ValueError(f"{name} is not a regular file: read it as a stream with a size limit (max_bytes)")
                return _read_bounded(f, max_bytes), False, name
            buffer, mapped = _map(f, name) if map else (_read_all(f, name), False)
        return buffer, mapped, name
    if hasattr(source, "read"):
        name = getattr(source, "name", None)
        name = os.fspath(name) if isinstance(name, (str, os.PathLike)) else None
        try:
            fd = source.fileno()
            position = source.tell()
        except (OSError, AttributeError, io.UnsupportedOperation):
            fd = None
        if fd is not None:
            info = os.fstat(fd)
            if stat.S_ISCHR(info.st_mode) and max_bytes is None:
                raise ValueError(f"{name or 'the file'} is a device: read it as a stream with a size limit (max_bytes)")
            if not stat.S_ISREG(info.st_mode):
                fd = None
        if fd is None:
            return _read_bounded(source, max_bytes), False, name
        if info.st_size - position < _MAP_FROM_BYTES or not map:
            return _read_bounded(source, max_bytes), False, name
        buffer, mapped = _map(source, name or "the file")
        if position:
            buffer = memoryview(buffer)[position:]
        # The file object has been consumed, as if read to its end.
        source.seek(0, os.SEEK_END)
        return buffer, mapped, name
    try:
        view = memoryview(source)
    except TypeError:
        raise TypeError(
            f"source must be a path, a binary file object or a buffer, not {type(source).__name__}"
        ) from None
    if not view.c_contiguous:
        raise ValueError("a buffer source must be contiguous")
    if view.format != "B" or view.ndim != 1:
        view = view.cast("B")
    return view, False, None


def _read_bounded(f: Any, max_bytes: int | None) -> bytes:
    data = f.read() if max_bytes is None else f.read(max_bytes)
    return bytes(data)


def read_range(f: Any, name: str, start: int, stop: int) -> memoryview:
    """Bytes [start, stop) of a regular file, in a buffer as long as the
    file so that offsets stay those of the file (the pages outside the range
    are never touched, so never allocated)."""
    buffer = bytearray(os.fstat(f.fileno()).st_size)
    view = memoryview(buffer)
    done = start
    f.seek(start)
    while done < stop:
        n = f.readinto(view[done:stop])
        if not n:
            raise OSError(errno.EIO, f"{name}: the file shrank while it was read (nothing at offset {done})")
        done += n
    return view


def _read_all(f: Any, name: str) -> bytearray:
    """The whole of a regular file, read in one pass; a file that shrinks
    meanwhile is an error rather than a silently shorter stream."""
    size = os.fstat(f.fileno()).st_size
    buffer = bytearray(size)
    view = memoryview(buffer)
    done = 0
    while done < size:
        n = f.readinto(view[done:])
        if not n:
            raise OSError(errno.EIO, f"{name}: the file shrank while it was read (nothing at offset {done})")
        done += n
    return buffer


# Files smaller than this are read rather than mapped: for them the mapping's
# system calls and page faults cost more than the copy. Larger reads cost
# more than mapping, because the C library serves buffers of this size and
# up with fresh pages of their own (faulted in on every read): measured on
# a 511 KB file, reading took 700 us and mapping 270 us; at 71 KB, 96 us
# against 117 us.
_MAP_FROM_BYTES = 128 << 10


def _map(f: Any, name: str) -> tuple[Any, bool]:
    size = os.fstat(f.fileno()).st_size
    if size < _MAP_FROM_BYTES:
        return f.read(), False
    return map_file(f, name), True


def map_file(f: Any, name: str) -> Any:
    """A read-only mapping of the whole of an open regular file. Where the
    platform allows, a guarded one: should the file shrink while it is read,
    the missing pages read as zeros instead of killing the process, and
    check_mapping raises afterwards."""
    size = os.fstat(f.fileno()).st_size
    mapped = _native.map_file(f.fileno(), size, name) if size else None
    if mapped is None:
        return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    return mapped


def check_mapping(buffer: Any) -> None:
    """Raises OSError when the file under a mapping of ours shrank while it
    was read (the pages past its new end read as zeros meanwhile)."""
    if isinstance(buffer, memoryview):
        buffer = buffer.obj
    if not isinstance(buffer, _native._Mapped):
        return
    offset = buffer.fault
    if offset < 0:
        return
    raise OSError(
        errno.EIO,
        f"{buffer.name}: the file shrank while it was read; its bytes from offset {offset} on are gone",
    )
