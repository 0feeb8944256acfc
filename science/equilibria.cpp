// The equilibria of a spinning body: the search region bounded from the
// body's mass and extent, seedings on grids over it, Newton's method on the
// exact gradient and tensor of the effective potential, the merge, the
// classification and the topological count.
#include "science/equilibria.h"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <numbers>

#include "common/failure.h"
#include "common/print.h"
#include "mesh/solid.h"

namespace science {

namespace {

using V3 = std::array<double, 3>;

double Dot(const V3& a, const V3& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
V3 Cross(const V3& a, const V3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double Norm(const V3& a) {
  return std::sqrt(Dot(a, a));
}

// The effective potential's value, gradient (m/s^2) and Hessian (1/s^2) at
// points given in model units.
struct Effective {
  std::vector<double> V, F, H;  // one, three and six (xx xy xz yy yz zz) a point
  std::vector<double> P;        // the offset from the axis, m (three a point)
};

class Problem {
 public:
  Problem(const Body& body, const FieldRequest& field, const Units& units, const V3& centre,
          const V3& axis, double omega, const More& more)
      : body_(body),
        field_(field),
        units_(units),
        c_(centre),
        k_(axis),
        w2_(omega * omega),
        more_(more) {}

  // V, grad V and its Hessian at the points, in one call of the library's
  // field (its tolerance relative to the call's largest values).
  // Without `tensor` H is left empty; `w2` (when not negative) instead of
  // the problem's spin squared.
  Effective At(const std::vector<V3>& p, bool tensor = true, double w2 = -1) const {
    const double ww = w2 < 0 ? w2_ : w2;
    const size_t n = p.size();
    std::vector<double> x(n), y(n), z(n), U(n), gx(n), gy(n), gz(n), t(tensor ? 6 * n : 0);
    FieldRequest field = field_;
    field.gradient = tensor;
    for (size_t i = 0; i < n; ++i) x[i] = p[i][0], y[i] = p[i][1], z[i] = p[i][2];
    const More more = more_ ? More([&](double) { return more_(0); }) : More();
    if (!FieldOf(body_, field, n, x.data(), y.data(), z.data(),
                 {U.data(), gx.data(), gy.data(), gz.data(), tensor ? t.data() : nullptr}, more))
      throw Stopped();
    Effective e;
    e.V.resize(n), e.F.resize(3 * n), e.H.resize(tensor ? 6 * n : 0), e.P.resize(3 * n);
    const double m = units_.metres;
    for (size_t i = 0; i < n; ++i) {
      const V3 r = {(p[i][0] - c_[0]) * m, (p[i][1] - c_[1]) * m, (p[i][2] - c_[2]) * m};
      const double along = Dot(r, k_);
      const V3 perp = {r[0] - along * k_[0], r[1] - along * k_[1], r[2] - along * k_[2]};
      e.V[i] = U[i] + 0.5 * ww * Dot(perp, perp);
      e.F[3 * i] = gx[i] + ww * perp[0];
      e.F[3 * i + 1] = gy[i] + ww * perp[1];
      e.F[3 * i + 2] = gz[i] + ww * perp[2];
      for (int a = 0; a < 3; ++a) e.P[3 * i + a] = perp[a];
      if (!tensor) continue;
      // The centrifugal term's Hessian: w^2 (I - k k^T).
      const int pairs[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
      for (int j = 0; j < 6; ++j) {
        const int a = pairs[j][0], b = pairs[j][1];
        e.H[6 * i + j] = t[6 * i + j] + ww * ((a == b ? 1.0 : 0.0) - k_[a] * k_[b]);
      }
    }
    return e;
  }

 private:
  const Body& body_;
  FieldRequest field_;
  Units units_;
  V3 c_, k_;
  double w2_;
  More more_;
};

Eigen::Matrix3d Hessian(const double* h) {
  Eigen::Matrix3d H;
  H << h[0], h[1], h[2], h[1], h[3], h[4], h[2], h[4], h[5];
  return H;
}

// The Newton step of the point (model units), -H^-1 F, by the Hessian's
// eigen-decomposition (its tiniest eigenvalues kept from zero).
V3 NewtonStep(const double* F, const double* h, double metres) {
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> s(Hessian(h));
  const Eigen::Vector3d lam = s.eigenvalues();
  const double top = lam.cwiseAbs().maxCoeff();
  Eigen::Vector3d f(F[0], F[1], F[2]);
  Eigen::Vector3d q = s.eigenvectors().transpose() * f;
  for (int j = 0; j < 3; ++j) {
    const double l = std::fabs(lam[j]) < 1e-14 * top ? std::copysign(1e-14 * top, lam[j]) : lam[j];
    q[j] /= l;
  }
  const Eigen::Vector3d d = -(s.eigenvectors() * q) / metres;
  return {d[0], d[1], d[2]};
}

// The root of f, increasing from f(lo) < 0 to f(hi) > 0, by bisection.
template <class Fn>
double Root(Fn f, double lo, double hi) {
  for (int i = 0; i < 200 && hi - lo > 1e-15 * hi; ++i) {
    const double mid = 0.5 * (lo + hi);
    (f(mid) < 0 ? lo : hi) = mid;
  }
  return hi;
}

struct Found {
  V3 p;
  double F = 0;  // |grad V| left
  unsigned seeds = 1;
};

// The six eigenvalues of the linearised motion x'' = H x - 2 W x' (W the
// cross product with the spin vector), in a fixed order, and the case of
// their structure: 1 (three imaginary pairs, distinct), 2 (a real pair and
// two imaginary), 3 (two real pairs and one imaginary), 4 (three real
// pairs), 5 (a complex quartet and an imaginary pair), 6 (a quartet and a
// real pair), 7 and 8 (resonant: two or three equal imaginary pairs); 0 for
// a zero eigenvalue (degenerate).
int Classify(const double* h, const V3& k, double omega, std::array<std::complex<double>, 6>* out) {
  Eigen::Matrix<double, 6, 6> A = Eigen::Matrix<double, 6, 6>::Zero();
  A.block<3, 3>(0, 3) = Eigen::Matrix3d::Identity();
  A.block<3, 3>(3, 0) = Hessian(h);
  const V3 w = {omega * k[0], omega * k[1], omega * k[2]};
  Eigen::Matrix3d W;
  W << 0, -w[2], w[1], w[2], 0, -w[0], -w[1], w[0], 0;
  A.block<3, 3>(3, 3) = -2 * W;
  const Eigen::EigenSolver<Eigen::Matrix<double, 6, 6>> s(A, false);
  std::array<std::complex<double>, 6> lam;
  double top = 0;
  for (int i = 0; i < 6; ++i) lam[i] = s.eigenvalues()[i], top = std::max(top, std::abs(lam[i]));
  std::sort(lam.begin(), lam.end(), [](auto a, auto b) {
    return a.real() != b.real() ? a.real() > b.real() : a.imag() > b.imag();
  });
  // Parts below this share of the largest are rounding (a double
  // eigenvalue splits by about the square root of the rounding).
  const double eps = 1e-6 * top;
  int real = 0, imaginary = 0, zero = 0;
  std::vector<double> beta;
  for (auto& l : lam) {
    if (std::abs(l) <= eps) {
      ++zero;
      l = 0;
    } else if (std::fabs(l.imag()) <= eps) {
      ++real;
      l = l.real();
    } else if (std::fabs(l.real()) <= eps) {
      ++imaginary;
      l = {0, l.imag()};
      if (l.imag() > 0) beta.push_back(l.imag());
    }
  }
  *out = lam;
  if (zero) return 0;
  const int quartets = (6 - real - imaginary) / 4;
  if (quartets == 1) return real ? 6 : 5;
  if (real == 6) return 4;
  if (real == 4) return 3;
  if (real == 2) return 2;
  std::sort(beta.begin(), beta.end());
  int equal = 0;
  for (size_t i = 1; i < beta.size(); ++i)
    if (beta[i] - beta[i - 1] <= 1e-6 * beta[i]) ++equal;
  return equal == 0 ? 1 : equal == 1 ? 7 : 8;
}

}  // namespace

int IndexSum(const Body& body) {
  int sum = -1;
  for (const Mascon& q : body.mascons()) sum += q.mass > 0 ? 1 : q.mass < 0 ? -1 : 0;
  return sum;
}

void Validate(const EquilibriaRequest& r) {
  Validate(r.units);
  Validate(r.evaluation);
  if (!r.spin_period)
    Refuse(Quantity("spin_period") + " is needed: the equilibria are those of the spinning body");
  if (!(std::isfinite(*r.spin_period) && *r.spin_period > 0))
    Refuse(Quantity("spin_period") + ": hours, a positive number");
  const auto& a = r.spin_axis;
  if (!(std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2])) ||
      (a[0] == 0 && a[1] == 0 && a[2] == 0))
    Refuse(Quantity("spin_axis") + ": three finite numbers x, y, z, not all zero");
  if (!r.units.density && !r.units.mass && !r.units.gm)
    Refuse(Quantity("spin_period") + " needs " + Quantity("density") + ", " + Quantity("mass") +
           " or " + Quantity("gm") + " (the spin is in SI units)");
  if (r.seeds != 0 && (r.seeds < 8 || r.seeds > 400))
    Refuse(Quantity("seeds") + ": seeds across the region, from 8 to 400");
}

Equilibria EquilibriaOf(const Body& body, const EquilibriaRequest& request, const More& more) {
  {
    EquilibriaRequest r = request;
    r.units = UnitsFor(request.units, body);
    Validate(r);
  }
  const Units units = Resolve(request.units, body);
  const FieldRequest field{UnitsFor(request.units, body), request.evaluation, true};
  if (request.evaluation.check) RequireFit(body);
  const Mass mass = MassOf(body, units);
  if (!(mass.mass > 0) || !std::isfinite(mass.mass))
    Refuse((body.name().empty() ? "" : body.name() + ": ") +
           "the equilibria need a body of positive total mass (about its centre of mass): it is " +
           ShortestDigits(mass.mass) + " kg");

  Equilibria e;
  e.tolerance = request.evaluation.Tolerance();
  e.expected = IndexSum(body);
  e.omega = 2 * std::numbers::pi / request.SpinSeconds();
  e.centre = mass.centre;
  e.mass = mass.mass;
  e.gm = units.G * mass.mass;
  const double len = Norm(request.spin_axis);
  const V3 k = {request.spin_axis[0] / len, request.spin_axis[1] / len, request.spin_axis[2] / len};
  e.axis = k;
  // The equatorial frame (e1, e2, k): e1 the model's x axis (y when the
  // spin is along x) made perpendicular to k.
  const V3 x0 = std::fabs(k[0]) > 0.9 ? V3{0, 1, 0} : V3{1, 0, 0};
  const double kx = Dot(x0, k);
  V3 e1 = {x0[0] - kx * k[0], x0[1] - kx * k[1], x0[2] - kx * k[2]};
  const double n1 = Norm(e1);
  for (double& v : e1) v /= n1;
  const V3 e2 = Cross(k, e1);

  // The body's extent about the centre of mass: the largest distance of a
  // vertex or point mass from it, from the axis and from the equatorial
  // plane; the masses of either sign.
  const V3 c = e.centre;
  double R = 0, Rperp = 0, Hk = 0, negative = 0;
  const auto extend = [&](double x, double y, double z) {
    const V3 r = {x - c[0], y - c[1], z - c[2]};
    const double along = Dot(r, k);
    R = std::max(R, Norm(r));
    Hk = std::max(Hk, std::fabs(along));
    Rperp = std::max(Rperp, std::sqrt(std::max(0.0, Dot(r, r) - along * along)));
  };
  const double cubic = units.metres * units.metres * units.metres;
  for (size_t i = 0; i < body.PartCount(); ++i) {
    const auto& v = body.part(i).model().vertices;
    for (size_t j = 0; j + 2 < v.size(); j += 3) extend(v[j], v[j + 1], v[j + 2]);
    const double m = PartUnits(body, i, units).density * body.part(i).Volume() * cubic;
    if (m < 0) negative -= m;
  }
  for (const Mascon& q : body.mascons()) {
    extend(q.x, q.y, q.z);
    if (q.mass < 0) negative -= q.mass;
  }
  const double metres = units.metres, GM = e.gm, w2 = e.omega * e.omega;
  const double Rm = R * metres, Rpm = Rperp * metres;
  if (negative == 0) {
    // Every mass pulls toward points beyond its height, so g has a
    // component along the axis there: no equilibrium beyond the body's
    // height. And |g| <= GM / d^2 at d from the nearest mass, d >= rho -
    // Rperp: an equilibrium, where w^2 rho = |g_perp|, has rho (rho -
    // Rperp)^2 <= GM / w^2.
    e.height = Hk;
    e.radius = Root([&](double r) { return r * (r - Rpm) * (r - Rpm) - GM / w2; }, Rpm,
                    Rpm + 2 * std::cbrt(GM / w2) + Rpm) /
               metres;
  } else {
    // Masses of either sign (M+ + M- over |M|): g differs from the point
    // mass's by at most 2 G M_abs R / (r - R)^3 (the Hessian of 1/r is
    // 2/r^3 at most), and the rotating point mass's field is at least
    // GM / r^2 beyond 2^(1/3) its synchronous radius.
    const double ratio = (mass.mass + 2 * negative) / mass.mass;
    const double far =
        Root([&](double r) { return (r - Rm) * (r - Rm) * (r - Rm) - 2 * ratio * Rm * r * r; }, Rm,
             Rm * (3 + 2 * ratio));
    e.radius = e.height = std::max(std::cbrt(2 * GM / w2), far) / metres;
  }
  // A margin for the rounding of the bounds.
  e.radius *= 1 + 1e-9, e.height = e.height * (1 + 1e-9) + 1e-9 * R;

  const Problem problem(body, field, units, c, k, e.omega, more);
  const double g_scale = GM / (Rm * Rm);
  const double t = e.tolerance;
  // Newton's aim: the residual rounding leaves (a tolerance's error allowed).
  const double converged = std::max(1e-10, 10 * t) * g_scale;
  const mesh::Solid solid(body.model());

  std::vector<Found> found;
  // Two points closer than this (or 1e-5 of a cell) are one.
  const double merge = std::max(1e-6 * R, 1e3 * t * R);
  unsigned base = request.seeds ? request.seeds : kDefaultSeeds;
  int last_new = -1;
  // The seeds of a grid of `cells` across the cylinder of `radius` and
  // half-height `height` about the axis, shifted by `shift` cells.
  const auto seeding = [&](double radius, double height, double cells, double shift) {
    const double h = 2 * radius / cells;
    const int nr = static_cast<int>(cells) + 1;
    const int nz = static_cast<int>(std::ceil(2 * height / h)) + 1;
    const double z0 = -0.5 * (nz - 1) * h;
    std::vector<V3> grid;
    std::vector<int> slot(size_t(nr) * nr * nz, -1);
    for (int a = 0; a < nr; ++a)
      for (int b = 0; b < nr; ++b)
        for (int l = 0; l < nz; ++l) {
          const double u = -radius + (a + shift) * h, v = -radius + (b + shift) * h;
          const double w = z0 + (l + shift) * h;
          if (u * u + v * v > (radius + h) * (radius + h)) continue;
          slot[(size_t(a) * nr + b) * nz + l] = static_cast<int>(grid.size());
          grid.push_back({c[0] + u * e1[0] + v * e2[0] + w * k[0],
                          c[1] + u * e1[1] + v * e2[1] + w * k[1],
                          c[2] + u * e1[2] + v * e2[2] + w * k[2]});
        }
    const Effective g = problem.At(grid, false);
    const auto at = [&](int a, int b, int l) {
      return a < 0 || b < 0 || l < 0 || a >= nr || b >= nr || l >= nz
                 ? -1
                 : slot[(size_t(a) * nr + b) * nz + l];
    };
    const auto size = [&](int i) {
      return std::sqrt(g.F[3 * i] * g.F[3 * i] + g.F[3 * i + 1] * g.F[3 * i + 1] +
                       g.F[3 * i + 2] * g.F[3 * i + 2]);
    };
    // Seeds: the grid points where |grad V| is least among their
    // neighbours, and in each cell where every component of grad V takes
    // both signs at its corners, the corner where it is least.
    std::vector<char> seed(grid.size(), 0);
    for (int a = 0; a < nr; ++a)
      for (int b = 0; b < nr; ++b)
        for (int l = 0; l < nz; ++l) {
          const int i = at(a, b, l);
          if (i < 0 || !std::isfinite(size(i))) continue;
          bool least = true;
          for (int da = -1; da <= 1 && least; ++da)
            for (int db = -1; db <= 1 && least; ++db)
              for (int dl = -1; dl <= 1 && least; ++dl) {
                const int j = at(a + da, b + db, l + dl);
                if (j >= 0 && j != i && size(j) < size(i)) least = false;
              }
          if (least) seed[i] = 1;
          bool lo[3] = {false, false, false}, hi[3] = {false, false, false}, whole = true;
          int best = -1;
          for (int q = 0; q < 8 && whole; ++q) {
            const int j = at(a + (q & 1), b + (q >> 1 & 1), l + (q >> 2 & 1));
            if (j < 0) {
              whole = false;
              break;
            }
            for (int d = 0; d < 3; ++d)
              lo[d] = lo[d] || g.F[3 * j + d] <= 0, hi[d] = hi[d] || g.F[3 * j + d] >= 0;
            if (best < 0 || size(j) < size(best)) best = j;
          }
          if (whole && lo[0] && hi[0] && lo[1] && hi[1] && lo[2] && hi[2]) seed[best] = 1;
        }
    std::vector<V3> p;
    for (size_t i = 0; i < grid.size(); ++i)
      if (seed[i]) p.push_back(grid[i]);
    return std::pair{p, h};
  };
  // The body's neighbourhood has a grid of its own, of at least `base`
  // cells across and three a part's radius (a cavity, a core).
  double part_radius = R;
  for (size_t i = 0; i < body.PartCount(); ++i) {
    const auto pc = body.part(i).Centroid();
    const auto& v = body.part(i).model().vertices;
    double r = 0;
    for (size_t j = 0; j + 2 < v.size(); j += 3)
      r = std::max(r, Norm({v[j] - pc[0], v[j + 1] - pc[1], v[j + 2] - pc[2]}));
    part_radius = std::min(part_radius, r);
  }
  const double near_radius = std::min(1.1 * R, e.radius),
               near_height = std::min(Hk + 0.1 * R, e.height);
  const bool near = near_radius < 0.7 * e.radius || body.PartCount() > 1;
  for (int pass = 0; pass < 4; ++pass) {
    // The seeding: grids of spacing h (finer after the second, by 3/2
    // and 2), shifted by half a cell in every other one.
    const double finer = pass < 2 ? 1 : 0.5 * pass + 0.5;
    const double shift = pass % 2 ? 0.5 : 0;
    auto [p, h0] = seeding(e.radius, e.height, std::round(base * finer), shift);
    std::vector<double> cell(p.size(), h0);
    if (near) {
      const double cells =
          std::min(160.0, std::max<double>(base, std::ceil(6 * near_radius / part_radius)));
      const auto [q, h1] = seeding(near_radius, near_height, std::round(cells * finer), shift);
      p.insert(p.end(), q.begin(), q.end());
      cell.resize(p.size(), h1);
    }
    if (pass == 0 && body.mascons().empty()) p.push_back(c), cell.push_back(h0);
    e.seedings.push_back(p.size());

    // Newton's method from every seed together, each step at most two
    // cells (a seed finds the equilibrium near it), halved while the
    // residual grows; a seed that leaves the region is dropped.
    std::vector<double> damp(p.size(), 1), last(p.size(), std::numeric_limits<double>::infinity());
    std::vector<char> done(p.size(), 0);
    std::vector<Found> results;
    for (int it = 0; it < 80; ++it) {
      std::vector<size_t> active;
      std::vector<V3> q;
      for (size_t i = 0; i < p.size(); ++i)
        if (!done[i]) active.push_back(i), q.push_back(p[i]);
      if (active.empty()) break;
      if (more && !more(0)) throw Stopped();
      const Effective f = problem.At(q);
      for (size_t j = 0; j < active.size(); ++j) {
        const size_t i = active[j];
        const double* F = &f.F[3 * j];
        const double size_F = std::sqrt(F[0] * F[0] + F[1] * F[1] + F[2] * F[2]);
        if (!std::isfinite(size_F)) {  // at a point mass
          done[i] = 2;
          continue;
        }
        V3 d = NewtonStep(F, &f.H[6 * j], metres);
        const double step = Norm(d), most = 2 * cell[i] * damp[i];
        // Converged: the residual small and the point placed (its next
        // step within the field's error over the Hessian's least
        // eigenvalue, where that is the larger).
        if (size_F <= converged &&
            step <= std::max(1e-9 * R, 10 * t * Norm(d) / size_F * g_scale)) {
          results.push_back({p[i], size_F, 1});
          done[i] = 1;
          continue;
        }
        damp[i] = size_F > last[i] ? damp[i] * 0.5 : std::min(1.0, damp[i] * 2);
        last[i] = std::min(last[i], size_F);
        for (double& v : d) v *= step > most ? most / step : 1;
        for (int a = 0; a < 3; ++a) p[i][a] += d[a];
        const V3 r = {p[i][0] - c[0], p[i][1] - c[1], p[i][2] - c[2]};
        const double along = Dot(r, k), perp2 = Dot(r, r) - along * along;
        if (std::fabs(along) > 1.05 * e.height + h0 || perp2 > 1.1 * e.radius * e.radius ||
            damp[i] < 1e-6)
          done[i] = 2;
      }
    }
    // The merge: one point of each equilibrium, with its count of seeds.
    size_t before = found.size();
    bool fresh = false;
    for (const Found& r : results) {
      bool same = false;
      for (Found& f : found) {
        const V3 d = {f.p[0] - r.p[0], f.p[1] - r.p[1], f.p[2] - r.p[2]};
        if (Norm(d) <= std::max(merge, 1e-5 * h0)) {
          if (f.seeds < 1000000) ++f.seeds;
          same = true;
          break;
        }
      }
      if (!same) {
        found.push_back(r);
        fresh = fresh || pass > 0;
      }
    }
    if (pass == 0) continue;
    if (fresh) last_new = -1;  // a seeding found more: another must confirm them
    if (!fresh && found.size() == before) {
      last_new = pass - 1;
      // The count decides whether a finer seeding is wanted.
      int sum = 0;
      const Effective f = problem.At([&] {
        std::vector<V3> q;
        for (const Found& x : found) q.push_back(x.p);
        return q;
      }());
      for (size_t i = 0; i < found.size(); ++i) {
        const double det = Hessian(&f.H[6 * i]).determinant();
        sum += det > 0 ? 1 : det < 0 ? -1 : 0;
      }
      if (sum == e.expected) break;
    }
  }

  // Each point polished alone (its own call: a tolerance relative to its
  // own values) until Newton's step stops shrinking, then classified.
  for (const Found& f0 : found) {
    V3 p = f0.p;
    double best = std::numeric_limits<double>::infinity(), prev_step = best;
    Effective f;
    for (int it = 0; it < 12; ++it) {
      f = problem.At({p});
      const double size_F = std::sqrt(f.F[0] * f.F[0] + f.F[1] * f.F[1] + f.F[2] * f.F[2]);
      V3 d = NewtonStep(f.F.data(), f.H.data(), metres);
      const double step = Norm(d);
      for (double& v : d) v *= step > R * 1e-3 ? R * 1e-3 / step : 1;
      if (size_F >= best && step >= prev_step) break;
      best = std::min(best, size_F), prev_step = step;
      if (step <= 1e-15 * (Norm({p[0] - c[0], p[1] - c[1], p[2] - c[2]}) + R)) break;
      for (int a = 0; a < 3; ++a) p[a] += d[a];
    }
    f = problem.At({p});
    Equilibrium q;
    q.position = p;
    const V3 r = {p[0] - c[0], p[1] - c[1], p[2] - c[2]};
    const double along = Dot(r, k);
    q.axis_distance = std::sqrt(std::max(0.0, Dot(r, r) - along * along));
    q.potential = f.V[0];
    q.jacobi = -f.V[0];
    const double size_F = std::sqrt(f.F[0] * f.F[0] + f.F[1] * f.F[1] + f.F[2] * f.F[2]);
    q.residual = size_F / g_scale;
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> s(Hessian(f.H.data()));
    double top = w2, least = std::numeric_limits<double>::infinity();
    for (int j = 0; j < 3; ++j) {
      q.hessian[j] = s.eigenvalues()[j];
      top = std::max(top, std::fabs(q.hessian[j]));
      least = std::min(least, std::fabs(q.hessian[j]));
    }
    const bool degenerate = least <= std::max(1e-8, 10 * t) * top;
    const double det = Hessian(f.H.data()).determinant();
    q.index = degenerate ? 0 : det > 0 ? 1 : -1;
    // The position's error: the field's (the tolerance times |g| there, or
    // the residual left) over the Hessian's smallest eigenvalue.
    const double field_error = std::max(size_F, t * g_scale);
    q.error = degenerate ? std::numeric_limits<double>::infinity() : field_error / least / metres;
    q.topological_case = Classify(f.H.data(), k, e.omega, &q.eigenvalues);
    if (degenerate) q.topological_case = 0;
    q.stable = q.topological_case == 1;
    q.inside = solid.Locate({p[0], p[1], p[2]}, 0) == mesh::Solid::Where::kInside;
    q.seeds = f0.seeds;
    e.points.push_back(q);
  }
  // Outside by longitude about the axis from e1, then inside by depth
  // (distance from the centre of mass).
  const auto longitude = [&](const Equilibrium& q) {
    const V3 r = {q.position[0] - c[0], q.position[1] - c[1], q.position[2] - c[2]};
    double a = std::atan2(Dot(r, e2), Dot(r, e1));
    return a < 0 ? a + 2 * std::numbers::pi : a;
  };
  std::stable_sort(e.points.begin(), e.points.end(), [&](const auto& a, const auto& b) {
    if (a.inside != b.inside) return !a.inside;
    if (!a.inside) return longitude(a) < longitude(b);
    return Norm({a.position[0] - c[0], a.position[1] - c[1], a.position[2] - c[2]}) <
           Norm({b.position[0] - c[0], b.position[1] - c[1], b.position[2] - c[2]});
  });
  size_t degenerate = 0, loose = 0;
  for (const Equilibrium& q : e.points) {
    e.index_sum += q.index;
    degenerate += q.index == 0;
    loose += !(q.residual * g_scale <= converged);
  }
  const size_t S = e.seedings.size();
  std::string seedings;
  for (size_t i = 0; i < S; ++i)
    seedings += (i ? (i + 1 == S ? " and " : ", ") : "") + std::to_string(e.seedings[i]);
  if (e.radius > 1e4 * R) {
    // The body's departure from a point mass, (R / r)^2 there, is below
    // what the field's rounding resolves: the points near the synchronous
    // circle are degenerate in double precision.
    e.completeness = "NOT ESTABLISHED: the spin is so slow that the synchronous radius (" +
                     ShortestDigits(e.radius) + " " + units.unit +
                     ") is beyond 10^4 times the body's radius, where the equilibria near it "
                     "cannot be told apart from a circle";
  } else if (degenerate) {
    e.completeness = "NOT ESTABLISHED: " + std::to_string(degenerate) +
                     " degenerate point(s) (a Hessian eigenvalue near zero): the count "
                     "cannot be checked";
  } else if (e.index_sum != e.expected) {
    e.completeness = "FAILED: the indices sum to " + std::to_string(e.index_sum) + ", not " +
                     std::to_string(e.expected) +
                     " as the far field requires: equilibria are missing";
  } else if (last_new < 0) {
    e.completeness = "NOT ESTABLISHED: every seeding found a point the others had not";
  } else if (loose) {
    e.completeness = "NOT ESTABLISHED: " + std::to_string(loose) + " point(s) kept a residual";
  } else {
    e.complete = true;
    e.completeness = "established: seedings of " + seedings +
                     " seeds found the same points, and the indices sign(det Hessian V) sum to " +
                     std::to_string(e.expected) + ", the far field's degree" +
                     (body.mascons().empty() ? "" : " less the point masses' indices");
  }
  if (!e.complete) e.completeness += " (seedings of " + seedings + " seeds)";
  return e;
}

ContinuationRequest ContinuationOf(const std::string& text) {
  ContinuationRequest c;
  const size_t a = text.find(':'), b = a == std::string::npos ? a : text.find(':', a + 1);
  const auto number = [&](const std::string& t, double* v) {
    char* end = nullptr;
    *v = std::strtod(t.c_str(), &end);
    return !t.empty() && *end == '\0' && std::isfinite(*v) && *v > 0;
  };
  if (b != std::string::npos) {
    c.parameter = text.substr(0, a);
    if ((c.parameter == "spin-period" || c.parameter == "density") &&
        number(text.substr(a + 1, b - a - 1), &c.from) && number(text.substr(b + 1), &c.to) &&
        c.from != c.to)
      return c;
  }
  Refuse(Quantity("continue") + ": \"" + text +
         "\" is not spin-period:FROM:TO (hours) or density:FROM:TO (kg/m^3), two different "
         "positive numbers");
}

namespace {

// The continuation in sigma = s / s_from, s = w^2 times the reference
// density over the density, of the points y = (x / L, sigma), the
// equations grad V / (GM / R^2) = 0 scaled to be of order one.
class Continuer {
 public:
  Continuer(const Problem& problem, double L, double metres, double g_scale, double s_from)
      : p_(problem), L_(L), m_(metres), g_(g_scale), s0_(s_from) {}
  using Y = Eigen::Vector4d;
  struct At {
    Eigen::Vector3d F;
    Eigen::Matrix<double, 3, 4> J;
    double det = 0, V = 0;
  };
  At Evaluate(const Y& y) const {
    const Effective e = p_.At({{y[0] * L_, y[1] * L_, y[2] * L_}}, true, y[3] * s0_);
    At a;
    const Eigen::Matrix3d H = Hessian(e.H.data());
    a.det = H.determinant();
    a.V = e.V[0];
    for (int i = 0; i < 3; ++i) {
      a.F[i] = e.F[i] / g_;
      for (int j = 0; j < 3; ++j) a.J(i, j) = H(i, j) * m_ * L_ / g_;
      a.J(i, 3) = e.P[i] * s0_ / g_;
    }
    return a;
  }
  // The unit tangent: the kernel of J by its cofactors.
  static Y Tangent(const Eigen::Matrix<double, 3, 4>& J) {
    Y t;
    for (int i = 0; i < 4; ++i) {
      Eigen::Matrix3d M;
      for (int c = 0, k = 0; c < 4; ++c)
        if (c != i) M.col(k++) = J.col(c);
      t[i] = (i % 2 ? -1 : 1) * M.determinant();
    }
    return t / t.norm();
  }
  // Newton's method on grad V = 0 and t . (y - y0) = 0; false when it does
  // not converge.
  bool Correct(Y* y, const Y& y0, const Y& t, int* iterations = nullptr) const {
    for (int it = 0; it < 12; ++it) {
      const At a = Evaluate(*y);
      Eigen::Matrix4d A;
      A.topRows<3>() = a.J;
      A.row(3) = t.transpose();
      Eigen::Vector4d r;
      r.head<3>() = a.F;
      r[3] = t.dot(*y - y0);
      const Y d = -A.fullPivLu().solve(r);
      if (!d.allFinite()) return false;
      *y += d;
      if (iterations) *iterations = it + 1;
      if (d.norm() <= 1e-13 * (1 + y->norm())) return true;
    }
    return false;
  }
  // The point of sigma fixed at `sigma` from y (Newton on x alone).
  bool AtSigma(Y* y, double sigma) const {
    Y t = Y::Zero();
    t[3] = 1;
    Y y0 = *y;
    y0[3] = sigma;
    (*y)[3] = sigma;
    return Correct(y, y0, t);
  }

