// The front end's model readers, every format told by content: any input
// ends with a model or with one failure that names the file. A model that was
// read has faces of existing vertices and no two equal vertices, and comes
// back from vertex/face text and binary PLY with the same bits.
#include <unistd.h>

#include <cstring>
#include <string>

#include "mesh/mesh.h"
#include "tests/fuzz/harness.h"

namespace {

void Same(const mesh::Mesh& a, const mesh::Mesh& b, const char* format) {
  if (a.faces != b.faces ||
      std::memcmp(a.vertices.data(), b.vertices.data(), sizeof(double) * a.vertices.size()) ||
      a.vertices.size() != b.vertices.size())
    Broken(std::string("model changed in the round trip through ") + format);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CatchErrors();
  const std::string path = AsFile(data, size);
  mesh::Mesh m;
  try {
    m = mesh::ReadModel(path);
  } catch (const Failure& e) {
    if (std::string(e.what()).rfind(path + ":", 0) != 0)
      Broken(std::string("failure without the file's name: ") + e.what());
    return 0;
  }
  if (m.FaceCount() == 0) Broken("model without faces");
  for (uint32_t v : m.faces)
    if (v >= m.VertexCount()) Broken("face of a vertex that does not exist");
  // NaN coordinates keep their bits through neither text nor the weld's
  // comparison of values: the round trip is for numbers.
  for (double x : m.vertices)
    if (x != x) return 0;
  static const std::string out = "/tmp/polyfield-fuzz-" + std::to_string(getpid()) + ".model";
  for (mesh::Format format : {mesh::Format::kVf, mesh::Format::kPlyBinary, mesh::Format::kOff}) {
    // A write that fails is the writer's (libFuzzer's timer signal, which
    // OutputFile takes for a fatal one, can end it): only a model written
    // that does not read back is a fault.
    try {
      mesh::WriteModel(out, m, format);
    } catch (const Failure&) {
      continue;
    }
    try {
      Same(m, mesh::ReadModel(out), mesh::FormatName(format));
    } catch (const Failure& e) {
      Broken(std::string("round trip: ") + e.what());
    }
  }
  return 0;
}
