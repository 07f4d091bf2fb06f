"""The package as users get it: its public names, its typing files, its compiled module linked with
the static library, and the build from a checkout with pip in a fresh virtual environment."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quiremark
from conftest import SOURCE_DIR, page_count

API = sorted(["merge", "stamp", "stamp_many", "merge_many", "run_many", "iter_many", "Result",
              "Error", "InputError", "EncryptedError", "NoPagesError",
              "PageTreeError", "LimitError", "OutputError", "OutOfMemoryError", "__version__"])
PACKAGE = Path(quiremark.__file__).parent


def test_dir_shows_the_api_only():
    assert dir(quiremark) == API
    assert sorted(quiremark.__all__) == API
    for name in API:
        assert hasattr(quiremark, name)


def test_typing_files_are_in_the_package():
    assert (PACKAGE / "py.typed").is_file()
    stub = (PACKAGE / "__init__.pyi").read_text()
    for name in API:
        if name != "__version__":
            assert re.search(rf"\b{name}\b", stub), name
    assert "opacity: Optional[float] = None" in stub
    assert (PACKAGE / "_native.pyi").is_file()


def test_version_matches_the_project():
    cmake = SOURCE_DIR / "CMakeLists.txt"
    if not cmake.is_file():
        pytest.skip("not in a quiremark checkout")
    match = re.search(r"project\(quiremark VERSION (\S+)", cmake.read_text())
    assert match and quiremark.__version__ == match.group(1)


def _needed(module: Path) -> list:
    shown = subprocess.run(["readelf", "-d", str(module)], capture_output=True, text=True,
                           check=True)
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", shown.stdout)


@pytest.mark.skipif(not sys.platform.startswith("linux") or not shutil.which("readelf"),
                    reason="needs readelf")
def test_module_carries_the_library_itself():
    from quiremark import _native

    needed = _needed(Path(_native.__file__))
    assert needed, "no dynamic section read"
    assert not [n for n in needed if "quiremark" in n], needed


# The build line of the README, run as written in a copy of the checkout (so that the build
# leaves nothing behind in this one): a virtual environment that sees the system's setuptools,
# wheel and pytest, and pip without network or build isolation. CTest gives it a folder that is
# kept between runs (QUIREMARK_PIP_WORK_DIR) for the copy and the CMake build, so that only the
# first run compiles everything: the copy keeps the files' times, and the build only what changed.
def _copy_checkout(target: Path) -> None:
    target.mkdir(parents=True)
    ignore = shutil.ignore_patterns("__pycache__", "*.egg-info", "build", "build-*", ".git")
    for name in ("CMakeLists.txt", "cmake", "include", "src", "ext", "bindings"):
        source = SOURCE_DIR / name
        if source.is_dir():
            shutil.copytree(source, target / name, ignore=ignore)
        else:
            shutil.copy2(source, target / name)


@pytest.mark.skipif(not (SOURCE_DIR / "src").is_dir(), reason="not in a quiremark checkout")
@pytest.mark.skipif(not Path("/usr/bin/python3").is_file(), reason="needs /usr/bin/python3")
def test_pip_install_in_a_venv(make_pdf, tmp_path: Path):
    work = Path(os.environ.get("QUIREMARK_PIP_WORK_DIR") or tmp_path)
    checkout = work / "quiremark"
    if checkout.exists():
        shutil.rmtree(checkout)
    _copy_checkout(checkout)
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "QUIREMARK_PACKAGE_DIR",
                        "QUIREMARK_SOURCE_DIR")}
    build = work / "cmake"
    cache = build / "CMakeCache.txt"
    if cache.is_file() and f"CMAKE_HOME_DIRECTORY:INTERNAL={checkout}\n" not in cache.read_text():
        shutil.rmtree(build)  # configured from another source folder, which CMake refuses
    env["QUIREMARK_BUILD_DIR"] = str(build)
    line = ("/usr/bin/python3 -m venv --system-site-packages v && "
            "v/bin/pip install --no-build-isolation ./bindings/python")
    done = subprocess.run(["sh", "-c", line], cwd=checkout, env=env, capture_output=True,
                          text=True, timeout=1200)
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]

    out = tmp_path / "out.pdf"
    code = ("import quiremark, sys\n"
            "print(quiremark.__file__)\n"
            "quiremark.stamp(sys.argv[1], open(sys.argv[2], 'rb'), sys.argv[3], opacity=0.5)\n")
    run = subprocess.run([str(checkout / "v" / "bin" / "python"), "-c", code,
                          str(make_pdf("bg.pdf", 2)), str(make_pdf("fg.pdf")), str(out)],
                         cwd=tmp_path, env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    site = Path(run.stdout.strip()).parent
    assert site.is_relative_to(checkout / "v")
    assert {"py.typed", "__init__.pyi", "_native.pyi"} <= {p.name for p in site.iterdir()}
    assert list(site.glob("_native*.so"))
    assert page_count(out) == 2
