"""polyfield.grid and Model.grid: the shapes, the cells by hand, the same
numbers as Model.field at the grid's points and as the program's grid, and
the refusals named as Python parameters.

Run by CTest with PYTHONPATH=build/python and POLYFIELD_BIN=build/bin."""
import os
import subprocess

import numpy as np
import pytest

import polyfield

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CUBE = os.path.join(ROOT, "tests", "data", "cube.stl")
BIN = os.environ.get("POLYFIELD_BIN", os.path.join(ROOT, "build", "bin"))


def test_grid_points_and_their_latitudes_and_longitudes():
    p, lat, lon = polyfield.grid(2.0, (3, 4), centre=(1, 0, 0))
    assert p.shape == (12, 3) and lat.shape == lon.shape == (12,)
    assert list(lat.reshape(3, 4)[:, 0]) == [60, 0, -60]
    assert list(lon.reshape(3, 4)[0]) == [-135, -45, 45, 135]
    r = np.radians
    want = np.stack([1 + 2 * np.cos(r(lat)) * np.cos(r(lon)), 2 * np.cos(r(lat)) * np.sin(r(lon)),
                     2 * np.sin(r(lat))], axis=1)
    assert np.allclose(p, want, rtol=0, atol=1e-15)


def test_model_grid_is_the_field_at_the_grids_points():
    m = polyfield.Model(CUBE, unit="km")
    d = m.grid(50.0, (4, 8), density=2000)
    assert d["U"].shape == d["gr"].shape == d["lat"].shape == (4, 8)
    assert d["g"].shape == d["dg"].shape == d["points"].shape == (4, 8, 3)
    U, g = m.field(d["points"].reshape(-1, 3), density=2000)
    assert np.array_equal(U.reshape(4, 8), d["U"]) and np.array_equal(g.reshape(4, 8, 3), d["g"])
    # About the centre of mass (0.5, 0.5, 0.5): gr is g . r-hat, dg the
    # departure from the point mass of GM = G rho V there.
    c = d["points"] - 0.5
    dist = np.linalg.norm(c, axis=2)
    assert np.allclose(dist, 50, rtol=1e-15)
    assert np.allclose(d["gr"], np.sum(d["g"] * c, axis=2) / dist, rtol=1e-14)
    gm = polyfield.G * 2000 * 1e9
    assert d["GM"] == pytest.approx(gm, rel=1e-15)
    assert np.allclose(d["dg"], d["g"] + gm * c / (dist[..., None] * 1e3) ** 3 * 1e3,
                       rtol=0, atol=1e-15 * gm / (50e3) ** 2)
    assert np.all(np.abs(d["dg"]) < 1e-6 * gm / (50e3) ** 2)


def test_the_programs_grid_bit_for_bit(tmp_path):
    out = tmp_path / "g.npy"
    subprocess.run([os.path.join(BIN, "polyfield"), "field", CUBE, "--sphere", "3", "--grid",
                    "6,12", "--format", "npy", "-o", str(out)], check=True)
    a = np.load(out)
    d = polyfield.Model(CUBE).grid(3, (6, 12))
    assert a.shape == (6, 12)
    assert np.array_equal(a["gr"], d["gr"]) and np.array_equal(a["dgz"], d["dg"][..., 2])
    assert np.array_equal(a["lat"], d["lat"]) and np.array_equal(a["lon"], d["lon"])


def test_refusals_name_the_parameters():
    m = polyfield.Model(CUBE)
    with pytest.raises(polyfield.ValueError, match="^radius: a positive number"):
        m.grid(0, (2, 2))
    with pytest.raises(polyfield.ValueError, match="^shape: rows and columns NLAT, NLON"):
        polyfield.grid(1, (2, 0))


def test_npz_an_array_a_column_and_the_header(tmp_path):
    # numpy and zipfile read the archive; the header keeps a non-ASCII name.
    import shutil
    import zipfile
    model = tmp_path / "cubé.stl"
    shutil.copy(CUBE, model)
    out = tmp_path / "g.npz"
    subprocess.run([os.path.join(BIN, "polyfield"), "field", str(model), "--sphere", "3", "--grid",
                    "6,12", "--format", "npz", "-o", str(out)], check=True)
    assert zipfile.ZipFile(out).testzip() is None
    z = np.load(out)
    assert sorted(z.files) == sorted(["lat", "lon", "x", "y", "z", "U", "gx", "gy", "gz", "gr",
                                      "dU", "dgx", "dgy", "dgz", "header"])
    d = polyfield.Model(CUBE).grid(3, (6, 12))
    assert z["gr"].shape == (6, 12) and z["gr"].dtype == np.float64
    assert np.array_equal(z["gr"], d["gr"]) and np.array_equal(z["dU"], d["dU"])
    header = list(z["header"])
    assert header[1].startswith("model: " + str(model) + " (8 vertices")
    assert header[-1].split("\t")[:3] == ["lat[deg]", "lon[deg]", "x"]
    # A surface table too, its header with the summary.
    out = tmp_path / "s.npz"
    subprocess.run([os.path.join(BIN, "polyfield"), "surface", CUBE, "--summary", "--format",
                    "npz", "-o", str(out)], check=True)
    z = np.load(out)
    assert z["U/U0"].shape == (12,) and list(z["facet"]) == list(range(12))
    assert any(h.startswith("volume: 1") for h in z["header"])


def test_shell_at_an_altitude_above_the_surface():
    # Above the unit cube, about its centre: 1/2 over the direction's largest
    # component, plus the altitude.
    m = polyfield.Model(CUBE)
    d = m.grid(shape=(6, 12), altitude=1.5)
    u = d["points"] - 0.5
    dist = np.linalg.norm(u, axis=2)
    want = 0.5 / np.max(np.abs(u / dist[..., None]), axis=2) + 1.5
    assert np.allclose(dist, want, rtol=0, atol=1e-14)
    with pytest.raises(polyfield.ValueError, match="^radius and altitude are alternatives"):
        m.grid(2.0, (2, 2), altitude=1.0)
    with pytest.raises(polyfield.ValueError, match="^radius or altitude: give one"):
        m.grid(shape=(2, 2))
