// The Python face of the front end's library: numpy arrays in and out, the
// same requests, checks, field, tensor, surface products and summary as the
// polyfield program, failures as Python exceptions (subclasses of
// polyfield.Error) whose messages name the Python parameters.
#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>
#include <tuple>

#include "common/error.h"
#include "common/failure.h"
#include "common/print.h"
#include "mesh/check.h"
#include "mesh/mesh.h"
#include "science/body.h"
#include "science/derivatives.h"
#include "science/equilibria.h"
#include "science/field.h"
#include "science/fit.h"
#include "science/grid.h"
#include "science/harmonics.h"
#include "science/model.h"
#include "science/netcdf.h"
#include "science/outputs.h"
#include "science/products.h"
#include "science/request.h"
#include "science/series.h"
#include "science/shape_harmonics.h"
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
  if (name == "continue") return "continuation";
  return std::string(name);
}

// The exception types, made when the module is imported.
PyObject* error_type = nullptr;
PyObject* not_found_type = nullptr;
PyObject* value_type = nullptr;
PyObject* memory_type = nullptr;
PyObject* units_warning_type = nullptr;

// A warning of this module's: a Python warning from the line that called.
void Warning(PyObject* category, const std::string& message) {
  if (PyErr_WarnEx(category, message.c_str(), 1) < 0) throw py::error_already_set();
}

// The warnings of a request's units and spin (science::Cautions, spelled as
// this module's parameters), and once a process the note that results come
// in the G rho = 1 convention when no density, mass or gm was given (for
// results that have that convention: not the inertia's unit density).
void Caution(const science::Units& u, const std::optional<double>& spin_period = std::nullopt,
             bool normalised = true) {
  for (const std::string& line : science::Cautions(u, spin_period))
    Warning(units_warning_type, Failure(line).Spelled(&Spelling));
  static bool told = false;
  if (!normalised || u.Physical() || told) return;
  told = true;
  Warning(units_warning_type,
          "no density, mass or gm given: the results are in the G rho = 1 convention (G times "
          "the density taken as 1, lengths in the model's unit), not in SI units; give "
          "density= in kg/m^3 for SI units (told once a process)");
}

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
bool PythonMore(double) {
  py::gil_scoped_acquire hold;
  return PyErr_CheckSignals() == 0;
}

// The `more` of a long call: Ctrl-C (PythonMore), and the caller's
// progress callback told the fraction done, with the GIL; an exception it
// raises stops the call and is raised once the call has returned. The
// callback is told 1.0 when the call ends.
class Progress {
 public:
  explicit Progress(const py::object& callback) : callback_(callback) {}
  science::More More() {
    return [this](double share) { return Tell(share); };
  }
  // With the GIL, after a call that finished: the last report.
  void Finish() {
    if (!callback_.is_none() && last_ < 1) callback_(1.0);
  }
  // With the GIL, after a call that stopped: the callback's exception, or
  // the interrupt.
  [[noreturn]] void Raise() const {
    if (error_) std::rethrow_exception(error_);
    throw py::error_already_set();
  }

 private:
  bool Tell(double share) {
    if (!PythonMore(share)) return false;
    if (callback_.is_none()) return true;
    py::gil_scoped_acquire hold;
    try {
      callback_(share);
    } catch (...) {
      error_ = std::current_exception();
      return false;
    }
    last_ = share;
    return true;
  }
  py::handle callback_;  // the caller's, alive through the call
  std::exception_ptr error_;
  double last_ = 0;
};

// A parameter that may be left out: a number, a count of threads.
using Number = std::optional<double>;
using Count = std::optional<unsigned>;

