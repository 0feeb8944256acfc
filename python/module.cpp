// The Python face of the front end's library: numpy arrays in and out, the
// same requests, checks, field, tensor, surface products and summary as the
// polyfield program, failures as Python exceptions (subclasses of
// polyfield.Error) whose messages name the Python parameters.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "common/error.h"
#include "common/failure.h"
#include "common/print.h"
#include "mesh/check.h"
#include "mesh/mesh.h"
#include "science/body.h"
#include "science/field.h"
#include "science/grid.h"
#include "science/harmonics.h"
#include "science/model.h"
#include "science/outputs.h"
#include "science/products.h"
#include "science/request.h"
#include "science/summary.h"
#include "science/surface.h"

namespace py = pybind11;

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Pair = std::pair<double, double>;

// The library's quantities as this module's parameters.
std::string Spelling(std::string_view name) {
  if (name == "model") return "path";
  if (name == "add") return "parts";
  return std::string(name);
}

// The exception types, made when the module is imported.
PyObject* error_type = nullptr;
PyObject* not_found_type = nullptr;
PyObject* value_type = nullptr;
PyObject* memory_type = nullptr;

py::array_t<double> Vector(const std::vector<double>& v) {
  py::array_t<double> a(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), a.mutable_data());
  return a;
}

// (n, 3) from three columns.
py::array_t<double> Stack(const std::vector<double>& x, const std::vector<double>& y,
                          const std::vector<double>& z) {
  const py::ssize_t n = static_cast<py::ssize_t>(x.size());
  py::array_t<double> a({n, py::ssize_t{3}});
  double* p = a.mutable_data();
  for (py::ssize_t i = 0; i < n; ++i) p[3 * i] = x[i], p[3 * i + 1] = y[i], p[3 * i + 2] = z[i];
  return a;
}

py::array_t<double> Matrix(const std::array<std::array<double, 3>, 3>& m) {
  py::array_t<double> a({py::ssize_t{3}, py::ssize_t{3}});
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) a.mutable_at(i, j) = m[i][j];
  return a;
}

// Between blocks of points the GIL is taken back to look for Ctrl-C; an
// interrupt stops the evaluation and is raised once the GIL is held again.
bool StillWanted(double) {
  py::gil_scoped_acquire hold;
  return PyErr_CheckSignals() == 0;
}

struct UnitsArgs {
  std::optional<double> density, mass, gm, G;
};

// The coefficients of Model.harmonics: numpy arrays C and S of shape
// (N + 1, N + 1), zero above the diagonal, and the program's files.
class Harmonics {
 public:
  explicit Harmonics(science::Harmonics h) : h_(std::move(h)) {}
  int degree() const { return h_.degree; }
  py::array_t<double> C() const { return Square(h_.C); }
  py::array_t<double> S() const { return Square(h_.S); }
  double GM() const { return h_.GM(); }
  double reference_radius() const { return h_.reference_radius; }
  py::tuple origin() const { return py::make_tuple(h_.origin[0], h_.origin[1], h_.origin[2]); }
  void write(const std::string& path, const std::string& format) const {
    science::CheckPath("path", path);
    science::WriteHarmonics(path, h_, science::HarmonicsFormatOf(format), "path");
  }

 private:
  py::array_t<double> Square(const std::vector<double>& v) const {
    const py::ssize_t side = h_.degree + 1;
    py::array_t<double> a({side, side});
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
  }
  science::Harmonics h_;
};

class Model {
 public:
  // A model file, in any format the program reads.
  Model(const std::string& path, const std::string& unit, double scale)
      : unit_(unit), scale_(scale), path_(path) {
    science::MetresOf(unit);
    Build(science::LoadModel(path, scale));
    body_->AddSource("model", path);
  }

  // Vertex and face arrays; faces of integers, or of floats that are whole.
  Model(const py::object& vertices, const py::object& faces, const std::string& unit, double scale)
      : unit_(unit), scale_(scale) {
    science::MetresOf(unit);
    const Array v = Array::ensure(vertices);
    if (!v || v.ndim() != 2 || v.shape(1) != 3)
      Refuse(Quantity("vertices") + ": an array of shape (V, 3)");
    const py::array f = py::array::ensure(faces);
    if (!f || f.ndim() != 2 || f.shape(1) != 3)
      Refuse(Quantity("faces") + ": an array of shape (F, 3)");
    const size_t V = static_cast<size_t>(v.shape(0)), F = static_cast<size_t>(f.shape(0));
    if (f.dtype().kind() == 'f') {
      const Array d = Array::ensure(f);
      Build(science::ModelFromArrays(v.data(), V, d.data(), F, scale));
    } else if (f.dtype().kind() == 'i' || f.dtype().kind() == 'u' || F == 0) {
      using Indices = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;
      const Indices i = Indices::ensure(f);
      Build(science::ModelFromArrays(v.data(), V, i.data(), F, scale));
    } else {
      Refuse(Quantity("faces") + ": vertex indices, integers");
    }
  }

  static std::unique_ptr<Model> FromObject(const py::object& source, const std::string& unit,
                                           double scale) {
    const py::module_ os = py::module_::import("os");
    if (py::isinstance<py::str>(source) || py::hasattr(source, "__fspath__"))
      return std::make_unique<Model>(os.attr("fspath")(source).cast<std::string>(), unit, scale);
    if (py::hasattr(source, "vertices") && py::hasattr(source, "faces"))
      return std::make_unique<Model>(source.attr("vertices"), source.attr("faces"), unit, scale);
    throw py::type_error(
        "Model: a path, arrays (vertices, faces), or an object with vertices and faces arrays");
  }

