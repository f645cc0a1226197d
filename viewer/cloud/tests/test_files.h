#pragma once
// Helpers for the point-file tests: a private temporary folder per test and
// little-endian byte builders for hand-made files.
#include "viewer/cloud/cloud_store.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace cloudtest {

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::filesystem::path file(std::string_view name) const { return dir_ / std::string(name); }
  std::filesystem::path dir_;
};

using Bytes = std::vector<std::uint8_t>;

void writeFile(const std::filesystem::path& path, std::string_view text);
void writeFile(const std::filesystem::path& path, const Bytes& bytes);
std::string readFile(const std::filesystem::path& path);

template <typename T>
requires std::is_arithmetic_v<T>
void put(Bytes& out, T value) {
  const std::size_t old = out.size();
  out.resize(old + sizeof(T));
  std::memcpy(out.data() + old, &value, sizeof(T));
}
inline void put(Bytes& out, std::string_view text) {
  const std::size_t old = out.size();
  out.resize(old + text.size());
  if (!text.empty()) std::memcpy(out.data() + old, text.data(), text.size());
}

// A small store with distinct coordinates, colours and triangles.
void fillSample(cloud::CloudStore& store, std::size_t points, std::size_t triangles);

// Point i of the store as {x, y, z} and {r, g, b}.
std::vector<float> pointAt(const cloud::CloudStore& store, std::size_t i);
std::vector<int> colourAt(const cloud::CloudStore& store, std::size_t i);

}  // namespace cloudtest
