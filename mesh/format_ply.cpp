// PLY, ASCII and binary of either byte order: any elements and properties,
// the model read from "vertex" (x, y, z) and "face" (vertex_indices).
#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <sstream>

#include "common/print.h"
#include "mesh/format_impl.h"

namespace mesh::formats {

namespace {

// A PLY value type, decoded from its name once, in the header.
struct Type {
  uint8_t size = 0;
  bool is_signed = false, is_float = false;
};

Type TypeOf(const std::string& path, const std::string& name, size_t line) {
  static const std::map<std::string, Type> types = {
      {"char", {1, true, false}},    {"int8", {1, true, false}},    {"uchar", {1, false, false}},
      {"uint8", {1, false, false}},  {"short", {2, true, false}},   {"int16", {2, true, false}},
      {"ushort", {2, false, false}}, {"uint16", {2, false, false}}, {"int", {4, true, false}},
      {"int32", {4, true, false}},   {"uint", {4, false, false}},   {"uint32", {4, false, false}},
      {"float", {4, true, true}},    {"float32", {4, true, true}},  {"double", {8, true, true}},
      {"float64", {8, true, true}}};
  const auto it = types.find(name);
  if (it == types.end()) Fail(path, "PLY property type \"" + name + "\" unknown", line);
  return it->second;
}

// What a property means to the model.
enum class Role { kOther, kX, kY, kZ, kCorners };

struct Property {
  std::string name;
  Type type, count;  // count: the type of a list's length; size 0 for a scalar
  Role role = Role::kOther;
};
struct Element {
  std::string name;
  uint64_t count = 0;
  size_t line = 0;
  std::vector<Property> properties;
};

// One binary value of `type` at s[at], little- or big-endian.
double Binary(const std::string& s, size_t at, Type type, bool big) {
  uint64_t bits = 0;
  for (size_t k = 0; k < type.size; ++k) {
    const size_t byte = big ? at + k : at + type.size - 1 - k;
    bits = bits << 8 | static_cast<unsigned char>(s[byte]);
  }
  if (type.is_float)
    return type.size == 4 ? double{std::bit_cast<float>(static_cast<uint32_t>(bits))}
                          : std::bit_cast<double>(bits);
  if (type.is_signed) {
    const int shift = static_cast<int>(64 - 8 * type.size);
    return static_cast<double>(static_cast<int64_t>(bits << shift) >> shift);
  }
  return static_cast<double>(bits);
}

// The header: elements and their properties, each role settled once.
std::vector<Element> PlyHeader(const std::string& path, Text* t, std::string* format) {
  std::vector<Element> elements;
  t->Line();  // "ply"
  for (;;) {
    if (t->End()) Fail(path, "PLY header without \"end_header\"", t->line());
    const size_t number = t->line();
    std::istringstream line(t->Line());
    std::string key;
    line >> key;
    if (key == "format") {
      line >> *format;
    } else if (key == "element") {
      Element e;
      std::string count;
      line >> e.name >> count;
      if (!Whole(count, &e.count))
        Fail(path, "PLY element \"" + e.name + "\": expected a count, found \"" + count + "\"",
             number);
      e.line = number;
      elements.push_back(e);
    } else if (key == "property") {
      if (elements.empty()) Fail(path, "PLY property before any element", number);
      Element& e = elements.back();
      Property p;
      std::string type;
      line >> type;
      if (type == "list") {
        line >> type;
        p.count = TypeOf(path, type, number);
        if (p.count.is_float) Fail(path, "PLY list length of type " + type, number);
        line >> type;
      }
      p.type = TypeOf(path, type, number);
      line >> p.name;
      if (e.name == "vertex" && p.count.size == 0) {
        if (p.name == "x") p.role = Role::kX;
        if (p.name == "y") p.role = Role::kY;
        if (p.name == "z") p.role = Role::kZ;
      }
      if (e.name == "face" && p.count.size &&
          (p.name == "vertex_indices" || p.name == "vertex_index"))
        p.role = Role::kCorners;
      e.properties.push_back(p);
    } else if (key == "end_header") {
      return elements;
    }
  }
}

// Refuses a vertex element without x, y and z, a face element without its
// corner list (the model would be read with zeros or without faces).
void CheckRoles(const std::string& path, const Element& e) {
  auto has = [&](Role r) {
    return std::any_of(e.properties.begin(), e.properties.end(),
                       [r](const Property& p) { return p.role == r; });
  };
  if (e.name == "vertex")
    for (const auto& [role, name] : {std::pair{Role::kX, "x"}, {Role::kY, "y"}, {Role::kZ, "z"}})
      if (!has(role))
        Fail(path, std::string("PLY element vertex without property ") + name, e.line);
  if (e.name == "face" && !has(Role::kCorners))
    Fail(path, "PLY element face without a list property vertex_indices", e.line);
}

}  // namespace

Mesh ReadPly(const std::string& path, const std::string& s) {
  Text t(path, s);
  std::string format;
  const std::vector<Element> elements = PlyHeader(path, &t, &format);
  const bool ascii = format == "ascii";
  const bool big = format == "binary_big_endian";
  if (!ascii && !big && format != "binary_little_endian")
    Fail(path, "PLY format \"" + format + "\" unknown");
  Mesh m;
  Listed listed(path, &m);
  Text body(path, s);
  size_t at = t.offset();
  if (ascii) {
    // Skip the header in the ASCII reader too.
    while (body.offset() < at) body.Line();
  }
  bool vertices_read = false;
  std::vector<uint32_t> corners;
  for (const Element& e : elements) {
    CheckRoles(path, e);
    if (e.name == "vertex" && vertices_read) Fail(path, "a second PLY element vertex", e.line);
    // An element without properties holds no data, whatever its count.
    if (e.properties.empty()) continue;
    // Each item takes at least one byte a value (its list lengths in
    // binary), two in text: the count is held to the data left.
    size_t least = 0;
    for (const Property& p : e.properties)
      least += ascii ? 2 : (p.count.size ? p.count.size : p.type.size);
    CheckCount(path, e.count, ascii ? body.left() : s.size() - at, least,
               ("items of PLY element " + e.name).c_str(), e.line);
    for (uint64_t i = 0; i < e.count; ++i) {
      double xyz[3] = {0, 0, 0};
      corners.clear();
      for (const Property& p : e.properties) {
        auto value = [&](Type type) {
          if (ascii) return body.Number("a PLY value");
          if (type.size > s.size() - at) Fail(path, "binary PLY cut short in element " + e.name);
          const double v = Binary(s, at, type, big);
          at += type.size;
          return v;
        };
        if (p.count.size == 0) {
          const double v = value(p.type);
          if (p.role == Role::kX) xyz[0] = v;
          if (p.role == Role::kY) xyz[1] = v;
          if (p.role == Role::kZ) xyz[2] = v;
          continue;
        }
        const double n = value(p.count);
        if (!(n >= 0 && n <= 1e6 && std::trunc(n) == n))
          Fail(path, "a PLY list of " + ShortestDigits(n) + " items", ascii ? body.line() : 0);
        for (uint64_t k = 0; k < uint64_t(n); ++k) {
          const double v = value(p.type);
          if (p.role != Role::kCorners) continue;
          // Any value type may carry an index: only a whole number of an
          // existing vertex is one (NaN and 1e30 are neither).
          if (!(v >= 0 && v < double(listed.size()) && std::trunc(v) == v))
            Fail(path,
                 "face refers to vertex " + ShortestDigits(v) + ", which does not exist (" +
                     std::to_string(listed.size()) + " vertices)",
                 ascii ? body.line() : 0);
          corners.push_back(listed[static_cast<uint64_t>(v)]);
        }
      }
      if (e.name == "vertex") listed.Add(xyz, ascii ? body.line() : 0);
      if (e.name == "face") {
        if (corners.size() < 3)
          Fail(path, "a face of fewer than three corners", ascii ? body.line() : 0);
        AddPolygon(&m, corners);
      }
    }
    if (e.name == "vertex") vertices_read = true;
  }
  // Nothing but blanks may follow the last element.
  if (ascii) {
    body.ExpectEnd("elements the PLY header");
  } else if (s.find_first_not_of(" \t\r\n", at) != std::string::npos) {
    Fail(path, std::to_string(s.size() - at) +
                   " bytes after the elements the PLY header announced: a count lower than "
                   "the data?");
  }
  return m;
}

std::string EncodePly(const Mesh& m, bool ascii) {
  const size_t V = m.VertexCount(), F = m.FaceCount();
  std::string out = std::string("ply\nformat ") + (ascii ? "ascii" : "binary_little_endian") +
                    " 1.0\ncomment polyfield\nelement vertex " + std::to_string(V) +
                    "\nproperty double x\nproperty double y\nproperty double z\nelement face " +
                    std::to_string(F) + "\nproperty list uchar uint vertex_indices\nend_header\n";
  if (ascii) {
    for (size_t i = 0; i < V; ++i) VertexLine(&out, m, "", i);
    for (size_t f = 0; f < F; ++f)
      out += "3 " + std::to_string(m.faces[3 * f]) + " " + std::to_string(m.faces[3 * f + 1]) +
             " " + std::to_string(m.faces[3 * f + 2]) + "\n";
  } else {
    for (double v : m.vertices) {
      const uint64_t bits = std::bit_cast<uint64_t>(v);
      for (int k = 0; k < 8; ++k) out.push_back(static_cast<char>(bits >> (8 * k) & 0xFF));
    }
    for (size_t f = 0; f < F; ++f) {
      out.push_back(3);
      for (int k = 0; k < 3; ++k)
        for (int b = 0; b < 4; ++b)
          out.push_back(static_cast<char>(m.faces[3 * f + k] >> (8 * b) & 0xFF));
    }
  }
  return out;
}

}  // namespace mesh::formats