  // A meshio.Mesh (or any object with points and cells of type and data):
  // its triangles; cells of points and lines are left aside, any other kind
  // is refused.
  static std::unique_ptr<Model> FromMeshio(const py::object& mesh, const std::string& unit,
                                           double scale) {
    py::list triangles;
    for (const py::handle block : mesh.attr("cells")) {
      const std::string type = py::str(block.attr("type"));
      if (type == "triangle") {
        triangles.append(block.attr("data"));
      } else if (type != "vertex" && type != "line") {
        Refuse(Quantity("mesh") + ": cells of type " + type + " (only triangles are read)");
      }
    }
    if (triangles.empty()) Refuse(Quantity("mesh") + ": no triangle cells");
    const py::object faces = py::module_::import("numpy").attr("concatenate")(triangles);
    return std::make_unique<Model>(mesh.attr("points"), faces, unit, scale);
  }

  // A pickle carries the model (vertices after the scale, faces, an STL's
  // normals), its unit, scale and file name; the other side rebuilds the
  // body from them, to the same bits.
  py::tuple GetState() const { return StateOf(body_->model(), unit_, scale_, path_); }
  static py::tuple StateOf(const mesh::Mesh& m, const std::string& unit, double scale,
                           const std::string& path) {
    const auto V = static_cast<py::ssize_t>(m.VertexCount()),
               F = static_cast<py::ssize_t>(m.FaceCount());
    py::array_t<double> v({V, py::ssize_t{3}});
    py::array_t<uint32_t> f({F, py::ssize_t{3}});
    py::array_t<float> normals(static_cast<py::ssize_t>(m.normals.size()));
    std::copy(m.vertices.begin(), m.vertices.end(), v.mutable_data());
    std::copy(m.faces.begin(), m.faces.end(), f.mutable_data());
    std::copy(m.normals.begin(), m.normals.end(), normals.mutable_data());
    return py::make_tuple(1, v, f, normals, unit, scale, path);
  }
  static std::unique_ptr<Model> FromState(const py::tuple& state) {
    if (state.size() != 7 || state[0].cast<int>() != 1)
      throw py::value_error("Model: not a pickled polyfield model of this version");
    auto model = std::unique_ptr<Model>(new Model(
        state[4].cast<std::string>(), state[5].cast<double>(), state[6].cast<std::string>()));
    const auto v = state[1].cast<py::array_t<double, py::array::c_style>>();
    const auto f = state[2].cast<py::array_t<uint32_t, py::array::c_style>>();
    const auto normals = state[3].cast<py::array_t<float, py::array::c_style>>();
    mesh::Mesh m;
    m.vertices.assign(v.data(), v.data() + v.size());
    m.faces.assign(f.data(), f.data() + f.size());
    m.normals.assign(normals.data(), normals.data() + normals.size());
    for (const uint32_t i : m.faces)
      if (i >= m.VertexCount()) throw py::value_error("Model: a face names no vertex");
    model->Build(std::move(m));
    model->body_->AddSource("model", model->path_);
    return model;
  }

  double volume() const { return body_->Volume(); }
  py::tuple centroid() const {
    const auto c = body_->CentreOfMass();
    return py::make_tuple(c[0], c[1], c[2]);
  }
  double area() const { return body_->Area(); }
  size_t facets() const { return body_->model().FaceCount(); }

  std::string repr() const {
    return "polyfield.Model(" + (path_.empty() ? "" : "'" + path_ + "', ") +
           std::to_string(facets()) + " facets, volume " + ShortestDigits(volume()) + " " + unit_ +
           "^3" + (scale_ == 1 ? "" : ", scale " + ShortestDigits(scale_)) + ")";
  }

  py::dict check() const { return Report(body_->Check()); }

  static py::dict Report(const mesh::CheckReport& r) {
    py::dict d;
    d["vertices"] = r.vertices;
    d["faces"] = r.faces;
    d["nonfinite_faces"] = r.nonfinite_faces;
    d["boundary_edges"] = r.boundary_edges;
    d["non_manifold_edges"] = r.non_manifold_edges;
    d["inconsistent_edges"] = r.inconsistent_edges;
    d["degenerate_faces"] = r.degenerate_faces;
    d["duplicate_faces"] = r.duplicate_faces;
    d["intersecting_pairs"] = r.intersecting_pairs;
    d["components"] = r.components;
    d["inside_out_components"] = r.inside_out_components;
    d["cavities"] = r.cavities;
    d["nested_components"] = r.nested_components;
    d["normals_against_winding"] = r.normals_against_winding;
    d["solids"] = r.solids;
    d["volume"] = r.volume;
    d["problem"] = r.Problem();
    d["fit"] = r.Problem().empty();
    return d;
  }

  py::tuple field(const Array& points, const UnitsArgs& units, bool gradient,
                  const science::Evaluation& evaluation) {
    science::FieldRequest request;
    request.units = Units(units);
    request.evaluation = evaluation;
    request.gradient = gradient;
    science::Validate(request, *body_);
    // One point of shape (3,) gives scalars and a vector of shape (3,).
    const bool single = points.ndim() == 1 && points.shape(0) == 3;
    if (!single && (points.ndim() != 2 || points.shape(1) != 3))
      Refuse(Quantity("points") + ": an array of shape (n, 3), or (3,) for one point");
    const size_t n = single ? 1 : static_cast<size_t>(points.shape(0));
    // The engine reads the coordinates as three columns.
    std::vector<double> x(n), y(n), z(n), U(n), gx(n), gy(n), gz(n), T(gradient ? 6 * n : 0);
    const double* p = points.data();
    for (size_t i = 0; i < n; ++i) {
      x[i] = p[3 * i], y[i] = p[3 * i + 1], z[i] = p[3 * i + 2];
      if (!(std::isfinite(x[i]) && std::isfinite(y[i]) && std::isfinite(z[i])))
        Refuse(Quantity("points") + ": " + (single ? "" : "row " + std::to_string(i) + " ") + "(" +
               ShortestDigits(x[i]) + ", " + ShortestDigits(y[i]) + ", " + ShortestDigits(z[i]) +
               ") is not three finite numbers x y z");
    }
    bool finished;
    {
      py::gil_scoped_release free;
      finished =
          science::FieldOf(*body_, request, n, x.data(), y.data(), z.data(),
                           {U.data(), gx.data(), gy.data(), gz.data(), T.data()}, &StillWanted);
    }
    if (!finished) throw py::error_already_set();
    Warn(evaluation.check);
    py::array_t<double> g = Stack(gx, gy, gz);
    py::array_t<double> t({static_cast<py::ssize_t>(n), py::ssize_t{gradient ? 6 : 0}});
    std::copy(T.begin(), T.end(), t.mutable_data());
    if (single) {
      const py::object U0 = py::float_(U[0]);
      const py::object g0 = g.attr("reshape")(3);
      return gradient ? py::make_tuple(U0, g0, t.attr("reshape")(6)) : py::make_tuple(U0, g0);
    }
    return gradient ? py::make_tuple(Vector(U), g, t) : py::make_tuple(Vector(U), g);
  }

