#include "calibrix/utilities.h"

#include <gtest/gtest.h>

#include <math.h>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "calibrix/calib_board.h"
#include "calibrix/netpbm.h"
#include "calibrix/rect_tables.h"
#include "calibrix/tests/test_dir.h"

using namespace calibrix;
using calibrix::test::TestDir;

namespace {

void writeBytes(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// rect.param with four tables of `count` floats, table k holding `value(k, i)`.
std::string rectParamBytes(std::uint32_t count, float (*value)(int, std::uint32_t)) {
  std::string out;
  for (int k = 0; k < 4; ++k) {
    out.append(reinterpret_cast<const char*>(&count), 4);
    out.append(4, '\0');
    for (std::uint32_t i = 0; i < count; ++i) {
      const float v = value(k, i);
      out.append(reinterpret_cast<const char*>(&v), 4);
    }
    while (out.size() % 8) out.push_back('\0');
  }
  return out;
}

// Identity maps for a w-wide image: x = i % w, y = i / w.
int gWidth = 4;
float identity(int k, std::uint32_t i) {
  return k < 2 ? static_cast<float>(i % static_cast<std::uint32_t>(gWidth))
               : static_cast<float>(i / static_cast<std::uint32_t>(gWidth));
}

NetpbmImage ramp(int w, int h, int channels = 1) {
  NetpbmImage img;
  img.width = w;
  img.height = h;
  img.channels = channels;
  for (int i = 0; i < w * h * channels; ++i) img.data.push_back(static_cast<std::uint8_t>(i * 7));
  return img;
}

}  // namespace

TEST(Netpbm, RoundTripAndComments) {
  TestDir dir;
  const NetpbmImage img = ramp(5, 3, 3);
  ASSERT_TRUE(writeNetpbm(dir / "a.ppm", img));
  NetpbmImage back;
  ASSERT_TRUE(readNetpbm(dir / "a.ppm", back));
  EXPECT_EQ(back.width, 5);
  EXPECT_EQ(back.channels, 3);
  EXPECT_EQ(back.data, img.data);
  writeBytes(dir / "c.pgm", std::string("P5\n# made by hand\n# twice\n2 2\n255\n") + "abcd");
  ASSERT_TRUE(readNetpbm(dir / "c.pgm", back));
  EXPECT_EQ(back.height, 2);
  EXPECT_EQ(back.data[3], 'd');
}

TEST(Netpbm, BadHeadersAndTruncatedDataAreRefused) {
  TestDir dir;
  NetpbmImage img;
  const std::pair<const char*, std::string> cases[] = {
      {"magic", "P2\n2 2\n255\nabcd"},
      {"empty", ""},
      {"zero width", "P5\n0 2\n255\n"},
      {"negative", "P5\n-3 2\n255\nabcdef"},
      {"no height", "P5\n4\n255\nabcd"},
      {"truncated", "P5\n4 4\n255\nabcdefgh"},
      {"absurd", "P5\n2000000000 2000000000\n255\nabcd"},
      {"huge but legal", "P6\n1000000 1000000\n255\nabcd"},
      {"header only", "P5\n2 2\n"},
  };
  for (const auto& [name, bytes] : cases) {
    writeBytes(dir / "x.pgm", bytes);
    EXPECT_FALSE(readNetpbm(dir / "x.pgm", img)) << name;
  }
  EXPECT_FALSE(readNetpbm(dir / "missing.pgm", img));
  EXPECT_FALSE(writeNetpbm(dir / "no/such/dir.pgm", ramp(2, 2)));
}

TEST(RectTables, ParsesAlignedTablesAndRefusesTruncatedOnes) {
  gWidth = 3;
  const std::string good = rectParamBytes(3 * 3, identity);  // odd count: padded blocks
  RectTables t;
  ASSERT_EQ(parseRectParam(reinterpret_cast<const std::uint8_t*>(good.data()), good.size(), t), RectLoad::Ok);
  EXPECT_EQ(good.size(), 4u * (8 + 36 + 4));
  EXPECT_EQ(t.mapX(1)[5], 2.0f);
  EXPECT_EQ(t.mapY(1)[5], 1.0f);
  for (std::size_t cut : {good.size() - 4, good.size() - 20, std::size_t{3}, std::size_t{10}})
    EXPECT_EQ(parseRectParam(reinterpret_cast<const std::uint8_t*>(good.data()), cut, t), RectLoad::Invalid) << cut;
  std::string negative = good;
  const std::int32_t minus = -1;
  std::memcpy(negative.data(), &minus, 4);
  EXPECT_EQ(parseRectParam(reinterpret_cast<const std::uint8_t*>(negative.data()), negative.size(), t),
            RectLoad::Invalid);
  std::string huge = good;
  const std::int32_t big = 0x7fffffff;
  std::memcpy(huge.data(), &big, 4);
  EXPECT_EQ(parseRectParam(reinterpret_cast<const std::uint8_t*>(huge.data()), huge.size(), t), RectLoad::Invalid);
  TestDir dir;
  writeBytes(dir / "empty.param", "");
  EXPECT_EQ(loadRectParam(dir / "empty.param", t), RectLoad::ReadFailed);
  EXPECT_EQ(loadRectParam(dir / "none.param", t), RectLoad::ReadFailed);
}

TEST(RectTables, BilinearSamplingEdges) {
  const std::uint8_t src[6] = {10, 20, 30, 40, 50, 60};  // 3 x 2
  EXPECT_EQ(sampleBilinear(src, 3, 2, 1, 0, -1.0f, 0.0f), 0);
  EXPECT_EQ(sampleBilinear(src, 3, 2, 1, 0, 0.0f, -1.0f), 0);
  EXPECT_EQ(sampleBilinear(src, 3, 2, 1, 0, 3.0f, 0.0f), 0);
  EXPECT_EQ(sampleBilinear(src, 3, 2, 1, 0, 0.5f, 0.5f), 30);
  // -0.5 truncates to 0 and is still sampled (extrapolating, kept a grey level).
  EXPECT_EQ(sampleBilinear(src, 3, 2, 1, 0, -0.5f, 0.0f), 5);
  // Last column / last row: the pixel is its own neighbour.
  EXPECT_EQ(sampleBilinear(src, 3, 2, 1, 0, 2.5f, 0.0f), 30);
  EXPECT_EQ(sampleBilinear(src, 3, 2, 1, 0, 0.0f, 1.5f), 40);
  EXPECT_EQ(sampleBilinear(src, 3, 2, 1, 0, 2.75f, 1.75f), 60);
  EXPECT_EQ(sampleBilinear(src, 3, 2, 1, 0, nanf("1"), 0.0f), 0);
  EXPECT_EQ(sampleBilinear(src, 3, 2, 1, 0, 1e30f, 0.0f), 0);
  // Interleaved channels are sampled on their own.
  const std::uint8_t rgb[6] = {1, 2, 3, 11, 12, 13};  // 2 x 1, 3 channels
  EXPECT_EQ(sampleBilinear(rgb, 2, 1, 3, 2, 0.5f, 0.0f), 8);
}

class ConvertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gWidth = 4;
    writeNetpbm(dir / "in.pgm", ramp(4, 3));
    writeBytes(dir / "rect.param", rectParamBytes(12, identity));
  }
  int conv(const std::string& eye, const std::string& in = "in.pgm", const std::string& rect = "rect.param",
           const std::string& outName = "out.pgm") {
    out.str("");
    err.str("");
    return convRectifyImg(dir / in, dir / rect, eye, dir / outName, out, err);
  }
  TestDir dir;
  std::ostringstream out, err;
};

