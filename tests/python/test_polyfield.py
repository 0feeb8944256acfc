"""What only the Python face can show: shapes and dtypes, the exceptions
and their parameter names, objects that hold a mesh, several Python threads
on one model, Ctrl-C, and one bit-for-bit agreement with the polyfield
program. The physics is the library's, tested in C++ (tests/science: the
box against the prism's closed form, the tensor, the spin, the summary;
tests/cli: the unit cube, spheres, a rotating sphere).

Run by CTest with PYTHONPATH=build/python and POLYFIELD_BIN=build/bin."""
import errno
import functools
import os
import signal
import subprocess
import threading
import time

import numpy as np
import pytest

import polyfield

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DATA = os.path.join(ROOT, "tests", "data")
BIN = os.environ.get("POLYFIELD_BIN", os.path.join(ROOT, "build", "bin"))
G = 6.67430e-11


def data(name):
    return os.path.join(DATA, name)


def program(*args, stdin=""):
    r = subprocess.run([os.path.join(BIN, "polyfield"), *args], input=stdin, text=True,
                       capture_output=True)
    return r


def table(text):
    """Rows of a TSV table as floats (the '#' lines skipped), and the names."""
    lines = text.splitlines()
    names = [n.split("[")[0] for n in lines[[i for i, l in enumerate(lines) if l.startswith("# ")][-1]][2:].split("\t")]
    rows = np.array([[float(v) for v in l.split("\t")] for l in lines if not l.startswith("#")])
    return names, rows


def icosphere(level, r):
    t = (1 + 5 ** 0.5) / 2
    v = [(-1, t, 0), (1, t, 0), (-1, -t, 0), (1, -t, 0), (0, -1, t), (0, 1, t), (0, -1, -t),
         (0, 1, -t), (t, 0, -1), (t, 0, 1), (-t, 0, -1), (-t, 0, 1)]
    f = [(0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11), (1, 5, 9), (5, 11, 4),
         (11, 10, 2), (10, 7, 6), (7, 1, 8), (3, 9, 4), (3, 4, 2), (3, 2, 6), (3, 6, 8),
         (3, 8, 9), (4, 9, 5), (2, 4, 11), (6, 2, 10), (8, 6, 7), (9, 8, 1)]
    v = [np.array(p) / np.linalg.norm(p) for p in v]
    for _ in range(level):
        mid, g = {}, []

        def middle(a, b):
            key = (min(a, b), max(a, b))
            if key not in mid:
                p = (v[a] + v[b]) / 2
                v.append(p / np.linalg.norm(p))
                mid[key] = len(v) - 1
            return mid[key]

        for a, b, c in f:
            ab, bc, ca = middle(a, b), middle(b, c), middle(c, a)
            g += [(a, ab, ca), (b, bc, ab), (c, ca, bc), (ab, bc, ca)]
        f = g
    return r * np.array(v), np.array(f)


def test_arrays_and_files_give_the_same_bits():
    path = data("models/kleopatra.vf.txt")
    lines = open(path).read().split("\n")
    V, F = map(int, lines[0].split())
    v = np.array([[float(x) for x in l.split()] for l in lines[1:1 + V]])
    f = np.array([[int(x) for x in l.split()] for l in lines[1 + V:1 + V + F]])
    p = np.array([[0.0, 0.0, 0.0], [150.0, 20.0, 10.0], [1e4, -2e4, 3e4]])
    a = polyfield.Model(path).field(p)
    b = polyfield.Model(v, f).field(p)
    assert a[0].tobytes() == b[0].tobytes() and a[1].tobytes() == b[1].tobytes()


