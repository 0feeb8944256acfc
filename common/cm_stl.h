// Colour map: a CM_STL file read into a table of 32768 attribute words, the
// colour word layout, and the rule that turns a value into a table index.
#pragma once

#include <cstdint>

constexpr uint32_t kColourEntries = 32768;

// Fills table[0..32767] from the CM_STL file at `path` ("-..." is standard
// input); unlisted indices hold 0 (no colour). Messages: "CM_STL file not
// found." (also for a read error), "bad color specification.", "bad R, G and/or B value.", "bad
// range list.".
void CM_STL(const char* path, uint16_t* table);

// Five-bit component of a colour given on the scale 0 to 255:
// trunc(c * 31 / 255 + 0.5). Values outside the scale are taken at its
// nearest end, NaN as 0 (callers check the range first).
inline unsigned Colour5(double c) {
  if (!(c > 0)) return 0;
  if (c >= 255) return 31;
  return static_cast<unsigned>(c * 31 / 255 + 0.5);
}

// 0x8000 | r5 << 10 | g5 << 5 | b5 for components on the scale 0 to 255.
inline uint16_t ColourWord(double r, double g, double b) {
  return static_cast<uint16_t>(0x8000 | Colour5(r) << 10 | Colour5(g) << 5 | Colour5(b));
}

// Maps values within [min, max] to indices 0..32767: v <= min gives 0,
// v >= max gives 32767, otherwise trunc((v - min)/step + 0.5) with
// step = (max - min)/32767 (for finite bounds whose difference overflows,
// the same with every difference taken at half scale). A value that is not a
// number gives 0.
class ValueToIndex {
 public:
  ValueToIndex(double min, double max);
  uint32_t operator()(double v) const;

 private:
  double min_, max_, step_;
  bool half_;  // finite bounds whose difference overflows: halves throughout
};
