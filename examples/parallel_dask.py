# examples/parallel_dask.py
"""The field over a Dask array of points, chunk by chunk on the workers of
a cluster (here a LocalCluster of two worker processes): the model is
scattered to every worker once, and each chunk of points is one call."""
import logging

import dask.array as da
import numpy as np
from dask.distributed import Client, LocalCluster

import polyfield


def potential(chunk, model):
    return model.field(chunk, density=3600, threads=1)[0]


def attraction(chunk, model):
    return model.field(chunk, density=3600, threads=1)[1]


if __name__ == "__main__":
    kleopatra = polyfield.Model("kleopatra.stl", unit="km")
    points = np.random.default_rng(1).uniform(-150, 150, (20000, 3))
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0",
                      silence_logs=logging.CRITICAL) as cluster, Client(cluster) as client:
        [model] = client.scatter([kleopatra], broadcast=True)
        p = da.from_array(points, chunks=(2500, 3))
        U = p.map_blocks(potential, model, drop_axis=1, dtype=float)
        g = p.map_blocks(attraction, model, dtype=float)
        U, g = da.compute(U, g)
    U1, g1 = kleopatra.field(points, density=3600)
    print("points:", len(U), " largest |g|: %.6e m/s^2" % np.linalg.norm(g, axis=1).max())
    print("the same bits as one process:", U.tobytes() == U1.tobytes() and g.tobytes() == g1.tobytes())
