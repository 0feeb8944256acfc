"""polyfield.Body and the placed models, as only the Python face shows them:
the program's body and the module's the same bits, a Body of one part the
Model's, placed models against the original's field at placed points, the
parameters' names in the refusals. The physics of bodies is the library's,
tested in C++ (tests/science/body_parts_test.cpp)."""
import os

import numpy as np
import pytest

import polyfield
from test_polyfield import data, icosphere, program, table

G = 6.67430e-11


def write_vf(path, v, f):
    with open(path, "w") as out:
        out.write("%d %d\n" % (len(v), len(f)))
        out.writelines("%r %r %r\n" % tuple(p) for p in v)
        out.writelines("%d %d %d\n" % tuple(t) for t in f)


@pytest.fixture
def core(tmp_path):
    """A core of radius 15 km at Kleopatra's centre, as a file (inside the
    handle, which is thinner than 40 km across there)."""
    v, f = icosphere(2, 15.0)
    path = str(tmp_path / "core.vf.txt")
    write_vf(path, v, f)
    return path


def test_body_equals_program_to_the_last_bit(core, tmp_path):
    model = data("models/kleopatra.stl")
    masses = tmp_path / "mascons.txt"
    masses.write_text("# x y z mass\n10 0 0 1e15\n-20, 5, 3, -2e14\n")
    pts = np.array([[0.0, 0.0, 0.0], [150.0, 20.0, 10.0], [37.5, -61.25, 12.0]])
    stdin = "".join("%r %r %r\n" % tuple(q) for q in pts)
    args = ["--density", "3600", "--unit", "km", "--add", core + ":-1200", "--mascons", str(masses)]
    r = program("field", model, "-", "--gradient", *args, stdin=stdin)
    assert r.returncode == 0, r.stderr
    assert "# part 2: %s, density -1200 kg/m^3, 320 facets, mass " % core in r.stdout
    names, rows = table(r.stdout)
    body = polyfield.Body([(polyfield.Model(model, unit="km"), 3600), (core, -1200)],
                          mascons=str(masses))
    U, g, T = body.field(pts, gradient=True)
    assert rows[:, names.index("U")].tobytes() == U.tobytes()
    assert rows[:, [names.index(n) for n in ("gx", "gy", "gz")]].tobytes() == np.ascontiguousarray(g).tobytes()
    assert rows[:, names.index("Uxx"):].tobytes() == T.tobytes()
    # Point masses as an array give the same bits as their file.
    same = polyfield.Body([(polyfield.Model(model, unit="km"), 3600), (core, -1200)],
                          mascons=[[10, 0, 0, 1e15], [-20, 5, 3, -2e14]])
    assert same.field(pts)[0].tobytes() == U.tobytes()
    r = program("surface", model, "--spin-period", "5.385", "--summary", *args)
    assert r.returncode == 0, r.stderr
    names, rows = table(r.stdout)
    s = body.surface(spin_period=5.385)
    for key in ("slope", "slopeeff", "U/U0", "U"):
        assert rows[:, names.index(key)].tobytes() == s[key].tobytes(), key
    mass = [l for l in r.stdout.splitlines() if l.startswith("# mass: ")][0]
    assert float(mass.split()[2]) == s["summary"]["mass"] == body.mass
    out = tmp_path / "body.tsv"
    r = program("harmonics", model, "--degree", "4", "-o", str(out), *args)
    assert r.returncode == 0, r.stderr
    h = body.harmonics(4)
    h.write(str(tmp_path / "module.tsv"))
    rows = np.loadtxt(out)
    assert rows[:, 2].tobytes() == np.array([h.C[n, m] for n in range(5) for m in range(n + 1)]).tobytes()


def test_a_body_of_one_part_is_the_model():
    model = polyfield.Model(data("models/kleopatra.stl"), unit="km")
    pts = np.array([[0.0, 0.0, 0.0], [150.0, 20.0, 10.0]])
    body = polyfield.Body([(model, 3600)])
    a, b = body.field(pts), model.field(pts, density=3600)
    assert a[0].tobytes() == b[0].tobytes() and a[1].tobytes() == b[1].tobytes()
    assert body.surface()["summary"]["inertia"]["tensor"].tobytes() == \
        model.surface(density=3600)["summary"]["inertia"]["tensor"].tobytes()
    assert body.mass == model.surface(density=3600)["summary"]["mass"]