science::Evaluation Evaluating(Number tolerance, Count threads, bool check) {
  science::Evaluation e;
  e.tolerance = tolerance;
  e.threads = threads;
  e.check = check;
  return e;
}

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
  // The units: lengths (the reference radius, the origin, the points) in the
  // model's unit; GM in m^3/s^2, or the volume in the model's unit cubed
  // under G rho = 1.
  bool si() const { return h_.units.Physical(); }
  std::string length_unit() const { return h_.units.unit; }
  std::string GM_unit() const { return si() ? "m^3/s^2" : h_.units.unit + "^3 (G rho = 1)"; }
  double reference_radius_m() const { return h_.ReferenceRadiusMetres(); }
  std::string repr() const {
    const auto& o = h_.origin;
    return "polyfield.Harmonics(degree " + std::to_string(h_.degree) + ", GM " +
           ShortestDigits(GM()) + " " + GM_unit() + ", reference radius " +
           ShortestDigits(h_.reference_radius) + " " + length_unit() +
           (h_.brillouin ? " (Brillouin)" : "") + ", origin (" + ShortestDigits(o[0]) + ", " +
           ShortestDigits(o[1]) + ", " + ShortestDigits(o[2]) + ") " + length_unit() +
           (h_.origin_kind == science::HarmonicOrigin::kCentreOfMass ? " (centre of mass)" : "") +
           ")";
  }

  // The series at points of the model's unit: U, or g = grad U, in the units
  // of GM (SI: m^2/s^2, m/s^2), to max_degree.
  py::object potential(const Array& points, std::optional<int> max_degree) const {
    return Series(points, max_degree, false);
  }
  py::object acceleration(const Array& points, std::optional<int> max_degree) const {
    return Series(points, max_degree, true);
  }

  // Warns (UserWarning) as the program does when the file is one for orbit
  // propagators of coefficients about the model's origin.
  void write(const std::string& path, const std::string& format) const {
    science::CheckPath("path", path);
    const science::HarmonicsFormat f = science::HarmonicsFormatOf(format);
    // What the file would refuse, before the warning.
    science::CheckHarmonicsFile(f, h_.units);
    science::HarmonicsFiles(path, f, "path");
    const std::string warning = science::HarmonicsFileWarning(h_, f);
    if (!warning.empty() &&
        PyErr_WarnEx(PyExc_UserWarning, Failure(warning).Spelled(&Spelling).c_str(), 1) < 0)
      throw py::error_already_set();
    science::WriteHarmonics(path, h_, f, "path");
  }

 private:
  py::object Series(const Array& points, std::optional<int> max_degree, bool gradient) const {
    const bool single = points.ndim() == 1 && points.shape(0) == 3;
    if (!single && (points.ndim() != 2 || points.shape(1) != 3))
      Refuse(Quantity("points") + ": an array of shape (n, 3), or (3,) for one point");
    const size_t n = single ? 1 : static_cast<size_t>(points.shape(0));
    py::array_t<double> U(static_cast<py::ssize_t>(n));
    py::array_t<double> g({static_cast<py::ssize_t>(n), py::ssize_t{3}});
    size_t inside;
    {
      py::gil_scoped_release free;
      inside =
          science::SeriesAt(h_, max_degree, n, points.data(), gradient ? nullptr : U.mutable_data(),
                            gradient ? g.mutable_data() : nullptr);
    }
    if (inside)
      Warning(PyExc_UserWarning, std::to_string(inside) + " of the " + std::to_string(n) +
                                     " points lie inside the Brillouin sphere (radius " +
                                     ShortestDigits(h_.reference_radius) + " " + length_unit() +
                                     "), where the series need not converge");
    if (gradient) return single ? g.attr("reshape")(3) : py::object(g);
    return single ? py::object(py::float_(U.at(0))) : py::object(U);
  }

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
  Model(const std::string& path, const std::string& unit, double scale) {
    science::MetresOf(unit);
    Build({path, {}, {}, "", {{"model", path}}}, unit, scale);
  }

  // Vertex and face arrays; faces of integers, or of floats that are whole.
  Model(const py::object& vertices, const py::object& faces, const std::string& unit,
        double scale) {
    science::MetresOf(unit);
    const Array v = Array::ensure(vertices);
    if (!v || v.ndim() != 2 || v.shape(1) != 3)
      Refuse(Quantity("vertices") + ": an array of shape (V, 3)");
    const py::array f = py::array::ensure(faces);
    if (!f || f.ndim() != 2 || f.shape(1) != 3)
      Refuse(Quantity("faces") + ": an array of shape (F, 3)");
    const size_t V = static_cast<size_t>(v.shape(0)), F = static_cast<size_t>(f.shape(0));
    using Indices = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;
    mesh::Mesh m;
    if (f.dtype().kind() == 'f')
      m = science::ModelFromArrays(v.data(), V, Array::ensure(f).data(), F, scale);
    else if (f.dtype().kind() == 'i' || f.dtype().kind() == 'u' || F == 0)
      m = science::ModelFromArrays(v.data(), V, Indices::ensure(f).data(), F, scale);
    else
      Refuse(Quantity("faces") + ": vertex indices, integers");
    Build({"", std::move(m), {}, "", {}}, unit, scale);
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
  py::tuple GetState() const {
    return StateOf(body_->model(), body_->unit(), body_->scale(), body_->File());
  }
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
    const auto v = state[1].cast<py::array_t<double, py::array::c_style>>();
    const auto f = state[2].cast<py::array_t<uint32_t, py::array::c_style>>();
    const auto normals = state[3].cast<py::array_t<float, py::array::c_style>>();
    mesh::Mesh m;
    m.vertices.assign(v.data(), v.data() + v.size());
    m.faces.assign(f.data(), f.data() + f.size());
    m.normals.assign(normals.data(), normals.data() + normals.size());
    for (const uint32_t i : m.faces)
      if (i >= m.VertexCount()) throw py::value_error("Model: a face names no vertex");
    auto model = std::unique_ptr<Model>(new Model());
    const std::string path = state[6].cast<std::string>();
    model->Build({path, std::move(m), {}, "", {{"model", path}}}, state[4].cast<std::string>(),
                 state[5].cast<double>());
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
    const std::string path = body_->File();
    const double scale = body_->scale();
    return "polyfield.Model(" + (path.empty() ? "" : "'" + path + "', ") +
           std::to_string(facets()) + " facets, volume " + ShortestDigits(volume()) + " " +
           body_->unit() + "^3" + (scale == 1 ? "" : ", scale " + ShortestDigits(scale)) +
           ", lengths in " + body_->unit() + ")";
  }

  py::dict check() const { return Report(body_->Check()); }

  // The model's arrays, read-only views kept alive by the model: vertices
  // (V, 3) in the model's unit (after the scale), faces (F, 3) of vertex
  // indices.
  static py::array vertices(const py::object& self) {
    const mesh::Mesh& m = self.cast<const Model&>().body_->model();
    return View(py::array_t<double>({static_cast<py::ssize_t>(m.VertexCount()), py::ssize_t{3}},
                                    m.vertices.data(), self));
  }
  static py::array faces(const py::object& self) {
    const mesh::Mesh& m = self.cast<const Model&>().body_->model();
    return View(py::array_t<uint32_t>({static_cast<py::ssize_t>(m.FaceCount()), py::ssize_t{3}},
                                      m.faces.data(), self));
  }
  static py::array View(py::array a) {
    a.attr("setflags")(py::arg("write") = false);
    return a;
  }

  // The report under the program's labels (polyfield check: "boundary
  // edges", "signed volume", "verdict"...) and, as before, under names.
  static py::dict Report(const mesh::CheckReport& r) {
    py::dict d;
    for (const auto& [label, count] : r.Counts()) d[py::str(label)] = count;
    d["STL solids"] = r.solids;
    d["STL normals against the winding"] = r.normals_against_winding;
    d["STL normals"] = r.stl_normals;
    d["signed volume"] = r.volume;
    d["verdict"] = r.Verdict();
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

  py::tuple field(const Array& points, Number density, Number mass, Number gm, Number G,
                  bool gradient, Number tolerance, Count threads, bool check,
                  const py::object& progress) {
    science::FieldRequest request;
    request.units = Units(density, mass, gm, G);
    request.evaluation = Evaluating(tolerance, threads, check);
    request.gradient = gradient;
    science::Validate(request, *body_);
    Caution(science::Resolve(request.units, *body_));
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
    Progress told(progress);
    bool finished;
    {
      py::gil_scoped_release free;
      finished =
          science::FieldOf(*body_, request, n, x.data(), y.data(), z.data(),
                           {U.data(), gx.data(), gy.data(), gz.data(), T.data()}, told.More());
    }
    if (!finished) told.Raise();
    told.Finish();
    Warn(request.evaluation.check);
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

  // Every equilibrium of the spinning body (science/equilibria.h), as
  // arrays a point each, and how completeness was established.
  py::dict equilibria(Number density, Number mass, Number gm, Number G, Number spin_period,
                      std::optional<std::array<double, 3>> spin_axis, Count seeds,
                      const std::string& continuation, Number tolerance, Count threads, bool check,
                      const py::object& progress, const std::string& picture) {
    science::EquilibriaRequest request;
    request.units = Units(density, mass, gm, G);
    request.evaluation = Evaluating(tolerance, threads, check);
    request.spin_period = spin_period;
    if (spin_axis) request.spin_axis = *spin_axis;
    request.seeds = seeds.value_or(0);
    if (!continuation.empty() && !picture.empty()) Refuse("picture= and continuation=: give one");
    if (!continuation.empty()) return Continued(request, continuation, progress);
    science::Validate(science::Files{body_->sources(), {{"picture", picture}}});
    science::Equilibria e;
    Progress told(progress);
    try {
      py::gil_scoped_release free;
      e = science::EquilibriaOf(*body_, request, told.More());
    } catch (const science::Stopped&) {
      told.Raise();
    }
    if (!picture.empty()) {
      // The zero-velocity figure, as polyfield equilibria --picture draws it.
      science::Outputs outputs(body_->sources());
      FILE* out = outputs.Open("picture", picture);
      science::PlaneRequest plane;
      plane.nu = plane.nv = science::kZeroVelocityGrid;
      try {
        py::gil_scoped_release free;
        const science::PlaneGrid g = science::PlaneOf(*body_, request, e, plane, told.More());
        if (!science::WriteZeroVelocityFigure(out, figure::OutputFor(picture), *body_, request, e,
                                              g, plane, {}))
          throw Failure(picture + ": write error");
      } catch (const science::Stopped&) {
        told.Raise();
      }
      outputs.Commit();
    }
    told.Finish();
    Warn(request.evaluation.check);
    const science::EquilibriaTable t = science::TableOf(e);
    const py::ssize_t K = static_cast<py::ssize_t>(e.points.size());
    py::array_t<std::complex<double>> eig({K, py::ssize_t{6}});
    py::array_t<bool> stable(K), inside(K);
    py::array_t<int> kind(K), index(K);
    for (py::ssize_t i = 0; i < K; ++i) {
      const science::Equilibrium& q = e.points[i];
      for (int j = 0; j < 6; ++j) eig.mutable_at(i, j) = q.eigenvalues[j];
      stable.mutable_at(i) = q.stable, inside.mutable_at(i) = q.inside;
      kind.mutable_at(i) = q.topological_case, index.mutable_at(i) = q.index;
    }
    py::dict d;
    d["positions"] = Stack(t.x, t.y, t.z);
    d["axis_distance"] = Vector(t.rho);
    d["potential"] = Vector(t.V);
    d["jacobi"] = Vector(t.jacobi);
    d["eigenvalues"] = eig;
    d["stable"] = stable;
    d["case"] = kind;
    d["index"] = index;
    d["inside"] = inside;
    d["residual"] = Vector(t.residual);
    d["error"] = Vector(t.error);
    d["complete"] = e.complete;
    d["completeness"] = e.completeness;
    d["omega"] = e.omega;
    d["centre_of_mass"] = py::make_tuple(e.centre[0], e.centre[1], e.centre[2]);
    d["lines"] = science::EquilibriaLines(e, science::Resolve(request.units, *body_));
    if (!e.complete &&
        PyErr_WarnEx(PyExc_RuntimeWarning, ("completeness " + e.completeness).c_str(), 1) < 0)
      throw py::error_already_set();
    return d;
  }

  // The branches (a dict of arrays each) and events of a continuation.
  py::dict Continued(const science::EquilibriaRequest& request, const std::string& text,
                     const py::object& progress) {
    science::Validate(request);
    const science::ContinuationRequest asked = science::ContinuationOf(text);
    std::optional<science::Continuation> c;
    Progress told(progress);
    try {
      py::gil_scoped_release free;
      c.emplace(science::ContinueEquilibria(*body_, request, asked, told.More()));
    } catch (const science::Stopped&) {
      told.Raise();
    }
    told.Finish();
    Warn(request.evaluation.check);
    py::list branches, events;
    for (const science::Branch& b : c->branches) {
      py::dict d;
      d["parameter"] = Vector(b.parameter);
      d["positions"] = Stack(b.x, b.y, b.z);
      d["jacobi"] = Vector(b.jacobi);
      d["index"] = Vector(b.index).attr("astype")("int32");
      branches.append(d);
    }
    for (const science::Event& e : c->events) {
      py::dict d;
      d["parameter"] = e.parameter;
      d["position"] = py::make_tuple(e.position[0], e.position[1], e.position[2]);
      d["branch"] = e.branch;
      d["annihilation"] = e.annihilation;
      d["surface"] = e.surface;
      events.append(d);
    }
    py::dict d;
    d["parameter"] = asked.parameter;
    d["branches"] = branches;
    d["events"] = events;
    d["complete"] = c->start.complete && c->end.complete;
    d["lines"] = science::ContinuationLines(*c, science::Resolve(request.units, *body_));
    return d;
  }

  py::dict surface(Number density, Number mass, Number gm, Number G, Number spin_period,
                   std::optional<std::array<double, 3>> spin_axis,
                   std::optional<std::vector<double>> slopes, Number tolerance, Count threads,
                   bool check, const py::object& progress) {
    science::SurfaceRequest request;
    request.units = Units(density, mass, gm, G);
    request.evaluation = Evaluating(tolerance, threads, check);
    request.spin_period = spin_period;
    if (spin_axis) request.spin_axis = *spin_axis;
    if (slopes) request.slopes = *slopes;
    science::Validate(request, *body_);
    Caution(science::Resolve(request.units, *body_), request.spin_period);
    science::Surface s;
    Progress told(progress);
    bool finished;
    {
      py::gil_scoped_release free;
      finished = science::SurfaceOf(*body_, request, &s, told.More());
    }
    if (!finished) told.Raise();
    told.Finish();
    Warn(request.evaluation.check);
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
      d["vesc"] = Vector(s.vesc);
      d["vcirc"] = Vector(s.vcirc);
    }
    const science::Summary sum = science::Summarise(*body_, request, s);
    const science::Units& u = sum.units;
    py::dict summary;
    summary["volume"] = sum.volume;
    if (u.Physical()) {
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

  py::dict inertia(Number density, Number mass, Number gm, Number G) const {
    const science::Units u = science::Resolve(Units(density, mass, gm, G), *body_);
    Caution(u, std::nullopt, false);
    return InertiaDict(science::InertiaOf(*body_, u), u);
  }

  Harmonics harmonics(int degree, Number reference_radius, Number density, Number mass, Number gm,
                      Number G, const std::string& origin, Count threads,
                      const py::object& progress) {
    science::HarmonicsRequest r;
    r.degree = degree;
    r.reference_radius = reference_radius;
    r.origin = science::HarmonicOriginOf(origin);
    science::Evaluation e;
    e.threads = threads;
    science::Validate(e);
    r.threads = e.Threads();
    r.model = body_->name();
    const science::UnitsRequest u = Units(density, mass, gm, G);
    science::CheckHarmonicsRequest(r);
    Caution(science::Resolve(u, *body_));
    // Ctrl-C between blocks of facets: no coefficients.
    Progress told(progress);
    r.more = told.More();
    std::optional<Harmonics> h;
    try {
      py::gil_scoped_release free;
      h.emplace(science::HarmonicsOf(*body_, u, r));
    } catch (const science::Stopped&) {
      told.Raise();
    }
    told.Finish();
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
  // array of shape (nlat, nlon), or (nlat, nlon, 3) for vectors; or, asked
  // for, an xarray.Dataset of the netCDF file's variables and attributes.
  py::object grid(Number radius, std::optional<std::pair<uint32_t, uint32_t>> shape,
                  Number altitude, Number density, Number mass, Number gm, Number G,
                  Number tolerance, Count threads, bool check, const py::object& progress,
                  bool as_xarray, const char* method = "Model.grid") {
    science::FieldRequest request;
    request.units = Units(density, mass, gm, G);
    request.evaluation = Evaluating(tolerance, threads, check);
    const science::GridRequest g = science::GridRequestOf(radius, shape, altitude);
    science::Validate(request, g, *body_);
    Caution(science::Resolve(request.units, *body_));
    // Before the evaluation: a missing xarray costs no minutes.
    py::object xarray;
    try {
      if (as_xarray) xarray = py::module_::import("xarray");
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_ImportError)) throw;
      throw py::import_error(
          "as_xarray=True needs the xarray package (Debian's python3-xarray, or pip install "
          "xarray); without it grid() returns a dict");
    }
    science::Grid grid;
    science::GridField f;
    Progress told(progress);
    bool finished;
    {
      py::gil_scoped_release free;
      finished = science::GridOf(*body_, request, g, &grid, &f, told.More());
    }
    if (!finished) told.Raise();
    told.Finish();
    Warn(request.evaluation.check);
    const science::Units u = science::Resolve(request.units, *body_);
    if (as_xarray) return Dataset(xarray, method, g, grid, f, u);
    const py::ssize_t rows = g.nlat, cols = g.nlon;
    const auto plane = [&](const std::vector<double>& v) {
      return Vector(v).attr("reshape")(rows, cols);
    };
    const auto vectors = [&](const std::vector<double>& x, const std::vector<double>& y,
                             const std::vector<double>& z) {
      return Stack(x, y, z).attr("reshape")(rows, cols, 3);
    };
    py::dict d;
    d["lat"] = plane(grid.lat);
    d["lon"] = plane(grid.lon);
    d["points"] = vectors(grid.x, grid.y, grid.z);
    d["U"] = plane(f.U);
    d["g"] = vectors(f.gx, f.gy, f.gz);
    d["gr"] = plane(f.gr);
    d["dU"] = plane(f.dU);
    d["dg"] = vectors(f.dgx, f.dgy, f.dgz);
    d["GM"] = f.GM;
    return d;
  }

  // The grid as an xarray.Dataset: the coordinates lat and lon, a variable
  // (lat, lon) a column of the program's grid table, the attributes of its
  // netCDF file (to_netcdf writes one like it).
  py::object Dataset(const py::object& xarray, const char* method, const science::GridRequest& g,
                     const science::Grid& grid, const science::GridField& f,
                     const science::Units& u) const {
    std::vector<std::string> header = science::BodyLines(*body_, u);
    for (const std::string& line : science::GridLines(*body_, g, u)) header.push_back(line);
    const std::string history =
        std::string("polyfield ") + POLYFIELD_VERSION + " (Python): polyfield." + method + "(" +
        (g.altitude ? "altitude=" + ShortestDigits(*g.altitude)
                    : "radius=" + ShortestDigits(g.radius)) +
        ", shape=(" + std::to_string(g.nlat) + ", " + std::to_string(g.nlon) + "), ...)";
    py::dict coords, variables, attributes;
    for (const science::GridVariable& v : science::GridVariables(grid, f, u)) {
      py::dict attrs;
      if (!v.standard_name.empty()) attrs["standard_name"] = v.standard_name;
      attrs["long_name"] = v.long_name;
      if (!v.units.empty()) attrs["units"] = v.units;
      if (v.row || v.column) {
        coords[py::str(v.name)] = py::make_tuple(py::make_tuple(v.name), Vector(v.axis), attrs);
      } else {
        const py::object values = Vector(*v.values).attr("reshape")(g.nlat, g.nlon);
        variables[py::str(v.name)] = py::make_tuple(py::make_tuple("lat", "lon"), values, attrs);
      }
    }
    for (const science::GridAttribute& a :
         science::GridAttributes(*body_, g, grid, f, u, history, header)) {
      if (!a.numbers.empty())
        attributes[py::str(a.name)] =
            a.numbers.size() == 1 ? py::object(py::float_(a.numbers[0])) : Vector(a.numbers);
      else if (!a.text.empty())
        attributes[py::str(a.name)] = a.text;
    }
    return xarray.attr("Dataset")(variables, coords, attributes);
  }

  // A coloured binary STL and (for each path given) its picture and its
  // latitude-longitude map, coloured by `values` (one per facet) over
  // `range` or the area-weighted percentiles; all written only once all are
  // complete.
  Pair write_colours(const Array& values, const science::ColourFiles& files,
                     const science::PictureRequest& picture, const std::string& label) {
    science::Validate(picture, {});
    science::CheckFigureNames(files);
    // Neither the files the model came from nor the colour map's may be
    // replaced.
    science::FileList read = body_->sources();
    const std::string map_file = science::ColourMapFile(picture.map);
    if (!map_file.empty()) read.emplace_back("map", map_file);
    science::Validate(science::Files{read, files.List()});
    const auto& m = body_->model();
    const size_t n = m.FaceCount();
    if (values.ndim() != 1 || static_cast<size_t>(values.shape(0)) != n)
      Refuse(Quantity("values") + ": one per facet (" + std::to_string(n) + ")");
    const std::vector<double> v(values.data(), values.data() + n);
    const auto table = science::ColourMap(picture.map);
    science::Outputs outputs(read);
    const science::ColourOutputs coloured(&outputs, files);
    // A figure of a large model takes seconds: drawn without the GIL, and
    // stopped by Ctrl-C (no file is then written).
    try {
      py::gil_scoped_release free;
      const science::Range r = coloured.Write(m, body_->CentreOfMass(), v, science::FaceAreas(m),
                                              table, label, body_->unit(), picture, &PythonMore);
      outputs.Commit();
      return {r.min, r.max};
    } catch (const science::Stopped&) {
      throw py::error_already_set();
    }
  }

 protected:
  Model() = default;

  // After the first evaluation that checked the body: a warning for each
  // two parts of positive density that overlap.
  void Warn(bool checked) {
    if (!checked || warned_ || body_->PartCount() < 2) return;
    warned_ = true;
    for (const std::string& line : body_->Placed().overlaps)
      if (PyErr_WarnEx(PyExc_UserWarning, line.c_str(), 1) < 0) throw py::error_already_set();
  }

  // The body of one part, its length unit and scale: evaluated on the
  // threads each call asks for, checked as it asks.
  void Build(science::PartSource part, const std::string& unit, double scale) {
    std::vector<science::PartSource> parts;
    parts.push_back(std::move(part));
    Build(std::move(parts), unit, scale);
  }
  void Build(std::vector<science::PartSource> parts, const std::string& unit, double scale) {
    science::UnitsRequest units;
    units.unit = unit, units.scale = scale;
    science::Evaluation one;
    one.threads = 1;
    body_ = science::BodyOf(std::move(parts), units, one);
  }

  // A model of this one's unit from a placed copy, named after this one;
  // its results are still of the files this one came from.
  std::unique_ptr<Model> Placed(mesh::Mesh m, const char* how) const {
    auto placed = std::unique_ptr<Model>(new Model());
    const std::string name = (body_->name().empty() ? "arrays" : body_->name()) + " " + how;
    placed->Build({name, std::move(m), {}, "", body_->sources()}, body_->unit(), body_->scale());
    return placed;
  }

  science::UnitsRequest Units(Number density = {}, Number mass = {}, Number gm = {},
                              Number G = {}) const {
    science::UnitsRequest r;
    r.density = density;
    r.mass = mass;
    r.gm = gm;
    r.G = G;
    r.unit = body_->unit();
    r.scale = body_->scale();
    return r;
  }

  static py::dict UnitNames(const science::Units& u) {
    py::dict d;
    const std::string L = u.Physical() ? u.unit : "model units";
    d["length"] = L;
    d["volume"] = L + "^3";
    d["area"] = L + "^2";
    d["U"] = u.Physical() ? "m^2/s^2" : "G rho = 1";
    d["g"] = u.Physical() ? "m/s^2" : "G rho = 1";
    d["slope"] = "deg";
    if (u.Physical()) d["mass"] = "kg", d["GM"] = "m^3/s^2", d["density"] = "kg/m^3";
    d["inertia"] = u.Physical() ? "kg m^2" : "unit density, model units^5";
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
    d["unit"] = u.Physical() ? "kg m^2" : "unit density, model units^5";
    return d;
  }

  std::unique_ptr<science::Body> body_;
  bool warned_ = false;

  friend class Body;
  friend struct DerivativesFace;
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
        unit = items.back().first.cast<const Model&>().body_->unit();
    }
    const std::string body_unit = unit.value_or("m");
    science::MetresOf(body_unit);
    std::vector<science::PartSource> list;
    for (size_t i = 0; i < items.size(); ++i) {
      const std::string what = Quantity("add") + "[" + std::to_string(i) + "]";
      if (!py::isinstance<Model>(items[i].first)) {
        const std::string path = os.attr("fspath")(items[i].first).cast<std::string>();
        list.push_back({path, {}, items[i].second, what, {{"add", path}}});
        continue;
      }
      const science::Body& model = *items[i].first.cast<const Model&>().body_;
      if (model.unit() != body_unit)
        Refuse(what + ": a model in " + model.unit() + " in a body in " + body_unit +
               " (give the body's unit=)");
      list.push_back({model.name(), model.model(), items[i].second, what, model.sources()});
    }
    Build(std::move(list), body_unit, 1);
    if (mascons.is_none()) return;
    if (is_path(mascons)) {
      const std::string path = os.attr("fspath")(mascons).cast<std::string>();
      body_->AddMascons(science::ReadMascons(path), path);
      return;
    }
    const Array rows = Array::ensure(mascons);
    if (!rows || rows.ndim() != 2 || rows.shape(1) != 4)
      Refuse(Quantity("mascons") + ": an array of shape (k, 4), x y z mass, or a file's path");
    body_->AddMascons(
        science::MasconsFromRows(rows.data(), static_cast<size_t>(rows.shape(0)), "mascons"), "");
  }

  double mass() const { return science::MassOf(*body_, science::Resolve(Units(), *body_)).mass; }
  py::tuple centre_of_mass() const {
    const auto c = science::MassOf(*body_, science::Resolve(Units(), *body_)).centre;
    return py::make_tuple(c[0], c[1], c[2]);
  }
  size_t parts() const { return body_->PartCount(); }
  size_t mascons() const { return body_->mascons().size(); }
  // The lines the program's header gives the body.
  std::vector<std::string> describe() const {
    return science::BodyLines(*body_, science::Resolve(Units(), *body_));
  }
  std::string repr() const {
    return "polyfield.Body(" + std::to_string(parts()) + (parts() == 1 ? " part" : " parts") +
           (mascons() ? ", " + std::to_string(mascons()) +
                            (mascons() == 1 ? " point mass" : " point masses")
                      : "") +
           ", mass " + ShortestDigits(mass()) + " kg, lengths in " + body_->unit() + ")";
  }
  // What a pickle carries: every part as a model's state with its density,
  // the point masses as rows x y z mass, the unit, and the point masses'
  // file ("" for arrays).
  py::tuple GetState() const {
    py::list parts;
    for (size_t i = 0; i < body_->PartCount(); ++i) {
      const science::Part& p = body_->part(i);
      parts.append(py::make_tuple(StateOf(p.model(), body_->unit(), 1.0, p.name()), p.density()));
    }
    const auto& q = body_->mascons();
    py::array_t<double> rows({static_cast<py::ssize_t>(q.size()), py::ssize_t{4}});
    for (size_t i = 0; i < q.size(); ++i) {
      double* r = rows.mutable_data() + 4 * i;
      r[0] = q[i].x, r[1] = q[i].y, r[2] = q[i].z, r[3] = q[i].mass;
    }
    return py::make_tuple(1, parts, rows, body_->unit(), body_->mascon_source());
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
    return body;
  }

  // Every part's check report.
  py::list check() const {
    py::list reports;
    for (size_t i = 0; i < body_->PartCount(); ++i) reports.append(Report(body_->part(i).Check()));
    return reports;
  }
};