  py::dict surface(const UnitsArgs& units, std::optional<double> spin_period,
                   std::optional<std::array<double, 3>> spin_axis,
                   std::optional<std::vector<double>> slopes,
                   const science::Evaluation& evaluation) {
    science::SurfaceRequest request;
    request.units = Units(units);
    request.evaluation = evaluation;
    request.spin_period = spin_period;
    if (spin_axis) request.spin_axis = *spin_axis;
    if (slopes) request.slopes = *slopes;
    science::Validate(request, *body_);
    science::Surface s;
    bool finished;
    {
      py::gil_scoped_release free;
      finished = science::SurfaceOf(*body_, request, &s, &StillWanted);
    }
    if (!finished) throw py::error_already_set();
    Warn(evaluation.check);
    py::dict d;
    d["area"] = Vector(s.area);
    d["centroid"] = Stack(s.cx, s.cy, s.cz);
    d["U"] = Vector(s.U);
    d["g"] = Stack(s.gx, s.gy, s.gz);
    d["g_norm"] = Vector(s.g);
    d["slope"] = Vector(s.slope);
    d["U/U0"] = Vector(s.UU0);
    d["U0"] = s.U0;
    if (request.spin_period) {
      d["Ueff"] = Vector(s.Ueff);
      d["geff"] = Stack(s.gxeff, s.gyeff, s.gzeff);
      d["geff_norm"] = Vector(s.geff);
      d["slopeeff"] = Vector(s.slopeeff);
    }
    const science::Summary sum = science::Summarise(*body_, request, s);
    const science::Units& u = sum.units;
    py::dict summary;
    summary["volume"] = sum.volume;
    if (u.Si()) {
      summary["mass"] = sum.mass;
      summary["GM"] = sum.gm;
      summary["density"] = u.density;
    }
    summary["centre_of_mass"] = py::make_tuple(sum.centre[0], sum.centre[1], sum.centre[2]);
    summary["area"] = sum.area;
    summary["U0"] = sum.U0;
    py::dict percentiles, above;
    for (const auto& [p, v] : sum.slope.percentiles) percentiles[py::float_(p)] = v;
    for (const auto& [t, share] : sum.slope.above) above[py::float_(t)] = share;
    summary["slope"] = sum.slope_name;
    summary["slope_percentiles"] = percentiles;
    summary["area_fraction_above"] = above;
    summary["least_slope_facet"] = sum.slope.min_facet;
    summary["most_slope_facet"] = sum.slope.max_facet;
    summary["least_U_facet"] = sum.potential.min_facet;
    summary["most_U_facet"] = sum.potential.max_facet;
    summary["inertia"] = InertiaDict(sum.inertia, u);
    summary["units"] = UnitNames(u);
    d["summary"] = summary;
    return d;
  }

  py::dict inertia(const UnitsArgs& units) const {
    const science::Units u = science::Resolve(Units(units), *body_);
    return InertiaDict(science::InertiaOf(*body_, u), u);
  }

  Harmonics harmonics(int degree, std::optional<double> reference_radius, const UnitsArgs& units,
                      const std::string& origin, std::optional<unsigned> threads) {
    science::HarmonicsRequest r;
    r.degree = degree;
    r.reference_radius = reference_radius;
    r.origin = science::HarmonicOriginOf(origin);
    science::Evaluation e;
    e.threads = threads;
    science::Validate(e);
    r.threads = e.Threads();
    r.model = body_->name();
    const science::UnitsRequest u = Units(units);
    // Ctrl-C between blocks of facets: no coefficients.
    r.more = &StillWanted;
    std::optional<Harmonics> h;
    try {
      py::gil_scoped_release free;
      h.emplace(science::HarmonicsOf(*body_, u, r));
    } catch (const science::Stopped&) {
      throw py::error_already_set();
    }
    Warn(true);
    return std::move(*h);
  }

  // The model moved, scaled or turned, as a new model.
  std::unique_ptr<Model> translated(const std::array<double, 3>& offset) const {
    return Placed(science::Translated(body_->model(), offset), "translated");
  }
  std::unique_ptr<Model> scaled(double factor) const {
    return Placed(science::Scaled(body_->model(), factor), "scaled");
  }
  std::unique_ptr<Model> rotated(const std::array<std::array<double, 3>, 3>& matrix) const {
    return Placed(science::Rotated(body_->model(), matrix), "rotated");
  }

