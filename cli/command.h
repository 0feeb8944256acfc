// The program's pieces shared by its subcommands: the options every
// evaluating command takes, the run's processes, the header lines, the
// body's loading, the progress line, and the plan's units dealt over the
// ranks. Each subcommand has a file of its own (field.cpp, surface.cpp,
// harmonics.cpp, model.cpp, equilibria.cpp) that adds its options and runs it.
#pragma once

#include <CLI/CLI.hpp>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/ranks.h"
#include "cli/stages.h"
#include "engine/chooser.h"
#include "science/body.h"
#include "science/field.h"
#include "science/request.h"
#include "science/summary.h"

namespace cli {

extern const char* const kVersion;
// The run's processes: rank 0 writes, every rank evaluates its share.
extern Ranks* ranks;
// The run's command line as a shell would take it back ("polyfield field
// ..."), for the files that record how they were made.
extern std::string command_line;
std::string CommandLine(int argc, const char* const* argv);

struct Common {
  std::string model, output = "-", format = "tsv";
  science::UnitsRequest units;
  science::Evaluation evaluation;
  bool exact = false, no_check = false, progress = false;
  std::vector<std::string> add;  // more parts, PATH:DENSITY
  std::string mascons;

  science::BodyRequest Body() const { return {model, add, mascons}; }
  // Under mpirun rank 0 alone checks the body, and every rank takes its
  // verdict (Load): the other ranks' evaluations check it no more.
  science::Evaluation Evaluation() const {
    science::Evaluation e = evaluation;
    if (exact) e.tolerance.reset();
    e.check = !no_check && ranks->Root();
    return e;
  }
};

void AddCommon(CLI::App* app, Common* c);
// A subcommand's options: the common ones and its own.
template <class Own>
struct WithCommon {
  Common common;
  Own args;
};

// The header lines of a command's table.
std::vector<std::string> Header(const char* command, const Common& c, const science::Body& body,
                                const science::Units& u);
// What a command evaluates with the parts' engines: nothing (not the
// field), the field at any points, or the field only by RunUnits (under
// mpirun each rank's trees then hold the moments its own units take, and
// RunUnits has them handed over).
enum class Evaluates { kNothing, kField, kUnits };
// The model and its parts, read, scaled and checked (unless --no-check), as
// a body; parts of positive density that overlap are told on standard
// error, a line each. For a command that evaluates the field, the parts'
// engines prepared (and under a tolerance the tree's moments made).
std::unique_ptr<science::Body> Load(const Common& c, Evaluates evaluates = Evaluates::kField);
// The warnings of a run's units and spin (science::Cautions), each a line
// "polyfield: warning: ..." on standard error from rank 0; the run goes on.
void Caution(const science::Units& u, const std::optional<double>& spin_period = std::nullopt);
// A library message with its quantities spelled as this program's options.
std::string Spelled(const std::string& message);
// The files a run reads: the body's and `more`.
std::vector<std::pair<std::string, std::string>> Inputs(
    const Common& c, std::vector<std::pair<std::string, std::string>> more = {});

// The progress line (TerminalMore) shown on a terminal, or when `asked`
// (--progress), by rank 0.
void ShowProgress(bool asked);
// The program's `more`: the share done and the time left on standard error,
// when progress is shown; it never stops the call.
bool TerminalMore(double share);
// A plan's units evaluated by the ranks, each its own (Ranks::Mine), each
// rank handed first the tree moments its units take and its trees lack,
// and gathered by rank 0: the same for every command. False on the other
// ranks, whose results are rank 0's.
bool RunUnits(const science::FieldPlan& plan, const science::FieldResult& out,
              const science::More& more);
// RunUnits as a command's run, which ends the plan's stage time
// (`planning`, running since before the plan) when the evaluation begins.
science::FieldRun RunUnitsAfter(std::optional<StageTime>* planning);

// The plan of a section's points (science::PlanMaker) made by rank 0 alone
// and handed to the others, who wait for it asleep; a failure while it is
// made or handed over is every rank's. One process makes it.
Chooser::Plan SharedPlan(const std::function<Chooser::Plan()>& make, size_t n, const double* x,
                         const double* y, const double* z);

// Three numbers, shortest digits.
std::string Three(const std::array<double, 3>& v);
// The inertia lines of the summary and of check: (key, value) pairs.
std::vector<std::pair<std::string, std::string>> InertiaLines(const science::Inertia& in,
                                                              const science::Units& u);

// A subcommand: its options on the parser, and what runs it once parsed
// (its status).
struct Subcommand {
  CLI::App* app;
  std::function<int()> run;
};
Subcommand FieldCommand(CLI::App& app);
Subcommand SurfaceCommand(CLI::App& app);
Subcommand HarmonicsCommand(CLI::App& app);
Subcommand CheckCommand(CLI::App& app);
Subcommand ConvertCommand(CLI::App& app);
Subcommand FitCommand(CLI::App& app);
Subcommand UncertaintyCommand(CLI::App& app);
Subcommand EquilibriaCommand(CLI::App& app);

}  // namespace cli
