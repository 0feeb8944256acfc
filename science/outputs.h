// The output files of one run, all opened before the evaluation (so that a
// run that cannot write fails before its long part) and committed together
// at its end (so that a run that fails replaces none of them).
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/output_file.h"
#include "science/request.h"

namespace science {

class Outputs {
 public:
  // Outputs of results made from the files `read` (the model, its parts,
  // point masses, points, colour map: quantity and path), none of which an
  // output may replace.
  explicit Outputs(FileList read = {}) : read_(std::move(read)) {}
  // Opens the output `quantity` for `path` ("-" is standard output, written
  // at once): refused (kBadValue) when it is one of the files read or an
  // output opened already, by name or file identity (Validate(Files));
  // "PATH: cannot be created: REASON".
  FILE* Open(const std::string& quantity, const std::string& path);
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
  FileList read_;
  std::vector<Output> outputs_;
  FileList opened_;  // every output's (quantity, path), committed or not
};

}  // namespace science
