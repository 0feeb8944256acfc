// The program's pieces shared by its subcommands.
#include "cli/command.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>

#include "cli/stages.h"
#include "common/failure.h"
#include "common/print.h"
#include "science/model.h"

namespace cli {

const char* const kVersion = POLYFIELD_VERSION;
Ranks* ranks = nullptr;
std::string command_line = "polyfield";

std::string CommandLine(int argc, const char* const* argv) {
  std::string line = "polyfield";
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                            "0123456789_./:=,+-@%^") == std::string::npos;
    line += " ";
    if (plain) {
      line += word;
      continue;
    }
    line += "'";
    for (const char ch : word) line += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    line += "'";
  }
  return line;
}

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
  app->add_option("--format", c->format,
                  "tsv (default), csv, npy or npz; for a grid also nc (netCDF, CF)");
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
  if (u.Physical())
    h.push_back("units: SI; density " + ShortestDigits(u.density) + " kg/m^3" +
                (u.density_from == "given" ? "" : " (" + u.density_from + ")") + ", G " +
                ShortestDigits(u.G) + " m^3/(kg s^2), model lengths in " + u.unit + scaled);
  else
    h.push_back("units: G rho = 1, lengths in the model's own unit" + scaled +
                " (no --density given)");
  h.push_back("sign convention: U > 0, g = grad U (the attraction points into the body)");
  return h;
}

namespace {

// A model's file, read by rank 0 alone and its model handed to the other
// ranks when every rank reads the same file at the same scale (else each
// reads its own); a failure to read it is every rank's.
mesh::Mesh ReadModel(const std::string& path, double scale) {
  const StageTime read(Stage::kRead);
  if (ranks->count() == 1) return science::LoadModel(path, scale);
  const bool same =
      ranks->Same(path + '\n' + std::string(reinterpret_cast<const char*>(&scale), sizeof scale));
  mesh::Mesh m;
  std::exception_ptr failed;
  if (!same || ranks->Root()) {
    try {
      m = science::LoadModel(path, scale);
    } catch (...) {
      failed = std::current_exception();
    }
  }
  ranks->Agree(failed);
  if (same) ranks->Broadcast(&m, 0);
  return m;
}

// The parts the ranks make a tree's moments in: a few a rank, for their
// balance.
size_t MomentPartsWanted() {
  return 4 * size_t{ranks->count()};
}

// The moments of lacking `cells` of an engine's tree, each asked of the
// rank that made it and handed over: every rank calls it at once, with the
// cells it lacks (`lacking`, none for some).
void FetchMoments(const Chooser& engine, const std::function<std::vector<uint32_t>()>& lacking) {
  const size_t wanted = MomentPartsWanted();
  std::vector<std::vector<uint32_t>> asked(ranks->count());
  std::exception_ptr failed;
  try {
    const std::vector<uint32_t> cells = lacking();
    const size_t parts = engine.MomentParts(wanted);
    const std::vector<size_t> part = engine.PartsOf(wanted, cells);
    for (size_t j = 0; j < cells.size(); ++j)
      asked[Ranks::Owner(parts, part[j], ranks->count())].push_back(cells[j]);
  } catch (...) {
    failed = std::current_exception();
  }
  ranks->Agree(failed);
  const std::vector<std::vector<uint32_t>> of_me = ranks->Exchange(asked, "SI");
  std::vector<tree::Doubles> moments(ranks->count());
  try {
    for (unsigned r = 0; r < ranks->count(); ++r) moments[r] = engine.PackMoments(of_me[r]);
  } catch (...) {
    failed = std::current_exception();
  }
  ranks->Agree(failed);
  moments = ranks->Exchange(std::move(moments), "SI");
  try {
    for (unsigned r = 0; r < ranks->count(); ++r)
      engine.TakeMoments(asked[r], std::move(moments[r]));
  } catch (...) {
    failed = std::current_exception();
  }
  ranks->Agree(failed);
}

// The tree's moments (under a tolerance) made by the ranks together, each
// cell's the same as one process makes them: the engine's parts in ranges
// of nearly as many, one a rank, the outlines of every part (the orders
// and norms the far field is chosen by) handed to all. The moments stay
// where they were made until a rank's units take them (RunUnits), or,
// for a `whole` tree, are handed to every rank at once.
void ShareMoments(const science::Part& p, bool whole) {
  const size_t wanted = MomentPartsWanted();
  size_t parts = 0;
  tree::Doubles all;
  std::exception_ptr failed;
  try {
    parts = p.engine().MomentParts(wanted);
    if (parts > 0) all = p.engine().MakeMomentParts(wanted, ranks->Mine(parts));
  } catch (...) {
    failed = std::current_exception();
  }
  ranks->Agree(failed);
  if (parts == 0) return;
  ranks->Concatenate(&all, "SI");
  // The ranks' ranges one after the other: every part in order, each led
  // by its length.
  std::vector<size_t> part(parts);
  for (size_t k = 0, at = 0; k < parts; at += static_cast<size_t>(all[at]), ++k) part[k] = at;
  try {
    p.engine().MomentsFromParts(wanted, all, part);
  } catch (...) {
    failed = std::current_exception();
  }
  ranks->Agree(failed);
  tree::Doubles().swap(all);
  if (whole) FetchMoments(p.engine(), [&] { return p.engine().Lacking(); });
}

}  // namespace

