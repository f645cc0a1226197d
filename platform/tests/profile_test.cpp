#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("profile_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "settings.ini").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string content() {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string get(const char* section, const char* key, const char* def, std::size_t size = 256) {
    std::string buf(size, '#');
    std::size_t n = platform::getProfileString(section, key, def, buf.data(), size, path_.c_str());
    EXPECT_EQ(n, std::string(buf.c_str()).size());
    return buf.c_str();
  }
  std::filesystem::path dir_;
  std::string path_;
};

TEST_F(ProfileTest, LookupRules) {
  write(
      "; settings\n"
      "[PhaseShift]\n"
      "image_width=1280\n"
      "  Image_Height  =  1024  \n"
      "empty=\n"
      "quoted=\"  a b  \"\n"
      "single='x'\n"
      "unbalanced=\"x\n"
      ";nimage=99\n"
      "[PSLIB]\n"
      "bw_diff=0x10\n");
  EXPECT_EQ(get("PhaseShift", "image_width", "0"), "1280");
  EXPECT_EQ(get("phaseshift", "IMAGE_HEIGHT", "0"), "1024");  // names ignore case, blanks trimmed
  EXPECT_EQ(get("PhaseShift", "empty", "13"), "");            // present but empty: not the default
  EXPECT_EQ(get("PhaseShift", "quoted", ""), "  a b  ");      // one pair of quotes removed
  EXPECT_EQ(get("PhaseShift", "single", ""), "x");
  EXPECT_EQ(get("PhaseShift", "unbalanced", ""), "\"x");
  EXPECT_EQ(get("PhaseShift", "nimage", "13"), "13");   // commented out
  EXPECT_EQ(get("PhaseShift", "bw_diff", "10"), "10");  // other section
  EXPECT_EQ(get("PSLIB", "bw_diff", "10"), "0x10");
  EXPECT_EQ(get("Missing", "bw_diff", "dflt"), "dflt");
  EXPECT_EQ(get("PSLIB", "missing", nullptr), "");
}

TEST_F(ProfileTest, FirstOccurrenceWinsAndCrlfReads) {
  write("[A]\r\nk=1\r\nk=2\r\n[B]\r\nk=3\r\n[A]\r\nk=4\r\nj=5\r\n");
  EXPECT_EQ(get("A", "k", ""), "1");
  EXPECT_EQ(get("B", "k", ""), "3");
  EXPECT_EQ(get("A", "j", "none"), "none");
}

TEST_F(ProfileTest, TruncatesToBufferSizeMinusOne) {
  write("[S]\nk=abcdefghij\n");
  EXPECT_EQ(get("S", "k", "", 5), "abcd");
  EXPECT_EQ(get("S", "k", "", 1), "");
  EXPECT_EQ(get("S", "missing", "0123456789", 4), "012");
  char untouched = 'z';
  EXPECT_EQ(platform::getProfileString("S", "k", "", &untouched, 0, path_.c_str()), 0u);
  EXPECT_EQ(untouched, 'z');
}

TEST_F(ProfileTest, UnreadableFileGivesDefaults) {
  EXPECT_EQ(get("S", "k", "default"), "default");
  std::filesystem::create_directories(path_);  // a folder where the file should be
  EXPECT_EQ(get("S", "k", "default"), "default");
  EXPECT_FALSE(platform::writeProfileString("S", "k", "v", path_.c_str()));
}

TEST_F(ProfileTest, WriteCreatesFileAndSection) {
  ASSERT_TRUE(platform::writeProfileString("Setting", "out_path", "/tmp/a*", path_.c_str()));
  EXPECT_EQ(content(), "[Setting]\nout_path=/tmp/a*\n");
  ASSERT_TRUE(platform::writeProfileString("Other", "k", "1", path_.c_str()));
  ASSERT_TRUE(platform::writeProfileString("setting", "out_format", "ply", path_.c_str()));
  EXPECT_EQ(content(), "[Setting]\nout_path=/tmp/a*\nout_format=ply\n[Other]\nk=1\n");
  EXPECT_EQ(get("SETTING", "OUT_FORMAT", ""), "ply");
}

TEST_F(ProfileTest, EditOfOneKeyKeepsEveryOtherByte) {
  const std::string before =
      "; viewer settings\r\n"
      "[Coordinate]\r\n"
      "Eye = 1   ; trailing text\r\n"
      "Up=\"3\"\r\n"
      "\r\n"
      "; gain block\r\n"
      "[Gain]\r\n"
      "R=1.0\r\n"
      "G=1.0\r\n"
      "B=1.0";
  write(before);
  ASSERT_TRUE(platform::writeProfileString("gain", "g", "2.5", path_.c_str()));
  std::string expected = before;
  expected.replace(expected.find("G=1.0"), 5, "g=2.5");
  EXPECT_EQ(content(), expected);
  // A new key goes after the section's last line; blank separators stay.
  ASSERT_TRUE(platform::writeProfileString("Coordinate", "Hand", "0", path_.c_str()));
  EXPECT_NE(content().find("Up=\"3\"\r\nHand=0\r\n\r\n; gain block"), std::string::npos);
  // The last line had no terminator: appending keeps the file readable.
  ASSERT_TRUE(platform::writeProfileString("Gain", "A", "1", path_.c_str()));
  EXPECT_NE(content().find("B=1.0\r\nA=1\r\n"), std::string::npos);
}

TEST_F(ProfileTest, DeleteKeyAndSection) {
  write("[A]\nx=1\ny=2\n[B]\nz=3\n");
  ASSERT_TRUE(platform::writeProfileString("A", "x", nullptr, path_.c_str()));
  EXPECT_EQ(content(), "[A]\ny=2\n[B]\nz=3\n");
  ASSERT_TRUE(platform::writeProfileString("A", nullptr, nullptr, path_.c_str()));
  EXPECT_EQ(content(), "[B]\nz=3\n");
}

TEST_F(ProfileTest, UnwritableLocationReportsFailureAndKeepsFile) {
  write("[A]\nx=1\n");
  if (::geteuid() != 0) {
    ::chmod(dir_.c_str(), 0500);
    EXPECT_FALSE(platform::writeProfileString("A", "x", "2", path_.c_str()));
    ::chmod(dir_.c_str(), 0700);
    EXPECT_EQ(content(), "[A]\nx=1\n");
  }
  // Even root cannot create files in /proc.
  EXPECT_FALSE(platform::writeProfileString("A", "x", "2", "/proc/zel_profile_test.ini"));
}

TEST_F(ProfileTest, MissingFolderReportsFailure) {
  std::string bad = (dir_ / "no" / "such.ini").string();
  EXPECT_FALSE(platform::writeProfileString("A", "x", "1", bad.c_str()));
  EXPECT_FALSE(std::filesystem::exists(bad));
}

TEST_F(ProfileTest, StringOverloadHasNoLengthLimit) {
  std::string longValue(1000, 'v');
  ASSERT_TRUE(platform::writeProfileString("S", "k", longValue.c_str(), path_.c_str()));
  EXPECT_EQ(platform::getProfileString("S", "k", "", path_), longValue);
  EXPECT_EQ(platform::getProfileString("S", "none", "d", path_), "d");
}

}  // namespace
