#include "test_files.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace cloudtest {

void TempDirTest::SetUp() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  dir_ = std::filesystem::temp_directory_path() /
         ("cloud_test_" + std::to_string(::getpid()) + "_" + info->test_suite_name() + "_" + info->name());
  std::filesystem::remove_all(dir_);
  std::filesystem::create_directories(dir_);
}

void TempDirTest::TearDown() { std::filesystem::remove_all(dir_); }

void writeFile(const std::filesystem::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  ASSERT_TRUE(out.good()) << path;
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  writeFile(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void fillSample(cloud::CloudStore& store, std::size_t points, std::size_t triangles) {
  for (std::size_t i = 0; i < points; ++i) {
    const float f = static_cast<float>(i);
    store.appendPoint(f * 0.25f - 3.0f, -f * 1.5f, f * f * 0.125f, static_cast<std::uint8_t>(i * 7),
                      static_cast<std::uint8_t>(255 - i), static_cast<std::uint8_t>(i * 31 + 1));
  }
  for (std::size_t t = 0; t < triangles; ++t) {
    const auto a = static_cast<std::int32_t>(t % points);
    store.appendTriangle(a, static_cast<std::int32_t>((t + 1) % points), static_cast<std::int32_t>((t + 2) % points));
  }
}

std::vector<float> pointAt(const cloud::CloudStore& store, std::size_t i) {
  auto p = store.positions();
  return {p[3 * i], p[3 * i + 1], p[3 * i + 2]};
}

std::vector<int> colourAt(const cloud::CloudStore& store, std::size_t i) {
  auto c = store.colours();
  return {c[3 * i], c[3 * i + 1], c[3 * i + 2]};
}

}  // namespace cloudtest
