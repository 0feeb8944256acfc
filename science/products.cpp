// Colour maps, ranges, coloured models and pictures for the front end.
#include "science/products.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numeric>

#include "common/cm_stl.h"
#include "common/facet.h"
#include "common/store.h"
#include "render/render.h"
#include "science/summary.h"

namespace science {

namespace {

// The file that holds this code: the program (from /proc/self/exe, since the
// loader knows the main program only by its argv[0]) or the shared object it
// is linked into (the Python module, by the path it was loaded from).
std::filesystem::path ThisBinary() {
  Dl_info info;
  link_map* map = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&ThisBinary), &info, reinterpret_cast<void**>(&map),
              RTLD_DL_LINKMAP) != 0 &&
      map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0')
    return map->l_name;
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec);
}

// Where the bundled colour maps are: PREFIX/share/polyfield/colormaps, found
// from the binary that holds this code, so that an installed copy finds its
// own maps wherever the prefix was moved and no path of the build machine is
// compiled in. The program lies in PREFIX/bin, one folder down; the module in
// PREFIX/lib/python3/dist-packages (or a virtual environment's
// lib/python3.X/site-packages), three down. The build tree has the program's
// layout: the build copies the maps to build/share/polyfield/colormaps, one
// folder above build/bin and build/python.
std::string BundledMap(const std::string& name) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path binary = fs::weakly_canonical(ThisBinary(), ec);
  if (ec || binary.empty()) return "";
  for (const char* up : {"..", "../../.."}) {
    const fs::path p = binary.parent_path() / up / POLYFIELD_MAP_DIR / (name + ".cm");
    if (fs::is_regular_file(p, ec)) return p.lexically_normal().string();
  }
  return "";
}

}  // namespace

std::string ColourMapFile(const std::string& name_or_path) {
  return std::filesystem::exists(name_or_path) ? name_or_path : BundledMap(name_or_path);
}

std::vector<uint16_t> ColourMap(const std::string& name_or_path) {
  const std::string path = ColourMapFile(name_or_path);
  if (path.empty())
    throw Failure(Quantity("map") + ": \"" + name_or_path +
                      "\" is neither a CM_STL file nor a bundled map (viridis, "
                      "blue_white_red, grey)",
                  Failure::Kind::kBadValue);
  std::vector<uint16_t> table(kColourEntries);
  CM_STL(path.c_str(), table.data());
  return table;
}

std::vector<std::string> ColourNames(bool spin) {
  std::vector<std::string> names = {"potential"};
  for (const std::string& name : SurfaceColumnNames(spin))
    if (name != "facet") names.push_back(name);
  return names;
}

const Column* ColourColumn(const std::vector<Column>& columns, const std::string& colour) {
  const std::string name = colour == "potential" ? "U" : colour;
  for (const Column& c : columns)
    if (c.name == name && name != "facet") return &c;
  return nullptr;
}

Range ColourRange(const std::vector<double>& value, const std::vector<double>& area,
                  const PictureRequest& request) {
  Validate(request, {});
  if (request.range) return {request.range->first, request.range->second};
  const AreaStatistics st =
      Statistics(value, area, {request.percentiles.first, request.percentiles.second}, {});
  if (st.percentiles.empty()) return {0, 1};  // no finite value
  Range r{st.percentiles[0].second, st.percentiles[1].second};
  if (!(r.max > r.min)) r.max = r.min + (r.min == 0 ? 1 : std::fabs(r.min) * 1e-9);
  return r;
}

std::vector<uint16_t> Colours(const std::vector<double>& value, Range range,
                              const std::vector<uint16_t>& table) {
  const ValueToIndex index(range.min, range.max);
  std::vector<uint16_t> out(value.size());
  for (size_t i = 0; i < value.size(); ++i) out[i] = table[index(value[i])];
  return out;
}

namespace {

std::vector<AttributedFacet> Facets(const mesh::Mesh& m, const std::vector<uint16_t>& colours) {
  std::vector<AttributedFacet> facets(m.FaceCount());
  for (size_t f = 0; f < facets.size(); ++f) {
    for (int k = 0; k < 3; ++k)
      for (int c = 0; c < 3; ++c)
        facets[f].v[3 * k + c] = NarrowToFloat(m.vertices[3 * m.faces[3 * f + k] + c]);
    facets[f].attribute = f < colours.size() ? colours[f] : 0;
  }
  return facets;
}

}  // namespace

bool WriteColouredStl(FILE* out, const mesh::Mesh& model, const std::vector<uint16_t>& colours) {
  const std::vector<AttributedFacet> facets = Facets(model, colours);
  return WriteFacets(out, static_cast<uint32_t>(facets.size()), facets.data());
}

