"""The CMake step of pip install: configures the project for the interpreter
running pip (Python_EXECUTABLE), builds the module and the program polyfield
only, and puts them where setuptools packs them: the module into
site-packages, the program into PREFIX/bin; the bundled colour maps go to
PREFIX/share/polyfield/colormaps, where both look for them (one folder above
bin, three above lib/python3.X/site-packages)."""
import glob, os, re, shutil, subprocess, sys

here = os.path.dirname(os.path.abspath(__file__))


def interpreter_advice():
    """Which interpreter to use instead: Debian's, when it has what is needed."""
    debian = "/usr/bin/python3"
    ok = (os.path.exists(debian) and
          os.path.realpath(sys.executable) != os.path.realpath(debian) and
          subprocess.run([debian, "-c", "import numpy, setuptools, wheel"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0)
    if ok:
        return ("use Debian's interpreter, which has them: %s -m venv --system-site-packages v "
                "&& v/bin/pip install --no-build-isolation ." % debian)
    if sys.prefix != sys.base_prefix:
        return ("this is a virtual environment: make it with --system-site-packages to see the "
                "system's packages (Debian: python3-numpy python3-setuptools python3-wheel), or "
                "install them into it")
    return ("install them for this interpreter (Debian: apt-get install python3-numpy "
            "python3-setuptools python3-wheel python3-venv python3-dev), or use an interpreter "
            "that has them")


# What the build needs of the interpreter that runs it, said before setuptools
# fails without a reason (no wheel: "invalid command 'bdist_wheel'"; no numpy:
# a module that cannot be imported, or pip trying the network for it).
missing = []
for name in ("setuptools", "wheel", "numpy"):
    try:
        __import__(name)
    except ImportError:
        missing.append(name)
if missing:
    sys.exit("polyfield: %s cannot import %s, which pip install needs; %s"
             % (sys.executable, ", ".join(missing), interpreter_advice()))

from setuptools import Extension, setup  # noqa: E402
from setuptools.command.build_ext import build_ext  # noqa: E402

# The version is the CMake project's.
version = re.search(r"project\(polyfield [^)]*VERSION ([0-9.]+)",
                    open(os.path.join(here, "CMakeLists.txt")).read()).group(1)
# setuptools' own folders under build/pip, beside CMake's build folders; the
# program is copied to build/pip/bin for the install's data files.
pip_build = os.path.join("build", "pip")
program = os.path.join(pip_build, "bin", "polyfield")


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        subprocess.run(["cmake", "-S", here, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                        "-DPython_EXECUTABLE=" + sys.executable, "-DPOLYFIELD_TESTS=OFF",
                        "-DPOLYFIELD_BENCH=OFF"], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "--build", build, "--target", "polyfield_python", "polyfield",
                        "-j", jobs], check=True)
        built = glob.glob(os.path.join(build, "python", "polyfield*.so"))
        if len(built) != 1:
            sys.exit("the CMake build made no Python module (is pybind11-dev installed?)")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        self.copy_file(built[0], target)
        os.makedirs(os.path.dirname(program), exist_ok=True)
        shutil.copy2(os.path.join(build, "bin", "polyfield"), program)


os.makedirs(pip_build, exist_ok=True)
setup(
    version=version,
    packages=[],
    ext_modules=[Extension("polyfield", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    data_files=[("share/polyfield/colormaps", sorted(glob.glob("share/colormaps/*.cm"))),
                ("bin", [program])],
    options={"build": {"build_base": pip_build}, "egg_info": {"egg_base": pip_build}},
)
