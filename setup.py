"""Builds contours._contours, the compiled half of the Python package, with
this CMake tree, for the interpreter that runs pip; the rest of the package is
python/contours/ as it is. pyproject.toml holds the package's description.

The CMake tree is configured without its tests and builds the module's target
alone (the analysis library with it), in setuptools' temporary folder under
build-pip/.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(contours VERSION ([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        tree = Path(self.build_temp).resolve() / "cmake"
        configure = ["cmake", "-S", str(ROOT), "-B", str(tree),
                     "-DCMAKE_BUILD_TYPE=Release", "-DCONTOURS_BUILD_TESTS=OFF",
                     "-DCONTOURS_BUILD_PYTHON=ON", f"-DPython3_EXECUTABLE={sys.executable}"]
        try:  # pybind11 from pip, in an isolated build; the system's otherwise
            import pybind11
            configure.append(f"-Dpybind11_DIR={pybind11.get_cmake_dir()}")
        except ImportError:
            pass
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        try:
            subprocess.run(configure, check=True)
            subprocess.run(["cmake", "--build", str(tree), "--target", "contours_python",
                            "--parallel", jobs], check=True)
        except FileNotFoundError:
            sys.exit("building contours needs cmake (3.25 or later) on the PATH")
        except subprocess.CalledProcessError as error:
            sys.exit(f"building contours failed: {' '.join(error.cmd)}")
        built = next((tree / "python" / "site" / "contours").glob("_contours.*.so"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    version=version(),
    ext_modules=[Extension("contours._contours", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": "build-pip"}},
)