def test_module_equals_program_to_the_last_bit():
    model = data("models/kleopatra.stl")
    pts = np.array([[0.0, 0.0, 0.0], [150.0, 20.0, 10.0], [37.5, -61.25, 12.0]])
    stdin = "".join("%r %r %r\n" % tuple(q) for q in pts)
    r = program("field", model, "-", "--density", "3600", "--unit", "km", "--gradient", stdin=stdin)
    assert r.returncode == 0, r.stderr
    names, rows = table(r.stdout)
    U, g, T = polyfield.Model(model, unit="km").field(pts, density=3600, gradient=True)
    assert rows[:, names.index("U")].tobytes() == U.tobytes()
    assert rows[:, [names.index(n) for n in ("gx", "gy", "gz")]].tobytes() == np.ascontiguousarray(g).tobytes()
    assert rows[:, names.index("Uxx"):].tobytes() == T.tobytes()
    r = program("surface", model, "--density", "3600", "--unit", "km", "--spin-period", "5.385")
    names, rows = table(r.stdout)
    s = polyfield.Model(model, unit="km").surface(density=3600, spin_period=5.385)
    for key, column in (("slope", "slope"), ("slopeeff", "slopeeff"), ("U/U0", "U/U0"), ("area", "area")):
        assert rows[:, names.index(column)].tobytes() == s[key].tobytes(), key


def test_errors_name_the_parameters():
    with pytest.raises(polyfield.FileNotFoundError) as e:
        polyfield.Model("/nonexistent.obj")
    # As open() raises it, and still the module's error.
    assert isinstance(e.value, FileNotFoundError) and isinstance(e.value, polyfield.Error)
    assert e.value.errno == errno.ENOENT and e.value.filename == "/nonexistent.obj"
    assert program("field", "/nonexistent.obj", "-").stderr == "polyfield: /nonexistent.obj: cannot be opened\n"
    v, f = icosphere(1, 1.0)
    holed = polyfield.Model(v, f[1:])
    assert holed.check()["fit"] is False
    with pytest.raises(polyfield.Error, match=r"unfit for the field formulas: not closed.*\(check=False evaluates anyway\)"):
        holed.field(np.zeros((1, 3)))
    U, _ = holed.field(np.array([[5.0, 0, 0]]), check=False)
    assert np.isfinite(U[0])
    # Two spheres that overlap: each closed and outward, together no solid.
    both = polyfield.Model(np.vstack([v, v + [1.0, 0, 0]]), np.vstack([f, f + len(v)]))
    report = both.check()
    assert report["fit"] is False and report["components"] == 2
    assert report["intersecting_pairs"] > 0 and report["problem"].startswith("self-intersecting: ")
    with pytest.raises(polyfield.Error, match=r"unfit for the field formulas: self-intersecting"):
        both.field(np.zeros((1, 3)))
    # The solids of an ASCII STL, as check counts them (tests/data/corpus/README.md: two);
    # arrays have none.
    assert polyfield.Model(data("corpus/ascii_two_solids_mixed_case_names.stl")).check()["solids"] == 2
    assert both.check()["solids"] == 0
    m = polyfield.Model(v, f)
    refused = [
        (lambda: m.surface(spin_period=3.0), "spin_period needs density, mass or gm (SI units)"),
        (lambda: polyfield.Model(v, f, unit="ft"), 'unit: "ft" is not one of m, km, cm, mm'),
        (lambda: m.field(np.zeros(3), density=2000, G=-6.7e-11), "G: m^3/(kg s^2), a positive number"),
        (lambda: m.field(np.zeros(3), density=2000, G=0.0), "G: m^3/(kg s^2), a positive number"),
        (lambda: m.field(np.zeros(3), density=2000, G=float("nan")), "G: m^3/(kg s^2), a positive number"),
        (lambda: m.field(np.zeros(3), G=6.7e-11), "G needs density, mass or gm (without them the results are in G rho = 1)"),
        (lambda: m.field(np.zeros(3), tolerance=2.0), "tolerance: not a number between 0 and 1 (2)"),
        (lambda: m.field(np.zeros(3), tolerance=1e-16), "tolerance: 1e-16 is below 1e-15, the rounding of the sums themselves (leave it out for the exact sum)"),
        (lambda: m.surface(density=1.0, spin_period=1.0, spin_axis=(0, 0, 0)), "spin_axis: three numbers x, y, z, not all zero"),
        (lambda: m.write_colours(np.zeros(len(f)), percentiles=(90, 10)), "percentiles: two numbers LO, HI with 0 <= LO < HI <= 100"),
        (lambda: m.write_colours(np.zeros(len(f)), percentiles=(-50, 200)), "percentiles: two numbers LO, HI with 0 <= LO < HI <= 100"),
        (lambda: polyfield.Model(v, np.array([[0, 1, 99]])), "faces: vertex 99 does not exist (42 vertices)"),
        (lambda: polyfield.Model(v, f + 0.5), "faces: index 0.5 (face 0) is not a whole number"),
        (lambda: m.field(np.zeros((2, 2))), "points: an array of shape (n, 3), or (3,) for one point"),
        # A point that is not finite has no field: refused by its row.
        (lambda: m.field(np.array([[2.0, 0, 0], [0, np.nan, 0]])), "points: row 1 (0, nan, 0) is not three finite numbers x y z"),
        (lambda: m.field([np.inf, 0, 0], density=1000), "points: (inf, 0, 0) is not three finite numbers x y z"),
        (lambda: polyfield.grid(1.0, (2, 2), (0, -np.inf, 0)), "centre: three finite numbers x, y, z"),
    ]
    for call, message in refused:
        with pytest.raises(polyfield.ValueError) as e:
            call()
        assert str(e.value) == message
        assert isinstance(e.value, ValueError) and isinstance(e.value, polyfield.Error)


