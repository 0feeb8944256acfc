"""Model.field_vjp, field_jvp and field_jacobian and Body's, as only the
Python face shows them: shapes, units (SI per model unit against the
G rho = 1 convention), the three products against each other and against
central differences of the module's own field on rebuilt models, point
masses, and the refusals with the Python parameters' names. The closed
forms themselves are tested in C++ (tests/science/derivatives_test.cpp)."""
import numpy as np
import pytest

import polyfield
from test_polyfield import data, icosphere

G = 6.67430e-11
EROS = data("models/eros1708_km.vf.txt")


def eros():
    return polyfield.Model(EROS, unit="km")


def vertices_of(model):
    v, f, *_ = model.__getstate__()[1:3]
    return np.array(v), np.array(f)


def test_shapes_and_the_products_agree():
    m = eros()
    V = len(vertices_of(m)[0])
    pts = np.array([[20.0, 3, 1], [0, 12, 4], [1, 1, 0.5]])
    J = m.field_jacobian(pts, density=2670, gradient=True)
    assert J["vertices"].shape == (3, 10, V, 3)
    assert J["density"].shape == (3, 10)
    assert J["matrix"].shape == (30, 3 * V + 1)
    rng = np.random.default_rng(7)
    wU, wg, wT = rng.normal(size=3), rng.normal(size=(3, 3)), rng.normal(size=(3, 6))
    r = m.field_vjp(pts, dU=wU, dg=wg, dT=wT, density=2670)
    assert r["vertices"].shape == (V, 3)
    w = np.concatenate([wU[:, None], wg, wT], axis=1)
    expect = np.einsum("nk,nkvc->vc", w, J["vertices"])
    assert np.allclose(r["vertices"], expect, rtol=1e-12, atol=1e-12 * abs(expect).max())
    assert r["density"] == pytest.approx(np.sum(w * J["density"]), rel=1e-12)
    dv = rng.normal(size=(V, 3)) * 1e-3
    dU, dg, dT = m.field_jvp(pts, dvertices=dv, ddensity=5.0, density=2670, gradient=True)
    full = J["matrix"] @ np.concatenate([dv.ravel(), [5.0]])
    assert np.allclose(np.concatenate([dU[:, None], dg, dT], axis=1).ravel(), full, rtol=1e-10,
                       atol=1e-12 * abs(full).max())


def test_against_differences_of_the_field_and_the_units():
    """Moving one vertex of Eros (km) by 1 m either way: the field's change
    over 2 m against the derivative per km; the density's column is U over
    the density; G rho = 1 is the SI result over G rho times the metres."""
    m = eros()
    v, f = vertices_of(m)
    pts = np.array([[18.0, 2, 1], [3, -1, 0.5]])
    J = m.field_jacobian(pts, density=2670)
    U, g = m.field(pts, density=2670)
    assert np.allclose(J["density"][:, 0], U / 2670, rtol=1e-14)
    assert np.allclose(J["density"][:, 1:], g / 2670, rtol=1e-13, atol=1e-20)
    h = 1e-3
    for i in (0, 100, 500):
        for a in range(3):
            fields = []
            for s in (h, -h):
                w = v.copy()
                w[i, a] += s
                fields.append(polyfield.Model(w, f, unit="km").field(pts, density=2670))
            dU = (fields[0][0] - fields[1][0]) / (2 * h)
            dg = (fields[0][1] - fields[1][1]) / (2 * h)
            assert np.allclose(J["vertices"][:, 0, i, a], dU, rtol=1e-5, atol=1e-9 * abs(dU).max())
            assert np.allclose(J["vertices"][:, 1:, i, a], dg, rtol=1e-5,
                               atol=1e-6 * abs(dg).max())
    plain = m.field_jacobian(pts)
    assert np.allclose(plain["vertices"] * G * 2670 * 1e3 ** np.array([2, 1, 1, 1])[None, :, None, None],
                       J["vertices"], rtol=1e-13, atol=0)


