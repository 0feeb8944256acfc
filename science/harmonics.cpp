// Stokes coefficients of polyhedral parts: the tetrahedra's integrals
// (shape_harmonics.h) summed in a fixed order over fixed blocks of facets,
// threads taking the blocks of a round as they come, then normalised; and
// the coefficients' files.
#include "science/harmonics.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "common/geometry.h"
#include "common/print.h"
#include "engine/threads.h"
#include "mesh/check.h"
#include "mesh/mesh.h"
#include "science/outputs.h"
#include "science/shape_harmonics.h"
#include "science/table.h"

namespace science {

namespace {

// Facets a block (summed by one call, on one thread), and blocks a round
// (their sums are kept until the round is added in block order): 16, fewer
// at high degrees, where each block's sums are large (8 MB at degree 1000).
// Neither depends on the thread count, so neither do the bits.
constexpr size_t kBlockFacets = 1024;
size_t RoundBlocks(size_t coefficients) {
  return std::clamp<size_t>((size_t{1} << 21) / coefficients, 4, 16);
}

struct Block {
  const double* corners;
  size_t count;
  double density;
};

std::string Prefix(const std::string& model) {
  return model.empty() ? "" : model + ": ";
}

std::string NotPositive(size_t parts) {
  return parts == 1 ? "the volume is not positive"
                    : "the total mass (density x volume) is not positive";
}

}  // namespace

void CheckHarmonicsRequest(const HarmonicsRequest& request) {
  if (request.degree < 0 || request.degree > kMaxHarmonicDegree)
    throw Failure(Quantity("degree") + ": " + std::to_string(request.degree) +
                  " is not a degree from 0 to " + std::to_string(kMaxHarmonicDegree));
  const auto& R0 = request.reference_radius;
  if (R0 && !(*R0 > 0 && std::isfinite(*R0)))
    throw Failure(Quantity("reference_radius") + ": not a positive number",
                  Failure::Kind::kBadValue);
}

HarmonicOrigin HarmonicOriginOf(const std::string& name) {
  if (name == "model") return HarmonicOrigin::kModel;
  if (name == "centre-of-mass") return HarmonicOrigin::kCentreOfMass;
  throw Failure(Quantity("origin") + ": \"" + name + "\" is not one of model, centre-of-mass");
}

namespace {

// A point mass's weight in the parts' units, density x model units cubed.
double Weight(const Mascon& q, const Units& units) {
  return q.mass / (units.metres * units.metres * units.metres);
}

// Adds to `total` (the carried sums of shape_harmonics.h, in units of s^3)
// the point masses' terms: w u^n Pbar_nm(sin phi) e^{im lambda}, u = r / s,
// carried divided by the normalisation's factor
// sqrt((2 - delta_m0) / (2n + 1)) 6 / ((n + 1)(n + 2)(n + 3)). The solid
// harmonics by the recursions of the fully normalised functions: sectoral
// Q_mm = sqrt((2m + 1) / 2m) (x + iy)/s Q_{m-1,m-1} (sqrt 3 for m = 1), then
// Q_{m+1,m} = sqrt(2m + 3) z/s Q_mm and
// Q_nm = a_nm z/s Q_{n-1,m} - b_nm u^2 Q_{n-2,m}.
void AddMascons(const std::vector<Mascon>& mascons, const Units& units, const double origin[3],
                double s, int N, std::vector<double>* total) {
  std::vector<double> re(size_t(N) + 1), im(size_t(N) + 1);
  for (const Mascon& q : mascons) {
    const double w = Weight(q, units) / (s * s * s);
    const double x = (q.x - origin[0]) / s, y = (q.y - origin[1]) / s, z = (q.z - origin[2]) / s;
    const double u2 = x * x + y * y + z * z;
    double sector_re = 1, sector_im = 0;  // Q_mm
    for (int m = 0; m <= N; ++m) {
      if (m > 0) {
        const double c = m == 1 ? std::sqrt(3.0) : std::sqrt((2.0 * m + 1) / (2.0 * m));
        const double r = c * (x * sector_re - y * sector_im),
                     i = c * (x * sector_im + y * sector_re);
        sector_re = r, sector_im = i;
      }
      for (int n = m; n <= N; ++n) {
        if (n == m) {
          re[n] = sector_re, im[n] = sector_im;
        } else if (n == m + 1) {
          const double a = std::sqrt(2.0 * m + 3);
          re[n] = a * z * re[n - 1], im[n] = a * z * im[n - 1];
        } else {
          const double nm = double(n - m) * double(n + m);
          const double a = std::sqrt(double(2 * n - 1) * double(2 * n + 1) / nm);
          const double b = std::sqrt(double(2 * n + 1) * double(n + m - 1) * double(n - m - 1) /
                                     (nm * double(2 * n - 3)));
          re[n] = a * z * re[n - 1] - b * u2 * re[n - 2];
          im[n] = a * z * im[n - 1] - b * u2 * im[n - 2];
        }
        const double carried = double(n + 1) * double(n + 2) * double(n + 3) / 6 /
                               std::sqrt((m ? 2.0 : 1.0) / double(2 * n + 1));
        const size_t k = shape::Index(n, m);
        (*total)[2 * k] += w * carried * re[n] / double(2 * n + 1);
        (*total)[2 * k + 1] += w * carried * im[n] / double(2 * n + 1);
      }
    }
  }
}

}  // namespace

Harmonics PartsHarmonics(const std::vector<HarmonicPart>& parts, const Units& units,
                         const HarmonicsRequest& request, const std::vector<Mascon>& mascons) {
  CheckHarmonicsRequest(request);
  const int N = request.degree;
  // A homogeneous body is summed at unit density: its coefficients, and
  // its centre of mass, are then the same bits at any density.
  const bool alone = parts.size() == 1 && mascons.empty();
  const auto weight = [alone](const HarmonicPart& p) { return alone ? 1.0 : p.density; };
  std::array<double, 3> origin{0, 0, 0};
  if (request.origin == HarmonicOrigin::kCentreOfMass) {
    // The volume and centroid rule of each part, weighted by its density,
    // all about one corner of the model (so that a model far from its
    // origin keeps its digits), which is then added back.
    double mass = 0, moment[3] = {0, 0, 0};
    const geometry::Vec o =
        parts.empty() || !parts[0].facets ? geometry::Vec{0, 0, 0} : geometry::At(parts[0].corners);
    for (const HarmonicPart& p : parts) {
      geometry::VolumeAbout about(o);
      for (size_t f = 0; f < p.facets; ++f) {
        const double* v = p.corners + 9 * f;
        about.Add(geometry::At(v), geometry::At(v + 3), geometry::At(v + 6));
      }
      const geometry::VolumeSum& sum = about.sum;
      const double w = weight(p);
      mass += w * sum.D;
      moment[0] += w * sum.Sx, moment[1] += w * sum.Sy;
      moment[2] += w * sum.Sz;
    }
    // A point mass as a tetrahedron's D = 6 V and S = 4 D times its place
    // (about the same corner).
    for (const Mascon& q : mascons) {
      const double D = 6 * Weight(q, units);
      mass += D;
      moment[0] += 4 * D * (q.x - o.x), moment[1] += 4 * D * (q.y - o.y);
      moment[2] += 4 * D * (q.z - o.z);
    }
    if (!(mass > 0) || (alone && !(parts[0].density > 0)))
      throw Failure(Prefix(request.model) + NotPositive(parts.size()));
    origin = {o.x + moment[0] / (4 * mass), o.y + moment[1] / (4 * mass),
              o.z + moment[2] / (4 * mass)};
  }
  // The Brillouin radius s: every coordinate is divided by it, so that each
  // term of the recursion stays of order 1 at any degree.
  double s2 = 0;
  std::vector<Block> blocks;
  for (const HarmonicPart& p : parts) {
    for (size_t i = 0; i < 3 * p.facets; ++i) {
      const double* v = p.corners + 3 * i;
      const double d[3] = {v[0] - origin[0], v[1] - origin[1], v[2] - origin[2]};
      const double d2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
      if (!std::isfinite(d2))
        throw Failure(Prefix(request.model) + "a vertex is not a finite number");
      s2 = std::max(s2, d2);
    }
    for (size_t f = 0; f < p.facets; f += kBlockFacets)
      blocks.push_back({p.corners + 9 * f, std::min(kBlockFacets, p.facets - f), weight(p)});
  }
  for (const Mascon& q : mascons) {
    const double d[3] = {q.x - origin[0], q.y - origin[1], q.z - origin[2]};
    s2 = std::max(s2, d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
  }
  const double s = std::sqrt(s2);
  if (!(s > 0)) throw Failure(Prefix(request.model) + "no vertex away from the origin");

  const size_t K = shape::Index(N + 1, 0);
  // This part's blocks: part, part + P, ... of P parts (all in one process).
  const size_t P = std::max(1u, request.parts), part = request.part % P;
  const size_t own = blocks.size() > part ? (blocks.size() - part + P - 1) / P : 0;
  const size_t round = RoundBlocks(K), slots_used = std::min(round, own);
  ThreadTeam team;
  team.SetCount(static_cast<unsigned>(
      std::min<size_t>(std::max(1u, request.threads), std::max<size_t>(1, slots_used))));
  std::vector<shape::Integrals> work(team.Count(), shape::Integrals(N));
  std::vector<double> slots(slots_used * 2 * K), total(2 * K, 0.0), taken(P > 1 ? 2 * K : 0);
  const double inv = 1 / s;
  const auto add = [&](const double* sums) {
    for (size_t k = 0; k < 2 * K; ++k) total[k] += sums[k];
  };
  size_t added = 0;  // blocks added to the total, in block order (part 0)
  const auto take_until = [&](size_t end) {
    for (; added < end; ++added) {
      request.exchange->Take(added, static_cast<unsigned>(added % P), taken.data(), 2 * K);
      add(taken.data());
    }
  };
  if (request.exchange) request.exchange->Ready();
  // As many rounds on every part as part 0 (which owns the most blocks)
  // takes: round r holds the parts' blocks j of r round <= j < (r + 1) round.
  const size_t most = (blocks.size() + P - 1) / P, rounds = (most + round - 1) / round;
  // Blocks summed by this part; the face may stop the sums between any two
  // of the calling thread's (a stopped run gives no coefficients, so the
  // bits of a finished one do not depend on where it was asked).
  std::atomic<size_t> summed{0};
  std::atomic<bool> stop{false};
  const auto wanted = [&] {
    if (request.more && !request.more(double(summed) / double(std::max<size_t>(own, 1))))
      stop = true;
  };
  for (size_t r = 0; r < rounds; ++r) {
    const size_t first = r * round, n = first < own ? std::min(round, own - first) : 0;
    std::exception_ptr failure;
    try {
      std::atomic<size_t> next{0};
      if (n > 0)
        team.MultiThreading(n, [&](unsigned t, unsigned) {
          for (size_t j; !stop && (j = next.fetch_add(1)) < n;) {
            const Block& b = blocks[part + (first + j) * P];
            work[t].Sum(b.corners, b.count, origin.data(), inv, b.density, &slots[j * 2 * K]);
            ++summed;
            if (t == 0) wanted();
          }
        });
      if (!stop) wanted();
      if (stop) throw Stopped();
    } catch (...) {
      if (!request.exchange) throw;
      failure = std::current_exception();
    }
    if (request.exchange) request.exchange->Round(failure);
    for (size_t j = 0; j < n; ++j) {
      const size_t block = part + (first + j) * P;
      if (part != 0) {
        request.exchange->Give(block, &slots[j * 2 * K], 2 * K);
        continue;
      }
      take_until(block);
      add(&slots[j * 2 * K]);
      ++added;
    }
    // The other parts' blocks of this round after part 0's last.
    if (part == 0) take_until(std::min(blocks.size(), (r + 1) * round * P));
  }
  Harmonics h;
  h.degree = N;
  if (request.exchange) request.exchange->Done();
  if (part != 0) return h;

  AddMascons(mascons, units, origin.data(), s, N, &total);
  // total[0] is the sum of density x volume (of the volume alone for a
  // single part) in units of s^3.
  const double mass = total[0];
  if (!(mass > 0) || (alone && !(parts[0].density > 0)))
    throw Failure(Prefix(request.model) + NotPositive(parts.size()));
  h.units = units;
  h.origin = origin;
  h.origin_kind = request.origin;
  h.model = request.model;
  h.mass = (alone ? parts[0].density : 1) * (mass * s * s * s);
  const double cubic = units.metres * units.metres * units.metres;
  h.gm = units.Si() ? units.G * (h.mass * cubic) : h.mass;
  h.brillouin = !request.reference_radius;
  h.reference_radius = request.reference_radius.value_or(s);
  const size_t side = size_t(N) + 1;
  h.C.assign(side * side, 0.0);
  h.S.assign(side * side, 0.0);
  // C + iS = sqrt((2 - delta_m0) / (2n + 1)) 6 / ((n + 1)(n + 2)(n + 3))
  //          (s / R0)^n sum / mass  (shape_harmonics.h: the normalised
  // integral of R_n^m is 6 V / (n + 3)! times the carried coefficient).
  const double ratio = s / h.reference_radius;
  for (int n = 0; n <= N; ++n) {
    const double scale =
        6 / (double(n + 1) * double(n + 2) * double(n + 3)) * std::pow(ratio, double(n));
    for (int m = 0; m <= n; ++m) {
      const double norm = std::sqrt((m ? 2.0 : 1.0) / double(2 * n + 1)) * scale;
      const size_t k = shape::Index(n, m);
      const double C = total[2 * k] / mass * norm, S = total[2 * k + 1] / mass * norm;
      if (!std::isfinite(C) || !std::isfinite(S))
        throw Failure(Quantity("reference_radius") + ": " + ShortestDigits(h.reference_radius) +
                      " is so far inside the Brillouin sphere (radius " + ShortestDigits(s) +
                      ") that the coefficients of degree " + std::to_string(n) + " overflow");
      h.C[size_t(n) * side + size_t(m)] = C;
      h.S[size_t(n) * side + size_t(m)] = S;
    }
  }
  return h;
}

namespace {

// GM from the model's volume (the one its density was resolved against),
// as the surface's summary has it: G rho V, or V in G rho = 1.
Harmonics Homogeneous(const mesh::Mesh& model, const Units& units, const HarmonicsRequest& request,
                      double volume) {
  const std::vector<double> corners = model.FaceCorners();
  Harmonics h = PartsHarmonics(
      {{corners.data(), model.FaceCount(), units.Si() ? units.density : 1}}, units, request);
  h.vertices = model.VertexCount();
  h.facets = model.FaceCount();
  h.mass = units.Si() ? units.density * volume : volume;
  h.gm = units.Si() ? units.GM(volume) : volume;
  return h;
}

}  // namespace

Harmonics HarmonicsOf(const mesh::Mesh& model, const Units& units,
                      const HarmonicsRequest& request) {
  CheckHarmonicsRequest(request);
  const std::string problem = mesh::Check(model).Problem();
  if (!problem.empty())
    throw Failure(Prefix(request.model) + "unfit for the field formulas: " + problem,
                  Failure::Kind::kUnfit);
  return Homogeneous(model, units, request, mesh::VolumeOf(model).Volume());
}

Harmonics HarmonicsOf(const Body& body, const UnitsRequest& units, const HarmonicsRequest& request,
                      const std::string& format) {
  const UnitsRequest given = UnitsFor(units, body);
  Validate(given);
  CheckHarmonicsRequest(request);
  if (!format.empty()) {
    // Before any work: a density (mass, GM) given or not is all it needs.
    Units si;
    si.density = given.density || given.mass || given.gm ? 1 : 0;
    CheckHarmonicsFile(HarmonicsFormatOf(format), si);
  }
  RequireFit(body);
  const Units resolved = Resolve(given, body.Volume());
  if (body.Homogeneous()) {
    Harmonics h = Homogeneous(body.model(), resolved, request, body.Volume());
    // The constant given, as it was given: not again from the density it
    // gave.
    if (given.gm) h.gm = *given.gm;
    if (given.mass) h.gm = resolved.G * *given.mass;
    h.sources = body.sources();
    return h;
  }
  RequirePositiveMass(body, resolved, "the coefficients");
  std::vector<HarmonicPart> parts;
  for (size_t i = 0; i < body.PartCount(); ++i) {
    const Part& p = body.part(i);
    parts.push_back(
        {p.corners().data(), p.model().FaceCount(), i == 0 ? resolved.density : p.density()});
  }
  Harmonics h = PartsHarmonics(parts, resolved, request, body.mascons());
  h.vertices = body.model().VertexCount();
  h.facets = body.model().FaceCount();
  h.body = BodyLines(body, resolved);
  // G times the total mass that the header's body lines state.
  h.gm = resolved.G * MassOf(body, resolved).mass;
  h.sources = body.sources();
  return h;
}

HarmonicsFormat HarmonicsFormatOf(const std::string& name) {
  if (name == "tsv") return HarmonicsFormat::kTsv;
  if (name == "csv") return HarmonicsFormat::kCsv;
  if (name == "npy") return HarmonicsFormat::kNpy;
  if (name == "icgem") return HarmonicsFormat::kIcgem;
  if (name == "shadr") return HarmonicsFormat::kShadr;
  throw Failure(Quantity("format") + ": \"" + name +
                "\" is not one of tsv, csv, npy, icgem, shadr");
}

namespace {

const char* const kConvention =
    "4-pi fully normalised, no Condon-Shortley phase: U = GM/r sum_n (R0/r)^n sum_m "
    "Pbar_nm(sin lat) (C_nm cos m lon + S_nm sin m lon)";

// " km" with SI units, " (model units)" without.
std::string Unit(const Harmonics& h) {
  return h.units.Si() ? " " + h.units.unit : " (model units)";
}

std::string OriginText(const Harmonics& h) {
  std::string text =
      h.origin_kind == HarmonicOrigin::kModel ? "the model's origin (" : "the centre of mass (";
  for (int k = 0; k < 3; ++k) text += ShortestDigits(h.origin[k]) + (k < 2 ? ", " : ")");
  return text + Unit(h);
}

std::string ModelText(const Harmonics& h) {
  return (h.model.empty() ? "arrays" : h.model) + " (" + std::to_string(h.vertices) +
         " vertices, " + std::to_string(h.facets) + " faces)";
}

std::vector<std::string> Header(const Harmonics& h) {
  std::vector<std::string> lines;
  lines.push_back(std::string("polyfield ") + POLYFIELD_VERSION + " harmonics");
  lines.push_back("model: " + ModelText(h));
  lines.insert(lines.end(), h.body.begin(), h.body.end());
  lines.push_back("convention: " + std::string(kConvention));
  lines.push_back("degree: " + std::to_string(h.degree));
  std::string radius = "reference radius R0: " + ShortestDigits(h.reference_radius) + Unit(h);
  if (h.units.Si() && h.units.metres != 1)
    radius += " (" + ShortestDigits(h.ReferenceRadiusMetres()) + " m)";
  if (h.brillouin)
    radius += ", the Brillouin radius (the largest distance of a vertex from the origin)";
  lines.push_back(radius);
  if (h.units.Si())
    lines.push_back("GM: " + ShortestDigits(h.GM()) + " m^3/s^2 (" +
                    (h.body.empty() ? "density " + ShortestDigits(h.units.density) + " kg/m^3"
                                    : std::string("the body's parts and point masses")) +
                    ", G " + ShortestDigits(h.units.G) + " m^3/(kg s^2), model lengths in " +
                    h.units.unit + ")");
  else
    lines.push_back("GM: " + ShortestDigits(h.GM()) +
                    ", the volume in model units cubed (G rho = 1: no --density given)");
  lines.push_back("origin: " + OriginText(h));
  return lines;
}

// The shortest digits that read back as the same double, in exponent form
// ("-5.248652450193384e-02"), as the gravity-field formats print them.
std::string Exponent(double v) {
  char buf[32];
  return std::string(buf,
                     std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific).ptr);
}

std::string Icgem(const Harmonics& h) {
  // The file's name up to its first dot, in one word: the keyword's value
  // is a single token.
  std::string name = std::filesystem::path(h.model).filename().string();
  name = HeaderWord(name.substr(0, name.find('.')));
  if (name.empty()) name = "shape";
  const std::string body = h.body.empty()
                               ? "a homogeneous body of the shape " + ModelText(h) + ", density " +
                                     ShortestDigits(h.units.density) + " kg/m^3"
                               : "the body of parts below, the first " + ModelText(h);
  // The free text before begin_of_head, a line each as in the tables'
  // headers: a name in it never starts a line of the file's own.
  std::string out =
      HeaderLine(std::string("polyfield ") + POLYFIELD_VERSION + " harmonics: the exact field of " +
                 body + ", about " + OriginText(h)) +
      "\n";
  for (const std::string& line : h.body) out += HeaderLine(line) + "\n";
  out += "convention: " + std::string(kConvention) + "\n";
  out += "begin_of_head =================================================================\n";
  auto key = [&](const char* k, const std::string& v) {
    out += k + std::string(24 - std::string(k).size(), ' ') + v + "\n";
  };
  key("product_type", "gravity_field");
  key("modelname", name);
  key("earth_gravity_constant", Exponent(h.GM()));
  key("radius", Exponent(h.ReferenceRadiusMetres()));
  key("max_degree", std::to_string(h.degree));
  key("errors", "no");
  key("norm", "fully_normalized");
  key("tide_system", "zero_tide");
  out += "key     L     M                       C                       S  sigma C  sigma S\n";
  out += "end_of_head ===================================================================\n";
  char line[128];
  for (int n = 0; n <= h.degree; ++n)
    for (int m = 0; m <= n; ++m) {
      std::snprintf(line, sizeof line, "gfc %5d %5d %23s %23s 0 0\n", n, m,
                    Exponent(h.Cnm(n, m)).c_str(), Exponent(h.Snm(n, m)).c_str());
      out += line;
    }
  return out;
}

// Fixed-length records as the PDS tables have them: reals as E23.16 (17
// digits, which read back to the same double), integers as I5.
std::string Shadr(const Harmonics& h) {
  char line[256];
  std::snprintf(line, sizeof line, "%23.16E,%23.16E,%23.16E,%5d,%5d,%5d,%23.16E,%23.16E\n",
                h.ReferenceRadiusMetres() / 1000, h.GM() / 1e9, 0.0, h.degree, h.degree, 1, 0.0,
                0.0);
  std::string out = line;
  for (int n = 0; n <= h.degree; ++n)
    for (int m = 0; m <= n; ++m) {
      std::snprintf(line, sizeof line, "%5d,%5d,%23.16E,%23.16E,%23.16E,%23.16E\n", n, m,
                    h.Cnm(n, m), h.Snm(n, m), 0.0, 0.0);
      out += line;
    }
  return out;
}

}  // namespace

void CheckHarmonicsFile(HarmonicsFormat format, const Units& units) {
  if ((format == HarmonicsFormat::kIcgem || format == HarmonicsFormat::kShadr) && !units.Si())
    throw Failure(Quantity("format") + " " +
                      (format == HarmonicsFormat::kIcgem ? "icgem" : "shadr") +
                      " needs a density, mass or GM: the file's GM is in SI units",
                  Failure::Kind::kBadValue);
}

std::string HarmonicsText(const Harmonics& h, HarmonicsFormat format) {
  CheckHarmonicsFile(format, h.units);
  if (format == HarmonicsFormat::kIcgem) return Icgem(h);
  if (format == HarmonicsFormat::kShadr) return Shadr(h);
  std::vector<double> n, m, C, S;
  for (int i = 0; i <= h.degree; ++i)
    for (int j = 0; j <= i; ++j) {
      n.push_back(i), m.push_back(j);
      C.push_back(h.Cnm(i, j)), S.push_back(h.Snm(i, j));
    }
  const TableFormat table = format == HarmonicsFormat::kTsv   ? TableFormat::kTsv
                            : format == HarmonicsFormat::kCsv ? TableFormat::kCsv
                                                              : TableFormat::kNpy;
  return TableText(table, Header(h), {{"n", "", &n}, {"m", "", &m}, {"C", "", &C}, {"S", "", &S}});
}

void WriteHarmonics(const std::string& path, const Harmonics& h, HarmonicsFormat format,
                    const std::string& quantity) {
  const std::string text = HarmonicsText(h, format);
  Outputs outputs(h.sources);
  FILE* out = outputs.Open(quantity, path);
  if (std::fwrite(text.data(), 1, text.size(), out) != text.size())
    throw Failure(path == "-" ? "standard output: write error" : path + ": write error");
  outputs.Commit();
}

}  // namespace science