TEST_F(ConvertTest, EyeTypeIsZeroOrOne) {
  EXPECT_EQ(conv("2"), 1);
  EXPECT_EQ(err.str(), "NG: eye_type is left=0 or right=1\n");
  EXPECT_EQ(conv("-1"), 1);
  EXPECT_EQ(err.str(), "NG: eye_type is left=0 or right=1\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "out.pgm"));
  EXPECT_EQ(conv("abc"), 0);  // read as 0, the left eye
  EXPECT_EQ(out.str(), "convert to rectified image.\n\tsrcFilePath = " + (dir / "in.pgm") +
                           "\n\trectPrmFilePath=" + (dir / "rect.param") +
                           "\n\teyeType=abc\n\toutFilePath=" + (dir / "out.pgm") + "\nOK: conversion success");
  NetpbmImage res;
  ASSERT_TRUE(readNetpbm(dir / "out.pgm", res));
  EXPECT_EQ(res.data, ramp(4, 3).data);  // identity maps
}

TEST_F(ConvertTest, StatusForEveryFailure) {
  EXPECT_EQ(conv("1", "none.pgm"), 2);
  EXPECT_EQ(err.str(), "NG: src image read failed. path=" + (dir / "none.pgm"));
  EXPECT_EQ(conv("1", "in.pgm", "none.param"), 3);
  EXPECT_EQ(err.str(), "NG: rect param file read failed. path=" + (dir / "none.param"));
  // Truncated inside its last table.
  const std::string good = rectParamBytes(12, identity);
  writeBytes(dir / "cut.param", good.substr(0, good.size() - 8));
  EXPECT_EQ(conv("1", "in.pgm", "cut.param"), 4);
  EXPECT_EQ(err.str(), "NG: rectify table load failed.");
  // Tables for a smaller image than the input.
  writeBytes(dir / "small.param", rectParamBytes(6, identity));
  EXPECT_EQ(conv("0", "in.pgm", "small.param"), 4);
  EXPECT_EQ(conv("0", "in.pgm", "rect.param", "no/dir/out.pgm"), 5);
  EXPECT_EQ(err.str(), "NG: rectified image save failed.");
  EXPECT_FALSE(std::filesystem::exists(dir / "out.pgm"));
}

TEST_F(ConvertTest, MinusOneEntriesGiveBlackAndColourIsConvertedPerChannel) {
  std::string bytes = rectParamBytes(12, identity);
  const float minus = -1.0f;
  std::memcpy(bytes.data() + 8 + 4 * 5, &minus, 4);  // left x-map, pixel 5
  writeBytes(dir / "hole.param", bytes);
  ASSERT_EQ(conv("0", "in.pgm", "hole.param"), 0);
  NetpbmImage res;
  ASSERT_TRUE(readNetpbm(dir / "out.pgm", res));
  EXPECT_EQ(res.data[5], 0);
  EXPECT_EQ(res.data[6], ramp(4, 3).data[6]);

  writeNetpbm(dir / "in.ppm", ramp(4, 3, 3));
  ASSERT_EQ(conv("1", "in.ppm", "rect.param", "out.ppm"), 0);
  ASSERT_TRUE(readNetpbm(dir / "out.ppm", res));
  EXPECT_EQ(res.channels, 3);
  EXPECT_EQ(res.data, ramp(4, 3, 3).data);
}

TEST(ConvertLr, SplitsTheCombinedImageAndIgnoresTheOddColumn) {
  TestDir dir;
  gWidth = 1280;
  NetpbmImage in;
  in.width = 2561;
  in.height = 2;
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 2561; ++x) in.data.push_back(x < 1280 ? 10 : (x < 2560 ? 200 : 99));
  ASSERT_TRUE(writeNetpbm(dir / "lr.pgm", in));
  writeBytes(dir / "rect.param", rectParamBytes(1280 * 2, identity));
  std::ostringstream out, err;
  ASSERT_EQ(convRectifyLrImg(dir / "lr.pgm", dir / "rect.param", dir / "l.pgm", dir / "r.pgm", out, err), 0)
      << err.str();
  NetpbmImage l, r;
  ASSERT_TRUE(readNetpbm(dir / "l.pgm", l));
  ASSERT_TRUE(readNetpbm(dir / "r.pgm", r));
  EXPECT_EQ(l.width, 1280);
  EXPECT_EQ(r.width, 1280);
  EXPECT_TRUE(std::all_of(l.data.begin(), l.data.end(), [](auto v) { return v == 10; }));
  EXPECT_TRUE(std::all_of(r.data.begin(), r.data.end(), [](auto v) { return v == 200; }));
  EXPECT_NE(out.str().find("convert start. eye=1 outputFile=" + (dir / "r.pgm") + "\n"), std::string::npos);
  EXPECT_TRUE(out.str().ends_with("OK: conversion success"));
}