def test_body_of_parts_and_point_masses(tmp_path):
    v, f = icosphere(2, 10.0)
    core_v, core_f = icosphere(1, 4.0)
    outer = polyfield.Model(np.array(v), np.array(f), unit="km")
    core = polyfield.Model(np.array(core_v), np.array(core_f), unit="km")
    body = polyfield.Body([(outer, 2000), (core, -500)], mascons=np.array([[3.0, 0, 0, 1e12]]))
    pts = np.array([[25.0, 1, 2], [0, 0, 15]])
    J = body.field_jacobian(pts)
    assert [a.shape for a in J["vertices"]] == [(2, 4, len(v), 3), (2, 4, len(core_v), 3)]
    assert J["density"].shape == (2, 4, 2)
    assert J["mascon_positions"].shape == (2, 4, 1, 3)
    assert J["mascon_masses"].shape == (2, 4, 1)
    # U of the point mass per kg: G / r, r in metres.
    r = np.linalg.norm(pts - [3.0, 0, 0], axis=1) * 1e3
    assert np.allclose(J["mascon_masses"][:, 0, 0], G / r, rtol=1e-14)
    # The core's density column is the field of the core alone per kg/m^3.
    Uc, gc = core.field(pts, density=500)
    assert np.allclose(J["density"][:, 0, 1], Uc / 500, rtol=1e-14)
    wU = np.array([1.0, -2.0])
    vjp = body.field_vjp(pts, dU=wU)
    assert np.allclose(vjp["vertices"][1], np.einsum("n,nvc->vc", wU, J["vertices"][1][:, 0]),
                       rtol=1e-12, atol=1e-12 * abs(vjp["vertices"][1]).max())
    assert np.allclose(vjp["mascon_positions"], np.einsum("n,nqc->qc", wU, J["mascon_positions"][:, 0]))
    dU, dg = body.field_jvp(pts, dvertices=[None, np.ones((len(core_v), 3))], dmascon_masses=[1e10])
    expect = J["vertices"][1][:, :, :, :].sum(axis=(2, 3)) + 1e10 * J["mascon_masses"][:, :, 0]
    assert np.allclose(np.concatenate([dU[:, None], dg], axis=1), expect, rtol=1e-12)


def test_refusals():
    m = polyfield.Model(data("cube.stl"))
    with pytest.raises(polyfield.ValueError, match=r"^dg: an array of shape \(1, 3\)$"):
        m.field_vjp(np.array([[2.0, 0, 0]]), dg=np.ones(3))
    with pytest.raises(polyfield.ValueError, match=r"^points: row 1 \(0.5, 0.5, 1\) lies on the surface"):
        m.field_jacobian(np.array([[2.0, 0, 0], [0.5, 0.5, 1]]))
    # The potential's derivatives on the surface are its limit.
    on = m.field_vjp(np.array([[0.5, 0.5, 1]]), dU=[1.0])["vertices"]
    near = m.field_vjp(np.array([[0.5, 0.5, 1 + 1e-9]]), dU=[1.0])["vertices"]
    assert np.allclose(on, near, rtol=1e-6)
    # And on an edge and at a corner, from either side.
    for p in ([1, 0.3, 1.0], [0, 0, 1.0]):
        at = m.field_vjp(np.array([p]), dU=[1.0])["vertices"]
        for side in (1e-9, -1e-9):
            by = m.field_vjp(np.array([p]) + [side, side, -side], dU=[1.0])["vertices"]
            assert np.abs(at - by).max() < 1e-7 * np.abs(at).max()
    with pytest.raises(polyfield.ValueError, match=r"^dvertices: an array of shape \(8, 3\)$"):
        m.field_jvp(np.array([[2.0, 0, 0]]), dvertices=np.ones((7, 3)))
    body = polyfield.Body([(m, 1000)])
    with pytest.raises(polyfield.ValueError, match=r"^dvertices: one array \(or None\) per part \(1\)$"):
        body.field_jvp(np.array([[2.0, 0, 0]]), dvertices=[None, None])


