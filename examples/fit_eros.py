# examples/fit_eros.py
# Densities fitted to a measured field: Eros (1,708 plates) with a lighter
# core, its own coefficients to degree 8 noised by sigmas of 1e-6 standing
# in for a mission's solution, fitted back from degree 2.
import numpy as np
import polyfield

eros = polyfield.Model("eros1708_km.vf.txt", unit="km")
body = polyfield.Body([(eros, 2400), (eros.scaled(0.4).translated((3.0, 0, 0)), -400)])
h = body.harmonics(8, reference_radius=16)
rng, sigma = np.random.default_rng(2), np.full((9, 9), 1e-6)
measured = {
    "C": h.C + np.tril(rng.normal(scale=1e-6, size=(9, 9))),
    "S": h.S + np.tril(rng.normal(scale=1e-6, size=(9, 9))) * (np.arange(9) > 0),
    "sigma_C": sigma, "sigma_S": sigma,
    "GM": h.GM, "reference_radius": 16e3,  # m^3/s^2, m
}
fit = polyfield.fit(body, measured, 8, min_degree=2)
print(fit["names"], np.round(fit["estimate"], 1), np.round(fit["sigma"], 2))
print("correlation", round(fit["correlation"][0, 1], 3), "chi2/dof",
      round(fit["chi_square"] / fit["dof"], 2), "dof", fit["dof"])