def test_placed_models_move_their_field():
    model = polyfield.Model(data("cube.stl"))
    p = np.array([[2.0, 0.3, 0.1], [0.5, 0.5, 0.5]])
    U = model.field(p)[0]
    moved = model.translated([10.0, -5.0, 2.0])
    assert np.allclose(moved.field(p + [10.0, -5.0, 2.0])[0], U, rtol=1e-13, atol=0)
    assert np.allclose(model.scaled(2).field(2 * p)[0], 4 * U, rtol=1e-13, atol=0)
    c, s = np.cos(0.4), np.sin(0.4)
    R = np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]])
    turned = model.rotated(R)
    assert np.allclose(turned.field(p @ R.T)[0], U, rtol=1e-13, atol=0)
    assert model.field(p)[0].tobytes() == U.tobytes()  # the original unchanged
    assert moved.volume == model.volume
    with pytest.raises(polyfield.ValueError, match="^matrix: not a rotation"):
        model.rotated(np.diag([1.0, 1.0, -1.0]))
    with pytest.raises(polyfield.ValueError, match="^offset: three finite numbers"):
        model.translated([0, np.nan, 0])


def test_a_core_placed_without_a_file():
    mantle = polyfield.Model(*icosphere(3, 1.0))
    core = polyfield.Model(*icosphere(2, 0.3)).translated([0.2, 0, 0])
    body = polyfield.Body([(mantle, 2000), (core, 1500)])
    x = 0.2 * 1500 * core.volume / (2000 * mantle.volume + 1500 * core.volume)
    assert body.centre_of_mass[0] == pytest.approx(x, rel=1e-12)
    with pytest.warns(UserWarning, match=r"part 2 overlaps part 1 \(arrays\)"):
        summary = body.surface()["summary"]
    assert summary["centre_of_mass"][0] == pytest.approx(x, rel=1e-12)


def test_refusals_name_the_parameters(tmp_path):
    cube = data("cube.stl")
    with pytest.raises(polyfield.ValueError, match=r"^parts\[1\]: density 0 is not a finite non-zero"):
        polyfield.Body([(cube, 1000), (cube, 0)])
    with pytest.raises(polyfield.ValueError, match=r"^parts\[0\]: a \(model or path, density\) pair"):
        polyfield.Body([cube])
    bad = tmp_path / "m.txt"
    bad.write_text("1 2 3 4\n1 2 x 4\n")
    with pytest.raises(polyfield.Error, match="m.txt:2: expected four finite numbers x y z mass"):
        polyfield.Body([(cube, 1000)], mascons=str(bad))
    with pytest.raises(polyfield.ValueError, match=r"^mascons: row 0 \(0, 0, 0, nan\)"):
        polyfield.Body([(cube, 1000)], mascons=[[0, 0, 0, np.nan]])
    empty = polyfield.Body([(cube, 1000)], mascons=[[0.5, 0.5, 0.5, -1000]])
    with pytest.raises(polyfield.ValueError, match="need a positive total mass"):
        empty.surface()
    with pytest.raises(polyfield.ValueError, match="need a positive total mass"):
        empty.harmonics(2)
    assert np.isfinite(empty.field([3.0, 3, 3])[0])


def test_a_cavity_must_lie_inside_its_host(tmp_path):
    # The unit cube at 1000 kg/m^3 with a box at -1000 poking out of its side
    # x = 1, then one on its floor, then a core of +500: masses by hand.
    cube = data("cube.vf.txt")
    unit = polyfield.Model(cube)
    poke = unit.scaled(0.5).translated([0.75, 0.25, 0.25])
    floor = unit.scaled(0.5).translated([0.25, 0.25, 0])
    core = unit.scaled(0.25).translated([0.25, 0.25, 0.25])
    body = polyfield.Body([(cube, 1000), (poke, -1000)])
    message = (r"^%s scaled translated: part 2, of density -1000 kg/m\^3, reaches outside the parts "
               r"of positive density \(a negative mass in empty space\): its vertex at 1\.25 .* m "
               r"lies outside them \(check=False evaluates anyway\)$" % cube)
    for call in (lambda: body.field([2.0, 2, 2]), lambda: body.surface(), lambda: body.harmonics(1)):
        with pytest.raises(polyfield.Error, match=message):
            call()
    assert np.isfinite(body.field([2.0, 2, 2], check=False)[0])
    assert body.mass == 875
    inside = polyfield.Body([(cube, 1000), (floor, -1000)])
    assert np.isfinite(inside.field([2.0, 2, 2])[0]) and inside.mass == 875
    layered = polyfield.Body([(cube, 1000), (core, 500)])
    with pytest.warns(UserWarning) as told:
        layered.field([2.0, 2, 2])
    assert [str(w.message) for w in told] == [
        "%s scaled translated: part 2 overlaps part 1 (%s), both of positive density: their "
        "densities add where they overlap (1000 + 500 = 1500 kg/m^3)" % (cube, cube)]
    assert layered.mass == 1000 + 500 / 64
