// Interop with Open3D, an independent PLY implementation, run through
// python3: our files must read there with the same points, colours and
// faces, and files Open3D writes (normals, float and double coordinates,
// uchar/uint faces) must read here.
#include "viewer/cloud/point_files.h"

#include "test_files.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

using cloud::CloudStore;
namespace fs = std::filesystem;

// The first python3 that can import open3d, or empty.
std::string findPython() {
  std::vector<std::string> candidates;
  if (const char* env = std::getenv("ZEL_PYTHON")) candidates.emplace_back(env);
  candidates.emplace_back("/usr/bin/python3");  // Debian's python3-open3d lives here
  candidates.emplace_back("python3");
  for (const std::string& py : candidates) {
    const std::string cmd = py + " -c 'import open3d' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) == 0) return py;
  }
  return {};
}

class Open3dInterop : public cloudtest::TempDirTest {
 protected:
  static void SetUpTestSuite() { python_ = new std::string(findPython()); }
  static void TearDownTestSuite() {
    delete python_;
    python_ = nullptr;
  }
  void SetUp() override {
    cloudtest::TempDirTest::SetUp();
    if (python_->empty()) {
      GTEST_SKIP() << "python3 with open3d is missing (Debian package python3-open3d, installed by scripts/setup)";
    }
  }
  // Runs a python script with the given arguments; false (with its output
  // logged) when it fails.
  bool runPython(const std::string& script, const std::vector<fs::path>& args) {
    cloudtest::writeFile(file("script.py"), script);
    std::string cmd = *python_ + " " + file("script.py").string();
    for (const fs::path& a : args) cmd += " '" + a.string() + "'";
    cmd += " >'" + file("python.log").string() + "' 2>&1";
    const int rc = std::system(cmd.c_str());
    if (rc != 0) ADD_FAILURE() << "python failed (" << rc << "):\n" << cloudtest::readFile(file("python.log"));
    return rc == 0;
  }
  static std::string* python_;
};
std::string* Open3dInterop::python_ = nullptr;

// Open3D's view of a PLY as text: "v x y z r g b" per vertex (colours as
// 0..255), "f a b c" per triangle.
constexpr const char* kDumpMesh = R"(
import sys
import numpy as np
import open3d as o3d
mesh = o3d.io.read_triangle_mesh(sys.argv[1])
pcd = o3d.io.read_point_cloud(sys.argv[1])
v = np.asarray(mesh.vertices)
c = np.asarray(mesh.vertex_colors)
t = np.asarray(mesh.triangles)
assert len(np.asarray(pcd.points)) == len(v)
with open(sys.argv[2], "w") as out:
    for i in range(len(v)):
        out.write("v %.9g %.9g %.9g %d %d %d\n" % (v[i][0], v[i][1], v[i][2],
                  round(c[i][0] * 255), round(c[i][1] * 255), round(c[i][2] * 255)))
    for f in t:
        out.write("f %d %d %d\n" % (f[0], f[1], f[2]))
)";

struct Dump {
  std::vector<double> xyz;
  std::vector<int> rgb;
  std::vector<int> faces;
};

Dump readDump(const fs::path& path) {
  Dump d;
  std::ifstream in(path);
  std::string tag;
  while (in >> tag) {
    if (tag == "v") {
      double x, y, z;
      int r, g, b;
      in >> x >> y >> z >> r >> g >> b;
      d.xyz.insert(d.xyz.end(), {x, y, z});
      d.rgb.insert(d.rgb.end(), {r, g, b});
    } else {
      int a, b, c;
      in >> a >> b >> c;
      d.faces.insert(d.faces.end(), {a, b, c});
    }
  }
  return d;
}

TEST_F(Open3dInterop, OurPlyFilesReadThereWithEqualPointsColoursAndFaces) {
  CloudStore store;
  // Coordinates that print exactly with three decimals, so the ASCII file
  // carries the same values as the binary one.
  for (int i = 0; i < 300; ++i) {
    store.appendPoint(static_cast<float>(i) * 0.125f - 10.0f, static_cast<float>(i % 17) * -0.5f,
                      static_cast<float>(i * i % 1000) * 0.25f, static_cast<std::uint8_t>(i),
                      static_cast<std::uint8_t>(255 - i % 256), static_cast<std::uint8_t>(i * 13));
  }
  for (int t = 0; t < 150; ++t) store.appendTriangle(t, t + 1, 299 - t);
  for (bool binary : {true, false}) {
    SCOPED_TRACE(binary ? "binary" : "ascii");
    const fs::path ply = file(binary ? "ours_bin.ply" : "ours_asc.ply");
    ASSERT_TRUE(cloud::WritePly(store, ply, binary));
    ASSERT_TRUE(runPython(kDumpMesh, {ply, file("dump.txt")}));
    const Dump d = readDump(file("dump.txt"));
    ASSERT_EQ(d.xyz.size(), store.positions().size());
    for (std::size_t i = 0; i < d.xyz.size(); ++i) {
      ASSERT_EQ(static_cast<float>(d.xyz[i]), store.positions()[i]) << "value " << i;
    }
    EXPECT_TRUE(std::equal(d.rgb.begin(), d.rgb.end(), store.colours().begin(), store.colours().end()));
    EXPECT_TRUE(std::equal(d.faces.begin(), d.faces.end(), store.triangles().begin(), store.triangles().end()));
  }
}

