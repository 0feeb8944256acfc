// polyfield: the science front end. Subcommands field, surface, check and
// convert over the front end's library (mesh/, science/); options parsed by
// CLI11. Every failure is one line on standard error naming the file (and
// line), with status 1; no output file is left half-written.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "cli/table.h"
#include "common/error.h"
#include "common/file_type.h"
#include "common/input.h"
#include "common/print.h"
#include "mesh/check.h"
#include "mesh/mesh.h"
#include "science/body.h"
#include "science/products.h"

namespace {

using mesh::Failure;

const char* const kVersion = POLYFIELD_VERSION;

struct Common {
  std::string model, output = "-", format = "tsv", unit = "m";
  double density = 0, G = 6.67430e-11, tolerance = 0;
  unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  bool exact = false, no_check = false, progress = false;
};

void AddCommon(CLI::App* app, Common* c) {
  app->add_option("MODEL", c->model, "the model: STL, OBJ, PLY, OFF, vertex/face text, .tab")
      ->required();
  app->add_option("--density", c->density, "density in kg/m^3: results in SI units")
      ->check(CLI::PositiveNumber);
  app->add_option("--G", c->G, "gravitational constant (default 6.67430e-11)");
  app->add_option("--unit", c->unit, "the model's length unit: m, km, cm, mm (default m)");
  app->add_option("-o,--output", c->output, "the table's file (default: standard output)");
  app->add_option("--format", c->format, "tsv (default), csv or npy");
  app->add_option("--threads", c->threads, "threads (default: all cores)")
      ->check(CLI::Range(1u, 4096u));
  app->add_option("--tolerance", c->tolerance,
                  "largest relative error accepted (0 < t < 1): the tree engine where it is "
                  "faster than the exact sum");
  app->add_flag("--exact", c->exact, "the closed-form sum over every facet (the default)");
  app->add_flag("--no-check", c->no_check, "evaluate a model that fails the check");
  app->add_flag("--progress", c->progress, "a progress line on standard error");
}

science::Units UnitsOf(const Common& c) {
  science::Units u;
  u.density = c.density;
  u.G = c.G;
  u.metres = science::MetresOf(c.unit);
  return u;
}

std::vector<std::string> Header(const char* command, const Common& c, const mesh::Mesh& m,
                                const science::Units& u) {
  std::vector<std::string> h;
  h.push_back(std::string("polyfield ") + kVersion + " " + command);
  h.push_back("model: " + c.model + " (" + std::to_string(m.VertexCount()) + " vertices, " +
              std::to_string(m.FaceCount()) + " faces)");
  if (u.Si())
    h.push_back("units: SI; density " + ShortestDigits(u.density) + " kg/m^3, G " +
                ShortestDigits(u.G) + " m^3/(kg s^2), model lengths in " + u.LengthUnit());
  else
    h.push_back("units: G rho = 1, lengths in the model's own unit (no --density given)");
  h.push_back("sign convention: U > 0, g = grad U (the attraction points into the body)");
  return h;
}

// The model, read and checked.
mesh::Mesh Load(const Common& c) {
  if (c.tolerance != 0 && !(c.tolerance > 0 && c.tolerance < 1))
    throw Failure("--tolerance: not a number between 0 and 1");
  mesh::Mesh m = mesh::ReadModel(c.model);
  if (!c.no_check) {
    const std::string problem = mesh::Check(m).Problem();
    if (!problem.empty())
      throw Failure(c.model + ": unfit for the field formulas: " + problem +
                    " (polyfield check tells more; --no-check evaluates anyway)");
  }
  return m;
}

bool showing_progress = false;
void Progress(double share) {
  if (!showing_progress) return;
  std::fprintf(stderr, "\rpolyfield: %3.0f%%", 100 * share);
  if (share >= 1) std::fputc('\n', stderr);
  std::fflush(stderr);
}

// Points: three numbers a line, separated by blanks, tabs or commas; '#'
// starts a comment; blank lines are skipped. Anything else is refused with
// its line number.
void ReadPoints(const std::string& path, std::vector<double>* x, std::vector<double>* y,
                std::vector<double>* z) {
  const bool standard = path == "-";
  FILE* in = standard ? stdin : OpenInput(path.c_str(), "r");
  if (!in || (standard && FileType(stdin) == S_IFDIR)) throw Failure(path + ": cannot be opened");
  struct Closer {
    FILE* f;
    bool standard;
    ~Closer() {
      if (!standard) std::fclose(f);
    }
  } closer{in, standard};
  char* buffer = nullptr;
  size_t capacity = 0;
  struct Freer {
    char** p;
    ~Freer() { std::free(*p); }
  } freer{&buffer};
  std::string line;
  for (size_t number = 1;; ++number) {
    const ssize_t got = getline(&buffer, &capacity, in);
    if (got < 0) break;
    line.assign(buffer, static_cast<size_t>(got));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::replace(line.begin(), line.end(), ',', ' ');
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string s; words >> s;) w.push_back(s);
    if (w.empty()) continue;
    double p[3];
    bool ok = w.size() == 3;
    for (int k = 0; ok && k < 3; ++k) {
      char* end;
      p[k] = std::strtod(w[k].c_str(), &end);
      ok = *end == '\0';
    }
    if (!ok)
      throw Failure(path + ":" + std::to_string(number) +
                    ": expected three numbers x y z, found \"" + line + "\"");
    x->push_back(p[0]), y->push_back(p[1]), z->push_back(p[2]);
  }
  // A read error is not the end of the list.
  if (std::ferror(in)) throw Failure(path + ": read error");
}

