"""The package installs with pip from the checkout, offline, and finds a library bundled in it."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import HERE, page_count

PROJECT = HERE.parent


def _has_pip() -> bool:
    probe = subprocess.run([sys.executable, "-m", "pip", "--version"], capture_output=True)
    return probe.returncode == 0


@pytest.fixture(scope="module")
def installed(tmp_path_factory) -> Path:
    if not _has_pip():
        pytest.skip("pip is not available for this interpreter")
    target = tmp_path_factory.mktemp("site")
    # A copy of the project, so that the build leaves nothing behind in the checkout.
    source = tmp_path_factory.mktemp("src") / "python"
    shutil.copytree(PROJECT, source,
                    ignore=shutil.ignore_patterns("__pycache__", "*.egg-info", "build", "tests"))
    run = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index",
         "--no-deps", "--disable-pip-version-check", "--target", str(target), str(source)],
        capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    return target


def _run(code: str, site: Path, **env: str) -> subprocess.CompletedProcess:
    full = {k: v for k, v in os.environ.items() if k not in ("QUIREMARK_LIBRARY", "PYTHONPATH")}
    full.update(env)
    full["PYTHONPATH"] = str(site)
    return subprocess.run([sys.executable, "-c", code], env=full, capture_output=True, text=True,
                          cwd=site)


def test_installed_files(installed: Path):
    pkg = installed / "quiremark"
    assert (pkg / "py.typed").is_file()
    for module in ("__init__.py", "_errors.py", "_library.py", "_version.py"):
        assert (pkg / module).is_file()
    dist = list(installed.glob("quiremark-*.dist-info"))
    assert len(dist) == 1
    import quiremark

    assert dist[0].name == f"quiremark-{quiremark.__version__}.dist-info"


def test_installed_package_with_bundled_library(installed: Path, library: str, make_pdf,
                                                tmp_path: Path):
    site = tmp_path / "site"
    shutil.copytree(installed, site)
    shutil.copy(library, site / "quiremark" / "libquiremark.so.0")
    out = tmp_path / "out.pdf"
    code = (
        "import quiremark, sys\n"
        "print(quiremark.library_path())\n"
        f"quiremark.stamp({str(make_pdf('bg.pdf', 2))!r}, {str(make_pdf('fg.pdf'))!r}, "
        f"{str(out)!r})\n"
    )
    # QUIREMARK_LIBRARY names a file that does not exist: the bundled copy wins before it is read.
    run = _run(code, site, QUIREMARK_LIBRARY="/nonexistent/libquiremark.so")
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == str(site / "quiremark" / "libquiremark.so.0")
    assert page_count(out) == 2
