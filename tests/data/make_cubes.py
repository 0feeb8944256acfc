#!/usr/bin/env python3
"""Writes the unit-cube test models: ASCII and binary STL with outward,
inward and zero normals, and the vertex/face file of the same cube."""
import struct, sys, os

V = [(0,0,0),(1,0,0),(1,1,0),(0,1,0),(0,0,1),(1,0,1),(1,1,1),(0,1,1)]
# 12 faces, counter-clockwise seen from outside.
F = [(0,2,1),(0,3,2),(4,5,6),(4,6,7),(0,1,5),(0,5,4),
     (1,2,6),(1,6,5),(2,3,7),(2,7,6),(3,0,4),(3,4,7)]

def normal(a,b,c):
    u=[b[i]-a[i] for i in range(3)]; w=[c[i]-a[i] for i in range(3)]
    return (u[1]*w[2]-u[2]*w[1], u[2]*w[0]-u[0]*w[2], u[0]*w[1]-u[1]*w[0])

def tris(flip=False):
    for f in F:
        a,b,c = (V[i] for i in f)
        yield (normal(a,b,c), (a,c,b) if flip else (a,b,c))

def ascii(path, tri, zero=False, neg=False):
    with open(path,'w') as o:
        o.write('solid cube\n')
        for n,(a,b,c) in tri:
            if zero: n=(0,0,0)
            if neg: n=tuple(-x for x in n)
            o.write('  facet normal %g %g %g\n    outer loop\n' % n)
            for p in (a,b,c): o.write('      vertex %g %g %g\n' % p)
            o.write('    endloop\n  endfacet\n')
        o.write('endsolid cube\n')

def binary(path, tri):
    tri=list(tri)
    with open(path,'wb') as o:
        o.write(b'\0'*80); o.write(struct.pack('<I',len(tri)))
        for n,(a,b,c) in tri:
            o.write(struct.pack('<12fH',*n,*a,*b,*c,0))

d = sys.argv[1] if len(sys.argv)>1 else os.path.dirname(os.path.abspath(__file__))
ascii(os.path.join(d,'cube.stl'), tris())
binary(os.path.join(d,'cube_binary.stl'), tris())
# Inward: vertex order reversed, file normals agree with it (point inward).
ascii(os.path.join(d,'cube_inward.stl'), tris(flip=True), neg=True)
ascii(os.path.join(d,'cube_zero_normals.stl'), tris(), zero=True)
with open(os.path.join(d,'cube.vf.txt'),'w') as o:
    o.write('%d %d\n' % (len(V),len(F)))
    for p in V: o.write('%g %g %g\n' % p)
    for f in F: o.write('%d %d %d\n' % f)
