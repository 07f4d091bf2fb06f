"""Finding the library: bundled copy, then QUIREMARK_LIBRARY, then the system loader."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path
from typing import List

import pytest

import quiremark
from quiremark import _library
from conftest import HERE, SRC


class FakeLoader:
    """Stands in for ctypes.CDLL: records every name asked for, loads only the given ones."""

    def __init__(self, loadable: List[str]) -> None:
        self.loadable = loadable
        self.asked: List[str] = []

    def __call__(self, name: str) -> ctypes.CDLL:
        self.asked.append(name)
        if name not in self.loadable:
            raise OSError(f"{name}: cannot open shared object file")
        return name  # type: ignore[return-value]


def no_find(name: str):
    return None


def test_bundled_copy_comes_first(tmp_path: Path):
    (tmp_path / "libquiremark.so.0").write_bytes(b"")
    load = FakeLoader([str(tmp_path / "libquiremark.so.0"), "/env/lib.so", "libquiremark.so.0"])
    lib, origin = _library.search(tmp_path, {"QUIREMARK_LIBRARY": "/env/lib.so"}, load, no_find)
    assert origin == str(tmp_path / "libquiremark.so.0")
    assert load.asked == [origin]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux library names")
def test_bundled_names_in_order_of_preference(tmp_path: Path):
    for name in ("libquiremark.so.0.1.0", "libquiremark.so", "libquiremark.so.0", "other.so"):
        (tmp_path / name).write_bytes(b"")
    found = [p.name for p in _library.bundled_candidates(tmp_path)]
    assert found == ["libquiremark.so.0", "libquiremark.so", "libquiremark.so.0.1.0"]


def test_environment_variable_comes_second(tmp_path: Path):
    load = FakeLoader(["/env/lib.so", "libquiremark.so.0"])
    lib, origin = _library.search(tmp_path, {"QUIREMARK_LIBRARY": "/env/lib.so"}, load, no_find)
    assert (origin, load.asked) == ("/env/lib.so", ["/env/lib.so"])


def test_system_loader_comes_last(tmp_path: Path):
    load = FakeLoader([_library._SYSTEM])
    lib, origin = _library.search(tmp_path, {}, load, no_find)
    assert origin == _library._SYSTEM


def test_find_library_is_the_last_resort(tmp_path: Path):
    load = FakeLoader(["/usr/lib/found/libquiremark.so"])
    lib, origin = _library.search(tmp_path, {"QUIREMARK_LIBRARY": ""}, load,
                                  lambda name: "/usr/lib/found/libquiremark.so")
    assert load.asked == [_library._SYSTEM, "/usr/lib/found/libquiremark.so"]


def test_nothing_found(tmp_path: Path):
    with pytest.raises(quiremark.LibraryNotFoundError, match="libquiremark not found"):
        _library.search(tmp_path, {}, FakeLoader([]), no_find)


def test_a_named_library_that_fails_to_load_is_an_error(tmp_path: Path):
    # No falling back to a system copy when the variable names a file that does not load.
    load = FakeLoader([_library._SYSTEM])
    with pytest.raises(quiremark.LibraryNotFoundError, match="QUIREMARK_LIBRARY /nowhere.so"):
        _library.search(tmp_path, {"QUIREMARK_LIBRARY": "/nowhere.so"}, load, no_find)
    assert load.asked == ["/nowhere.so"]


def test_a_broken_bundled_copy_is_an_error(tmp_path: Path):
    (tmp_path / "libquiremark.so.0").write_bytes(b"not an ELF file")
    with pytest.raises(quiremark.LibraryNotFoundError, match="bundled library"):
        _library.search(tmp_path, {}, ctypes.CDLL, no_find)


def test_a_library_without_the_functions_is_refused():
    libc = ctypes.util.find_library("c")
    if not libc:
        pytest.skip("no C library found by name")
    with pytest.raises(quiremark.LibraryNotFoundError, match="is not libquiremark"):
        _library.Native(ctypes.CDLL(libc), libc)


def test_real_bundled_copy_loads(library: str, tmp_path: Path):
    shutil.copy(library, tmp_path / "libquiremark.so.0")
    cdll, origin = _library.search(tmp_path, {}, ctypes.CDLL, no_find)
    native = _library.Native(cdll, origin)
    assert native.init() == 1
    assert native.last_error() == b""


def _python(code: str, env: dict) -> subprocess.CompletedProcess:
    full = {k: v for k, v in os.environ.items() if k != "QUIREMARK_LIBRARY"}
    full.update(env)
    full["PYTHONPATH"] = os.pathsep.join([str(SRC), str(HERE)])
    return subprocess.run([sys.executable, "-c", code], env=full, capture_output=True, text=True)


def test_import_does_not_need_the_library():
    run = _python(
        "import quiremark\n"
        "try:\n"
        "    quiremark.stamp('a.pdf', 'b.pdf', 'c.pdf')\n"
        "except quiremark.LibraryNotFoundError as exc:\n"
        "    print('LNF', exc)\n",
        {"QUIREMARK_LIBRARY": "/nonexistent/libquiremark.so"})
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("LNF cannot load QUIREMARK_LIBRARY /nonexistent/libquiremark.so")


def test_environment_variable_in_a_fresh_process(library: str):
    run = _python("import quiremark; print(quiremark.library_path())",
                  {"QUIREMARK_LIBRARY": library})
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == library


def test_version_matches_the_project():
    cmake = HERE.parents[2] / "CMakeLists.txt"
    if not cmake.is_file():
        pytest.skip("not in a quiremark checkout")
    match = re.search(r"project\(quiremark VERSION (\S+)", cmake.read_text())
    assert match and quiremark.__version__ == match.group(1)
