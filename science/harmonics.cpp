// Stokes coefficients of polyhedral parts: the tetrahedra's integrals
// (shape_harmonics.h) summed over fixed blocks of facets, threads taking
// the blocks as they come, added in block order, then normalised; and the
// coefficients' files.
#include "science/harmonics.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <stdexcept>

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
// (their sums held at once): 16, fewer at high degrees. Neither depends on
// the thread count, so neither do the bits.
constexpr size_t kBlockFacets = 1024;
size_t RoundOf(size_t coefficients) {
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
    Refuse(Quantity("degree") + ": " + std::to_string(request.degree) +
           " is not a degree from 0 to " + std::to_string(kMaxHarmonicDegree));
  const auto& R0 = request.reference_radius;
  if (R0 && !(*R0 > 0 && std::isfinite(*R0)))
    throw Failure(Quantity("reference_radius") + ": not a positive number",
                  Failure::Kind::kBadValue);
}

HarmonicOrigin HarmonicOriginOf(const std::string& name) {
  if (name == "model") return HarmonicOrigin::kModel;
  if (name == "centre-of-mass") return HarmonicOrigin::kCentreOfMass;
  Refuse(Quantity("origin") + ": \"" + name + "\" is not one of model, centre-of-mass");
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

// The weight a part is summed at: a homogeneous body at unit density, so
// that its coefficients, and its centre of mass, are the same bits at any
// density.
double SumDensity(const HarmonicPart& p, bool alone) {
  return alone ? 1.0 : p.density;
}

// The volume and centroid rule of each part, weighted by its density, all
// about one corner of the model (so that a model far from its origin keeps
// its digits), which is then added back; a point mass as a tetrahedron's
// D = 6 V and S = 4 D times its place (about the same corner).
std::array<double, 3> CentreOfMass(const std::vector<HarmonicPart>& parts,
                                   const std::vector<Mascon>& mascons, const Units& units,
                                   bool alone, const std::string& model) {
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
    const double w = SumDensity(p, alone);
    mass += w * sum.D;
    moment[0] += w * sum.Sx, moment[1] += w * sum.Sy;
    moment[2] += w * sum.Sz;
  }
  for (const Mascon& q : mascons) {
    const double D = 6 * Weight(q, units);
    mass += D;
    moment[0] += 4 * D * (q.x - o.x), moment[1] += 4 * D * (q.y - o.y);
    moment[2] += 4 * D * (q.z - o.z);
  }
  if (!(mass > 0) || (alone && !(parts[0].density > 0)))
    throw Failure(Prefix(model) + NotPositive(parts.size()));
  return {o.x + moment[0] / (4 * mass), o.y + moment[1] / (4 * mass), o.z + moment[2] / (4 * mass)};
}

