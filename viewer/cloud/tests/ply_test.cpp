#include "viewer/cloud/point_files.h"

#include "test_files.h"

#include <algorithm>
#include <functional>

namespace {

using cloud::CloudStore;
using cloudtest::Bytes;
using cloudtest::colourAt;
using cloudtest::pointAt;
using cloudtest::put;
using cloudtest::readFile;
using cloudtest::writeFile;
using Floats = std::vector<float>;
using Ints = std::vector<int>;

class Ply : public cloudtest::TempDirTest {
 protected:
  // Loads bytes as a ".ply" file into store_.
  void load(const Bytes& bytes) {
    writeFile(file("in.ply"), bytes);
    cloud::LoadPointFile(store_, file("in.ply"));
  }
  void load(std::string_view text) { load(Bytes(text.begin(), text.end())); }
  CloudStore store_;
};

std::string binaryHeader(std::string_view vertexProperties, std::uint64_t vertices, std::string_view faces = {}) {
  std::string h = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(vertices) + "\n";
  h += vertexProperties;
  h += faces;
  h += "end_header\n";
  return h;
}

TEST_F(Ply, BinaryRoundTripKeepsPointsColoursAndTriangles) {
  CloudStore original;
  cloudtest::fillSample(original, 50, 20);
  ASSERT_TRUE(cloud::WritePly(original, file("out.ply"), true));
  const std::string text = readFile(file("out.ply"));
  const std::string header =
      "ply\nformat binary_little_endian 1.0\nelement vertex 50\n"
      "property float x\nproperty float y\nproperty float z\n"
      "property uchar red\nproperty uchar green\nproperty uchar blue\n"
      "element face 20\nproperty list int int vertex_indices\nend_header\n";
  ASSERT_EQ(text.substr(0, header.size()), header);
  EXPECT_EQ(text.size(), header.size() + 50 * 15 + 20 * 16);

  cloud::LoadPointFile(store_, file("out.ply"));
  ASSERT_EQ(store_.pointCount(), 50u);
  EXPECT_TRUE(std::equal(original.positions().begin(), original.positions().end(), store_.positions().begin()));
  EXPECT_TRUE(std::equal(original.colours().begin(), original.colours().end(), store_.colours().begin()));
  ASSERT_EQ(store_.triangleCount(), 20u);
  EXPECT_TRUE(std::equal(original.triangles().begin(), original.triangles().end(), store_.triangles().begin()));

  // Without triangles there is no face element at all.
  CloudStore pointsOnly;
  cloudtest::fillSample(pointsOnly, 3, 0);
  ASSERT_TRUE(cloud::WritePly(pointsOnly, file("points.ply"), true));
  EXPECT_EQ(readFile(file("points.ply")).find("element face"), std::string::npos);
}

TEST_F(Ply, AsciiRoundTripWithThreeDecimals) {
  CloudStore original;
  original.appendPoint(1.5f, -2.0f, 3.25f, 10, 20, 30);
  original.appendPoint(0.0004f, 1234.5678f, -0.0f, 0, 255, 128);
  original.appendTriangle(0, 1, 0);
  ASSERT_TRUE(cloud::WritePly(original, file("a.ply"), false));
  EXPECT_EQ(readFile(file("a.ply")),
            "ply\nformat ascii 1.0\nelement vertex 2\n"
            "property float x\nproperty float y\nproperty float z\n"
            "property uchar red\nproperty uchar green\nproperty uchar blue\n"
            "element face 1\nproperty list int int vertex_indices\nend_header\n"
            "1.500 -2.000 3.250 10 20 30\n0.000 1234.568 -0.000 0 255 128\n3 0 1 0\n");
  cloud::LoadPointFile(store_, file("a.ply"));
  ASSERT_EQ(store_.pointCount(), 2u);
  EXPECT_EQ(pointAt(store_, 0), (Floats{1.5f, -2.0f, 3.25f}));
  EXPECT_NEAR(store_.positions()[4], 1234.568f, 1e-3);
  EXPECT_EQ(colourAt(store_, 1), (Ints{0, 255, 128}));
  ASSERT_EQ(store_.triangleCount(), 1u);
  EXPECT_EQ(store_.triangles()[1], 1);
}

TEST_F(Ply, FixedRecordSizesOfFloatAndDoubleFiles) {
  struct Case {
    const char* type;
    bool colour, alpha;
    std::size_t recordSize;
  };
  for (Case c : {Case{"float", false, false, 12}, Case{"float", true, false, 15}, Case{"float", true, true, 16},
                 Case{"double", false, false, 24}, Case{"double", true, false, 27}, Case{"double", true, true, 28}}) {
    SCOPED_TRACE(std::string(c.type) + " record " + std::to_string(c.recordSize));
    std::string props;
    for (const char* axis : {"x", "y", "z"}) props += std::string("property ") + c.type + " " + axis + "\n";
    if (c.colour) props += "property uchar red\nproperty uchar green\nproperty uchar blue\n";
    if (c.alpha) props += "property uchar alpha\n";
    Bytes b;
    put(b, binaryHeader(props, 2));
    for (int i = 0; i < 2; ++i) {
      for (int k = 0; k < 3; ++k) {
        const double v = i * 10 + k + 0.5;
        if (std::string(c.type) == "float")
          put(b, static_cast<float>(v));
        else
          put(b, v);
      }
      if (c.colour)
        for (int k = 0; k < 3; ++k) put(b, static_cast<std::uint8_t>(100 + 10 * i + k));
      if (c.alpha) put(b, std::uint8_t{7});
    }
    ASSERT_EQ(b.size() - binaryHeader(props, 2).size(), 2 * c.recordSize);
    load(b);
    ASSERT_EQ(store_.pointCount(), 2u);
    EXPECT_EQ(pointAt(store_, 1), (Floats{10.5f, 11.5f, 12.5f}));
    EXPECT_EQ(colourAt(store_, 1), c.colour ? (Ints{110, 111, 112}) : (Ints{255, 255, 255}));
  }
}

TEST_F(Ply, HeaderLinesAreCleanedBeforeMatching) {
  // Tabs and runs of blanks between words, CR LF line ends, leading blanks,
  // a blank line, no "ply" first line, a comment.
  Bytes b;
  put(b, std::string_view("format binary_little_endian 1.0\r\n"
                          "comment made by hand\r\n"
                          "\r\n"
                          "element\t  vertex   2\r\n"
                          "  \tproperty  float\tx\r\nproperty float y\r\nproperty float z\r\n"
                          "end_header\r\n"));
  for (float v : {1.f, 2.f, 3.f, 4.f, 5.f, 6.f}) put(b, v);
  load(b);
  ASSERT_EQ(store_.pointCount(), 2u);
  EXPECT_EQ(pointAt(store_, 1), (Floats{4, 5, 6}));
  EXPECT_EQ(colourAt(store_, 0), (Ints{255, 255, 255}));
}

TEST_F(Ply, FilesThatReadNothing) {
  Bytes body;
  for (float v : {1.f, 2.f, 3.f}) put(body, v);
  auto withHeader = [&](std::string header) {
    Bytes b(header.begin(), header.end());
    b.insert(b.end(), body.begin(), body.end());
    return b;
  };
  const std::string xyz = "property float x\nproperty float y\nproperty float z\n";
  // Big-endian data, an unsupported coordinate type name, and no format line.
  for (const std::string& header :
       {"ply\nformat binary_big_endian 1.0\nelement vertex 1\n" + xyz + "end_header\n",
        std::string("ply\nformat binary_little_endian 1.0\nelement vertex 1\nproperty float32 x\nend_header\n"),
        "ply\nelement vertex 1\n" + xyz + "end_header\n", std::string("ply\n"), std::string()}) {
    SCOPED_TRACE(header);
    load(withHeader(header));
    EXPECT_EQ(store_.pointCount(), 0u);
  }
}

TEST_F(Ply, TruncatedVerticesAddNothingTruncatedFacesKeepWhatWasRead) {
  const std::string xyz = "property float x\nproperty float y\nproperty float z\n";
  const std::string faces = "element face 3\nproperty list uchar int vertex_indices\n";
  Bytes full;
  put(full, binaryHeader(xyz, 2, faces));
  for (int i = 0; i < 6; ++i) put(full, static_cast<float>(i));
  for (int f = 0; f < 3; ++f) {
    put(full, std::uint8_t{3});
    for (int k = 0; k < 3; ++k) put(full, static_cast<std::int32_t>(f + k));
  }
  load(full);
  EXPECT_EQ(store_.pointCount(), 2u);
  EXPECT_EQ(store_.triangleCount(), 3u);

  // No vertices at all: an empty block is read whole, then the faces.
  Bytes noVertices;
  put(noVertices, binaryHeader(xyz, 0, "element face 1\nproperty list int int vertex_indices\n"));
  for (std::int32_t v : {3, 7, 8, 9}) put(noVertices, v);
  load(noVertices);
  EXPECT_EQ(store_.pointCount(), 0u);
  EXPECT_EQ(store_.triangleCount(), 1u);

  Bytes cutInFaces(full.begin(), full.end() - 5);
  load(cutInFaces);
  EXPECT_EQ(store_.pointCount(), 2u);
  EXPECT_EQ(store_.triangleCount(), 2u);

  Bytes cutInVertices(full.begin(), full.begin() + static_cast<long>(binaryHeader(xyz, 2, faces).size() + 20));
  load(cutInVertices);
  EXPECT_EQ(store_.pointCount(), 0u);
  EXPECT_EQ(store_.triangleCount(), 0u);
}

TEST_F(Ply, HugeCountsInTinyFilesAllocateNothingAndReadNothing) {
  const std::string xyz = "property float x\nproperty float y\nproperty float z\n";
  Bytes b;
  put(b, binaryHeader(xyz, 4000000000u));
  for (float v : {1.f, 2.f, 3.f}) put(b, v);
  load(b);
  EXPECT_EQ(store_.pointCount(), 0u);

  // Saturating counts, too large even for 64 bits.
  load("ply\nformat binary_little_endian 1.0\nelement vertex 99999999999999999999999\n" + xyz + "end_header\n");
  EXPECT_EQ(store_.pointCount(), 0u);

  // A face count of billions over one real face.
  Bytes f;
  put(f, binaryHeader(xyz, 1, "element face 4294967295\nproperty list uchar int vertex_indices\n"));
  for (float v : {1.f, 2.f, 3.f}) put(f, v);
  put(f, std::uint8_t{3});
  for (int k = 0; k < 3; ++k) put(f, std::int32_t{0});
  load(f);
  EXPECT_EQ(store_.pointCount(), 1u);
  EXPECT_EQ(store_.triangleCount(), 1u);

  // ASCII counts beyond the data read what is there.
  load("ply\nformat ascii 1.0\nelement vertex 4000000000\n" + xyz + "end_header\n1 2 3\n4 5 6\n");
  EXPECT_EQ(store_.pointCount(), 2u);
}

TEST_F(Ply, RecordsLaidOutFromAllDeclaredProperties) {
  // As other tools write: normals between position and colour, doubles,
  // an intensity, colour before the position, alpha without other colour.
  struct Case {
    std::string props;
    std::function<void(Bytes&, int)> record;
    Ints colour;
  };
  const Case cases[] = {
      {"property float x\nproperty float y\nproperty float z\nproperty float nx\nproperty float ny\n"
       "property float nz\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n",
       [](Bytes& b, int i) {
         for (int k = 0; k < 3; ++k) put(b, static_cast<float>(i + k));
         for (int k = 0; k < 3; ++k) put(b, 0.5f);
         for (int k = 0; k < 3; ++k) put(b, static_cast<std::uint8_t>(40 + k));
       },
       {40, 41, 42}},
      {"property double x\nproperty double y\nproperty double z\nproperty double nx\nproperty double ny\n"
       "property double nz\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
       "property float intensity\n",
       [](Bytes& b, int i) {
         for (int k = 0; k < 3; ++k) put(b, static_cast<double>(i + k));
         for (int k = 0; k < 3; ++k) put(b, -1.0);
         for (int k = 0; k < 3; ++k) put(b, static_cast<std::uint8_t>(40 + k));
         put(b, 9.0f);
       },
       {40, 41, 42}},
      {"property uchar red\nproperty uchar green\nproperty uchar blue\nproperty int16 id\n"
       "property float x\nproperty float y\nproperty float z\n",
       [](Bytes& b, int i) {
         for (int k = 0; k < 3; ++k) put(b, static_cast<std::uint8_t>(40 + k));
         put(b, std::int16_t{-3});
         for (int k = 0; k < 3; ++k) put(b, static_cast<float>(i + k));
       },
       {40, 41, 42}},
      {"property float x\nproperty float y\nproperty float z\nproperty uchar alpha\n",
       [](Bytes& b, int i) {
         for (int k = 0; k < 3; ++k) put(b, static_cast<float>(i + k));
         put(b, std::uint8_t{1});
       },
       {255, 255, 255}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.props);
    Bytes b;
    put(b, binaryHeader(c.props, 3, "element face 1\nproperty list uchar int vertex_indices\n"));
    for (int i = 0; i < 3; ++i) c.record(b, i);
    put(b, std::uint8_t{3});
    for (std::int32_t k : {2, 1, 0}) put(b, k);
    load(b);
    ASSERT_EQ(store_.pointCount(), 3u);
    EXPECT_EQ(pointAt(store_, 2), (Floats{2, 3, 4}));
    EXPECT_EQ(colourAt(store_, 2), c.colour);
    ASSERT_EQ(store_.triangleCount(), 1u);
    EXPECT_EQ(store_.triangles()[0], 2);
  }
}

TEST_F(Ply, FacesReadWithTheirDeclaredTypes) {
  const std::string xyz = "property float x\nproperty float y\nproperty float z\n";
  Bytes points;
  for (int i = 0; i < 12; ++i) put(points, static_cast<float>(i));

  // Standard: uchar count, uint indices; a quad in between is skipped; a
  // face property after the list is stepped over.
  Bytes b;
  put(b, binaryHeader(xyz, 4, "element face 3\nproperty list uchar uint vertex_indices\nproperty uchar flags\n"));
  b.insert(b.end(), points.begin(), points.end());
  put(b, std::uint8_t{3});
  for (std::uint32_t k : {0u, 1u, 2u}) put(b, k);
  put(b, std::uint8_t{0});
  put(b, std::uint8_t{4});
  for (std::uint32_t k : {0u, 1u, 2u, 3u}) put(b, k);
  put(b, std::uint8_t{0});
  put(b, std::uint8_t{3});
  for (std::uint32_t k : {3u, 2u, 1u}) put(b, k);
  put(b, std::uint8_t{0});
  load(b);
  ASSERT_EQ(store_.triangleCount(), 2u);
  EXPECT_EQ(std::vector<int>(store_.triangles().begin(), store_.triangles().end()), (Ints{0, 1, 2, 3, 2, 1}));

  // Short counts and indices.
  Bytes s;
  put(s, binaryHeader(xyz, 4, "element face 1\nproperty list ushort short vertex_index\n"));
  s.insert(s.end(), points.begin(), points.end());
  put(s, std::uint16_t{3});
  for (std::int16_t k : {1, 2, 3}) put(s, k);
  load(s);
  ASSERT_EQ(store_.triangleCount(), 1u);
  EXPECT_EQ(store_.triangles()[2], 3);

  // Files of older viewers: "uchar" declared, 16 bytes per face on disk.
  Bytes legacy;
  put(legacy, binaryHeader(xyz, 4, "element face 2\nproperty list uchar int vertex_indices\n"));
  legacy.insert(legacy.end(), points.begin(), points.end());
  for (std::int32_t v : {3, 0, 1, 2, 3, 1, 2, 3}) put(legacy, v);
  load(legacy);
  ASSERT_EQ(store_.triangleCount(), 2u);
  EXPECT_EQ(std::vector<int>(store_.triangles().begin(), store_.triangles().end()), (Ints{0, 1, 2, 1, 2, 3}));

  // The legacy layout skips non-triangles by their 4-byte count and stops at
  // a negative count instead of stepping backwards.
  Bytes odd;
  put(odd, binaryHeader(xyz, 4, "element face 4\n"));
  odd.insert(odd.end(), points.begin(), points.end());
  for (std::int32_t v : {4, 0, 1, 2, 3, 3, 0, 1, 2, -2, 3, 1, 2, 3}) put(odd, v);
  load(odd);
  ASSERT_EQ(store_.triangleCount(), 1u);
  EXPECT_EQ(store_.triangles()[2], 2);
}

TEST_F(Ply, AsciiBodyLinesAndFaces) {
  load(
      "ply\nformat ascii 1.0\nelement vertex 4\nproperty float x\nproperty float y\nproperty float z\n"
      "property uchar red\nproperty uchar green\nproperty uchar blue\nelement face 4\n"
      "property list uchar int vertex_indices\nend_header\n"
      "1 2 3 4 5 6\n"
      "\n"          // an empty line is a white point at the origin
      "7\t8 9\r\n"  // tabs and CR LF
      "-1e2 0.5 +2 300 -1\n"
      "3 0 1 2\n"
      "4 0 1 2 3\n"  // not a triangle
      "3 1 2\n"      // too few corners
      "3 3 2 1 99\n");
  ASSERT_EQ(store_.pointCount(), 4u);
  EXPECT_EQ(pointAt(store_, 1), (Floats{0, 0, 0}));
  EXPECT_EQ(colourAt(store_, 1), (Ints{255, 255, 255}));
  EXPECT_EQ(pointAt(store_, 2), (Floats{7, 8, 9}));
  EXPECT_EQ(pointAt(store_, 3), (Floats{-100, 0.5f, 2}));
  EXPECT_EQ(colourAt(store_, 3), (Ints{255, 0, 255}));  // held to 0..255, not wrapped
  EXPECT_EQ(std::vector<int>(store_.triangles().begin(), store_.triangles().end()), (Ints{0, 1, 2, 3, 2, 1}));
}

// ASCII rows follow the header's properties: Open3D writes normals between
// the coordinates and the colours, other writers put colours first or add
// lists; a row is the whole line however long, and colours stay in range.
TEST_F(Ply, AsciiColumnsFollowTheHeader) {
  std::string longRow =
      "1.00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
      "00000000000000000000000000000000000000000000000000000000 2 3 0 0 1 10 20 30";
  load(
      "ply\nformat ascii 1.0\nelement vertex 3\nproperty double x\nproperty double y\nproperty double z\n"
      "property double nx\nproperty double ny\nproperty double nz\n"
      "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n"
      "1 2 3 0.1 0.2 0.3 200 100 50\n" +
      longRow + "\n4 5 6 0 0 0 999 -3 12.7\n");
  ASSERT_EQ(store_.pointCount(), 3u);
  EXPECT_EQ(pointAt(store_, 0), (Floats{1, 2, 3}));
  EXPECT_EQ(colourAt(store_, 0), (Ints{200, 100, 50}));
  EXPECT_EQ(pointAt(store_, 1), (Floats{1, 2, 3}));
  EXPECT_EQ(colourAt(store_, 1), (Ints{10, 20, 30}));
  EXPECT_EQ(colourAt(store_, 2), (Ints{255, 0, 12}));
  store_.clear();
  load(
      "ply\nformat ascii 1.0\nelement vertex 1\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
      "property list uchar float extra\nproperty float z\nproperty float x\nproperty float y\nend_header\n"
      "7 8 9 2 0.5 0.5 30 10 20\n");
  ASSERT_EQ(store_.pointCount(), 1u);
  EXPECT_EQ(pointAt(store_, 0), (Floats{10, 20, 30}));
  EXPECT_EQ(colourAt(store_, 0), (Ints{7, 8, 9}));
}

TEST_F(Ply, ReadPlyAppendsToTheStore) {
  CloudStore one;
  one.appendPoint(1, 2, 3);
  ASSERT_TRUE(cloud::WritePly(one, file("one.ply"), true));
  store_.appendPoint(9, 9, 9, 1, 2, 3);
  cloud::ReadPly(store_, file("one.ply"));
  ASSERT_EQ(store_.pointCount(), 2u);
  EXPECT_EQ(pointAt(store_, 1), (Floats{1, 2, 3}));
  EXPECT_EQ(colourAt(store_, 0), (Ints{1, 2, 3}));
}

}  // namespace