  // The field on a latitude-longitude grid about the centre of mass: every
  // array of shape (nlat, nlon), or (nlat, nlon, 3) for vectors.
  py::dict grid(std::optional<double> radius, std::optional<std::pair<uint32_t, uint32_t>> shape,
                std::optional<double> altitude, const UnitsArgs& units,
                const science::Evaluation& evaluation) {
    science::FieldRequest request;
    request.units = Units(units);
    request.evaluation = evaluation;
    if (!shape) Refuse(Quantity("shape") + ": (nlat, nlon), the grid's rows and columns");
    if (!radius && !altitude)
      Refuse(Quantity("radius") + " or " + Quantity("altitude") + ": give one");
    const science::GridRequest g{radius.value_or(0), shape->first, shape->second, altitude};
    science::Grid grid;
    science::GridField f;
    bool finished;
    {
      py::gil_scoped_release free;
      finished = science::GridOf(*body_, request, g, &grid, &f, &StillWanted);
    }
    if (!finished) throw py::error_already_set();
    Warn(evaluation.check);
    const py::ssize_t rows = g.nlat, cols = g.nlon;
    const auto plane = [&](const std::vector<double>& v) {
      return Vector(v).attr("reshape")(rows, cols);
    };
    const auto vectors = [&](const std::vector<double>& x, const std::vector<double>& y,
                             const std::vector<double>& z) {
      return Stack(x, y, z).attr("reshape")(rows, cols, 3);
    };
    const science::Units u = science::Resolve(request.units, volume());
    py::dict d;
    d["lat"] = plane(grid.lat);
    d["lon"] = plane(grid.lon);
    d["points"] = vectors(grid.x, grid.y, grid.z);
    d["U"] = plane(f.U);
    d["g"] = vectors(f.gx, f.gy, f.gz);
    d["gr"] = plane(f.gr);
    d["dU"] = plane(f.dU);
    d["dg"] = vectors(f.dgx, f.dgy, f.dgz);
    d["GM"] = u.Si() ? u.GM(volume()) : volume();
    return d;
  }

  // A coloured binary STL and (for each path given) its picture and its
  // latitude-longitude map, coloured by `values` (one per facet) over
  // `range` or the area-weighted percentiles; all written only once all are
  // complete.
  Pair write_colours(const Array& values, const std::string& stl, const std::string& png,
                     const std::string& picture_path, const std::string& latlon,
                     const science::PictureRequest& picture, const std::string& label) {
    science::Validate(picture, {});
    // Neither the files the model came from nor the colour map's may be
    // replaced.
    science::FileList read = body_->sources();
    const std::string map_file = science::ColourMapFile(picture.map);
    if (!map_file.empty()) read.emplace_back("map", map_file);
    science::Validate(science::Files{
        read, {{"stl", stl}, {"png", png}, {"picture", picture_path}, {"latlon", latlon}}});
    const auto& m = body_->model();
    const size_t n = m.FaceCount();
    if (values.ndim() != 1 || static_cast<size_t>(values.shape(0)) != n)
      Refuse(Quantity("values") + ": one per facet (" + std::to_string(n) + ")");
    const std::vector<double> v(values.data(), values.data() + n);
    const auto table = science::ColourMap(picture.map);
    const science::Range r = science::ColourRange(v, science::FaceAreas(m), picture);
    const auto colours = science::Colours(v, r, table);
    science::Outputs outputs(read);
    FILE* stl_out = stl.empty() ? nullptr : outputs.Open("stl", stl);
    FILE* png_out = png.empty() ? nullptr : outputs.Open("png", png);
    FILE* picture_out = picture_path.empty() ? nullptr : outputs.Open("picture", picture_path);
    FILE* latlon_out = latlon.empty() ? nullptr : outputs.Open("latlon", latlon);
    // A figure of a large model takes seconds: drawn without the GIL, and
    // stopped by Ctrl-C (no file is then written).
    try {
      py::gil_scoped_release free;
      if (stl_out && !science::WriteColouredStl(stl_out, m, colours))
        throw Failure(stl + ": write error");
      if (png_out && !science::WritePicture(png_out, figure::Output::kPng, m, v, colours, table, r,
                                            label, picture, &StillWanted))
        throw Failure(png + ": write error");
      if (picture_out && !science::WritePicture(picture_out, figure::OutputFor(picture_path), m, v,
                                                colours, table, r, label, picture, &StillWanted))
        throw Failure(picture_path + ": write error");
      if (latlon_out &&
          !science::WriteMap(latlon_out, figure::OutputFor(latlon), m, body_->CentreOfMass(), v,
                             colours, table, r, label, picture, &StillWanted))
        throw Failure(latlon + ": write error");
      outputs.Commit();
    } catch (const science::Stopped&) {
      outputs.Abandon();
      throw py::error_already_set();
    }
    return {r.min, r.max};
  }

 protected:
  Model() = default;
  Model(std::string unit, double scale, std::string path)
      : unit_(std::move(unit)), scale_(scale), path_(std::move(path)) {}

  // After the first evaluation that checked the body: a warning for each
  // two parts of positive density that overlap.
  void Warn(bool checked) {
    if (!checked || warned_ || body_->PartCount() < 2) return;
    warned_ = true;
    for (const std::string& line : body_->Placed().overlaps)
      if (PyErr_WarnEx(PyExc_UserWarning, line.c_str(), 1) < 0) throw py::error_already_set();
  }

  void Build(mesh::Mesh m) {
    body_ = std::make_unique<science::Body>(std::move(m), 1);
    body_->SetName(path_);
  }

  // A model of this one's unit from a placed copy, named after this one.
  std::unique_ptr<Model> Placed(mesh::Mesh m, const char* how) const {
    auto placed = std::unique_ptr<Model>(new Model());
    placed->unit_ = unit_;
    placed->scale_ = scale_;
    placed->Build(std::move(m));
    placed->body_->SetName((body_->name().empty() ? "arrays" : body_->name()) + " " + how);
    // Its results are still of the files this one came from.
    for (const auto& [quantity, path] : body_->sources()) placed->body_->AddSource(quantity, path);
    return placed;
  }

  science::UnitsRequest Units(const UnitsArgs& a) const {
    science::UnitsRequest r;
    r.density = a.density;
    r.mass = a.mass;
    r.gm = a.gm;
    r.G = a.G;
    r.unit = unit_;
    r.scale = scale_;
    return r;
  }

  static py::dict UnitNames(const science::Units& u) {
    py::dict d;
    const std::string L = u.Si() ? u.unit : "model units";
    d["length"] = L;
    d["volume"] = L + "^3";
    d["area"] = L + "^2";
    d["U"] = u.Si() ? "m^2/s^2" : "G rho = 1";
    d["g"] = u.Si() ? "m/s^2" : "G rho = 1";
    d["slope"] = "deg";
    if (u.Si()) d["mass"] = "kg", d["GM"] = "m^3/s^2", d["density"] = "kg/m^3";
    d["inertia"] = u.Si() ? "kg m^2" : "unit density, model units^5";
    return d;
  }

