// The helpers of mesh/format_impl.h that are no class's.
#include "mesh/format_impl.h"

#include <cctype>

#include "common/print.h"

namespace mesh::formats {

[[noreturn]] void Fail(const std::string& path, const std::string& what, size_t line) {
  throw Failure(path + (line ? ":" + std::to_string(line) : "") + ": " + what);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Counted(uint64_t n, const char* what) {
  return std::to_string(n) + " " + what;
}

void CheckCount(const std::string& path, uint64_t count, size_t left, size_t bytes,
                const char* what, size_t line) {
  if (bytes > 0 && count > left / bytes + 1)
    Fail(path,
         Counted(count, what) + " announced, but the " + std::to_string(left) +
             " bytes left hold at most " + std::to_string(left / bytes + 1),
         line);
}

void CheckIndex(const std::string& path, uint64_t i, size_t vertices, size_t line) {
  if (i >= vertices)
    Fail(path,
         "vertex " + std::to_string(i) + " does not exist (" + std::to_string(vertices) +
             " vertices)",
         line);
}

void AddPolygon(Mesh* m, const std::vector<uint32_t>& corners) {
  for (size_t k = 1; k + 1 < corners.size(); ++k)
    m->faces.insert(m->faces.end(), {corners[0], corners[k], corners[k + 1]});
}

void VertexLine(std::string* out, const Mesh& m, const char* prefix, size_t i) {
  *out += prefix;
  for (int c = 0; c < 3; ++c) {
    if (c) *out += ' ';
    *out += ShortestDigits(m.vertices[3 * i + c]);
  }
  *out += '\n';
}

}  // namespace mesh::formats
