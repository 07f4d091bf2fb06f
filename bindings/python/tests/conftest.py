"""Shared fixtures: the package under test, fixture PDFs and a checker for written PDFs.

The tests import the package staged by a CMake build (QUIREMARK_PACKAGE_DIR, which CTest sets to
<build>/python: the package's Python files next to the compiled module), or, when
QUIREMARK_TEST_INSTALLED is set, the package installed for the interpreter that runs them.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Callable, Sequence

import pytest

HERE = Path(__file__).resolve().parent
PACKAGE_DIR = os.environ.get("QUIREMARK_PACKAGE_DIR", "")
if PACKAGE_DIR:
    sys.path.insert(0, PACKAGE_DIR)
elif not os.environ.get("QUIREMARK_TEST_INSTALLED"):
    raise SystemExit(
        "Set QUIREMARK_PACKAGE_DIR to a build's staged package (e.g. build/python, made by "
        "cmake --build build --target quiremark_python), or QUIREMARK_TEST_INSTALLED=1 to test "
        "the installed package."
    )
# The checkout the tests run from, for the examples and the project's version.
SOURCE_DIR = Path(os.environ.get("QUIREMARK_SOURCE_DIR") or HERE.parents[2])

import pdfwriter  # noqa: E402
import quiremark  # noqa: E402


def python_env(**extra: str) -> dict:
    """The environment for a child Python that imports the same package as these tests."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    if PACKAGE_DIR:
        env["PYTHONPATH"] = PACKAGE_DIR
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env.update(extra)
    return env


MakePdf = Callable[..., Path]


@pytest.fixture
def make_pdf(tmp_path: Path) -> MakePdf:
    """make_pdf(name, pages=[Page...] or a page count, encrypted=False) -> path of a new PDF."""

    def make(name: str, pages: "Sequence[pdfwriter.Page] | int" = 1, **kw: bool) -> Path:
        if isinstance(pages, int):
            pages = pdfwriter.pages(pages)
        path = tmp_path / name
        path.write_bytes(pdfwriter.document(pages, **kw))
        return path

    return make


def page_count(path: Path) -> int:
    """Checks that path is a well-formed PDF and returns its number of pages."""
    data = path.read_bytes()
    assert data.startswith(b"%PDF-"), data[:16]
    assert data.rstrip().endswith(b"%%EOF")
    if shutil.which("qpdf"):
        # Output is decoded leniently: qpdf echoes the file name, which may not be UTF-8.
        check = subprocess.run(["qpdf", "--check", str(path)], capture_output=True,
                               encoding="utf-8", errors="replace")
        assert check.returncode == 0, check.stdout + check.stderr
        shown = subprocess.run(["qpdf", "--show-npages", str(path)], capture_output=True,
                               encoding="utf-8", errors="replace", check=True)
        return int(shown.stdout)
    try:
        import pikepdf  # type: ignore[import-not-found]
    except ImportError:
        pass
    else:
        with pikepdf.open(path) as pdf:
            return len(pdf.pages)
    match = re.search(rb"/Type /Pages /Kids \[[^\]]*\] /Count (\d+)", data)
    assert match, "no page tree found"
    return int(match.group(1))


def page_contents(path: Path) -> list:
    """The content streams of the output pages, in page order.

    quiremark writes each output page's own content stream uncompressed right after the page
    objects, as objects T+3 .. 2T+2 for T pages.
    """
    data = path.read_bytes()
    count = int(re.search(rb"/Type /Pages /Kids \[[^\]]*\] /Count (\d+)", data).group(1))
    contents = []
    for num in range(count + 3, 2 * count + 3):
        match = re.search(rb"\n%d 0 obj\n<< /Length (\d+) >>\nstream\n" % num, data)
        assert match, f"content stream {num} not found"
        start = match.end()
        contents.append(data[start:start + int(match.group(1))])
    return contents
