// The Python face of the front end's library: numpy arrays in and out, the
// same body, field, tensor and surface products as the polyfield program,
// failures as Python exceptions with the program's messages.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <thread>

#include "common/error.h"
#include "mesh/check.h"
#include "mesh/mesh.h"
#include "science/body.h"
#include "science/products.h"

namespace py = pybind11;

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

constexpr double kDefaultG = 6.67430e-11;

unsigned AllCores() {
  return std::max(1u, std::thread::hardware_concurrency());
}

science::Units UnitsOf(double metres, std::optional<double> density, double G) {
  science::Units u;
  u.metres = metres;
  u.G = G;
  if (density) {
    if (!(*density > 0)) throw mesh::Failure("density: not a positive number");
    u.density = *density;
  }
  return u;
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

class Model {
 public:
  Model(const std::string& path, const std::string& unit)
      : metres_(science::MetresOf(unit)),
        body_(std::make_unique<science::Body>(mesh::ReadModel(path), AllCores())) {}

  Model(Array vertices, py::array_t<long long, py::array::c_style | py::array::forcecast> faces,
        const std::string& unit)
      : metres_(science::MetresOf(unit)) {
    if (vertices.ndim() != 2 || vertices.shape(1) != 3)
      throw mesh::Failure("vertices: an array of shape (V, 3)");
    if (faces.ndim() != 2 || faces.shape(1) != 3)
      throw mesh::Failure("faces: an array of shape (F, 3)");
    mesh::Mesh m;
    m.vertices.assign(vertices.data(), vertices.data() + vertices.size());
    const long long V = vertices.shape(0);
    for (py::ssize_t i = 0; i < faces.size(); ++i) {
      const long long k = faces.data()[i];
      if (k < 0 || k >= V)
        throw mesh::Failure("faces: vertex " + std::to_string(k) + " does not exist (" +
                            std::to_string(V) + " vertices)");
      m.faces.push_back(static_cast<uint32_t>(k));
    }
    if (m.faces.empty()) throw mesh::Failure("faces: no faces");
    body_ = std::make_unique<science::Body>(std::move(m), AllCores());
  }

  double volume() const { return body_->Volume(); }
  py::tuple centroid() const {
    const auto c = body_->CentreOfMass();
    return py::make_tuple(c[0], c[1], c[2]);
  }
  double area() const { return body_->Area(); }

  py::dict check() const {
    const mesh::CheckReport r = mesh::Check(body_->model());
    py::dict d;
    d["vertices"] = r.vertices;
    d["faces"] = r.faces;
    d["boundary_edges"] = r.boundary_edges;
    d["non_manifold_edges"] = r.non_manifold_edges;
    d["inconsistent_edges"] = r.inconsistent_edges;
    d["degenerate_faces"] = r.degenerate_faces;
    d["duplicate_faces"] = r.duplicate_faces;
    d["normals_against_winding"] = r.normals_against_winding;
    d["volume"] = r.volume;
    d["problem"] = r.Problem();
    d["fit"] = r.Problem().empty();
    return d;
  }

  py::tuple field(Array points, std::optional<double> density, double G, bool gradient,
                  std::optional<double> tolerance, std::optional<unsigned> threads, bool check) {
    Prepare(tolerance, threads, check);
    if (points.ndim() != 2 || points.shape(1) != 3)
      throw mesh::Failure("points: an array of shape (n, 3)");
    const science::Units u = UnitsOf(metres_, density, G);
    const size_t n = static_cast<size_t>(points.shape(0));
    // The kernel reads the coordinates as three columns.
    std::vector<double> x(n), y(n), z(n);
    const double* p = points.data();
    for (size_t i = 0; i < n; ++i) x[i] = p[3 * i], y[i] = p[3 * i + 1], z[i] = p[3 * i + 2];
    py::array_t<double> U(static_cast<py::ssize_t>(n));
    py::array_t<double> g({static_cast<py::ssize_t>(n), py::ssize_t{3}});
    py::array_t<double> T({static_cast<py::ssize_t>(gradient ? n : 0), py::ssize_t{6}});
    std::vector<double> gx(n), gy(n), gz(n);
    double* Up = U.mutable_data();
    double* Tp = T.mutable_data();
    bool finished;
    {
      // Computed without the GIL; between blocks it is taken back to look
      // for Ctrl-C.
      py::gil_scoped_release free;
      finished = science::FieldOf(*body_, u, n, x.data(), y.data(), z.data(), Up, gx.data(),
                                  gy.data(), gz.data(), gradient ? Tp : nullptr, [](double) {
                                    py::gil_scoped_acquire hold;
                                    return PyErr_CheckSignals() == 0;
                                  });
    }
    if (!finished) throw py::error_already_set();
    double* gp = g.mutable_data();
    for (size_t i = 0; i < n; ++i) gp[3 * i] = gx[i], gp[3 * i + 1] = gy[i], gp[3 * i + 2] = gz[i];
    if (!gradient) return py::make_tuple(U, g);
    return py::make_tuple(U, g, T);
  }

  py::dict surface(std::optional<double> density, double G, std::optional<double> spin_period,
                   std::optional<std::vector<double>> spin_axis, std::vector<double> slopes,
                   std::optional<unsigned> threads, bool check) {
    Prepare(std::nullopt, threads, check);
    const science::Units u = UnitsOf(metres_, density, G);
    science::SurfaceOptions options;
    if (spin_period) {
      if (!u.Si()) throw mesh::Failure("--spin-period needs --density (SI units)");
      if (!(*spin_period > 0)) throw mesh::Failure("spin_period: hours, a positive number");
      options.spin_period = *spin_period * 3600;
    }
    if (spin_axis) {
      if (spin_axis->size() != 3) throw mesh::Failure("spin_axis: three numbers x, y, z");
      options.spin_axis = {(*spin_axis)[0], (*spin_axis)[1], (*spin_axis)[2]};
    }
    science::Surface s;
    {
      py::gil_scoped_release free;
      s = science::SurfaceOf(*body_, u, options);
    }
    py::dict d;
    d["area"] = Vector(s.area);
    d["centroid"] = Stack(s.cx, s.cy, s.cz);
    d["U"] = Vector(s.U);
    d["g"] = Stack(s.gx, s.gy, s.gz);
    d["g_norm"] = Vector(s.g);
    d["slope"] = Vector(s.slope);
    d["U/U0"] = Vector(s.UU0);
    d["U0"] = s.U0;
    const std::vector<double>* slope = &s.slope;
    if (options.spin_period > 0) {
      d["Ueff"] = Vector(s.Ueff);
      d["geff"] = Stack(s.gxeff, s.gyeff, s.gzeff);
      d["geff_norm"] = Vector(s.geff);
      d["slopeeff"] = Vector(s.slopeeff);
      slope = &s.slopeeff;
    }
    const auto st = science::Statistics(*slope, s.area, {5, 25, 50, 75, 95}, slopes);
    py::dict summary;
    summary["volume"] = body_->Volume();
    if (u.Si()) summary["mass"] = u.density * body_->Volume() * std::pow(u.metres, 3);
    const auto c = body_->CentreOfMass();
    summary["centre_of_mass"] = py::make_tuple(c[0], c[1], c[2]);
    summary["area"] = body_->Area();
    summary["U0"] = s.U0;
    py::dict percentiles, above;
    for (const auto& [p, v] : st.percentiles) percentiles[py::float_(p)] = v;
    for (const auto& [t, share] : st.above) above[py::float_(t)] = share;
    summary["slope_percentiles"] = percentiles;
    summary["area_fraction_above"] = above;
    summary["least_slope_facet"] = st.min_facet;
    summary["most_slope_facet"] = st.max_facet;
    d["summary"] = summary;
    return d;
  }

  // A coloured binary STL and (when png is given) its picture, coloured by
  // `values` (one per facet) over `range` or the area-weighted percentiles.
  std::pair<double, double> write_colours(Array values, const std::string& stl,
                                          const std::string& png, const std::string& map,
                                          std::optional<std::pair<double, double>> range,
                                          std::pair<double, double> percentiles,
                                          const std::string& label) {
    const size_t n = body_->model().FaceCount();
    if (values.ndim() != 1 || static_cast<size_t>(values.shape(0)) != n)
      throw mesh::Failure("values: one per facet");
    const std::vector<double> v(values.data(), values.data() + n);
    const auto& m = body_->model();
    const std::vector<double> area = science::FaceAreas(m);
    science::Range r =
        range ? science::Range{range->first, range->second}
              : science::PercentileRange(v, area, percentiles.first, percentiles.second);
    if (!(r.max > r.min)) throw mesh::Failure("range: MIN < MAX");
    const auto table = science::ColourMap(map);
    const auto colours = science::Colours(v, r, table);
    if (!stl.empty()) science::WriteColouredStl(stl, m, colours);
    if (!png.empty()) science::WritePicture(png, m, colours, table, r, label, 30, 25, 800, 600);
    return {r.min, r.max};
  }

 private:
  void Prepare(std::optional<double> tolerance, std::optional<unsigned> threads, bool check) {
    if (tolerance && !(*tolerance > 0 && *tolerance < 1))
      throw mesh::Failure("--tolerance: not a number between 0 and 1");
    body_->SetThreads(threads ? std::max(1u, *threads) : AllCores());
    body_->SetTolerance(tolerance.value_or(0.0));
    if (check) {
      const std::string problem = mesh::Check(body_->model()).Problem();
      if (!problem.empty())
        throw mesh::Failure("unfit for the field formulas: " + problem +
                            " (check=False evaluates anyway)");
    }
  }

  double metres_;
  std::unique_ptr<science::Body> body_;
};

}  // namespace

