"""The Python face's units and conveniences: the warnings of a unit likely
slipped and of the G rho = 1 convention, the units each repr names, the
series of Harmonics at points against the closed-form field and a point
mass, refused values as polyfield.ValueError, unknown keywords named with
the nearest known one, the model's arrays, progress callbacks, and check()
under the program's labels.

Run by CTest with PYTHONPATH=build/python and POLYFIELD_BIN=build/bin."""
import gc
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

import polyfield

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DATA = os.path.join(ROOT, "tests", "data")
BIN = os.environ.get("POLYFIELD_BIN", os.path.join(ROOT, "build", "bin"))
EROS = os.path.join(DATA, "models", "eros1708_km.vf.txt")
CUBE = os.path.join(DATA, "cube.vf.txt")
POINTS = np.array([[40.0, 3, -2], [0, 0, 45], [-30, 30, 20]])  # km, outside Eros


@pytest.fixture(scope="module")
def eros():
    return polyfield.Model(EROS, unit="km")


def test_likely_unit_slips_are_warned_and_the_values_kept(eros):
    assert issubclass(polyfield.UnitsWarning, UserWarning)
    with pytest.warns(polyfield.UnitsWarning, match=r"^density 2\.67 kg/m\^3 is outside the 100 "
                      r"to 25000 kg/m\^3 of solid bodies: did you mean g/cm\^3 \(2670 kg/m\^3\)\?$"):
        U, _ = eros.field(POINTS, density=2.67)
    assert U == pytest.approx(eros.field(POINTS, density=2670)[0] / 1000, rel=1e-15)
    with pytest.warns(polyfield.UnitsWarning, match=r"^spin_period 18972 h is more than 1000 h: "
                      r"hours, not seconds\? \(18972 s is 5\.27 h\)$"):
        eros.surface(density=2670, spin_period=18972)
    with pytest.warns(polyfield.UnitsWarning, match=r"is the model in km \(unit km\) rather than m"):
        polyfield.Model(EROS).harmonics(2, mass=6.69e15)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        eros.field(POINTS, density=2670)
        eros.surface(mass=6.69e15, spin_period=5.27)


def test_the_normalised_convention_is_told_once_a_process():
    code = ("import warnings, polyfield; warnings.simplefilter('always'); "
            "m = polyfield.Model(%r)\n"
            "with warnings.catch_warnings(record=True) as w:\n"
            "    warnings.simplefilter('always')\n"
            "    m.field([2.0, 0, 0]); m.surface(); m.field([3.0, 0, 0], density=1000)\n"
            "print(len(w), w[0].category.__name__, str(w[0].message))" % CUBE)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    count, category, message = r.stdout.split(" ", 2)
    assert (count, category) == ("1", "UnitsWarning")
    assert message.startswith("no density, mass or gm given: the results are in the G rho = 1 "
                              "convention")


