// The science library's figures: a facet without a value is grey, never the
// colour of an end of the range; the bar's triangles follow the values.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "science/model.h"
#include "science/products.h"
#include "tests/support/refusal.h"
#include "tests/support/run.h"

namespace {

// The pixels of the cube's picture coloured red by `values`, and how many
// are of colour c.
size_t PixelsOf(const std::vector<double>& values, Rgb c) {
  const mesh::Mesh cube = science::LoadModel(DataPath("cube.stl"));
  const std::vector<uint16_t> table(32768, 0x8000 | 31 << 10);  // red throughout
  const std::vector<uint16_t> colours = science::Colours(values, {0, 1}, table);
  char* data = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  science::PictureRequest request;
  request.size = std::pair{200u, 150u};
  EXPECT_TRUE(science::WritePicture(out, figure::Output::kPng, cube, values, colours, table, {0, 1},
                                    "v", "m", request));
  std::fclose(out);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  EXPECT_TRUE(png_image_begin_read_from_memory(&image, data, size));
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
  EXPECT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
  std::free(data);
  size_t n = 0;
  for (size_t i = 0; i + 2 < rgb.size(); i += 3)
    n += rgb[i] == c.r && rgb[i + 1] == c.g && rgb[i + 2] == c.b;
  return n;
}

TEST(Picture, AFacetWithoutAValueIsGrey) {
  std::vector<double> values(12, 0.5);
  EXPECT_EQ(PixelsOf(values, kNoColour), 0u);
  const size_t red = PixelsOf(values, {255, 0, 0});
  EXPECT_GT(red, 2000u);
  values.assign(12, NAN);
  EXPECT_GT(PixelsOf(values, kNoColour), 2000u);
  // The bar alone is red then.
  EXPECT_LT(PixelsOf(values, {255, 0, 0}), red / 2);
}

// The coloured STL of the cube: opened among the run's outputs, written
// with every facet in the table's colour over the range asked for, and in
// place only once the outputs are committed.
TEST(Picture, ColouredOutputsWaitForTheCommit) {
  const mesh::Mesh cube = science::LoadModel(DataPath("cube.stl"));
  const std::string stl = TempDir() + "/coloured.stl";
  const std::vector<uint16_t> table(32768, 0x8000 | 31 << 10);  // red throughout
  science::PictureRequest request;
  request.range = std::pair{-1.0, 2.0};
  science::Outputs outputs;
  const science::ColourOutputs coloured(&outputs, {stl, "", "", ""});
  const science::Range r = coloured.Write(cube, {0.5, 0.5, 0.5}, std::vector<double>(12, 0.5),
                                          std::vector<double>(12, 0.5), table, "v", "m", request);
  EXPECT_EQ(r.min, -1);
  EXPECT_EQ(r.max, 2);
  EXPECT_FALSE(std::filesystem::exists(stl));
  outputs.Commit();
  const std::string bytes = ReadFile(stl);
  ASSERT_EQ(bytes.size(), 84u + 12 * 50);
  for (size_t f = 0; f < 12; ++f) {
    uint16_t attribute;
    std::memcpy(&attribute, bytes.data() + 84 + 50 * f + 48, 2);
    EXPECT_EQ(attribute, 0x8000 | 31 << 10) << f;
  }
  // One that the run reads is refused before anything is written.
  science::Outputs reading({{"model", stl}});
  EXPECT_EQ(Refusal([&] {
              science::ColourOutputs(&reading, {"", "", "", stl});
            }),
            "latlon: " + stl + " is the file of model too");
}

}  // namespace
