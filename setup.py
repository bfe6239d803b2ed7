"""Builds the `quorra` Python package with the project's CMake build and
installs what `cmake --install` puts into site-packages (the package
directory with the extension and the two libraries beside it).

    pip install --no-build-isolation .
"""
import os
import pathlib
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        # The directory the extension goes into: the package directory itself.
        package_dir = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve().parent
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        stage = pathlib.Path(self.build_temp).resolve() / "stage"
        jobs = os.environ.get("JOBS", str(os.cpu_count() or 1))
        subprocess.check_call([
            "cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
            "-DQUORRA_TESTS=OFF", "-DQUORRA_BENCH=OFF", "-DQUORRA_TOOL=OFF", "-DQUORRA_PYTHON=ON",
            f"-DPython3_EXECUTABLE={sys.executable}", "-DQUORRA_PYTHON_INSTALL_DIR=python"])
        subprocess.check_call(["cmake", "--build", str(build_dir), "-j", jobs, "--target", "quorra_python"])
        subprocess.check_call(["cmake", "--install", str(build_dir), "--prefix", str(stage),
                               "--component", "python"])
        package_dir.mkdir(parents=True, exist_ok=True)
        for item in (stage / "python" / "quorra").iterdir():
            (package_dir / item.name).write_bytes(item.read_bytes())
            (package_dir / item.name).chmod(0o644 if item.suffix == ".py" else 0o755)


setup(
    name="quorra",
    version="0.1.0",
    description="Load, walk, look up and override CAD assemblies held in memory by quorra",
    packages=[],
    ext_modules=[Extension("quorra._quorra", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