def test_harmonics_jacobian_against_differences():
    """Three vertices of Eros moved 1 cm either way: the change of the
    coefficients against the derivatives per km; without a density the
    coefficients' derivatives are the same and GM's is the volume's."""
    m = eros()
    v, f = vertices_of(m)
    J = m.harmonics_jacobian(6, reference_radius=16, density=2670)
    V = len(v)
    assert J["C"].shape == (7, 7, 3 * V + 1) and J["GM"].shape == (3 * V + 1,)
    assert J["harmonics"].C[2, 0] == m.harmonics(6, reference_radius=16, density=2670).C[2, 0]
    assert np.all(J["C"][np.triu_indices(7, 1)] == 0)
    h = 1e-5
    for i in (3, 300, 700):
        for a in range(3):
            hs = []
            for s in (h, -h):
                w = v.copy()
                w[i, a] += s
                hs.append(polyfield.Model(w, f, unit="km").harmonics(6, reference_radius=16,
                                                                     density=2670))
            for name in ("C", "S"):
                d = (getattr(hs[0], name) - getattr(hs[1], name)) / (2 * h)
                assert np.allclose(J[name][:, :, 3 * i + a], d, rtol=1e-5, atol=1e-10)
            assert J["GM"][3 * i + a] == pytest.approx((hs[0].GM - hs[1].GM) / (2 * h), rel=1e-6)
    plain = m.harmonics_jacobian(6, reference_radius=16)
    assert np.allclose(plain["C"][..., :-1], J["C"][..., :-1], rtol=1e-12, atol=1e-18)
    assert np.allclose(plain["GM"][:-1] * G * 2670 * 1e9, J["GM"][:-1], rtol=1e-12)
    with pytest.raises(polyfield.Error, match="^degree: "):
        m.harmonics_jacobian(-1)


def test_body_harmonics_jacobian_columns():
    """A body's columns follow its field_jacobian matrix: the point mass's
    mass moves C_00 by (1 - C_00) / M = 0 and GM by G."""
    v, f = icosphere(2, 10.0)
    body = polyfield.Body([(polyfield.Model(np.array(v), np.array(f), unit="km"), 2000)],
                          mascons=np.array([[3.0, 1, 0, 1e15]]))
    J = body.harmonics_jacobian(4, reference_radius=12)
    assert J["C"].shape == (5, 5, 3 * len(v) + 1 + 4)
    assert J["GM"][-1] == pytest.approx(G, rel=1e-14)
    assert abs(J["C"][0, 0, -1]) < 1e-30
    # C_11 = x_c / (sqrt 3 R0): the point mass's x moves it by m / (M sqrt 3 R0).
    M = body.mass
    assert J["C"][1, 1, -4] == pytest.approx(1e15 / (M * np.sqrt(3) * 12), rel=1e-12)


def vertex_normals(v, f):
    """The area-weighted mean of each vertex's facets' normals, unit."""
    n = np.cross(v[f[:, 1]] - v[f[:, 0]], v[f[:, 2]] - v[f[:, 0]])
    out = np.zeros_like(v)
    for k in range(3):
        np.add.at(out, f[:, k], n)
    return out / np.linalg.norm(out, axis=1)[:, None]