 private:
  const Problem& p_;
  double L_, m_, g_, s0_;
};

}  // namespace

Continuation ContinueEquilibria(const Body& body, const EquilibriaRequest& request,
                                const ContinuationRequest& cont, const More& more) {
  {
    EquilibriaRequest r = request;
    r.units = UnitsFor(request.units, body);
    Validate(r);
  }
  Continuation c;
  c.request = cont;
  const Units units = Resolve(request.units, body);
  const double w0 = 2 * std::numbers::pi / request.SpinSeconds();
  const bool spin = cont.parameter == "spin-period";
  // s of a parameter value, and back.
  const auto S = [&](double p) {
    return spin ? std::pow(2 * std::numbers::pi / (p * kSecondsPerHour), 2)
                : w0 * w0 * units.density / p;
  };
  const auto Param = [&](double s) {
    return spin ? 2 * std::numbers::pi / std::sqrt(s) / kSecondsPerHour
                : w0 * w0 * units.density / s;
  };
  const double s_from = S(cont.from), s_to = S(cont.to);
  EquilibriaRequest at = request;
  at.spin_period = 2 * std::numbers::pi / std::sqrt(s_from) / kSecondsPerHour;
  c.start = EquilibriaOf(body, at, more);
  at.spin_period = 2 * std::numbers::pi / std::sqrt(s_to) / kSecondsPerHour;
  c.end = EquilibriaOf(body, at, more);

  double R = 0;
  const V3 centre = c.start.centre;
  for (size_t j = 0; j + 2 < body.model().vertices.size(); j += 3) {
    const auto& v = body.model().vertices;
    R = std::max(R, Norm({v[j] - centre[0], v[j + 1] - centre[1], v[j + 2] - centre[2]}));
  }
  const FieldRequest field{UnitsFor(request.units, body), request.evaluation, true};
  const Problem problem(body, field, units, centre, c.start.axis, w0, more);
  const double g_scale = c.start.gm / std::pow(R * units.metres, 2);
  const Continuer k(problem, R, units.metres, g_scale, s_from);
  using Y = Continuer::Y;
  const double s_end = s_to / s_from, lo = std::min(1.0, s_end), hi = std::max(1.0, s_end);

  const auto row = [&](Branch* b, const Y& y, double V) {
    const double s = y[3] * s_from, p = Param(s);
    b->parameter.push_back(p);
    b->x.push_back(y[0] * R), b->y.push_back(y[1] * R), b->z.push_back(y[2] * R);
    // For the density, V scales with it (w^2 fixed): V_p = (p / rho0) V_s.
    b->jacobi.push_back(-(spin ? V : p / units.density * V));
    const Continuer::At a = k.Evaluate(y);
    b->index.push_back(a.det > 0 ? 1 : a.det < 0 ? -1 : 0);
  };
  std::vector<char> start_done(c.start.points.size(), 0), end_done(c.end.points.size(), 0);
  const auto nearest = [&](const Equilibria& e, const Y& y, std::vector<char>* done) {
    double best = 1e300;
    size_t which = SIZE_MAX;
    for (size_t i = 0; i < e.points.size(); ++i) {
      const auto& q = e.points[i].position;
      const double d = Norm({q[0] - y[0] * R, q[1] - y[1] * R, q[2] - y[2] * R});
      if (d < best) best = d, which = i;
    }
    if (which != SIZE_MAX && best < 1e-4 * R) (*done)[which] = 1;
  };
  // An event, once: the two branches that meet at a corner both find it.
  const auto add_event = [&](const Event& ev) {
    for (const Event& e : c.events)
      if (std::fabs(e.parameter - ev.parameter) <= 1e-8 * std::fabs(ev.parameter) &&
          Norm({e.position[0] - ev.position[0], e.position[1] - ev.position[1],
                e.position[2] - ev.position[2]}) <= 1e-4 * R)
        return;
    c.events.push_back(ev);
  };
  // One branch from the point x at sigma0, toward sigma1 first.
  const auto trace = [&](const V3& x, double sigma0, double sigma1) {
    Branch b;
    Y y(x[0] / R, x[1] / R, x[2] / R, sigma0);
    Continuer::At a = k.Evaluate(y);
    Y t = Continuer::Tangent(a.J);
    if ((t[3] > 0) != (sigma1 > sigma0)) t = -t;
    row(&b, y, a.V);
    double h = 0.01;
    for (int step = 0; step < 4000; ++step) {
      if (h < 1e-11) {
        // The branch has a corner: it meets the body's surface, where the
        // tensor jumps, and turns back there as the other equilibrium of
        // the pair (the Hessian's sign flips across the surface).
        Event ev;
        ev.parameter = Param(y[3] * s_from);
        ev.position = {y[0] * R, y[1] * R, y[2] * R};
        ev.branch = c.branches.size();
        ev.annihilation = (t[3] > 0) == (s_end > 1);
        ev.surface = true;
        add_event(ev);
        break;
      }
      if (more && !more(0)) throw Stopped();
      Y yn = y + h * t;
      int its = 0;
      if (!k.Correct(&yn, y + h * t, t, &its)) {
        h *= 0.5;
        continue;
      }
      const Continuer::At an = k.Evaluate(yn);
      Y tn = Continuer::Tangent(an.J);
      if (tn.dot(t) < 0) tn = -tn;
      // A fold: the parameter turns back where det H changes sign.
      if ((an.det > 0) != (a.det > 0) && tn[3] * t[3] < 0) {
        double d0 = 0, d1 = h;
        Y ye = yn;
        for (int it = 0; it < 80 && d1 - d0 > 1e-16 * h; ++it) {
          const double d = 0.5 * (d0 + d1);
          Y yd = y + d * t;
          if (!k.Correct(&yd, y + d * t, t)) break;
          ((k.Evaluate(yd).det > 0) == (a.det > 0) ? d0 : d1) = d;
          ye = yd;
        }
        Event ev;
        ev.parameter = Param(ye[3] * s_from);
        ev.position = {ye[0] * R, ye[1] * R, ye[2] * R};
        ev.branch = c.branches.size();
        // The pair lies on the side the branch came from.
        ev.annihilation = (t[3] > 0) == (s_end > 1);
        add_event(ev);
      }
      if (yn[3] < lo || yn[3] > hi) {  // the end of the range: the point on it
        const double edge = yn[3] < lo ? lo : hi;
        Y ye = y + (yn - y) * ((edge - y[3]) / (yn[3] - y[3]));
        if (k.AtSigma(&ye, edge)) {
          row(&b, ye, k.Evaluate(ye).V);
          const bool at_start = std::fabs(edge - 1) < 1e-12;
          nearest(at_start ? c.start : c.end, ye, at_start ? &start_done : &end_done);
        }
        break;
      }
      row(&b, yn, an.V);
      if (yn.head<3>().norm() > 50) break;  // gone (out of any bound)
      y = yn, t = tn, a = an;
      h = its <= 3 ? std::min(0.05, 1.5 * h) : its >= 6 ? 0.5 * h : h;
    }
    c.branches.push_back(std::move(b));
  };
  for (size_t i = 0; i < c.start.points.size(); ++i) {
    if (start_done[i]) continue;
    start_done[i] = 1;
    trace(c.start.points[i].position, 1, s_end);
  }
  for (size_t i = 0; i < c.end.points.size(); ++i) {
    if (end_done[i]) continue;
    end_done[i] = 1;
    trace(c.end.points[i].position, s_end, 1);
  }
  std::sort(c.events.begin(), c.events.end(), [&](const Event& a, const Event& b) {
    return (a.parameter - b.parameter) * (cont.to - cont.from) < 0;
  });
  return c;
}

ContinuationTable TableOf(const Continuation& c) {
  ContinuationTable t;
  for (size_t i = 0; i < c.branches.size(); ++i) {
    const Branch& b = c.branches[i];
    for (size_t j = 0; j < b.x.size(); ++j) {
      t.branch.push_back(double(i + 1)), t.parameter.push_back(b.parameter[j]);
      t.x.push_back(b.x[j]), t.y.push_back(b.y[j]), t.z.push_back(b.z[j]);
      t.jacobi.push_back(b.jacobi[j]), t.index.push_back(b.index[j]);
    }
  }
  return t;
}

std::vector<Column> ContinuationTable::Columns(const Continuation& c, const Units& u) const {
  const bool spin = c.request.parameter == "spin-period";
  return {{"branch", "", &branch, true},
          {spin ? "spin_period" : "density", spin ? "[h]" : "[kg/m^3]", &parameter},
          {"x", u.LengthUnit(), &x},
          {"y", u.LengthUnit(), &y},
          {"z", u.LengthUnit(), &z},
          {"jacobi", "[m^2/s^2]", &jacobi},
          {"index", "", &index, true}};
}

std::vector<std::string> ContinuationLines(const Continuation& c, const Units& u) {
  const bool spin = c.request.parameter == "spin-period";
  const std::string unit = spin ? " h" : " kg/m^3";
  std::vector<std::string> h;
  h.push_back("continuation: " + c.request.parameter + " from " + ShortestDigits(c.request.from) +
              " to " + ShortestDigits(c.request.to) + unit +
              " (pseudo-arclength, in w^2 / density, on which alone the equilibria depend)");
  h.push_back("at " + ShortestDigits(c.request.from) + unit + ": " +
              std::to_string(c.start.points.size()) + " equilibria, completeness " +
              c.start.completeness);
  h.push_back("at " + ShortestDigits(c.request.to) + unit + ": " +
              std::to_string(c.end.points.size()) + " equilibria, completeness " +
              c.end.completeness);
  h.push_back("branches: " + std::to_string(c.branches.size()) +
              ", events: " + std::to_string(c.events.size()));
  for (const Event& e : c.events)
    h.push_back("event: at " + c.request.parameter + " " + ShortestDigits(e.parameter) + unit +
                " two equilibria " + (e.annihilation ? "collide and annihilate" : "are created") +
                " at " + ShortestDigits(e.position[0]) + " " + ShortestDigits(e.position[1]) + " " +
                ShortestDigits(e.position[2]) + " " + u.unit + " (branch " +
                std::to_string(e.branch + 1) + " turns there" +
                (e.surface ? ", at the body's surface, to about 1e-10 of the parameter)" : ")"));
  return h;
}

void Validate(const PlaneRequest& r) {
  if (r.nu < 2 || r.nv < 2 || r.nu > 4096 || r.nv > 4096)
    Refuse(Quantity("grid") + ": NU,NV cells from 2 to 4096 each");
  if (r.normal) {
    const auto& n = *r.normal;
    if (!(std::isfinite(n[0]) && std::isfinite(n[1]) && std::isfinite(n[2])) ||
        (n[0] == 0 && n[1] == 0 && n[2] == 0))
      Refuse(Quantity("plane") + ": the plane's normal, three finite numbers not all zero");
  }
  if (r.extent && !(std::isfinite(*r.extent) && *r.extent > 0))
    Refuse(Quantity("extent") + ": a positive number (model units)");
}

PlaneGrid PlaneOf(const Body& body, const EquilibriaRequest& request, const Equilibria& e,
                  const PlaneRequest& plane, const More& more) {
  Validate(plane);
  const Units units = Resolve(request.units, body);
  const V3 c = e.centre;
  V3 n = plane.normal.value_or(e.axis);
  const double len = Norm(n);
  for (double& v : n) v /= len;
  const V3 x0 = std::fabs(n[0]) > 0.9 ? V3{0, 1, 0} : V3{1, 0, 0};
  const double along = Dot(x0, n);
  PlaneGrid g;
  g.e1 = {x0[0] - along * n[0], x0[1] - along * n[1], x0[2] - along * n[2]};
  const double l1 = Norm(g.e1);
  for (double& v : g.e1) v /= l1;
  g.e2 = Cross(n, g.e1);
  double R = 0, far = 0;
  const auto& vs = body.model().vertices;
  for (size_t j = 0; j + 2 < vs.size(); j += 3)
    R = std::max(R, Norm({vs[j] - c[0], vs[j + 1] - c[1], vs[j + 2] - c[2]}));
  for (const Equilibrium& q : e.points)
    far = std::max(far, Norm({q.position[0] - c[0], q.position[1] - c[1], q.position[2] - c[2]}));
  g.extent = plane.extent.value_or(std::max(1.25 * far, 1.5 * R));
  std::vector<V3> p;
  for (uint32_t j = 0; j < plane.nv; ++j)
    for (uint32_t i = 0; i < plane.nu; ++i) {
      const double u = g.extent * (2 * (i + 0.5) / plane.nu - 1);
      const double v = g.extent * (2 * (j + 0.5) / plane.nv - 1);
      g.u.push_back(u), g.v.push_back(v);
      p.push_back({c[0] + u * g.e1[0] + v * g.e2[0], c[1] + u * g.e1[1] + v * g.e2[1],
                   c[2] + u * g.e1[2] + v * g.e2[2]});
      g.x.push_back(p.back()[0]), g.y.push_back(p.back()[1]), g.z.push_back(p.back()[2]);
    }
  const FieldRequest field{UnitsFor(request.units, body), request.evaluation, false};
  const Problem problem(body, field, units, c, e.axis, e.omega, more);
  g.V = problem.At(p, false).V;
  const mesh::Solid solid(body.model());
  for (const V3& q : p)
    g.inside.push_back(solid.Locate({q[0], q[1], q[2]}, 0) == mesh::Solid::Where::kInside);
  return g;
}

std::vector<Ring> SectionOf(const mesh::Mesh& model, const V3& origin, const V3& e1, const V3& e2) {
  const V3 n = Cross(e1, e2);
  const auto& vs = model.vertices;
  const auto side = [&](uint32_t i) {
    return (vs[3 * i] - origin[0]) * n[0] + (vs[3 * i + 1] - origin[1]) * n[1] +
           (vs[3 * i + 2] - origin[2]) * n[2];
  };
  // An edge by its two ends' coordinates, the lesser first: the facets on
  // either side of it name it alike, welded or not, and place its crossing
  // at the same bits.
  using Key = std::array<double, 6>;
  const auto key = [&](uint32_t a, uint32_t b) {
    Key k{vs[3 * a], vs[3 * a + 1], vs[3 * a + 2], vs[3 * b], vs[3 * b + 1], vs[3 * b + 2]};
    if (std::lexicographical_compare(k.begin() + 3, k.end(), k.begin(), k.begin() + 3))
      std::rotate(k.begin(), k.begin() + 3, k.end());
    return k;
  };
  const auto crossing = [&](const Key& k) {
    const V3 a{k[0], k[1], k[2]}, b{k[3], k[4], k[5]};
    const double da =
        (a[0] - origin[0]) * n[0] + (a[1] - origin[1]) * n[1] + (a[2] - origin[2]) * n[2];
    const double db =
        (b[0] - origin[0]) * n[0] + (b[1] - origin[1]) * n[1] + (b[2] - origin[2]) * n[2];
    const double t = da / (da - db);
    const V3 p{a[0] + t * (b[0] - a[0]) - origin[0], a[1] + t * (b[1] - a[1]) - origin[1],
               a[2] + t * (b[2] - a[2]) - origin[2]};
    return std::pair{Dot(p, e1), Dot(p, e2)};
  };
  // Each facet across the plane crosses it along one segment, between two
  // of its edges.
  std::vector<std::array<Key, 2>> segments;
  for (size_t f = 0; f < model.FaceCount(); ++f) {
    const uint32_t* c = &model.faces[3 * f];
    std::vector<Key> cut;
    for (int k = 0; k < 3; ++k)
      if ((side(c[k]) >= 0) != (side(c[(k + 1) % 3]) >= 0))
        cut.push_back(key(c[k], c[(k + 1) % 3]));
    if (cut.size() == 2) segments.push_back({cut[0], cut[1]});
  }
  std::map<Key, std::vector<size_t>> at;
  for (size_t s = 0; s < segments.size(); ++s)
    for (const Key& k : segments[s]) at[k].push_back(s);
  std::vector<bool> used(segments.size(), false);
  std::vector<Ring> rings;
  for (size_t first = 0; first < segments.size(); ++first) {
    if (used[first]) continue;
    used[first] = true;
    Ring ring{crossing(segments[first][0])};
    Key end = segments[first][1];
    for (;;) {
      ring.push_back(crossing(end));
      size_t next = segments.size();
      for (const size_t s : at[end])
        if (!used[s]) next = s;
      if (next == segments.size()) break;
      used[next] = true;
      end = segments[next][segments[next][0] == end ? 1 : 0];
    }
    if (ring.size() > 1 && ring.back() == ring.front()) ring.pop_back();
    rings.push_back(std::move(ring));
  }
  return rings;
}

namespace {

// A direction's name on an axis of the figure: x, y, z (-x ...) when it is
// one of the model's axes, else its components.
std::string AxisName(const V3& d, const std::string& letter) {
  static const char* const names[6] = {"x", "y", "z", "-x", "-y", "-z"};
  for (int a = 0; a < 3; ++a)
    if (std::fabs(std::fabs(d[a]) - 1) < 1e-12) return names[d[a] > 0 ? a : a + 3];
  return letter + " (" + ShortestDigits(d[0]) + ", " + ShortestDigits(d[1]) + ", " +
         ShortestDigits(d[2]) + ")";
}

}  // namespace

bool WriteZeroVelocityFigure(FILE* out, figure::Output kind, const Body& body,
                             const EquilibriaRequest& request, const Equilibria& e,
                             const PlaneGrid& g, const PlaneRequest& plane,
                             const ZeroVelocityRequest& z) {
  const Units units = Resolve(request.units, body);
  figure::ContourPlot p;
  p.nu = plane.nu, p.nv = plane.nv;
  p.u0 = p.v0 = -g.extent, p.u1 = p.v1 = g.extent;
  p.values = g.V;
  for (const Equilibrium& q : e.points) p.levels.push_back(q.potential), p.strong.push_back(true);
  std::vector<double> outside;
  for (size_t i = 0; i < g.V.size(); ++i)
    if (!g.inside[i] && std::isfinite(g.V[i])) outside.push_back(g.V[i]);
  std::sort(outside.begin(), outside.end());
  if (outside.size() > 1) {
    const double lo = outside[outside.size() / 20], hi = outside[outside.size() * 19 / 20];
    constexpr int kLevels = 7;
    for (int k = 0; k < kLevels && hi > lo; ++k)
      p.levels.push_back(lo + (hi - lo) * k / (kLevels - 1)), p.strong.push_back(false);
  }
  p.section = SectionOf(body.model(), e.centre, g.e1, g.e2);
  for (size_t i = 0; i < e.points.size(); ++i) {
    const V3& q = e.points[i].position;
    const V3 d{q[0] - e.centre[0], q[1] - e.centre[1], q[2] - e.centre[2]};
    p.points.push_back({Dot(d, g.e1), Dot(d, g.e2)});
    std::string label = std::to_string(i + 1);
    label.insert(label.begin(), 'E');
    p.labels.push_back(std::move(label));
  }
  const std::string unit = "[" + units.unit + "]";
  p.u_name = AxisName(g.e1, "u") + " " + unit, p.v_name = AxisName(g.e2, "v") + " " + unit;
  figure::Style style;
  const auto [width, height] = z.size.value_or(kPictureSize);
  style.width = width, style.height = height;
  style.fit = !z.size;
  style.dark = z.dark;
  style.title = z.title;
  if (style.title.empty()) {
    std::string name = body.name();
    if (const size_t slash = name.rfind('/'); slash != std::string::npos) name.erase(0, slash + 1);
    style.title = (name.empty() ? "" : name + ", ") + "spin period " +
                  ShortestDigits(request.spin_period.value_or(0)) + " h: zero-velocity curves of V";
    const V3 n = Cross(g.e1, g.e2);
    if (Norm({n[0] - e.axis[0], n[1] - e.axis[1], n[2] - e.axis[2]}) > 1e-12)
      style.title += " in the plane normal to (" + ShortestDigits(n[0]) + ", " +
                     ShortestDigits(n[1]) + ", " + ShortestDigits(n[2]) + ")";
  }
  return figure::DrawContours(out, kind, p, style);
}

std::vector<Column> PlaneGrid::Columns(const Units& units) const {
  return {{"u", units.LengthUnit(), &u}, {"v", units.LengthUnit(), &v},
          {"x", units.LengthUnit(), &x}, {"y", units.LengthUnit(), &y},
          {"z", units.LengthUnit(), &z}, {"V", "[m^2/s^2]", &V},
          {"inside", "", &inside, true}};
}

EquilibriaTable TableOf(const Equilibria& e) {
  EquilibriaTable t;
  for (const Equilibrium& q : e.points) {
    t.x.push_back(q.position[0]), t.y.push_back(q.position[1]), t.z.push_back(q.position[2]);
    t.rho.push_back(q.axis_distance);
    t.V.push_back(q.potential), t.jacobi.push_back(q.jacobi);
    t.inside.push_back(q.inside);
    for (int j = 0; j < 6; ++j)
      t.eig[2 * j].push_back(q.eigenvalues[j].real()),
          t.eig[2 * j + 1].push_back(q.eigenvalues[j].imag());
    t.stable.push_back(q.stable), t.cases.push_back(q.topological_case);
    t.index.push_back(q.index), t.residual.push_back(q.residual), t.error.push_back(q.error);
    t.seeds.push_back(q.seeds);
  }
  return t;
}

std::vector<Column> EquilibriaTable::Columns(const Units& u) const {
  std::vector<Column> cols = {{"x", u.LengthUnit(), &x},    {"y", u.LengthUnit(), &y},
                              {"z", u.LengthUnit(), &z},    {"rho", u.LengthUnit(), &rho},
                              {"V", "[m^2/s^2]", &V},       {"jacobi", "[m^2/s^2]", &jacobi},
                              {"inside", "", &inside, true}};
  static const char* const names[12] = {"re1", "im1", "re2", "im2", "re3", "im3",
                                        "re4", "im4", "re5", "im5", "re6", "im6"};
  for (int j = 0; j < 12; ++j) cols.push_back({names[j], "[1/s]", &eig[j]});
  cols.push_back({"stable", "", &stable, true});
  cols.push_back({"case", "", &cases, true});
  cols.push_back({"index", "", &index, true});
  cols.push_back({"residual", "", &residual});
  cols.push_back({"error", u.LengthUnit(), &error});
  cols.push_back({"seeds", "", &seeds, true});
  return cols;
}

std::vector<std::string> EquilibriaLines(const Equilibria& e, const Units& u) {
  const double hours = 2 * std::numbers::pi / e.omega / kSecondsPerHour;
  std::vector<std::string> h;
  h.push_back("spin: period " + ShortestDigits(hours) + " h (omega " + ShortestDigits(e.omega) +
              " rad/s) about (" + ShortestDigits(e.axis[0]) + ", " + ShortestDigits(e.axis[1]) +
              ", " + ShortestDigits(e.axis[2]) + ") through the centre of mass " +
              ShortestDigits(e.centre[0]) + " " + ShortestDigits(e.centre[1]) + " " +
              ShortestDigits(e.centre[2]) + " " + u.unit);
  h.push_back("mass: " + ShortestDigits(e.mass) + " kg, GM " + ShortestDigits(e.gm) + " m^3/s^2");
  h.push_back(
      "effective potential: V = U + omega^2 rho^2 / 2 (rho from the spin axis); "
      "jacobi = -V, the Jacobi integral v^2/2 - V at rest");
  h.push_back("search region: within " + ShortestDigits(e.radius) + " " + u.unit +
              " of the axis and " + ShortestDigits(e.height) + " " + u.unit +
              " of the equatorial plane, where every equilibrium lies");
  h.push_back("evaluation: " + (e.tolerance > 0 ? "the tree under the relative tolerance " +
                                                      ShortestDigits(e.tolerance) +
                                                      " (error: the position's error bound)"
                                                : std::string("exact")));
  h.push_back("equilibria: " + std::to_string(e.points.size()) + " (" +
              std::to_string(std::count_if(e.points.begin(), e.points.end(),
                                           [](const Equilibrium& q) { return !q.inside; })) +
              " outside), index sum " + std::to_string(e.index_sum));
  h.push_back("completeness: " + e.completeness);
  h.push_back(
      "order: outside by longitude about the axis, then inside from the centre out; "
      "eigenvalues re_i + i im_i of the motion linearised in the rotating frame; case: "
      "1-8 by their structure (docs/equilibria.md), 0 degenerate");
  return h;
}

}  // namespace science
