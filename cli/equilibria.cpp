// polyfield equilibria: every equilibrium point of the spinning body in its
// rotating frame, classified, the set checked for completeness.
#include "science/equilibria.h"

#include <cstdio>
#include <optional>
#include <vector>

#include "cli/command.h"
#include "cli/table.h"
#include "common/failure.h"
#include "common/print.h"
#include "science/outputs.h"

namespace cli {

namespace {

struct EquilibriaArgs {
  science::EquilibriaRequest request;
  std::vector<double> spin_axis;  // empty: not given
  std::string continuation;       // "" none
  std::vector<double> plane;      // the plane's normal, empty: the equatorial plane
  std::vector<uint32_t> grid;     // NU,NV: the grid of V instead of the equilibria
  std::optional<double> extent;
  std::string picture;         // "" none: the zero-velocity figure, PNG, PDF or SVG
  std::vector<uint32_t> size;  // W,H of the figure
};

// The table is written whatever the count says; a set not shown complete
// is told on standard error and ends with status 2.
int RunEquilibria(const Common& c, const EquilibriaArgs& a) {
  science::EquilibriaRequest request = a.request;
  request.units = c.units;
  request.evaluation = c.Evaluation();
  if (!a.spin_axis.empty()) {
    if (a.spin_axis.size() != 3) throw Failure("--spin-axis: three numbers x,y,z");
    request.spin_axis = {a.spin_axis[0], a.spin_axis[1], a.spin_axis[2]};
  }
  science::Validate(request);
  std::optional<science::PlaneRequest> plane;
  const bool picture = !a.picture.empty();
  if (picture && !a.continuation.empty()) throw Failure("--picture and --continue: give one");
  if (!a.size.empty() && !picture) throw Failure("--size: only with --picture");
  if (!a.size.empty() && (a.size.size() != 2 || !a.size[0] || !a.size[1]))
    throw Failure("--size: two positive numbers W,H");
  if (!a.grid.empty() || !a.plane.empty() || a.extent || picture) {
    if (a.grid.size() != 2 && !(picture && a.grid.empty()))
      throw Failure("--grid: two numbers NU,NV (with --plane, --extent)");
    if (!a.plane.empty() && a.plane.size() != 3) throw Failure("--plane: three numbers x,y,z");
    if (!a.continuation.empty()) throw Failure("--grid and --continue: give one");
    plane = science::PlaneRequest{};
    if (!a.plane.empty()) plane->normal = {{a.plane[0], a.plane[1], a.plane[2]}};
    // The figure's own grid when no table of it is asked.
    plane->nu = plane->nv = science::kZeroVelocityGrid;
    if (!a.grid.empty()) plane->nu = a.grid[0], plane->nv = a.grid[1];
    plane->extent = a.extent;
    science::Validate(*plane);
  }
  std::optional<science::ContinuationRequest> continuation;
  if (!a.continuation.empty()) continuation = science::ContinuationOf(a.continuation);
  const cli::TableFormat format = cli::TableFormatOf(c.format);
  const science::Files files{Inputs(c), {{"output", c.output}, {"picture", a.picture}}};
  science::Validate(files);
  const auto body = Load(c);
  const science::Units u = science::Resolve(c.units, *body);
  auto header = Header("equilibria", c, *body, u);
  science::Outputs outputs(files.inputs);
  FILE* table = ranks->Root() ? outputs.Open("output", c.output) : nullptr;
  FILE* figure = ranks->Root() && picture ? outputs.Open("picture", a.picture) : nullptr;
  ranks->Agree();
  // Every rank searches alike (the search is small beside its field calls,
  // which are not dealt over the ranks); rank 0 writes.
  if (continuation) {
    const science::Continuation k =
        science::ContinueEquilibria(*body, request, *continuation, &TerminalMore);
    ranks->Agree();
    if (!ranks->Root()) return 0;
    for (const std::string& line : science::ContinuationLines(k, u)) header.push_back(line);
    const science::ContinuationTable t = science::TableOf(k);
    cli::WriteTable(table, format, header, t.Columns(k, u));
    outputs.Commit();
    if (k.start.complete && k.end.complete) return 0;
    std::fprintf(stderr, "polyfield: completeness at an end of the continuation not shown\n");
    return 2;
  }
  const science::Equilibria e = science::EquilibriaOf(*body, request, &TerminalMore);
  ranks->Agree();
  if (!ranks->Root()) return 0;
  for (const std::string& line : science::EquilibriaLines(e, u)) header.push_back(line);
  std::optional<science::PlaneGrid> grid;
  if (plane) grid = science::PlaneOf(*body, request, e, *plane, &TerminalMore);
  if (figure) {
    science::ZeroVelocityRequest z;
    if (!a.size.empty()) z.size = std::pair{a.size[0], a.size[1]};
    if (!science::WriteZeroVelocityFigure(figure, figure::OutputFor(a.picture), *body, request, e,
                                          *grid, *plane, z))
      throw Failure(a.picture + ": write error");
  }
  if (!a.grid.empty()) {
    const science::PlaneGrid& g = *grid;
    header.push_back("grid: " + std::to_string(plane->nu) + " x " + std::to_string(plane->nv) +
                     " cell centres of the plane through the centre of mass spanned by u (" +
                     Three(g.e1) + ") and v (" + Three(g.e2) + "), |u|, |v| <= " +
                     ShortestDigits(g.extent) + " " + u.unit + "; rows along v, u fastest");
    for (size_t i = 0; i < e.points.size(); ++i)
      header.push_back("equilibrium " + std::to_string(i + 1) + ": " + Three(e.points[i].position) +
                       " " + u.unit + ", V " + ShortestDigits(e.points[i].potential) +
                       " m^2/s^2 (a zero-velocity contour)");
    cli::WriteTable(table, format, header, g.Columns(u), {plane->nv, plane->nu});
    outputs.Commit();
    return e.complete ? 0 : 2;
  }
  const science::EquilibriaTable t = science::TableOf(e);
  cli::WriteTable(table, format, header, t.Columns(u));
  outputs.Commit();
  if (e.complete) return 0;
  std::fprintf(stderr, "polyfield: completeness %s\n", e.completeness.c_str());
  return 2;
}

}  // namespace

Subcommand EquilibriaCommand(CLI::App& app) {
  const auto a = std::make_shared<WithCommon<EquilibriaArgs>>();
  science::EquilibriaRequest& r = a->args.request;
  CLI::App* equilibria = app.add_subcommand(
      "equilibria",
      "every equilibrium point of the spinning body (inside and outside), its stability and "
      "case, the set checked complete");
  AddCommon(equilibria, &a->common);
  equilibria->add_option("--spin-period", r.spin_period, "rotation period in hours (required)");
  equilibria
      ->add_option("--spin-axis", a->args.spin_axis,
                   "rotation axis x,y,z through the centre of mass (default 0,0,1)")
      ->delimiter(',');
  equilibria->add_option("--seeds", r.seeds,
                         "seeds across the search region in the first seeding (default " +
                             std::to_string(science::kDefaultSeeds) + ")");
  equilibria->add_option("--continue", a->args.continuation,
                         "follow every branch: spin-period:FROM:TO (hours) or density:FROM:TO "
                         "(kg/m^3), and name the events where two collide or are created");
  equilibria
      ->add_option("--grid", a->args.grid,
                   "NU,NV: instead of the equilibria, V on a grid of the plane through the centre "
                   "of mass (its contours at the equilibria's V are the zero-velocity curves)")
      ->delimiter(',');
  equilibria
      ->add_option("--plane", a->args.plane,
                   "the grid plane's normal x,y,z (default the spin axis)")
      ->delimiter(',');
  equilibria->add_option("--extent", a->args.extent,
                         "the grid's half-side, model units (default 1.25 times the farthest "
                         "equilibrium's distance)");
  equilibria->add_option("--picture", a->args.picture,
                         "the zero-velocity figure (V's contours in the plane, the body's section, "
                         "the equilibria) as PNG, PDF or SVG by extension");
  equilibria
      ->add_option("--size", a->args.size,
                   "figure W,H pixels (default at most 800,600, cut to the square plot)")
      ->delimiter(',');
  return {equilibria, [a] {
            ShowProgress(a->common.progress);
            return RunEquilibria(a->common, a->args);
          }};
}

}  // namespace cli
