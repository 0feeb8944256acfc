#!/usr/bin/python3
"""Opens the coloured STL files that geopot_m and plumbline write with an
independent reader (numpy-stl) and checks the facet count, the vertices and
the attribute words against the unit cube's worked-out colour entries."""
import os, subprocess, sys, tempfile, warnings

warnings.simplefilter("ignore")
from stl import mesh  # Debian's python3-stl

bin_dir, data_dir = sys.argv[1], sys.argv[2]
with tempfile.TemporaryDirectory() as tmp:
    cmap = os.path.join(tmp, "identity.cm")
    with open(cmap, "w") as f:
        for i in range(32768):
            f.write("%d %.17g %.17g %.17g\n" % (i, (i >> 10) * 255 / 31, ((i >> 5) & 31) * 255 / 31, (i & 31) * 255 / 31))
    cube = mesh.Mesh.from_file(os.path.join(data_dir, "cube_binary.stl"))
    for prog, lo, hi, entry in (("geopot_m", "0.5", "1", 14527), ("plumbline_m", "0", "90", 5242)):
        out = os.path.join(tmp, prog + ".stl")
        subprocess.run([os.path.join(bin_dir, prog), os.path.join(data_dir, "cube_binary.stl"), lo, hi, cmap, out], check=True)
        m = mesh.Mesh.from_file(out)
        assert len(m.vectors) == 12, len(m.vectors)
        words = [int(a) for a in m.attr.flatten()]
        assert words == [0x8000 | entry] * 12, (prog, [hex(w) for w in words])
        assert (m.vectors == cube.vectors).all(), prog
print("independent reader: 2 files, 24 facets agree")
