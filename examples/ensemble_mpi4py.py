# examples/ensemble_mpi4py.py
"""An ensemble over the ranks of an MPI job (mpirun -n K python3
ensemble_mpi4py.py MODEL...): model i on rank i mod K, each rank's surface
summaries gathered by rank 0 and printed in the models' order."""
import sys

from mpi4py import MPI

import polyfield

comm = MPI.COMM_WORLD
rank, size = comm.Get_rank(), comm.Get_size()
mine = []
for i, path in enumerate(sys.argv[1:]):
    if i % size == rank:
        s = polyfield.Model(path, unit="km").surface(density=2000, threads=1)["summary"]
        mine.append((i, path, s["GM"], s["slope_percentiles"][50.0]))
rows = comm.gather(mine, root=0)
if rank == 0:
    print("model\tGM [m^3/s^2]\tmedian slope [deg]")
    for i, path, gm, slope in sorted(r for part in rows for r in part):
        print("%s\t%.6g\t%.3f" % (path, gm, slope))