// The Brillouin radius s, which holds the point masses too: every
// coordinate is divided by it, so that each term of the recursion stays of
// order 1 at any degree.
double BrillouinRadius(const std::vector<HarmonicPart>& parts, const std::vector<Mascon>& mascons,
                       const std::array<double, 3>& origin, const std::string& model) {
  double s2 = 0;
  for (const HarmonicPart& p : parts)
    for (size_t i = 0; i < 3 * p.facets; ++i) {
      const double* v = p.corners + 3 * i;
      const double d[3] = {v[0] - origin[0], v[1] - origin[1], v[2] - origin[2]};
      const double d2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
      if (!std::isfinite(d2)) throw Failure(Prefix(model) + "a vertex is not a finite number");
      s2 = std::max(s2, d2);
    }
  for (const Mascon& q : mascons) {
    const double d[3] = {q.x - origin[0], q.y - origin[1], q.z - origin[2]};
    s2 = std::max(s2, d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
  }
  const double s = std::sqrt(s2);
  if (!(s > 0)) throw Failure(Prefix(model) + "no vertex away from the origin");
  return s;
}

// The parts' facets in blocks of kBlockFacets, part by part.
std::vector<Block> FacetBlocks(const std::vector<HarmonicPart>& parts, bool alone) {
  std::vector<Block> blocks;
  for (const HarmonicPart& p : parts)
    for (size_t f = 0; f < p.facets; f += kBlockFacets)
      blocks.push_back(
          {p.corners + 9 * f, std::min(kBlockFacets, p.facets - f), SumDensity(p, alone)});
  return blocks;
}

// C + iS = sqrt((2 - delta_m0) / (2n + 1)) 6 / ((n + 1)(n + 2)(n + 3))
//          (s / R0)^n sum / mass  (shape_harmonics.h: the normalised
// integral of R_n^m is 6 V / (n + 3)! times the carried coefficient), for
// h's degree and reference radius; refused where they overflow.
void Normalise(const std::vector<double>& total, double mass, double s, Harmonics* h) {
  const int N = h->degree;
  const size_t side = size_t(N) + 1;
  h->C.assign(side * side, 0.0);
  h->S.assign(side * side, 0.0);
  const double ratio = s / h->reference_radius;
  for (int n = 0; n <= N; ++n) {
    const double scale =
        6 / (double(n + 1) * double(n + 2) * double(n + 3)) * std::pow(ratio, double(n));
    for (int m = 0; m <= n; ++m) {
      const double norm = std::sqrt((m ? 2.0 : 1.0) / double(2 * n + 1)) * scale;
      const size_t k = shape::Index(n, m);
      const double C = total[2 * k] / mass * norm, S = total[2 * k + 1] / mass * norm;
      if (!std::isfinite(C) || !std::isfinite(S))
        Refuse(Quantity("reference_radius") + ": " + ShortestDigits(h->reference_radius) +
               " is so far inside the Brillouin sphere (radius " + ShortestDigits(s) +
               ") that the coefficients of degree " + std::to_string(n) + " overflow");
      h->C[size_t(n) * side + size_t(m)] = C;
      h->S[size_t(n) * side + size_t(m)] = S;
    }
  }
}

}  // namespace

struct HarmonicSums::State {
  HarmonicsRequest request;
  Units units;
  std::vector<Mascon> mascons;
  size_t parts = 0;
  bool alone = false;  // one part and no point mass: summed at unit density
  double density = 0;  // the first part's
  std::array<double, 3> origin{};
  double s = 0;  // the Brillouin radius
  std::vector<Block> blocks;
  size_t width = 0;
  ThreadTeam team;
  std::vector<shape::Integrals> work;  // a thread's
  std::vector<double> total;           // the blocks added so far
  size_t added = 0;
  std::atomic<size_t> summed{0};
  bool finished = false;
  // A model summed whole: its corners. The result's model and body, and
  // the mass and GM it states when not those of the sums.
  std::vector<double> corners;
  size_t vertices = 0, facets = 0;
  std::optional<double> mass, gm;
  std::vector<std::string> body;
  FileList sources;
};

std::unique_ptr<HarmonicSums::State> HarmonicSums::Prepare(const std::vector<HarmonicPart>& parts,
                                                           const Units& units,
                                                           const HarmonicsRequest& request,
                                                           const std::vector<Mascon>& mascons) {
  CheckHarmonicsRequest(request);
  auto st = std::make_unique<State>();
  st->request = request, st->units = units, st->mascons = mascons;
  st->parts = parts.size();
  st->alone = parts.size() == 1 && mascons.empty();
  st->density = parts.empty() ? 0 : parts[0].density;
  if (request.origin == HarmonicOrigin::kCentreOfMass)
    st->origin = CentreOfMass(parts, mascons, units, st->alone, request.model);
  st->s = BrillouinRadius(parts, mascons, st->origin, request.model);
  st->blocks = FacetBlocks(parts, st->alone);
  const size_t K = shape::Index(request.degree + 1, 0);
  st->width = 2 * K;
  // No more threads than a round has blocks: a thread's work is large at
  // high degrees (64 MB at degree 1000).
  const size_t used = std::max<size_t>(1, std::min(RoundOf(K), st->blocks.size()));
  st->team.SetCount(static_cast<unsigned>(std::min<size_t>(std::max(1u, request.threads), used)));
  st->work.assign(st->team.Count(), shape::Integrals(request.degree));
  st->total.assign(2 * K, 0.0);
  return st;
}

