#include "viewer/cloud/point_files.h"

#include "test_files.h"

#include <cmath>

namespace {

using cloud::CloudStore;
using cloudtest::colourAt;
using cloudtest::pointAt;
using Floats = std::vector<float>;
using Ints = std::vector<int>;

class TextRows : public cloudtest::TempDirTest {
 protected:
  void load(std::string_view text, std::string_view name = "in.txt") {
    cloudtest::writeFile(file(name), text);
    cloud::LoadPointFile(store_, file(name));
  }
  CloudStore store_;
};

TEST_F(TextRows, RowsGiveOnePointEach) {
  load(
      "1.5 2 3\n"
      "1 2 3 300 -1 7 99\n"  // colours held to 0..255; further tokens ignored
      "\n"                   // empty: white point at the origin
      "x y z\n"              // words: the same
      "\t4\t5 6 1 2\r\n"     // tabs, CR LF, blue missing
      "7 8 9");              // no line end at the end of the file
  ASSERT_EQ(store_.pointCount(), 6u);
  EXPECT_EQ(pointAt(store_, 0), (Floats{1.5f, 2, 3}));
  EXPECT_EQ(colourAt(store_, 0), (Ints{255, 255, 255}));
  EXPECT_EQ(colourAt(store_, 1), (Ints{255, 0, 7}));
  EXPECT_EQ(pointAt(store_, 2), (Floats{0, 0, 0}));
  EXPECT_EQ(pointAt(store_, 3), (Floats{0, 0, 0}));
  EXPECT_EQ(colourAt(store_, 3), (Ints{255, 255, 255}));
  EXPECT_EQ(pointAt(store_, 4), (Floats{4, 5, 6}));
  EXPECT_EQ(colourAt(store_, 4), (Ints{1, 2, 255}));
  EXPECT_EQ(pointAt(store_, 5), (Floats{7, 8, 9}));
}

TEST_F(TextRows, NumbersBeyondFloatRange) {
  load("1e39 -1e300 1e-50\nnan inf 99999999999999999999 4294967297\n");
  ASSERT_EQ(store_.pointCount(), 2u);
  EXPECT_EQ(pointAt(store_, 0), (Floats{INFINITY, -INFINITY, 0}));
  EXPECT_TRUE(std::isnan(store_.positions()[3]));
  EXPECT_EQ(store_.positions()[4], INFINITY);
  EXPECT_EQ(colourAt(store_, 1), (Ints{255, 255, 255}));  // 2^32 + 1 held to 255
}

TEST_F(TextRows, CommaIsNotASeparator) {
  load("1,2,3\n", "in.csv");
  ASSERT_EQ(store_.pointCount(), 1u);
  EXPECT_EQ(pointAt(store_, 0), (Floats{1, 0, 0}));
}

TEST_F(TextRows, LongLinesAreOnePointEach) {
  // A line is one point however long (128 characters used to give two); one
  // beyond the 64 KiB bound gives one point from its start.
  std::string longer = "4 5 6";
  longer.append(127 - longer.size(), ' ');
  longer += "8";
  std::string huge = "7 8 9";
  huge.append(70000, ' ');
  huge += "1 2 3";
  load("1 2 3\n" + longer + "\r\n" + huge + "\n10 11 12\n");
  ASSERT_EQ(store_.pointCount(), 4u);
  EXPECT_EQ(pointAt(store_, 0), (Floats{1, 2, 3}));
  EXPECT_EQ(pointAt(store_, 1), (Floats{4, 5, 6}));
  EXPECT_EQ(pointAt(store_, 2), (Floats{7, 8, 9}));
  EXPECT_EQ(pointAt(store_, 3), (Floats{10, 11, 12}));
}

TEST_F(TextRows, WrittenWithFourDecimalsAndCrLf) {
  CloudStore original;
  original.appendPoint(1.5f, -2.0f, 1234.56789f, 1, 22, 255);
  original.appendPoint(0.0f, 1e-5f, -7.25f, 0, 0, 0);
  original.appendTriangle(0, 1, 0);  // not stored in this format
  ASSERT_TRUE(cloud::WriteTextRows(original, file("out.txt")));
  EXPECT_EQ(cloudtest::readFile(file("out.txt")),
            "1.5000 -2.0000 1234.5679 1 22 255\r\n0.0000 0.0000 -7.2500 0 0 0\r\n");
  cloud::LoadPointFile(store_, file("out.txt"));
  ASSERT_EQ(store_.pointCount(), 2u);
  EXPECT_EQ(pointAt(store_, 1), (Floats{0, 0, -7.25f}));
  EXPECT_EQ(colourAt(store_, 0), (Ints{1, 22, 255}));
  EXPECT_EQ(store_.triangleCount(), 0u);
}

}  // namespace
