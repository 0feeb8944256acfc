// geopot: U(facet centroid) / U(centroid of the solid), a pure number (2/3 on
// the surface of a solid sphere).
#include "tools/geopot_cmd.h"

#include <cstdlib>

#include "common/error.h"
#include "common/print.h"
#include "tools/colouring.h"
#include "tools/surface.h"

namespace {

class Geopot final : public ColouringCommand {
 public:
  const char* Usage() const override {
    return "usage : geopot STL\n        geopot STL CM_STL STL\n        geopot STL min. max. CM_STL "
           "STL";
  }
  ValueRange ParseRange(const char* min, const char* max) const override {
    const double lower = std::atof(min), upper = std::atof(max);
    if (!(upper > lower)) Error("bad range of normalized potential.");  // NaN refused too
    return {lower, upper};
  }
  void Compute(FieldEngine& engine, const FacetView& model, ValuedFacet* facets) override {
    const terms::Vec c = ModelVolume(model).Centroid();
    engine.Evaluate(1, &c.x, &c.y, &c.z, {&U0_, nullptr, nullptr, nullptr});
    AtCentroids(engine, model, Want::kPotential,
                [&](size_t first, size_t count, const FieldOut& r) {
                  for (size_t i = 0; i < count; ++i) facets[first + i].value = r.U[i] / U0_;
                });
  }
  void PrintRange(const ValueRange& range) const override {
    Line line;
    line.E(U0_).Tab().F(range.lower).Tab().F(range.upper).Char('\n').Flush(stdout);
  }

 private:
  double U0_ = 0;
};

}  // namespace

int GeopotMain(int argc, char** argv, FieldEngine& engine) {
  Geopot command;
  return ColouringMain(argc, argv, engine, command);
}
