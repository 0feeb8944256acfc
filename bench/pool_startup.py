#!/usr/bin/env python3
"""What a pool of workers costs before it repays: the start-up of a pool of
two processes (spawn, the model sent to each once) and of a Dask
LocalCluster of two workers (the model scattered), the cost of one more task,
and the field's cost per point on the shipped Kleopatra (4092 facets, one
thread), from which the work a task must carry follows.
    PYTHONPATH=build/python /usr/bin/python3 bench/pool_startup.py"""
import logging, multiprocessing, os, sys, time

import numpy as np

import polyfield

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "examples"))
from parallel_pool import field, start  # noqa: E402  (the pool example's own worker)


def facets(m):
    return m.facets


def field_of(m, chunk):
    return m.field(chunk, density=3600, threads=1)


if __name__ == "__main__":
    kleopatra = polyfield.Model(os.path.join(here, "..", "examples", "kleopatra.stl"), unit="km")
    points = np.random.default_rng(1).uniform(-150, 150, (4000, 3))
    t = time.perf_counter()
    kleopatra.field(points, density=3600, threads=1)
    per_point = (time.perf_counter() - t) / len(points)
    t = time.perf_counter()
    with multiprocessing.get_context("spawn").Pool(2, start, (kleopatra,)) as pool:
        pool.map(field, [points[:1], points[1:2]])
        up = time.perf_counter() - t
        t = time.perf_counter()
        pool.map(field, [points[i:i + 1] for i in range(200)], chunksize=1)
        task = (time.perf_counter() - t) / 200
    print("pool of 2 (spawn): start-up %.2f s, one more task %.2f ms" % (up, task * 1e3))
    from dask.distributed import Client, LocalCluster
    t = time.perf_counter()
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0",
                      silence_logs=logging.CRITICAL) as cluster, Client(cluster) as client:
        [m] = client.scatter([kleopatra], broadcast=True)
        client.submit(facets, m).result()
        dask_up = time.perf_counter() - t
        t = time.perf_counter()
        client.gather([client.submit(field_of, m, points[i:i + 1], pure=False) for i in range(200)])
        dask_task = (time.perf_counter() - t) / 200
    print("Dask LocalCluster of 2: start-up %.2f s, one more task %.2f ms"
          % (dask_up, dask_task * 1e3))
    print("field: %.1f us a point (Kleopatra, one thread): a second of work is %d points"
          % (per_point * 1e6, 1 / per_point))
