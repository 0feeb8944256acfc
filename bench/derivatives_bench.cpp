// Wall time and memory of the field's derivatives (science/derivatives.h)
// against one exact field evaluation of the same points (the library's, which
// takes far points from the model's expansion, and the table engine's direct
// sum over every facet): the VJP of U and g
// (weights on both) by every vertex and the density, and the JVP of U and g
// for a change of every parameter, at N points on a
// shell 1.2 to 2 times Eros's largest radius about it and inside it, on 1
// and 2 threads; then the coefficients' Jacobian to degree 20 against the
// coefficients; the peak resident memory after each.
//
//   build/bench/derivatives_bench [N [MODEL]]
//       (default 10000 points, tests/data/models/eros.vf.txt: 14,744 facets, km)
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/table_engine.h"
#include "science/body.h"
#include "science/derivatives.h"
#include "science/field.h"
#include "science/harmonics.h"
#include "science/model.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double PeakMegabytes() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_maxrss) / 1024;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000;
  const std::string path =
      argc > 2 ? argv[2] : std::string(SOURCE_DIR "/tests/data/models/eros.vf.txt");
  const mesh::Mesh model = science::LoadModel(path);
  double radius = 0;
  for (size_t i = 0; i < model.VertexCount(); ++i)
    radius = std::max(radius, std::hypot(model.vertices[3 * i], model.vertices[3 * i + 1],
                                         model.vertices[3 * i + 2]));
  // Points on a spiral over the sphere, at radii between 1.2 and 2 times the
  // largest (a tenth of them at a tenth of it, inside).
  std::vector<double> x(n), y(n), z(n);
  for (size_t j = 0; j < n; ++j) {
    const double t = (double(j) + 0.5) / double(n), lat = std::asin(2 * t - 1);
    const double lon = 2.399963229728653 * double(j);
    const double r = radius * (j % 10 == 0 ? 0.1 : 1.2 + 0.8 * std::fmod(0.618034 * double(j), 1));
    x[j] = r * std::cos(lat) * std::cos(lon), y[j] = r * std::cos(lat) * std::sin(lon);
    z[j] = r * std::sin(lat);
  }
  std::vector<double> wU(n, 1), wg(3 * n, 1e3), U(n), gx(n), gy(n), gz(n);
  std::printf("%s: %zu facets, %zu vertices, %zu points\n", path.c_str(), model.FaceCount(),
              model.VertexCount(), n);
  for (unsigned threads : {1u, 2u}) {
    science::Body body(model, threads);
    science::FieldRequest r;
    r.units.density = 2670;
    r.evaluation.threads = threads;
    auto t0 = std::chrono::steady_clock::now();
    science::FieldOf(body, r, n, x.data(), y.data(), z.data(),
                     {U.data(), gx.data(), gy.data(), gz.data()}, nullptr);
    const double field = Seconds(t0);
    const double field_memory = PeakMegabytes();
    TableEngine direct(TableGuard::kRelative, threads);
    const std::vector<double> corners = model.FaceCorners();
    direct.Load(Facets(static_cast<uint32_t>(model.FaceCount()), corners.data()));
    t0 = std::chrono::steady_clock::now();
    direct.Evaluate(n, x.data(), y.data(), z.data(), {U.data(), gx.data(), gy.data(), gz.data()});
    const double sum = Seconds(t0);
    direct.Release();
    t0 = std::chrono::steady_clock::now();
    const std::vector<double> grad =
        science::FieldVjp(body, r, {n, x.data(), y.data(), z.data()}, {wU.data(), wg.data()});
    const double vjp = Seconds(t0);
    std::vector<double> tangent(grad.size()), dU(n), dg(3 * n);
    for (size_t c = 0; c < tangent.size(); ++c) tangent[c] = std::sin(double(c));
    t0 = std::chrono::steady_clock::now();
    science::FieldJvp(body, r, {n, x.data(), y.data(), z.data()}, tangent, dU.data(), dg.data());
    const double jvp = Seconds(t0);
    std::printf(
        "%u thread%s: field %.3f s (peak %.0f MB), its direct sum %.3f s, VJP of U and g %.3f s "
        "(peak %.0f MB): %.1f times the field, %.1f times the direct sum; JVP of U and g %.3f "
        "s: %.1f times the field\n",
        threads, threads > 1 ? "s" : "", field, field_memory, sum, vjp, PeakMegabytes(),
        vjp / field, vjp / sum, jvp, jvp / field);
  }
  for (unsigned threads : {1u, 2u}) {
    science::Body body(model, threads);
    science::UnitsRequest units;
    units.density = 2670;
    science::HarmonicsRequest r;
    r.degree = 20;
    r.threads = threads;
    auto t0 = std::chrono::steady_clock::now();
    science::HarmonicsOf(body, units, r);
    const double plain = Seconds(t0);
    t0 = std::chrono::steady_clock::now();
    const science::HarmonicsJacobian J = science::HarmonicsJacobianOf(body, units, r);
    const double jacobian = Seconds(t0);
    std::printf(
        "%u thread%s: coefficients to degree 20 %.3f s, their Jacobian (%zu x %zu) %.3f s "
        "(peak %.0f MB)\n",
        threads, threads > 1 ? "s" : "", plain, J.rows(), J.columns, jacobian, PeakMegabytes());
  }
}