int RunField(const Common& c, const std::string& points, bool gradient) {
  const science::Units u = UnitsOf(c);
  mesh::Mesh m = Load(c);
  std::vector<double> x, y, z;
  ReadPoints(points, &x, &y, &z);
  const auto header = Header("field", c, m, u);
  const science::Body body(std::move(m), c.threads, c.exact ? 0 : c.tolerance);
  const size_t n = x.size();
  std::vector<double> U(n), gx(n), gy(n), gz(n), t(gradient ? 6 * n : 0);
  science::FieldOf(body, u, n, x.data(), y.data(), z.data(), U.data(), gx.data(), gy.data(),
                   gz.data(), gradient ? t.data() : nullptr, [](double share) {
                     Progress(share);
                     return true;
                   });
  const std::string L = u.Si() ? "[" + u.LengthUnit() + "]" : "";
  std::vector<cli::Column> cols = {{"x", L, &x},
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
    for (int k = 0; k < 6; ++k) cols.push_back({names[k], u.GradientUnit(), &tensor[k]});
  }
  cli::WriteTable(c.output, cli::TableFormatOf(c.format), header, cols);
  return 0;
}

struct SurfaceArgs {
  double spin_hours = 0;
  std::vector<double> spin_axis{0, 0, 1}, slopes{10, 20, 30, 40}, range, percentiles{2, 98},
      view{30, 25};
  std::vector<uint32_t> size{800, 600};
  bool summary = false;
  std::string stl, png, colour = "slope", map = "viridis";
};

