"""Builds the extension module with the project's CMake build.

The package's metadata is in pyproject.toml; this adds the build step: CMake
configures the project without its tests and builds only the module (the
library and the pybind11 binding), which is then copied into the package.
Everything comes from the system (CMake, a C++20 compiler, Python's headers,
pybind11): nothing is downloaded.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(vallisynth VERSION ([0-9.]+)", text).group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DVALLISYNTH_BUILD_TESTS=OFF",
            "-DVALLISYNTH_PYTHON=ON",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        try:  # python3-pybind11 knows where pybind11-dev's CMake files are
            import pybind11

            configure.append(f"-Dpybind11_DIR={pybind11.get_cmake_dir()}")
        except ImportError:
            pass
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "_vallisynth", "-j", jobs], check=True)
        built = next((build / "python" / "vallisynth").glob("_vallisynth*.so"))
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    version=project_version(),
    ext_modules=[CMakeExtension("vallisynth._vallisynth")],
    cmdclass={"build_ext": CMakeBuild},
)
