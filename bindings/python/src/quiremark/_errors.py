"""The exceptions raised by the binding, and the mapping from the library's messages to them.

The C library reports a failure as one line of text. Its messages follow a small set of fixed
templates, some of them ending in the path of the file concerned, so the binding can tell what kind
of failure a message describes and which of the three paths it names. A message is at most 1023
bytes long: a longer one is cut, so a template is matched against the message as the library would
have cut it.
"""

from __future__ import annotations

import os
import re
from typing import Optional, Sequence, Tuple, Type

__all__ = [
    "Error",
    "InputError",
    "EncryptedError",
    "NoPagesError",
    "PageTreeError",
    "LimitError",
    "OutputError",
    "OutOfMemoryError",
]

# The library keeps its message in a 1024-byte text, terminator included.
MESSAGE_LIMIT = 1023


class Error(Exception):
    """A quiremark job failed.

    ``str(error)`` and :attr:`message` are the library's own message, unchanged (bytes that are
    not UTF-8, as a path may hold, are decoded with ``surrogateescape``).

    Attributes:
        message: the library's message.
        kind: what went wrong, one of ``"input"``, ``"encrypted"``, ``"no_pages"``,
            ``"page_tree"``, ``"limit"``, ``"output"``, ``"out_of_memory"`` (each with its own
            subclass), ``"argument"`` (a bad argument that the binding let through),
            ``"internal"`` (a fault in the library) or ``"unknown"`` (a message this version of
            the binding does not know).
        role: which file the message is about, ``"background"``, ``"foreground"`` or
            ``"output"``, when the message tells; otherwise None.
        path: the path of that file as the caller gave it (decoded with :func:`os.fsdecode`),
            when the message names one of the job's paths; otherwise None.
    """

    kind: str = "unknown"

    def __init__(
        self, message: str, *, role: Optional[str] = None, path: Optional[str] = None
    ) -> None:
        super().__init__(message)
        self.message = message
        self.role = role
        self.path = path

    def __str__(self) -> str:
        return self.message

    def __reduce__(self):  # type: ignore[no-untyped-def]
        # Keeps role and path across pickling (multiprocessing hands exceptions back pickled).
        return (type(self), (self.message,), {"role": self.role, "path": self.path})


class InputError(Error):
    """An input file could not be opened or read, was empty, or holds no PDF objects."""

    kind = "input"


class EncryptedError(Error):
    """An input PDF is encrypted; the library does not decrypt documents."""

    kind = "encrypted"


class NoPagesError(Error):
    """An input PDF loaded but has no pages."""

    kind = "no_pages"


class PageTreeError(Error):
    """An input PDF's catalog or page tree is too broken to find its pages."""

    kind = "page_tree"


class LimitError(Error):
    """The output would exceed what the library writes: more than 1,000,000 pages, more objects
    than one cross-reference table numbers, or a file too large for its byte offsets."""

    kind = "limit"


class OutputError(Error):
    """The output file could not be created, or writing it failed."""

    kind = "output"


class OutOfMemoryError(Error, MemoryError):
    """The library ran out of memory. Also a :class:`MemoryError`."""

    kind = "out_of_memory"


_INPUT_ROLES = ("background", "foreground")
_OUTPUT_ROLES = ("output",)

# Messages that end in a path: template (its path placeholder last), exception, roles it may name.
# Inputs are tried before the output: the library opens both inputs before it creates the output,
# so where two readings of a message are possible the input one is what happened.
_PATH_TEMPLATES: Tuple[Tuple[bytes, bytes, Type[Error], Tuple[str, ...]], ...] = (
    (b"cannot open ", b"", InputError, _INPUT_ROLES),
    (b"empty input file: ", b"", InputError, _INPUT_ROLES),
    (b"read error on ", b"", InputError, _INPUT_ROLES),
    ("no PDF objects found \u2014 not a PDF: ".encode(), b"", InputError, _INPUT_ROLES),
    (b"encrypted PDFs are not supported: ", b"", EncryptedError, _INPUT_ROLES),
    (b"cannot open ", b" for writing", OutputError, _OUTPUT_ROLES),
    (b"write error on ", b"", OutputError, _OUTPUT_ROLES),
    (b"output too large for ", b": objects beyond byte 9999999999 cannot be listed in the "
     b"cross-reference table", LimitError, _OUTPUT_ROLES),
)

# Every message the library writes, by pattern, for messages that name none of the job's paths
# (or that name a file the caller did not pass, which only happens when other code in the process
# calls the library without the binding's lock): pattern, exception, role, kind when it is not the
# exception's own. Order matters: "for writing" before "cannot open".
_PATTERNS: Tuple[Tuple["re.Pattern[str]", Type[Error], Optional[str], Optional[str]], ...] = tuple(
    (re.compile(pattern, re.DOTALL), cls, role, kind)
    for pattern, cls, role, kind in (
        (r"cannot open .* for writing\Z", OutputError, "output", None),
        (r"write error on ", OutputError, "output", None),
        (r"output too large for ", LimitError, "output", None),
        (r"cannot open ", InputError, None, None),
        (r"empty input file: ", InputError, None, None),
        (r"read error on ", InputError, None, None),
        (r"no PDF objects found \u2014 not a PDF: ", InputError, None, None),
        (r"encrypted PDFs are not supported: ", EncryptedError, None, None),
        (r"document has no pages\Z", NoPagesError, None, None),
        (r"background PDF has no pages\Z", NoPagesError, "background", None),
        (r"foreground PDF has no pages\Z", NoPagesError, "foreground", None),
        (r"catalog \(obj -?\d+\) has no /Pages reference\Z", PageTreeError, None, None),
        (r"page tree uses inline page dictionaries", PageTreeError, None, None),
        (r"could not resolve the page tree", PageTreeError, None, None),
        (r"invalid total page count: -?\d+\Z", LimitError, None, None),
        (r"too many objects for one output file", LimitError, None, None),
        (r"out of memory\Z", OutOfMemoryError, None, None),
        (r"failed to build form XObject for background page", OutOfMemoryError, "background", None),
        (r"failed to build form XObject for foreground page", OutOfMemoryError, "foreground", None),
        (r"failed to build stamp form XObject\Z", OutOfMemoryError, "foreground", None),
        (r"NULL path argument\Z", Error, None, "argument"),
        (r"invalid mode -?\d+: must be 0", Error, None, "argument"),
        (r"internal error: ", Error, None, "internal"),
    )
)


def _decode(raw: bytes) -> str:
    # A cut message may end inside a UTF-8 sequence; surrogateescape keeps every byte.
    return raw.decode("utf-8", "surrogateescape")


def error_from_message(raw: bytes, paths: Sequence[Tuple[str, bytes]] = ()) -> Error:
    """Builds the exception for a failed job from the library's message.

    raw: the message bytes as the library left them. paths: the job's paths as (role, encoded
    path) pairs, in the order background, foreground, output.
    """
    message = _decode(raw)
    if not raw:
        return Error("the job failed without a message")
    for head, tail, cls, roles in _PATH_TEMPLATES:
        for role, path in paths:
            if role in roles and (head + path + tail)[:MESSAGE_LIMIT] == raw:
                return cls(message, role=role, path=os.fsdecode(path))
    for pattern, cls, known_role, kind in _PATTERNS:
        if pattern.match(message):
            err = cls(message, role=known_role)
            if kind is not None:
                err.kind = kind
            return err
    return Error(message)
