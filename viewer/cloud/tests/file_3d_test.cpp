#include "viewer/cloud/point_files.h"

#include "test_files.h"

#include <algorithm>

namespace {

using cloud::CloudStore;
using cloudtest::Bytes;
using cloudtest::colourAt;
using cloudtest::pointAt;
using cloudtest::put;
using Floats = std::vector<float>;
using Ints = std::vector<int>;

class File3d : public cloudtest::TempDirTest {
 protected:
  void load(const Bytes& bytes) {
    cloudtest::writeFile(file("in.3d"), bytes);
    cloud::LoadPointFile(store_, file("in.3d"));
  }
  CloudStore store_;
};

TEST_F(File3d, RoundTripInFloatLayoutWithColoursStoredBlueFirst) {
  CloudStore original;
  cloudtest::fillSample(original, 40, 5);
  ASSERT_TRUE(cloud::Write3d(original, file("out.3d")));
  const std::string raw = cloudtest::readFile(file("out.3d"));
  ASSERT_EQ(raw.size(), 4u + 40 * 15);
  std::int32_t n;
  std::memcpy(&n, raw.data(), 4);
  EXPECT_EQ(n, 40);
  // Point 1's colour on disk: blue, green, red.
  const std::size_t colours = 4 + 40 * 12;
  EXPECT_EQ(static_cast<std::uint8_t>(raw[colours + 3]), original.colours()[5]);
  EXPECT_EQ(static_cast<std::uint8_t>(raw[colours + 5]), original.colours()[3]);

  cloud::LoadPointFile(store_, file("out.3d"));
  ASSERT_EQ(store_.pointCount(), 40u);
  EXPECT_TRUE(std::equal(original.positions().begin(), original.positions().end(), store_.positions().begin()));
  EXPECT_TRUE(std::equal(original.colours().begin(), original.colours().end(), store_.colours().begin()));
  EXPECT_EQ(store_.triangleCount(), 0u);  // the format has no faces
}

TEST_F(File3d, FileSizeDecidesTheCoordinateType) {
  // 27 bytes per point: doubles; trailing bytes are ignored.
  Bytes d;
  put(d, std::int32_t{2});
  for (double v : {1.5, 2.5, 3.5, -1.0, -2.0, -3.0}) put(d, v);
  for (std::uint8_t c : {1, 2, 3, 4, 5, 6}) put(d, c);
  put(d, std::uint8_t{0xEE});
  load(d);
  ASSERT_EQ(store_.pointCount(), 2u);
  EXPECT_EQ(pointAt(store_, 0), (Floats{1.5f, 2.5f, 3.5f}));
  EXPECT_EQ(colourAt(store_, 1), (Ints{6, 5, 4}));

  // Between 15 and 27 bytes per point: floats.
  Bytes f;
  put(f, std::int32_t{1});
  for (float v : {7.f, 8.f, 9.f}) put(f, v);
  for (std::uint8_t c : {10, 20, 30}) put(f, c);
  load(f);
  ASSERT_EQ(store_.pointCount(), 1u);
  EXPECT_EQ(pointAt(store_, 0), (Floats{7, 8, 9}));
  EXPECT_EQ(colourAt(store_, 0), (Ints{30, 20, 10}));
}

TEST_F(File3d, FilesThatLoadNothing) {
  Bytes tooShort;  // two points need at least 34 bytes
  put(tooShort, std::int32_t{2});
  for (int i = 0; i < 29; ++i) put(tooShort, std::uint8_t{0});
  Bytes negative;
  put(negative, std::int32_t{-5});
  for (int i = 0; i < 200; ++i) put(negative, std::uint8_t{0});
  Bytes huge;
  put(huge, std::int32_t{0x7FFFFFFF});
  for (int i = 0; i < 8; ++i) put(huge, std::uint8_t{0});
  Bytes zero;
  put(zero, std::int32_t{0});
  for (const Bytes& b : {Bytes{}, Bytes{1, 2, 3}, tooShort, negative, huge, zero}) {
    load(b);
    EXPECT_EQ(store_.pointCount(), 0u) << b.size() << " bytes";
  }
}

}  // namespace
