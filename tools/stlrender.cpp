// stlrender: a PNG picture of an STL model, its facets in their own colours.
//
//   stlrender STL PNG                         three-quarter view, 800 x 600
//   stlrender STL PNG lon lat                 view from longitude, latitude (degrees)
//   stlrender STL PNG lon lat width height    and a picture of width x height pixels
//
// The model (any STL the reader takes; "-" is standard input) is seen along
// the direction (lon, lat) from far away (orthographic), fitted to the
// picture with a small margin. A facet whose attribute word holds a colour
// (bit 15 set) is filled with it, any other facet in a neutral grey; both
// sides of every facet are drawn, so inward-oriented models look the same.
// Shading and colours: render/render.h. The picture is written as an 8-bit
// RGB PNG ("-" is standard output); a named file replaces what stood under
// its name only once it is written in full.
#include <png.h>

#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include "common/error.h"
#include "common/output_file.h"
#include "common/read.h"
#include "render/render.h"

namespace {

constexpr double kDefaultLon = 30, kDefaultLat = 25;
constexpr uint32_t kDefaultWidth = 800, kDefaultHeight = 600;
constexpr long kMaxSide = 16384;

const char* const kUsage =
    "usage : stlrender STL PNG\n"
    "        stlrender STL PNG lon lat\n"
    "        stlrender STL PNG lon lat width height";

// A whole argument as a finite number.
bool Real(const char* s, double* out) {
  char* end = nullptr;
  errno = 0;
  const double d = std::strtod(s, &end);
  if (end == s || *end != '\0' || !std::isfinite(d)) return false;
  *out = d;
  return true;
}

// A whole argument as a number of pixels, 1 to kMaxSide.
bool Side(const char* s, uint32_t* out) {
  if (*s < '0' || *s > '9') return false;
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(s, &end, 10);
  if (*end != '\0' || errno == ERANGE || n < 1 || n > kMaxSide) return false;
  *out = static_cast<uint32_t>(n);
  return true;
}

// libpng reports a failure through these; the writer below turns it into
// its return value, and no message of the library's own reaches the user.
void PngError(png_structp png, png_const_charp) {
  png_longjmp(png, 1);
}
void PngWarning(png_structp, png_const_charp) {}
void PngWrite(png_structp png, png_bytep data, png_size_t length) {
  FILE* out = static_cast<FILE*>(png_get_io_ptr(png));
  if (std::fwrite(data, 1, length, out) != length) png_error(png, "write");
}
void PngFlush(png_structp png) {
  if (std::fflush(static_cast<FILE*>(png_get_io_ptr(png))) != 0) png_error(png, "flush");
}

// Writes the picture as a PNG stream; false when the stream refused a byte
// (or libpng could not get its memory).
bool WritePng(FILE* out, const Image& image) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, out, PngWrite, PngFlush);
  png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t row = 0; row < image.height; ++row)
    png_write_row(png, image.rgb + size_t{3} * image.width * row);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

// Writes the picture to `path` ("-..." is standard output) through
// OutputFile: a picture that cannot be written in full leaves nothing behind.
void StorePng(const char* path, const Image& image) {
  if (path[0] == '-') {
    if (!WritePng(stdout, image) || std::fflush(stdout) != 0 || std::ferror(stdout))
      Error("PNG data write error.");
    return;
  }
  OutputFile out;
  if (!out.Open(path)) Error("PNG file not stored.");
  if (!WritePng(out.stream(), image) || !out.Commit()) {
    out.Abandon();
    Error("PNG data write error.");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 5 && argc != 7) Error(kUsage);
  double lon = kDefaultLon, lat = kDefaultLat;
  if (argc >= 5 && (!Real(argv[3], &lon) || !Real(argv[4], &lat) || lat < -90 || lat > 90))
    Error("bad view direction.");
  Image image;
  image.width = kDefaultWidth;
  image.height = kDefaultHeight;
  if (argc == 7 && (!Side(argv[5], &image.width) || !Side(argv[6], &image.height)))
    Error("bad image size.");

  uint32_t count = 0;
  AttributedFacet* facets = nullptr;
  ReadFacet(argv[1], &count, &facets);

  const size_t pixels = size_t{image.width} * image.height;
  image.rgb = static_cast<uint8_t*>(std::malloc(3 * pixels));
  image.depth = static_cast<float*>(std::malloc(sizeof(float) * pixels));
  if (!image.rgb || !image.depth) Error("memory allocation error for image.");
  Render(count, facets, MakeViewBasis(lon, lat), &image);
  StorePng(argv[2], image);
  return 0;
}
