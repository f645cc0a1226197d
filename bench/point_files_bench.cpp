// Binary PLY load and save speed for a 10,000,000-point cloud.
//
// The floor is the least any loader can do: one fread of the whole file into
// a fresh buffer, then splitting the 15-byte records into fresh xyz and rgb
// arrays. Load is reported as a multiple of that floor (target <= 1.5), save
// as bytes per second into the page cache (target >= 1 GB/s). Figures are
// ratios within one run, so a busy machine shifts both sides alike.
//
// Usage: point_files_bench [points] [folder]; the file is written into a
// fresh folder under the given one (default: the system temporary folder)
// and deleted afterwards.
#include "viewer/cloud/point_files.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// One fread into a fresh buffer, then the split; returns a checksum so that
// nothing is optimised away.
std::uint64_t floorLoad(const std::filesystem::path& path, std::size_t& pointsOut) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return 0;
  std::fseek(f, 0, SEEK_END);
  const std::size_t size = static_cast<std::size_t>(std::ftell(f));
  std::fseek(f, 0, SEEK_SET);
  auto file = std::make_unique_for_overwrite<std::uint8_t[]>(size);
  const std::size_t got = std::fread(file.get(), 1, size, f);
  std::fclose(f);
  static constexpr char kEnd[] = "end_header\n";
  const void* end = memmem(file.get(), got, kEnd, sizeof kEnd - 1);
  if (end == nullptr) return 0;
  const std::uint8_t* body = static_cast<const std::uint8_t*>(end) + sizeof kEnd - 1;
  const std::size_t n = static_cast<std::size_t>(file.get() + got - body) / 15;
  auto xyz = std::make_unique_for_overwrite<float[]>(3 * n);
  auto rgb = std::make_unique_for_overwrite<std::uint8_t[]>(3 * n);
  for (std::size_t i = 0; i < n; ++i) {
    std::memcpy(xyz.get() + 3 * i, body + 15 * i, 12);
    std::memcpy(rgb.get() + 3 * i, body + 15 * i + 12, 3);
  }
  pointsOut = n;
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < n; i += 4096) sum += rgb[3 * i];
  return sum + static_cast<std::uint64_t>(xyz[3 * (n - 1)]);
}

// The machine's own page-cache write speed for comparison: the same number
// of bytes, already laid out in memory, in 1 MiB writes to a fresh file.
double rawWriteSeconds(const std::filesystem::path& path, std::size_t bytes) {
  auto data = std::make_unique_for_overwrite<char[]>(bytes);
  std::memset(data.get(), 0x5A, bytes);
  std::filesystem::remove(path);
  const auto t0 = Clock::now();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  for (std::size_t done = 0; done < bytes; done += 1 << 20) {
    std::fwrite(data.get() + done, 1, std::min<std::size_t>(1 << 20, bytes - done), f);
  }
  std::fclose(f);
  const double s = secondsSince(t0);
  std::filesystem::remove(path);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t points = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000'000;
  const std::filesystem::path base = argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::temp_directory_path();
  std::string pattern = (base / "point_files_bench.XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::filesystem::path dir = pattern;
  const std::filesystem::path path = dir / "bench.ply";

  cloud::CloudStore store;
  store.clear();
  {
    cloud::CloudStore::PointRoom room = store.appendPoints(points);
    for (std::size_t i = 0; i < points; ++i) {
      room.positions[3 * i] = static_cast<float>(i % 4000) * 0.001f;
      room.positions[3 * i + 1] = static_cast<float>(i / 4000) * 0.001f;
      room.positions[3 * i + 2] = static_cast<float>(i % 977) * 0.01f;
      room.colours[3 * i] = static_cast<std::uint8_t>(i);
      room.colours[3 * i + 1] = static_cast<std::uint8_t>(i >> 8);
      room.colours[3 * i + 2] = static_cast<std::uint8_t>(i >> 16);
    }
  }

  constexpr int kRounds = 5;
  std::vector<double> save, load, floor;
  bool ok = true;
  std::uint64_t sink = 0;
  cloud::CloudStore loaded;
  std::vector<double> raw;
  for (int r = 0; r < kRounds; ++r) {
    // Each save makes a new file, as saves into a date-and-time folder do;
    // dropping the previous one is not part of the time.
    std::filesystem::remove(path);
    auto t0 = Clock::now();
    ok = cloud::SavePointFile(store, path, "ply.bin") == cloud::SaveResult::Saved && ok;
    save.push_back(secondsSince(t0));

    std::size_t floorPoints = 0;
    t0 = Clock::now();
    sink += floorLoad(path, floorPoints);
    floor.push_back(secondsSince(t0));
    ok = floorPoints == points && ok;

    t0 = Clock::now();
    cloud::LoadPointFile(loaded, path);
    load.push_back(secondsSince(t0));
    ok = loaded.pointCount() == points && ok;
  }
  const double fileBytes = static_cast<double>(std::filesystem::file_size(path));
  for (int r = 0; r < kRounds; ++r)
    raw.push_back(rawWriteSeconds(dir / "raw.bin", static_cast<std::size_t>(fileBytes)));
  ok = ok && std::equal(store.positions().begin(), store.positions().end(), loaded.positions().begin()) &&
       std::equal(store.colours().begin(), store.colours().end(), loaded.colours().begin());
  std::filesystem::remove_all(dir);

  const double mSave = median(save), mLoad = median(load), mFloor = median(floor);
  std::printf("point_files_bench: best of %d: floor %.1f ms, load %.1f ms, save %.1f ms\n", kRounds,
              *std::min_element(floor.begin(), floor.end()) * 1e3, *std::min_element(load.begin(), load.end()) * 1e3,
              *std::min_element(save.begin(), save.end()) * 1e3);
  std::printf("point_files_bench: %zu points, binary PLY of %.1f MB, median of %d rounds\n", points, fileBytes / 1e6,
              kRounds);
  std::printf("  floor (fread + split): %8.1f ms\n", mFloor * 1e3);
  std::printf("  load (LoadPointFile):  %8.1f ms  = %.2f x floor (target <= 1.50)\n", mLoad * 1e3, mLoad / mFloor);
  std::printf("  save (SavePointFile):  %8.1f ms  = %.2f GB/s (target >= 1.00)\n", mSave * 1e3,
              fileBytes / mSave / 1e9);
  std::printf("  reference: plain 1 MiB writes of as many bytes from memory: %.2f GB/s\n",
              fileBytes / median(raw) / 1e9);
  std::printf("  round trip %s (checksum %llu)\n", ok ? "exact" : "FAILED",
              static_cast<unsigned long long>(sink % 1000));
  return ok ? 0 : 1;
}
