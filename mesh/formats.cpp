// Which format a model file is, and reading and writing by format; each
// format's reader and writer is in mesh/format_*.cpp.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/file_type.h"
#include "common/input.h"
#include "common/output_file.h"
#include "mesh/format_impl.h"
#include "mesh/mesh.h"

namespace mesh {

using namespace formats;

namespace {

// The whole file ("-": standard input). A directory is a file that cannot
// be opened; a read error is never taken for the end of the data.
std::string Slurp(const std::string& path) {
  const bool standard = path == "-";
  FILE* in = standard ? stdin : OpenInput(path.c_str(), "rb");
  if (!in || (standard && FileType(stdin) == S_IFDIR)) Fail(path, "cannot be opened");
  std::string data;
  char block[1 << 16];
  for (size_t got; (got = std::fread(block, 1, sizeof block, in)) > 0;) data.append(block, got);
  const bool failed = std::ferror(in);
  if (!standard) std::fclose(in);
  if (failed) Fail(path, "read error");
  return data;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Extension(const std::string& path) {
  const size_t dot = path.rfind('.'), slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return Lower(path.substr(dot + 1));
}

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// The first word of the data, lower-cased.
std::string FirstWord(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  size_t j = i;
  while (j < s.size() && !std::isspace(static_cast<unsigned char>(s[j]))) ++j;
  return Lower(s.substr(i, j - i));
}

std::string Encode(const Mesh& m, Format format) {
  switch (format) {
    case Format::kStlBinary:
      return EncodeStlBinary(m);
    case Format::kStlAscii:
      return EncodeStlAscii(m);
    case Format::kObj:
    case Format::kTab:
      return EncodeObj(m);
    case Format::kOff:
      return EncodeOff(m);
    case Format::kVf:
      return EncodeVf(m);
    case Format::kPlyAscii:
    case Format::kPlyBinary:
      return EncodePly(m, format == Format::kPlyAscii);
  }
  return "";
}

}  // namespace

Mesh ReadModel(const std::string& path) {
  const std::string s = Slurp(path);
  const std::string ext = Extension(path), first = FirstWord(s);
  // Binary STL has no mark of its own: its size is tried first (no text
  // file under 7 GB has the size its bytes 80 to 83 would announce), then a
  // NUL among its first 84 bytes of a file named .stl or without an
  // extension (text has none; a count below 2^24 has one at byte 83); a
  // text beginning with "solid" is ASCII STL, even without a facet.
  const bool nul = std::memchr(s.data(), 0, std::min<size_t>(s.size(), 84)) != nullptr;
  Mesh m;
  if (BinaryStlSize(s)) {
    m = ReadStlBinary(path, s);
  } else if (StartsWith(s, "ply")) {
    m = ReadPly(path, s);
  } else if (OffKind kind;
             OffKeyword(first, &kind) || OffKeyword(Upper(first), &kind) || ext == "off") {
    m = ReadOff(path, s);
  } else if (s.size() >= 84 && nul && (ext == "stl" || ext.empty())) {
    m = ReadStlBinary(path, s);
  } else if (first == "solid") {
    m = ReadStlAscii(path, s);
  } else if (ext == "stl") {
    m = s.size() >= 84 ? ReadStlBinary(path, s) : ReadStlAscii(path, s);
  } else if (first == "v" || first == "#" || ext == "obj" || ext == "tab") {
    m = ReadObj(path, s);
  } else if (!first.empty() &&
             (std::isdigit(static_cast<unsigned char>(first[0])) || first[0] == '+')) {
    m = ReadVf(path, s);
  } else {
    Fail(path, "not a model in any known format (STL, OBJ, PLY, OFF, vertex/face text, .tab)");
  }
  if (m.FaceCount() == 0) Fail(path, "no faces");
  return m;
}

Format FormatFor(const std::string& path, bool ascii, bool binary) {
  const std::string ext = Extension(path);
  if (ext == "stl") return ascii ? Format::kStlAscii : Format::kStlBinary;
  if (ext == "obj") return Format::kObj;
  if (ext == "ply") return binary ? Format::kPlyBinary : Format::kPlyAscii;
  if (ext == "off") return Format::kOff;
  if (ext == "tab") return Format::kTab;
  return Format::kVf;
}

const char* FormatName(Format format) {
  switch (format) {
    case Format::kStlBinary:
      return "binary STL";
    case Format::kStlAscii:
      return "ASCII STL";
    case Format::kObj:
      return "Wavefront OBJ";
    case Format::kPlyAscii:
      return "ASCII PLY";
    case Format::kPlyBinary:
      return "binary PLY";
    case Format::kOff:
      return "OFF";
    case Format::kVf:
      return "vertex/face text";
    case Format::kTab:
      return "vertex-facet table";
  }
  return "?";
}

void WriteWhole(const std::string& path, const std::string& data) {
  if (path == "-") {
    if (std::fwrite(data.data(), 1, data.size(), stdout) != data.size() || std::fflush(stdout))
      throw Failure("standard output: write error");
    return;
  }
  OutputFile out;
  if (!out.Open(path.c_str()))
    Fail(path, std::string("cannot be created: ") + std::strerror(errno));
  if (std::fwrite(data.data(), 1, data.size(), out.stream()) != data.size() || !out.Commit()) {
    out.Abandon();
    Fail(path, "write error");
  }
}

std::string WriteModel(const std::string& path, const Mesh& model, Format format) {
  std::string note;
  if (format == Format::kStlBinary) {
    if (model.FaceCount() > UINT32_MAX)
      Fail(path, "more than 2^32 - 1 faces, which binary STL cannot count");
    note = CheckNarrowing(path, model);
  }
  WriteWhole(path, Encode(model, format));
  return note;
}

}  // namespace mesh