std::unique_ptr<science::Body> Load(const Common& c, Evaluates evaluates) {
  const bool field = evaluates != Evaluates::kNothing;
  const StageTime build(Stage::kBuild);
  // The check is timed apart: the same check, at the same point.
  science::Evaluation unchecked = c.Evaluation();
  unchecked.check = false;
  auto body = science::LoadBody(c.Body(), c.units, unchecked, ReadModel);
  if (!c.no_check) {
    const StageTime check(Stage::kCheck);
    std::exception_ptr failed;
    if (ranks->Root()) {
      try {
        science::RequireFit(*body);
      } catch (...) {
        failed = std::current_exception();
      }
    }
    ranks->Agree(failed);
    // Rank 0's reports, as if made on every rank: nothing (the harmonics)
    // checks the model again.
    for (size_t i = 0; i < body->PartCount() && ranks->count() > 1; ++i) {
      mesh::CheckReport report = ranks->Root() ? body->part(i).Check() : mesh::CheckReport{};
      ranks->Broadcast(&report, 0);
      body->part(i).TakeCheck(report);
    }
  }
  // The engines of a command that evaluates the field, prepared here (a
  // failure agreed), not at its first evaluation.
  if (field) {
    std::exception_ptr failed;
    try {
      for (size_t i = 0; i < body->PartCount(); ++i) body->part(i).engine();
    } catch (...) {
      failed = std::current_exception();
    }
    ranks->Agree(failed);
  }
  // Measured, the tree's moments are a stage of their own, not part of the
  // first evaluation that would make them.
  const bool tree = field && c.Evaluation().Tolerance() > 0;
  if (tree && ranks->count() > 1) {
    const StageTime moments(Stage::kMoments);
    // Units alone take a homogeneous body's field (FieldPlan): a rank's
    // trees need only what its own units take.
    const bool whole = evaluates != Evaluates::kUnits || !body->Homogeneous();
    for (size_t i = 0; i < body->PartCount(); ++i) ShareMoments(body->part(i), whole);
  } else if (tree && MeasuringStages()) {
    const StageTime moments(Stage::kMoments);
    for (size_t i = 0; i < body->PartCount(); ++i) body->part(i).engine().MakeMoments();
  }
  if (c.Evaluation().check && ranks->Root())
    for (const std::string& line : body->Placed().overlaps)
      std::fprintf(stderr, "polyfield: %s\n", line.c_str());
  return body;
}

void Caution(const science::Units& u, const std::optional<double>& spin_period) {
  if (!ranks->Root()) return;
  for (const std::string& line : science::Cautions(u, spin_period))
    std::fprintf(stderr, "polyfield: warning: %s\n", Spelled(line).c_str());
}

std::vector<std::pair<std::string, std::string>> Inputs(
    const Common& c, std::vector<std::pair<std::string, std::string>> more) {
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
namespace {

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

}  // namespace

void ShowProgress(bool asked) {
  const bool tty = isatty(STDERR_FILENO) && ranks->Root();
  progress_on_terminal = tty;
  showing_progress = (asked && ranks->Root()) || tty;
}

bool TerminalMore(double share) {
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

bool RunUnits(const science::FieldPlan& plan, const science::FieldResult& out,
              const science::More& more) {
  bool finished = false;
  {
    const StageTime evaluation(Stage::kEvaluation);
    const std::vector<size_t> mine = ranks->Mine(plan.Units());
    if (ranks->count() > 1 && plan.body().Homogeneous()) {
      const StageTime moments(Stage::kMoments);
      FetchMoments(plan.body().part(0).engine(), [&] { return science::Lacking(plan, mine); });
    }
    finished = science::FieldOf(plan, mine, out, more);
  }
  const StageTime gather(Stage::kGather);
  ranks->Agree();
  ranks->Gather(plan, out);
  // Only rank 0 holds every result: the others go no further with them.
  return finished && ranks->Root();
}

science::FieldRun RunUnitsAfter(std::optional<StageTime>* planning) {
  return [planning](const science::FieldPlan& plan, const science::FieldResult& out,
                    const science::More& more) {
    planning->reset();
    return RunUnits(plan, out, more);
  };
}

Chooser::Plan SharedPlan(const std::function<Chooser::Plan()>& make, size_t n, const double* x,
                         const double* y, const double* z) {
  if (ranks->count() == 1) return make();
  Chooser::Plan plan;
  std::vector<uint64_t> words;
  std::exception_ptr failed;
  if (ranks->Root()) {
    try {
      plan = make();
      words = plan.Pack();
    } catch (...) {
      failed = std::current_exception();
    }
  }
  // The agreement's rendezvous sleeps: the other ranks do not spend a core
  // while rank 0 plans, and the broadcast after it does not wait.
  ranks->Agree(failed);
  ranks->Broadcast(&words, 0);
  if (!ranks->Root()) {
    try {
      plan = Chooser::Plan::Unpack(words.data(), words.size(), x, y, z);
      if (plan.count != n) throw Failure("a plan of other points than the call's");
    } catch (...) {
      failed = std::current_exception();
    }
  }
  ranks->Agree(failed);
  return plan;
}

namespace {

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
}  // namespace

std::string Three(const std::array<double, 3>& v) {
  return ShortestDigits(v[0]) + " " + ShortestDigits(v[1]) + " " + ShortestDigits(v[2]);
}

std::vector<std::pair<std::string, std::string>> InertiaLines(const science::Inertia& in,
                                                              const science::Units& u) {
  const std::string unit = u.Physical() ? " kg m^2" : " (unit density, model units^5)";
  return {
      {"inertia tensor about the centre of mass (xx xy xz yy yz zz)", Symmetric(in.tensor) + unit},
      {"principal moments of inertia", Three(in.moments) + unit},
      {"principal axes (rows of the rotation into the principal frame)", Rows(in.axes)}};
}

}  // namespace cli
