// The front end's readers: data past a count, several solids, the binary
// STL's size rule, signs, welding, PLY counts, types and indices. Models are
// written here by hand; what they hold (a unit cube of volume 1, two
// disjoint ones of volume 2) is known without the code.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <string>

#include "mesh/check.h"
#include "mesh/mesh.h"
#include "tests/support/little_endian.h"
#include "tests/support/run.h"

namespace {

// The unit cube: 8 vertices, 12 outward faces (tests/data/cube.vf.txt), and
// the same cube moved by 3 along x.
const double kCorners[8][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0},
                               {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
const int kFaces[12][3] = {{0, 2, 1}, {0, 3, 2}, {4, 5, 6}, {4, 6, 7}, {0, 1, 5}, {0, 5, 4},
                           {1, 2, 6}, {1, 6, 5}, {2, 3, 7}, {2, 7, 6}, {3, 0, 4}, {3, 4, 7}};

std::string Num(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.17g", v);
  return b;
}

// Vertex lines ("prefix x y z") of `cubes` cubes, the k-th moved by 3k.
std::string VertexLines(int cubes, const std::string& prefix = "") {
  std::string s;
  for (int c = 0; c < cubes; ++c)
    for (const auto& p : kCorners)
      s += prefix + Num(p[0] + 3 * c) + " " + Num(p[1]) + " " + Num(p[2]) + "\n";
  return s;
}

// Face lines ("prefix a b c"), indices from `base`.
std::string FaceLines(int cubes, const std::string& prefix = "", int base = 0) {
  std::string s;
  for (int c = 0; c < cubes; ++c)
    for (const auto& f : kFaces)
      s += prefix + std::to_string(f[0] + 8 * c + base) + " " +
           std::to_string(f[1] + 8 * c + base) + " " + std::to_string(f[2] + 8 * c + base) + "\n";
  return s;
}

std::string Vf(int announced_faces, int cubes) {
  return std::to_string(8 * cubes) + " " + std::to_string(announced_faces) + "\n" +
         VertexLines(cubes) + FaceLines(cubes);
}

std::string Off(int announced_faces, int cubes) {
  return "OFF\n" + std::to_string(8 * cubes) + " " + std::to_string(announced_faces) + " 0\n" +
         VertexLines(cubes) + FaceLines(cubes, "3 ");
}

std::string PlyAscii(int announced_faces, int cubes) {
  return "ply\nformat ascii 1.0\nelement vertex " + std::to_string(8 * cubes) +
         "\nproperty double x\nproperty double y\nproperty double z\nelement face " +
         std::to_string(announced_faces) +
         "\nproperty list uchar int vertex_indices\nend_header\n" + VertexLines(cubes) +
         FaceLines(cubes, "3 ");
}

// One ASCII STL solid of the cube moved by `dx`, normals as the winding.
std::string StlSolid(double dx, const std::string& name = "c", bool end = true) {
  std::string s = "solid " + name + "\n";
  for (const auto& f : kFaces) {
    s += "facet normal 0 0 0\nouter loop\n";
    for (int k : f)
      s += "vertex " + Num(kCorners[k][0] + dx) + " " + Num(kCorners[k][1]) + " " +
           Num(kCorners[k][2]) + "\n";
    s += "endloop\nendfacet\n";
  }
  return s + (end ? "endsolid " + name + "\n" : "");
}

// A binary STL: `header` padded to 80 bytes, the count, `cubes` cubes.
std::string StlBinary(uint32_t count, int cubes, const std::string& header = "",
                      uint16_t attribute = 0) {
  std::string s = header;
  s.resize(80, '\0');
  little_endian::Append(&s, count);
  for (int c = 0; c < cubes; ++c)
    for (const auto& f : kFaces) {
      for (int k = 0; k < 3; ++k) little_endian::Append(&s, 0.0f);
      for (int k : f)
        for (int x = 0; x < 3; ++x)
          little_endian::Append(&s, static_cast<float>(kCorners[k][x] + (x == 0 ? 3 * c : 0)));
      little_endian::Append(&s, attribute);
    }
  return s;
}

// Reads `data` as the file `name`; the message of a refusal, "" on success.
std::string Read(const std::string& name, const std::string& data, mesh::Mesh* m = nullptr) {
  const std::string path = TempDir() + "/" + name;
  WriteFile(path, data);
  try {
    mesh::Mesh read = mesh::ReadModel(path);
    if (m) *m = std::move(read);
  } catch (const Failure& f) {
    const std::string what = f.what();
    return what.rfind(path, 0) == 0 ? what.substr(path.size()) : what;
  }
  return "";
}

double Volume(const mesh::Mesh& m) {
  return mesh::Check(m).volume;
}

// ------------------------------------------------------------ counts

// Two disjoint cubes whose count names only the first: refused, never half
// the model read; the right count reads both (volume 2).
TEST(FormatsCounts, DataPastACountIsRefused) {
  mesh::Mesh m;
  EXPECT_EQ(Read("two.vf.txt", Vf(12, 2)),
            ":30: data after the 16 vertices and 12 faces announced (\"8\"): a count lower than "
            "the data?");
  EXPECT_EQ(Read("two.off", Off(12, 2)),
            ":31: data after the 16 vertices and 12 faces announced (\"3\"): a count lower than "
            "the data?");
  EXPECT_EQ(Read("two.ply", PlyAscii(12, 2)),
            ":38: data after the elements the PLY header announced (\"3\"): a count lower than "
            "the data?");
  EXPECT_EQ(Read("two.stl", StlBinary(12, 2)),
            ": 600 bytes after the 12 facets the count announces: a count lower than the data?");
  for (const auto& [name, text] : {std::pair{"two.vf.txt", Vf(24, 2)},
                                   {"two.off", Off(24, 2)},
                                   {"two.ply", PlyAscii(24, 2)},
                                   {"two.stl", StlBinary(24, 2)}}) {
    ASSERT_EQ(Read(name, text, &m), "") << name;
    EXPECT_EQ(m.FaceCount(), 24u) << name;
    EXPECT_EQ(Volume(m), 2) << name;
  }
}

// Blanks and comments after the data are no data; a binary STL may carry
// up to 49 bytes past its facets (some writers append a few).
TEST(FormatsCounts, BlanksCommentsAndShortTailsPass) {
  mesh::Mesh m;
  EXPECT_EQ(Read("c.vf.txt", Vf(12, 1) + "\n  \n# written by hand\n"), "");
  EXPECT_EQ(Read("c.off", Off(12, 1) + "# end\n\n"), "");
  EXPECT_EQ(Read("c.ply", PlyAscii(12, 1) + "\n\n"), "");
  ASSERT_EQ(Read("c.stl", StlBinary(12, 1) + std::string(49, 'x'), &m), "");
  EXPECT_EQ(m.FaceCount(), 12u);
  EXPECT_EQ(Read("c.stl", StlBinary(12, 1) + std::string(50, 'x')),
            ": 50 bytes after the 12 facets the count announces: a count lower than the data?");
}

// Every solid of an ASCII STL is read (assemblies from CAD); a solid must
// end with "endsolid"; nothing but blanks may follow the last.
TEST(FormatsStl, EverySolidAndItsEnd) {
  mesh::Mesh m;
  ASSERT_EQ(Read("two.stl", StlSolid(0, "a") + StlSolid(3, "b") + "\n\n", &m), "");
  EXPECT_EQ(m.FaceCount(), 24u);
  EXPECT_EQ(Volume(m), 2);
  EXPECT_EQ(Read("open.stl", StlSolid(0, "a", false)),
            ":85: the data ends where \"facet\" or \"endsolid\" should come");
  EXPECT_EQ(Read("empty.stl", "solid " + std::string(100, 'n') + "\nendsolid\n"), ": no faces");
  EXPECT_EQ(Read("tail.stl", StlSolid(0) + "garbage\n"),
            ":87: expected \"solid\" or the end of the data, found \"garbage\"");
  // The stored normal does not turn a facet: the winding counts, and the
  // normal is kept for the check.
  std::string turned = StlSolid(0);
  turned.replace(turned.find("normal 0 0 0"), 12, "normal 0 0 1");
  ASSERT_EQ(Read("n.stl", turned, &m), "");
  EXPECT_EQ(Volume(m), 1);
  EXPECT_EQ(mesh::Check(m).normals_against_winding, 1u);
  EXPECT_EQ(m.normals[2], 1.0f);
  // Messages name the line of the token at fault.
  std::string bad = StlSolid(0);
  bad.replace(bad.find("vertex 1 1 0"), 12, "vertex 1 one 0");
  EXPECT_EQ(Read("bad.stl", bad), ":5: expected a coordinate, found \"one\"");
  EXPECT_EQ(Read("long.stl", "solid x\nfacet normal " + std::string(100, '1')),
            ":2: expected a normal component, found a word of more than 95 characters");
}

// A binary STL whose header begins with "solid" and names a facet is
// binary when its size is that of its count.
TEST(FormatsStl, BinaryWithATextHeader) {
  mesh::Mesh m;
  const std::string header = "solid part, facet normals by the exporter";
  ASSERT_EQ(Read("h.stl", StlBinary(12, 1, header, 0x801F), &m), "");
  EXPECT_EQ(m.FaceCount(), 12u);
  EXPECT_EQ(Volume(m), 1);
  ASSERT_EQ(m.attributes.size(), 12u);
  EXPECT_EQ(m.attributes[5], 0x801F);
  // Also through standard input's name, where no extension helps.
  ASSERT_EQ(Read("h.bin", StlBinary(12, 1, header), &m), "");
  EXPECT_EQ(m.FaceCount(), 12u);
  // Cut short, or a count lower than the data, with such a header.
  std::string cut = StlBinary(12, 1, header);
  cut.resize(cut.size() - 60);
  EXPECT_EQ(Read("cut.stl", cut), ": binary STL cut short: 12 facets announced, 10 present");
}

// ------------------------------------------------------------ numbers, welding

// A leading '+' is a sign in every text format.
TEST(FormatsNumbers, LeadingPlus) {
  auto plus = [](std::string s, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
      s.replace(at, from.size(), to);
    return s;
  };
  mesh::Mesh m;
  const std::pair<std::string, std::string> cases[] = {
      {"c.vf.txt", "+8 +12\n" + plus(VertexLines(1), "1", "+1.0") + plus(FaceLines(1), "1", "+1")},
      {"c.off", plus(Off(12, 1), "1 ", "+1 ")},
      {"c.ply", plus(PlyAscii(12, 1), "\n1 ", "\n+1e0 ")},
      {"c.obj", plus(VertexLines(1, "v ") + FaceLines(1, "f ", 1), " 1", " +1")},
      {"c.stl", plus(StlSolid(0), " 1", " +1")},
  };
  for (const auto& [name, text] : cases) {
    ASSERT_EQ(Read(name, text, &m), "") << name << "\n" << text;
    EXPECT_EQ(Volume(m), 1) << name;
  }
  // A sign is one sign.
  EXPECT_EQ(Read("c.vf.txt", "+-8 12\n"), ":1: expected the vertex count, found \"+-8\"");
  EXPECT_EQ(Read("c.off", plus(Off(12, 1), "\n1 ", "\n++1 ")),
            ":4: expected a coordinate, found \"++1\"");
}

// The cube whose six sides each list their own four corners (24 vertices,
// a seam along every edge): exactly equal vertices are one, so the model
// is closed.
TEST(FormatsWelding, SeamsOfTheIndexedFormats) {
  std::string vertices, faces;
  int n = 0;
  for (const auto& f : kFaces) {
    for (int k : f)
      vertices +=
          Num(kCorners[k][0]) + " " + Num(kCorners[k][1]) + " " + Num(kCorners[k][2]) + "\n";
    faces += std::to_string(n) + " " + std::to_string(n + 1) + " " + std::to_string(n + 2) + "\n";
    n += 3;
  }
  std::string obj_faces;
  for (int i = 0; i < 36; i += 3)
    obj_faces += "f " + std::to_string(i + 1) + " " + std::to_string(i + 2) + " " +
                 std::to_string(i + 3) + "\n";
  std::string obj_vertices;
  for (const std::string& line : Lines(vertices)) obj_vertices += "v " + line + "\n";
  std::string off_faces;
  for (const std::string& line : Lines(faces)) off_faces += "3 " + line + "\n";
  const std::pair<std::string, std::string> cases[] = {
      {"s.vf.txt", "36 12\n" + vertices + faces},
      {"s.off", "OFF\n36 12 0\n" + vertices + off_faces},
      {"s.obj", obj_vertices + obj_faces},
      {"s.ply",
       "ply\nformat ascii 1.0\nelement vertex 36\nproperty float x\nproperty float y\n"
       "property float z\nelement face 12\nproperty list uchar uint vertex_index\n"
       "end_header\n" +
           vertices + off_faces},
  };
  for (const auto& [name, text] : cases) {
    mesh::Mesh m;
    ASSERT_EQ(Read(name, text, &m), "") << name;
    EXPECT_EQ(m.VertexCount(), 8u) << name;
    const mesh::CheckReport r = mesh::Check(m);
    EXPECT_EQ(r.Problem(), "") << name;
    EXPECT_EQ(r.volume, 1) << name;
  }
  // -0 and +0 are one vertex too.
  mesh::Mesh m;
  std::string signed_zero = Vf(12, 1);
  signed_zero.replace(signed_zero.find("\n0 0 0\n"), 7, "\n-0 0 -0\n");
  ASSERT_EQ(Read("z.vf.txt", signed_zero + "", &m), "");
  EXPECT_EQ(m.vertices[0], 0.0);
  EXPECT_FALSE(std::signbit(m.vertices[0]));
}

// ------------------------------------------------------------ OFF

// Geomview's prefixes of OFF: the columns that follow x y z on a vertex's
// line (normals N, colours C as MeshLab writes them, texture coordinates
// ST) are skipped, 4OFF's w divides, nOFF's dimension must be 3; each reads
// as the plain OFF of the unit cube: 8 vertices, volume 1. Other prefixes,
// binary OFF and a vertex at infinity are refused at their line.
TEST(FormatsOff, PrefixesOfExtraColumns) {
  // The cube's OFF with `keyword`, `extra` after each vertex, `head`
  // before the counts; with `w`, every coordinate times w and w after.
  const auto off = [](const std::string& keyword, const std::string& extra,
                      const std::string& head = "", double w = 0) {
    std::string s = keyword + "\n" + head + "8 12 0\n";
    for (const auto& p : kCorners) {
      const double f = w ? w : 1;
      s += Num(f * p[0]) + " " + Num(f * p[1]) + " " + Num(f * p[2]);
      if (w) s.append(" ").append(Num(w));
      s += extra + "\n";
    }
    return s + FaceLines(1, "3 ");
  };
  const std::pair<std::string, std::string> cases[] = {
      {"coff.off", off("COFF", " 255 128 0 255")},
      {"coff-rgb.off", off("COFF", " 0.5 0.25 1")},
      {"noff.off", off("NOFF", " 0.577 0.577 0.577")},
      {"stoff.off", off("STOFF", " 0.5 0.25")},
      {"cnoff.off", off("CNOFF", " 0 0 1 255 255 255 255")},
      {"stcnoff.off", off("STCNOFF", " 0 0 1 0.1 0.2 0.3 1 0.5 0.5")},
      {"4off.off", off("4OFF", "", "", 4)},
      {"noff-dim.off", off("nOFF", "", "3\n")},
      // Named otherwise, the keyword alone tells the format.
      {"colours.txt", off("COFF", " 10 20 30 40")},
  };
  for (const auto& [name, text] : cases) {
    mesh::Mesh m;
    ASSERT_EQ(Read(name, text, &m), "") << name;
    EXPECT_EQ(m.VertexCount(), 8u) << name;
    EXPECT_EQ(Volume(m), 1) << name;
  }
  // A face's colour after its corners, in COFF as in OFF.
  std::string coloured = off("COFF", " 1 1 1 1");
  coloured.replace(coloured.find("\n3 0 2 1\n"), 9, "\n3 0 2 1 255 0 0\n");
  mesh::Mesh m;
  ASSERT_EQ(Read("faces.off", coloured, &m), "");
  EXPECT_EQ(Volume(m), 1);
  EXPECT_EQ(Read("x.off", off("CXOFF", "")),
            ":1: \"CXOFF\" is no OFF keyword: [ST][C][N][4][n]OFF (texture coordinates, "
            "colours, normals, a homogeneous coordinate, a dimension)");
  EXPECT_EQ(Read("d.off", off("nOFF", "", "4\n")),
            ":2: a model in 4 dimensions (only 3 are read: x y z)");
  EXPECT_EQ(Read("b.off", "OFF BINARY\n"), ":1: binary OFF is not read (write it as text)");
  std::string far = off("4OFF", "", "", 1);
  far.replace(far.find("\n1 1 1 1\n"), 9, "\n1 1 1 0\n");
  EXPECT_EQ(Read("w.off", far), ":9: a vertex with w = 0 (no point: x/w, y/w, z/w)");
}

// ------------------------------------------------------------ PLY

std::string Ply(const std::string& format, const std::string& header_body) {
  return "ply\nformat " + format + " 1.0\n" + header_body + "end_header\n";
}

// Counts are held to the data left: neither an element without properties
// of 2^64 - 1 items nor four billion vertices in a few bytes costs more than
// the data.
TEST(FormatsPly, CountsBoundedByTheData) {
  const std::string cube_tail =
      "element face 12\nproperty list uchar int vertex_indices\nend_header\n" + VertexLines(1) +
      FaceLines(1, "3 ");
  mesh::Mesh m;
  ASSERT_EQ(Read("e.ply",
                 "ply\nformat ascii 1.0\nelement nothing 18446744073709551615\n"
                 "element vertex 8\nproperty double x\nproperty double y\nproperty double z\n" +
                     cube_tail,
                 &m),
            "");
  EXPECT_EQ(Volume(m), 1);
  EXPECT_EQ(Read("big.ply", Ply("ascii",
                                "element vertex 4000000000\nproperty float x\n"
                                "property float y\nproperty float z\n") +
                                "0 0 0\n1 0 0\n"),
            ":3: 4000000000 items of PLY element vertex announced, but the 12 bytes left hold at "
            "most 3");
  EXPECT_EQ(Read("big.ply", Ply("binary_little_endian",
                                "element vertex 4000000000\nproperty float x\nproperty float y\n"
                                "property float z\n") +
                                std::string(24, '\0')),
            ":3: 4000000000 items of PLY element vertex announced, but the 24 bytes left hold at "
            "most 3");
  EXPECT_EQ(Read("count.ply", Ply("ascii", "element vertex -1\n")),
            ":3: PLY element \"vertex\": expected a count, found \"-1\"");
}

// A vertex element must give x, y and z; a face element its corner list.
TEST(FormatsPly, VertexWithoutXyzIsRefused) {
  EXPECT_EQ(Read("noz.ply",
                 "ply\nformat ascii 1.0\nelement vertex 8\nproperty double x\n"
                 "property double y\nelement face 12\n"
                 "property list uchar int vertex_indices\nend_header\n"),
            ":3: PLY element vertex without property z");
  EXPECT_EQ(Read("nof.ply",
                 "ply\nformat ascii 1.0\nelement vertex 8\nproperty double x\n"
                 "property double y\nproperty double z\nelement face 12\n"
                 "property list uchar int corners\nend_header\n" +
                     VertexLines(1)),
            ":7: PLY element face without a list property vertex_indices");
}

// Indices of a float-typed list must be whole numbers of existing
// vertices: NaN and 1e30 are refused by name, never converted.
TEST(FormatsPly, FloatIndicesNanAndHuge) {
  const std::string header =
      "element vertex 3\nproperty float x\nproperty float y\n"
      "property float z\nelement face 1\n"
      "property list uchar float vertex_indices\n";
  const std::string vertices = "0 0 0\n1 0 0\n0 1 0\n";
  EXPECT_EQ(Read("nan.ply", Ply("ascii", header) + vertices + "3 0 1 nan\n"),
            ":13: face refers to vertex nan, which does not exist (3 vertices)");
  EXPECT_EQ(Read("huge.ply", Ply("ascii", header) + vertices + "3 0 1 1e30\n"),
            ":13: face refers to vertex 1e+30, which does not exist (3 vertices)");
  EXPECT_EQ(Read("half.ply", Ply("ascii", header) + vertices + "3 0 1 1.5\n"),
            ":13: face refers to vertex 1.5, which does not exist (3 vertices)");
  std::string binary = Ply("binary_little_endian", header);
  for (int k = 0; k < 9; ++k) little_endian::Append(&binary, 0.0f);
  binary.push_back(3);
  for (float v : {0.0f, 1.0f, NAN}) little_endian::Append(&binary, v);
  EXPECT_EQ(Read("nan.ply", binary),
            ": face refers to vertex nan, which does not exist (3 vertices)");
  EXPECT_EQ(
      Read("len.ply", Ply("ascii", "element face 1\nproperty list float int vertex_indices\n")),
      ":4: PLY list length of type float");
}

// Every value type of binary PLY, both byte orders, against the values
// written: signed and unsigned integers of each width, float and double.
TEST(FormatsPly, BinaryTypesBothByteOrders) {
  for (bool big : {false, true}) {
    std::string s = Ply(big ? "binary_big_endian" : "binary_little_endian",
                        "element vertex 3\nproperty char a\nproperty short x\nproperty ushort b\n"
                        "property int y\nproperty float z\nproperty double c\n"
                        "element face 1\nproperty list uint8 int16 vertex_indices\n"
                        "property uint32 flags\n");
    auto put = [&](uint64_t bits, int size) {
      for (int k = 0; k < size; ++k) {
        const int shift = 8 * (big ? size - 1 - k : k);
        s.push_back(static_cast<char>(bits >> shift & 0xFF));
      }
    };
    const double xyz[3][3] = {{-2, -70000, 0.25}, {300, 5, -1.5}, {-1, 1, 1e10}};
    for (const auto& p : xyz) {
      put(0xFF, 1);  // char -1
      put(static_cast<uint16_t>(static_cast<int16_t>(p[0])), 2);
      put(0xFFFF, 2);  // ushort 65535
      put(static_cast<uint32_t>(static_cast<int32_t>(p[1])), 4);
      put(std::bit_cast<uint32_t>(static_cast<float>(p[2])), 4);
      put(std::bit_cast<uint64_t>(-0.5), 8);
    }
    put(3, 1);
    for (int i : {2, 0, 1}) put(static_cast<uint16_t>(i), 2);
    put(0xDEADBEEF, 4);
    mesh::Mesh m;
    ASSERT_EQ(Read("t.ply", s, &m), "") << big;
    ASSERT_EQ(m.VertexCount(), 3u);
    for (int i = 0; i < 3; ++i)
      for (int c = 0; c < 3; ++c) EXPECT_EQ(m.vertices[3 * i + c], xyz[i][c]) << big << i << c;
    ASSERT_EQ(m.FaceCount(), 1u);
    EXPECT_EQ(m.faces, (std::vector<uint32_t>{2, 0, 1}));
  }
}

// ------------------------------------------------------------ writing

// Binary STL rounds to float32: a fit model that the rounding makes unfit
// (a 1 cm cube 1e7 m from the origin, where floats are 1 apart) is refused
// and nothing written; a rounding that keeps it fit is noted.
TEST(FormatsWrite, BinaryStlNarrowing) {
  auto cube = [](double at, double side) {
    mesh::Mesh m;
    for (const auto& p : kCorners)
      for (double x : p) m.vertices.push_back(at + side * x);
    for (const auto& f : kFaces) m.faces.insert(m.faces.end(), f, f + 3);
    return m;
  };
  const std::string path = TempDir() + "/far.stl";
  try {
    mesh::WriteModel(path, cube(1e7, 0.01), mesh::Format::kStlBinary);
    ADD_FAILURE() << "written";
  } catch (const Failure& f) {
    EXPECT_EQ(std::string(f.what()).rfind(path + ": binary STL rounds the coordinates to float32, "
                                                 "and the model rounded is unfit for the field "
                                                 "formulas: ",
                                          0),
              0u)
        << f.what();
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  // 0.1 and 1.1 are not floats: 24 coordinates round, by up to
  // float(1.1) - 1.1 = 1.10000002384185791015625 -
  // 1.100000000000000088817841970012523233890533447265625 (the double 1.1)
  // = 2.3841857821338408...e-08.
  EXPECT_EQ(mesh::WriteModel(path, cube(0.1, 1), mesh::Format::kStlBinary),
            path + ": 24 of 24 coordinates rounded to float32 for binary STL, by up to " +
                "2.3841857821338408e-08");
  EXPECT_EQ(mesh::WriteModel(path, cube(0, 1), mesh::Format::kStlBinary), "");
  EXPECT_EQ(mesh::WriteModel(path, cube(1e7, 0.01), mesh::Format::kStlAscii), "");
}

// STL to STL keeps each facet's attribute word (its colour).
TEST(FormatsWrite, AttributeWordsKept) {
  std::string in = StlBinary(12, 1);
  for (int f = 0; f < 12; ++f) {
    in[84 + 50 * f + 48] = static_cast<char>(f);
    in[84 + 50 * f + 49] = static_cast<char>(0x80 | f);
  }
  mesh::Mesh m;
  ASSERT_EQ(Read("c.stl", in, &m), "");
  const std::string out = TempDir() + "/out.stl";
  EXPECT_EQ(mesh::WriteModel(out, m, mesh::Format::kStlBinary), "");
  const std::string written = ReadFile(out);
  ASSERT_EQ(written.size(), in.size());
  for (int f = 0; f < 12; ++f) {
    EXPECT_EQ(written[84 + 50 * f + 48], static_cast<char>(f)) << f;
    EXPECT_EQ(written[84 + 50 * f + 49], static_cast<char>(0x80 | f)) << f;
  }
  // ASCII STL has none: zero words.
  std::string ascii;
  ASSERT_EQ(Read("a.stl", StlSolid(0), &m), "");
  EXPECT_TRUE(m.attributes.empty());
  mesh::WriteModel(out, m, mesh::Format::kStlBinary);
  EXPECT_EQ(ReadFile(out).substr(84 + 48, 2), std::string(2, '\0'));
}

}  // namespace