def test_nul_in_a_file_name_is_refused(tmp_path):
    # As open() refuses it: the name is not cut at the NUL.
    (tmp_path / "a.stl").write_bytes(open(data("cube.stl"), "rb").read())
    with pytest.raises(ValueError, match="path: the file name holds a NUL byte"):
        polyfield.Model(str(tmp_path / "a.stl") + "\0x")
    m = polyfield.Model(str(tmp_path / "a.stl"))
    with pytest.raises(ValueError, match="stl: the file name holds a NUL byte"):
        m.write_colours(np.zeros(12), stl=str(tmp_path / "o.stl") + "\0x")
    assert not (tmp_path / "o.stl").exists()
    # Nor may a picture replace the model.
    with pytest.raises(polyfield.ValueError, match="png: .* is the file of path too"):
        m.write_colours(np.zeros(12), png=str(tmp_path / "a.stl"))


def test_no_result_is_written_over_a_file_it_was_made_from(tmp_path):
    # The model (by its name or a symbolic link), a part's file, the point
    # masses' file, the model of a placed copy and the colour map: each
    # refused, and left byte for byte.
    for name, source in [("own.vf.txt", data("cube.vf.txt")), ("part.stl", data("cube.stl")),
                         ("map.cm", os.path.join(ROOT, "share", "colormaps", "grey.cm"))]:
        (tmp_path / name).write_bytes(open(source, "rb").read())
    (tmp_path / "mascons.txt").write_text("0.5 0.5 3 1e3\n")
    os.symlink("own.vf.txt", tmp_path / "link.txt")
    own = str(tmp_path / "own.vf.txt")
    model = polyfield.Model(own)
    body = polyfield.Body([(own, 1000), (str(tmp_path / "part.stl"), 10)],
                          mascons=str(tmp_path / "mascons.txt"))
    before = {f: f.read_bytes() for f in tmp_path.iterdir()}
    cases = [
        (lambda: model.harmonics(2).write(own), "^path: .*own.vf.txt is the file of path too"),
        (lambda: model.harmonics(2).write(str(tmp_path / "link.txt"), format="npy"), "path too"),
        (lambda: body.harmonics(2).write(str(tmp_path / "part.stl")), "is the file of parts too"),
        (lambda: body.harmonics(2).write(str(tmp_path / "mascons.txt")), "of mascons too"),
        (lambda: model.translated([1, 0, 0]).write_colours(np.zeros(12), stl=own), "path too"),
        (lambda: model.write_colours(np.zeros(12), map=str(tmp_path / "map.cm"),
                                     png=str(tmp_path / "map.cm")), "^png: .* of map too"),
    ]
    for call, message in cases:
        with pytest.raises(polyfield.ValueError, match=message):
            call()
    assert {f: f.read_bytes() for f in tmp_path.iterdir()} == before


