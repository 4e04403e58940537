"""Builds the native libraries with CMake and puts them inside the package (quorvane/_lib/).

The libraries are loaded with ctypes, not imported, so they are declared as one extension whose
build runs CMake: that makes the wheel a platform wheel (the runtime is built against this
interpreter's headers) instead of a pure-Python one. The CMake build folder is kept under
setuptools' build folder, so that a second `pip install` or `pip wheel` of the same tree only
rebuilds what changed. Everything else about the package is in pyproject.toml.

Environment: QV_CTP_VENDOR_DIR builds against the vendor's CTP libraries instead of the stand-in
(the package then has no simulated exchange); CMAKE_BUILD_PARALLEL_LEVEL sets the build's jobs
(default: one per core).
"""
import os
import pathlib
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build import build
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


class _Build(build):
    """Keeps setuptools' folders apart from build/, the CMake build of a developer's checkout."""

    def initialize_options(self) -> None:
        super().initialize_options()
        self.build_base = str(pathlib.Path("build") / "package")


class _NativeLibraries(Extension):
    def __init__(self) -> None:
        super().__init__("quorvane._lib", sources=[])


class _BuildWithCMake(build_ext):
    def build_extension(self, ext: Extension) -> None:
        package = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve().parent
        cmake_build = pathlib.Path(self.build_temp).resolve() / "cmake"
        configure = ["cmake", "-S", str(ROOT), "-B", str(cmake_build),
                     "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DQV_BUILD_TESTS=OFF",
                     "-DQV_BUILD_BENCH=OFF", "-DQV_INSTALL_LIBDIR=_lib",
                     "-DPython3_EXECUTABLE=%s" % sys.executable]
        if os.environ.get("QV_CTP_VENDOR_DIR"):
            configure.append("-DQV_CTP_VENDOR_DIR=%s" % os.environ["QV_CTP_VENDOR_DIR"])
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(cmake_build), "-j", jobs], check=True)
        subprocess.run(["cmake", "--install", str(cmake_build), "--prefix", str(package)],
                       check=True)


setup(ext_modules=[_NativeLibraries()],
      cmdclass={"build": _Build, "build_ext": _BuildWithCMake})
