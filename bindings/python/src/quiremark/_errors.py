"""The exceptions raised by the package, and how a failed job's outcome becomes one of them.

A failed job hands back the library's one-line message, which file it was working on when it failed
(its role: background, foreground or output) and, when a system call failed, that call's errno.
The message follows one of a small set of fixed templates, which tell the kind of failure; the role
and errno come from the job itself, so they are right even for messages that name no file. A
message is at most 1023 bytes long: a longer one is cut, and the templates are matched so that a
cut message still gets its kind.
"""

from __future__ import annotations

import os
import re
from typing import Any, Dict, Optional, Tuple, Type

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

# The library's messages are at most this many bytes.
MESSAGE_LIMIT = 1023

ROLES = ("background", "foreground", "output")


class Error(Exception):
    """A quiremark job failed.

    ``str(error)`` and :attr:`message` are the library's own message, unchanged (bytes that are
    not UTF-8, as a path may hold, are decoded with ``surrogateescape``).

    Attributes:
        message: the library's message.
        kind: what went wrong, one of ``"input"``, ``"encrypted"``, ``"no_pages"``,
            ``"page_tree"``, ``"limit"``, ``"output"``, ``"out_of_memory"`` (each with its own
            subclass), ``"argument"`` (a bad argument that the package let through),
            ``"internal"`` (a fault in the library) or ``"unknown"`` (a message this version of
            the package does not know).
        role: the file the job was working on when it failed, ``"background"``,
            ``"foreground"`` or ``"output"``; None when the failure concerns no one file.
        path: the path of that file as the caller gave it (``str``, after :func:`os.fsdecode`),
            or None when the role is None or that file was given as bytes or a file object.
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

    def __reduce__(self) -> Tuple[Any, ...]:
        # Keeps the attributes across pickling (multiprocessing hands exceptions back pickled).
        # BaseException.__setstate__ sets each one with setattr, which also reaches the errno,
        # strerror and filename slots of the OSError classes below.
        state: Dict[str, Any] = dict(self.__dict__)
        if isinstance(self, OSError):
            state.update(errno=self.errno, strerror=self.strerror, filename=self.filename)
        return (type(self), (self.message,), state)


class InputError(Error):
    """An input could not be opened or read, was empty, or holds no PDF objects."""

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


# A file that cannot be opened, read or written raises an exception that is both the package's
# error and the OSError that Python raises for that errno, so that either kind of handler catches
# it: InputFileNotFoundError is an InputError and a FileNotFoundError, and so on. Every class is
# made here at import, under its own name in this module, so that the exceptions pickle.
_OS_CLASSES: Tuple[Type[OSError], ...] = (
    FileNotFoundError,
    PermissionError,
    IsADirectoryError,
    NotADirectoryError,
    OSError,
)


def _system_class(base: Type[Error], os_class: Type[OSError]) -> Type[Error]:
    name = base.__name__[: -len("Error")] + (
        "OSError" if os_class is OSError else os_class.__name__
    )
    doc = (
        f"{base.__name__} for a failed system call: also {os_class.__name__}, with errno, "
        "strerror and filename set."
    )
    cls = type(name, (base, os_class), {"__module__": __name__, "__doc__": doc})
    globals()[name] = cls
    return cls


_SYSTEM_CLASSES: Dict[Tuple[Type[Error], Type[OSError]], Type[Error]] = {
    (base, os_class): _system_class(base, os_class)
    for base in (InputError, OutputError)
    for os_class in _OS_CLASSES
}


def _os_class(code: int) -> Type[OSError]:
    """The OSError subclass that Python itself raises for errno ``code``, among those above."""
    chosen = type(OSError(code, ""))
    return chosen if chosen in _OS_CLASSES else OSError


# Every message the library writes, by pattern: exception, kind when it is not the exception's
# own. A pattern matches the start of the message, so a message cut after 1023 bytes still
# matches unless the cut falls inside the fixed words. Order matters: "for writing" before
# "cannot open".
_PATTERNS: Tuple[Tuple["re.Pattern[str]", Type[Error], Optional[str]], ...] = tuple(
    (re.compile(pattern, re.DOTALL), cls, kind)
    for pattern, cls, kind in (
        (r"cannot open .* for writing\Z", OutputError, None),
        (r"write error on ", OutputError, None),
        (r"output too large for ", LimitError, None),
        (r"cannot open ", InputError, None),
        (r"empty input file: ", InputError, None),
        (r"read error on ", InputError, None),
        (r"no PDF objects found \u2014 not a PDF: ", InputError, None),
        (r"encrypted PDFs are not supported: ", EncryptedError, None),
        (r"document has no pages\Z", NoPagesError, None),
        (r"(background|foreground) PDF has no pages\Z", NoPagesError, None),
        (r"catalog \(obj -?\d+\) has no /Pages reference\Z", PageTreeError, None),
        (r"page tree uses inline page dictionaries", PageTreeError, None),
        (r"could not resolve the page tree", PageTreeError, None),
        (r"invalid total page count: -?\d+\Z", LimitError, None),
        (r"too many objects for one output file", LimitError, None),
        (r"out of memory\Z", OutOfMemoryError, None),
        (r"failed to build form XObject for (background|foreground) page", OutOfMemoryError,
         None),
        (r"failed to build stamp form XObject\Z", OutOfMemoryError, None),
        (r"NULL path argument\Z", Error, "argument"),
        (r"invalid mode -?\d+: must be 0", Error, "argument"),
        (r"internal error: ", Error, "internal"),
    )
)

# A message cut after 1023 bytes loses " for writing": an output that cannot be opened is then
# told by its role.
_CUT_OUTPUT = re.compile(r"cannot open ", re.DOTALL)


def _decode(raw: bytes) -> str:
    # A cut message may end inside a UTF-8 sequence; surrogateescape keeps every byte.
    return raw.decode("utf-8", "surrogateescape")


def error_from_result(
    raw: bytes,
    role: Optional[str] = None,
    path: Optional[str] = None,
    code: int = 0,
) -> Error:
    """Builds the exception for a failed job.

    raw: the library's message as bytes. role: the file the job was working on, or None.
    path: that file's path as the caller gave it, or None. code: the errno of the system call
    that failed, or 0.
    """
    if role not in ROLES:
        role = None
    if not raw:
        return Error("the job failed without a message", role=role, path=path)
    message = _decode(raw)
    cls: Type[Error] = Error
    kind: Optional[str] = None
    if role == "output" and len(raw) == MESSAGE_LIMIT and _CUT_OUTPUT.match(message):
        cls = OutputError
    else:
        for pattern, candidate, candidate_kind in _PATTERNS:
            if pattern.match(message):
                cls, kind = candidate, candidate_kind
                break
    if code and cls in (InputError, OutputError):
        cls = _SYSTEM_CLASSES[(cls, _os_class(code))]
    err = cls(message, role=role, path=path)
    if kind is not None:
        err.kind = kind
    if isinstance(err, OSError):
        err.errno = code
        err.strerror = os.strerror(code)
        err.filename = path
    return err