// GM and the mass from the model's volume (the one its density was
// resolved against), as the surface's summary has it: G rho V, or V in
// G rho = 1.
std::unique_ptr<HarmonicSums::State> HarmonicSums::Whole(const mesh::Mesh& model,
                                                         const Units& units,
                                                         const HarmonicsRequest& request,
                                                         double volume) {
  std::vector<double> corners = model.FaceCorners();
  auto st = Prepare({{corners.data(), model.FaceCount(), units.Physical() ? units.density : 1}},
                    units, request, {});
  st->corners = std::move(corners);
  st->vertices = model.VertexCount();
  st->facets = model.FaceCount();
  st->mass = units.Physical() ? units.density * volume : volume;
  st->gm = units.Physical() ? units.GM(volume) : volume;
  return st;
}

HarmonicSums::HarmonicSums(const std::vector<HarmonicPart>& parts, const Units& units,
                           const HarmonicsRequest& request, const std::vector<Mascon>& mascons)
    : state_(Prepare(parts, units, request, mascons)) {}

HarmonicSums::HarmonicSums(const mesh::Mesh& model, const Units& units,
                           const HarmonicsRequest& request) {
  CheckHarmonicsRequest(request);
  const std::string problem = mesh::Check(model).Problem();
  if (!problem.empty())
    throw Failure(Prefix(request.model) + "unfit for the field formulas: " + problem,
                  Failure::Kind::kUnfit);
  state_ = Whole(model, units, request, mesh::VolumeOf(model).Volume());
}

HarmonicSums::HarmonicSums(const Body& body, const UnitsRequest& units,
                           const HarmonicsRequest& request, const std::string& format) {
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
    state_ = Whole(body.model(), resolved, request, body.Volume());
    // The constant given, as it was given: not again from the density it
    // gave.
    if (given.gm) state_->gm = *given.gm;
    if (given.mass) state_->gm = resolved.G * *given.mass;
  } else {
    RequirePositiveMass(body, resolved, "the coefficients");
    std::vector<HarmonicPart> parts;
    for (size_t i = 0; i < body.PartCount(); ++i) {
      const Part& p = body.part(i);
      parts.push_back(
          {p.corners().data(), p.model().FaceCount(), i == 0 ? resolved.density : p.density()});
    }
    state_ = Prepare(parts, resolved, request, body.mascons());
    state_->vertices = body.model().VertexCount();
    state_->facets = body.model().FaceCount();
    state_->body = BodyLines(body, resolved);
    // G times the total mass that the header's body lines state.
    state_->gm = resolved.G * MassOf(body, resolved).mass;
  }
  state_->sources = body.sources();
}

HarmonicSums::~HarmonicSums() = default;

size_t HarmonicSums::Blocks() const {
  return state_->blocks.size();
}

size_t HarmonicSums::Width() const {
  return state_->width;
}

size_t HarmonicSums::RoundBlocks() const {
  return RoundOf(state_->width / 2);
}

void HarmonicSums::Sum(std::span<const size_t> blocks, double* sums) {
  State& st = *state_;
  const size_t n = blocks.size();
  const double inv = 1 / st.s;
  // The face may stop the sums between any two of the calling thread's
  // blocks (a stopped run gives no coefficients, so the bits of a finished
  // one do not depend on where it was asked).
  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  const auto wanted = [&] {
    const More& more = st.request.more;
    if (more && !more(double(st.summed) / double(std::max<size_t>(st.blocks.size(), 1))))
      stop = true;
  };
  if (n > 0)
    st.team.MultiThreading(n, [&](unsigned t, unsigned) {
      for (size_t j; !stop && (j = next.fetch_add(1)) < n;) {
        const Block& b = st.blocks.at(blocks[j]);
        st.work[t].Sum(b.corners, b.count, st.origin.data(), inv, b.density, sums + j * st.width);
        ++st.summed;
        if (t == 0) wanted();
      }
    });
  if (!stop) wanted();
  if (stop) throw Stopped();
}

void HarmonicSums::Add(size_t block, const double* sums) {
  State& st = *state_;
  if (block != st.added || block >= st.blocks.size())
    throw std::logic_error("harmonics: block " + std::to_string(block) + " added where block " +
                           std::to_string(st.added) + " is due");
  for (size_t k = 0; k < st.width; ++k) st.total[k] += sums[k];
  ++st.added;
}

