// Point masses (mascons) of a body: read from "x y z mass" lines or taken
// from arrays, checked, and their field in closed form. A point mass m at q
// has, at p, with d = p - q and r = |d| (in metres),
//   U = G m / r,  g = grad U = -G m d / r^3,  T = G m (3 d d^T / r^5 - 1 / r^3);
// at q itself U is infinite and g and T are not numbers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/field_out.h"

class ThreadTeam;

namespace science {

// A point mass: position in model units, mass in kg (negative for a
// deficit; any finite value).
struct Mascon {
  double x, y, z, mass;
};

// The point masses of `path` ("-": standard input): four numbers a line,
// x y z mass, separated by blanks, tabs or commas; '#' starts a comment and
// blank lines are skipped. The positions are multiplied by `scale`. A line
// that is not four finite numbers is refused with the file and its line, a
// file without a point mass with the file.
std::vector<Mascon> ReadMascons(const std::string& path, double scale = 1);

// Point masses from k rows of four numbers (x y z mass each); a row that
// is not four finite numbers is refused under Quantity(quantity) with its
// index.
std::vector<Mascon> MasconsFromRows(const double* rows, size_t k, const std::string& quantity);

// Adds the field of `mascons` at n points (model units) to `out` (U, g in
// SI units: `metres` the length unit, G the constant), and to the tensors
// t (six values a point, xx xy xz yy yz zz) when t is not null. Each point
// sums the point masses in their order, so the bits do not depend on the
// threads of `team` (at most `threads` of them).
void AddMasconField(const std::vector<Mascon>& mascons, double G, double metres, size_t n,
                    const double* x, const double* y, const double* z, const FieldOut& out,
                    double* t, ThreadTeam& team, unsigned threads);

}  // namespace science