PYBIND11_MODULE(polyfield, m) {
  m.doc() =
      "The gravitational potential and attraction of a homogeneous solid bounded by a "
      "triangulated polyhedron, in closed form. U > 0, g = grad U; SI units with a density "
      "(kg/m^3), else G rho = 1 in the model's unit.";
  m.attr("__version__") = POLYFIELD_VERSION;
  m.attr("G") = kDefaultG;
  // The suite's units end through Error; inside Python their message becomes
  // an exception, and nothing ever calls exit().
  SetErrorHook([](const char* message) { throw mesh::Failure(message); });
  static py::exception<mesh::Failure> failure(m, "Error", PyExc_RuntimeError);
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const mesh::Failure& e) {
      PyErr_SetString(failure.ptr(), e.what());
    }
  });

  py::class_<Model>(m, "Model", "A model: a file in any format polyfield reads, or arrays.")
      .def(py::init<const std::string&, const std::string&>(), py::arg("path"),
           py::arg("unit") = "m")
      .def(py::init<Array, py::array_t<long long, py::array::c_style | py::array::forcecast>,
                    const std::string&>(),
           py::arg("vertices"), py::arg("faces"), py::arg("unit") = "m")
      .def_property_readonly("volume", &Model::volume)
      .def_property_readonly("centroid", &Model::centroid)
      .def_property_readonly("area", &Model::area)
      .def("check", &Model::check, "The check report, as a dict.")
      .def("field", &Model::field, py::arg("points"), py::arg("density") = py::none(),
           py::arg("G") = kDefaultG, py::arg("gradient") = false, py::arg("tolerance") = py::none(),
           py::arg("threads") = py::none(), py::arg("check") = true,
           "(U, g) at points (n, 3): shapes (n,) and (n, 3); with gradient=True also the "
           "tensor (n, 6): xx, xy, xz, yy, yz, zz.")
      .def("surface", &Model::surface, py::arg("density") = py::none(), py::arg("G") = kDefaultG,
           py::arg("spin_period") = py::none(), py::arg("spin_axis") = py::none(),
           py::arg("slopes") = std::vector<double>{10, 20, 30, 40}, py::arg("threads") = py::none(),
           py::arg("check") = true,
           "Per-facet arrays at the facet centroids (spin_period in hours) and a summary.")
      .def("write_colours", &Model::write_colours, py::arg("values"), py::arg("stl") = "",
           py::arg("png") = "", py::arg("map") = "viridis", py::arg("range") = py::none(),
           py::arg("percentiles") = std::pair<double, double>{2, 98}, py::arg("label") = "",
           "Coloured binary STL and PNG picture by one value per facet; returns the range.");
}