// The field's derivatives by the parameters (science/derivatives.h): a
// Model's are its vertices (V, 3) and its density, a Body's each part's
// vertices and density and each point mass's position and mass.
struct DerivativesFace {
  using Optional = std::optional<Array>;

  static const science::Body& Of(const Model& self) { return *self.body_; }
  static science::UnitsRequest UnitsOf(const Model& self, Number density, Number mass, Number gm,
                                       Number G) {
    science::UnitsRequest u = self.Units(density, mass, gm, G);
    Caution(science::Resolve(u, *self.body_));
    return u;
  }

  static science::FieldRequest Request(const Model& self, Number density, Number mass, Number gm,
                                       Number G, bool gradient, Count threads, bool check) {
    science::FieldRequest r;
    r.units = UnitsOf(self, density, mass, gm, G);
    r.evaluation = Evaluating({}, threads, check);
    r.gradient = gradient;
    return r;
  }

  // The points as three columns (n, 3).
  struct Columns {
    std::vector<double> xyz;
    science::Points points;
  };
  static Columns PointsOf(const Array& points) {
    if (points.ndim() != 2 || points.shape(1) != 3)
      Refuse(Quantity("points") + ": an array of shape (n, 3)");
    Columns c;
    const size_t n = static_cast<size_t>(points.shape(0));
    c.xyz.resize(3 * n);
    for (size_t j = 0; j < n; ++j)
      for (size_t a = 0; a < 3; ++a) c.xyz[a * n + j] = points.data()[3 * j + a];
    c.points = {n, c.xyz.data(), c.xyz.data() + n, c.xyz.data() + 2 * n};
    return c;
  }

