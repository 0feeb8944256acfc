// polyfield harmonics: the spherical-harmonic (Stokes) coefficients of the
// body, exact, its facet blocks summed over the ranks.
#include "science/harmonics.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command.h"
#include "cli/stages.h"
#include "common/failure.h"

namespace cli {

namespace {

struct HarmonicsArgs {
  int degree = 0;
  std::optional<double> reference_radius;
  std::optional<std::string> origin;  // none: the format's (DefaultHarmonicOrigin)
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
  const science::HarmonicsFormat format = science::HarmonicsFormatOf(c.format);
  r.origin =
      a.origin ? science::HarmonicOriginOf(*a.origin) : science::DefaultHarmonicOrigin(format);
  r.threads = c.Evaluation().Threads();
  r.model = c.model;
  science::CheckHarmonicsRequest(r);
  science::Validate(science::Files{Inputs(c), science::HarmonicsFiles(c.output, format)});
  const auto body = Load(c, Evaluates::kNothing);
  Caution(science::Resolve(c.units, *body));
  ranks->Agree();
  std::optional<StageTime> evaluation(Stage::kEvaluation);
  science::HarmonicSums sums(*body, c.units, r, c.format);
  const std::optional<science::Harmonics> h = RankHarmonics(sums);
  evaluation.reset();
  if (!h) return 0;
  const StageTime write(Stage::kWrite);
  const std::string warning = science::HarmonicsFileWarning(*h, format);
  // The library's quantity, spelled as this command's option.
  if (!warning.empty())
    std::fprintf(stderr, "polyfield: %s\n",
                 Failure(warning)
                     .Spelled([](std::string_view name) { return "--" + std::string(name); })
                     .c_str());
  science::WriteHarmonics(c.output, *h, format);
  return 0;
}

}  // namespace

Subcommand HarmonicsCommand(CLI::App& app) {
  const auto a = std::make_shared<WithCommon<HarmonicsArgs>>();
  CLI::App* harmonics = app.add_subcommand(
      "harmonics", "spherical-harmonic (Stokes) coefficients of the homogeneous body, exact");
  AddCommon(harmonics, &a->common);
  for (const char* name : {"--tolerance", "--exact", "--no-check", "--progress"})
    harmonics->remove_option(harmonics->get_option(name));
  harmonics->get_option("--format")->description("tsv (default), csv, npy, icgem (.gfc) or shadr");
  harmonics->add_option("--degree", a->args.degree, "the largest degree N (0 to 1000)")->required();
  harmonics->add_option("--reference-radius", a->args.reference_radius,
                        "R0 in the model's unit (default: the Brillouin radius, the largest "
                        "distance of a vertex from the origin)");
  harmonics->add_option("--origin", a->args.origin,
                        "model or centre-of-mass (default: centre-of-mass for icgem and shadr, "
                        "model for the tables)");

  return {harmonics, [a] { return RunHarmonics(a->common, a->args); }};
}

}  // namespace cli