  static py::dict InertiaDict(const science::Inertia& in, const science::Units& u) {
    py::dict d;
    d["tensor"] = Matrix(in.tensor);
    py::array_t<double> moments(3);
    std::copy(in.moments.begin(), in.moments.end(), moments.mutable_data());
    d["moments"] = moments;
    d["axes"] = Matrix(in.axes);
    d["centre_of_mass"] = py::make_tuple(in.centre[0], in.centre[1], in.centre[2]);
    d["unit"] = u.Si() ? "kg m^2" : "unit density, model units^5";
    return d;
  }

  std::string unit_;
  double scale_ = 1;
  std::string path_;  // "" for arrays
  std::unique_ptr<science::Body> body_;
  bool warned_ = false;

  friend class Body;
};

// A body of parts, each a model or a file with its density, and point
// masses: Model's field, surface, harmonics and inertia over all of them.
class Body : public Model {
 public:
  Body(const py::sequence& parts, const py::object& mascons, std::optional<std::string> unit) {
    const py::module_ os = py::module_::import("os");
    const auto is_path = [](const py::handle& h) {
      return py::isinstance<py::str>(h) || py::hasattr(h, "__fspath__");
    };
    if (parts.size() == 0) Refuse(Quantity("add") + ": at least one (model or path, density) pair");
    std::vector<std::pair<py::object, double>> items;
    for (size_t i = 0; i < parts.size(); ++i) {
      const py::object item = parts[i];
      if (!py::isinstance<py::sequence>(item) || is_path(item) || py::len(item) != 2 ||
          !(is_path(item[py::int_(0)]) || py::isinstance<Model>(item[py::int_(0)])))
        Refuse(Quantity("add") + "[" + std::to_string(i) + "]: a (model or path, density) pair");
      items.emplace_back(item[py::int_(0)], item[py::int_(1)].cast<double>());
      // The body's unit: the first model's, else metres.
      if (!unit && py::isinstance<Model>(items.back().first))
        unit = items.back().first.cast<const Model&>().unit_;
    }
    unit_ = unit.value_or("m");
    science::MetresOf(unit_);
    for (size_t i = 0; i < items.size(); ++i) {
      const std::string what = Quantity("add") + "[" + std::to_string(i) + "]";
      mesh::Mesh m;
      std::string name;
      science::FileList sources;
      if (py::isinstance<Model>(items[i].first)) {
        const Model& model = items[i].first.cast<const Model&>();
        if (model.unit_ != unit_)
          Refuse(what + ": a model in " + model.unit_ + " in a body in " + unit_ +
                 " (give the body's unit=)");
        m = model.body_->model();
        name = model.body_->name();
        sources = model.body_->sources();
      } else {
        name = os.attr("fspath")(items[i].first).cast<std::string>();
        m = science::LoadModel(name);
        sources = {{"add", name}};
      }
      if (i == 0) {
        path_ = py::isinstance<Model>(items[i].first) ? "" : name;
        Build(std::move(m));
        body_->SetName(name);
        body_->SetDensity(items[i].second, what);
      } else {
        body_->AddPart(std::move(m), items[i].second, name, what);
      }
      for (auto& [quantity, path] : sources) body_->AddSource(quantity, path);
    }
    body_->SetUnit(unit_);
    if (mascons.is_none()) return;
    if (is_path(mascons)) {
      const std::string path = os.attr("fspath")(mascons).cast<std::string>();
      body_->AddMascons(science::ReadMascons(path), path);
      body_->AddSource("mascons", path);
      return;
    }
    const Array rows = Array::ensure(mascons);
    if (!rows || rows.ndim() != 2 || rows.shape(1) != 4)
      Refuse(Quantity("mascons") + ": an array of shape (k, 4), x y z mass, or a file's path");
    body_->AddMascons(
        science::MasconsFromRows(rows.data(), static_cast<size_t>(rows.shape(0)), "mascons"), "");
  }

  double mass() const { return science::MassOf(*body_, science::Resolve(Units({}), *body_)).mass; }
  py::tuple centre_of_mass() const {
    const auto c = science::MassOf(*body_, science::Resolve(Units({}), *body_)).centre;
    return py::make_tuple(c[0], c[1], c[2]);
  }
  size_t parts() const { return body_->PartCount(); }
  size_t mascons() const { return body_->mascons().size(); }
  // The lines the program's header gives the body.
  std::vector<std::string> describe() const {
    return science::BodyLines(*body_, science::Resolve(Units({}), *body_));
  }
  std::string repr() const {
    return "polyfield.Body(" + std::to_string(parts()) + (parts() == 1 ? " part" : " parts") +
           (mascons() ? ", " + std::to_string(mascons()) +
                            (mascons() == 1 ? " point mass" : " point masses")
                      : "") +
           ", mass " + ShortestDigits(mass()) + " kg, lengths in " + unit_ + ")";
  }
  // What a pickle carries: every part as a model's state with its density,
  // the point masses as rows x y z mass, the unit, and the point masses'
  // file ("" for arrays).
  py::tuple GetState() const {
    py::list parts;
    for (size_t i = 0; i < body_->PartCount(); ++i) {
      const science::Part& p = body_->part(i);
      parts.append(py::make_tuple(StateOf(p.model(), unit_, 1.0, p.name()), p.density()));
    }
    const auto& q = body_->mascons();
    py::array_t<double> rows({static_cast<py::ssize_t>(q.size()), py::ssize_t{4}});
    for (size_t i = 0; i < q.size(); ++i) {
      double* r = rows.mutable_data() + 4 * i;
      r[0] = q[i].x, r[1] = q[i].y, r[2] = q[i].z, r[3] = q[i].mass;
    }
    return py::make_tuple(1, parts, rows, unit_, body_->mascon_source());
  }
  // A state without the point masses' file (four items) is an older one's.
  static std::unique_ptr<Body> FromState(const py::tuple& state) {
    if (state.size() < 4 || state.size() > 5 || state[0].cast<int>() != 1)
      throw py::value_error("Body: not a pickled polyfield body of this version");
    py::list parts;
    for (const py::handle item : state[1].cast<py::list>()) {
      const py::tuple part = item.cast<py::tuple>();
      parts.append(py::make_tuple(py::cast(Model::FromState(part[0].cast<py::tuple>())), part[1]));
    }
    const auto rows = state[2].cast<py::array_t<double, py::array::c_style>>();
    auto body = std::make_unique<Body>(parts, py::none(), state[3].cast<std::string>());
    if (rows.ndim() != 2 || rows.shape(1) != 4)
      throw py::value_error("Body: not a pickled polyfield body of this version");
    if (rows.shape(0) == 0) return body;
    const std::string source = state.size() == 5 ? state[4].cast<std::string>() : "";
    body->body_->AddMascons(
        science::MasconsFromRows(rows.data(), static_cast<size_t>(rows.shape(0)), "mascons"),
        source);
    body->body_->AddSource("mascons", source);
    return body;
  }