  // An optional array of `shape` (the first entry the count of rows).
  static const double* Shaped(const Optional& a, const char* name, std::vector<py::ssize_t> shape) {
    if (!a) return nullptr;
    bool fits = a->ptr() && a->ndim() == static_cast<py::ssize_t>(shape.size());
    for (size_t k = 0; fits && k < shape.size(); ++k) fits = a->shape(k) == shape[k];
    if (!fits) {
      std::string text;
      for (const py::ssize_t k : shape)
        text.append(text.empty() ? "(" : ", ").append(std::to_string(k));
      text.append(shape.size() == 1 ? ",)" : ")");
      Refuse(Quantity(name) + ": an array of shape " + text);
    }
    return a->data();
  }

  // A flat vector of the parameters as the face gives them.
  static py::dict Split(const science::Body& b, const std::vector<double>& flat, bool parts) {
    const science::ParameterLayout l = science::LayoutOf(b);
    const auto array = [&](size_t from, py::ssize_t rows, py::ssize_t cols) {
      py::array_t<double> a = cols ? py::array_t<double>({rows, cols}) : py::array_t<double>(rows);
      std::copy(flat.begin() + static_cast<std::ptrdiff_t>(from),
                flat.begin() + static_cast<std::ptrdiff_t>(from + a.size()), a.mutable_data());
      return a;
    };
    py::dict d;
    if (!parts) {
      d["vertices"] = array(0, static_cast<py::ssize_t>(b.model().VertexCount()), 3);
      d["density"] = flat[l.density];
      return d;
    }
    py::list vertices;
    for (size_t i = 0; i < b.PartCount(); ++i)
      vertices.append(
          array(l.vertices[i], static_cast<py::ssize_t>(b.part(i).model().VertexCount()), 3));
    const auto M = static_cast<py::ssize_t>(b.mascons().size());
    d["vertices"] = vertices;
    d["density"] = array(l.density, static_cast<py::ssize_t>(b.PartCount()), 0);
    d["mascon_positions"] = array(l.positions, M, 3);
    d["mascon_masses"] = array(l.masses, M, 0);
    return d;
  }

  static py::dict Vjp(Model& self, bool parts, const Array& points, const Optional& dU,
                      const Optional& dg, const Optional& dT, const science::FieldRequest& r) {
    const Columns c = PointsOf(points);
    const auto n = static_cast<py::ssize_t>(c.points.n);
    const science::FieldWeights w{Shaped(dU, "dU", {n}), Shaped(dg, "dg", {n, 3}),
                                  Shaped(dT, "dT", {n, 6})};
    std::vector<double> flat;
    {
      py::gil_scoped_release free;
      flat = science::FieldVjp(*self.body_, r, c.points, w);
    }
    self.Warn(r.evaluation.check);
    return Split(*self.body_, flat, parts);
  }

  // The tangent from the face's arrays (absent: no change).
  static std::vector<double> Tangent(const science::Body& b, bool parts,
                                     const py::object& dvertices, const py::object& ddensity,
                                     const Optional& positions, const Optional& masses) {
    const science::ParameterLayout l = science::LayoutOf(b);
    std::vector<double> t(l.count, 0);
    const auto vertices = [&](size_t i, const py::handle& h, const std::string& name) {
      if (h.is_none()) return;
      const auto V = static_cast<py::ssize_t>(b.part(i).model().VertexCount());
      const double* v = Shaped(Array::ensure(h), name.c_str(), {V, 3});
      if (!v) Refuse(Quantity(name) + ": an array of shape (" + std::to_string(V) + ", 3)");
      std::copy(v, v + 3 * V, t.begin() + static_cast<std::ptrdiff_t>(l.vertices[i]));
    };
    if (!parts) {
      vertices(0, dvertices, "dvertices");
      if (!ddensity.is_none()) {
        try {
          t[l.density] = ddensity.cast<double>();
        } catch (const py::cast_error&) {
          Refuse(Quantity("ddensity") + ": a number, the change of the density");
        }
      }
      return t;
    }
    if (!dvertices.is_none()) {
      if (!py::isinstance<py::sequence>(dvertices))
        Refuse(Quantity("dvertices") + ": one array (or None) per part (" +
               std::to_string(b.PartCount()) + ")");
      const py::sequence list = dvertices.cast<py::sequence>();
      if (list.size() != b.PartCount())
        Refuse(Quantity("dvertices") + ": one array (or None) per part (" +
               std::to_string(b.PartCount()) + ")");
      for (size_t i = 0; i < b.PartCount(); ++i)
        vertices(i, list[i], "dvertices[" + std::to_string(i) + "]");
    }
    const auto P = static_cast<py::ssize_t>(b.PartCount()),
               M = static_cast<py::ssize_t>(b.mascons().size());
    if (!ddensity.is_none())
      if (const double* d = Shaped(Array::ensure(ddensity), "ddensity", {P}))
        std::copy(d, d + P, t.begin() + static_cast<std::ptrdiff_t>(l.density));
    if (const double* q = Shaped(positions, "dmascon_positions", {M, 3}))
      std::copy(q, q + 3 * M, t.begin() + static_cast<std::ptrdiff_t>(l.positions));
    if (const double* m = Shaped(masses, "dmascon_masses", {M}))
      std::copy(m, m + M, t.begin() + static_cast<std::ptrdiff_t>(l.masses));
    return t;
  }

  static py::tuple Jvp(Model& self, const Array& points, const std::vector<double>& tangent,
                       const science::FieldRequest& r) {
    const Columns c = PointsOf(points);
    const auto n = static_cast<py::ssize_t>(c.points.n);
    py::array_t<double> dU(n), dg({n, py::ssize_t{3}}), dT({n, py::ssize_t{r.gradient ? 6 : 0}});
    {
      py::gil_scoped_release free;
      science::FieldJvp(*self.body_, r, c.points, tangent, dU.mutable_data(), dg.mutable_data(),
                        r.gradient ? dT.mutable_data() : nullptr);
    }
    self.Warn(r.evaluation.check);
    return r.gradient ? py::make_tuple(dU, dg, dT) : py::make_tuple(dU, dg);
  }

  static py::dict Jacobian(Model& self, bool parts, const Array& points,
                           const science::FieldRequest& r) {
    const Columns c = PointsOf(points);
    std::vector<double> J;
    {
      py::gil_scoped_release free;
      J = science::FieldJacobian(*self.body_, r, c.points);
    }
    self.Warn(r.evaluation.check);
    const science::Body& b = *self.body_;
    const science::ParameterLayout l = science::LayoutOf(b);
    const auto n = static_cast<py::ssize_t>(c.points.n),
               K = static_cast<py::ssize_t>(science::OutputsOf(r)),
               cols = static_cast<py::ssize_t>(l.count);
    py::array_t<double> matrix({n * K, cols});
    std::copy(J.begin(), J.end(), matrix.mutable_data());
    // Blocks of columns as arrays of their own: (n, K) then the block's shape.
    const py::object cube = matrix.attr("reshape")(n, K, cols);
    const auto block = [&](size_t from, size_t count, std::vector<py::ssize_t> shape) {
      const py::object part = cube[py::make_tuple(
          py::ellipsis(),
          py::slice(static_cast<py::ssize_t>(from), static_cast<py::ssize_t>(from + count), 1))];
      py::tuple full(2 + shape.size());
      full[0] = n, full[1] = K;
      for (size_t k = 0; k < shape.size(); ++k) full[2 + k] = shape[k];
      return part.attr("reshape")(*full).attr("copy")();
    };
    py::dict d;
    d["matrix"] = matrix;
    const auto P = b.PartCount(), M = b.mascons().size();
    if (!parts) {
      const size_t V = b.model().VertexCount();
      d["vertices"] = block(0, 3 * V, {static_cast<py::ssize_t>(V), 3});
      d["density"] = block(l.density, 1, {});
      return d;
    }
    py::list vertices;
    for (size_t i = 0; i < P; ++i) {
      const size_t V = b.part(i).model().VertexCount();
      vertices.append(block(l.vertices[i], 3 * V, {static_cast<py::ssize_t>(V), 3}));
    }
    d["vertices"] = vertices;
    d["density"] = block(l.density, P, {static_cast<py::ssize_t>(P)});
    d["mascon_positions"] = block(l.positions, 3 * M, {static_cast<py::ssize_t>(M), 3});
    d["mascon_masses"] = block(l.masses, M, {static_cast<py::ssize_t>(M)});
    return d;
  }

