// What the surface products become for the eye: a per-facet quantity mapped
// through a colour map into a coloured binary STL model, and figures (a view
// or a latitude-longitude map) with a labelled colour bar.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "mesh/mesh.h"
#include "render/figure.h"
#include "science/body.h"
#include "science/field.h"
#include "science/outputs.h"
#include "science/request.h"

namespace science {

// A colour table of 32768 entries from a bundled map by name (viridis,
// blue_white_red, grey) or from a CM_STL file's path.
std::vector<uint16_t> ColourMap(const std::string& name_or_path);
// The file ColourMap reads for it: the CM_STL file, else the bundled map of
// that name; "" when there is neither.
std::string ColourMapFile(const std::string& name_or_path);

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

// A figure of the coloured model seen from the request's view, of its size
// and style, with its title and a colour bar labelled with the request's
// label or else `label`, the quantity and its unit (triangles at the ends
// beyond which `values` lie), as PNG, PDF or SVG; a facet whose value is not
// a number is drawn in kNoColour, grey. `unit` is the model's length unit,
// the scale bar's.
// False when a write fails. `more` is asked now and then (its share 0, not
// known) while the figure is drawn and written: false stops it, and
// Stopped is thrown.
bool WritePicture(FILE* out, figure::Output kind, const mesh::Mesh& model,
                  const std::vector<double>& values, const std::vector<uint16_t>& colours,
                  const std::vector<uint16_t>& table, Range range, const std::string& label,
                  const std::string& unit, const PictureRequest& request,
                  const More& more = nullptr);
// The same as a latitude-longitude map: each facet at the longitudes and
// latitudes of its vertices seen from `centre` (the centre of mass).
bool WriteMap(FILE* out, figure::Output kind, const mesh::Mesh& model,
              const std::array<double, 3>& centre, const std::vector<double>& values,
              const std::vector<uint16_t>& colours, const std::vector<uint16_t>& table, Range range,
              const std::string& label, const PictureRequest& request, const More& more = nullptr);

// The coloured model's files ("" each not written): a binary STL, a PNG
// picture, a picture by its extension (PNG, PDF or SVG) and a
// latitude-longitude map about the centre of mass by its extension.
struct ColourFiles {
  std::string stl, png, picture, latlon;
  bool Any() const { return !(stl.empty() && png.empty() && picture.empty() && latlon.empty()); }
  // Each under its quantity, for Validate(Files).
  FileList List() const {
    return {{"stl", stl}, {"png", png}, {"picture", picture}, {"latlon", latlon}};
  }
};

// Refuses a picture or map (kBadValue) whose name ends in an extension
// other than .png, .pdf or .svg (in any case), which would be written as a
// PNG under a name that says otherwise; a name without an extension and
// "-" (standard output) are PNG.
void CheckFigureNames(const ColourFiles& files);

// The coloured files of a run: opened among its outputs (Outputs::Open,
// each given) before the values are known, so that a run that cannot write
// them fails first; put in place with the others by Outputs::Commit.
class ColourOutputs {
 public:
  ColourOutputs(Outputs* outputs, ColourFiles files);
  // Writes each file of `model` coloured by `values` (one per facet)
  // through `table`, over the request's range or its percentiles weighted
  // by `area`, the bar labelled `label` (unless the request has one), the
  // scale bar in the model's length `unit`, the map seen from `centre`;
  // returns the range. "PATH: write error" when a write fails; Stopped when
  // `more` stops a figure.
  Range Write(const mesh::Mesh& model, const std::array<double, 3>& centre,
              const std::vector<double>& values, const std::vector<double>& area,
              const std::vector<uint16_t>& table, const std::string& label, const std::string& unit,
              const PictureRequest& request, const More& more = nullptr) const;

 private:
  ColourFiles files_;
  std::array<FILE*, 4> out_{};  // in the order of List(), null when not written
};

}  // namespace science