  // Every part's check report.
  py::list check() const {
    py::list reports;
    for (size_t i = 0; i < body_->PartCount(); ++i) reports.append(Report(body_->part(i).Check()));
    return reports;
  }
};

// Raises the Python exception of a library failure, its quantities spelled
// as this module's parameters.
void Raise(const Failure& e) {
  const std::string message = e.Spelled(&Spelling);
  switch (e.kind()) {
    case Failure::Kind::kNotFound: {
      // As open() raises it: errno, strerror and the file's name.
      const std::string path = message.substr(0, message.rfind(": cannot be opened"));
      py::object error =
          py::reinterpret_borrow<py::object>(not_found_type)(ENOENT, std::strerror(ENOENT), path);
      PyErr_SetObject(not_found_type, error.ptr());
      return;
    }
    case Failure::Kind::kBadValue:
      PyErr_SetString(value_type, message.c_str());
      return;
    case Failure::Kind::kUnfit:
    case Failure::Kind::kMisplaced:
      PyErr_SetString(error_type, (message + " (check=False evaluates anyway)").c_str());
      return;
    case Failure::Kind::kOther:
      PyErr_SetString(error_type, message.c_str());
      return;
  }
}

PyObject* NewType(py::module_& m, const char* name, std::initializer_list<PyObject*> bases,
                  const char* doc) {
  py::tuple b(bases.size());
  size_t i = 0;
  for (PyObject* base : bases) b[i++] = py::reinterpret_borrow<py::object>(base);
  const std::string full = std::string("polyfield.") + name;
  PyObject* type = PyErr_NewExceptionWithDoc(full.c_str(), doc, b.ptr(), nullptr);
  if (!type) throw py::error_already_set();
  m.add_object(name, py::reinterpret_borrow<py::object>(type));
  return type;
}

}  // namespace