def test_reprs_name_the_units(eros):
    assert repr(eros).endswith("km^3, lengths in km)")
    h = eros.harmonics(4, reference_radius=16, density=2670)
    assert repr(h) == ("polyfield.Harmonics(degree 4, GM %s m^3/s^2, reference radius 16 km, "
                       "origin (0, 0, 0) km)" % repr(h.GM))
    assert (h.GM_unit, h.length_unit, h.reference_radius_m, h.si) == ("m^3/s^2", "km", 16000, True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", polyfield.UnitsWarning)  # G rho = 1, told once
        n = polyfield.Model(CUBE).harmonics(2, origin="centre-of-mass")
    assert repr(n) == ("polyfield.Harmonics(degree 2, GM 1 m^3 (G rho = 1), reference radius "
                       "%r m (Brillouin), origin (0.5, 0.5, 0.5) m (centre of mass))"
                       % n.reference_radius)
    assert (n.GM_unit, n.si) == ("m^3 (G rho = 1)", False)


def test_the_series_at_points_converges_to_the_field(eros):
    h = eros.harmonics(16, density=2670)
    U, g = eros.field(POINTS, density=2670)
    assert h.potential(POINTS) == pytest.approx(U, rel=1e-7)
    assert np.abs(h.acceleration(POINTS) - g).max() < 1e-6 * np.abs(g).max()
    errors = [np.abs(h.potential(POINTS, max_degree=n) - U).max() for n in (2, 4, 8, 16)]
    assert errors == sorted(errors, reverse=True)
    # Degree 0 is the point mass GM / r, r in metres; one point gives a float.
    r = np.linalg.norm(POINTS, axis=1) * 1000
    assert h.potential(POINTS, max_degree=0) == pytest.approx(h.GM / r, rel=1e-15)
    assert np.allclose(h.acceleration(POINTS, max_degree=0),
                       -h.GM * POINTS * 1000 / r[:, None] ** 3, rtol=1e-14, atol=0)
    assert isinstance(h.potential(POINTS[0]), float) and h.acceleration(POINTS[0]).shape == (3,)
    with pytest.warns(UserWarning, match=r"^1 of the 1 points lie inside the Brillouin sphere"):
        h.potential([5.0, 0, 0])
    with pytest.raises(polyfield.ValueError, match=r"^max_degree: 17 is not a degree from 0 to 16"):
        h.potential(POINTS, max_degree=17)


@pytest.mark.parametrize("call, message", [
    (lambda m: m.harmonics(-1), "^degree: -1 is not a degree from 0 to 1000"),
    (lambda m: m.harmonics(2, origin="centroid"), "is not one of model, centre-of-mass"),
    (lambda m: m.harmonics(2, density=2670).write(os.devnull, format="gfc"), "is not one of tsv"),
    (lambda m: m.harmonics(200, reference_radius=1e-3, density=2670), "overflow$"),
    (lambda m: m.write_colours(np.zeros(m.facets), picture="x.jpg"),
     r"^picture: x\.jpg: the extension \.jpg is not one of \.png, \.pdf, \.svg"),
    (lambda m: m.write_colours(np.zeros(m.facets), latlon="x.tif"), "not one of .png, .pdf"),
])
def test_refused_values_are_value_errors(call, message, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(polyfield.ValueError, match=message):
        call(polyfield.Model(CUBE))
    assert not os.listdir(tmp_path)


@pytest.mark.parametrize("call, message", [
    (lambda m: m.field([2.0, 0, 0], densty=1000),
     "field() got an unexpected keyword argument 'densty'; did you mean 'density'?"),
    (lambda m: polyfield.Model(CUBE, unt="km"),
     "Model() got an unexpected keyword argument 'unt'; did you mean 'unit'?"),
    (lambda m: m.surface(density=1000, spin_perod=5),
     "surface() got an unexpected keyword argument 'spin_perod'; did you mean 'spin_period'?"),
    (lambda m: polyfield.Body([(m, 1000)], mascon=None),
     "Body() got an unexpected keyword argument 'mascon'; did you mean 'mascons'?"),
    (lambda m: m.harmonics(2, density=1000).potential([2.0, 0, 0], max_degre=1),
     "potential() got an unexpected keyword argument 'max_degre'; did you mean 'max_degree'?"),
    (lambda m: polyfield.grid(2.0, (2, 4), center=(0, 0, 0)),
     "grid() got an unexpected keyword argument 'center'; did you mean 'centre'?"),
    (lambda m: polyfield.Model.from_meshio(None, scael=2),
     "from_meshio() got an unexpected keyword argument 'scael'; did you mean 'scale'?"),
    (lambda m: m.inertia(xyz=1),
     "inertia() got an unexpected keyword argument 'xyz' (it takes density, mass, gm, G)"),
])
def test_an_unknown_keyword_is_named(call, message):
    with pytest.raises(TypeError) as e:
        call(polyfield.Model(CUBE))
    assert str(e.value) == message
    # Other mistakes keep pybind11's own message; the methods keep their docs.
    with pytest.raises(TypeError, match="incompatible function arguments"):
        polyfield.Model(CUBE).field("x")
    assert polyfield.Model.field.__doc__.startswith("field(self: polyfield.Model, points:")


def test_vertices_and_faces_are_the_files_read_only():
    lines = open(CUBE).read().split("\n")
    V, F = map(int, lines[0].split())
    want_v = np.loadtxt(lines[1:1 + V]).reshape(V, 3)
    want_f = np.loadtxt(lines[1 + V:1 + V + F], dtype=np.int64).reshape(F, 3)
    m = polyfield.Model(CUBE, unit="km", scale=2)
    v, f = m.vertices, m.faces
    assert v.shape == (V, 3) and f.shape == (F, 3) and v.dtype == np.float64
    assert np.array_equal(v, 2 * want_v) and np.array_equal(f, want_f)
    with pytest.raises(ValueError):
        v[0, 0] = 1
    with pytest.raises(ValueError):
        f[0, 0] = 1
    del m
    gc.collect()
    assert np.array_equal(v, 2 * want_v)  # the arrays keep the model alive


@pytest.mark.parametrize("call", [
    lambda m, p: m.field(np.tile(POINTS, (2000, 1)), density=2670, progress=p),
    lambda m, p: m.surface(density=2670, progress=p),
    lambda m, p: m.grid(40, (8, 16), density=2670, progress=p),
    lambda m, p: m.harmonics(30, density=2670, progress=p),
])
def test_progress_is_told_and_may_stop_the_call(eros, call):
    told = []
    call(eros, told.append)
    assert told and told[-1] == 1.0 and all(0 <= f <= 1 for f in told)
    assert told == sorted(told)

    class Enough(Exception):
        pass

    def stop(fraction):
        raise Enough(fraction)

    with pytest.raises(Enough):
        call(eros, stop)


def test_check_keys_are_the_programs_labels():
    path = os.path.join(DATA, "corpus", "ascii_two_solids_mixed_case_names.stl")
    for model in (CUBE, path):
        r = subprocess.run([os.path.join(BIN, "polyfield"), "check", model], capture_output=True,
                           text=True)
        report = polyfield.Model(model).check()
        lines = dict(line.split("\t") for line in r.stdout.splitlines())
        lines = {k: v for k, v in lines.items() if not k.startswith(("centre", "inertia",
                                                                     "principal"))}
        assert len(lines) >= 15
        for label, text in lines.items():
            value = report[label]
            if label == "STL normals against the winding":
                assert text == "%d of %d" % (value, report["STL normals"])
            elif label == "signed volume":
                assert value == float(text)
            else:
                assert str(value) == text, label
        assert report["boundary_edges"] == report["boundary edges"]  # the names stay
        assert report["fit"] is (report["verdict"] == "fit for the field formulas")


def test_surface_doc_names_every_key(eros):
    s = eros.surface(density=2670, spin_period=5.27)
    doc = polyfield.Model.surface.__doc__
    for key in list(s) + list(s["summary"]):
        assert key in doc, key
