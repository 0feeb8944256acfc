// polyfield fit: the densities of the body's parts and the masses of its
// point masses that best explain a measured field (an ICGEM or SHADR
// file), by weighted linear least squares. Rank 0's alone.
#include "science/fit.h"

#include <cstdio>
#include <optional>
#include <string>

#include "cli/command.h"
#include "common/failure.h"
#include "science/outputs.h"

namespace cli {

namespace {

struct FitArgs {
  std::string measured;
  std::optional<int> degree;
  int min_degree = 1;
  bool constrain_gm = false;
};

int RunFit(const Common& c, const FitArgs& a) {
  science::Validate(science::Files{Inputs(c, {{"measured", a.measured}}), {{"output", c.output}}});
  if (!ranks->Root()) return 0;
  const science::MeasuredField f = science::ReadMeasuredField(a.measured);
  science::FitRequest r;
  r.degree = a.degree.value_or(f.degree);
  r.min_degree = a.min_degree;
  r.constrain_gm = a.constrain_gm;
  r.threads = c.Evaluation().Threads();
  const auto body = Load(c);
  const science::Fit fit = science::FitDensities(*body, f, r);
  const std::string text = science::FitText(fit, f, r);
  science::Outputs outputs(body->sources());
  FILE* out = outputs.Open("output", c.output);
  if (std::fwrite(text.data(), 1, text.size(), out) != text.size())
    throw Failure(c.output == "-" ? "standard output: write error" : c.output + ": write error");
  outputs.Commit();
  return 0;
}

}  // namespace

Subcommand FitCommand(CLI::App& app) {
  const auto a = std::make_shared<WithCommon<FitArgs>>();
  CLI::App* fit = app.add_subcommand(
      "fit", "the densities of the parts (and point masses) that best explain a measured field");
  AddCommon(fit, &a->common);
  // The densities given only make the body: the fit replaces them.
  for (const char* name :
       {"--tolerance", "--exact", "--progress", "--format", "--mass", "--gm", "--G"})
    fit->remove_option(fit->get_option(name));
  fit->add_option("--measured", a->args.measured,
                  "the measured field: an ICGEM file (.gfc) or a SHADR table, with sigmas")
      ->required();
  fit->add_option("--degree", a->args.degree, "the largest degree fitted (default the file's)");
  fit->add_option("--min-degree", a->args.min_degree,
                  "the smallest degree fitted (default 1; 0 adds GM of its sigma)");
  fit->add_flag("--constrain-gm", a->args.constrain_gm,
                "hold the total mass to the measured GM exactly");
  return {fit, [a] { return RunFit(a->common, a->args); }};
}

}  // namespace cli