namespace {

// The figure's style, its facets in their colours and its bar.
struct Figure {
  figure::Style style;
  std::vector<figure::Triangle> facets;
  figure::Bar bar;
};

Figure FigureOf(const mesh::Mesh& m, const std::vector<double>& values,
                const std::vector<uint16_t>& colours, const std::vector<uint16_t>& table,
                Range range, const std::string& label, const std::string& unit,
                const PictureRequest& request) {
  Validate(request, {});
  Figure f;
  const auto [width, height] = request.size.value_or(kPictureSize);
  f.style.width = width, f.style.height = height;
  f.style.fit = !request.size;
  f.style.dark = request.background == "dark";
  f.style.shading = request.shading == "lambert";
  f.style.title = request.title;
  f.style.outline = request.outline;
  f.style.triad = request.triad;
  f.style.scale_bar = request.scale_bar;
  f.style.from = request.view;
  f.style.unit = unit;
  f.facets.resize(m.FaceCount());
  for (size_t i = 0; i < f.facets.size(); ++i) {
    for (int k = 0; k < 3; ++k) {
      const uint32_t corner = m.faces[3 * i + k];
      f.facets[i].corner[k] = corner;
      for (int c = 0; c < 3; ++c) f.facets[i].v[3 * k + c] = m.vertices[3 * corner + c];
    }
    // A facet without a value (not a number) is drawn uncoloured, never in
    // the colour of an end of the range.
    const bool valued = i < values.size() && !std::isnan(values[i]);
    f.facets[i].colour = valued && i < colours.size() ? FacetColour(colours[i]) : kNoColour;
  }
  constexpr int kStops = 256;
  for (int i = 0; i < kStops; ++i)
    f.bar.colours.push_back(
        FacetColour(table[static_cast<size_t>(std::lround(i * 32767.0 / (kStops - 1)))]));
  f.bar.min = range.min, f.bar.max = range.max;
  f.bar.label = request.label.empty() ? label : request.label;
  for (const double v : values) {
    f.bar.below = f.bar.below || v < range.min;
    f.bar.above = f.bar.above || v > range.max;
  }
  return f;
}

// The figure drawn by `draw` with the face's `more` asked as it goes:
// Stopped when it said no.
bool Drawn(Figure* f, const More& more, const std::function<bool()>& draw) {
  bool stopped = false;
  if (more)
    f->style.more = [&] {
      if (!stopped && !more(0)) stopped = true;
      return !stopped;
    };
  const bool written = draw();
  if (stopped) throw Stopped();
  return written;
}

}  // namespace

bool WritePicture(FILE* out, figure::Output kind, const mesh::Mesh& model,
                  const std::vector<double>& values, const std::vector<uint16_t>& colours,
                  const std::vector<uint16_t>& table, Range range, const std::string& label,
                  const std::string& unit, const PictureRequest& request, const More& more) {
  Figure f = FigureOf(model, values, colours, table, range, label, unit, request);
  const auto [lon, lat] = request.view;
  return Drawn(&f, more, [&] {
    return figure::DrawView(out, kind, f.facets, MakeViewBasis(lon, lat), f.style, f.bar);
  });
}

bool WriteMap(FILE* out, figure::Output kind, const mesh::Mesh& model,
              const std::array<double, 3>& centre, const std::vector<double>& values,
              const std::vector<uint16_t>& colours, const std::vector<uint16_t>& table, Range range,
              const std::string& label, const PictureRequest& request, const More& more) {
  Figure f = FigureOf(model, values, colours, table, range, label, "", request);
  f.style.shading = false;
  return Drawn(&f, more, [&] {
    return figure::DrawMap(out, kind, figure::MapPolygons(f.facets, centre.data()), f.style, f.bar);
  });
}

void CheckFigureNames(const ColourFiles& files) {
  for (const auto& [quantity, path] :
       {std::pair<const char*, const std::string&>{"picture", files.picture},
        {"latlon", files.latlon}}) {
    const std::string name = std::filesystem::path(path).filename().string();
    const size_t dot = name.rfind('.');
    if (path.empty() || path == "-" || dot == std::string::npos || dot == 0) continue;
    std::string ext = name.substr(dot);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext != ".png" && ext != ".pdf" && ext != ".svg")
      Refuse(Quantity(quantity) + ": " + path + ": the extension " + name.substr(dot) +
             " is not one of .png, .pdf, .svg (the picture's format)");
  }
}

ColourOutputs::ColourOutputs(Outputs* outputs, ColourFiles files) : files_(std::move(files)) {
  const FileList list = files_.List();
  for (size_t i = 0; i < list.size(); ++i)
    if (!list[i].second.empty()) out_[i] = outputs->Open(list[i].first, list[i].second);
}

Range ColourOutputs::Write(const mesh::Mesh& m, const std::array<double, 3>& centre,
                           const std::vector<double>& v, const std::vector<double>& area,
                           const std::vector<uint16_t>& table, const std::string& label,
                           const std::string& unit, const PictureRequest& request,
                           const More& more) const {
  const Range r = ColourRange(v, area, request);
  const std::vector<uint16_t> colours = Colours(v, r, table);
  const auto [stl, png, picture, latlon] = out_;
  if (stl && !WriteColouredStl(stl, m, colours)) throw Failure(files_.stl + ": write error");
  if (png &&
      !WritePicture(png, figure::Output::kPng, m, v, colours, table, r, label, unit, request, more))
    throw Failure(files_.png + ": write error");
  if (picture && !WritePicture(picture, figure::OutputFor(files_.picture), m, v, colours, table, r,
                               label, unit, request, more))
    throw Failure(files_.picture + ": write error");
  if (latlon && !WriteMap(latlon, figure::OutputFor(files_.latlon), m, centre, v, colours, table, r,
                          label, request, more))
    throw Failure(files_.latlon + ": write error");
  return r;
}

}  // namespace science
