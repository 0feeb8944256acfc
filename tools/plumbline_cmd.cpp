// plumbline: the angle between each facet's normal and the upward vertical
// (opposite to the attraction of the whole solid at the facet's centroid).
#include "tools/plumbline_cmd.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numbers>

#include "common/error.h"
#include "common/print.h"
#include "tools/colouring.h"
#include "tools/surface.h"

namespace {

// Deviation of the vertical at facet v (terms::Deviation); a facet of zero
// area gets not-a-number, which colours it with entry 0 and leaves the range
// alone.
double Deviation(double gx, double gy, double gz, const float* v) {
  const terms::Vec a{v[0], v[1], v[2]}, b{v[3], v[4], v[5]}, c{v[6], v[7], v[8]};
  return terms::Deviation({gx, gy, gz}, terms::Cross(b - a, c - a));
}

class Plumbline final : public ColouringCommand {
 public:
  const char* Usage() const override {
    return "usage : plumbline STL\n        plumbline STL CM_STL STL\n        plumbline STL min. "
           "max. "
           "CM_STL STL";
  }
  ValueRange ParseRange(const char* min, const char* max) const override {
    const char* bad = "bad range of deviation of the vertical in degree.";
    const double lower = std::atof(min) * std::numbers::pi / 180;
    if (!(lower >= 0)) Error(bad);  // also refuses a bound that is not a number
    const double upper = std::atof(max) * std::numbers::pi / 180;
    if (!(upper <= std::numbers::pi) || upper < lower) Error(bad);
    return {lower, upper};
  }
  void Compute(FieldEngine& engine, const FacetView& model, ValuedFacet* facets) override {
    AtCentroids(
        engine, model, Want::kAttraction, [&](size_t first, size_t count, const FieldOut& r) {
          for (size_t i = 0; i < count; ++i)
            facets[first + i].value = Deviation(r.gx[i], r.gy[i], r.gz[i], model.V(first + i));
        });
  }
  void PrintRange(const ValueRange& range) const override {
    Line line;
    line.F(range.lower * 180 / std::numbers::pi)
        .Tab()
        .F(range.upper * 180 / std::numbers::pi)
        .Char('\n')
        .Flush(stdout);
  }
};

}  // namespace

int PlumblineMain(int argc, char** argv, FieldEngine& engine) {
  Plumbline command;
  return ColouringMain(argc, argv, engine, command);
}
