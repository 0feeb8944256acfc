// polyfield surface: the per-facet table at the facet centroids, its
// summary, and the coloured model, pictures and maps.
#include "science/surface.h"

#include <cstdio>
#include <optional>
#include <vector>

#include "cli/command.h"
#include "cli/stages.h"
#include "cli/table.h"
#include "common/failure.h"
#include "common/print.h"
#include "science/outputs.h"
#include "science/products.h"

namespace cli {

namespace {

struct SurfaceArgs {
  science::SurfaceRequest request;
  std::vector<double> spin_axis, range, percentiles, view;  // empty: not given
  std::vector<uint32_t> size;
  bool summary = false, no_outline = false;
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
    if (no_outline) r->picture.outline = false;
    if (!size.empty()) {
      if (size.size() != 2) throw Failure("--size: two numbers, comma-separated");
      r->picture.size = std::pair{size[0], size[1]};
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
  if (colouring) {
    science::Validate(request.picture, science::ColourNames(request.spin_period.has_value()));
    science::CheckFigureNames(a.colours);
  }
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
  const auto body = Load(c, Evaluates::kUnits);
  const science::Units u = science::Resolve(c.units, *body);
  Caution(u, request.spin_period);
  auto header = Header("surface", c, *body, u);
  science::Outputs outputs(files.inputs);
  const bool root = ranks->Root();
  FILE* table = root && !c.output.empty() ? outputs.Open("output", c.output) : nullptr;
  std::optional<science::ColourOutputs> coloured;
  if (root) coloured.emplace(&outputs, a.colours);
  ranks->Agree();

  science::Surface s;
  std::optional<StageTime> evaluation(Stage::kEvaluation), planning(Stage::kPlan);
  science::SurfaceOf(*body, request, &s, &TerminalMore, RunUnitsAfter(&planning), SharedPlan);
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
                     (u.Physical() ? u.unit + "^3" : "(model units)"));
    if (u.Physical()) {
      header.push_back("mass: " + ShortestDigits(sum.mass) + " kg");
      header.push_back("GM: " + ShortestDigits(sum.gm) + " m^3/s^2");
    }
    header.push_back("centre of mass: " + Three(sum.centre));
    header.push_back("area: " + ShortestDigits(sum.area) + " " +
                     (u.Physical() ? u.unit + "^2" : "(model units)"));
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
    const science::Column* chosen = science::ColourColumn(
        cols, science::ColourName(request.picture, request.spin_period.has_value()));
    const std::string unit = chosen->unit.empty() ? "" : " " + chosen->unit;
    const science::Range range =
        coloured->Write(body->model(), body->CentreOfMass(), *chosen->values, s.area, map,
                        chosen->name + unit, body->unit(), request.picture);
    header.push_back("colour: " + chosen->name + " over [" + ShortestDigits(range.min) + ", " +
                     ShortestDigits(range.max) + "]" + unit + " with the map " +
                     request.picture.map);
    colour_line = "polyfield: colour " + chosen->name + " over [" + ShortestDigits(range.min) +
                  ", " + ShortestDigits(range.max) + "]\n";
  }
  evaluation.reset();
  const StageTime write(Stage::kWrite);
  cli::WriteTable(table, format, header, cols);
  outputs.Commit();
  std::fputs(colour_line.c_str(), stderr);
  return 0;
}

}  // namespace

Subcommand SurfaceCommand(CLI::App& app) {
  const auto a = std::make_shared<WithCommon<SurfaceArgs>>();
  science::SurfaceRequest& sr = a->args.request;
  CLI::App* surface =
      app.add_subcommand("surface", "per-facet table at the facet centroids, in one pass");
  AddCommon(surface, &a->common);
  surface->add_option("--spin-period", sr.spin_period, "rotation period in hours");
  surface->add_option("--spin-axis", a->args.spin_axis, "rotation axis x,y,z (default 0,0,1)")
      ->delimiter(',');
  surface->add_flag("--summary", a->args.summary,
                    "volume, mass, slope statistics, extreme facets, inertia tensor");
  surface->add_option("--slopes", sr.slopes, "slopes for the area fractions (default 10,20,30,40)")
      ->delimiter(',');
  surface->add_option("--stl", a->args.colours.stl, "coloured binary STL of the model");
  surface->add_option("--png", a->args.colours.png,
                      "PNG picture of the coloured model with a colour bar");
  surface->add_option("--picture", a->args.colours.picture,
                      "the same picture as PNG, PDF or SVG by extension");
  surface->add_option("--latlon", a->args.colours.latlon,
                      "latitude-longitude map of the colour about the centre of mass (PNG, PDF, "
                      "SVG)");
  surface->add_option("--background", sr.picture.background, "light (default) or dark");
  surface->add_option("--shading", sr.picture.shading,
                      "none (default: the map's colours as they are) or lambert (the view only)");
  surface->add_option("--title", sr.picture.title, "the figures' title");
  surface->add_option("--label", sr.picture.label,
                      "the colour bar's label (default the column's name and unit)");
  surface->add_flag("--triad", sr.picture.triad,
                    "the model's axes x, y, z and the direction of view below the picture");
  surface->add_flag("--scale-bar", sr.picture.scale_bar,
                    "a scale bar in the model's unit below the picture");
  surface->add_flag("--no-outline", a->args.no_outline,
                    "no line around the model's outline in the picture");
  surface->add_option("--colour", sr.picture.colour,
                      "the column to colour by (default slope; slopeeff with --spin-period)");
  surface->add_option("--map", sr.picture.map,
                      "viridis (default), blue_white_red, grey or a CM_STL file");
  surface->add_option("--range", a->args.range, "colour range MIN,MAX")->delimiter(',');
  surface
      ->add_option("--percentiles", a->args.percentiles,
                   "colour range from area-weighted percentiles LO,HI (default 2,98)")
      ->delimiter(',');
  surface->add_option("--view", a->args.view, "picture seen from LON,LAT degrees (default 30,25)")
      ->delimiter(',');
  surface
      ->add_option("--size", a->args.size,
                   "picture W,H pixels (default at most 800,600, cut to the content)")
      ->delimiter(',');

  return {surface, [a] {
            ShowProgress(a->common.progress);
            return RunSurface(a->common, a->args);
          }};
}

}  // namespace cli
