// The output files of one run, all opened before the evaluation (so that a
// run that cannot write fails before its long part) and committed together
// at its end (so that a run that fails replaces none of them).
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/output_file.h"

namespace science {

class Outputs {
 public:
  // Opens the output for `path` ("-" is standard output, written at once):
  // "PATH: cannot be created: REASON".
  FILE* Open(const std::string& path);
  // Every output flushed and synced, then each put in place: "PATH: write
  // error" or "standard output: write error" (none is put in place then).
  void Commit();
  // Drops every output not yet committed (also on destruction).
  void Abandon();
  ~Outputs() { Abandon(); }

 private:
  struct Output {
    std::string path;
    std::unique_ptr<OutputFile> file;  // null for standard output
  };
  std::vector<Output> outputs_;
};

}  // namespace science
