// polyfield: the science front end. Subcommands field, surface, harmonics,
// check and convert over the front end's library (mesh/, science/); options parsed by
// CLI11 into the library's requests, which the library checks. Every
// failure is one line on standard error naming the file (and line) or the
// option, with status 1; every argument is checked and every output opened
// before the evaluation, and the outputs are put in place together at the
// end, so that a failed run replaces none.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "cli/ranks.h"
#include "cli/table.h"
#include "common/error.h"
#include "common/failure.h"
#include "common/file_type.h"
#include "common/input.h"
#include "common/print.h"
#include "common/rows.h"
#include "mesh/check.h"
#include "mesh/mesh.h"
#include "science/body.h"
#include "science/field.h"
#include "science/grid.h"
#include "science/harmonics.h"
#include "science/model.h"
#include "science/outputs.h"
#include "science/products.h"
#include "science/request.h"
#include "science/summary.h"
#include "science/surface.h"

namespace {

const char* const kVersion = POLYFIELD_VERSION;
// The run's processes: rank 0 writes, every rank evaluates its share.
cli::Ranks* ranks = nullptr;

// The library's quantities as this program's options.
std::string Spelling(std::string_view name) {
  if (name == "model") return "MODEL";
  if (name == "points") return "POINTS";
  if (name == "output") return "-o";
  if (name == "check") return "--no-check";
  if (name == "radius") return "--sphere";
  if (name == "shape") return "--grid";
  if (name == "in") return "IN";
  if (name == "out") return "OUT";
  std::string option = "--";
  for (char c : name) option += c == '_' ? '-' : c;
  return option;
}

struct Common {
  std::string model, output = "-", format = "tsv";
  science::UnitsRequest units;
  science::Evaluation evaluation;
  bool exact = false, no_check = false, progress = false;
  std::vector<std::string> add;  // more parts, PATH:DENSITY
  std::string mascons;

