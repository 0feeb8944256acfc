// Outputs prepared first, committed last, through OutputFile.
#include "science/outputs.h"

#include <cerrno>
#include <cstring>

#include "common/failure.h"

namespace science {

FILE* Outputs::Open(const std::string& quantity, const std::string& path) {
  // Standard input is no file to keep.
  Files files;
  for (const auto& input : read_)
    if (input.second != "-" && !input.second.empty()) files.inputs.push_back(input);
  files.outputs = opened_;
  files.outputs.emplace_back(quantity, path);
  Validate(files);
  opened_.emplace_back(quantity, path);
  if (path == "-") {
    outputs_.push_back({path, nullptr});
    return stdout;
  }
  auto file = std::make_unique<OutputFile>();
  if (!file->Open(path.c_str()))
    throw Failure(path + ": cannot be created: " + std::strerror(errno));
  FILE* stream = file->stream();
  outputs_.push_back({path, std::move(file)});
  return stream;
}

void Outputs::Commit() {
  for (Output& o : outputs_) {
    const bool sealed = o.file ? o.file->Seal() : std::fflush(stdout) == 0 && !std::ferror(stdout);
    if (!sealed) {
      Abandon();
      throw Failure(o.file ? o.path + ": write error" : "standard output: write error");
    }
  }
  for (Output& o : outputs_)
    if (o.file && !o.file->Commit()) {
      const std::string path = o.path;
      Abandon();
      throw Failure(path + ": write error");
    }
  outputs_.clear();
}

void Outputs::Abandon() {
  for (Output& o : outputs_)
    if (o.file) o.file->Abandon();
  outputs_.clear();
}

}  // namespace science
