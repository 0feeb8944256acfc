// What the surface products become for the eye: a per-facet quantity mapped
// through a colour map into a coloured binary STL model and a PNG picture
// with a labelled colour bar.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mesh/mesh.h"

namespace science {

// A colour table of 32768 entries from a bundled map by name (viridis,
// blue_white_red, grey) or from a CM_STL file's path.
std::vector<uint16_t> ColourMap(const std::string& name_or_path);

// The range to colour over: the given one, or the area-weighted percentiles
// lo and hi of the finite values.
struct Range {
  double min, max;
};
Range PercentileRange(const std::vector<double>& value, const std::vector<double>& area, double lo,
                      double hi);

// The attribute word of every facet: its value's entry of the table over the
// range (values outside take the nearest end; not-a-number entry 0).
std::vector<uint16_t> Colours(const std::vector<double>& value, Range range,
                              const std::vector<uint16_t>& table);

// The model as binary STL, vertices as floats, each facet in its colour.
void WriteColouredStl(const std::string& path, const mesh::Mesh& model,
                      const std::vector<uint16_t>& colours);

// A picture of the coloured model seen from (lon, lat) degrees, width x
// height pixels, with a colour bar at its right labelled with the range, the
// quantity and its unit.
void WritePicture(const std::string& path, const mesh::Mesh& model,
                  const std::vector<uint16_t>& colours, const std::vector<uint16_t>& table,
                  Range range, const std::string& label, double lon, double lat, uint32_t width,
                  uint32_t height);

}  // namespace science
