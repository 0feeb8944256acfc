// Rows of numbers from text files.
#include "science/rows.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "common/failure.h"
#include "common/file_type.h"
#include "common/input.h"

namespace science {

std::vector<double> ReadRows(const std::string& path, size_t count, const std::string& what,
                             bool finite) {
  const bool standard = path == "-";
  const std::unique_ptr<FILE, int (*)(FILE*)> file(
      standard ? nullptr : OpenInput(path.c_str(), "r"), &std::fclose);
  FILE* in = standard ? stdin : file.get();
  if (!in || (standard && FileType(stdin) == S_IFDIR)) throw Failure(path + ": cannot be opened");
  char* raw = nullptr;
  size_t capacity = 0;
  const auto free_buffer = [](char** p) { std::free(*p); };
  const std::unique_ptr<char*, decltype(free_buffer)> buffer(&raw, free_buffer);
  std::vector<double> rows;
  std::string line;
  for (size_t number = 1;; ++number) {
    const ssize_t got = getline(&raw, &capacity, in);
    if (got < 0) break;
    line.assign(raw, static_cast<size_t>(got));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::replace(line.begin(), line.end(), ',', ' ');
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string s; words >> s;) w.push_back(s);
    if (w.empty()) continue;
    bool ok = w.size() == count;
    for (size_t k = 0; ok && k < count; ++k) {
      char* end;
      const double v = std::strtod(w[k].c_str(), &end);
      ok = *end == '\0' && (!finite || std::isfinite(v));
      rows.push_back(v);
    }
    if (!ok)
      throw Failure(path + ":" + std::to_string(number) + ": expected " + what + ", found \"" +
                    line + "\"");
  }
  // A read error is not the end of the list.
  if (std::ferror(in)) throw Failure(path + ": read error");
  return rows;
}

}  // namespace science
