"""Builds the package's compiled module with CMake, from the quiremark checkout around it.

The module (quiremark._native) is the CMake target quiremark_python of the project two folders up:
it is compiled together with the library's static form for the interpreter that runs this build
(sys.executable), then copied into the package. Nothing is downloaded: CMake, pybind11 (its CMake
package) and a C++20 compiler must be installed, e.g. on Debian:

    apt install cmake g++ pybind11-dev python3-dev python3-venv python3-wheel python3-setuptools
    /usr/bin/python3 -m venv --system-site-packages v
    v/bin/pip install --no-build-isolation ./bindings/python

Environment:
    QUIREMARK_SOURCE_DIR   the quiremark checkout to build from (default: two folders up).
    QUIREMARK_BUILD_DIR    the CMake build folder to use (default: one under build/ here); an
                           existing one is reused, so a second install only compiles what changed.
    CMAKE_BUILD_PARALLEL_LEVEL   compile jobs (default: the number of processors).
"""

from __future__ import annotations

import glob
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent


class CMakeExtension(Extension):
    """An extension module that CMake builds; setuptools only places the result."""

    def __init__(self, name: str, target: str) -> None:
        super().__init__(name, sources=[])
        self.target = target


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        assert isinstance(ext, CMakeExtension)
        source = Path(os.environ.get("QUIREMARK_SOURCE_DIR") or HERE.parent.parent).resolve()
        if not (source / "CMakeLists.txt").is_file() or not (source / "src").is_dir():
            raise SystemExit(
                f"quiremark: {source} is not a quiremark checkout; the package is built from "
                "one (bindings/python inside it), or set QUIREMARK_SOURCE_DIR"
            )
        cmake = shutil.which("cmake")
        if cmake is None:
            raise SystemExit("quiremark: cmake not found (Debian: apt install cmake)")
        build = Path(os.environ.get("QUIREMARK_BUILD_DIR") or Path(self.build_temp) / "cmake")
        build = build.resolve()
        build.mkdir(parents=True, exist_ok=True)
        configure = [
            cmake, "-S", str(source), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DQUIREMARK_BUILD_TESTS=OFF",
            "-DQUIREMARK_BUILD_CLI=OFF",
            "-DQUIREMARK_BUILD_PYTHON=ON",
            # The interpreter running this build is the one the module is for; FindPython and
            # pybind11's own search each read one of these names.
            f"-DPython3_EXECUTABLE={sys.executable}",
            f"-DPYTHON_EXECUTABLE={sys.executable}",
        ]
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        compile_ = [cmake, "--build", str(build), "--target", ext.target, "-j", jobs]
        for command in (configure, compile_):
            print(" ".join(command), flush=True)
            subprocess.run(command, check=True)
        suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
        leaf = ext.name.rsplit(".", 1)[-1]
        built = glob.glob(str(build / "python" / "quiremark" / (leaf + "*" + suffix)))
        if len(built) != 1:
            raise SystemExit(f"quiremark: expected one {leaf}*{suffix} in {build}/python/quiremark,"
                             f" found {built}")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


setup(
    ext_modules=[CMakeExtension("quiremark._native", target="quiremark_python")],
    cmdclass={"build_ext": CMakeBuild},
)
