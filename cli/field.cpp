// polyfield field: the potential and attraction (and the gradient tensor)
// at points read, or on a latitude-longitude grid about the centre of mass.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/stages.h"
#include "cli/table.h"
#include "common/failure.h"
#include "common/input.h"
#include "common/print.h"
#include "common/rows.h"
#include "science/grid.h"
#include "science/netcdf.h"
#include "science/outputs.h"

namespace cli {

namespace {

// Points: three numbers x y z a line (common/rows.h).
void ReadPoints(const std::string& path, std::vector<double>* x, std::vector<double>* y,
                std::vector<double>* z) {
  rows::Read(path, 3, "three finite numbers x y z", true, [&](const double* p, size_t) {
    x->push_back(p[0]), y->push_back(p[1]), z->push_back(p[2]);
  });
}

// The points of a file read by the ranks together (every rank reading
// the same regular file): each parses the lines that begin in its share of
// the bytes, numbered after those of the ranks below, and every rank gets
// all the points in order. The points and the refusal of a bad line (the
// first, from the lowest rank that has one) are those of one process
// reading the whole file. False, and nothing read, when the ranks do not
// read the same regular file.
bool ReadSharedPoints(const std::string& path, std::vector<double>* x, std::vector<double>* y,
                      std::vector<double>* z) {
  const std::unique_ptr<FILE, int (*)(FILE*)> file(OpenInput(path.c_str(), "rb"), &std::fclose);
  struct stat st {};
  const bool regular = file && fstat(fileno(file.get()), &st) == 0 && S_ISREG(st.st_mode);
  const size_t size = regular ? static_cast<size_t>(st.st_size) : 0;
  // The same path and size on every rank, or each reads its own.
  if (!ranks->Same(path + '\n' + (regular ? std::to_string(size) : "-"))) return false;
  if (!regular) return false;
  const size_t K = ranks->count(), r = ranks->rank();
  const size_t begin = size / K * r + std::min(r, size % K);
  const size_t end = begin + size / K + (r < size % K ? 1 : 0);
  std::string text;
  std::exception_ptr failed;
  size_t lines = 0, first = 0, last = 0;
  try {
    // The byte before the share (is its first byte a line's first?), the
    // share, and the rest of its last line.
    const size_t from = begin > 0 ? begin - 1 : 0;
    text.resize(end - from);
    if (std::fseek(file.get(), long(from), SEEK_SET) != 0 ||
        std::fread(text.data(), 1, text.size(), file.get()) != text.size())
      throw Failure(path + ": read error");
    if (end < size && text.back() != '\n') {
      for (int ch; (ch = std::fgetc(file.get())) != EOF;) {
        text.push_back(static_cast<char>(ch));
        if (ch == '\n') break;
      }
      if (std::ferror(file.get())) throw Failure(path + ": read error");
    }
    // The lines that begin in [begin, end): text[first, last).
    const size_t share = end - from;
    first = begin == 0 ? 0 : text.find('\n') == std::string::npos ? share : text.find('\n') + 1;
    first = std::min(first, share);
    last = text.size();
    for (size_t i = first; i < share; ++i) lines += i == first || text[i - 1] == '\n';
    if (first == share) last = share;
  } catch (...) {
    failed = std::current_exception();
  }
  ranks->Agree(failed);
  const size_t number = ranks->Below(lines) + 1;
  try {
    // Room for the share's lines at once (at most one point a line): the
    // arrays are not grown and copied on the way.
    for (std::vector<double>* v : {x, y, z}) v->reserve(lines);
    rows::ReadText(path, text.data() + first, last - first, number, 3, "three finite numbers x y z",
                   true, [&](const double* p, size_t) {
                     x->push_back(p[0]), y->push_back(p[1]), z->push_back(p[2]);
                   });
  } catch (...) {
    failed = std::current_exception();
  }
  ranks->Agree(failed);
  std::string().swap(text);
  for (std::vector<double>* v : {x, y, z}) ranks->Concatenate(v, "the points");
  return true;
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
  const auto body = Load(c, Evaluates::kUnits);
  const science::Units u = science::Resolve(c.units, *body);
  Caution(u);
  std::vector<double> x, y, z;
  std::optional<StageTime> read(Stage::kRead);
  const bool shared = ranks->count() > 1 && ReadSharedPoints(points, &x, &y, &z);
  if (!shared) ReadPoints(points, &x, &y, &z);
  const size_t n = x.size();
  if (ranks->count() > 1 && !shared) {
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
  read.reset();
  const auto header = Header("field", c, *body, u);
  science::Outputs outputs(files.inputs);
  FILE* table = ranks->Root() ? outputs.Open("output", c.output) : nullptr;
  ranks->Agree();

  std::vector<double> U(n), gx(n), gy(n), gz(n), t(gradient ? 6 * n : 0);
  std::optional<StageTime> planning(Stage::kPlan);
  const science::FieldPlan plan = science::PlanField(*body, request, n, x.data(), y.data(),
                                                     z.data(), science::kFieldSection, SharedPlan);
  planning.reset();
  RunUnits(plan, {U.data(), gx.data(), gy.data(), gz.data(), gradient ? t.data() : nullptr},
           &TerminalMore);
  ranks->Agree();
  if (!ranks->Root()) return 0;
  const StageTime write(Stage::kWrite);
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
  const bool netcdf = science::IsNetcdf(c.format);
  const cli::TableFormat format = netcdf ? cli::TableFormat::kTsv : cli::TableFormatOf(c.format);
  const science::Files files{Inputs(c), {{"output", c.output}}};
  science::Validate(files);
  const auto body = Load(c, Evaluates::kUnits);
  science::Validate(request, g, *body);
  const science::Units u = science::Resolve(c.units, *body);
  Caution(u);
  auto header = Header("field", c, *body, u);
  for (const std::string& line : science::GridLines(*body, g, u)) header.push_back(line);
  science::Outputs outputs(files.inputs);
  FILE* table = ranks->Root() ? outputs.Open("output", c.output) : nullptr;
  ranks->Agree();
  science::Grid grid;
  science::GridField f;
  {
    const StageTime evaluation(Stage::kEvaluation);
    std::optional<StageTime> planning(Stage::kPlan);
    science::GridOf(*body, request, g, &grid, &f, &TerminalMore, RunUnitsAfter(&planning),
                    SharedPlan);
  }
  ranks->Agree();
  if (!ranks->Root()) return 0;
  const StageTime write(Stage::kWrite);
  if (netcdf) {
    science::WriteGridNetcdf(table, science::GridVariables(grid, f, u),
                             science::GridAttributes(*body, g, grid, f, u, command_line, header),
                             grid);
  } else {
    cli::WriteTable(table, format, header, science::GridColumns(grid, f, u), {g.nlat, g.nlon});
  }
  outputs.Commit();
  return 0;
}

}  // namespace

Subcommand FieldCommand(CLI::App& app) {
  struct Args {
    Common common;
    std::string points;
    bool gradient = false;
    GridArgs grid;
  };
  const auto a = std::make_shared<Args>();
  CLI::App* field = app.add_subcommand("field", "potential and attraction at points");
  AddCommon(field, &a->common);
  field->add_option("POINTS", a->points, "points x y z, a line each (\"-\": standard input)");
  field->add_option("--sphere", a->grid.sphere,
                    "instead of POINTS: a grid on the sphere of radius R");
  field->add_option("--altitude", a->grid.altitude,
                    "instead of --sphere: the grid at the height H above the surface");
  field
      ->add_option("--grid", a->grid.grid,
                   "the grid's NLAT,NLON cells (with --sphere or --altitude)")
      ->delimiter(',');
  field->add_flag("--gradient", a->gradient, "also the gravity gradient tensor (closed form)");

  return {field, [a] {
            ShowProgress(a->common.progress);
            if (a->grid.Given() == !a->points.empty())
              throw Failure("POINTS or --sphere R (--altitude H) --grid NLAT,NLON: give one");
            return a->grid.Given() ? RunGrid(a->common, a->grid, a->gradient)
                                   : RunField(a->common, a->points, a->gradient);
          }};
}

}  // namespace cli
