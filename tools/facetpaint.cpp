// facetpaint: lists, clears or sets the colours of an STL model's facets.
// The form is told by the number of arguments; the model is read first and
// the output file is opened only after every other check has passed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/cm_stl.h"
#include "common/error.h"
#include "common/input.h"
#include "common/print.h"
#include "common/read.h"
#include "common/store.h"
#include "tools/colour_words.h"

namespace {

constexpr const char* kUsage =
    "usage : facetpaint STL\n"
    "        facetpaint STL STL\n"
    "        facetpaint STL RGB STL\n"
    "        facetpaint STL R G B STL";

// One line per facet: a colour widened to the scale 0 to 255 by
// trunc(c5 * 255 / 31 + 0.5) as "%d\t%d\t%d", anything else an empty line.
void List(uint32_t count, const AttributedFacet* facet) {
  char wide[32][4];
  for (int c5 = 0; c5 < 32; ++c5)
    std::snprintf(wide[c5], sizeof wide[c5], "%d", static_cast<int>(c5 * 255.0 / 31 + 0.5));
  for (uint32_t i = 0; i < count; ++i) {
    const unsigned a = facet[i].attribute;
    if (a & 0x8000) {
      char line[16];
      const int n = std::snprintf(line, sizeof line, "%s\t%s\t%s\n", wide[a >> 10 & 31],
                                  wide[a >> 5 & 31], wide[a & 31]);
      std::fwrite(line, 1, static_cast<size_t>(n), stdout);
    } else {
      std::putchar('\n');
    }
  }
}

// The attribute of one RGB file line: three words a colour, one word a flag
// (at most 31767, bit 15 clear), two words or none no colour.
uint16_t RgbLine(const char* line) {
  uint16_t value = 0;  // stays 0 for no colour
  words::ColourOrFlag(line, 31767, &value);
  return value;
}

void ReadRgb(const char* path, uint32_t count, AttributedFacet* facet) {
  const bool from_stdin = path[0] == '-';
  FILE* in = from_stdin ? stdin : OpenInput(path, "r");
  if (!in) Error("RGB file not found.");
  // Closed on every way out, standard input excepted.
  const std::unique_ptr<FILE, int (*)(FILE*)> closer(from_stdin ? nullptr : in, &std::fclose);
  char line[1024];
  for (uint32_t i = 0; i < count; ++i) {
    if (!std::fgets(line, sizeof line, in)) Error("RGB data read error.");
    facet[i].attribute = RgbLine(line);
  }
}

// A component argument converted as atof does (text that is not a number
// is 0), then checked.
double ComponentArgument(const char* arg) {
  const double c = std::strtod(arg, nullptr);
  if (!(c >= 0 && c <= 255)) Error("bad R, G and/or B value.");
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  const int args = argc - 1;
  if (args != 1 && args != 2 && args != 3 && args != 5) Error(kUsage);
  uint32_t count = 0;
  AttributedFacet* facet = nullptr;
  ReadFacet(argv[1], &count, &facet);
  const std::unique_ptr<AttributedFacet, decltype(&std::free)> owned(facet, &std::free);
  switch (args) {
    case 1:
      List(count, facet);
      return FinishOutput();
    case 2:
      for (uint32_t i = 0; i < count; ++i) facet[i].attribute = 0;
      StoreFacet(argv[2], count, facet);
      break;
    case 3:
      ReadRgb(argv[2], count, facet);
      StoreFacet(argv[3], count, facet);
      break;
    case 5: {
      const double r = ComponentArgument(argv[2]);
      const double g = ComponentArgument(argv[3]);
      const double b = ComponentArgument(argv[4]);
      const uint16_t word = ColourWord(r, g, b);
      for (uint32_t i = 0; i < count; ++i) facet[i].attribute = word;
      StoreFacet(argv[5], count, facet);
      break;
    }
  }
  return 0;
}
