// polyfield check and convert: the model's check report, and the model in
// another format. Both are rank 0's alone.
#include "science/model.h"

#include <cstdio>
#include <string>

#include "cli/command.h"
#include "common/failure.h"
#include "mesh/check.h"
#include "mesh/mesh.h"
#include "science/outputs.h"

namespace cli {

namespace {

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

Subcommand CheckCommand(CLI::App& app) {
  const auto path = std::make_shared<std::string>();
  CLI::App* check = app.add_subcommand(
      "check", "closed, oriented, outward? Status 1 when unfit for the field formulas");
  check->add_option("MODEL", *path, "the model")->required();

  return {check, [path] { return ranks->Root() ? RunCheck(*path) : 0; }};
}

Subcommand ConvertCommand(CLI::App& app) {
  struct Args {
    std::string in, out;
    bool ascii = false, binary = false;
  };
  const auto a = std::make_shared<Args>();
  CLI::App* convert = app.add_subcommand(
      "convert", "between STL, OBJ, PLY, OFF, vertex/face text (.vf.txt) and .tab, by extension");
  convert->add_option("IN", a->in, "the model read")->required();
  convert->add_option("OUT", a->out, "the model written; its extension names the format")
      ->required();
  convert->add_flag("--ascii", a->ascii, "ASCII STL");
  convert->add_flag("--binary", a->binary, "binary PLY");

  return {convert,
          [a] { return ranks->Root() ? RunConvert(a->in, a->out, a->ascii, a->binary) : 0; }};
}

}  // namespace cli
