// polyfield: the science front end. Subcommands field, surface, harmonics,
// check, convert and equilibria over the front end's library (mesh/, science/); options parsed by
// CLI11 into the library's requests, which the library checks. Every
// failure is one line on standard error naming the file (and line) or the
// option, with status 1; every argument is checked and every output opened
// before the evaluation, and the outputs are put in place together at the
// end, so that a failed run replaces none.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <string_view>

#include "cli/command.h"
#include "cli/stages.h"
#include "common/error.h"
#include "common/failure.h"
#include "common/nearest.h"

namespace {

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

// The message of a parse error, with the command or option most likely
// meant when a word is none of them: "unknown command" with the commands'
// list, or the nearest of the subcommand's options.
std::string ParseMessage(const CLI::App& app, const CLI::ParseError& e, int argc,
                         const char* const* argv) {
  std::vector<std::string> commands;
  for (const CLI::App* c : app.get_subcommands([](const CLI::App*) { return true; }))
    commands.push_back(c->get_name());
  const std::vector<CLI::App*> chosen = app.get_subcommands();
  if (chosen.empty() && argc > 1 && argv[1][0] != '-') {
    std::string list;
    for (const std::string& c : commands) {
      if (!list.empty()) list += ", ";
      list += c;
    }
    const std::string near = Nearest(argv[1], commands);
    return std::string("unknown command \"") + argv[1] + "\" (commands: " + list + ")" +
           (near.empty() ? "" : "; did you mean " + near + "?");
  }
  std::string message = e.what();
  if (chosen.empty()) return message + " (polyfield --help)";
  const CLI::App& sub = *chosen.front();
  std::vector<std::string> options = {"--help"};
  for (const CLI::Option* o : sub.get_options())
    for (const std::string& name : o->get_lnames()) options.push_back("--" + name);
  for (const std::string& word : sub.remaining()) {
    if (word.size() < 2 || word[0] != '-') continue;
    const std::string name = word.substr(0, word.find('='));
    const std::string near = Nearest(name, options);
    if (!near.empty()) {
      message = sub.get_name() + ": unknown option " + name + "; did you mean " + near + "?";
      break;
    }
  }
  return message + " (polyfield " + sub.get_name() + " --help)";
}

}  // namespace

std::string cli::Spelled(const std::string& message) {
  return Failure(message).Spelled(&Spelling);
}

int main(int argc, char** argv) {
  // The suite's units (colour maps, STL writer) end through Error: here
  // their message becomes a failure of the command.
  SetErrorHook([](const char* message) { throw Failure(message); });
  cli::Ranks job(&argc, &argv);
  cli::ranks = &job;
  // The stages' times (POLYFIELD_STAGES), told at the end of the run, before
  // the job is left.
  struct Report {
    const cli::Ranks& job;
    ~Report() { cli::ReportStages(job.rank(), job.count()); }
  } report{job};
  cli::command_line = cli::CommandLine(argc, argv);
  CLI::App app{
      "polyfield: the gravitational potential and attraction of a homogeneous solid "
      "bounded by a triangulated polyhedron, in closed form"};
  app.set_version_flag("--version", std::string("polyfield ") + cli::kVersion);
  app.set_help_all_flag("--help-all", "Print the help of every subcommand and exit");
  app.require_subcommand(1);

  const cli::Subcommand commands[] = {cli::FieldCommand(app),       cli::SurfaceCommand(app),
                                      cli::HarmonicsCommand(app),   cli::CheckCommand(app),
                                      cli::ConvertCommand(app),     cli::FitCommand(app),
                                      cli::UncertaintyCommand(app), cli::EquilibriaCommand(app)};
  const CLI::App* harmonics = commands[2].app;
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
    if (job.Root())
      std::fprintf(stderr, "polyfield: %s\n", ParseMessage(app, e, argc, argv).c_str());
    return 1;
  }
  try {
    int status = 0;
    for (const cli::Subcommand& c : commands)
      if (*c.app) status = c.run();
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
