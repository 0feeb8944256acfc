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
  // The format's tide systems are the Earth's permanent-tide conventions,
  // meaningless for a body without tides: "unknown" is the one value that
  // no reader converts (an absent keyword some take for zero_tide).
  key("tide_system", "unknown");
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

// The SHADR layout as the PDS products have it: fixed-length records of
// kShadrRecord bytes, each its fields, spaces and CR LF; the header's 137
// bytes fill two records, a coefficient's 107 one. Reals as E23.16 (17
// digits, which read back to the same double), integers as I5.
constexpr size_t kShadrRecord = 122, kShadrHeader = 137, kShadrRow = 107;
constexpr size_t kShadrHeaderRecords = 2;

// A real in its 23 characters: E23.16, or E23.15 for a negative value of a
// three-digit exponent (below 1e-99 in magnitude), which E23.16 would widen.
std::string ShadrReal(double v) {
  char buf[48];
  int n = std::snprintf(buf, sizeof buf, "%23.16E", v);
  if (n > 23) n = std::snprintf(buf, sizeof buf, "%23.15E", v);
  return std::string(buf, size_t(n));
}

// Fields padded with spaces to `records` records, CR LF last.
std::string ShadrRecords(std::string fields, size_t records) {
  fields.resize(records * kShadrRecord - 2, ' ');
  return fields + "\r\n";
}

std::string Shadr(const Harmonics& h) {
  char ints[32];
  std::snprintf(ints, sizeof ints, "%5d,%5d,%5d", h.degree, h.degree, 1);
  std::string out =
      ShadrRecords(ShadrReal(h.ReferenceRadiusMetres() / 1000) + "," + ShadrReal(h.GM() / 1e9) +
                       "," + ShadrReal(0) + "," + ints + "," + ShadrReal(0) + "," + ShadrReal(0),
                   kShadrHeaderRecords);
  for (int n = 0; n <= h.degree; ++n)
    for (int m = 0; m <= n; ++m) {
      std::snprintf(ints, sizeof ints, "%5d,%5d", n, m);
      out += ShadrRecords(std::string(ints) + "," + ShadrReal(h.Cnm(n, m)) + "," +
                              ShadrReal(h.Snm(n, m)) + "," + ShadrReal(0) + "," + ShadrReal(0),
                          1);
    }
  return out;
}

size_t ShadrRows(const Harmonics& h) {
  return size_t(h.degree + 1) * size_t(h.degree + 2) / 2;
}

bool IsShadrOrIcgem(HarmonicsFormat format) {
  return format == HarmonicsFormat::kIcgem || format == HarmonicsFormat::kShadr;
}

const char* FormatName(HarmonicsFormat format) {
  switch (format) {
    case HarmonicsFormat::kTsv:
      return "tsv";
    case HarmonicsFormat::kCsv:
      return "csv";
    case HarmonicsFormat::kNpy:
      return "npy";
    case HarmonicsFormat::kIcgem:
      return "icgem";
    case HarmonicsFormat::kShadr:
      return "shadr";
  }
  return "";
}

// A label's text in lines of at most 72 characters after the first (its
// key's 31), broken at spaces, each further line indented by two, CR LF
// between them: the labels' lines stay within 80 characters.
std::string Wrapped(const std::string& text) {
  std::string out, line;
  size_t width = 72 - 31;
  for (size_t i = 0; i <= text.size();) {
    size_t space = text.find(' ', i);
    if (space == std::string::npos) space = text.size();
    const std::string word = text.substr(i, space - i);
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      out += line + "\r\n  ";
      line.clear();
      width = 72;
    }
    line += (line.empty() ? "" : " ") + word;
    i = space + 1;
  }
  return out + line;
}

// The label's lines: "KEY = VALUE" at `indent`, the values aligned.
struct Label {
  std::string text;
  void Line(int indent, const std::string& key, const std::string& value) {
    std::string k(size_t(indent), ' ');
    k += key;
    if (k.size() < 28) k.resize(28, ' ');
    text += k + " = " + value + "\r\n";
  }
  void Column(const char* name, const char* type, size_t start, int bytes, const char* format,
              const char* unit, const std::string& description) {
    Line(2, "OBJECT", "COLUMN");
    Line(4, "NAME", std::string("\"") + name + "\"");
    Line(4, "DATA_TYPE", type);
    Line(4, "START_BYTE", std::to_string(start));
    Line(4, "BYTES", std::to_string(bytes));
    Line(4, "FORMAT", std::string("\"") + format + "\"");
    Line(4, "UNIT", std::string("\"") + unit + "\"");
    Line(4, "DESCRIPTION", "\"" + description + "\"");
    Line(2, "END_OBJECT", "COLUMN");
  }
};

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

