// Rows of numbers: what a row is, and the file and line of what is not.
#include "common/rows.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "common/failure.h"

namespace {

std::string Write(const std::string& text) {
  char name[] = "/tmp/rows_testXXXXXX";
  const int fd = mkstemp(name);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  return name;
}

struct Read {
  std::vector<double> values;
  std::vector<size_t> lines;
  std::string error;
};

Read ReadText(const std::string& text, int columns = 3) {
  const std::string path = Write(text);
  Read r;
  try {
    rows::Read(path, columns, columns == 3 ? "three numbers x y z" : "four numbers x y z mass",
               columns == 4, [&](const double* v, size_t line) {
                 r.values.insert(r.values.end(), v, v + columns);
                 r.lines.push_back(line);
               });
  } catch (const Failure& e) {
    r.error = e.what();
    r.error = "F" + r.error.substr(path.size());
  }
  std::remove(path.c_str());
  return r;
}

TEST(Rows, BlanksTabsCommasCommentsAndSigns) {
  const Read r = ReadText("# header\n\n 1,2\t3 # a comment\r\n+4 -5e1 .5\n  \t\n");
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.values, (std::vector<double>{1, 2, 3, 4, -50, 0.5}));
  EXPECT_EQ(r.lines, (std::vector<size_t>{3, 4}));
  const Read m = ReadText("1 2 3 7.5e10\n", 4);
  EXPECT_EQ(m.values, (std::vector<double>{1, 2, 3, 7.5e10}));
  // The last line needs no newline.
  EXPECT_EQ(ReadText("1 2 3").values.size(), 3u);
}

TEST(Rows, WhatIsNotARowNamesTheFileAndLine) {
  EXPECT_EQ(ReadText("1 2 3\n1 2\n").error, "F:2: expected three numbers x y z, found \"1 2\"");
  EXPECT_EQ(ReadText("1 2 3 4\n").error, "F:1: expected three numbers x y z, found \"1 2 3 4\"");
  // Half a number, a stray word, an exponent without digits.
  EXPECT_EQ(ReadText("1 2 3x\n").error, "F:1: expected three numbers x y z, found \"1 2 3x\"");
  EXPECT_EQ(ReadText("1e 2 3\n").error, "F:1: expected three numbers x y z, found \"1e 2 3\"");
  EXPECT_EQ(ReadText("1 2 3 4 # ok\nx 1 2 3 # c\n", 4).error,
            "F:2: expected four numbers x y z mass, found \"x 1 2 3 \"");
  // Four columns here want finite numbers; three take inf and nan.
  EXPECT_EQ(ReadText("1 2 3 inf\n", 4).error,
            "F:1: expected four numbers x y z mass, found \"1 2 3 inf\"");
  EXPECT_EQ(ReadText("inf nan 1\n").values.size(), 3u);
  // A NUL byte inside a line does not end it.
  EXPECT_NE(ReadText(std::string("1 2 3\0 4\n", 9)).error, "");
  EXPECT_EQ(ReadText("").error, "");
  try {
    rows::Read("/nonexistent/points", 3, "three numbers x y z", false,
               [](const double*, size_t) {});
    ADD_FAILURE();
  } catch (const Failure& e) {
    EXPECT_STREQ(e.what(), "/nonexistent/points: cannot be opened");
  }
}

}  // namespace

// A part of a file already read: the lines numbered from the part's first,
// each row and each refusal as the whole file's reading gives it.
TEST(Rows, APartOfAFileIsReadAsTheWholeFileReadsIt) {
  const std::string text = "# header\n1 2 3\r\n\n4,5,6 # six\n7 8 9";
  const Read whole = ReadText(text);
  // The part from line 2 on, numbered from 2.
  const std::string part = text.substr(text.find('\n') + 1);
  Read r;
  rows::ReadText("F", part.data(), part.size(), 2, 3, "three numbers x y z", false,
                 [&](const double* v, size_t line) {
                   r.values.insert(r.values.end(), v, v + 3);
                   r.lines.push_back(line);
                 });
  EXPECT_EQ(r.values, whole.values);
  EXPECT_EQ(r.lines, (std::vector<size_t>{2, 4, 5}));
  EXPECT_EQ(r.lines, whole.lines);
  const std::string bad = "1 2 3\n4 5\n";
  try {
    rows::ReadText("F", bad.data(), bad.size(), 41, 3, "three numbers x y z", false,
                   [](const double*, size_t) {});
    ADD_FAILURE() << "no refusal";
  } catch (const Failure& e) {
    EXPECT_EQ(std::string(e.what()), "F:42: expected three numbers x y z, found \"4 5\"");
  }
}
