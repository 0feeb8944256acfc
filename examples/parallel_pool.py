# examples/parallel_pool.py
"""The field at many points on a pool of worker processes: each worker gets
the model once (pickled: it rebuilds its engine), then chunks of points."""
import multiprocessing

import numpy as np

import polyfield

model = None


def start(m):
    global model
    model = m


def field(chunk):
    return model.field(chunk, density=3600, threads=1)


if __name__ == "__main__":
    kleopatra = polyfield.Model("kleopatra.stl", unit="km")
    points = np.random.default_rng(1).uniform(-150, 150, (20000, 3))
    chunks = np.array_split(points, 8)
    with multiprocessing.get_context("spawn").Pool(2, start, (kleopatra,)) as pool:
        parts = pool.map(field, chunks)
    U = np.concatenate([p[0] for p in parts])
    g = np.concatenate([p[1] for p in parts])
    U1, g1 = kleopatra.field(points, density=3600)
    print("points:", len(U), " largest |g|: %.6e m/s^2" % np.linalg.norm(g, axis=1).max())
    print("the same bits as one process:", U.tobytes() == U1.tobytes() and g.tobytes() == g1.tobytes())
