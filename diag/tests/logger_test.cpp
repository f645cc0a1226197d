#include "diag/logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string readFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("diag_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "log.txt").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
  std::string path_;
};

TEST_F(LoggerTest, SilentAfterCreationAndWithFlagsZero) {
  diag::Logger logger;
  EXPECT_EQ(logger.flags(), 0u);
  logger.setLog(0, path_.c_str());
  logger.log("%s: 0x%x [%s]\n", "Phsft::setLog", 0u, path_.c_str());
  // Flags 0 neither creates nor writes the file.
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(LoggerTest, FileFlagEmptiesThenAppendsEachMessage) {
  { std::ofstream(path_) << "old content\n"; }
  diag::Logger logger;
  logger.setLog(1, path_.c_str());
  EXPECT_EQ(readFile(path_), "");
  logger.log("%s: 0x%x [%s]\n", "Phsft::setLog", 1u, path_.c_str());
  logger.log("second");
  logger.log(" line\n");
  EXPECT_EQ(readFile(path_), "Phsft::setLog: 0x1 [" + path_ + "]\nsecond line\n");
  // A later setLog empties the file again.
  logger.setLog(1, path_.c_str());
  EXPECT_EQ(readFile(path_), "");
}

TEST_F(LoggerTest, NullPathStoresNoPath) {
  diag::Logger logger;
  logger.setLog(1, nullptr);
  EXPECT_EQ(logger.flags(), 1u);
  EXPECT_EQ(logger.path(), nullptr);
  logger.log("nowhere\n");
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(LoggerTest, LongMessageIsCutAt255Characters) {
  diag::Logger logger;
  logger.setLog(1, path_.c_str());
  std::string longText(1000, 'x');
  logger.log("%s", longText.c_str());
  EXPECT_EQ(readFile(path_), std::string(255, 'x'));
}

TEST_F(LoggerTest, PathIsCutAt259Characters) {
  diag::Logger logger;
  std::string longPath = (dir_ / std::string(300, 'p')).string();
  logger.setLog(1, longPath.c_str());
  ASSERT_NE(logger.path(), nullptr);
  EXPECT_EQ(std::string(logger.path()), longPath.substr(0, 259));
}

TEST_F(LoggerTest, UnwritableFileLosesMessageButConsoleStillWrites) {
  diag::Logger logger;
  std::string bad = (dir_ / "missing" / "log.txt").string();
  logger.setLog(3, bad.c_str());
  testing::internal::CaptureStdout();
  logger.log("to console %d\n", 7);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "to console 7\n");
  EXPECT_FALSE(std::filesystem::exists(bad));
}

TEST_F(LoggerTest, ConsoleAndDebuggerFlags) {
  diag::Logger logger("diag_test");
  logger.setLog(6, nullptr);
  testing::internal::CaptureStdout();
  logger.log("both channels\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "both channels\n");
}

TEST_F(LoggerTest, LibraryLoggerResetIsSilentAndKeepsReferencesValid) {
  diag::Logger& before = diag::libraryLogger();
  before.setLog(1, path_.c_str());
  diag::resetLibraryLogger("diag_test");
  diag::Logger& after = diag::libraryLogger();
  EXPECT_EQ(&before, &after);
  EXPECT_EQ(after.flags(), 0u);
  EXPECT_EQ(after.path(), nullptr);
  ZEL_LOG("dropped\n");
  EXPECT_EQ(readFile(path_), "");
}

}  // namespace