def test_shapes_dtypes_and_one_point():
    m = polyfield.Model(data("cube.stl"), unit="km")
    U, g, T = m.field(np.array([[0.5, 0.5, 0.5], [2, 0, 0]]), gradient=True)
    assert (U.shape, g.shape, T.shape) == ((2,), (2, 3), (2, 6))
    assert U.dtype == g.dtype == T.dtype == np.float64
    # One point of shape (3,): a float, a vector (3,), a tensor (6,); the
    # same numbers as in an array of points.
    U1, g1, T1 = m.field([2, 0, 0], gradient=True)
    assert isinstance(U1, float) and g1.shape == (3,) and T1.shape == (6,)
    assert U1 == U[1] and np.array_equal(g1, g[1]) and np.array_equal(T1, T[1])
    assert m.field(np.zeros((0, 3)))[0].shape == (0,)
    s = m.surface(gm=3.0e5)
    assert s["g"].shape == (12, 3) and s["slope"].shape == (12,)
    summary = s["summary"]
    assert summary["GM"] == pytest.approx(3.0e5, rel=1e-15)
    assert summary["mass"] == pytest.approx(3.0e5 / polyfield.G, rel=1e-15)
    assert summary["units"]["volume"] == "km^3" and summary["units"]["U"] == "m^2/s^2"
    assert summary["inertia"]["tensor"].shape == (3, 3) and summary["inertia"]["unit"] == "kg m^2"
    i = m.inertia()
    assert i["moments"].shape == (3,) and i["axes"].shape == (3, 3)
    assert i["unit"] == "unit density, model units^5"
    assert repr(m) == "polyfield.Model('%s', 12 facets, volume 1 km^3, lengths in km)" % data(
        "cube.stl")
    assert m.facets == 12


class Held:
    """A trimesh-like object: vertices and faces arrays."""

    def __init__(self, vertices, faces):
        self.vertices, self.faces = vertices, faces


class Cells:
    """A meshio CellBlock: a type and its data."""

    def __init__(self, type, data):
        self.type, self.data = type, data


class MeshioLike:
    def __init__(self, points, cells):
        self.points, self.cells = points, cells


def test_objects_that_hold_a_mesh():
    v, f = icosphere(2, 3.0)
    p = np.array([[0.0, 0.0, 0.0], [10.0, 1.0, 2.0]])
    want = polyfield.Model(v, f).field(p)
    got = polyfield.Model(Held(v, f)).field(p)
    assert want[0].tobytes() == got[0].tobytes()
    # A meshio.Mesh: its triangles, points and lines left aside, split
    # blocks joined, other cells refused.
    mesh = MeshioLike(v, [Cells("vertex", np.array([[0]])), Cells("triangle", f[:100]),
                          Cells("line", np.array([[0, 1]])), Cells("triangle", f[100:])])
    got = polyfield.Model.from_meshio(mesh).field(p)
    assert want[0].tobytes() == got[0].tobytes()
    with pytest.raises(polyfield.ValueError, match="mesh: cells of type quad"):
        polyfield.Model.from_meshio(MeshioLike(v, [Cells("quad", np.array([[0, 1, 2, 3]]))]))
    with pytest.raises(TypeError):
        polyfield.Model(3.0)


def test_a_mesh_read_by_meshio(tmp_path):
    # The real package (Debian's python3-meshio), on a file it writes.
    meshio = pytest.importorskip("meshio")
    v, f = icosphere(2, 3.0)
    p = np.array([[0.0, 0.0, 0.0], [10.0, 1.0, 2.0]])
    meshio.write_points_cells(str(tmp_path / "s.vtk"), v, [("triangle", f)])
    got = polyfield.Model.from_meshio(meshio.read(str(tmp_path / "s.vtk"))).field(p)
    assert got[0].tobytes() == polyfield.Model(v, f).field(p)[0].tobytes()