  // The coefficients' Jacobian: C and S (N + 1, N + 1, parameters), zero
  // above the diagonal, GM (parameters,), and the coefficients.
  static py::dict HarmonicsJacobian(Model& self, int degree, Number reference_radius,
                                    const science::UnitsRequest& units, Count threads) {
    science::HarmonicsRequest r;
    r.degree = degree;
    r.reference_radius = reference_radius;
    science::Evaluation e;
    e.threads = threads;
    science::Validate(e);
    r.threads = e.Threads();
    r.model = self.body_->name();
    std::optional<science::HarmonicsJacobian> J;
    {
      py::gil_scoped_release free;
      J.emplace(science::HarmonicsJacobianOf(*self.body_, units, r));
    }
    self.Warn(true);
    const auto side = static_cast<py::ssize_t>(degree + 1),
               cols = static_cast<py::ssize_t>(J->columns);
    py::array_t<double> C({side, side, cols}), S({side, side, cols}), GM(cols);
    std::fill(C.mutable_data(), C.mutable_data() + C.size(), 0.0);
    std::fill(S.mutable_data(), S.mutable_data() + S.size(), 0.0);
    const size_t rows = J->rows(), K = J->Coefficients();
    for (size_t c = 0; c < J->columns; ++c) {
      const double* column = &J->by_column[rows * c];
      for (int n = 0; n <= degree; ++n)
        for (int m = 0; m <= n; ++m) {
          const size_t k = science::shape::Index(n, m),
                       at = (size_t(n) * size_t(side) + size_t(m)) * J->columns + c;
          C.mutable_data()[at] = column[k];
          S.mutable_data()[at] = column[K + k];
        }
      GM.mutable_data()[c] = column[2 * K];
    }
    py::dict d;
    d["C"] = C;
    d["S"] = S;
    d["GM"] = GM;
    d["harmonics"] = Harmonics(std::move(J->value));
    return d;
  }

  // The first part's vertex errors as the face gives them: sigma a number
  // or one per vertex, or a covariance (V, V) along the normals.
  static science::ShapeErrors ErrorsOf(const science::Body& b, const py::object& sigma,
                                       const Optional& covariance, const std::string& along) {
    science::ShapeErrors e;
    if (along != "normal" && along != "coordinates")
      Refuse(Quantity("along") + ": \"" + along + "\" is not one of normal, coordinates");
    e.along_normals = along == "normal";
    const size_t V = b.model().VertexCount();
    if (sigma.is_none() == !covariance)
      Refuse(Quantity("sigma") + " or " + Quantity("covariance") + ": one of them");
    if (covariance) {
      if (!e.along_normals)
        Refuse(Quantity("covariance") + ": of the moves along the normals (along=\"normal\")");
      const auto n = static_cast<py::ssize_t>(V);
      const double* c = Shaped(covariance, "covariance", {n, n});
      e.covariance.assign(c, c + V * V);
    } else if (py::isinstance<py::float_>(sigma) || py::isinstance<py::int_>(sigma)) {
      e.sigma.assign(V, sigma.cast<double>());
    } else {
      const Array a = Array::ensure(sigma);
      const double* s = Shaped(a, "sigma", {static_cast<py::ssize_t>(V)});
      e.sigma.assign(s, s + V);
    }
    return e;
  }

  static py::array_t<double> Square(const std::vector<double>& v, size_t side) {
    const auto n = static_cast<py::ssize_t>(side);
    py::array_t<double> a({n, n});
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
  }

  static py::dict ShapeCovariance(Model& self, const science::ShapeErrors& e,
                                  const std::optional<Array>& points, std::optional<int> degree,
                                  Number reference_radius, const science::FieldRequest& r,
                                  Count threads) {
    if (!points && !degree)
      Refuse(Quantity("points") + " or " + Quantity("degree") + ": at least one of them");
    const science::Body& b = *self.body_;
    py::dict d;
    if (points) {
      const Columns c = PointsOf(*points);
      std::vector<double> cov;
      const size_t K = science::OutputsOf(r), cols = science::LayoutOf(b).count;
      {
        py::gil_scoped_release free;
        const std::vector<double> J = science::FieldJacobian(b, r, c.points);
        cov = science::PropagateShapeErrors(b.model(), e, J.data(), K * c.points.n, cols, 1, 0);
      }
      const size_t n = c.points.n, side = K * n;
      const auto sigma = [&](size_t j, size_t o) {
        return std::sqrt(cov[(K * j + o) * side + K * j + o]);
      };
      py::array_t<double> U(static_cast<py::ssize_t>(n)),
          g({static_cast<py::ssize_t>(n), py::ssize_t{3}});
      for (size_t j = 0; j < n; ++j) {
        U.mutable_data()[j] = sigma(j, 0);
        for (size_t a = 0; a < 3; ++a) g.mutable_data()[3 * j + a] = sigma(j, 1 + a);
      }
      d["field"] = Square(cov, side);
      d["U_sigma"] = U;
      d["g_sigma"] = g;
      if (K > 4) {
        py::array_t<double> T({static_cast<py::ssize_t>(n), py::ssize_t{6}});
        for (size_t j = 0; j < n; ++j)
          for (size_t a = 0; a < 6; ++a) T.mutable_data()[6 * j + a] = sigma(j, 4 + a);
        d["T_sigma"] = T;
      }
    }
    if (degree) {
      science::HarmonicsRequest h;
      h.degree = *degree;
      h.reference_radius = reference_radius;
      science::Evaluation ev;
      ev.threads = threads;
      science::Validate(ev);
      h.threads = ev.Threads();
      h.model = b.name();
      std::optional<science::HarmonicsJacobian> J;
      std::vector<double> cov;
      {
        py::gil_scoped_release free;
        J.emplace(science::HarmonicsJacobianOf(b, r.units, h));
        cov = science::PropagateShapeErrors(b.model(), e, J->by_column.data(), J->rows(), 1,
                                            J->rows(), 0);
      }
      const size_t rows = J->rows(), K = J->Coefficients();
      const auto side = static_cast<py::ssize_t>(*degree + 1);
      py::array_t<double> C({side, side}), S({side, side});
      std::fill(C.mutable_data(), C.mutable_data() + C.size(), 0.0);
      std::fill(S.mutable_data(), S.mutable_data() + S.size(), 0.0);
      for (int n = 0; n <= *degree; ++n)
        for (int m = 0; m <= n; ++m) {
          const size_t k = science::shape::Index(n, m), at = size_t(n) * size_t(side) + size_t(m);
          C.mutable_data()[at] = std::sqrt(cov[k * rows + k]);
          S.mutable_data()[at] = std::sqrt(cov[(K + k) * rows + K + k]);
        }
      d["harmonics"] = Square(cov, rows);
      d["C_sigma"] = C;
      d["S_sigma"] = S;
      d["GM_sigma"] = std::sqrt(cov[(rows - 1) * rows + rows - 1]);
    }
    self.Warn(r.evaluation.check);
    return d;
  }