def test_shape_covariance_against_perturbed_shapes():
    """Eros's vertices moved along their normals by independent errors of
    10 m: the propagated sigmas of the coefficients and of U and g against
    1,000 perturbed shapes (their sample sigmas are within about 2.2% of
    the truth; the first order holds far better at 10 m on 16 km)."""
    m = eros()
    v, f = vertices_of(m)
    pts = np.array([[20.0, 3, 1], [0, 2, 9]])
    cov = m.shape_covariance(sigma=0.01, points=pts, degree=3, reference_radius=16, density=2670)
    assert cov["field"].shape == (8, 8) and cov["harmonics"].shape == (21, 21)
    normals = vertex_normals(v, f)
    rng = np.random.default_rng(3)
    C, S, GM, U, g = [], [], [], [], []
    for _ in range(1000):
        w = v + 0.01 * rng.normal(size=(len(v), 1)) * normals
        p = polyfield.Model(w, f, unit="km")
        h = p.harmonics(3, reference_radius=16, density=2670)
        C.append(h.C), S.append(h.S), GM.append(h.GM)
        Ui, gi = p.field(pts, density=2670)
        U.append(Ui), g.append(gi)
    for name, sample in (("C_sigma", np.std(C, axis=0)), ("S_sigma", np.std(S, axis=0))):
        mask = cov[name] > 1e-12  # C_00 = 1 whatever the shape
        assert np.all(np.abs(sample[mask] / cov[name][mask] - 1) < 0.1), name
    assert np.std(GM) / cov["GM_sigma"] == pytest.approx(1, abs=0.1)
    assert np.all(np.abs(np.std(U, axis=0) / cov["U_sigma"] - 1) < 0.1)
    assert np.all(np.abs(np.std(g, axis=0) / cov["g_sigma"] - 1) < 0.1)
    # The correlation of U at the two points, which the diagonal does not show.
    r = cov["field"][0, 4] / np.sqrt(cov["field"][0, 0] * cov["field"][4, 4])
    assert np.corrcoef(np.array(U).T)[0, 1] == pytest.approx(r, abs=0.1)
    # Errors in each coordinate; a covariance along the normals.
    same = m.shape_covariance(covariance=1e-4 * np.eye(len(v)), degree=3, reference_radius=16,
                              density=2670)
    assert np.allclose(same["harmonics"], cov["harmonics"], rtol=1e-10, atol=1e-24)
    iso = m.shape_covariance(sigma=np.full(len(v), 0.01), along="coordinates", points=pts)
    assert np.all(iso["U_sigma"] > 0)
    with pytest.raises(polyfield.ValueError, match=r"^sigma: vertex 2's, -1, is not a number 0 or more$"):
        s = np.full(len(v), 0.01)
        s[2] = -1
        m.shape_covariance(sigma=s, points=pts)


def test_fit_recovers_the_densities():
    """A body's own coefficients, noised with the stated sigmas, fitted back:
    densities within four sigmas, a chi-square near its degrees of freedom;
    the parameters' names in the refusals."""
    v, f = icosphere(2, 10.0)
    core_v, core_f = icosphere(1, 4.0)
    outer = polyfield.Model(np.array(v), np.array(f), unit="km")
    core = polyfield.Model(np.array(core_v) + [3.0, 1, 0], np.array(core_f), unit="km")
    body = polyfield.Body([(outer, 2000), (core, -500)])
    h = body.harmonics(6, reference_radius=12)
    rng = np.random.default_rng(11)
    sigma = 1e-6
    noise = np.tril(rng.normal(scale=sigma, size=(2, 7, 7)))
    measured = {"C": h.C + noise[0], "S": h.S + noise[1] * (np.arange(7) > 0), "GM": h.GM,
                "sigma_C": np.full((7, 7), sigma), "sigma_S": np.full((7, 7), sigma),
                "reference_radius": 12e3}
    measured["C"][0, 0] = 1
    fit = polyfield.fit(body, measured, 6)
    assert fit["names"] == ["part 1 density", "part 2 density"]
    assert np.all(np.abs(fit["estimate"] - [2000, -500]) < 4 * fit["sigma"])
    assert 0.4 * fit["dof"] < fit["chi_square"] < 1.8 * fit["dof"]
    assert fit["covariance"].shape == (2, 2) and fit["rms_by_degree"].shape == (6,)
    assert fit["residual_C"].shape == (7, 7)
    del measured["GM"]
    with pytest.raises(polyfield.ValueError, match=r"^measured: no GM"):
        polyfield.fit(body, measured, 6)
    measured["GM"] = h.GM
    measured["sigma_S"] = np.full((6, 6), sigma)
    with pytest.raises(polyfield.ValueError, match=r"^sigma_S: an array of shape \(7, 7\)$"):
        polyfield.fit(body, measured, 6)


def test_body_shape_covariance_is_its_surface_model_s():
    """A Body of one part at the model's density: the surface's errors give
    the same covariance as the Model's."""
    m = eros()
    body = polyfield.Body([(m, 2670)])
    pts = np.array([[20.0, 3, 1]])
    a = m.shape_covariance(sigma=0.01, points=pts, degree=2, reference_radius=16, density=2670)
    b = body.shape_covariance(sigma=0.01, points=pts, degree=2, reference_radius=16)
    assert np.allclose(a["field"], b["field"], rtol=1e-12, atol=0)
    assert np.allclose(a["harmonics"], b["harmonics"], rtol=1e-10, atol=1e-24)
