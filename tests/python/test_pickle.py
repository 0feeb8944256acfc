"""A model pickled and unpickled is the same model: the same bits from every
evaluation, the same check, name, unit and scale; and a state that is not a
model's is refused."""
import os
import pickle

import numpy as np
import pytest

import polyfield

DATA = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "data")


def same(a, b):
    return np.ascontiguousarray(a).tobytes() == np.ascontiguousarray(b).tobytes()


@pytest.mark.parametrize("make", [
    lambda: polyfield.Model(os.path.join(DATA, "models", "eros.stl")),
    lambda: polyfield.Model(os.path.join(DATA, "models", "kleopatra.vf.txt"), unit="km", scale=0.5),
    lambda: polyfield.Model(np.array([[0, 0, 0], [2, 0, 0], [0, 3, 0], [0, 0, 4]], float),
                            np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])),
])
def test_a_pickled_model_gives_the_same_bits(make):
    a = make()
    b = pickle.loads(pickle.dumps(a, protocol=pickle.HIGHEST_PROTOCOL))
    assert repr(a) == repr(b) and a.facets == b.facets and a.volume == b.volume
    assert a.check() == b.check()
    r = 1.2 * max(np.abs(np.array(a.centroid))) + a.volume ** (1 / 3)
    p = np.random.default_rng(3).uniform(-r, r, (700, 3))
    for tolerance in (None, 1e-9):
        fa, fb = a.field(p, tolerance=tolerance), b.field(p, tolerance=tolerance)
        assert same(fa[0], fb[0]) and same(fa[1], fb[1])
    sa, sb = a.surface(density=2000, spin_period=6), b.surface(density=2000, spin_period=6)
    for key in ("U", "g", "slopeeff", "U/U0"):
        assert same(sa[key], sb[key]), key
    ha, hb = a.harmonics(5, density=2000), b.harmonics(5, density=2000)
    assert same(ha.C, hb.C) and same(ha.S, hb.S) and ha.GM == hb.GM


def test_a_state_that_is_not_a_models_is_refused():
    a = polyfield.Model(os.path.join(DATA, "cube.stl"))
    version, v, f, normals, unit, scale, path = a.__getstate__()
    assert (version, unit, scale, os.path.basename(path)) == (1, "m", 1.0, "cube.stl")
    assert v.shape == (8, 3) and f.shape == (12, 3) and normals.shape == (36,)
    with pytest.raises(ValueError, match="not a pickled polyfield model"):
        polyfield.Model.__new__(polyfield.Model).__setstate__((2, v, f, normals, unit, scale, path))
    bad = f.copy()
    bad[3, 1] = 8
    with pytest.raises(ValueError, match="a face names no vertex"):
        polyfield.Model.__new__(polyfield.Model).__setstate__((1, v, bad, normals, unit, scale, path))


def test_a_pickled_body_keeps_its_parts_and_point_masses():
    eros = os.path.join(DATA, "models", "eros1708_km.vf.txt")
    core = polyfield.Model(eros, unit="km").scaled(0.5)
    a = polyfield.Body([(eros, 2400), (core, -800)],
                       mascons=np.array([[30.0, 0, 0, 1e13], [0, -20, 5, 2e12]]), unit="km")
    b = pickle.loads(pickle.dumps(a))
    assert repr(a) == repr(b) and b.parts == 2 and b.mascons == 2
    assert a.mass == b.mass and a.centre_of_mass == b.centre_of_mass
    p = np.random.default_rng(5).uniform(-40, 40, (300, 3))
    for tolerance in (None, 1e-9):
        fa, fb = a.field(p, gradient=True, tolerance=tolerance), b.field(p, gradient=True,
                                                                          tolerance=tolerance)
        assert all(same(x, y) for x, y in zip(fa, fb))
    ha, hb = a.harmonics(4), b.harmonics(4)
    assert same(ha.C, hb.C) and same(ha.S, hb.S)
    with pytest.raises(ValueError):
        polyfield.Body.__new__(polyfield.Body).__setstate__((2, [], None, "km"))


def test_a_pickled_body_keeps_the_file_of_its_point_masses(tmp_path):
    mascons = tmp_path / "mascons.txt"
    mascons.write_text("# x y z mass\n30 0 0 1e13\n0 -20 5 2e12\n")
    a = polyfield.Body([(os.path.join(DATA, "models", "eros1708_km.vf.txt"), 2670)],
                       mascons=str(mascons), unit="km")
    b = pickle.loads(pickle.dumps(a))
    assert b.describe() == a.describe()
    assert "point masses: " + str(mascons) + ", 2 of total mass" in b.describe()[-2]
