#!/usr/bin/env python3
"""Installs the build into a scratch prefix (cmake --install) and checks the
layout, then that the installed program and module colour with the maps of
their own prefix, also after the prefix is moved: a map swapped in the prefix
changes the colours, and with the prefix's maps removed a bundled map is
refused, so no folder of the source or build tree is searched.

    check_install.py BUILD_DIR [PYTHON]   (PYTHON: the module's interpreter;
                                           without it the build has no module)"""
import glob, os, shutil, struct, subprocess, sys, tempfile

build = os.path.abspath(sys.argv[1])
python = sys.argv[2] if len(sys.argv) > 2 else None
source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
model = os.path.join(source, "tests", "data", "cube.stl")
programs = ["fieldpts", "fieldpts_s", "fieldpts_m", "surfgrav", "surfgrav_s", "surfgrav_m",
            "plumbline", "plumbline_s", "plumbline_m", "geopot", "geopot_s", "geopot_m",
            "polygrav_m", "globe_ih", "globe_th", "globe_oh", "facetpaint", "tribuild",
            "stlrender", "polyfield"]
refused = '"viridis" is neither a CM_STL file nor a bundled map'


def attribute_words(stl):
    data = open(stl, "rb").read()
    n = struct.unpack_from("<I", data, 80)[0]
    return [struct.unpack_from("<H", data, 84 + 50 * i + 48)[0] for i in range(n)]


def grey(word):
    return word >> 10 & 31 == word >> 5 & 31 == word & 31


def colour(prefix, work, face):
    """Colours the cube by slope with the bundled map viridis through the
    installed program or module; returns (status, message, attribute words)."""
    out = os.path.join(work, face + ".stl")
    if os.path.exists(out):
        os.remove(out)
    if face == "program":
        cmd = [os.path.join(prefix, "bin", "polyfield"), "surface", model, "--stl", out,
               "--map", "viridis", "-o", os.path.join(work, "table.tsv")]
        env = dict(os.environ)
    else:
        cmd = [python, "-c", "import sys, numpy, polyfield\n"
               "m = polyfield.Model(sys.argv[1])\n"
               "try:\n"
               "    m.write_colours(numpy.arange(12.0), stl=sys.argv[2], map='viridis')\n"
               "except polyfield.Error as e:\n"
               "    sys.exit(str(e))", model, out]
        env = dict(os.environ, PYTHONPATH=os.path.join(prefix, "lib", "python3", "dist-packages"))
    run = subprocess.run(cmd, cwd=work, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True)
    words = attribute_words(out) if run.returncode == 0 else []
    return run.returncode, run.stderr, words


failures = []


def check(what, ok):
    print("%-70s %s" % (what, "ok" if ok else "FAILED"))
    if not ok:
        failures.append(what)


with tempfile.TemporaryDirectory() as scratch:
    prefix = os.path.join(scratch, "prefix")
    subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True,
                   stdout=subprocess.DEVNULL)
    check("every program in bin",
          all(os.access(os.path.join(prefix, "bin", p), os.X_OK) for p in programs))
    maps = os.path.join(prefix, "share", "polyfield", "colormaps")
    check("colour maps in share/polyfield/colormaps",
          all(os.path.isfile(os.path.join(maps, m + ".cm"))
              for m in ("viridis", "blue_white_red", "grey")))
    check("pages in share/doc/polyfield",
          os.path.isfile(os.path.join(prefix, "share", "doc", "polyfield", "polyfield.md")))
    man = os.path.join(prefix, "share", "man", "man1", "polyfield.1")
    check("man page in share/man/man1", os.path.isfile(man) and "polyfield" in open(man).read())
    faces = ["program"]
    if python:
        check("module in lib/python3/dist-packages",
              len(glob.glob(os.path.join(prefix, "lib", "python3", "dist-packages",
                                         "polyfield.*.so"))) == 1)
        faces.append("module")

    # The prefix moved: what the binaries find comes from where they lie now.
    moved = os.path.join(scratch, "moved")
    os.rename(prefix, moved)
    maps = os.path.join(moved, "share", "polyfield", "colormaps")
    work = os.path.join(scratch, "work")
    os.mkdir(work)
    for face in faces:
        status, err, words = colour(moved, work, face)
        check("%s: viridis from the moved prefix" % face,
              status == 0 and len(words) == 12 and not all(grey(w) for w in words))
    # The prefix's viridis replaced by the grey map: the colours turn grey.
    shutil.copy(os.path.join(maps, "grey.cm"), os.path.join(maps, "viridis.cm"))
    for face in faces:
        status, err, words = colour(moved, work, face)
        check("%s: the prefix's own viridis.cm is the one read" % face,
              status == 0 and len(words) == 12 and all(grey(w) for w in words))
    # The prefix's maps gone: nothing else is searched.
    shutil.rmtree(maps)
    for face in faces:
        status, err, words = colour(moved, work, face)
        check("%s: without the prefix's maps the bundled name is refused" % face,
              status != 0 and refused in err)
sys.exit(1 if failures else 0)
