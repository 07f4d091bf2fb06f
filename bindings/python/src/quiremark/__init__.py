"""Lay the pages of one PDF over the pages of another: a ctypes binding to libquiremark.

Two functions run a job; each reads both inputs whole and writes the new PDF through a temporary
file that replaces the output only once complete, so the output may replace one of the inputs::

    import quiremark

    # The first page of draft.pdf drawn over every page of letter.pdf.
    quiremark.stamp("letter.pdf", "draft.pdf", "letter-draft.pdf")

    # Page n of overlay.pdf drawn under page n of scan.pdf, half transparent.
    quiremark.merge("scan.pdf", "overlay.pdf", "out.pdf", underlay=True, opacity=0.5)

Every output page has the size of its background page (rotation honoured); both layers are
centred on it and never scaled. A failed job raises :class:`Error` (or one of its subclasses)
carrying the library's message.

Threads: the library keeps the message of the last failure in one text shared by the whole
process. The binding therefore runs one job at a time: a module-wide lock is held around each job
and the reading of its message, so every thread gets the message of its own job. Jobs on several
threads are safe but do not run in parallel; use processes for that.

The shared library is looked for in the package directory, then in the file named by the
environment variable QUIREMARK_LIBRARY, then by the system's dynamic loader. It is loaded on the
first job, or by :func:`library_path`.
"""

from __future__ import annotations

import numbers
import os
import threading
from typing import Callable, Optional, Tuple, Union

from ._errors import (
    EncryptedError,
    Error,
    InputError,
    LimitError,
    NoPagesError,
    OutOfMemoryError,
    OutputError,
    PageTreeError,
    error_from_message,
)
from ._library import ENV_VAR, LibraryNotFoundError, Native, native
from ._version import __version__

__all__ = [
    "merge",
    "stamp",
    "library_path",
    "Error",
    "InputError",
    "EncryptedError",
    "NoPagesError",
    "PageTreeError",
    "LimitError",
    "OutputError",
    "OutOfMemoryError",
    "LibraryNotFoundError",
    "PathType",
    "ENV_VAR",
    "__version__",
]

#: What the functions accept as a file name.
PathType = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# Held around every job together with the reading of its message (see the module docstring).
_job_lock = threading.Lock()


def merge(
    background: PathType,
    foreground: PathType,
    output: PathType,
    *,
    underlay: bool = False,
    opacity: Optional[float] = None,
) -> None:
    """Pairs the pages of two PDFs one to one and writes the overlay to ``output``.

    Output page n shows background page n with foreground page n drawn over it, or under it when
    ``underlay`` is true. The output has as many pages as the longer input; a page beyond the
    shorter input's end carries only the other input's page.

    Args:
        background: the PDF whose pages give the output pages their size.
        foreground: the PDF whose pages are laid over (or under) them.
        output: the file to write; created or replaced. May name one of the inputs.
        underlay: draw the foreground underneath the background instead of on top.
        opacity: the foreground's opacity, from 0 (invisible) to 1 (opaque). None, the default,
            means opaque. Values are clamped by the library, never rejected: above 1 and NaN
            mean 1, below 0 means 0, and from 0.999 up the output carries no transparency state.

    Raises:
        Error: the job failed; ``str(error)`` is the library's message and the subclass tells the
            kind of failure (:class:`InputError`, :class:`EncryptedError`, ...).
        TypeError: a path is not str, bytes or os.PathLike, or opacity is not a real number.
        ValueError: a path contains a NUL byte.
        LibraryNotFoundError: libquiremark could not be loaded.
    """
    paths = _encode_paths(background, foreground, output)
    mode = 1 if underlay else 0
    if opacity is None:
        _run(lambda lib: int(lib.merge(*paths, mode)), paths)
    else:
        if not isinstance(opacity, numbers.Real):
            raise TypeError(f"opacity must be a real number or None, not {type(opacity).__name__}")
        value = float(opacity)
        _run(lambda lib: int(lib.merge_opacity(*paths, mode, value)), paths)


def stamp(
    background: PathType,
    foreground: PathType,
    output: PathType,
    *,
    underlay: bool = False,
) -> None:
    """Draws the first page of ``foreground`` on every page of ``background``.

    The output has exactly as many pages as the background, each the size of its background page
    with the stamp centred on it.

    Args:
        background: the PDF to stamp.
        foreground: the PDF whose first page is the stamp (a watermark, a letterhead...).
        output: the file to write; created or replaced. May name one of the inputs.
        underlay: draw the stamp underneath each page instead of on top.

    Raises:
        Error, TypeError, ValueError, LibraryNotFoundError: as for :func:`merge`.
    """
    paths = _encode_paths(background, foreground, output)
    mode = 1 if underlay else 0
    _run(lambda lib: int(lib.stamp(*paths, mode)), paths)


def library_path() -> str:
    """Loads libquiremark if it is not loaded yet and tells where it was found.

    Returns the file name, or the bare name that the system's loader resolved.

    Raises:
        LibraryNotFoundError: the library could not be found or loaded.
    """
    return native().origin


_ROLES = ("background", "foreground", "output")
_Paths = Tuple[bytes, bytes, bytes]


def _encode_paths(background: PathType, foreground: PathType, output: PathType) -> _Paths:
    encoded = []
    for role, value in zip(_ROLES, (background, foreground, output)):
        try:
            raw = os.fsencode(value)
        except TypeError:
            raise TypeError(
                f"{role} must be str, bytes or os.PathLike, not {type(value).__name__}"
            ) from None
        if b"\0" in raw:
            raise ValueError(f"{role} path contains a NUL byte")
        encoded.append(raw)
    return (encoded[0], encoded[1], encoded[2])


def _run(job: Callable[[Native], int], paths: _Paths) -> None:
    lib = native()
    with _job_lock:
        ok = job(lib)
        message = b"" if ok else lib.last_error()
    if not ok:
        raise error_from_message(message or b"", list(zip(_ROLES, paths)))
