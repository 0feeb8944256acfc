"""The Python face's units and conveniences: warnings of a unit likely
slipped and of the G rho = 1 convention, reprs with units, the series of
Harmonics at points, refused values as polyfield.ValueError, unknown
keywords named, the model's arrays, progress, check() under the program's
labels. The series and the warnings' text are tested in C++ (tests/science).

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


def test_warnings_keep_the_values_and_the_convention_is_told_once(eros):
    with pytest.warns(polyfield.UnitsWarning, match=r"^density 2\.67 kg/m\^3 .* g/cm\^3"):
        U, _ = eros.field(POINTS, density=2.67)
    assert U == pytest.approx(eros.field(POINTS, density=2670)[0] / 1000, rel=1e-15)
    code = ("import warnings, polyfield; warnings.simplefilter('always'); m = polyfield.Model(%r)"
            "\nwith warnings.catch_warnings(record=True) as w:\n    warnings.simplefilter('always')"
            "\n    m.field([2.0, 0, 0]); m.surface(); m.field([3.0, 0, 0], density=1000)\n"
            "print(len(w), w[0].category.__name__, w[0].message)" % CUBE)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert r.stdout.startswith("1 UnitsWarning no density, mass or gm given: the results are in "
                               "the G rho = 1 convention"), r.stderr


def test_harmonics_name_their_units_and_sum_at_points(eros):
    h = eros.harmonics(16, density=2670)
    assert repr(h) == ("polyfield.Harmonics(degree 16, GM %r m^3/s^2, reference radius %r km "
                       "(Brillouin), origin (0, 0, 0) km)" % (h.GM, h.reference_radius))
    assert (h.GM_unit, h.length_unit, h.reference_radius_m) == (
        "m^3/s^2", "km", h.reference_radius * 1000)
    U, g = eros.field(POINTS, density=2670)
    assert h.potential(POINTS) == pytest.approx(U, rel=1e-7)
    assert np.abs(h.acceleration(POINTS) - g).max() < 1e-6 * np.abs(g).max()
    r = np.linalg.norm(POINTS, axis=1) * 1000  # degree 0: the point mass
    assert h.potential(POINTS, max_degree=0) == pytest.approx(h.GM / r, rel=1e-15)
    assert isinstance(h.potential(POINTS[0]), float) and h.acceleration(POINTS[0]).shape == (3,)
    with pytest.warns(UserWarning, match=r"^1 of the 1 points lie inside the Brillouin sphere"):
        h.potential([5.0, 0, 0])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", polyfield.UnitsWarning)
        cube = polyfield.Model(CUBE)
        n = cube.harmonics(1, origin="centre-of-mass")
    assert repr(n).endswith(" m (Brillouin), origin (0.5, 0.5, 0.5) m (centre of mass))")
    assert n.GM_unit == "m^3 (G rho = 1)"  # and the series in G rho = 1, as the field
    assert n.potential([5.0, 0, 0]) == pytest.approx(cube.field([5.0, 0, 0])[0], rel=1e-4)


@pytest.mark.parametrize("call, message", [
    (lambda m: m.harmonics(-1), "^degree: -1 is not a degree from 0 to 1000"),
    (lambda m: m.harmonics(2, origin="centroid"), "is not one of model, centre-of-mass"),
    (lambda m: m.harmonics(2, density=1e3).write(os.devnull, format="gfc"), "is not one of tsv"),
    (lambda m: m.harmonics(200, reference_radius=1e-3, density=1e3), "overflow$"),
    (lambda m: m.harmonics(2, density=1e3).potential([2.0, 0, 0], max_degree=3), "^max_degree"),
    (lambda m: m.write_colours(np.zeros(m.facets), picture="x.jpg"),
     r"^picture: x\.jpg: the extension \.jpg is not one of \.png, \.pdf, \.svg"),
])
def test_refused_values_are_value_errors(call, message, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(polyfield.ValueError, match=message):
        call(polyfield.Model(CUBE))
    assert not os.listdir(tmp_path)


@pytest.mark.parametrize("call, message", [
    (lambda m: m.field([2.0, 0, 0], densty=1000), "field() got an unexpected keyword argument "
     "'densty'; did you mean 'density'?"),
    (lambda m: polyfield.Model(CUBE, unt="km"), "Model() got an unexpected keyword argument "
     "'unt'; did you mean 'unit'?"),
    (lambda m: polyfield.Model.from_meshio(None, scael=2), "from_meshio() got an unexpected "
     "keyword argument 'scael'; did you mean 'scale'?"),
    (lambda m: m.inertia(xyz=1), "inertia() got an unexpected keyword argument 'xyz' (it takes "
     "density, mass, gm, G)"),
])
def test_an_unknown_keyword_is_named(call, message):
    with pytest.raises(TypeError) as e:
        call(polyfield.Model(CUBE))
    assert str(e.value) == message
    with pytest.raises(TypeError, match="incompatible function arguments"):
        polyfield.Model(CUBE).field("x")
    assert polyfield.Model.field.__doc__.startswith("field(self: polyfield.Model, points:")


def test_vertices_and_faces_are_the_files_read_only():
    lines = open(CUBE).read().split("\n")
    V, F = map(int, lines[0].split())
    m = polyfield.Model(CUBE, unit="km", scale=2)
    v, f = m.vertices, m.faces
    assert np.array_equal(v, 2 * np.loadtxt(lines[1:1 + V])) and v.dtype == np.float64
    assert np.array_equal(f, np.loadtxt(lines[1 + V:1 + V + F], dtype=np.int64))
    with pytest.raises(ValueError):
        v[0, 0] = 1
    del m
    gc.collect()
    assert np.array_equal(v, 2 * np.loadtxt(lines[1:1 + V]))  # the arrays keep the model


@pytest.mark.parametrize("call", [
    lambda m, p: m.field(np.tile(POINTS, (2000, 1)), density=2670, progress=p),
    lambda m, p: m.surface(density=2670, progress=p),
    lambda m, p: m.grid(40, (8, 16), density=2670, progress=p),
    lambda m, p: m.harmonics(30, density=2670, progress=p),
])
def test_progress_is_told_and_may_stop_the_call(eros, call):
    told = []
    call(eros, told.append)
    assert told[-1] == 1.0 and told == sorted(told) and told[0] >= 0

    def stop(fraction):
        raise KeyError(fraction)

    with pytest.raises(KeyError):
        call(eros, stop)


def test_check_keys_are_the_programs_labels():
    for model in (CUBE, os.path.join(DATA, "corpus", "ascii_two_solids_mixed_case_names.stl")):
        out = subprocess.run([os.path.join(BIN, "polyfield"), "check", model], capture_output=True,
                             text=True).stdout
        report = polyfield.Model(model).check()
        lines = [line.split("\t") for line in out.splitlines()]
        for label, text in lines[:-5] + lines[-1:] if report["fit"] else lines:
            value = report[label]
            if label == "STL normals against the winding":
                value = "%d of %d" % (value, report["STL normals"])
            assert str(value) == text or value == float(text), label
        assert report["boundary_edges"] == report["boundary edges"]  # the names stay


def test_surface_doc_names_every_key(eros):
    s = eros.surface(density=2670, spin_period=5.27)
    for key in list(s) + list(s["summary"]):
        assert key in polyfield.Model.surface.__doc__, key
