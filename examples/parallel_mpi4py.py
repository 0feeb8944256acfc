# examples/parallel_mpi4py.py
"""The field at many points over the ranks of an MPI job (mpirun -n K
python3 parallel_mpi4py.py): rank 0 reads the model and the points, sends
the model to every rank and a chunk of the points to each, and gathers the
results in rank order."""
import numpy as np
from mpi4py import MPI

import polyfield

comm = MPI.COMM_WORLD
rank, size = comm.Get_rank(), comm.Get_size()
model = chunks = None
if rank == 0:
    model = polyfield.Model("kleopatra.stl", unit="km")
    points = np.random.default_rng(1).uniform(-150, 150, (20000, 3))
    chunks = np.array_split(points, size)
model = comm.bcast(model, root=0)
chunk = comm.scatter(chunks, root=0)
U, g = model.field(chunk, density=3600, threads=1)
parts = comm.gather((U, g), root=0)
if rank == 0:
    U = np.concatenate([p[0] for p in parts])
    g = np.concatenate([p[1] for p in parts])
    U1, g1 = model.field(points, density=3600)
    print("ranks:", size, " points:", len(U), " largest |g|: %.6e m/s^2" % np.linalg.norm(g, axis=1).max())
    print("the same bits as one process:", U.tobytes() == U1.tobytes() and g.tobytes() == g1.tobytes())