  // polyfield.fit: the measured field from a mapping or an object with C,
  // S, sigma_C, sigma_S (N + 1, N + 1), GM, reference_radius (m) and
  // optionally sigma_GM.
  static py::dict FitOf(Model& self, const py::object& measured, int degree, int min_degree,
                        bool constrain_gm, Count threads) {
    const bool mapping = py::isinstance<py::dict>(measured);
    const auto get = [&](const char* name) -> py::object {
      if (mapping) {
        const py::dict d = measured.cast<py::dict>();
        return d.contains(name) ? py::object(d[name]) : py::object(py::none());
      }
      return py::hasattr(measured, name) ? measured.attr(name) : py::object(py::none());
    };
    science::MeasuredField f;
    const py::object C = get("C");
    if (C.is_none()) Refuse(Quantity("measured") + ": no C (coefficients of shape (N + 1, N + 1))");
    const Array c = Array::ensure(C);
    if (!c || c.ndim() != 2 || c.shape(0) != c.shape(1))
      Refuse(Quantity("measured") + ": C of shape (N + 1, N + 1)");
    const auto side = c.shape(0);
    f.degree = static_cast<int>(side) - 1;
    const auto square = [&](const char* name) {
      const py::object o = get(name);
      if (o.is_none()) Refuse(Quantity("measured") + ": no " + name);
      const Array a = Array::ensure(o);
      const double* v = Shaped(a, name, {side, side});
      return std::vector<double>(v, v + side * side);
    };
    f.C = square("C"), f.S = square("S"), f.sigma_C = square("sigma_C"),
    f.sigma_S = square("sigma_S");
    const auto number = [&](const char* name) -> std::optional<double> {
      const py::object o = get(name);
      if (o.is_none()) return std::nullopt;
      return o.cast<double>();
    };
    f.gm = number("GM"), f.sigma_gm = number("sigma_GM");
    f.reference_radius = number("reference_radius");
    science::FitRequest r;
    r.degree = degree, r.min_degree = min_degree, r.constrain_gm = constrain_gm;
    science::Evaluation e;
    e.threads = threads;
    science::Validate(e);
    r.threads = e.Threads();
    science::Fit fit;
    {
      py::gil_scoped_release free;
      fit = science::FitDensities(*self.body_, f, r);
    }
    const auto p = static_cast<py::ssize_t>(fit.estimate.size());
    py::dict d;
    d["names"] = fit.names;
    d["estimate"] = Vector(fit.estimate);
    d["sigma"] = Vector(fit.sigma);
    d["covariance"] = Vector(fit.covariance).attr("reshape")(p, p);
    d["correlation"] = Vector(fit.correlation).attr("reshape")(p, p);
    d["chi_square"] = fit.chi_square;
    d["observations"] = fit.observations;
    d["dof"] = fit.dof;
    d["rms_by_degree"] = Vector(fit.rms_by_degree);
    d["residual_C"] = Vector(fit.residual_C).attr("reshape")(side, side);
    d["residual_S"] = Vector(fit.residual_S).attr("reshape")(side, side);
    return d;
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

// The keyword parameters of the units and of an evaluation, each group
// written once for every method that takes it, in this order.
auto UnitsParameters() {
  return std::make_tuple(py::arg("density") = py::none(), py::arg("mass") = py::none(),
                         py::arg("gm") = py::none(), py::arg("G") = py::none());
}
auto EvaluationParameters() {
  return std::make_tuple(py::arg("tolerance") = py::none(), py::arg("threads") = py::none(),
                         py::arg("check") = true, py::arg("progress") = py::none());
}

// cls.def(name, f, extra...) with the tuples among `extra` spread out.
template <class T>
auto Spread(T&& extra) {
  if constexpr (requires { std::tuple_size<std::decay_t<T>>::value; })
    return std::forward<T>(extra);
  else
    return std::make_tuple(std::forward<T>(extra));
}
template <class Class, class F, class... Extra>
void Def(Class& cls, const char* name, F&& f, Extra&&... extra) {
  std::apply([&](auto&&... e) { cls.def(name, std::forward<F>(f), e...); },
             std::tuple_cat(Spread(std::forward<Extra>(extra))...));
}

// The exception types and the translation of the library's failures.
void BindErrors(py::module_& m) {
  error_type = NewType(m, "Error", {PyExc_RuntimeError}, "A failure of polyfield.");
  not_found_type = NewType(m, "FileNotFoundError", {PyExc_FileNotFoundError, error_type},
                           "A model file that does not exist.");
  value_type = NewType(m, "ValueError", {PyExc_ValueError, error_type},
                       "A parameter's value refused (mostly before any model is read).");
  units_warning_type =
      NewType(m, "UnitsWarning", {PyExc_UserWarning},
              "Results in the G rho = 1 convention (told once), or a density or spin period most "
              "likely given in another unit (g/cm^3, seconds) or a model in another length unit.");
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
}

void BindHarmonics(py::module_& m) {
  py::class_<Harmonics>(m, "Harmonics",
                        "Stokes coefficients (4-pi fully normalised, no Condon-Shortley phase); "
                        "lengths in the model's unit (length_unit), GM in GM_unit; potential() "
                        "and acceleration() sum the series at points.")
      .def_property_readonly("degree", &Harmonics::degree)
      .def_property_readonly("C", &Harmonics::C, "C[n, m], shape (N + 1, N + 1)")
      .def_property_readonly("S", &Harmonics::S, "S[n, m], shape (N + 1, N + 1)")
      .def_property_readonly("GM", &Harmonics::GM,
                             "m^3/s^2 with a density, mass or GM (gm exactly as given); without "
                             "them the volume (G rho = 1)")
      .def_property_readonly("reference_radius", &Harmonics::reference_radius,
                             "R0 in the model's unit (length_unit)")
      .def_property_readonly("reference_radius_m", &Harmonics::reference_radius_m,
                             "R0 in metres, for use with GM in m^3/s^2")
      .def_property_readonly("origin", &Harmonics::origin, "in the model's unit (length_unit)")
      .def_property_readonly("length_unit", &Harmonics::length_unit,
                             "the unit of reference_radius, origin and the points: the model's")
      .def_property_readonly("GM_unit", &Harmonics::GM_unit,
                             "m^3/s^2, or the model's unit cubed (the volume, G rho = 1)")
      .def_property_readonly("si", &Harmonics::si, "GM, potential and acceleration in SI units")
      .def("__repr__", &Harmonics::repr)
      .def("potential", &Harmonics::potential, py::arg("points"),
           py::arg("max_degree") = py::none(),
           "U of the series at points (n, 3) in the model's unit from its origin, as "
           "Model.field takes them: shape (n,), or a float for one point (3,); m^2/s^2 with SI "
           "units (GM_unit), else G rho = 1 like Model.field without a density. The series to "
           "max_degree (default: every degree); it converges outside the Brillouin sphere.")
      .def("acceleration", &Harmonics::acceleration, py::arg("points"),
           py::arg("max_degree") = py::none(),
           "g = grad U of the series at points (n, 3): shape (n, 3), or (3,) for one point; "
           "m/s^2 with SI units. As potential().")
      .def("write", &Harmonics::write, py::arg("path"), py::arg("format") = "tsv",
           "The program's file: tsv, csv, npy, icgem or shadr.");
}

void BindGrid(py::module_& m) {
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
}

void BindModel(py::module_& m) {
  py::class_<Model> model(m, "Model",
                          "A model: a file in any format polyfield reads, vertex and face arrays, "
                          "or an object with vertices and faces arrays (trimesh-like).");
  model
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
      .def_property_readonly("vertices", &Model::vertices,
                             "(V, 3) floats, read-only, in the model's unit (after the scale)")
      .def_property_readonly("faces", &Model::faces,
                             "(F, 3) vertex indices (uint32), read-only, counter-clockwise seen "
                             "from outside")
      .def("__repr__", &Model::repr)
      .def("check", &Model::check,
           "The check report, as a dict (made once per model): the lines of polyfield check "
           "under their labels (\"boundary edges\", \"signed volume\", \"verdict\"...), and "
           "the same under names (boundary_edges, volume, problem, fit...).");
  Def(model, "field", &Model::field, py::arg("points"), UnitsParameters(),
      py::arg("gradient") = false, EvaluationParameters(),
      "(U, g) at points (n, 3): shapes (n,) and (n, 3); at one point (3,): a float and "
      "(3,). With gradient=True also the tensor (n, 6) or (6,): xx, xy, xz, yy, yz, zz. "
      "Under a tolerance the points go in sections of FIELD_SECTION, each within it of its "
      "own largest values. progress: a callable told the fraction done (0 to 1) now and "
      "then; an exception it raises stops the call. Ctrl-C stops it too.");
  Def(model, "surface", &Model::surface, UnitsParameters(), py::arg("spin_period") = py::none(),
      py::arg("spin_axis") = py::none(), py::arg("slopes") = py::none(), EvaluationParameters(),
      "Per-facet arrays at the facet centroids and a summary, in SI units with a density, mass "
      "or gm (lengths in the model's unit), else G rho = 1 in model units. spin_period in "
      "hours (with SI units), spin_axis through the centre of mass, slopes in degrees for "
      "the area fractions; progress as in field(). Keys: area (F,) unit^2; centroid (F, 3) "
      "unit; U (F,) m^2/s^2; g (F, 3) m/s^2; g_norm (F,) m/s^2; slope (F,) deg; U/U0 (F,); "
      "U0 m^2/s^2, the potential at the centre of mass; with spin_period also Ueff, geff, "
      "geff_norm, slopeeff (with the centrifugal term), vesc and vcirc m/s (the escape speed along "
      "the normal, the circular orbit's speed). summary: volume unit^3, mass kg, GM "
      "m^3/s^2, density kg/m^3 (SI only), centre_of_mass, area, U0, slope (the name used), "
      "slope_percentiles and area_fraction_above (deg: share), least_slope_facet, "
      "most_slope_facet, least_U_facet, most_U_facet, inertia (a dict as inertia()), units "
      "(the name of each unit).");
  Def(model, "equilibria", &Model::equilibria, UnitsParameters(),
      py::arg("spin_period") = py::none(), py::arg("spin_axis") = py::none(),
      py::arg("seeds") = py::none(), py::arg("continuation") = "", EvaluationParameters(),
      py::arg("picture") = "",
      "Every equilibrium of the body spinning in spin_period hours about spin_axis through "
      "the centre of mass: positions (K, 3), jacobi (K,), eigenvalues (K, 6) complex, stable, "
      "case, inside, index (K,), and whether the set is shown complete (a RuntimeWarning when "
      "not). With continuation=\"spin-period:FROM:TO\" (or \"density:FROM:TO\") the "
      "branches (parameter, positions, jacobi, index arrays) and the events instead. "
      "picture=\"FILE.png\" (.pdf, .svg) also draws the zero-velocity figure in the "
      "equatorial plane. As polyfield equilibria.");
  Def(
      model, "grid",
      [](Model& self, Number radius, std::optional<std::pair<uint32_t, uint32_t>> shape,
         Number altitude, Number density, Number mass, Number gm, Number G, Number tolerance,
         Count threads, bool check, const py::object& progress, bool as_xarray) {
        return self.grid(radius, shape, altitude, density, mass, gm, G, tolerance, threads, check,
                         progress, as_xarray);
      },
      py::arg("radius") = py::none(), py::arg("shape") = py::none(),
      py::arg("altitude") = py::none(), UnitsParameters(), EvaluationParameters(),
      py::arg("as_xarray") = false,
      "The field on polyfield.grid(radius, shape, centre of mass), or with altitude instead "
      "of radius at that height above the outermost surface along each direction: lat, "
      "lon, points, U, g, "
      "gr = g . r-hat, dU = U - GM/r, dg = g + GM r/r^3 (r from the centre of mass), each "
      "of shape (nlat, nlon) or (nlat, nlon, 3), and GM. progress as in field(). With "
      "as_xarray=True an xarray.Dataset (dimensions lat, lon; the variables and CF "
      "attributes of the program's netCDF grid).");
  Def(model, "inertia", &Model::inertia, UnitsParameters(),
      "The inertia tensor about the centre of mass (kg m^2 with a density, mass or GM; "
      "else for unit density), its principal moments (increasing) and axes (rows).");
  Def(model, "harmonics", &Model::harmonics, py::arg("degree"),
      py::arg("reference_radius") = py::none(), UnitsParameters(), py::arg("origin") = "model",
      py::arg("threads") = py::none(), py::arg("progress") = py::none(),
      "The exact spherical-harmonic coefficients of the homogeneous body (reference radius "
      "in model units, default the Brillouin radius; origin \"model\" or "
      "\"centre-of-mass\"); progress as in field(). The Harmonics name their units.");
  const science::PictureRequest defaults;
  model
      .def(
          "write_colours",
          [](Model& self, const Array& values, const std::string& stl, const std::string& png,
             const std::string& picture_path, const std::string& latlon, const std::string& map,
             std::optional<Pair> range, Pair percentiles, const std::string& label, Pair view,
             std::optional<std::pair<uint32_t, uint32_t>> size, const std::string& background,
             const std::string& shading, const std::string& title, bool outline, bool triad,
             bool scale_bar) {
            science::PictureRequest picture;
            picture.map = map;
            picture.range = range;
            picture.percentiles = percentiles;
            picture.view = view;
            picture.size = size;
            picture.background = background;
            picture.shading = shading;
            picture.title = title;
            picture.label = label;
            picture.outline = outline, picture.triad = triad, picture.scale_bar = scale_bar;
            return self.write_colours(values, {stl, png, picture_path, latlon}, picture, label);
          },
          py::arg("values"), py::arg("stl") = "", py::arg("png") = "", py::arg("picture") = "",
          py::arg("latlon") = "", py::arg("map") = defaults.map, py::arg("range") = py::none(),
          py::arg("percentiles") = defaults.percentiles, py::arg("label") = "",
          py::arg("view") = defaults.view, py::arg("size") = py::none(),
          py::arg("background") = defaults.background, py::arg("shading") = defaults.shading,
          py::arg("title") = "", py::arg("outline") = defaults.outline,
          py::arg("triad") = defaults.triad, py::arg("scale_bar") = defaults.scale_bar,
          "Coloured binary STL, picture (png: PNG; picture: PNG, PDF or SVG by the extension) "
          "and latitude-longitude map about the centre of mass (latlon: by the extension) by "
          "one value per facet; returns the range. size=None: at most (800, 600), cut to the "
          "content; the view has an outline (outline=False: none), and on request the model's "
          "axes with the direction of view (triad) and a scale bar in the model's unit.")
      .def("translated", &Model::translated, py::arg("offset"),
           "A new model moved by offset (x, y, z), in the model's unit.")
      .def("scaled", &Model::scaled, py::arg("factor"),
           "A new model multiplied by factor (positive) about the origin.")
      .def("rotated", &Model::rotated, py::arg("matrix"),
           "A new model turned about the origin by the rotation matrix R (x' = R x).");
}

// Model's methods over the parts' densities: of the units, G alone.
void BindBody(py::module_& m) {
  py::class_<Body> body(m, "Body",
                        "A body of parts, each a Model or a model file with its density in kg/m^3 "
                        "(negative for a cavity or a lighter core: where parts overlap their "
                        "densities add), and point masses (an array of rows x y z mass, or a file "
                        "of such lines); the first part's surface is the body's. Results in SI "
                        "units.");
  body.def(py::init<const py::sequence&, const py::object&, std::optional<std::string>>(),
           py::arg("parts"), py::arg("mascons") = py::none(), py::arg("unit") = py::none())
      .def(py::pickle([](const Body& self) { return self.GetState(); },
                      [](const py::tuple& state) { return Body::FromState(state); }))
      .def_property_readonly("mass", &Body::mass, "kg")
      .def_property_readonly("centre_of_mass", &Body::centre_of_mass, "in the body's unit")
      .def_property_readonly("parts", &Body::parts)
      .def_property_readonly("mascons", &Body::mascons)
      .def("describe", &Body::describe, "The lines the program's header gives the body.")
      .def("__repr__", &Body::repr)
      .def("check", &Body::check, "Each part's check report, as dicts.");
  Def(
      body, "field",
      [](Body& self, const Array& points, Number G, bool gradient, Number tolerance, Count threads,
         bool check, const py::object& progress) {
        return self.field(points, {}, {}, {}, G, gradient, tolerance, threads, check, progress);
      },
      py::arg("points"), py::arg("G") = py::none(), py::arg("gradient") = false,
      EvaluationParameters(), "As Model.field, the densities the parts'.");
  Def(
      body, "surface",
      [](Body& self, Number G, Number spin_period, std::optional<std::array<double, 3>> spin_axis,
         std::optional<std::vector<double>> slopes, Number tolerance, Count threads, bool check,
         const py::object& progress) {
        return self.surface({}, {}, {}, G, spin_period, spin_axis, slopes, tolerance, threads,
                            check, progress);
      },
      py::arg("G") = py::none(), py::arg("spin_period") = py::none(),
      py::arg("spin_axis") = py::none(), py::arg("slopes") = py::none(), EvaluationParameters(),
      "As Model.surface, on the first part's surface, U0 and the spin about the body's "
      "centre of mass.");
  Def(
      body, "grid",
      [](Body& self, Number radius, std::optional<std::pair<uint32_t, uint32_t>> shape,
         Number altitude, Number G, Number tolerance, Count threads, bool check,
         const py::object& progress, bool as_xarray) {
        return self.grid(radius, shape, altitude, {}, {}, {}, G, tolerance, threads, check,
                         progress, as_xarray, "Body.grid");
      },
      py::arg("radius") = py::none(), py::arg("shape") = py::none(),
      py::arg("altitude") = py::none(), py::arg("G") = py::none(), EvaluationParameters(),
      py::arg("as_xarray") = false,
      "As Model.grid, about the body's centre of mass (of every part and point mass) with "
      "its total GM; a shell's altitude above the first part's surface.");
  Def(
      body, "equilibria",
      [](Body& self, Number G, Number spin_period, std::optional<std::array<double, 3>> spin_axis,
         Count seeds, const std::string& continuation, Number tolerance, Count threads, bool check,
         const py::object& progress, const std::string& picture) {
        return self.equilibria({}, {}, {}, G, spin_period, spin_axis, seeds, continuation,
                               tolerance, threads, check, progress, picture);
      },
      py::arg("G") = py::none(), py::arg("spin_period") = py::none(),
      py::arg("spin_axis") = py::none(), py::arg("seeds") = py::none(),
      py::arg("continuation") = "", EvaluationParameters(), py::arg("picture") = "",
      "As Model.equilibria, the densities the parts' and the point masses'.");
  body.def(
          "inertia", [](const Body& self) { return self.inertia({}, {}, {}, {}); },
          "The body's inertia tensor about its centre of mass (kg m^2), principal moments and "
          "axes.")
      .def(
          "harmonics",
          [](Body& self, int degree, Number reference_radius, Number G, const std::string& origin,
             Count threads, const py::object& progress) {
            return self.harmonics(degree, reference_radius, {}, {}, {}, G, origin, threads,
                                  progress);
          },
          py::arg("degree"), py::arg("reference_radius") = py::none(), py::arg("G") = py::none(),
          py::arg("origin") = "model", py::arg("threads") = py::none(),
          py::arg("progress") = py::none(),
          "As Model.harmonics: the coefficients of every part and point mass.");
}

// An unknown keyword told by name, with the nearest known one: every
// function of the module and method of its classes (and their constructors)
// is replaced by a guard that hands its arguments on as they came
// (vectorcall, no copy) and, when the call fails with a TypeError (pybind11's
// lists every signature), looks for a keyword that none of the overloads
// takes.

// The keywords of a pybind11 function over its overloads ("self" aside).
std::vector<std::string> KeywordsOf(py::handle function) {
  std::vector<std::string> names;
  const py::handle self = PyCFunction_GET_SELF(function.ptr());
  if (!self || !py::isinstance<py::capsule>(self)) return names;
  auto* record =
      py::reinterpret_borrow<py::capsule>(self).get_pointer<py::detail::function_record>();
  for (; record; record = record->next)
    for (const auto& a : record->args)
      if (a.name && std::string_view(a.name) != "self" &&
          std::find(names.begin(), names.end(), a.name) == names.end())
        names.emplace_back(a.name);
  return names;
}

struct Guarded {
  py::object function;  // the pybind11 function, called with self first for a method
  std::vector<std::string> names;
  std::string title;  // as the message names the call: "field", "Model"
};

// The message of the first keyword in `keywords` that is not a name, or "".
std::string UnknownKeyword(const Guarded& g, PyObject* keywords) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keywords); ++i) {
    const std::string key = py::str(PyTuple_GET_ITEM(keywords, i));
    if (std::find(g.names.begin(), g.names.end(), key) != g.names.end()) continue;
    std::string message = g.title + "() got an unexpected keyword argument '" + key + "'";
    const py::list near =
        py::module_::import("difflib").attr("get_close_matches")(key, py::cast(g.names), 1);
    if (!near.empty()) return message + "; did you mean '" + near[0].cast<std::string>() + "'?";
    message += " (it takes";
    for (size_t j = 0; j < g.names.size(); ++j) message += (j ? ", " : " ") + g.names[j];
    return message + ")";
  }
  return "";
}

