"""Lay the pages of one PDF over the pages of another.

Two functions run a job, each in one call that reads both inputs whole, builds the new PDF in
memory and then writes it::

    import quiremark

    # The first page of draft.pdf drawn over every page of letter.pdf.
    quiremark.stamp("letter.pdf", "draft.pdf", "letter-draft.pdf")

    # Page n of overlay.pdf drawn under page n of scan.pdf, half transparent.
    quiremark.merge("scan.pdf", "overlay.pdf", "out.pdf", underlay=True, opacity=0.5)

    # PDFs in memory in, the new PDF back as bytes.
    pdf = quiremark.stamp(scan_bytes, open("draft.pdf", "rb"), None)

Every output page has the size of its background page (rotation honoured); both layers are
centred on it and never scaled. A failed job raises :class:`Error` (or one of its subclasses)
carrying the library's message; a file that cannot be opened raises one that is also the
matching :class:`OSError` (:class:`FileNotFoundError`, :class:`PermissionError`, ...).

Jobs release the interpreter lock while they run and each reports its own outcome, so jobs on
several threads run at the same time. The package is a compiled module linked with the quiremark
library itself: there is nothing else to find or load.
"""

from __future__ import annotations

from typing import Any, List, Optional

from . import _job
from ._batch import Result, iter_many, merge_many, run_many, stamp_many
from ._errors import (
    EncryptedError,
    Error,
    InputError,
    LimitError,
    NoPagesError,
    OutOfMemoryError,
    OutputError,
    PageTreeError,
)
from ._version import __version__

__all__ = [
    "merge",
    "stamp",
    "stamp_many",
    "merge_many",
    "run_many",
    "iter_many",
    "Result",
    "Error",
    "InputError",
    "EncryptedError",
    "NoPagesError",
    "PageTreeError",
    "LimitError",
    "OutputError",
    "OutOfMemoryError",
    "__version__",
]


def merge(background: Any, foreground: Any, output: Any, **options: Any) -> Optional[bytes]:
    """Pairs the pages of two PDFs one to one and writes the overlay.

    Output page n shows background page n with foreground page n drawn over it, or under it when
    ``underlay`` is true. The output has as many pages as the longer input; a page beyond the
    shorter input's end carries only the other input's page.

    Args:
        background: the PDF whose pages give the output pages their size: a path (``str`` or
            ``os.PathLike``), the PDF itself (``bytes``, ``bytearray``, ``memoryview``) or a
            binary file object, read from where it stands to its end.
        foreground: the PDF whose pages are laid over (or under) them, in any of those forms.
        output: a path to create or replace (it may name one of the inputs), a binary file
            object to write the PDF to, or None to get the PDF back as ``bytes``.
        underlay: draw the foreground underneath the background instead of on top.
        opacity: the foreground's opacity, a real number from 0 (invisible) to 1 (opaque), or
            None (the default) for opaque. From 0.999 up the output carries no transparency.
        compact: write a smaller file that draws the same: each page's content Flate-compressed
            (kept as the input compressed it where it can be) and every copied object once.
        keep_interactive: also keep the annotations and links of the pages, a form (the
            background's, else in a merge the foreground's), and the background's bookmarks,
            page labels and document info, pointing at the output pages.

    Returns:
        The new PDF as ``bytes`` when ``output`` is None, else None.

    Raises:
        Error: the job failed; ``str(error)`` is the library's message and the subclass tells
            the kind of failure (:class:`InputError`, :class:`EncryptedError`, ...). A file that
            cannot be opened, read or written raises one that is also an :class:`OSError`.
        TypeError: an argument of the wrong type, an unknown keyword, or a bool as ``opacity``.
        ValueError: ``opacity`` outside [0, 1] or NaN, or a path containing a NUL character.
    """
    return _job.run("merge", False, background, foreground, output, options)


def stamp(background: Any, foreground: Any, output: Any, **options: Any) -> Optional[bytes]:
    """Draws the first page of ``foreground`` on every page of ``background``.

    The output has exactly as many pages as the background, each the size of its background page
    with the stamp centred on it.

    Args:
        background: the PDF to stamp, in any form that :func:`merge` takes.
        foreground: the PDF whose first page is the stamp (a watermark, a letterhead...).
        output: as for :func:`merge`.
        underlay: draw the stamp underneath each page instead of on top.
        opacity: the stamp's opacity, as for :func:`merge`.
        compact, keep_interactive: as for :func:`merge`.

    Returns:
        The new PDF as ``bytes`` when ``output`` is None, else None.

    Raises:
        Error, TypeError, ValueError: as for :func:`merge`.
    """
    return _job.run("stamp", True, background, foreground, output, options)


# help() and inspect show the options by name, from the one table that defines them.
merge.__signature__ = _job.signature("background", "foreground", "output")  # type: ignore[attr-defined]
stamp.__signature__ = _job.signature("background", "foreground", "output")  # type: ignore[attr-defined]


def __dir__() -> List[str]:
    return sorted(__all__)
