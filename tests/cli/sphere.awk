# A UV sphere of radius 1 as vertex/face text (nl latitude bands, nm
# meridians, outward), for the MPI test of the harmonics in rounds.
BEGIN {
  pi = 3.14159265358979; nv = 2 + (nl - 1) * nm; nf = 2 * nm * (nl - 1);
  print nv, nf; print 0, 0, 1;
  for (i = 1; i < nl; ++i) for (j = 0; j < nm; ++j) {
    t = pi * i / nl; p = 2 * pi * j / nm;
    printf "%.17g %.17g %.17g\n", sin(t) * cos(p), sin(t) * sin(p), cos(t) }
  print 0, 0, -1;
  s = nv - 1;
  for (j = 0; j < nm; ++j) print 0, 1 + j, 1 + (j + 1) % nm;
  for (i = 1; i < nl - 1; ++i) for (j = 0; j < nm; ++j) {
    a = 1 + (i - 1) * nm + j; b = 1 + (i - 1) * nm + (j + 1) % nm; c = a + nm; d = b + nm;
    print a, c, d; print a, d, b }
  for (j = 0; j < nm; ++j) { a = 1 + (nl - 2) * nm + j; b = 1 + (nl - 2) * nm + (j + 1) % nm; print s, b, a }
}
