#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "viewer/app/file_output.h"

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A screenshot or dump is written whole or not at all: a device that takes
// no data fails (it used to report success with a truncated PNG), a folder
// or a missing folder fails without touching anything, and success replaces
// the earlier file and leaves no temporary behind.
TEST(FileOutput, WholeOrNothing) {
  const fs::path dir = fs::temp_directory_path() / ("nubiview_out_" + std::to_string(::getpid()));
  fs::create_directories(dir / "folder.png");
  const std::string big(1 << 20, 'x');
  std::string why;
  if (fs::exists("/dev/full")) {
    EXPECT_FALSE(nubiview::writeWholeFile("/dev/full", big, &why));
    EXPECT_EQ(why, "No space left on device");
  }
  EXPECT_FALSE(nubiview::writeWholeFile((dir / "folder.png").string(), big, &why));
  EXPECT_TRUE(fs::is_directory(dir / "folder.png"));
  EXPECT_FALSE(nubiview::writeWholeFile((dir / "none" / "a.png").string(), big, &why));
  std::ofstream(dir / "a.png") << "earlier";
  ASSERT_TRUE(nubiview::writeWholeFile((dir / "a.png").string(), big, &why)) << why;
  EXPECT_EQ(slurp(dir / "a.png"), big);
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++entries;
  EXPECT_EQ(entries, 2);
  fs::remove_all(dir);
}

}  // namespace