PYBIND11_MODULE(polyfield, m) {
  m.doc() =
      "The gravitational potential and attraction of a homogeneous solid bounded by a "
      "triangulated polyhedron, in closed form. U > 0, g = grad U; SI units with a density "
      "(kg/m^3), a mass (kg) or GM (m^3/s^2), else G rho = 1 in the model's unit.";
  m.attr("__version__") = POLYFIELD_VERSION;
  m.attr("G") = science::kG;
  // Under a tolerance `field` evaluates its points in sections of this many.
  m.attr("FIELD_SECTION") = science::kFieldSection;
  // The suite's units end through Error; inside Python their message becomes
  // an exception, and nothing ever calls exit().
  SetErrorHook([](const char* message) { throw Failure(message); });
  error_type = NewType(m, "Error", {PyExc_RuntimeError}, "A failure of polyfield.");
  not_found_type = NewType(m, "FileNotFoundError", {PyExc_FileNotFoundError, error_type},
                           "A model file that does not exist.");
  value_type = NewType(m, "ValueError", {PyExc_ValueError, error_type},
                       "A parameter's value refused, before any model is read.");
  memory_type = NewType(m, "MemoryError", {PyExc_MemoryError, error_type},
                        "Memory exhausted, on the calling thread or a worker.");
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const Failure& e) {
      Raise(e);
    } catch (const std::bad_alloc&) {
      PyErr_SetString(memory_type, "out of memory");
    } catch (const py::error_already_set&) {
      throw;
    } catch (const py::builtin_exception&) {
      throw;
    } catch (const std::exception& e) {
      PyErr_SetString(error_type, e.what());
    }
  });

  const auto units_args = [](std::optional<double> density, std::optional<double> mass,
                             std::optional<double> gm, std::optional<double> G) {
    return UnitsArgs{density, mass, gm, G};
  };
  const auto evaluation = [](std::optional<double> tolerance, std::optional<unsigned> threads,
                             bool check) {
    science::Evaluation e;
    e.tolerance = tolerance;
    e.threads = threads;
    e.check = check;
    return e;
  };

  py::class_<Harmonics>(m, "Harmonics",
                        "Stokes coefficients (4-pi fully normalised, no Condon-Shortley phase).")
      .def_property_readonly("degree", &Harmonics::degree)
      .def_property_readonly("C", &Harmonics::C, "C[n, m], shape (N + 1, N + 1)")
      .def_property_readonly("S", &Harmonics::S, "S[n, m], shape (N + 1, N + 1)")
      .def_property_readonly("GM", &Harmonics::GM,
                             "m^3/s^2 with a density, mass or GM (gm exactly as given); without "
                             "them the volume (G rho = 1)")
      .def_property_readonly("reference_radius", &Harmonics::reference_radius, "model units")
      .def_property_readonly("origin", &Harmonics::origin, "model units")
      .def("write", &Harmonics::write, py::arg("path"), py::arg("format") = "tsv",
           "The program's file: tsv, csv, npy, icgem or shadr.");

  m.def(
      "grid",
      [](double radius, std::pair<uint32_t, uint32_t> shape, std::array<double, 3> centre) {
        const science::Grid g =
            science::MakeGrid(science::GridRequest{radius, shape.first, shape.second, {}}, centre);
        return py::make_tuple(Stack(g.x, g.y, g.z), Vector(g.lat), Vector(g.lon));
      },
      py::arg("radius"), py::arg("shape"), py::arg("centre") = std::array<double, 3>{0, 0, 0},
      "(points, lat, lon) of the grid of shape (nlat, nlon) on the sphere of radius about "
      "centre: cell centres, rows from north to south (lat 90 - (i + 1/2) 180 / nlat), "
      "longitudes eastward from -180 (-180 + (j + 1/2) 360 / nlon), point i nlon + j; "
      "points (nlat nlon, 3), lat and lon (nlat nlon,) in degrees.");

  py::class_<Model>(m, "Model",
                    "A model: a file in any format polyfield reads, vertex and face arrays, or "
                    "an object with vertices and faces arrays (trimesh-like).")
      .def(py::init(&Model::FromObject), py::arg("path"), py::arg("unit") = "m",
           py::arg("scale") = 1.0)
      .def(py::init([](const py::object& v, const py::object& f, const std::string& unit,
                       double scale) { return std::make_unique<Model>(v, f, unit, scale); }),
           py::arg("vertices"), py::arg("faces"), py::arg("unit") = "m", py::arg("scale") = 1.0)
      .def_static("from_meshio", &Model::FromMeshio, py::arg("mesh"), py::arg("unit") = "m",
                  py::arg("scale") = 1.0,
                  "The triangles of a meshio.Mesh (cells of points and lines are left aside).")
      .def(py::pickle([](const Model& self) { return self.GetState(); },
                      [](const py::tuple& state) { return Model::FromState(state); }))
      .def_property_readonly("volume", &Model::volume)
      .def_property_readonly("centroid", &Model::centroid)
      .def_property_readonly("area", &Model::area)
      .def_property_readonly("facets", &Model::facets)
      .def("__repr__", &Model::repr)
      .def("check", &Model::check, "The check report, as a dict (made once per model).")
      .def(
          "field",
          [=](Model& self, const Array& points, std::optional<double> density,
              std::optional<double> mass, std::optional<double> gm, std::optional<double> G,
              bool gradient, std::optional<double> tolerance, std::optional<unsigned> threads,
              bool check) {
            return self.field(points, units_args(density, mass, gm, G), gradient,
                              evaluation(tolerance, threads, check));
          },
          py::arg("points"), py::arg("density") = py::none(), py::arg("mass") = py::none(),
          py::arg("gm") = py::none(), py::arg("G") = py::none(), py::arg("gradient") = false,
          py::arg("tolerance") = py::none(), py::arg("threads") = py::none(),
          py::arg("check") = true,
          "(U, g) at points (n, 3): shapes (n,) and (n, 3); at one point (3,): a float and "
          "(3,). With gradient=True also the tensor (n, 6) or (6,): xx, xy, xz, yy, yz, zz. "
          "Under a tolerance the points go in sections of FIELD_SECTION, each within it of its "
          "own largest values.")
      .def(
          "surface",
          [=](Model& self, std::optional<double> density, std::optional<double> mass,
              std::optional<double> gm, std::optional<double> G, std::optional<double> spin_period,
              std::optional<std::array<double, 3>> spin_axis,
              std::optional<std::vector<double>> slopes, std::optional<double> tolerance,
              std::optional<unsigned> threads, bool check) {
            return self.surface(units_args(density, mass, gm, G), spin_period, spin_axis, slopes,
                                evaluation(tolerance, threads, check));
          },
          py::arg("density") = py::none(), py::arg("mass") = py::none(), py::arg("gm") = py::none(),
          py::arg("G") = py::none(), py::arg("spin_period") = py::none(),
          py::arg("spin_axis") = py::none(), py::arg("slopes") = py::none(),
          py::arg("tolerance") = py::none(), py::arg("threads") = py::none(),
          py::arg("check") = true,
          "Per-facet arrays at the facet centroids (spin_period in hours) and a summary.")
      .def(
          "grid",
          [=](Model& self, std::optional<double> radius,
              std::optional<std::pair<uint32_t, uint32_t>> shape, std::optional<double> altitude,
              std::optional<double> density, std::optional<double> mass, std::optional<double> gm,
              std::optional<double> G, std::optional<double> tolerance,
              std::optional<unsigned> threads, bool check) {
            return self.grid(radius, shape, altitude, units_args(density, mass, gm, G),
                             evaluation(tolerance, threads, check));
          },
          py::arg("radius") = py::none(), py::arg("shape") = py::none(),
          py::arg("altitude") = py::none(), py::arg("density") = py::none(),
          py::arg("mass") = py::none(), py::arg("gm") = py::none(), py::arg("G") = py::none(),
          py::arg("tolerance") = py::none(), py::arg("threads") = py::none(),
          py::arg("check") = true,
          "The field on polyfield.grid(radius, shape, centre of mass), or with altitude instead "
          "of radius at that height above the outermost surface along each direction: lat, "
          "lon, points, U, g, "
          "gr = g . r-hat, dU = U - GM/r, dg = g + GM r/r^3 (r from the centre of mass), each "
          "of shape (nlat, nlon) or (nlat, nlon, 3), and GM.")
      .def(
          "inertia",
          [=](const Model& self, std::optional<double> density, std::optional<double> mass,
              std::optional<double> gm,
              std::optional<double> G) { return self.inertia(units_args(density, mass, gm, G)); },
          py::arg("density") = py::none(), py::arg("mass") = py::none(), py::arg("gm") = py::none(),
          py::arg("G") = py::none(),
          "The inertia tensor about the centre of mass (kg m^2 with a density, mass or GM; "
          "else for unit density), its principal moments (increasing) and axes (rows).")
      .def(
          "harmonics",
          [=](Model& self, int degree, std::optional<double> reference_radius,
              std::optional<double> density, std::optional<double> mass, std::optional<double> gm,
              std::optional<double> G, const std::string& origin, std::optional<unsigned> threads) {
            return self.harmonics(degree, reference_radius, units_args(density, mass, gm, G),
                                  origin, threads);
          },
          py::arg("degree"), py::arg("reference_radius") = py::none(),
          py::arg("density") = py::none(), py::arg("mass") = py::none(), py::arg("gm") = py::none(),
          py::arg("G") = py::none(), py::arg("origin") = "model", py::arg("threads") = py::none(),
          "The exact spherical-harmonic coefficients of the homogeneous body (reference radius "
          "in model units, default the Brillouin radius; origin \"model\" or "
          "\"centre-of-mass\").")
      .def(
          "write_colours",
          [](Model& self, const Array& values, const std::string& stl, const std::string& png,
             const std::string& picture_path, const std::string& latlon, const std::string& map,
             std::optional<Pair> range, Pair percentiles, const std::string& label, Pair view,
             std::pair<uint32_t, uint32_t> size, const std::string& background,
             const std::string& shading, const std::string& title) {
            science::PictureRequest picture;
            picture.map = map;
            picture.range = range;
            picture.percentiles = percentiles;
            picture.view = view;
            picture.size = size;
            picture.background = background;
            picture.shading = shading;
            picture.title = title;
            return self.write_colours(values, stl, png, picture_path, latlon, picture, label);
          },
          py::arg("values"), py::arg("stl") = "", py::arg("png") = "", py::arg("picture") = "",
          py::arg("latlon") = "", py::arg("map") = science::PictureRequest{}.map,
          py::arg("range") = py::none(),
          py::arg("percentiles") = science::PictureRequest{}.percentiles, py::arg("label") = "",
          py::arg("view") = science::PictureRequest{}.view,
          py::arg("size") = science::PictureRequest{}.size,
          py::arg("background") = science::PictureRequest{}.background,
          py::arg("shading") = science::PictureRequest{}.shading, py::arg("title") = "",
          "Coloured binary STL, picture (png: PNG; picture: PNG, PDF or SVG by the extension) "
          "and latitude-longitude map about the centre of mass (latlon: by the extension) by "
          "one value per facet; returns the range.")
      .def("translated", &Model::translated, py::arg("offset"),
           "A new model moved by offset (x, y, z), in the model's unit.")
      .def("scaled", &Model::scaled, py::arg("factor"),
           "A new model multiplied by factor (positive) about the origin.")
      .def("rotated", &Model::rotated, py::arg("matrix"),
           "A new model turned about the origin by the rotation matrix R (x' = R x).");

  py::class_<Body>(m, "Body",
                   "A body of parts, each a Model or a model file with its density in kg/m^3 "
                   "(negative for a cavity or a lighter core: where parts overlap their densities "
                   "add), and point masses (an array of rows x y z mass, or a file of such "
                   "lines); the first part's surface is the body's. Results in SI units.")
      .def(py::init<const py::sequence&, const py::object&, std::optional<std::string>>(),
           py::arg("parts"), py::arg("mascons") = py::none(), py::arg("unit") = py::none())
      .def(py::pickle([](const Body& self) { return self.GetState(); },
                      [](const py::tuple& state) { return Body::FromState(state); }))
      .def_property_readonly("mass", &Body::mass, "kg")
      .def_property_readonly("centre_of_mass", &Body::centre_of_mass, "in the body's unit")
      .def_property_readonly("parts", &Body::parts)
      .def_property_readonly("mascons", &Body::mascons)
      .def("describe", &Body::describe, "The lines the program's header gives the body.")
      .def("__repr__", &Body::repr)
      .def("check", &Body::check, "Each part's check report, as dicts.")
      .def(
          "field",
          [=](Body& self, const Array& points, std::optional<double> G, bool gradient,
              std::optional<double> tolerance, std::optional<unsigned> threads, bool check) {
            return self.field(points, units_args({}, {}, {}, G), gradient,
                              evaluation(tolerance, threads, check));
          },
          py::arg("points"), py::arg("G") = py::none(), py::arg("gradient") = false,
          py::arg("tolerance") = py::none(), py::arg("threads") = py::none(),
          py::arg("check") = true, "As Model.field, the densities the parts'.")
      .def(
          "surface",
          [=](Body& self, std::optional<double> G, std::optional<double> spin_period,
              std::optional<std::array<double, 3>> spin_axis,
              std::optional<std::vector<double>> slopes, std::optional<double> tolerance,
              std::optional<unsigned> threads, bool check) {
            return self.surface(units_args({}, {}, {}, G), spin_period, spin_axis, slopes,
                                evaluation(tolerance, threads, check));
          },
          py::arg("G") = py::none(), py::arg("spin_period") = py::none(),
          py::arg("spin_axis") = py::none(), py::arg("slopes") = py::none(),
          py::arg("tolerance") = py::none(), py::arg("threads") = py::none(),
          py::arg("check") = true,
          "As Model.surface, on the first part's surface, U0 and the spin about the body's "
          "centre of mass.")
      .def(
          "inertia", [](const Body& self) { return self.inertia({}); },
          "The body's inertia tensor about its centre of mass (kg m^2), principal moments and "
          "axes.")
      .def(
          "harmonics",
          [](Body& self, int degree, std::optional<double> reference_radius,
             std::optional<double> G, const std::string& origin, std::optional<unsigned> threads) {
            return self.harmonics(degree, reference_radius, UnitsArgs{{}, {}, {}, G}, origin,
                                  threads);
          },
          py::arg("degree"), py::arg("reference_radius") = py::none(), py::arg("G") = py::none(),
          py::arg("origin") = "model", py::arg("threads") = py::none(),
          "As Model.harmonics: the coefficients of every part and point mass.");
}