def test_four_threads_on_one_model():
    # Four Python threads evaluating one model at once (they once aborted the
    # interpreter): each gets what it alone would get, and a refusal on one
    # thread is that thread's exception.
    m = polyfield.Model(data("models/kleopatra.stl"))
    rng = np.random.default_rng(7)
    p = rng.uniform(-150, 150, size=(400, 3))
    settings = [dict(threads=1), dict(threads=3), dict(tolerance=1e-9, threads=2), dict(threads=2)]
    alone = [m.field(p, **kw) for kw in settings]
    got, errors = [None] * 8, []

    def work(k):
        try:
            got[k] = m.field(p, **settings[k % 4])
            m.field(p[:3], tolerance=5.0)
        except polyfield.ValueError as e:
            errors.append(str(e))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k in range(8):
        assert got[k][0].tobytes() == alone[k % 4][0].tobytes()
        assert got[k][1].tobytes() == alone[k % 4][1].tobytes()
    assert errors == ["tolerance: not a number between 0 and 1 (5)"] * 8
    a, b = alone[0], alone[1]
    assert a[0].tobytes() == b[0].tobytes() and a[1].tobytes() == b[1].tobytes()


@functools.lru_cache(maxsize=None)
def sphere(level):
    m = polyfield.Model(*icosphere(level, 1.0))
    m.check()
    return m


@pytest.mark.parametrize("level, call", [
    (6, lambda m, out: m.surface(threads=1)),
    (7, lambda m, out: m.harmonics(500, threads=1)),
    (7, lambda m, out: polyfield.Body([(m, 2000)]).harmonics(500, threads=1)),
    (7, lambda m, out: m.write_colours(np.zeros(m.facets), picture=out + ".pdf",
                                       latlon=out + ".svg")),
])
def test_long_calls_stop_at_ctrl_c(tmp_path, level, call):
    # On 81920 or 327680 facets each takes minutes on one thread (the
    # figures: many seconds; the harmonics: 320 blocks of 1024 facets):
    # Ctrl-C half a second in stops it, with KeyboardInterrupt well before
    # its end (within a block), no result and no file. The interrupt counts
    # only while the call runs (a call that holds the GIL lets the timer
    # send it only once it has returned).
    m = sphere(level)
    sent, calling, stopped = [], [True], None

    def interrupt():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    def on_sigint(*_):
        if calling[0]:
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, on_sigint)
    timer = threading.Timer(0.5, interrupt)
    result = None
    start = time.monotonic()
    timer.start()
    try:
        result = call(m, str(tmp_path / "out"))
    except KeyboardInterrupt:
        stopped = time.monotonic()
    finally:
        calling[0] = False
        timer.cancel()
        timer.join()
        signal.signal(signal.SIGINT, previous)
    assert result is None and sent and sent[0] - start < 5
    assert stopped - sent[0] < 10
    assert list(tmp_path.iterdir()) == []


def test_coloured_model_and_picture(tmp_path):
    m = polyfield.Model(data("models/kleopatra.stl"))
    s = m.surface()
    lo, hi = m.write_colours(s["slope"], stl=str(tmp_path / "k.stl"), png=str(tmp_path / "k.png"),
                             range=(0.0, 40.0), label="slope [deg]")
    assert (lo, hi) == (0.0, 40.0)
    assert (tmp_path / "k.stl").stat().st_size == 84 + 50 * 4092
    assert (tmp_path / "k.png").read_bytes()[1:4] == b"PNG"


def test_tolerance_meets_itself_and_exact_stays_exact():
    # Kleopatra's centroids and a shell around it: with a tolerance the tree
    # engine evaluates them (the points are enough for it to be the faster),
    # within that tolerance of the exact sum; a later call without one is
    # the exact sum again, bit for bit.
    m = polyfield.Model(data("models/kleopatra.stl"))
    exact_U, exact_g = m.field(np.array([[0.0, 0.0, 0.0]]))
    rng = np.random.default_rng(7)
    d = rng.normal(size=(20000, 3))
    p = 200.0 * d / np.linalg.norm(d, axis=1)[:, None]
    U0, g0 = m.field(p)
    for tolerance in (1e-8, 1e-13):
        U, g = m.field(p, tolerance=tolerance)
        assert np.abs(U - U0).max() <= tolerance * np.abs(U0).max()
        assert np.abs(g - g0).max() <= tolerance * np.abs(g0).max()
    U1, g1 = m.field(p)
    assert np.array_equal(U1, U0) and np.array_equal(g1, g0)
    assert np.array_equal(m.field(np.array([[0.0, 0.0, 0.0]]))[0], exact_U)
