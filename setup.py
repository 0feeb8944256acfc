"""The CMake step of pip install: configures the project for the interpreter
running pip (Python_EXECUTABLE), builds the module target only, and puts the
module where setuptools packs it; the bundled colour maps go to
PREFIX/share/polyfield/colormaps, where the module looks for them (three
folders above lib/python3.X/site-packages)."""
import glob, os, re, subprocess, sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

here = os.path.dirname(os.path.abspath(__file__))
# The version is the CMake project's.
version = re.search(r"project\(polyfield [^)]*VERSION ([0-9.]+)",
                    open(os.path.join(here, "CMakeLists.txt")).read()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        subprocess.run(["cmake", "-S", here, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                        "-DPython_EXECUTABLE=" + sys.executable, "-DPOLYFIELD_TESTS=OFF",
                        "-DPOLYFIELD_BENCH=OFF"], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "--build", build, "--target", "polyfield_python", "-j", jobs],
                       check=True)
        built = glob.glob(os.path.join(build, "python", "polyfield*.so"))
        if len(built) != 1:
            sys.exit("the CMake build made no Python module (is pybind11-dev installed?)")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        self.copy_file(built[0], target)


# setuptools' own folders under build/pip, beside CMake's build folders.
pip_build = os.path.join("build", "pip")
os.makedirs(pip_build, exist_ok=True)
setup(
    version=version,
    packages=[],
    ext_modules=[Extension("polyfield", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    data_files=[("share/polyfield/colormaps", sorted(glob.glob("share/colormaps/*.cm")))],
    options={"build": {"build_base": pip_build}, "egg_info": {"egg_base": pip_build}},
)