PyObject* Forward(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords) {
  const auto& g = *static_cast<const Guarded*>(PyCapsule_GetPointer(self, nullptr));
  PyObject* result = PyObject_Vectorcall(g.function.ptr(), args, count, keywords);
  if (result || !keywords || !PyErr_ExceptionMatches(PyExc_TypeError)) return result;
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  try {
    const std::string message = UnknownKeyword(g, keywords);
    if (!message.empty()) {
      Py_XDECREF(type), Py_XDECREF(value), Py_XDECREF(trace);
      PyErr_SetString(PyExc_TypeError, message.c_str());
      return nullptr;
    }
  } catch (...) {
    // Finding the nearest name failed: the first error stands.
  }
  PyErr_Restore(type, value, trace);
  return nullptr;
}

// The guard of `original` (a pybind11 function, or a method's instancemethod
// or staticmethod), with its name and docstring; null for anything else (a
// property).
py::object Guard(const py::handle original, const std::string& name, const std::string& title,
                 const py::handle module) {
  const bool is_static =
      py::isinstance(original, py::module_::import("builtins").attr("staticmethod"));
  const py::object inner =
      is_static ? original.attr("__func__") : py::reinterpret_borrow<py::object>(original);
  const py::handle function = py::detail::get_function(inner);
  if (!function || !PyCFunction_Check(function.ptr())) return py::object();
  auto* g = new Guarded{py::reinterpret_borrow<py::object>(function), KeywordsOf(function), title};
  const py::capsule holder(g, [](void* p) { delete static_cast<Guarded*>(p); });
  // Made once a function at import, kept for the process, as pybind11 keeps
  // its own.
  const py::object doc = function.attr("__doc__");
  auto* def = new PyMethodDef{strdup(name.c_str()),
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Forward)),
                              METH_FASTCALL | METH_KEYWORDS,
                              doc.is_none() ? nullptr : strdup(doc.cast<std::string>().c_str())};
  py::object guard =
      py::reinterpret_steal<py::object>(PyCFunction_NewEx(def, holder.ptr(), module.ptr()));
  if (!guard) throw py::error_already_set();
  if (is_static) return py::module_::import("builtins").attr("staticmethod")(guard);
  if (original.ptr() == function.ptr()) return guard;  // a module's function
  return py::reinterpret_steal<py::object>(PyInstanceMethod_New(guard.ptr()));
}

void GuardKeywords(py::module_& m) {
  const py::object module_name = m.attr("__name__");
  for (const char* name : {"grid", "fit"})
    m.attr(name) = Guard(m.attr(name), name, name, module_name);
  for (const char* class_name : {"Model", "Body", "Harmonics"}) {
    const py::object cls = m.attr(class_name);
    const py::dict members = cls.attr("__dict__");  // a copy
    for (const auto& [key, value] : members) {
      const std::string name = py::str(key);
      if (name.rfind('_', 0) == 0 && name != "__init__") continue;
      const py::object guard =
          Guard(value, name, name == "__init__" ? class_name : name, module_name);
      if (guard) py::setattr(cls, name.c_str(), guard);
    }
  }
}

