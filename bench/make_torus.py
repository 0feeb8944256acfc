#!/usr/bin/env python3
"""Writes a coloured torus as binary STL, for the stlrender benchmark.

    make_torus.py NU NV OUT.stl     (2 * NU * NV facets)

Major radius 3, minor radius 1; each facet's attribute word is a colour
that runs around the tube, so the picture has many colours as real
coloured models do.
"""
import math
import struct
import sys


def main():
    nu, nv, path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    ring = []
    for i in range(nu):
        u = 2 * math.pi * i / nu
        row = []
        for j in range(nv):
            v = 2 * math.pi * j / nv
            r = 3 + math.cos(v)
            row.append((r * math.cos(u), r * math.sin(u), math.sin(v)))
        ring.append(row)
    facet = struct.Struct("<12fH")
    with open(path, "wb") as out:
        out.write(b"\0" * 80 + struct.pack("<I", 2 * nu * nv))
        for i in range(nu):
            a_row, b_row = ring[i], ring[(i + 1) % nu]
            for j in range(nv):
                k = (j + 1) % nv
                c5 = 31 * j // nv
                word = 0x8000 | c5 << 10 | (31 - c5) << 5 | (31 * i // nu)
                p, q, r, s = a_row[j], b_row[j], b_row[k], a_row[k]
                out.write(facet.pack(0, 0, 0, *p, *q, *r, word))
                out.write(facet.pack(0, 0, 0, *p, *r, *s, word))


if __name__ == "__main__":
    main()
