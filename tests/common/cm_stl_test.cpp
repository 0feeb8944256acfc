// Colour map: the colour word, the CM_STL line and range-list grammars with
// their messages and check order, and the value-to-index rule.
#include "common/cm_stl.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/run.h"

namespace {

struct Map {
  std::vector<uint16_t> table = std::vector<uint16_t>(kColourEntries, 0xDEAD);
  std::string error;  // "" when the map was read
};

Map Read(const std::string& text) {
  InstallErrorHook();
  Map m;
  const std::string path = TempDir() + "/map.txt";
  WriteFile(path, text);
  try {
    CM_STL(path.c_str(), m.table.data());
  } catch (const ErrorCalled& e) {
    m.error = e.what();
  }
  return m;
}

// Indices first..last all hold `word`.
void ExpectRange(const Map& m, uint32_t first, uint32_t last, uint16_t word) {
  for (uint32_t i = first; i <= last; ++i) {
    ASSERT_EQ(m.table[i], word) << "index " << i;
  }
}

TEST(Colour5, RoundsTheFractionOf31Over255) {
  EXPECT_EQ(Colour5(255), 31u);
  EXPECT_EQ(Colour5(128), 16u);  // 15.56 + 0.5
  EXPECT_EQ(Colour5(4), 0u);     // 0.486 + 0.5
  EXPECT_EQ(Colour5(5), 1u);     // 0.608 + 0.5
  EXPECT_EQ(Colour5(0), 0u);
  EXPECT_EQ(Colour5(4.11), 0u);  // 0.4996...: still below one half
  EXPECT_EQ(Colour5(4.12), 1u);  // 0.50086...
}

TEST(ColourWord, NamedColours) {
  EXPECT_EQ(ColourWord(255, 0, 0), 0xFC00);
  EXPECT_EQ(ColourWord(0, 255, 0), 0x83E0);
  EXPECT_EQ(ColourWord(0, 0, 255), 0x801F);
  EXPECT_EQ(ColourWord(255, 255, 255), 0xFFFF);
  EXPECT_EQ(ColourWord(128, 128, 128), 0xC210);
  EXPECT_EQ(ColourWord(0, 0, 0), 0x8000);  // black is a colour, not 0
}

TEST(CM_STL, WholeTableOneColour) {
  const Map m = Read("- 0 0 255\n");
  ASSERT_EQ(m.error, "");
  ExpectRange(m, 0, 32767, 0x801F);
}

TEST(CM_STL, TwoHalves) {
  const Map m = Read("0-16383 255 0 0\n16384- 0 0 255\n");
  ASSERT_EQ(m.error, "");
  ExpectRange(m, 0, 16383, 0xFC00);
  ExpectRange(m, 16384, 32767, 0x801F);
}

TEST(CM_STL, ListOfItemsWithGreyAndUnlistedZero) {
  const Map m = Read("0,10,20-30 128\n");
  ASSERT_EQ(m.error, "");
  EXPECT_EQ(m.table[0], 0xC210);
  EXPECT_EQ(m.table[10], 0xC210);
  ExpectRange(m, 20, 30, 0xC210);
  ExpectRange(m, 1, 9, 0);
  ExpectRange(m, 11, 19, 0);
  ExpectRange(m, 31, 32767, 0);
}

TEST(CM_STL, EmptyItemsAreSkipped) {
  const Map m = Read(",,7,, 255 255 255\n");
  ASSERT_EQ(m.error, "");
  EXPECT_EQ(m.table[7], 0xFFFF);
  ExpectRange(m, 0, 6, 0);
  ExpectRange(m, 8, 32767, 0);
}

TEST(CM_STL, UpToAndFromForms) {
  const Map m = Read("-3 255 0 0\n32765- 0 255 0\n32767 0 0 255\n");
  ASSERT_EQ(m.error, "");
  ExpectRange(m, 0, 3, 0xFC00);
  ExpectRange(m, 4, 32764, 0);
  ExpectRange(m, 32765, 32766, 0x83E0);
  EXPECT_EQ(m.table[32767], 0x801F);
}

TEST(CM_STL, BlackIsAColourUnlikeUnlisted) {
  const Map m = Read("0-9 0 0 0\n");
  ASSERT_EQ(m.error, "");
  ExpectRange(m, 0, 9, 0x8000);
  EXPECT_EQ(m.table[10], 0);
}

TEST(CM_STL, FractionalComponentsAndFieldsAfterTheFourthIgnored) {
  const Map m = Read("1 4.12 5 4 anything 99 here\n");
  ASSERT_EQ(m.error, "");
  EXPECT_EQ(m.table[1], 0x8000 | 1 << 10 | 1 << 5 | 0);
}

TEST(CM_STL, LaterLinesWinAndTableIsClearedFirst) {
  const Map m = Read("- 255 0 0\n5-6 0 255 0\n6 0 0 255\n");
  ASSERT_EQ(m.error, "");
  EXPECT_EQ(m.table[4], 0xFC00);
  EXPECT_EQ(m.table[5], 0x83E0);
  EXPECT_EQ(m.table[6], 0x801F);
  EXPECT_EQ(Read("").table[123], 0);  // an empty map still clears the table
}

TEST(CM_STL, FieldCountMessages) {
  EXPECT_EQ(Read("5-9\n").error, "bad color specification.");
  EXPECT_EQ(Read("5-9 1 2\n").error, "bad color specification.");
  EXPECT_EQ(Read("5-9 1 2 x\n").error, "bad color specification.");
  EXPECT_EQ(Read("5-9 x\n").error, "bad color specification.");
  // Two fields converted: "1 x" is the grey 1 with a stray word after it.
  EXPECT_EQ(Read("5-9 1 x\n").error, "");
}

TEST(CM_STL, ColourValueMessages) {
  EXPECT_EQ(Read("0-9 256 0 0\n").error, "bad R, G and/or B value.");
  EXPECT_EQ(Read("0-9 -1 0 0\n").error, "bad R, G and/or B value.");
  EXPECT_EQ(Read("0-9 0 255.5 0\n").error, "bad R, G and/or B value.");
  EXPECT_EQ(Read("0-9 0 0 -0.01\n").error, "bad R, G and/or B value.");
  EXPECT_EQ(Read("0-9 300\n").error, "bad R, G and/or B value.");
  EXPECT_EQ(Read("0-9 nan 0 0\n").error, "bad R, G and/or B value.");
  EXPECT_EQ(Read("0-9 0 inf 0\n").error, "bad R, G and/or B value.");
  EXPECT_EQ(Read("0-9 255 255 255\n").error, "");
  EXPECT_EQ(Read("0-9 0 0 0\n").error, "");
}

TEST(CM_STL, RangeListMessages) {
  EXPECT_EQ(Read("9-5 0 0 0\n").error, "bad range list.");
  EXPECT_EQ(Read("32768 0 0 0\n").error, "bad range list.");
  EXPECT_EQ(Read("5x 0 0 0\n").error, "bad range list.");
  EXPECT_EQ(Read("1--2 0 0 0\n").error, "bad range list.");
  EXPECT_EQ(Read("-- 0 0 0\n").error, "bad range list.");
  EXPECT_EQ(Read("0-32768 0 0 0\n").error, "bad range list.");
  EXPECT_EQ(Read("99999999999999999999 0 0 0\n").error, "bad range list.");
  EXPECT_EQ(Read("+5 0 0 0\n").error, "bad range list.");
  EXPECT_EQ(Read("1;2 0 0 0\n").error, "bad range list.");
  EXPECT_EQ(Read("5-9x 0 0 0\n").error, "bad range list.");
  EXPECT_EQ(Read("0-0,00032767 0 0 0\n").error, "");  // leading zeros are digits
}

TEST(CM_STL, ChecksComeInOrderFieldsColourRange) {
  EXPECT_EQ(Read("9-5 256 0 0\n").error, "bad R, G and/or B value.");
  EXPECT_EQ(Read("9-5 1 2\n").error, "bad color specification.");
}

TEST(CM_STL, ItemsBeforeABadItemAndEarlierLinesAreApplied) {
  const Map m = Read("0 255 0 0\n3,5x 0 0 255\n");
  EXPECT_EQ(m.error, "bad range list.");
  EXPECT_EQ(m.table[0], 0xFC00);
  EXPECT_EQ(m.table[3], 0x801F);
  EXPECT_EQ(m.table[5], 0);
}

TEST(CM_STL, BlankLineEndsTheMap) {
  Map m = Read("0 255 0 0\n1 0 255 0\n\n2 0 0 255\nthis is not a map line\n");
  ASSERT_EQ(m.error, "");
  EXPECT_EQ(m.table[0], 0xFC00);
  EXPECT_EQ(m.table[1], 0x83E0);
  EXPECT_EQ(m.table[2], 0);
  m = Read("0 255 0 0\n \t \r\n1 x\n");  // blanks only count as empty
  ASSERT_EQ(m.error, "");
  EXPECT_EQ(m.table[1], 0);
}

TEST(CM_STL, LongLineIsTakenInPiecesOf1023) {
  // The first 1023 characters are one line; the rest of the physical line
  // is another.
  std::string first = "1 255 0 0";
  first.resize(1023, ' ');
  const Map m = Read(first + "7 0 0 255\n");
  ASSERT_EQ(m.error, "");
  EXPECT_EQ(m.table[1], 0xFC00);
  EXPECT_EQ(m.table[7], 0x801F);
  // A long run of trailing blanks leaves a blank piece, which ends the map.
  std::string padded = "1 255 0 0";
  padded.resize(1500, ' ');
  const Map n = Read(padded + "\n2 0 0 255\n");
  ASSERT_EQ(n.error, "");
  EXPECT_EQ(n.table[1], 0xFC00);
  EXPECT_EQ(n.table[2], 0);
}

TEST(CM_STL, LastLineWithoutNewline) {
  const Map m = Read("4 0 255 0");
  ASSERT_EQ(m.error, "");
  EXPECT_EQ(m.table[4], 0x83E0);
}

TEST(CM_STL, MissingFile) {
  InstallErrorHook();
  std::vector<uint16_t> table(kColourEntries);
  try {
    CM_STL((TempDir() + "/absent.txt").c_str(), table.data());
    FAIL() << "no error";
  } catch (const ErrorCalled& e) {
    EXPECT_STREQ(e.what(), "CM_STL file not found.");
  }
}

TEST(CM_STL, DashReadsStandardInput) {
  const std::string path = TempDir() + "/stdin.txt";
  WriteFile(path, "9 255 0 0\n");
  ASSERT_TRUE(std::freopen(path.c_str(), "r", stdin));
  std::vector<uint16_t> table(kColourEntries);
  CM_STL("-whatever", table.data());
  EXPECT_EQ(table[9], 0xFC00);
  EXPECT_EQ(table[8], 0);
}

TEST(ValueToIndex, UnitStepRange) {
  const ValueToIndex index(0, 32767);
  EXPECT_EQ(index(0.4), 0u);
  EXPECT_EQ(index(0.5), 1u);
  EXPECT_EQ(index(32766.6), 32767u);
  EXPECT_EQ(index(-1), 0u);
  EXPECT_EQ(index(40000), 32767u);
  EXPECT_EQ(index(0), 0u);
  EXPECT_EQ(index(32767), 32767u);
  EXPECT_EQ(index(16383.49), 16383u);
}

TEST(ValueToIndex, GeneralRange) {
  // step = 90/32767: v / step = v * 32767 / 90.
  const ValueToIndex index(0, 90);
  EXPECT_EQ(index(44.999), 16383u);  // 16383.14 + 0.5
  EXPECT_EQ(index(45.002), 16384u);  // 16384.23 + 0.5
  EXPECT_EQ(index(90.0 / 32767 * 100), 100u);
  const ValueToIndex shifted(-10, 10);
  EXPECT_EQ(shifted(-10 + 20.0 / 32767 * 2.4), 2u);
  EXPECT_EQ(shifted(-10 + 20.0 / 32767 * 2.6), 3u);
}

TEST(ValueToIndex, EqualOrReversedBoundsNeverDivide) {
  const ValueToIndex equal(5, 5);
  EXPECT_EQ(equal(5), 0u);
  EXPECT_EQ(equal(4), 0u);
  EXPECT_EQ(equal(5.0000001), 32767u);
  const ValueToIndex reversed(5, 1);
  EXPECT_EQ(reversed(5), 0u);
  EXPECT_EQ(reversed(3), 0u);
  EXPECT_EQ(reversed(6), 32767u);
}

TEST(ValueToIndex, NonFiniteValuesAndBounds) {
  const ValueToIndex index(0, 1);
  EXPECT_EQ(index(NAN), 0u);
  EXPECT_EQ(index(-NAN), 0u);
  EXPECT_EQ(index(INFINITY), 32767u);
  EXPECT_EQ(index(-INFINITY), 0u);
  // Bounds that are not finite give a step that is not finite either; the
  // index still comes out in range without converting a non-finite double.
  EXPECT_LE(ValueToIndex(-INFINITY, 0)(-1), 32767u);
  EXPECT_LE(ValueToIndex(0, INFINITY)(1), 32767u);
  EXPECT_LE(ValueToIndex(-INFINITY, INFINITY)(1), 32767u);
  EXPECT_EQ(ValueToIndex(NAN, NAN)(1), 0u);
  EXPECT_LE(ValueToIndex(-1e308, 1e308)(1e307), 32767u);
}

}  // namespace