// Writes the same cloud through Open3D's three writers, plus the expected
// values as text ("v x y z r g b" with Open3D's own colour bytes, "f ...").
constexpr const char* kWriteOpen3d = R"(
import sys
import numpy as np
import open3d as o3d
n = 257
i = np.arange(n)
pts = np.stack([i * 0.1 - 3.0, np.sin(i) * 5.0, i * i * 1e-3], axis=1)
rgb = np.stack([i % 256, (i * 7) % 256, 255 - i % 256], axis=1).astype(np.uint8)
nrm = np.stack([np.cos(i), np.sin(i), np.zeros(n)], axis=1)
tri = np.stack([i[:-2], i[1:-1], i[2:]], axis=1)

pcd = o3d.geometry.PointCloud()
pcd.points = o3d.utility.Vector3dVector(pts)
pcd.colors = o3d.utility.Vector3dVector(rgb / 255.0)
pcd.normals = o3d.utility.Vector3dVector(nrm)
assert o3d.io.write_point_cloud(sys.argv[1], pcd, write_ascii=False)

t = o3d.t.geometry.PointCloud()
t.point.positions = o3d.core.Tensor(pts.astype(np.float32))
t.point.normals = o3d.core.Tensor(nrm.astype(np.float32))
t.point.colors = o3d.core.Tensor(rgb)
assert o3d.t.io.write_point_cloud(sys.argv[2], t)

mesh = o3d.geometry.TriangleMesh()
mesh.vertices = o3d.utility.Vector3dVector(pts)
mesh.vertex_colors = o3d.utility.Vector3dVector(rgb / 255.0)
mesh.vertex_normals = o3d.utility.Vector3dVector(nrm)
mesh.triangles = o3d.utility.Vector3iVector(tri.astype(np.int32))
assert o3d.io.write_triangle_mesh(sys.argv[3], mesh, write_ascii=False)

# Open3D's colour bytes as it reads them back from its own file.
back = np.round(np.asarray(o3d.io.read_point_cloud(sys.argv[1]).colors) * 255).astype(int)
with open(sys.argv[4], "w") as out:
    for k in range(n):
        out.write("v %.17g %.17g %.17g %d %d %d\n" % (pts[k][0], pts[k][1], pts[k][2],
                  back[k][0], back[k][1], back[k][2]))
    for f in tri:
        out.write("f %d %d %d\n" % (f[0], f[1], f[2]))
)";

TEST_F(Open3dInterop, TheirPlyFilesWithNormalsReadHere) {
  const fs::path doubles = file("o3d_double.ply"), floats = file("o3d_float.ply"), mesh = file("o3d_mesh.ply");
  ASSERT_TRUE(runPython(kWriteOpen3d, {doubles, floats, mesh, file("expected.txt")}));
  const Dump expected = readDump(file("expected.txt"));
  ASSERT_EQ(expected.xyz.size(), 257u * 3);
  // The headers really are the layouts this test is about.
  EXPECT_NE(cloudtest::readFile(doubles).find("property double nz\nproperty uchar red"), std::string::npos);
  EXPECT_NE(cloudtest::readFile(floats).find("property float nz\nproperty uchar red"), std::string::npos);
  EXPECT_NE(cloudtest::readFile(mesh).find("property list uchar uint vertex_indices"), std::string::npos);

  for (const fs::path& p : {doubles, floats, mesh}) {
    SCOPED_TRACE(p.filename().string());
    CloudStore store;
    cloud::LoadPointFile(store, p);
    ASSERT_EQ(store.pointCount(), 257u);
    for (std::size_t i = 0; i < expected.xyz.size(); ++i) {
      ASSERT_EQ(store.positions()[i], static_cast<float>(expected.xyz[i])) << "value " << i;
    }
    for (std::size_t i = 0; i < expected.rgb.size(); ++i) {
      ASSERT_EQ(store.colours()[i], expected.rgb[i]) << "colour " << i;
    }
    if (p == mesh) {
      EXPECT_TRUE(
          std::equal(expected.faces.begin(), expected.faces.end(), store.triangles().begin(), store.triangles().end()));
    } else {
      EXPECT_EQ(store.triangleCount(), 0u);
    }
  }
}

}  // namespace
