"""Opening a dump by its content: velk.open and velk.FormatError."""

from __future__ import annotations

import builtins
import errno
import os
import stat
from typing import Optional, Union

from velk._core import PyTrace

PathArg = Union[str, "os.PathLike[str]"]


class FormatError(ValueError):
    """The file is not a dump of any format velk reads, or its reader refused it."""


def formats() -> list[tuple[str, str]]:
    """The formats velk reads, as (name, description) pairs in detection order."""
    return PyTrace.formats()


def _format_name(format: str) -> str:
    if not isinstance(format, str):
        raise TypeError(f"format must be a str, not {type(format).__name__}")
    name = format.lower().lstrip(".")
    known = [n for n, _ in PyTrace.formats()]
    if name in ("gz", "vcdgz", "vcd_gz"):
        name = "vcd.gz"
    if name not in known:
        raise ValueError(f"unknown format {format!r} (known: {', '.join(known)})")
    return name


def _describe(head: bytes) -> str:
    """A short account of what the start of a file holds, for error messages."""
    # Judged by the bytes read, not the size the system gives: a device or a
    # pipe has size 0 and may hold anything.
    if not head:
        return "an empty file"
    sample = head[:48]
    magic = {
        b"\x7fELF": "an ELF executable",
        b"\x89PNG": "a PNG image",
        b"PK\x03\x04": "a zip archive",
        b"%PDF": "a PDF document",
    }
    for prefix, what in magic.items():
        if head.startswith(prefix):
            return what
    if head.startswith(b"\x1f\x8b"):
        return "gzip data whose content is not VCD text"
    try:
        text = sample.decode("utf-8")
    except UnicodeDecodeError:
        text = None
    if text is not None and all(c.isprintable() or c in "\t\r\n" for c in text):
        first = text.strip().splitlines()[0] if text.strip() else ""
        return f"text starting {first[:40]!r}" if first else "white space only"
    return "bytes " + " ".join(f"{b:02x}" for b in head[:16])


def _reraise(error: ValueError) -> FormatError:
    wrapped = FormatError(*error.args)
    for note in getattr(error, "__notes__", ()):
        wrapped.__notes__ = [*getattr(wrapped, "__notes__", []), note]
    return wrapped


def _load(path: str, name: str) -> PyTrace:
    try:
        return PyTrace.from_format(path, name)
    except ValueError as error:
        raise _reraise(error) from error


def open(path: PathArg, format: Optional[str] = None) -> PyTrace:
    """Loads the dump at `path`, recognising its format from the content.

    `path` is a str or an os.PathLike (pathlib.Path). The format is found
    from the file's first bytes: VCD text, FST, gzip-compressed VCD, FSDB,
    WLF, VPD, or an SHM database (a directory holding .dsn/.trn files, or one
    of those files). `format=` ("vcd", "vcd.gz", "fst", "fsdb", "wlf", "shm",
    "vpd") skips detection and uses that reader.

    Raises FileNotFoundError (with .filename) for a missing path,
    PermissionError for an unreadable one, IsADirectoryError for a directory
    that is not an SHM database, and FormatError (a ValueError) for content
    of no known format, naming what was seen, or when the reader refuses the
    file.

    >>> trace = velk.open("examples/counter.vcd")
    >>> trace.signal_value("tb.count", 5)
    """
    text_path = os.fspath(path)
    if isinstance(text_path, bytes):
        text_path = os.fsdecode(text_path)
    if not isinstance(text_path, str):
        raise TypeError(f"path must be str or os.PathLike, not {type(path).__name__}")
    forced = _format_name(format) if format is not None else None
    info = os.stat(text_path)  # FileNotFoundError / PermissionError, filename set
    if stat.S_ISDIR(info.st_mode):
        name = forced or PyTrace.detect_format(text_path)
        if name is None:
            raise IsADirectoryError(errno.EISDIR, "Is a directory, and not an SHM database (no .dsn or .trn file)",
                                    text_path)
        return _load(text_path, name)
    with builtins.open(text_path, "rb") as file:  # PermissionError with filename
        head = file.read(64)
    name = forced or PyTrace.detect_format(text_path)
    if name is None:
        raise FormatError(f"{text_path}: not a dump of any format velk reads ({_describe(head)})")
    return _load(text_path, name)