// Model.field_vjp, field_jvp, field_jacobian and Body's.
void BindDerivatives(py::module_& m) {
  using D = DerivativesFace;
  using Optional = D::Optional;
  auto model = py::reinterpret_borrow<py::class_<Model>>(m.attr("Model"));
  Def(
      model, "field_vjp",
      [](Model& self, const Array& points, const Optional& dU, const Optional& dg,
         const Optional& dT, Number density, Number mass, Number gm, Number G, Count threads,
         bool check) {
        return D::Vjp(self, false, points, dU, dg, dT,
                      D::Request(self, density, mass, gm, G, false, threads, check));
      },
      py::arg("points"), py::kw_only(), py::arg("dU") = py::none(), py::arg("dg") = py::none(),
      py::arg("dT") = py::none(), UnitsParameters(), py::arg("threads") = py::none(),
      py::arg("check") = true,
      "The gradient of sum(dU * U) + sum(dg * g) + sum(dT * T) at points (n, 3) (weights of "
      "shapes (n,), (n, 3), (n, 6); None weighs nothing) by the vertices and the density: "
      "{'vertices': (V, 3) per model unit, 'density': per kg/m^3}.");
  Def(
      model, "field_jvp",
      [](Model& self, const Array& points, const py::object& dvertices, const py::object& ddensity,
         Number density, Number mass, Number gm, Number G, bool gradient, Count threads,
         bool check) {
        const science::FieldRequest r =
            D::Request(self, density, mass, gm, G, gradient, threads, check);
        return D::Jvp(self, points, D::Tangent(D::Of(self), false, dvertices, ddensity, {}, {}), r);
      },
      py::arg("points"), py::kw_only(), py::arg("dvertices") = py::none(),
      py::arg("ddensity") = py::none(), UnitsParameters(), py::arg("gradient") = false,
      py::arg("threads") = py::none(), py::arg("check") = true,
      "The change (dU (n,), dg (n, 3)[, dT (n, 6)]) of the field at points (n, 3) for a "
      "change of the vertices dvertices (V, 3), model units, and of the density ddensity.");
  Def(
      model, "field_jacobian",
      [](Model& self, const Array& points, Number density, Number mass, Number gm, Number G,
         bool gradient, Count threads, bool check) {
        return D::Jacobian(self, false, points,
                           D::Request(self, density, mass, gm, G, gradient, threads, check));
      },
      py::arg("points"), py::kw_only(), UnitsParameters(), py::arg("gradient") = false,
      py::arg("threads") = py::none(), py::arg("check") = true,
      "The Jacobian of U, gx, gy, gz (and xx, xy, xz, yy, yz, zz with gradient=True) at "
      "points (n, 3): {'vertices': (n, K, V, 3), 'density': (n, K), 'matrix': (n K, 3 V + 1)}.");
  Def(
      model, "harmonics_jacobian",
      [](Model& self, int degree, Number reference_radius, Number density, Number mass, Number gm,
         Number G, Count threads) {
        return D::HarmonicsJacobian(self, degree, reference_radius,
                                    D::UnitsOf(self, density, mass, gm, G), threads);
      },
      py::arg("degree"), py::kw_only(), py::arg("reference_radius") = py::none(), UnitsParameters(),
      py::arg("threads") = py::none(),
      "The derivatives of C_nm, S_nm and GM by the vertices and the density, about the model's "
      "origin at a fixed reference radius (default the Brillouin radius, held fixed): 'C' and "
      "'S' (N + 1, N + 1, 3 V + 1), 'GM' (3 V + 1,), columns as field_jacobian's matrix; and "
      "'harmonics', the coefficients.");
  Def(
      model, "shape_covariance",
      [](Model& self, const py::object& sigma, const Optional& covariance, const std::string& along,
         const std::optional<Array>& points, std::optional<int> degree, Number reference_radius,
         Number density, Number mass, Number gm, Number G, bool gradient, Count threads,
         bool check) {
        const science::FieldRequest r =
            D::Request(self, density, mass, gm, G, gradient, threads, check);
        return D::ShapeCovariance(self, D::ErrorsOf(D::Of(self), sigma, covariance, along), points,
                                  degree, reference_radius, r, threads);
      },
      py::kw_only(), py::arg("sigma") = py::none(), py::arg("covariance") = py::none(),
      py::arg("along") = "normal", py::arg("points") = py::none(), py::arg("degree") = py::none(),
      py::arg("reference_radius") = py::none(), UnitsParameters(), py::arg("gradient") = false,
      py::arg("threads") = py::none(), py::arg("check") = true,
      "First-order covariance of the field at points and of the coefficients for vertex errors "
      "(model units): sigma a number or (V,), along the vertex normals or in each coordinate, "
      "or covariance (V, V) along the normals. 'field' (K n, K n) with 'U_sigma' (n,), "
      "'g_sigma' (n, 3) [, 'T_sigma']; 'harmonics' (rows C_nm, S_nm, GM) with 'C_sigma', "
      "'S_sigma' (N + 1, N + 1) and 'GM_sigma'.");
  m.def(
      "fit",
      [](const py::object& body, const py::object& measured, int degree, int min_degree,
         bool constrain_gm, Count threads) {
        if (!py::isinstance<Body>(body) && !py::isinstance<Model>(body))
          throw py::type_error("fit: body is a polyfield.Model or polyfield.Body");
        Model& self = py::isinstance<Body>(body) ? body.cast<Body&>() : body.cast<Model&>();
        return D::FitOf(self, measured, degree, min_degree, constrain_gm, threads);
      },
      py::arg("body"), py::arg("measured"), py::arg("degree"), py::kw_only(),
      py::arg("min_degree") = 1, py::arg("constrain_gm") = false, py::arg("threads") = py::none(),
      "The densities of a Body's parts (kg/m^3) and its point masses' masses (kg), or a "
      "Model's density, that best explain a measured field (C, S, sigma_C, sigma_S of shape "
      "(N + 1, N + 1), GM and reference_radius in m, sigma_GM optional) over degrees "
      "min_degree..degree by weighted linear least squares: names, estimate, sigma, "
      "covariance, correlation, chi_square, observations, dof, rms_by_degree, residual_C, "
      "residual_S. constrain_gm holds the total mass to GM.");
  auto body = py::reinterpret_borrow<py::class_<Body>>(m.attr("Body"));
  Def(
      body, "shape_covariance",
      [](Body& self, const py::object& sigma, const Optional& covariance, const std::string& along,
         const std::optional<Array>& points, std::optional<int> degree, Number reference_radius,
         Number G, bool gradient, Count threads, bool check) {
        const science::FieldRequest r = D::Request(self, {}, {}, {}, G, gradient, threads, check);
        return D::ShapeCovariance(self, D::ErrorsOf(D::Of(self), sigma, covariance, along), points,
                                  degree, reference_radius, r, threads);
      },
      py::kw_only(), py::arg("sigma") = py::none(), py::arg("covariance") = py::none(),
      py::arg("along") = "normal", py::arg("points") = py::none(), py::arg("degree") = py::none(),
      py::arg("reference_radius") = py::none(), py::arg("G") = py::none(),
      py::arg("gradient") = false, py::arg("threads") = py::none(), py::arg("check") = true,
      "As Model.shape_covariance, for errors of the first part's vertices (the surface).");
  Def(
      body, "harmonics_jacobian",
      [](Body& self, int degree, Number reference_radius, Number G, Count threads) {
        return D::HarmonicsJacobian(self, degree, reference_radius, D::UnitsOf(self, {}, {}, {}, G),
                                    threads);
      },
      py::arg("degree"), py::kw_only(), py::arg("reference_radius") = py::none(),
      py::arg("G") = py::none(), py::arg("threads") = py::none(),
      "As Model.harmonics_jacobian, the columns those of Body.field_jacobian's matrix.");
  Def(
      body, "field_vjp",
      [](Body& self, const Array& points, const Optional& dU, const Optional& dg,
         const Optional& dT, Number G, Count threads, bool check) {
        return D::Vjp(self, true, points, dU, dg, dT,
                      D::Request(self, {}, {}, {}, G, false, threads, check));
      },
      py::arg("points"), py::kw_only(), py::arg("dU") = py::none(), py::arg("dg") = py::none(),
      py::arg("dT") = py::none(), py::arg("G") = py::none(), py::arg("threads") = py::none(),
      py::arg("check") = true,
      "As Model.field_vjp: {'vertices': [(V_i, 3) per part], 'density': (P,), "
      "'mascon_positions': (M, 3), 'mascon_masses': (M,) per kg}.");
  Def(
      body, "field_jvp",
      [](Body& self, const Array& points, const py::object& dvertices, const py::object& ddensity,
         const Optional& dmascon_positions, const Optional& dmascon_masses, Number G, bool gradient,
         Count threads, bool check) {
        const science::FieldRequest r = D::Request(self, {}, {}, {}, G, gradient, threads, check);
        return D::Jvp(
            self, points,
            D::Tangent(D::Of(self), true, dvertices, ddensity, dmascon_positions, dmascon_masses),
            r);
      },
      py::arg("points"), py::kw_only(), py::arg("dvertices") = py::none(),
      py::arg("ddensity") = py::none(), py::arg("dmascon_positions") = py::none(),
      py::arg("dmascon_masses") = py::none(), py::arg("G") = py::none(),
      py::arg("gradient") = false, py::arg("threads") = py::none(), py::arg("check") = true,
      "As Model.field_jvp: dvertices one (V_i, 3) array or None per part, ddensity (P,), "
      "dmascon_positions (M, 3), dmascon_masses (M,).");
  Def(
      body, "field_jacobian",
      [](Body& self, const Array& points, Number G, bool gradient, Count threads, bool check) {
        return D::Jacobian(self, true, points,
                           D::Request(self, {}, {}, {}, G, gradient, threads, check));
      },
      py::arg("points"), py::kw_only(), py::arg("G") = py::none(), py::arg("gradient") = false,
      py::arg("threads") = py::none(), py::arg("check") = true,
      "As Model.field_jacobian: {'vertices': [(n, K, V_i, 3)], 'density': (n, K, P), "
      "'mascon_positions': (n, K, M, 3), 'mascon_masses': (n, K, M), 'matrix'}.");
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
  BindErrors(m);
  BindHarmonics(m);
  BindGrid(m);
  BindModel(m);
  BindBody(m);
  BindDerivatives(m);
  GuardKeywords(m);
}
