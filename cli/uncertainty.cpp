// polyfield uncertainty: the sigmas of the field at points, or of the
// Stokes coefficients, that errors of the vertex positions give, to first
// order through the exact Jacobians (science/derivatives.h). Rank 0's
// alone.
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/table.h"
#include "common/failure.h"
#include "common/print.h"
#include "common/rows.h"
#include "science/derivatives.h"
#include "science/outputs.h"
#include "science/shape_harmonics.h"

namespace cli {

namespace {

struct UncertaintyArgs {
  double sigma = 0;
  std::string along = "normal", points;
  std::optional<int> degree;
  std::optional<double> reference_radius;
};

int RunUncertainty(const Common& c, const UncertaintyArgs& a) {
  if (a.points.empty() == !a.degree) Refuse("--points or " + Quantity("degree") + ": one of them");
  if (!(a.sigma >= 0) || !std::isfinite(a.sigma))
    Refuse(Quantity("sigma") + ": " + ShortestDigits(a.sigma) + " is not a number 0 or more");
  if (a.along != "normal" && a.along != "coordinates")
    Refuse(Quantity("along") + ": \"" + a.along + "\" is not one of normal, coordinates");
  const TableFormat format = TableFormatOf(c.format);
  science::FieldRequest request;
  request.units = c.units;
  request.evaluation = c.Evaluation();
  science::Validate(request);
  const science::Files files{
      Inputs(c, a.points.empty() ? science::FileList{} : science::FileList{{"points", a.points}}),
      {{"output", c.output}}};
  science::Validate(files);
  if (!ranks->Root()) return 0;
  const auto body = Load(c);
  const science::Units u = science::Resolve(c.units, *body);
  science::ShapeErrors errors;
  errors.sigma.assign(body->model().VertexCount(), a.sigma);
  errors.along_normals = a.along == "normal";
  std::vector<std::string> header = Header("uncertainty", c, *body, u);
  header.push_back("vertex errors: sigma " + ShortestDigits(a.sigma) + " " + body->unit() +
                   (errors.along_normals ? " along the vertex normals" : " in each coordinate") +
                   ", independent; first-order sigmas");
  std::vector<std::vector<double>> v;
  std::vector<Column> cols;
  if (!a.points.empty()) {
    std::vector<double> x, y, z;
    rows::Read(a.points, 3, "three finite numbers x y z", true, [&](const double* p, size_t) {
      x.push_back(p[0]), y.push_back(p[1]), z.push_back(p[2]);
    });
    const size_t n = x.size(), cols_count = science::LayoutOf(*body).count;
    const science::Points p{n, x.data(), y.data(), z.data()};
    const std::vector<double> J = science::FieldJacobian(*body, request, p);
    const std::vector<double> cov =
        science::PropagateShapeErrors(body->model(), errors, J.data(), 4 * n, cols_count, 1, 0);
    v.assign(4, std::vector<double>(n));
    for (size_t j = 0; j < n; ++j)
      for (size_t o = 0; o < 4; ++o) v[o][j] = std::sqrt(cov[(4 * j + o) * 4 * n + 4 * j + o]);
    const std::string L = u.LengthUnit();
    v.push_back(x), v.push_back(y), v.push_back(z);
    cols = {{"x", L, &v[4]},
            {"y", L, &v[5]},
            {"z", L, &v[6]},
            {"sigma_U", u.PotentialUnit(), &v[0]},
            {"sigma_gx", u.AttractionUnit(), &v[1]},
            {"sigma_gy", u.AttractionUnit(), &v[2]},
            {"sigma_gz", u.AttractionUnit(), &v[3]}};
  } else {
    science::HarmonicsRequest h;
    h.degree = *a.degree;
    h.reference_radius = a.reference_radius;
    h.threads = request.evaluation.Threads();
    h.model = c.model;
    const science::HarmonicsJacobian J = science::HarmonicsJacobianOf(*body, c.units, h);
    const size_t rows = J.rows(), K = J.Coefficients();
    const std::vector<double> cov =
        science::PropagateShapeErrors(body->model(), errors, J.by_column.data(), rows, 1, rows, 0);
    header.push_back("reference radius R0: " + ShortestDigits(J.value.reference_radius) + " " +
                     body->unit() + ", about the model's origin; GM " +
                     ShortestDigits(J.value.GM()) + " sigma " +
                     ShortestDigits(std::sqrt(cov[rows * rows - 1])));
    v.assign(6, {});
    for (int n = 0; n <= *a.degree; ++n)
      for (int m = 0; m <= n; ++m) {
        const size_t k = science::shape::Index(n, m);
        v[0].push_back(n), v[1].push_back(m);
        v[2].push_back(J.value.Cnm(n, m)), v[3].push_back(J.value.Snm(n, m));
        v[4].push_back(std::sqrt(cov[k * rows + k]));
        v[5].push_back(std::sqrt(cov[(K + k) * rows + K + k]));
      }
    cols = {{"n", "", &v[0], true}, {"m", "", &v[1], true}, {"C", "", &v[2]},
            {"S", "", &v[3]},       {"sigma_C", "", &v[4]}, {"sigma_S", "", &v[5]}};
  }
  science::Outputs outputs(files.inputs);
  FILE* table = outputs.Open("output", c.output);
  WriteTable(table, format, header, cols);
  outputs.Commit();
  return 0;
}

}  // namespace

Subcommand UncertaintyCommand(CLI::App& app) {
  const auto a = std::make_shared<WithCommon<UncertaintyArgs>>();
  CLI::App* cmd = app.add_subcommand(
      "uncertainty",
      "sigmas of the field at points or of the coefficients from errors of the vertices");
  AddCommon(cmd, &a->common);
  for (const char* name : {"--tolerance", "--exact", "--progress"})
    cmd->remove_option(cmd->get_option(name));
  cmd->add_option("--sigma", a->args.sigma, "each vertex's position error, in the model's unit")
      ->required();
  cmd->add_option("--along", a->args.along,
                  "normal (default: along the vertex normals) or coordinates (in each)");
  cmd->add_option("--points", a->args.points, "the points' file (x y z a line)");
  cmd->add_option("--degree", a->args.degree, "the coefficients to degree N instead");
  cmd->add_option("--reference-radius", a->args.reference_radius,
                  "R0 in the model's unit (default: the Brillouin radius, held fixed)");
  return {cmd, [a] { return RunUncertainty(a->common, a->args); }};
}

}  // namespace cli
