// A triangulated model as the science front end holds it: shared vertices in
// double precision and faces as vertex indices, counter-clockwise seen from
// outside; the formats shape models ship in, read and written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/failure.h"
#include "common/geometry.h"

namespace mesh {

struct Mesh {
  std::vector<double> vertices;      // x, y, z of vertex i at 3i
  std::vector<uint32_t> faces;       // vertices of face f at 3f (A, B, C)
  std::vector<float> normals;        // the stored normal of each face (STL only)
  std::vector<uint16_t> attributes;  // the attribute word of each face (binary STL only)
  size_t solids = 0;                 // the solids of an ASCII STL (0: another format)

  size_t VertexCount() const { return vertices.size() / 3; }
  size_t FaceCount() const { return faces.size() / 3; }
  // The nine coordinates of every face, A B C, for the field engines.
  std::vector<double> FaceCorners() const;
  // Corner k (0, 1, 2: A, B, C) of face f.
  geometry::Vec Corner(size_t f, int k) const {
    return geometry::At(&vertices[3 * size_t{faces[3 * f + k]}]);
  }
  // The normal of face f, (B - A) x (C - A): twice its area long.
  geometry::Vec Normal(size_t f) const {
    return geometry::FacetNormal(Corner(f, 0), Corner(f, 1), Corner(f, 2));
  }
  // Face f has no area: a corner named twice or a zero normal (`normal`,
  // its Normal). Such a face bounds nothing: no normal, no edges that count.
  bool ZeroArea(size_t f, const geometry::Vec& normal) const;
  bool ZeroArea(size_t f) const { return ZeroArea(f, Normal(f)); }
};

enum class Format { kStlBinary, kStlAscii, kObj, kPlyAscii, kPlyBinary, kOff, kVf, kTab };

// Reads a model from `path` ("-" is standard input), in any of the formats,
// recognised by content where it can be (PLY, OFF, STL, the vertex/face text
// "V F" header), else by extension (.obj, .tab). STL facets keep their
// winding; their stored normals are kept beside it for the check. Vertices
// that are exactly equal are one vertex, in every format. Data past what a
// count announces is refused unless blank or a comment (a binary STL may
// carry up to 49 bytes more); every solid of an ASCII STL is read, each to
// its "endsolid", and counted. Failures name the file and, in text, the line.
Mesh ReadModel(const std::string& path);

// The format a file name asks for: .stl (binary), .obj, .ply (ASCII), .off,
// .tab, anything else the vertex/face text. `ascii` and `binary` choose the
// kind of STL and PLY.
Format FormatFor(const std::string& path, bool ascii = false, bool binary = false);

// Writes the model; text formats carry every double to the last bit (17
// significant digits), binary STL carries floats and the faces' attribute
// words (those read from a binary STL; else 0). The file is replaced only
// once written in full. Returns a note for the user when binary STL rounds
// any coordinate ("PATH: N of M coordinates rounded to float32 for binary
// STL, by up to D"), else ""; refuses a fit model that the rounding makes
// unfit for the field formulas (mesh/check.h), before anything is written.
std::string WriteModel(const std::string& path, const Mesh& model, Format format);

const char* FormatName(Format format);

// Writes `data` to `path` ("-" is standard output), replacing a file only
// once all of it is written: "PATH: cannot be created: REASON", "PATH: write
// error", "standard output: write error".
void WriteWhole(const std::string& path, const std::string& data);

}  // namespace mesh