HarmonicOrigin DefaultHarmonicOrigin(HarmonicsFormat format) {
  return IsShadrOrIcgem(format) ? HarmonicOrigin::kCentreOfMass : HarmonicOrigin::kModel;
}

std::string HarmonicsFileWarning(const Harmonics& h, HarmonicsFormat format) {
  if (!IsShadrOrIcgem(format) || !h.units.Physical() || h.origin_kind != HarmonicOrigin::kModel ||
      h.degree < 1)
    return "";
  const double c10 = h.Cnm(1, 0), c11 = h.Cnm(1, 1), s11 = h.Snm(1, 1);
  const double size = std::sqrt(c10 * c10 + c11 * c11 + s11 * s11);
  // Rounding leaves about 1e-16 where the centre of mass is the origin.
  if (!(size > 1e-13)) return "";
  char text[512];
  const double offset = std::sqrt(3.0) * h.reference_radius * size;
  std::snprintf(text, sizeof text,
                "format %s: the expansion is about the model's origin, %.3g%s from the centre "
                "of mass: its degree-1 terms are not zero (C10 %.3g, C11 %.3g, S11 %.3g), and "
                "an orbit propagator that takes them for zero, as many do, attracts towards a "
                "point %.3g%s off the centre of mass",
                FormatName(format), offset, Unit(h).c_str(), c10, c11, s11, offset,
                Unit(h).c_str());
  return std::string(text) + " (" + Quantity("origin") + " centre-of-mass expands about it)";
}

FileList HarmonicsFiles(const std::string& path, HarmonicsFormat format,
                        const std::string& quantity) {
  FileList files{{quantity, path}};
  if (format != HarmonicsFormat::kShadr || path == "-") return files;
  const std::filesystem::path p(path);
  if (p.extension() == ".lbl" || p.extension() == ".LBL")
    Refuse(Quantity(quantity) + ": " + path +
           ": a SHADR file's label is written beside it as NAME.lbl: name the file NAME.tab");
  for (const char c : p.filename().string())
    if (c < ' ' || c > '~' || c == '"')
      Refuse(Quantity(quantity) + ": " + path +
             ": the name of a SHADR file is quoted in its label: printable ASCII but '\"'");
  files.emplace_back(quantity, std::filesystem::path(p).replace_extension(".lbl").string());
  return files;
}