int RunSurface(const Common& c, const SurfaceArgs& a) {
  const science::Units u = UnitsOf(c);
  if (a.spin_hours > 0 && !u.Si()) throw Failure("--spin-period needs --density (SI units)");
  if (a.spin_axis.size() != 3) throw Failure("--spin-axis: three numbers x,y,z");
  mesh::Mesh m = Load(c);
  auto header = Header("surface", c, m, u);
  const science::Body body(std::move(m), c.threads, c.exact ? 0 : c.tolerance);
  science::SurfaceOptions options;
  options.spin_period = a.spin_hours * 3600;
  options.spin_axis = {a.spin_axis[0], a.spin_axis[1], a.spin_axis[2]};
  const science::Surface s = science::SurfaceOf(body, u, options, &Progress);
  const size_t n = s.area.size();
  std::vector<double> index(n);
  for (size_t f = 0; f < n; ++f) index[f] = static_cast<double>(f);

  const std::string L = u.Si() ? "[" + u.LengthUnit() + "]" : "";
  const std::string L2 = u.Si() ? "[" + u.LengthUnit() + "^2]" : "";
  header.push_back("U0 (potential at the centre of mass): " + ShortestDigits(s.U0) + " " +
                   u.PotentialUnit());
  if (options.spin_period > 0)
    header.push_back("spin: period " + ShortestDigits(a.spin_hours) + " h about (" +
                     ShortestDigits(a.spin_axis[0]) + ", " + ShortestDigits(a.spin_axis[1]) + ", " +
                     ShortestDigits(a.spin_axis[2]) + ") through the centre of mass");
  if (a.summary) {
    const auto centre = body.CentreOfMass();
    header.push_back("volume: " + ShortestDigits(body.Volume()) + " " +
                     (u.Si() ? u.LengthUnit() + "^3" : "(model units)"));
    if (u.Si())
      header.push_back(
          "mass: " + ShortestDigits(u.density * body.Volume() * u.metres * u.metres * u.metres) +
          " kg");
    header.push_back("centre of mass: " + ShortestDigits(centre[0]) + " " +
                     ShortestDigits(centre[1]) + " " + ShortestDigits(centre[2]));
    header.push_back("area: " + ShortestDigits(body.Area()) + " " +
                     (u.Si() ? u.LengthUnit() + "^2" : "(model units)"));
    const std::vector<double>& slope = options.spin_period > 0 ? s.slopeeff : s.slope;
    const char* which = options.spin_period > 0 ? "slopeeff" : "slope";
    const auto st = science::Statistics(slope, s.area, {5, 25, 50, 75, 95}, a.slopes);
    for (const auto& [p, v] : st.percentiles)
      header.push_back(std::string(which) + " percentile " + ShortestDigits(p) +
                       " (area-weighted): " + ShortestDigits(v) + " deg");
    for (const auto& [t, share] : st.above)
      header.push_back(std::string("area fraction with ") + which + " above " + ShortestDigits(t) +
                       " deg: " + ShortestDigits(share));
    header.push_back(std::string("facet of least ") + which + ": " + std::to_string(st.min_facet) +
                     ", of most: " + std::to_string(st.max_facet));
    const auto su = science::Statistics(s.U, s.area, {}, {});
    header.push_back("facet of least U: " + std::to_string(su.min_facet) +
                     ", of most: " + std::to_string(su.max_facet));
  }

  std::vector<cli::Column> cols = {{"facet", "", &index},
                                   {"area", L2, &s.area},
                                   {"cx", L, &s.cx},
                                   {"cy", L, &s.cy},
                                   {"cz", L, &s.cz},
                                   {"U", u.PotentialUnit(), &s.U},
                                   {"gx", u.AttractionUnit(), &s.gx},
                                   {"gy", u.AttractionUnit(), &s.gy},
                                   {"gz", u.AttractionUnit(), &s.gz},
                                   {"g", u.AttractionUnit(), &s.g},
                                   {"slope", "[deg]", &s.slope},
                                   {"U/U0", "", &s.UU0}};
  if (options.spin_period > 0) {
    cols.push_back({"Ueff", u.PotentialUnit(), &s.Ueff});
    cols.push_back({"gxeff", u.AttractionUnit(), &s.gxeff});
    cols.push_back({"gyeff", u.AttractionUnit(), &s.gyeff});
    cols.push_back({"gzeff", u.AttractionUnit(), &s.gzeff});
    cols.push_back({"geff", u.AttractionUnit(), &s.geff});
    cols.push_back({"slopeeff", "[deg]", &s.slopeeff});
  }

  if (!a.stl.empty() || !a.png.empty()) {
    const cli::Column* chosen = nullptr;
    for (const cli::Column& col : cols)
      if (col.name == a.colour || (a.colour == "potential" && col.name == "U")) chosen = &col;
    if (!chosen || a.colour == "facet")
      throw Failure("--colour: \"" + a.colour + "\" is not a column of the table");
    science::Range range;
    if (!a.range.empty()) {
      if (a.range.size() != 2 || !(a.range[1] > a.range[0]))
        throw Failure("--range: two numbers MIN,MAX with MIN < MAX");
      range = {a.range[0], a.range[1]};
    } else {
      if (a.percentiles.size() != 2 ||
          !(a.percentiles[0] >= 0 && a.percentiles[0] < a.percentiles[1] &&
            a.percentiles[1] <= 100))
        throw Failure("--percentiles: two numbers LO,HI with 0 <= LO < HI <= 100");
      range = science::PercentileRange(*chosen->values, s.area, a.percentiles[0], a.percentiles[1]);
    }
    header.push_back("colour: " + chosen->name + " over [" + ShortestDigits(range.min) + ", " +
                     ShortestDigits(range.max) + "]" +
                     (chosen->unit.empty() ? "" : " " + chosen->unit) + " with the map " + a.map);
    const auto table = science::ColourMap(a.map);
    const auto colours = science::Colours(*chosen->values, range, table);
    if (!a.stl.empty()) science::WriteColouredStl(a.stl, body.model(), colours);
    if (!a.png.empty()) {
      if (a.view.size() != 2 || a.size.size() != 2 || a.size[0] < 16 || a.size[1] < 16 ||
          a.size[0] > 16384 || a.size[1] > 16384)
        throw Failure("--view LON,LAT and --size W,H (16 to 16384 pixels)");
      science::WritePicture(a.png, body.model(), colours, table, range,
                            chosen->name + " " + chosen->unit, a.view[0], a.view[1], a.size[0],
                            a.size[1]);
    }
    std::fprintf(stderr, "polyfield: colour %s over [%s, %s]\n", chosen->name.c_str(),
                 ShortestDigits(range.min).c_str(), ShortestDigits(range.max).c_str());
  }
  cli::WriteTable(c.output, cli::TableFormatOf(c.format), header, cols);
  return 0;
}

