// zelsim's command line: argument errors are refused before anything renders.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// zelsim is built into the folder of this test program.
std::string zelsimPath() {
  std::error_code ec;
  return (std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / "zelsim").string();
}

int runZelsim(const std::string& args) {
  std::string cmd = zelsimPath() + " " + args + " >/dev/null 2>&1";
  int status = std::system(cmd.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ZelsimCli, RefusesBadArgumentsWithStatus2) {
  if (!std::filesystem::exists(zelsimPath())) GTEST_SKIP() << "zelsim not built next to the test";
  const std::string out = (std::filesystem::temp_directory_path() / "zelsim_cli_never_written").string();
  EXPECT_EQ(runZelsim(""), 2);
  EXPECT_EQ(runZelsim("--help"), 0);
  EXPECT_EQ(runZelsim("paint"), 2);
  EXPECT_EQ(runZelsim("render --help"), 0);
  EXPECT_EQ(runZelsim("render --scene demo"), 2);  // no --out
  EXPECT_EQ(runZelsim("render --out " + out), 2);  // no scene
  EXPECT_EQ(runZelsim("render --scene cube --out " + out), 2);
  EXPECT_EQ(runZelsim("render --scene demo --scene-file x.yaml --out " + out), 2);
  EXPECT_EQ(runZelsim("render --scene boards --poses 0 --out " + out), 2);
  EXPECT_EQ(runZelsim("render --scene boards --poses 100 --out " + out), 2);
  EXPECT_EQ(runZelsim("render --scene demo --noise 2 --out " + out), 2);
  EXPECT_EQ(runZelsim("render --scene demo --seed -1 --out " + out), 2);
  EXPECT_EQ(runZelsim("render --scene demo --blur x --out " + out), 2);
  EXPECT_EQ(runZelsim("render --scene demo --out"), 2);  // value missing
  EXPECT_EQ(runZelsim("render --scene-file /nonexistent.yaml --out " + out), 1);
  EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace
