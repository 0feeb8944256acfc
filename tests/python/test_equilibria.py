"""The equilibria through both faces: the module's arrays (shapes, dtypes),
the program's table in TSV and NPZ read back by numpy with the same bits,
the refusals spelled each face's way. The physics is tested in C++
(tests/science/equilibria_test.cpp)."""
import io
import os
import subprocess
import zipfile

import numpy as np
import pytest

import polyfield

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EROS = os.path.join(ROOT, "tests", "data", "models", "eros1708_km.vf.txt")
BIN = os.environ.get("POLYFIELD_BIN", os.path.join(ROOT, "build", "bin"))
ARGS = ["--unit", "km", "--density", "2670", "--spin-period", "5.270", "--seeds", "24"]


def program(*args):
    return subprocess.run([os.path.join(BIN, "polyfield"), "equilibria", *args],
                          capture_output=True)


@pytest.fixture(scope="module")
def eros():
    m = polyfield.Model(EROS, unit="km")
    return m.equilibria(density=2670, spin_period=5.270, seeds=24)


def test_arrays(eros):
    K = 5
    assert eros["positions"].shape == (K, 3)
    assert eros["eigenvalues"].shape == (K, 6) and eros["eigenvalues"].dtype == np.complex128
    for name in ("jacobi", "potential", "axis_distance", "residual", "error"):
        assert eros[name].shape == (K,) and eros[name].dtype == np.float64
    for name in ("stable", "inside"):
        assert eros[name].dtype == np.bool_
    assert list(eros["case"]) == [5, 2, 5, 2, 1]
    assert eros["inside"].sum() == 1 and eros["complete"]
    np.testing.assert_array_equal(eros["jacobi"], -eros["potential"])
    # The eigenvalues come in pairs +-lambda: the motion is Hamiltonian.
    for row in eros["eigenvalues"]:
        assert np.allclose(np.sort_complex(row), np.sort_complex(-row), atol=1e-12)


def test_program_tsv_and_npz_have_the_module_bits(eros, tmp_path):
    r = program(EROS, *ARGS)
    assert r.returncode == 0, r.stderr
    text = r.stdout.decode()
    assert "# completeness: established" in text
    names = [line for line in text.splitlines() if line.startswith("# x[km]")][0][2:].split("\t")
    rows = np.loadtxt(io.StringIO(text), comments="#", ndmin=2)
    col = {n.split("[")[0]: rows[:, i] for i, n in enumerate(names)}
    np.testing.assert_array_equal(np.stack([col["x"], col["y"], col["z"]], 1), eros["positions"])
    np.testing.assert_array_equal(col["jacobi"], eros["jacobi"])
    np.testing.assert_array_equal(col["re1"] + 1j * col["im1"], eros["eigenvalues"][:, 0])
    np.testing.assert_array_equal(col["case"], eros["case"])
    out = tmp_path / "eq.npz"
    r = program(EROS, *ARGS, "--format", "npz", "-o", str(out))
    assert r.returncode == 0, r.stderr
    with np.load(out) as z:
        np.testing.assert_array_equal(z["im6"], eros["eigenvalues"][:, 5].imag)
        assert "completeness: established" in "".join(str(x) for x in z["header"])
    assert zipfile.is_zipfile(out)


def test_body_of_a_part_is_the_model(eros):
    body = polyfield.Body([(polyfield.Model(EROS, unit="km"), 2670)])
    b = body.equilibria(spin_period=5.270, seeds=24)
    np.testing.assert_array_equal(b["positions"], eros["positions"])


def test_refusals():
    m = polyfield.Model(EROS, unit="km")
    with pytest.raises(polyfield.ValueError, match="^spin_period is needed"):
        m.equilibria(density=2670)
    with pytest.raises(polyfield.ValueError, match="^spin_axis: three finite"):
        m.equilibria(density=2670, spin_period=5, spin_axis=(0, float("nan"), 1))
    with pytest.raises(polyfield.ValueError, match="^spin_period needs density, mass or gm"):
        m.equilibria(spin_period=5)
    r = program(EROS, "--unit", "km", "--density", "2670")
    assert r.returncode == 1
    assert r.stderr.decode() == ("polyfield: --spin-period is needed: the equilibria are those "
                                 "of the spinning body\n")
    r = program(EROS, "--unit", "km", "--density", "2670", "--spin-period", "5",
                "--spin-axis", "0,0,0")
    assert r.returncode == 1 and "--spin-axis: three finite" in r.stderr.decode()


def test_continuation_both_faces():
    m = polyfield.Model(EROS, unit="km")
    c = m.equilibria(density=2670, spin_period=5.270, continuation="spin-period:5.27:4")
    assert c["parameter"] == "spin-period" and c["complete"]
    [event] = c["events"]  # two created near the centre as the spin rises
    assert not event["annihilation"] and not event["surface"]
    for b in c["branches"]:
        assert b["positions"].shape == (len(b["parameter"]), 3) and b["index"].dtype == np.int32
    r = program(EROS, *ARGS[:-2], "--continue", "spin-period:5.27:4")
    assert r.returncode == 0, r.stderr
    line = [x for x in r.stdout.decode().splitlines() if x.startswith("# event:")]
    assert line == ["# event: at spin-period %r h two equilibria are created at %r %r %r km "
                    "(branch %d turns there)" % (event["parameter"], *event["position"],
                                                 event["branch"] + 1)]
    with pytest.raises(polyfield.ValueError, match='^continuation: "spin:1:2" is not'):
        m.equilibria(density=2670, spin_period=5.27, continuation="spin:1:2")


def test_plane_grid_of_the_effective_potential(eros, tmp_path):
    out = tmp_path / "plane.npz"
    r = program(EROS, *ARGS, "--grid", "160,100", "--plane", "0,0,1", "--format", "npz",
                "-o", str(out))
    assert r.returncode == 0, r.stderr
    with np.load(out) as z:
        V, x, y, z_, inside = z["V"], z["x"], z["y"], z["z"], z["inside"]
        header = list(z["header"])
    assert V.shape == (100, 160) and inside.any() and not inside.all()
    com = eros["centre_of_mass"]
    np.testing.assert_allclose(z_, com[2], atol=1e-12)
    # Near each equilibrium outside (they lie within 0.2 km of the plane)
    # the grid's V is its V, to the grid's spacing squared.
    for p, v in zip(eros["positions"][~eros["inside"]], eros["potential"][~eros["inside"]]):
        i = np.argmin((x - p[0]) ** 2 + (y - p[1]) ** 2)
        assert abs(V.flat[i] / v - 1) < 3e-3
    assert sum(line.startswith("equilibrium ") for line in header) == 5
    r = program(EROS, *ARGS, "--grid", "1,100")
    assert r.returncode == 1 and "--grid: NU,NV cells from 2 to 4096" in r.stderr.decode()


def test_zero_velocity_figure_both_faces(tmp_path):
    """picture= draws the program's figure: a PNG of the program's bytes,
    and an SVG whose texts (read by Python's XML parser) name every
    equilibrium E1..EK."""
    import xml.etree.ElementTree as ET
    m = polyfield.Model(EROS, unit="km")
    png = str(tmp_path / "zv.png")
    e = m.equilibria(density=2670, spin_period=5.270, seeds=24, picture=png)
    out = tmp_path / "p.png"
    r = program(EROS, *ARGS, "--picture", str(out), "-o", str(tmp_path / "eq.tsv"))
    assert r.returncode == 0, r.stderr
    assert open(png, "rb").read() == out.read_bytes()
    svg = str(tmp_path / "zv.svg")
    m.equilibria(density=2670, spin_period=5.270, seeds=24, picture=svg)
    texts = [t.text for t in ET.parse(svg).getroot().iter("{http://www.w3.org/2000/svg}text")]
    K = len(e["jacobi"])
    assert K == 5
    assert ["E%d" % (i + 1) for i in range(K)] == [t for t in texts if t.startswith("E")]
    assert "x [km]" in texts and "y [km]" in texts
    with pytest.raises(polyfield.ValueError, match="picture= and continuation="):
        m.equilibria(density=2670, spin_period=5.270, picture=png,
                     continuation="spin-period:5.27:5")
    with pytest.raises(polyfield.Error):
        m.equilibria(density=2670, spin_period=5.270, picture=EROS)