std::string ShadrLabel(const Harmonics& h, const std::string& data_name) {
  CheckHarmonicsFile(HarmonicsFormat::kShadr, h.units);
  const size_t rows = ShadrRows(h);
  const std::string file = "\"" + data_name + "\"";
  Label l;
  l.Line(0, "PDS_VERSION_ID", "PDS3");
  l.Line(0, "RECORD_TYPE", "FIXED_LENGTH");
  l.Line(0, "RECORD_BYTES", std::to_string(kShadrRecord));
  l.Line(0, "FILE_RECORDS", std::to_string(kShadrHeaderRecords + rows));
  l.Line(0, "FILE_NAME", file);
  l.Line(0, "^SHADR_HEADER_TABLE", "(" + file + ", 1)");
  l.Line(0, "^SHADR_COEFFICIENTS_TABLE",
         "(" + file + ", " + std::to_string(kShadrHeaderRecords + 1) + ")");
  l.Line(0, "OBSERVATION_TYPE", "\"GRAVITY FIELD\"");
  l.Line(0, "SOFTWARE_NAME", std::string("\"polyfield ") + POLYFIELD_VERSION + "\"");
  std::string model = std::filesystem::path(h.model).filename().string();
  model = HeaderWord(model.empty() ? "arrays" : model);
  const std::string body = h.body.empty()
                               ? "a homogeneous body of the shape " + model + ", density " +
                                     ShortestDigits(h.units.density) + " kg/m^3"
                               : "a body of parts, the first the shape " + model;
  l.Line(0, "DESCRIPTION",
         Wrapped("\"The exact gravity field of " + body + ", about " +
                 (h.origin_kind == HarmonicOrigin::kModel ? "the origin of the model's frame"
                                                          : "its centre of mass") +
                 ": 4-pi fully normalised coefficients without the Condon-Shortley phase.\""));
  l.Line(0, "OBJECT", "SHADR_HEADER_TABLE");
  l.Line(2, "ROWS", "1");
  l.Line(2, "COLUMNS", "8");
  l.Line(2, "ROW_BYTES", std::to_string(kShadrHeader));
  l.Line(2, "ROW_SUFFIX_BYTES", std::to_string(kShadrHeaderRecords * kShadrRecord - kShadrHeader));
  l.Line(2, "INTERCHANGE_FORMAT", "ASCII");
  l.Column("REFERENCE RADIUS", "ASCII_REAL", 1, 23, "E23.16", "KILOMETER",
           "The reference radius R0 of the expansion.");
  l.Column("CONSTANT", "ASCII_REAL", 25, 23, "E23.16", "KM^3/S^2",
           "GM: G times the mass of the body.");
  l.Column("UNCERTAINTY IN CONSTANT", "ASCII_REAL", 49, 23, "E23.16", "KM^3/S^2",
           "The uncertainty of GM: 0.");
  l.Column("DEGREE OF FIELD", "ASCII_INTEGER", 73, 5, "I5", "N/A", "The largest degree.");
  l.Column("ORDER OF FIELD", "ASCII_INTEGER", 79, 5, "I5", "N/A", "The largest order.");
  l.Column("NORMALIZATION STATE", "ASCII_INTEGER", 85, 5, "I5", "N/A",
           "1: the coefficients are normalized.");
  l.Column("REFERENCE LONGITUDE", "ASCII_REAL", 91, 23, "E23.16", "DEGREE",
           "The reference longitude: 0.");
  l.Column("REFERENCE LATITUDE", "ASCII_REAL", 115, 23, "E23.16", "DEGREE",
           "The reference latitude: 0.");
  l.Line(0, "END_OBJECT", "SHADR_HEADER_TABLE");
  l.Line(0, "OBJECT", "SHADR_COEFFICIENTS_TABLE");
  l.Line(2, "ROWS", std::to_string(rows));
  l.Line(2, "COLUMNS", "6");
  l.Line(2, "ROW_BYTES", std::to_string(kShadrRow));
  l.Line(2, "ROW_SUFFIX_BYTES", std::to_string(kShadrRecord - kShadrRow));
  l.Line(2, "INTERCHANGE_FORMAT", "ASCII");
  l.Column("COEFFICIENT DEGREE", "ASCII_INTEGER", 1, 5, "I5", "N/A", "The degree n, from 0.");
  l.Column("COEFFICIENT ORDER", "ASCII_INTEGER", 7, 5, "I5", "N/A", "The order m.");
  l.Column("C", "ASCII_REAL", 13, 23, "E23.16", "N/A", "The coefficient C of degree n, order m.");
  l.Column("S", "ASCII_REAL", 37, 23, "E23.16", "N/A", "The coefficient S of degree n, order m.");
  l.Column("C UNCERTAINTY", "ASCII_REAL", 61, 23, "E23.16", "N/A", "The uncertainty of C: 0.");
  l.Column("S UNCERTAINTY", "ASCII_REAL", 85, 23, "E23.16", "N/A", "The uncertainty of S: 0.");
  l.Line(0, "END_OBJECT", "SHADR_COEFFICIENTS_TABLE");
  return l.text + "END\r\n";
}

void WriteHarmonics(const std::string& path, const Harmonics& h, HarmonicsFormat format,
                    const std::string& quantity) {
  const FileList files = HarmonicsFiles(path, format, quantity);
  std::vector<std::string> texts{HarmonicsText(h, format)};
  if (files.size() > 1)
    texts.push_back(ShadrLabel(h, std::filesystem::path(path).filename().string()));
  Outputs outputs(h.sources);
  for (size_t i = 0; i < files.size(); ++i) {
    FILE* out = outputs.Open(quantity, files[i].second);
    if (std::fwrite(texts[i].data(), 1, texts[i].size(), out) != texts[i].size())
      throw Failure(files[i].second == "-" ? "standard output: write error"
                                           : files[i].second + ": write error");
  }
  outputs.Commit();
}

}  // namespace science