  science::BodyRequest Body() const { return {model, add, mascons}; }
  science::Evaluation Evaluation() const {
    science::Evaluation e = evaluation;
    if (exact) e.tolerance.reset();
    e.check = !no_check;
    return e;
  }
};

void AddCommon(CLI::App* app, Common* c) {
  app->add_option("MODEL", c->model, "the model: STL, OBJ, PLY, OFF, vertex/face text, .tab")
      ->required();
  app->add_option("--density", c->units.density, "density in kg/m^3: results in SI units");
  app->add_option("--mass", c->units.mass,
                  "the body's mass in kg instead of a density (density = mass / volume)");
  app->add_option("--gm", c->units.gm,
                  "the body's GM in m^3/s^2 instead of a density (density = GM / (G volume))");
  app->add_option("--G", c->units.G,
                  "gravitational constant with --density, --mass or --gm (default 6.67430e-11)");
  app->add_option("--unit", c->units.unit, "the model's length unit: m, km, cm, mm (default m)");
  app->add_option("--scale", c->units.scale,
                  "the model's coordinates times F are in --unit (a model in another unit)");
  app->add_option("-o,--output", c->output, "the table's file (default: standard output)");
  app->add_option("--format", c->format, "tsv (default), csv, npy or npz");
  app->add_option("--threads", c->evaluation.threads,
                  "threads (default: the cores it may run on; under mpirun, per rank)");
  app->add_option("--tolerance", c->evaluation.tolerance,
                  "largest relative error accepted (" + ShortestDigits(kMinTolerance) +
                      " <= t < 1): the tree engine where it is faster than the exact sum");
  app->add_flag("--exact", c->exact, "the closed-form sum over every facet (the default)");
  app->add_flag("--no-check", c->no_check, "evaluate a model that fails the check");
  app->add_flag("--progress", c->progress, "a progress line on standard error");
  app->add_option("--add", c->add,
                  "another part PART:RHO2 (a model in the same unit, its density in kg/m^3, "
                  "negative for a cavity; repeatable; needs --density)")
      ->expected(1)
      ->take_all();
  app->add_option("--mascons", c->mascons,
                  "point masses: lines x y z mass (model units, kg; # comments; needs --density)");
}

std::vector<std::string> Header(const char* command, const Common& c, const science::Body& body,
                                const science::Units& u) {
  const mesh::Mesh& m = body.model();
  std::vector<std::string> h;
  h.push_back(std::string("polyfield ") + kVersion + " " + command);
  h.push_back("model: " + c.model + " (" + std::to_string(m.VertexCount()) + " vertices, " +
              std::to_string(m.FaceCount()) + " faces)");
  for (const std::string& line : science::BodyLines(body, u)) h.push_back(line);
  const std::string scaled =
      u.scale == 1 ? "" : " (the file's coordinates times " + ShortestDigits(u.scale) + ")";
  if (u.Si())
    h.push_back("units: SI; density " + ShortestDigits(u.density) + " kg/m^3" +
                (u.density_from == "given" ? "" : " (" + u.density_from + ")") + ", G " +
                ShortestDigits(u.G) + " m^3/(kg s^2), model lengths in " + u.unit + scaled);
  else
    h.push_back("units: G rho = 1, lengths in the model's own unit" + scaled +
                " (no --density given)");
  h.push_back("sign convention: U > 0, g = grad U (the attraction points into the body)");
  return h;
}

// The model and its parts, read, scaled and checked (unless --no-check), as
// a body; parts of positive density that overlap are told on standard
// error, a line each.
std::unique_ptr<science::Body> Load(const Common& c) {
  auto body = science::LoadBody(c.Body(), c.units, c.Evaluation());
  if (c.Evaluation().check && ranks->Root())
    for (const std::string& line : body->Placed().overlaps)
      std::fprintf(stderr, "polyfield: %s\n", line.c_str());
  return body;
}

// The files a run reads: the body's and `more`.
std::vector<std::pair<std::string, std::string>> Inputs(
    const Common& c, std::vector<std::pair<std::string, std::string>> more = {}) {
  science::Validate(c.Body(), c.units);
  auto files = c.Body().Inputs();
  files.insert(files.end(), more.begin(), more.end());
  // mpirun gives standard input to the first rank alone.
  if (ranks->count() > 1)
    for (const auto& [what, path] : files)
      if (path == "-")
        throw Failure(what + " on standard input: under mpirun only rank 0 reads it (give a file)");
  return files;
}

// The progress line: share done, time elapsed and an estimate of the time
// left. On a terminal it is redrawn in place at most four times a second;
// into a file (--progress) a line is written at most every 5 seconds and
// only when another tenth of the work is done, and the last one at the end.
bool showing_progress = false;
bool progress_on_terminal = false;
std::string Clock(double seconds) {
  const long s = std::lround(seconds);
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  return buf;
}
bool Progress(double share) {
  if (!showing_progress) return true;
  using Time = std::chrono::steady_clock;
  static const Time::time_point start = Time::now();
  static Time::time_point last{};
  static double last_share = -1;
  const Time::time_point now = Time::now();
  const double elapsed = std::chrono::duration<double>(now - start).count();
  const bool done = share >= 1;
  if (progress_on_terminal) {
    if (!done && now - last < std::chrono::milliseconds(250)) return true;
  } else if (!done && (now - last < std::chrono::seconds(5) || share < last_share + 0.1)) {
    return true;
  }
  if (done && last_share >= 1) return true;  // the end, told once
  last = now, last_share = share;
  std::string line =
      "polyfield: " + std::to_string(int(100 * share)) + "%, " + Clock(elapsed) + " elapsed";
  if (!done && share > 0) line += ", about " + Clock(elapsed * (1 - share) / share) + " left";
  if (progress_on_terminal)
    std::fprintf(stderr, "\r%s\033[K%s", line.c_str(), done ? "\n" : "");
  else
    std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  return true;
}

// Points: three numbers x y z a line (common/rows.h).
void ReadPoints(const std::string& path, std::vector<double>* x, std::vector<double>* y,
                std::vector<double>* z) {
  rows::Read(path, 3, "three finite numbers x y z", true, [&](const double* p, size_t) {
    x->push_back(p[0]), y->push_back(p[1]), z->push_back(p[2]);
  });
}

// A plan's units evaluated by the ranks, each its own (Ranks::Mine), and
// gathered by rank 0: the same for every command.
bool RunUnits(const science::FieldPlan& plan, const science::FieldResult& out,
              const science::More& more) {
  const bool finished = science::FieldOf(plan, ranks->Mine(plan.Units()), out, more);
  ranks->Agree();
  ranks->Gather(plan, out);
  return finished;
}

int RunField(const Common& c, const std::string& points, bool gradient) {
  science::FieldRequest request;
  request.units = c.units;
  request.evaluation = c.Evaluation();
  request.gradient = gradient;
  science::Validate(request);
  const cli::TableFormat format = cli::TableFormatOf(c.format);
  const science::Files files{Inputs(c, {{"points", points}}), {{"output", c.output}}};
  science::Validate(files);
  const auto body = Load(c);
  const science::Units u = science::Resolve(c.units, *body);
  std::vector<double> x, y, z;
  ReadPoints(points, &x, &y, &z);
  const size_t n = x.size();
  if (ranks->count() > 1) {
    // Every rank plans the same call: they must agree on its points' count
    // (once every rank has read the file).
    ranks->Agree();
    double first = double(n);
    ranks->Broadcast(&first, 1, 0);
    if (first != double(n))
      throw Failure(points + ": " + std::to_string(n) + " points on rank " +
                    std::to_string(ranks->rank()) + ", " + std::to_string(size_t(first)) +
                    " on rank 0");
  }
  const auto header = Header("field", c, *body, u);
  science::Outputs outputs(files.inputs);
  FILE* table = ranks->Root() ? outputs.Open("output", c.output) : nullptr;
  ranks->Agree();

  std::vector<double> U(n), gx(n), gy(n), gz(n), t(gradient ? 6 * n : 0);
  const science::FieldPlan plan =
      science::PlanField(*body, request, n, x.data(), y.data(), z.data());
  RunUnits(plan, {U.data(), gx.data(), gy.data(), gz.data(), gradient ? t.data() : nullptr},
           &Progress);
  ranks->Agree();
  if (!ranks->Root()) return 0;
  const std::string L = u.LengthUnit();
  std::vector<science::Column> cols = {{"x", L, &x},
                                       {"y", L, &y},
                                       {"z", L, &z},
                                       {"U", u.PotentialUnit(), &U},
                                       {"gx", u.AttractionUnit(), &gx},
                                       {"gy", u.AttractionUnit(), &gy},
                                       {"gz", u.AttractionUnit(), &gz}};
  std::vector<std::vector<double>> tensor(6, std::vector<double>(gradient ? n : 0));
  const char* names[6] = {"Uxx", "Uxy", "Uxz", "Uyy", "Uyz", "Uzz"};
  if (gradient) {
    for (size_t i = 0; i < n; ++i)
      for (int k = 0; k < 6; ++k) tensor[k][i] = t[6 * i + k];
    std::vector<double>().swap(t);
    for (int k = 0; k < 6; ++k) cols.push_back({names[k], u.GradientUnit(), &tensor[k]});
  }
  cli::WriteTable(table, format, header, cols);
  outputs.Commit();
  return 0;
}

// Six numbers xx xy xz yy yz zz of a symmetric tensor, and nine of a
// matrix's rows.
std::string Symmetric(const std::array<std::array<double, 3>, 3>& m) {
  return ShortestDigits(m[0][0]) + " " + ShortestDigits(m[0][1]) + " " + ShortestDigits(m[0][2]) +
         " " + ShortestDigits(m[1][1]) + " " + ShortestDigits(m[1][2]) + " " +
         ShortestDigits(m[2][2]);
}
std::string Rows(const std::array<std::array<double, 3>, 3>& m) {
  std::string s;
  for (const auto& row : m)
    for (double v : row) s += (s.empty() ? "" : " ") + ShortestDigits(v);
  return s;
}
std::string Three(const std::array<double, 3>& v) {
  return ShortestDigits(v[0]) + " " + ShortestDigits(v[1]) + " " + ShortestDigits(v[2]);
}

// The inertia lines of the summary and of check: (key, value) pairs.
std::vector<std::pair<std::string, std::string>> InertiaLines(const science::Inertia& in,
                                                              const science::Units& u) {
  const std::string unit = u.Si() ? " kg m^2" : " (unit density, model units^5)";
  return {
      {"inertia tensor about the centre of mass (xx xy xz yy yz zz)", Symmetric(in.tensor) + unit},
      {"principal moments of inertia", Three(in.moments) + unit},
      {"principal axes (rows of the rotation into the principal frame)", Rows(in.axes)}};
}

// field --sphere R (or --altitude H) --grid NLAT,NLON: the field on a
// latitude-longitude grid about the centre of mass, instead of at points
// read.
struct GridArgs {
  std::optional<double> sphere, altitude;
  std::vector<uint32_t> grid;
  bool Given() const { return sphere || altitude || !grid.empty(); }
};

int RunGrid(const Common& c, const GridArgs& a, bool gradient) {
  if (!(a.sphere || a.altitude) || a.grid.size() != 2)
    throw Failure(
        "--sphere R (or --altitude H) and --grid NLAT,NLON go together (two numbers for --grid)");
  science::FieldRequest request;
  request.units = c.units;
  request.evaluation = c.Evaluation();
  request.gradient = gradient;
  const science::GridRequest g{a.sphere.value_or(0), a.grid[0], a.grid[1], a.altitude};
  science::Validate(request, g);
  const cli::TableFormat format = cli::TableFormatOf(c.format);
  const science::Files files{Inputs(c), {{"output", c.output}}};
  science::Validate(files);
  const auto body = Load(c);
  science::Validate(g, *body);
  const science::Units u = science::Resolve(c.units, *body);
  auto header = Header("field", c, *body, u);
  const auto com = body->CentreOfMass();
  const std::string L = u.Si() ? u.unit : "(model units)";
  header.push_back(
      "grid: " + std::to_string(g.nlat) + " x " + std::to_string(g.nlon) + " cell centres " +
      (g.altitude ? "at the altitude " + ShortestDigits(*g.altitude) + " " + L +
                        " above the outermost surface along each direction from"
                  : "on the sphere of radius " + ShortestDigits(g.radius) + " " + L + " about") +
      " the centre of mass " + Three(com) +
      "; rows from north to south, longitudes from -180 eastward");
  header.push_back(
      "gr = g . r-hat; dU = U - GM/r, dg = g + GM r/r^3, r from the centre of mass, "
      "GM " +
      ShortestDigits(u.Si() ? u.GM(body->Volume()) : body->Volume()) +
      (u.Si() ? " m^3/s^2" : " (the volume, G rho = 1)"));
  science::Outputs outputs(files.inputs);
  FILE* table = ranks->Root() ? outputs.Open("output", c.output) : nullptr;
  ranks->Agree();
  science::Grid grid;
  science::GridField f;
  science::GridOf(*body, request, g, &grid, &f, &Progress, RunUnits);
  ranks->Agree();
  if (!ranks->Root()) return 0;
  cli::WriteTable(table, format, header, science::GridColumns(grid, f, u), {g.nlat, g.nlon});
  outputs.Commit();
  return 0;
}

struct SurfaceArgs {
  science::SurfaceRequest request;
  std::vector<double> spin_axis, range, percentiles, view;  // empty: not given
  std::vector<uint32_t> size;
  bool summary = false;
  science::ColourFiles colours;

