"""Model.harmonics against the polyfield program, bit for bit and byte for
byte, and its arrays, properties and refusals.

Run by CTest with PYTHONPATH=build/python and POLYFIELD_BIN=build/bin."""
import os
import subprocess

import numpy as np
import pytest

import polyfield

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EROS = os.path.join(ROOT, "tests", "data", "models", "eros1708_km.vf.txt")
BIN = os.environ.get("POLYFIELD_BIN", os.path.join(ROOT, "build", "bin"))
ARGS = ["--degree", "12", "--reference-radius", "16", "--density", "2670", "--unit", "km"]


def run(*args):
    return subprocess.run([os.path.join(BIN, "polyfield"), "harmonics", EROS, *args],
                          capture_output=True)


@pytest.fixture(scope="module")
def eros():
    return polyfield.Model(EROS, unit="km").harmonics(12, reference_radius=16, density=2670)


def test_arrays_are_the_programs_rows(eros):
    r = run(*ARGS)
    assert r.returncode == 0, r.stderr
    rows = [line.split(b"\t") for line in r.stdout.splitlines() if not line.startswith(b"#")]
    assert len(rows) == 13 * 14 // 2
    for n, m, C, S in rows:
        n, m = int(n), int(m)
        assert eros.C[n, m] == float(C) and eros.S[n, m] == float(S)
    assert eros.C.shape == eros.S.shape == (13, 13)
    assert not np.triu(eros.C, 1).any() and not np.triu(eros.S, 1).any()
    assert eros.degree == 12 and eros.reference_radius == 16 and eros.origin == (0, 0, 0)
    assert eros.GM == pytest.approx(446310, rel=0.01)  # NEAR's GM, 0.5 % above the shape's


@pytest.mark.parametrize("fmt", ["tsv", "csv", "npy", "icgem", "shadr"])
def test_files_are_the_programs(eros, tmp_path, fmt):
    mine, theirs = tmp_path / ("module." + fmt), tmp_path / ("program." + fmt)
    eros.write(str(mine), format=fmt)
    assert run(*ARGS, "--format", fmt, "-o", str(theirs)).returncode == 0
    assert mine.read_bytes() == theirs.read_bytes()


def test_without_density_the_volume_and_the_brillouin_radius():
    h = polyfield.Model(EROS).harmonics(2)
    assert h.GM == pytest.approx(2491.6158371488, rel=1e-12)
    assert h.reference_radius == pytest.approx(17.648090562106965, rel=1e-15)
    about = polyfield.Model(EROS).harmonics(1, origin="centre-of-mass")
    assert abs(about.C[1]).max() < 1e-15 and abs(about.S[1]).max() < 1e-15


@pytest.mark.parametrize("call, message", [
    (lambda m: m.harmonics(-1), "^degree: -1 is not a degree from 0 to 1000"),
    (lambda m: m.harmonics(2, reference_radius=0), "^reference_radius: not a positive number"),
    (lambda m: m.harmonics(2, origin="centroid"), "is not one of model, centre-of-mass"),
    (lambda m: m.harmonics(2).write(os.devnull, format="shadr"), "shadr needs a density, mass or GM"),
    (lambda m: m.harmonics(2).write(os.devnull, format="gfc"), "is not one of tsv, csv"),
])
def test_refusals(call, message):
    with pytest.raises(polyfield.Error, match=message):
        call(polyfield.Model(EROS))


def test_the_constant_given_is_the_constant_written(tmp_path):
    cube = polyfield.Model(os.path.join(ROOT, "tests", "data", "cube.vf.txt"))
    for model in (polyfield.Model(EROS, unit="km"), cube):
        plain, h = model.harmonics(4), model.harmonics(4, gm=4.46e5)
        assert h.GM == 4.46e5 and model.harmonics(4, mass=7.0).GM == 7.0 * 6.6743e-11
        for other in (h, model.harmonics(4, density=2670)):  # a density scales GM alone
            assert other.C.tobytes() == plain.C.tobytes() and other.S.tobytes() == plain.S.tobytes()
    h.write(str(tmp_path / "cube.gfc"), format="icgem")
    assert "\nearth_gravity_constant  4.46e+05\n" in (tmp_path / "cube.gfc").read_text()
    assert cube.harmonics(2, density=1000).GM == 6.6743e-11 * 1000  # G rho V, V = 1
    assert polyfield.Body([(cube, 1000), (cube, 500)]).harmonics(2).GM == 6.6743e-11 * 1500


def test_names_stay_text(tmp_path):
    # A newline, NEL and the line separator in the name: every reader, and
    # str.splitlines(), finds one header, a one-word modelname and the rows.
    name = tmp_path / "x\nend_of_head ==\ngfc 2 0 9 0 0 0\x85begin_of_head\u2028q.vf.txt"
    name.write_bytes(open(os.path.join(ROOT, "tests", "data", "cube.vf.txt"), "rb").read())
    h = polyfield.Model(str(name)).harmonics(2, density=1000)
    for fmt in ("icgem", "tsv"):
        h.write(str(tmp_path / fmt), format=fmt)
        lines = (tmp_path / fmt).read_text(encoding="utf-8").splitlines()
        first = [line.split()[0] for line in lines]
        if fmt == "icgem":
            end = first.index("end_of_head")
            assert first.count("begin_of_head") == 1 and first[end:] == ["end_of_head"] + ["gfc"] * 6
            assert [line.split() for line in lines if line.startswith("modelname")] == \
                [["modelname", "x_end_of_head____gfc_2_0_9_0_0_0_begin_of_head_q"]]
        else:
            assert first.count("#") == len(lines) - 6
