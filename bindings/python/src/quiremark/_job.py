"""Running a job: checking the arguments, turning them into what the compiled module takes, and
turning its outcome into a return value or an exception.

The compiled module ``_native`` runs one job per call with the interpreter lock released, so jobs
on several threads run at the same time; each call hands back its own outcome. Everything that
can be checked is checked here, before the job starts: a job never runs with arguments that the
documentation refuses.
"""

from __future__ import annotations

import inspect
import io
import math
import numbers
import os
from typing import Any, Callable, Dict, NamedTuple, Optional, Tuple, Union

from . import _native
from ._errors import ROLES, error_from_result

# What the compiled module takes for an input: its name (the path to open, or the name that
# messages give it) and its bytes, or None when the job opens the path itself.
_Input = Tuple[bytes, Optional[Any]]


class _Option(NamedTuple):
    """One keyword option of the job functions."""

    default: Any
    # Checks a value given by the caller and returns what the compiled module takes, or raises
    # TypeError or ValueError naming the option.
    check: Callable[[str, Any], Any]


def _flag(name: str, value: Any) -> bool:
    return bool(value)


def _opacity(name: str, value: Any) -> Optional[float]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number or None, not {type(value).__name__}")
    number = float(value)
    if math.isnan(number) or not 0.0 <= number <= 1.0:
        raise ValueError(f"{name} must be from 0 to 1, got {value!r}")
    return number


# Every keyword option of merge() and stamp(), in the order of their signatures: name, default
# and check. The compiled module sets the job option of the same name; an option is added here
# and in the compiled module's table, one line each.
OPTIONS: Dict[str, _Option] = {
    "underlay": _Option(False, _flag),
    "opacity": _Option(None, _opacity),
    "compact": _Option(False, _flag),
    "keep_interactive": _Option(False, _flag),
}


# The compiled module's option for a job of a batch (not one of the keyword options): the job
# runs without helper threads of its own, the batch's threads being the parallelism.
BATCH_OPTION = "_batch"


def _path(role: str, value: Any) -> Tuple[bytes, str]:
    """A path given as str or os.PathLike: the bytes to open and the str for messages."""
    raw = os.fspath(value)
    text = os.fsdecode(raw)
    encoded = os.fsencode(text)
    if b"\0" in encoded:
        raise ValueError(f"{role} path contains a NUL byte")
    return encoded, text


def _is_path(value: Any) -> bool:
    return isinstance(value, (str, os.PathLike))


def _read_file_object(role: str, value: Any) -> Any:
    data = value.read()
    if isinstance(data, str):
        raise TypeError(f"{role} file object must be opened in binary mode")
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(
            f"{role} file object's read() must return bytes, not {type(data).__name__}"
        )
    return data


def _contiguous(data: Union[bytes, bytearray, memoryview]) -> Any:
    """Bytes the compiled module can read in place: one C-contiguous run of bytes."""
    if isinstance(data, memoryview):
        if not data.c_contiguous:
            return data.tobytes()
        if data.format != "B" or data.ndim != 1:
            return data.cast("B")
    return data


def _check_input(role: str, value: Any) -> None:
    if _is_path(value) or isinstance(value, (bytes, bytearray, memoryview)):
        return
    if callable(getattr(value, "read", None)):
        if isinstance(value, io.TextIOBase):
            raise TypeError(f"{role} file object must be opened in binary mode")
        return
    raise TypeError(
        f"{role} must be a path (str or os.PathLike), bytes, bytearray, memoryview or a binary "
        f"file object, not {type(value).__name__}"
    )


def _input(role: str, value: Any) -> Tuple[_Input, Optional[str]]:
    """The compiled module's form of an input, and its path for exceptions (None unless a path).

    A file object is read here, from where it stands to its end; messages name it by its
    ``name`` when that is a path, else "<file>". Bytes-like inputs are named "<bytes>".
    """
    if _is_path(value):
        encoded, text = _path(role, value)
        return (encoded, None), text
    if isinstance(value, (bytes, bytearray, memoryview)):
        return (b"<bytes>", _contiguous(value)), None
    data = _read_file_object(role, value)
    name = getattr(value, "name", None)
    label = os.fsencode(name) if isinstance(name, (str, bytes)) else b"<file>"
    return (label.replace(b"\0", b""), _contiguous(data)), None


def _output(value: Any) -> Tuple[Optional[bytes], Optional[str], Any]:
    """The output path for the compiled module (None: into memory), its path for exceptions,
    and the file object to write the result to (or None)."""
    if value is None:
        return None, None, None
    if _is_path(value):
        encoded, text = _path("output", value)
        return encoded, text, None
    if callable(getattr(value, "write", None)) and not isinstance(value, io.TextIOBase):
        return None, None, value
    if callable(getattr(value, "write", None)):
        raise TypeError("output file object must be opened in binary mode")
    raise TypeError(
        "output must be a path (str or os.PathLike), a binary file object or None, "
        f"not {type(value).__name__}"
    )


def _write_all(target: Any, data: bytes) -> None:
    # A raw file object's write() may store fewer bytes than asked for and say how many.
    view = memoryview(data)
    while view:
        written = target.write(view)
        if written is None or written >= len(view):
            return
        if written <= 0:
            raise OSError(f"write() on the output file object stored nothing ({written!r})")
        view = view[written:]


def execute(
    function: str,
    stamp: bool,
    background: Any,
    foreground: Any,
    output: Any,
    options: Dict[str, Any],
    *,
    batch: bool = False,
) -> Tuple[Optional[bytes], int]:
    """Runs one job for merge() or stamp() (named by ``function``, for messages): the PDF as
    bytes when ``output`` is None (else None), and the output's page count. ``batch``: one job
    of many running side by side, which gets no helper threads of its own."""
    unknown = [name for name in options if name not in OPTIONS]
    if unknown:
        raise TypeError(f"{function}() got an unexpected keyword argument {unknown[0]!r}")
    checked = {
        name: option.check(name, options.get(name, option.default))
        for name, option in OPTIONS.items()
    }
    if batch:
        checked[BATCH_OPTION] = True
    out_path, out_text, out_file = _output(output)
    # Both inputs are checked before either is read: a refused call consumes no file object.
    _check_input("background", background)
    _check_input("foreground", foreground)
    bg, bg_path = _input("background", background)
    fg, fg_path = _input("foreground", foreground)
    ok, message, part, code, data, pages = _native.run(bg[0], bg[1], fg[0], fg[1], out_path,
                                                       stamp, checked)
    if not ok:
        paths = dict(zip(ROLES, (bg_path, fg_path, out_text)))
        raise error_from_result(message, part, paths.get(part) if part else None, code)
    if out_file is not None:
        _write_all(out_file, data)
        return None, pages
    return (data if out_path is None else None), pages


def run(
    function: str,
    stamp: bool,
    background: Any,
    foreground: Any,
    output: Any,
    options: Dict[str, Any],
) -> Optional[bytes]:
    """Runs one job for merge() or stamp() (named by ``function``, for messages)."""
    return execute(function, stamp, background, foreground, output, options)[0]


def signature(*first: str) -> inspect.Signature:
    """The signature of a job function: the positional parameters, then every option."""
    positional = [inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD)
                  for name in first]
    keywords = [inspect.Parameter(name, inspect.Parameter.KEYWORD_ONLY, default=option.default)
                for name, option in OPTIONS.items()]
    return inspect.Signature(positional + keywords)