TEST(ConvertLr, FailuresAndTheRightEyeKeptUnwrittenAfterALeftFailure) {
  TestDir dir;
  gWidth = 2;
  writeNetpbm(dir / "lr.pgm", ramp(4, 2));
  const std::string good = rectParamBytes(4, identity);
  writeBytes(dir / "rect.param", good);
  writeBytes(dir / "cut.param", good.substr(0, good.size() - 4));
  std::ostringstream out, err;
  EXPECT_EQ(convRectifyLrImg(dir / "none", dir / "rect.param", dir / "l", dir / "r", out, err), 1);
  EXPECT_EQ(convRectifyLrImg(dir / "lr.pgm", dir / "none", dir / "l", dir / "r", out, err), 2);
  err.str("");
  EXPECT_EQ(convRectifyLrImg(dir / "lr.pgm", dir / "cut.param", dir / "l", dir / "r", out, err), 3);
  EXPECT_EQ(err.str(), "NG: rectify table load failed.");
  err.str("");
  EXPECT_EQ(convRectifyLrImg(dir / "lr.pgm", dir / "rect.param", dir / "x/l", dir / "r", out, err), 4);
  EXPECT_EQ(err.str(), "NG: rectified image save failed.NG: conversion failed.");
  EXPECT_FALSE(std::filesystem::exists(dir / "r"));
}

TEST(SettingOutputCsv, DefaultsAndPartialFile) {
  std::ostringstream out;
  EXPECT_EQ(settingOutputCsv(nullptr, out), 0);
  const std::string line = out.str();
  EXPECT_TRUE(line.starts_with("bin_param0=0.000000,bin_param1=0.000000,bin_type=1.000000,"));
  EXPECT_TRUE(line.ends_with(",unitleng=60.000000,origin_marker_index=123"));
  EXPECT_EQ(std::count(line.begin(), line.end(), '='), 18);
  TestDir dir;
  writeBytes(dir / "s.yaml", "%YAML:1.0\n---\nn_circles_x: 13\n");
  out.str("");
  settingOutputCsv((dir / "s.yaml").c_str(), out);
  EXPECT_EQ(out.str(),
            "bin_param0=0.000000,bin_param1=0.000000,bin_type=0.000000,"
            "distance_between_circles=0.000000,do_equalize_hist=0.000000,"
            "do_smoothing=0.000000,fitrange=0.000000,fitscore=0.000000,"
            "gamma_correction=0.000000,max_rate=0.000000,min_rate=0.000000,"
            "n_circles_minimum=0.000000,n_circles_x=13.000000,n_circles_y=0.000000,"
            "origin_x=0.000000,origin_y=0.000000,unitleng=0.000000,origin_marker_index=-1");
  EXPECT_THROW(settingOutputCsv((dir / "none.yaml").c_str(), out), iFileStorage_error);
}
