"""The Python module against values worked out independently (the unit
cube's listed value, a sphere, a rotating sphere, the tensor's trace and
differences of the attraction) and against the polyfield program, bit for bit.

Run by CTest with PYTHONPATH=build/python and POLYFIELD_BIN=build/bin."""
import math
import os
import subprocess

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


def test_unit_cube_in_si_units():
    m = polyfield.Model(data("cube.stl"), unit="km")
    assert m.volume == 1.0
    assert m.centroid == (0.5, 0.5, 0.5)
    U, g = m.field(np.array([[0.5, 0.5, 0.5]]), density=2000)
    assert U.shape == (1,) and g.shape == (1, 3)
    # The listed value at the centre, times G rho and 10^6 for km.
    assert U[0] == pytest.approx(2.380077363979554 * G * 2000 * 1e6, rel=1e-12)
    assert np.all(g == 0)


def test_sphere_and_rotating_sphere():
    v, f = icosphere(4, 10.0)
    m = polyfield.Model(v, f, unit="km")
    Grho = G * 3000
    U, g = m.field(np.array([[0.0, 0.0, 0.0], [0.0, 0.0, 20.0]]), density=3000)
    assert U[0] == pytest.approx(2 * math.pi * Grho * 1e8 * 1.0, rel=3e-3)  # 2 pi G rho R^2
    mass_term = 4 / 3 * math.pi * Grho * 1e12  # 4/3 pi G rho R^3 in SI (R = 10 km)
    assert g[1, 2] == pytest.approx(-mass_term / (20e3) ** 2, rel=3e-3)
    s = m.surface(density=3000, spin_period=2.0)
    w2 = (2 * math.pi / 7200) ** 2
    c = s["centroid"] * 1000
    np.testing.assert_allclose(s["geff"][:, 0], s["g"][:, 0] + w2 * c[:, 0], rtol=0, atol=1e-15)
    np.testing.assert_allclose(s["geff"][:, 2], s["g"][:, 2], rtol=0, atol=0)
    d = np.linalg.norm(c, axis=1)
    np.testing.assert_allclose(s["g_norm"], 4 / 3 * math.pi * Grho * d, rtol=1e-2)
    assert s["summary"]["mass"] == pytest.approx(3000 * m.volume * 1e9)


def test_tensor_trace_and_differences():
    m = polyfield.Model(data("models/kleopatra.vf.txt"))
    p = np.array([[0.0, 0.0, 0.0], [200.0, 150.0, 100.0]])
    U, g, T = m.field(p, gradient=True)
    assert T.shape == (2, 6)
    trace = T[:, 0] + T[:, 3] + T[:, 5]
    assert trace[0] == pytest.approx(-4 * math.pi, rel=1e-9)
    assert abs(trace[1]) < 1e-9 * abs(T[1, 0])
    h = 1e-4
    for k, (a, b) in enumerate([(0, 0), (0, 1), (0, 2), (1, 1), (1, 2), (2, 2)]):
        step = np.zeros(3)
        step[b] = h
        _, gp = m.field(p + step)
        _, gm = m.field(p - step)
        np.testing.assert_allclose(T[:, k], (gp[:, a] - gm[:, a]) / (2 * h), rtol=0,
                                   atol=1e-6 * np.abs(T[:, [0, 3, 5]]).max())


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


def test_threads_give_the_same_bits():
    m = polyfield.Model(data("models/kleopatra.stl"))
    p = np.random.default_rng(7).uniform(-150, 150, size=(500, 3))
    a = m.field(p, threads=1)
    b = m.field(p, threads=3)
    assert a[0].tobytes() == b[0].tobytes() and a[1].tobytes() == b[1].tobytes()


def test_errors_carry_the_programs_messages():
    with pytest.raises(polyfield.Error) as e:
        polyfield.Model("/nonexistent.obj")
    assert str(e.value) == "/nonexistent.obj: cannot be opened"
    assert program("field", "/nonexistent.obj", "-").stderr == "polyfield: /nonexistent.obj: cannot be opened\n"
    v, f = icosphere(1, 1.0)
    holed = polyfield.Model(v, f[1:])
    assert holed.check()["fit"] is False
    with pytest.raises(polyfield.Error, match="unfit for the field formulas: not closed"):
        holed.field(np.zeros((1, 3)))
    U, _ = holed.field(np.array([[5.0, 0, 0]]), check=False)
    assert np.isfinite(U[0])
    with pytest.raises(polyfield.Error, match="spin-period needs --density"):
        polyfield.Model(v, f).surface(spin_period=3.0)
    with pytest.raises(polyfield.Error, match="vertex 99 does not exist"):
        polyfield.Model(v, np.array([[0, 1, 99]]))
    with pytest.raises(polyfield.Error, match="tolerance"):
        polyfield.Model(v, f).field(np.zeros((1, 3)), tolerance=2.0)


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