  // The option lists into the request's pairs: the count is the parser's
  // to check (two numbers, three for the axis).
  void Into(science::SurfaceRequest* r) const {
    const auto pair = [](const std::vector<double>& v, const char* option) {
      if (v.size() != 2) throw Failure(std::string(option) + ": two numbers, comma-separated");
      return std::pair{v[0], v[1]};
    };
    if (!spin_axis.empty()) {
      if (spin_axis.size() != 3) throw Failure("--spin-axis: three numbers x,y,z");
      r->spin_axis = {spin_axis[0], spin_axis[1], spin_axis[2]};
    }
    if (!range.empty()) r->picture.range = pair(range, "--range");
    if (!percentiles.empty()) r->picture.percentiles = pair(percentiles, "--percentiles");
    if (!view.empty()) r->picture.view = pair(view, "--view");
    if (!size.empty()) {
      if (size.size() != 2) throw Failure("--size: two numbers, comma-separated");
      r->picture.size = {size[0], size[1]};
    }
  }
};

int RunSurface(const Common& c, const SurfaceArgs& a) {
  science::SurfaceRequest request = a.request;
  request.units = c.units;
  request.evaluation = c.Evaluation();
  a.Into(&request);
  science::Validate(request);
  const bool colouring = a.colours.Any();
  if (colouring)
    science::Validate(request.picture, science::ColourNames(request.spin_period.has_value()));
  const cli::TableFormat format = cli::TableFormatOf(c.format);
  // NPY holds the table alone: the header's lines would be lost.
  if (format == cli::TableFormat::kNpy && (a.summary || colouring))
    throw Failure(std::string("--format npy holds the table only: ") +
                  (a.summary ? "--summary" : "the colour range") +
                  " goes in the header of --format tsv or csv");
  // A colour map's file is read too.
  auto inputs = Inputs(c);
  const std::string map_file = colouring ? science::ColourMapFile(request.picture.map) : "";
  if (!map_file.empty()) inputs.emplace_back("map", map_file);
  science::Files files{inputs, a.colours.List()};
  files.outputs.insert(files.outputs.begin(), {"output", c.output});
  science::Validate(files);
  const std::vector<uint16_t> map =
      colouring ? science::ColourMap(request.picture.map) : std::vector<uint16_t>{};
  const auto body = Load(c);
  const science::Units u = science::Resolve(c.units, *body);
  auto header = Header("surface", c, *body, u);
  science::Outputs outputs(files.inputs);
  const bool root = ranks->Root();
  FILE* table = root && !c.output.empty() ? outputs.Open("output", c.output) : nullptr;
  std::optional<science::ColourOutputs> coloured;
  if (root) coloured.emplace(&outputs, a.colours);
  ranks->Agree();

  science::Surface s;
  science::SurfaceOf(*body, request, &s, &Progress, RunUnits);
  ranks->Agree();
  if (!root) return 0;
  const std::vector<science::Column> cols = science::SurfaceColumns(s, u);

  header.push_back("U0 (potential at the centre of mass): " + ShortestDigits(s.U0) + " " +
                   u.PotentialUnit());
  if (request.spin_period)
    header.push_back("spin: period " + ShortestDigits(*request.spin_period) + " h about (" +
                     ShortestDigits(request.spin_axis[0]) + ", " +
                     ShortestDigits(request.spin_axis[1]) + ", " +
                     ShortestDigits(request.spin_axis[2]) + ") through the centre of mass");
  if (a.summary) {
    const science::Summary sum = science::Summarise(*body, request, s);
    header.push_back("volume: " + ShortestDigits(sum.volume) + " " +
                     (u.Si() ? u.unit + "^3" : "(model units)"));
    if (u.Si()) {
      header.push_back("mass: " + ShortestDigits(sum.mass) + " kg");
      header.push_back("GM: " + ShortestDigits(sum.gm) + " m^3/s^2");
    }
    header.push_back("centre of mass: " + Three(sum.centre));
    header.push_back("area: " + ShortestDigits(sum.area) + " " +
                     (u.Si() ? u.unit + "^2" : "(model units)"));
    const std::string& which = sum.slope_name;
    for (const auto& [p, v] : sum.slope.percentiles)
      header.push_back(which + " percentile " + ShortestDigits(p) +
                       " (area-weighted): " + ShortestDigits(v) + " deg");
    for (const auto& [t, share] : sum.slope.above)
      header.push_back("area fraction with " + which + " above " + ShortestDigits(t) +
                       " deg: " + ShortestDigits(share));
    header.push_back("facet of least " + which + ": " + std::to_string(sum.slope.min_facet) +
                     ", of most: " + std::to_string(sum.slope.max_facet));
    header.push_back("facet of least U: " + std::to_string(sum.potential.min_facet) +
                     ", of most: " + std::to_string(sum.potential.max_facet));
    for (const auto& [key, value] : InertiaLines(sum.inertia, u))
      header.push_back(key + ": " + value);
  }

  std::string colour_line;
  if (colouring) {
    const science::Column* chosen = science::ColourColumn(cols, request.picture.colour);
    const std::string unit = chosen->unit.empty() ? "" : " " + chosen->unit;
    const science::Range range =
        coloured->Write(body->model(), body->CentreOfMass(), *chosen->values, s.area, map,
                        chosen->name + unit, request.picture);
    header.push_back("colour: " + chosen->name + " over [" + ShortestDigits(range.min) + ", " +
                     ShortestDigits(range.max) + "]" + unit + " with the map " +
                     request.picture.map);
    colour_line = "polyfield: colour " + chosen->name + " over [" + ShortestDigits(range.min) +
                  ", " + ShortestDigits(range.max) + "]\n";
  }
  cli::WriteTable(table, format, header, cols);
  outputs.Commit();
  std::fputs(colour_line.c_str(), stderr);
  return 0;
}

struct HarmonicsArgs {
  int degree = 0;
  std::optional<double> reference_radius;
  std::string origin = "model";
};

// The coefficients over the ranks: block b summed on rank b mod count, in
// rounds of RoundBlocks() blocks a rank, as many on every rank as on rank 0
// (which has the most); each round ends with an agreement, so that a rank
// that fails while summing is told by all before any block moves. Rank 0
// adds every block in block order as it comes, its own and the others'
// (given to it a block at a time), and finishes; the other ranks have none.
std::optional<science::Harmonics> RankHarmonics(science::HarmonicSums& sums) {
  const size_t P = ranks->count(), me = ranks->rank(), B = sums.Blocks(), W = sums.Width();
  const size_t round = sums.RoundBlocks(), own = B > me ? (B - me + P - 1) / P : 0;
  std::vector<double> slots(std::min(round, own) * W), taken(me == 0 && P > 1 ? W : 0);
  ranks->Agree();
  size_t added = 0;
  const auto take_until = [&](size_t end) {
    for (; added < end; ++added) {
      ranks->Take(taken.data(), W, static_cast<unsigned>(added % P));
      sums.Add(added, taken.data());
    }
  };
  std::vector<size_t> mine;
  for (size_t first = 0; first < (B + P - 1) / P; first += round) {
    mine.clear();
    for (size_t j = first; j < std::min(first + round, own); ++j) mine.push_back(me + j * P);
    sums.Sum(mine, slots.data());
    ranks->Agree();
    for (size_t j = 0; j < mine.size(); ++j) {
      if (me != 0) {
        ranks->Give(&slots[j * W], W, 0);
        continue;
      }
      take_until(mine[j]);
      sums.Add(added++, &slots[j * W]);
    }
    // The other ranks' blocks of this round after rank 0's last.
    if (me == 0) take_until(std::min(B, (first + round) * P));
  }
  if (me != 0) return std::nullopt;
  return sums.Finish();
}

// The coefficients are exact sums over a checked model: the library checks
// it (no --no-check) and takes no tolerance.
int RunHarmonics(const Common& c, const HarmonicsArgs& a) {
  science::HarmonicsRequest r;
  r.degree = a.degree;
  r.reference_radius = a.reference_radius;
  r.origin = science::HarmonicOriginOf(a.origin);
  r.threads = c.Evaluation().Threads();
  r.model = c.model;
  science::CheckHarmonicsRequest(r);
  const science::HarmonicsFormat format = science::HarmonicsFormatOf(c.format);
  science::Validate(science::Files{Inputs(c), {{"output", c.output}}});
  const auto body = Load(c);
  ranks->Agree();
  science::HarmonicSums sums(*body, c.units, r, c.format);
  const std::optional<science::Harmonics> h = RankHarmonics(sums);
  if (h) science::WriteHarmonics(c.output, *h, format);
  return 0;
}

int RunCheck(const std::string& path) {
  const mesh::Mesh m = science::LoadModel(path);
  const mesh::CheckReport r = mesh::Check(m);
  std::string text = r.Text();
  if (r.Problem().empty()) {
    // The homogeneous body's centre of mass and inertia, before the verdict.
    const science::Inertia in = science::InertiaOf(m, science::Units{});
    std::string lines = "centre of mass\t" + Three(in.centre) + "\n";
    for (const auto& [key, value] : InertiaLines(in, science::Units{}))
      lines += key + "\t" + value + "\n";
    const size_t verdict = text.rfind("verdict\t");
    text.insert(verdict == std::string::npos ? text.size() : verdict, lines);
  }
  std::fputs(text.c_str(), stdout);
  if (std::fflush(stdout) != 0) throw Failure("standard output: write error");
  return r.Problem().empty() ? 0 : 1;
}

int RunConvert(const std::string& in, const std::string& out, bool ascii, bool binary) {
  science::Validate(science::Files{{{"in", in}}, {{"out", out}}});
  const mesh::Mesh m = science::LoadModel(in);
  const std::string note = mesh::WriteModel(out, m, mesh::FormatFor(out, ascii, binary));
  if (!note.empty()) std::fprintf(stderr, "polyfield: %s\n", note.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The suite's units (colour maps, STL writer) end through Error: here
  // their message becomes a failure of the command.
  SetErrorHook([](const char* message) { throw Failure(message); });
  cli::Ranks job(&argc, &argv);
  ranks = &job;
  CLI::App app{
      "polyfield: the gravitational potential and attraction of a homogeneous solid "
      "bounded by a triangulated polyhedron, in closed form"};
  app.set_version_flag("--version", std::string("polyfield ") + kVersion);
  app.set_help_all_flag("--help-all", "Print the help of every subcommand and exit");
  app.require_subcommand(1);

  Common field_common, surface_common;
  std::string points;
  bool gradient = false;
  CLI::App* field = app.add_subcommand("field", "potential and attraction at points");
  AddCommon(field, &field_common);
  field->add_option("POINTS", points, "points x y z, a line each (\"-\": standard input)");
  GridArgs ga;
  field->add_option("--sphere", ga.sphere, "instead of POINTS: a grid on the sphere of radius R");
  field->add_option("--altitude", ga.altitude,
                    "instead of --sphere: the grid at the height H above the surface");
  field->add_option("--grid", ga.grid, "the grid's NLAT,NLON cells (with --sphere or --altitude)")
      ->delimiter(',');
  field->add_flag("--gradient", gradient, "also the gravity gradient tensor (closed form)");

  SurfaceArgs sa;
  science::SurfaceRequest& sr = sa.request;
  CLI::App* surface =
      app.add_subcommand("surface", "per-facet table at the facet centroids, in one pass");
  AddCommon(surface, &surface_common);
  surface->add_option("--spin-period", sr.spin_period, "rotation period in hours");
  surface->add_option("--spin-axis", sa.spin_axis, "rotation axis x,y,z (default 0,0,1)")
      ->delimiter(',');
  surface->add_flag("--summary", sa.summary,
                    "volume, mass, slope statistics, extreme facets, inertia tensor");
  surface->add_option("--slopes", sr.slopes, "slopes for the area fractions (default 10,20,30,40)")
      ->delimiter(',');
  surface->add_option("--stl", sa.colours.stl, "coloured binary STL of the model");
  surface->add_option("--png", sa.colours.png,
                      "PNG picture of the coloured model with a colour bar");
  surface->add_option("--picture", sa.colours.picture,
                      "the same picture as PNG, PDF or SVG by extension");
  surface->add_option("--latlon", sa.colours.latlon,
                      "latitude-longitude map of the colour about the centre of mass (PNG, PDF, "
                      "SVG)");
  surface->add_option("--background", sr.picture.background, "light (default) or dark");
  surface->add_option("--shading", sr.picture.shading,
                      "none (default: the map's colours as they are) or lambert (the view only)");
  surface->add_option("--title", sr.picture.title, "the figures' title");
  surface->add_option("--colour", sr.picture.colour, "the column to colour by (default slope)");
  surface->add_option("--map", sr.picture.map,
                      "viridis (default), blue_white_red, grey or a CM_STL file");
  surface->add_option("--range", sa.range, "colour range MIN,MAX")->delimiter(',');
  surface
      ->add_option("--percentiles", sa.percentiles,
                   "colour range from area-weighted percentiles LO,HI (default 2,98)")
      ->delimiter(',');
  surface->add_option("--view", sa.view, "picture seen from LON,LAT degrees (default 30,25)")
      ->delimiter(',');
  surface->add_option("--size", sa.size, "picture W,H pixels (default 800,600)")->delimiter(',');

  Common harmonics_common;
  HarmonicsArgs ha;
  CLI::App* harmonics = app.add_subcommand(
      "harmonics", "spherical-harmonic (Stokes) coefficients of the homogeneous body, exact");
  AddCommon(harmonics, &harmonics_common);
  for (const char* name : {"--tolerance", "--exact", "--no-check", "--progress"})
    harmonics->remove_option(harmonics->get_option(name));
  harmonics->get_option("--format")->description("tsv (default), csv, npy, icgem (.gfc) or shadr");
  harmonics->add_option("--degree", ha.degree, "the largest degree N (0 to 1000)")->required();
  harmonics->add_option("--reference-radius", ha.reference_radius,
                        "R0 in the model's unit (default: the Brillouin radius, the largest "
                        "distance of a vertex from the origin)");
  harmonics->add_option("--origin", ha.origin, "model (default) or centre-of-mass");

  std::string check_model;
  CLI::App* check = app.add_subcommand(
      "check", "closed, oriented, outward? Status 1 when unfit for the field formulas");
  check->add_option("MODEL", check_model, "the model")->required();

  std::string in, out;
  bool ascii = false, binary = false;
  CLI::App* convert = app.add_subcommand(
      "convert", "between STL, OBJ, PLY, OFF, vertex/face text (.vf.txt) and .tab, by extension");
  convert->add_option("IN", in, "the model read")->required();
  convert->add_option("OUT", out, "the model written; its extension names the format")->required();
  convert->add_flag("--ascii", ascii, "ASCII STL");
  convert->add_flag("--binary", binary, "binary PLY");

  // Every rank parses alike; rank 0 alone speaks.
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return job.Root() ? app.exit(e) : e.get_exit_code();
  } catch (const CLI::CallForAllHelp& e) {
    return job.Root() ? app.exit(e) : e.get_exit_code();
  } catch (const CLI::CallForVersion& e) {
    return job.Root() ? app.exit(e) : e.get_exit_code();
  } catch (const CLI::ParseError& e) {
    if (job.Root()) std::fprintf(stderr, "polyfield: %s (polyfield --help)\n", e.what());
    return 1;
  }
  try {
    int status = 0;
    const bool tty = isatty(STDERR_FILENO) && job.Root();
    if (*field) {
      progress_on_terminal = tty;
      showing_progress = (field_common.progress && job.Root()) || tty;
      if (ga.Given() == !points.empty())
        throw Failure("POINTS or --sphere R (--altitude H) --grid NLAT,NLON: give one");
      status = ga.Given() ? RunGrid(field_common, ga, gradient)
                          : RunField(field_common, points, gradient);
    }
    if (*surface) {
      progress_on_terminal = tty;
      showing_progress = (surface_common.progress && job.Root()) || tty;
      status = RunSurface(surface_common, sa);
    }
    if (*harmonics) status = RunHarmonics(harmonics_common, ha);
    // A check or a conversion is rank 0's.
    if (*check && job.Root()) status = RunCheck(check_model);
    if (*convert && job.Root()) status = RunConvert(in, out, ascii, binary);
    job.Agree();
    return job.Status(status);
  } catch (...) {
    const Failure e = job.Settle(std::current_exception());
    if (!job.Root()) return 1;
    const bool unfit = e.kind() == Failure::Kind::kUnfit;
    const bool misplaced = e.kind() == Failure::Kind::kMisplaced;
    const char* more = misplaced    ? (*harmonics ? "" : " (--no-check evaluates anyway)")
                       : !unfit     ? ""
                       : *harmonics ? " (polyfield check tells more)"
                                    : " (polyfield check tells more; --no-check evaluates anyway)";
    std::fprintf(stderr, "polyfield: %s%s\n", e.Spelled(&Spelling).c_str(), more);
    return 1;
  }
}
