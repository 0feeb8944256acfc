// What the surface products become for the eye: a per-facet quantity mapped
// through a colour map into a coloured binary STL model and a PNG picture
// with a labelled colour bar.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "mesh/mesh.h"
#include "science/body.h"
#include "science/request.h"

namespace science {

// A colour table of 32768 entries from a bundled map by name (viridis,
// blue_white_red, grey) or from a CM_STL file's path.
std::vector<uint16_t> ColourMap(const std::string& name_or_path);

// The names a surface run may be coloured by: its columns but the facet
// index, and "potential" for U.
std::vector<std::string> ColourNames(bool spin);
// The column `colour` names (ColourNames), or null.
const Column* ColourColumn(const std::vector<Column>& columns, const std::string& colour);

// The range to colour over: the request's, or the area-weighted percentiles
// of the finite values (a range of no width widened by a part in 10^9).
struct Range {
  double min, max;
};
Range ColourRange(const std::vector<double>& value, const std::vector<double>& area,
                  const PictureRequest& request);

// The attribute word of every facet: its value's entry of the table over the
// range (values outside take the nearest end; not-a-number entry 0).
std::vector<uint16_t> Colours(const std::vector<double>& value, Range range,
                              const std::vector<uint16_t>& table);

// The model as binary STL, vertices as floats, each facet in its colour;
// false when a write fails.
bool WriteColouredStl(FILE* out, const mesh::Mesh& model, const std::vector<uint16_t>& colours);

// A PNG picture of the coloured model seen from the request's view, of its
// size, with a colour bar at its right labelled with the range, the
// quantity and its unit; false when a write fails.
bool WritePicture(FILE* out, const mesh::Mesh& model, const std::vector<uint16_t>& colours,
                  const std::vector<uint16_t>& table, Range range, const std::string& label,
                  const PictureRequest& request);

}  // namespace science
