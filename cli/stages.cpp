// The stages' CPU time (cli/stages.h).
#include "cli/stages.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace cli {

namespace {

const char* const kNames[] = {"read", "check",      "build",  "moments",
                              "plan", "evaluation", "gather", "write"};

struct Clock {
  const char* file = std::getenv("POLYFIELD_STAGES");
  double spent[static_cast<int>(Stage::kCount)] = {};
  int current = -1;  // the stage being charged, -1 none
  double since = 0;  // CPU seconds when it was last charged
};

Clock& TheClock() {
  static Clock clock;
  return clock;
}

double Cpu() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// Charges the time since the last switch to the current stage and makes
// `next` current.
void Switch(Clock& c, int next) {
  const double now = Cpu();
  if (c.current >= 0) c.spent[c.current] += now - c.since;
  c.current = next, c.since = now;
}

}  // namespace

bool MeasuringStages() {
  return TheClock().file != nullptr;
}

StageTime::StageTime(Stage stage) : outer_(TheClock().current) {
  Clock& c = TheClock();
  if (c.file) Switch(c, static_cast<int>(stage));
}

StageTime::~StageTime() {
  Clock& c = TheClock();
  if (c.file) Switch(c, outer_);
}

void ReportStages(unsigned rank, unsigned count) {
  Clock& c = TheClock();
  if (!c.file) return;
  std::string line = "stages rank " + std::to_string(rank) + " of " + std::to_string(count) + ":";
  char number[64];
  for (int k = 0; k < static_cast<int>(Stage::kCount); ++k) {
    std::snprintf(number, sizeof number, " %s %.3f", kNames[k], c.spent[k]);
    line += number;
  }
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  std::snprintf(number, sizeof number, " total %.3f peak_kb %ld\n", Cpu(), use.ru_maxrss);
  line += number;
  // One write of the whole line: the ranks' lines do not interleave.
  const int fd = open(c.file, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  const ssize_t wrote = write(fd, line.data(), line.size());
  (void)wrote;
  close(fd);
}

}  // namespace cli
