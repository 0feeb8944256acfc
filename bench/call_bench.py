"""One-point calls of polyfield.Model.field, as an orbit propagator makes them.

The unit cube (12 facets, whose sums cost nothing) gives the set-up of a call:
argument checks, units, the engine's choice, arrays in and out. Eros
(tests/data/models/eros.vf.txt, 14,744 facets) gives a call whose closed form
dominates, against the same points handed over 1024 at a time. Best of five
runs of 2000 calls each, wall time, one thread, the model's check skipped.

    PYTHONPATH=build/python python3 bench/call_bench.py
"""
import os
import time

import numpy as np
import polyfield

HERE = os.path.dirname(os.path.abspath(__file__))
CUBE_V = np.array(
    [[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [0, 0, 1], [1, 0, 1], [1, 1, 1], [0, 1, 1]],
    float)
CUBE_F = np.array([[0, 2, 1], [0, 3, 2], [4, 5, 6], [4, 6, 7], [0, 1, 5], [0, 5, 4],
                   [2, 3, 7], [2, 7, 6], [1, 2, 6], [1, 6, 5], [0, 4, 7], [0, 7, 3]])
CALLS = 2000


def best(f, runs=5):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    return min(times)


def one_point(model, point):
    def run():
        for _ in range(CALLS):
            model.field(point, threads=1, check=False)
    return best(run) / CALLS


def main():
    cube = polyfield.Model(CUBE_V, CUBE_F)
    eros = polyfield.Model(os.path.join(HERE, "..", "tests", "data", "models", "eros.vf.txt"))
    point = np.array([3.0, 0.5, 0.2])
    many = np.tile(point, (1024, 1))
    print(f"cube, one point a call:       {one_point(cube, point) * 1e6:7.2f} us (the set-up)")
    single = one_point(eros, point)
    batch = best(lambda: eros.field(many, threads=1, check=False)) / len(many)
    print(f"Eros, one point a call:       {single * 1e6:7.2f} us")
    print(f"Eros, a point of 1024 a call: {batch * 1e6:7.2f} us")
    print(f"Eros, one point's share of the call beyond the batch's per point: "
          f"{(single - batch) * 1e6:.2f} us")


if __name__ == "__main__":
    main()
