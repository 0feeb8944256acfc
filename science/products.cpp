// Colour maps, ranges, coloured models and pictures for the front end.
#include "science/products.h"

#include <cairo.h>
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

std::vector<uint16_t> ColourMap(const std::string& name_or_path) {
  std::string path = name_or_path;
  if (!std::filesystem::exists(path)) {
    path = BundledMap(name_or_path);
    if (path.empty())
      throw Failure(Quantity("map") + ": \"" + name_or_path +
                        "\" is neither a CM_STL file nor a bundled map (viridis, "
                        "blue_white_red, grey)",
                    Failure::Kind::kBadValue);
  }
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

cairo_status_t WriteToFile(void* closure, const unsigned char* data, unsigned int length) {
  FILE* f = static_cast<FILE*>(closure);
  return std::fwrite(data, 1, length, f) == length ? CAIRO_STATUS_SUCCESS
                                                   : CAIRO_STATUS_WRITE_ERROR;
}

std::string Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4g", v);
  return buf;
}

}  // namespace

bool WriteColouredStl(FILE* out, const mesh::Mesh& model, const std::vector<uint16_t>& colours) {
  const std::vector<AttributedFacet> facets = Facets(model, colours);
  return WriteFacets(out, static_cast<uint32_t>(facets.size()), facets.data());
}

bool WritePicture(FILE* out, const mesh::Mesh& model, const std::vector<uint16_t>& colours,
                  const std::vector<uint16_t>& table, Range range, const std::string& label,
                  const PictureRequest& request) {
  Validate(request, {});
  const auto [width, height] = request.size;
  const auto [lon, lat] = request.view;
  const std::vector<AttributedFacet> facets = Facets(model, colours);
  Image image;
  image.width = width;
  image.height = height;
  std::vector<uint8_t> rgb(3 * size_t{width} * height);
  std::vector<float> depth(size_t{width} * height);
  image.rgb = rgb.data();
  image.depth = depth.data();
  Render(static_cast<uint32_t>(facets.size()), facets.data(), MakeViewBasis(lon, lat), &image);

  // The picture, then a panel of 150 pixels at its right for the bar.
  const int panel = 150, total = static_cast<int>(width) + panel, h = static_cast<int>(height);
  const std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> picture(
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, total, h), &cairo_surface_destroy);
  cairo_surface_t* const surface = picture.get();
  unsigned char* data = cairo_image_surface_get_data(surface);
  if (!data) return false;  // no memory for the picture
  const int stride = cairo_image_surface_get_stride(surface);
  cairo_surface_flush(surface);
  for (int y = 0; y < h; ++y) {
    uint32_t* row = reinterpret_cast<uint32_t*>(data + size_t(y) * stride);
    for (int x = 0; x < total; ++x) {
      Rgb c = kBackground;
      if (x < static_cast<int>(width)) {
        const uint8_t* p = &rgb[3 * (size_t(y) * width + x)];
        c = {p[0], p[1], p[2]};
      }
      row[x] = uint32_t{c.r} << 16 | uint32_t{c.g} << 8 | c.b;
    }
  }
  // The bar: entry 32767 at the top, 0 at the bottom.
  const int top = h / 8, bottom = h - h / 8, left = static_cast<int>(width) + 20, bar = 24;
  for (int y = top; y < bottom; ++y) {
    const double share = double(bottom - 1 - y) / std::max(1, bottom - 1 - top);
    const Rgb c = FacetColour(table[static_cast<size_t>(std::lround(share * 32767))]);
    uint32_t* row = reinterpret_cast<uint32_t*>(data + size_t(y) * stride);
    for (int x = left; x < left + bar && x < total; ++x)
      row[x] = uint32_t{c.r} << 16 | uint32_t{c.g} << 8 | c.b;
  }
  cairo_surface_mark_dirty(surface);
  {
    const std::unique_ptr<cairo_t, decltype(&cairo_destroy)> context(cairo_create(surface),
                                                                     &cairo_destroy);
    cairo_t* const cr = context.get();
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, std::clamp(h / 40.0, 9.0, 16.0));
    cairo_set_source_rgb(cr, 0.9, 0.9, 0.9);
    cairo_move_to(cr, left + bar + 6, top + 10);
    cairo_show_text(cr, Number(range.max).c_str());
    cairo_move_to(cr, left + bar + 6, bottom);
    cairo_show_text(cr, Number(range.min).c_str());
    cairo_move_to(cr, left - 10, top - 10);
    cairo_show_text(cr, label.c_str());
  }
  return cairo_surface_write_to_png_stream(surface, WriteToFile, out) == CAIRO_STATUS_SUCCESS;
}

}  // namespace science
