"""Finding libquiremark, loading it with ctypes and declaring its six C functions.

Search order, first hit wins:

1. a copy of the library inside the package directory (a bundled build, e.g. in a wheel);
2. the file named by the environment variable QUIREMARK_LIBRARY;
3. the system's dynamic loader: the versioned name ``libquiremark.so.0`` (which honours
   LD_LIBRARY_PATH and the loader cache), then :func:`ctypes.util.find_library`.

A library found in steps 1 or 2 that fails to load is an error, not a reason to look further: a
broken bundled copy or a wrong QUIREMARK_LIBRARY should be noticed, not silently replaced by some
other installed copy.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import Callable, List, Mapping, Optional, Tuple

ENV_VAR = "QUIREMARK_LIBRARY"

if sys.platform == "darwin":
    _BUNDLED = ("libquiremark.0.dylib", "libquiremark.dylib")
    _SYSTEM = "libquiremark.0.dylib"
elif sys.platform == "win32":
    _BUNDLED = ("quiremark.dll",)
    _SYSTEM = "quiremark.dll"
else:
    _BUNDLED = ("libquiremark.so.0", "libquiremark.so")
    _SYSTEM = "libquiremark.so.0"


class LibraryNotFoundError(OSError):
    """libquiremark could not be found or loaded (not a job failure, so no :class:`Error`)."""


class Native:
    """The loaded library with its functions declared."""

    def __init__(self, cdll: ctypes.CDLL, origin: str) -> None:
        self.cdll = cdll
        self.origin = origin  # the file or name that it was loaded from
        try:
            self.init = cdll.quiremark_init
            self.cleanup = cdll.quiremark_cleanup
            self.merge = cdll.quiremark_merge
            self.stamp = cdll.quiremark_stamp
            self.merge_opacity = cdll.quiremark_merge_opacity
            self.last_error = cdll.quiremark_last_error
        except AttributeError as exc:
            raise LibraryNotFoundError(f"{origin} is not libquiremark: {exc}") from None
        path = ctypes.c_char_p
        self.init.argtypes = []
        self.init.restype = ctypes.c_int
        self.cleanup.argtypes = []
        self.cleanup.restype = None
        for job in (self.merge, self.stamp):
            job.argtypes = [path, path, path, ctypes.c_int]
            job.restype = ctypes.c_int
        self.merge_opacity.argtypes = [path, path, path, ctypes.c_int, ctypes.c_float]
        self.merge_opacity.restype = ctypes.c_int
        # c_char_p as result type copies the text into a bytes object at once.
        self.last_error.argtypes = []
        self.last_error.restype = ctypes.c_char_p


def bundled_candidates(package_dir: Path) -> List[Path]:
    """Library files inside the package directory, the preferred name first."""
    found = [package_dir / name for name in _BUNDLED if (package_dir / name).is_file()]
    if sys.platform not in ("darwin", "win32"):
        # A fully versioned copy such as libquiremark.so.0.1.0.
        found += sorted(p for p in package_dir.glob("libquiremark.so.*") if p not in found)
    return found


def search(
    package_dir: Path,
    environ: Mapping[str, str],
    load: Callable[[str], ctypes.CDLL],
    find_library: Callable[[str], Optional[str]] = ctypes.util.find_library,
) -> Tuple[ctypes.CDLL, str]:
    """Runs the search order above with the given loader; returns the library and its origin."""
    bundled = bundled_candidates(package_dir)
    if bundled:
        return _load_named(load, str(bundled[0]), "bundled library")
    named = environ.get(ENV_VAR)
    if named:
        return _load_named(load, named, ENV_VAR)
    tried: List[str] = []
    try:
        return load(_SYSTEM), _SYSTEM
    except OSError as exc:
        tried.append(f"{_SYSTEM}: {exc}")
    name = find_library("quiremark")
    if name:
        try:
            return load(name), name
        except OSError as exc:
            tried.append(f"{name}: {exc}")
    raise LibraryNotFoundError(
        "libquiremark not found: none in "
        f"{package_dir}, {ENV_VAR} not set, and the system loader has none "
        f"({'; '.join(tried)})"
    )


def _load_named(load: Callable[[str], ctypes.CDLL], path: str, what: str) -> Tuple[ctypes.CDLL, str]:
    try:
        return load(path), path
    except OSError as exc:
        raise LibraryNotFoundError(f"cannot load {what} {path}: {exc}") from None


_native: Optional[Native] = None
_load_lock = threading.Lock()


def native() -> Native:
    """The loaded library, loading it on first use."""
    global _native
    lib = _native
    if lib is None:
        with _load_lock:
            if _native is None:
                cdll, origin = search(Path(__file__).resolve().parent, os.environ, ctypes.CDLL)
                _native = Native(cdll, origin)
            lib = _native
    return lib