Harmonics HarmonicSums::Finish() {
  State& st = *state_;
  if (st.finished || st.added != st.blocks.size())
    throw std::logic_error("harmonics: finished with " + std::to_string(st.added) + " of " +
                           std::to_string(st.blocks.size()) + " blocks added");
  st.finished = true;
  const int N = st.request.degree;
  AddMascons(st.mascons, st.units, st.origin.data(), st.s, N, &st.total);
  // total[0] is the sum of density x volume (of the volume alone for a
  // single part) in units of s^3.
  const double mass = st.total[0];
  if (!(mass > 0) || (st.alone && !(st.density > 0)))
    throw Failure(Prefix(st.request.model) + NotPositive(st.parts));
  Harmonics h;
  h.degree = N;
  h.units = st.units;
  h.origin = st.origin;
  h.origin_kind = st.request.origin;
  h.model = st.request.model;
  h.mass = (st.alone ? st.density : 1) * (mass * st.s * st.s * st.s);
  const double cubic = st.units.metres * st.units.metres * st.units.metres;
  h.gm = st.units.Physical() ? st.units.G * (h.mass * cubic) : h.mass;
  h.brillouin = !st.request.reference_radius;
  h.reference_radius = st.request.reference_radius.value_or(st.s);
  Normalise(st.total, mass, st.s, &h);
  h.vertices = st.vertices, h.facets = st.facets;
  if (st.mass) h.mass = *st.mass;
  if (st.gm) h.gm = *st.gm;
  h.body = std::move(st.body);
  h.sources = std::move(st.sources);
  return h;
}

Harmonics HarmonicSums::All() {
  const size_t B = Blocks(), round = RoundBlocks(), W = Width();
  std::vector<double> sums(std::min(round, B) * W);
  std::vector<size_t> blocks;
  for (size_t first = 0; first < B; first += round) {
    blocks.resize(std::min(round, B - first));
    std::iota(blocks.begin(), blocks.end(), first);
    Sum(blocks, sums.data());
    for (size_t j = 0; j < blocks.size(); ++j) Add(first + j, &sums[j * W]);
  }
  return Finish();
}

Harmonics PartsHarmonics(const std::vector<HarmonicPart>& parts, const Units& units,
                         const HarmonicsRequest& request, const std::vector<Mascon>& mascons) {
  return HarmonicSums(parts, units, request, mascons).All();
}

Harmonics HarmonicsOf(const mesh::Mesh& model, const Units& units,
                      const HarmonicsRequest& request) {
  return HarmonicSums(model, units, request).All();
}

Harmonics HarmonicsOf(const Body& body, const UnitsRequest& units, const HarmonicsRequest& request,
                      const std::string& format) {
  return HarmonicSums(body, units, request, format).All();
}

HarmonicsFormat HarmonicsFormatOf(const std::string& name) {
  if (name == "tsv") return HarmonicsFormat::kTsv;
  if (name == "csv") return HarmonicsFormat::kCsv;
  if (name == "npy") return HarmonicsFormat::kNpy;
  if (name == "icgem") return HarmonicsFormat::kIcgem;
  if (name == "shadr") return HarmonicsFormat::kShadr;
  Refuse(Quantity("format") + ": \"" + name + "\" is not one of tsv, csv, npy, icgem, shadr");
}

namespace {

const char* const kConvention =
    "4-pi fully normalised, no Condon-Shortley phase: U = GM/r sum_n (R0/r)^n sum_m "
    "Pbar_nm(sin lat) (C_nm cos m lon + S_nm sin m lon)";

// " km" with SI units, " (model units)" without.
std::string Unit(const Harmonics& h) {
  return h.units.Physical() ? " " + h.units.unit : " (model units)";
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
  if (h.units.Physical() && h.units.metres != 1)
    radius += " (" + ShortestDigits(h.ReferenceRadiusMetres()) + " m)";
  if (h.brillouin)
    radius += ", the Brillouin radius (the largest distance of a vertex from the origin)";
  lines.push_back(radius);
  if (h.units.Physical())
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
  if ((format == HarmonicsFormat::kIcgem || format == HarmonicsFormat::kShadr) && !units.Physical())
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