int RunCheck(const std::string& path) {
  const mesh::CheckReport r = mesh::Check(mesh::ReadModel(path));
  std::fputs(r.Text().c_str(), stdout);
  if (std::fflush(stdout) != 0) throw Failure("standard output: write error");
  return r.Problem().empty() ? 0 : 1;
}

int RunConvert(const std::string& in, const std::string& out, bool ascii, bool binary) {
  const mesh::Mesh m = mesh::ReadModel(in);
  mesh::WriteModel(out, m, mesh::FormatFor(out, ascii, binary));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The suite's units (colour maps, STL writer) end through Error: here
  // their message becomes a failure of the command.
  SetErrorHook([](const char* message) { throw Failure(message); });
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
  field->add_option("POINTS", points, "points x y z, a line each (\"-\": standard input)")
      ->required();
  field->add_flag("--gradient", gradient, "also the gravity gradient tensor (closed form)");

  SurfaceArgs sa;
  CLI::App* surface =
      app.add_subcommand("surface", "per-facet table at the facet centroids, in one pass");
  AddCommon(surface, &surface_common);
  surface->add_option("--spin-period", sa.spin_hours, "rotation period in hours")
      ->check(CLI::PositiveNumber);
  surface->add_option("--spin-axis", sa.spin_axis, "rotation axis x,y,z (default 0,0,1)")
      ->delimiter(',');
  surface->add_flag("--summary", sa.summary, "volume, mass, slope statistics, extreme facets");
  surface->add_option("--slopes", sa.slopes, "slopes for the area fractions (default 10,20,30,40)")
      ->delimiter(',');
  surface->add_option("--stl", sa.stl, "coloured binary STL of the model");
  surface->add_option("--png", sa.png, "picture of the coloured model with a colour bar");
  surface->add_option("--colour", sa.colour, "the column to colour by (default slope)");
  surface->add_option("--map", sa.map, "viridis (default), blue_white_red, grey or a CM_STL file");
  surface->add_option("--range", sa.range, "colour range MIN,MAX")->delimiter(',');
  surface
      ->add_option("--percentiles", sa.percentiles,
                   "colour range from area-weighted percentiles LO,HI (default 2,98)")
      ->delimiter(',');
  surface->add_option("--view", sa.view, "picture seen from LON,LAT degrees (default 30,25)")
      ->delimiter(',');
  surface->add_option("--size", sa.size, "picture W,H pixels (default 800,600)")->delimiter(',');

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

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "polyfield: %s (polyfield --help)\n", e.what());
    return 1;
  }
  try {
    if (*field) {
      showing_progress = field_common.progress || isatty(STDERR_FILENO);
      return RunField(field_common, points, gradient);
    }
    if (*surface) {
      showing_progress = surface_common.progress || isatty(STDERR_FILENO);
      return RunSurface(surface_common, sa);
    }
    if (*check) return RunCheck(check_model);
    if (*convert) return RunConvert(in, out, ascii, binary);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "polyfield: %s\n", e.what());
    return 1;
  }
  return 0;
}
