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



def test_body_grid_is_the_programs_about_the_centre_of_mass_of_all(tmp_path):
    # The cube and a point mass (centre of mass (0.625, 0.5, 0.5)): the
    # program's bits, the total GM.
    q = [[0.75, 0.5, 0.5, 5e11]]
    d = polyfield.Body([(CUBE, 500)], mascons=np.array(q), unit="km").grid(shape=(4, 8),
                                                                             altitude=0.5)
    assert d["GM"] == pytest.approx(polyfield.G * 1e12, rel=1e-15)
    np.savetxt(tmp_path / "m.txt", q)
    subprocess.run([os.path.join(BIN, "polyfield"), "field", CUBE, "--density", "500", "--unit",
                    "km", "--mascons", str(tmp_path / "m.txt"), "--altitude", "0.5", "--grid",
                    "4,8", "--format", "npy", "-o", str(tmp_path / "g.npy")], check=True)
    a = np.load(tmp_path / "g.npy")
    assert np.array_equal(a["dU"], d["dU"]) and np.array_equal(a["x"], d["points"][..., 0])


def test_netcdf_read_back_is_the_tsv_bit_for_bit(tmp_path):
    netCDF4 = pytest.importorskip("netCDF4")
    run = [os.path.join(BIN, "polyfield"), "field", CUBE, "--density", "1000", "--unit", "km",
           "--add", CUBE + ":-400", "--sphere", "3", "--grid", "5,8"]
    subprocess.run(run + ["-o", str(tmp_path / "g.tsv")], check=True)
    run += ["--format", "nc", "-o", str(tmp_path / "g.nc")]
    subprocess.run(run, check=True)
    table = np.loadtxt(tmp_path / "g.tsv")
    names = [line[2:].split("\t") for line in open(tmp_path / "g.tsv") if line[:5] == "# lat"][0]
    names = [n.split("[")[0] for n in names]
    with netCDF4.Dataset(tmp_path / "g.nc") as f:
        assert f.data_model == "NETCDF3_64BIT_OFFSET" and f["gr"].dimensions == ("lat", "lon")
        assert np.array_equal(np.repeat(f["lat"][:], 8), table[:, 0])
        assert np.array_equal(np.tile(f["lon"][:], 5), table[:, 1])
        for i, name in enumerate(names[2:], start=2):
            assert np.array_equal(np.asarray(f[name][:]).ravel(), table[:, i]), name
        assert f["U"].units == "m2 s-2" and f["gr"].units == "m s-2" and f["x"].units == "km"
        assert f.history == " ".join(["polyfield"] + run[1:])
        assert f.GM == pytest.approx(polyfield.G * 600 * 1e9, rel=1e-15)
        assert list(f.centre_of_mass) == [0.5, 0.5, 0.5] and f.grid_radius == 3
        assert "part 2: " + CUBE + ", density -400 kg/m^3" in f.comment
    header = subprocess.run(["ncdump", "-h", str(tmp_path / "g.nc")], check=True,
                            capture_output=True, text=True).stdout
    for want in (':Conventions = "CF-1.8"', 'lat:units = "degrees_north"', ":title = ",
                 'lon:standard_name = "longitude"', 'dU:long_name = "potential less'):
        assert want in header, want


def test_grid_as_an_xarray_dataset_keeps_the_dict_by_default(tmp_path):
    xr = pytest.importorskip("xarray")
    m = polyfield.Model(CUBE, unit="km")
    d = m.grid(3.0, (4, 8), density=2000)
    ds = m.grid(3.0, (4, 8), density=2000, as_xarray=True)
    assert isinstance(d, dict) and isinstance(ds, xr.Dataset)
    assert dict(ds.sizes) == {"lat": 4, "lon": 8}
    assert np.array_equal(ds["lat"].values, d["lat"][:, 0])
    assert np.array_equal(ds["U"].values, d["U"]) and np.array_equal(ds["dgz"], d["dg"][..., 2])
    assert ds["U"].attrs["units"] == "m2 s-2" and ds.attrs["GM"] == d["GM"]
    assert ds.attrs["history"].endswith("polyfield.Model.grid(radius=3, shape=(4, 8), ...)")
    assert ds.attrs["density"] == 2000
    # A body's, against the program's file read by xarray.
    q = [[0.5, 0.5, 0.8, 1e12]]
    np.savetxt(tmp_path / "m.txt", q)
    subprocess.run([os.path.join(BIN, "polyfield"), "field", CUBE, "--density", "2000", "--unit",
                    "km", "--mascons", str(tmp_path / "m.txt"), "--sphere", "5", "--grid", "4,8",
                    "--format", "nc", "-o", str(tmp_path / "p.nc")], check=True)
    program = xr.open_dataset(tmp_path / "p.nc")
    mine = polyfield.Body([(CUBE, 2000)], mascons=np.array(q), unit="km").grid(
        5.0, (4, 8), as_xarray=True)
    for name in ("U", "gx", "gr", "dU", "dgy", "z"):
        assert np.array_equal(program[name].values, mine[name].values), name
    assert list(program.attrs["centre_of_mass"]) == list(mine.attrs["centre_of_mass"])


def test_grid_as_xarray_without_xarray_says_so(monkeypatch):
    import sys
    monkeypatch.setitem(sys.modules, "xarray", None)
    with pytest.raises(ImportError, match="^as_xarray=True needs the xarray package"):
        polyfield.Model(CUBE).grid(3.0, (2, 4), as_xarray=True)
