// The CPU time of a run's stages, for measuring how the ranks of an MPI job
// share the work: opt-in by POLYFIELD_STAGES=FILE, where each process (each
// rank) appends one line at the end of its run:
//   stages rank R of K: read S check S build S moments S plan S evaluation S
//   gather S write S total S peak_kb M
// in CPU seconds of the whole process (every thread; total: the whole
// run's), and its peak resident memory. Without the variable nothing is measured or written.
#pragma once

namespace cli {

enum class Stage { kRead, kCheck, kBuild, kMoments, kPlan, kEvaluation, kGather, kWrite, kCount };

// The time from construction to destruction is charged to `stage`; a
// stage begun inside another pauses the outer one until it ends.
class StageTime {
 public:
  explicit StageTime(Stage stage);
  ~StageTime();
  StageTime(const StageTime&) = delete;
  StageTime& operator=(const StageTime&) = delete;

 private:
  int outer_;
};

// Whether stages are measured (POLYFIELD_STAGES is set).
bool MeasuringStages();
// Appends this process's line to the file, when measured.
void ReportStages(unsigned rank, unsigned count);

}  // namespace cli
