#include "viewer/cloud/byte_reader.h"

#include "test_files.h"
#include "viewer/cloud/readers.h"

#include <random>

namespace {

using cloud::ByteReader;

class ByteReaderTest : public cloudtest::TempDirTest {};

std::vector<std::string> allLines(ByteReader& in, std::size_t maxChars) {
  std::vector<std::string> out;
  std::string_view line;
  while (in.readLine(maxChars, line)) out.emplace_back(line);
  return out;
}

TEST_F(ByteReaderTest, FileAndMemoryGiveTheSameLinesAcrossBufferBoundaries) {
  // Well over one 64 KiB buffer, with lines of every length around the
  // 127-character limit, CR LF and lone CR ends.
  std::mt19937 rng(42);
  std::string text;
  while (text.size() < 300 * 1024) {
    std::size_t len = rng() % 300;
    for (std::size_t i = 0; i < len; ++i) text.push_back(static_cast<char>('a' + rng() % 26));
    switch (rng() % 4) {
      case 0: text += "\r\n"; break;
      case 1: text += "\r"; break;
      default: text += "\n"; break;
    }
  }
  text += "\ntail without end";
  cloudtest::writeFile(file("lines.txt"), text);
  const cloudtest::Bytes bytes(text.begin(), text.end());
  for (std::size_t maxChars : {127u, 255u}) {
    auto whole = ByteReader::fromMemory(bytes);
    const auto expected = allLines(*whole, maxChars);
    auto fromFile = ByteReader::open(file("lines.txt"));
    ASSERT_TRUE(fromFile);
    EXPECT_EQ(allLines(*fromFile, maxChars), expected);
    auto windowed = ByteReader::fromMemory(bytes, 5);
    EXPECT_EQ(allLines(*windowed, maxChars), expected);
    EXPECT_EQ(expected.back(), "tail without end");
    for (const std::string& l : expected) EXPECT_LE(l.size(), maxChars);
  }
}

TEST_F(ByteReaderTest, BulkReadsAfterLinesAndSizes) {
  std::string text = "header\n";
  for (int i = 0; i < 100000; ++i) text.push_back(static_cast<char>(i));
  cloudtest::writeFile(file("mixed.bin"), text);
  auto in = ByteReader::open(file("mixed.bin"));
  ASSERT_TRUE(in);
  EXPECT_EQ(in->size(), text.size());
  std::string_view line;
  ASSERT_TRUE(in->readLine(255, line));
  EXPECT_EQ(line, "header");
  EXPECT_EQ(in->remaining(), 100000u);
  std::string block(99990, '\0');
  ASSERT_TRUE(in->readExact(block.data(), block.size()));
  EXPECT_EQ(block, text.substr(7, 99990));
  char rest[20];
  EXPECT_EQ(in->readSome(rest, sizeof rest), 10u);
  EXPECT_FALSE(in->readExact(rest, 1));
  EXPECT_FALSE(ByteReader::open(file("none")));
}

TEST_F(ByteReaderTest, SeedFilesReadAlikeFromFileAndMemory) {
  // The fuzz seeds cover every reader; reading them as files goes through
  // the file buffer instead of memory and must give the same store.
  const std::filesystem::path corpus = ZEL_CLOUD_CORPUS;
  struct Kind {
    const char* folder;
    void (*read)(ByteReader&, cloud::CloudStore&);
  };
  int files = 0;
  for (Kind k : {Kind{"cloud_ply", cloud::readPly}, Kind{"cloud_3d", cloud::read3d},
                 Kind{"cloud_text_rows", cloud::readTextRows}}) {
    for (const auto& entry : std::filesystem::directory_iterator(corpus / k.folder)) {
      SCOPED_TRACE(entry.path().string());
      const std::string text = cloudtest::readFile(entry.path());
      const cloudtest::Bytes bytes(text.begin(), text.end());
      cloud::CloudStore a, b;
      auto mem = ByteReader::fromMemory(bytes);
      k.read(*mem, a);
      auto f = ByteReader::open(entry.path());
      ASSERT_TRUE(f);
      k.read(*f, b);
      EXPECT_TRUE(std::equal(a.positions().begin(), a.positions().end(), b.positions().begin(), b.positions().end()));
      EXPECT_TRUE(std::equal(a.colours().begin(), a.colours().end(), b.colours().begin(), b.colours().end()));
      EXPECT_TRUE(std::equal(a.triangles().begin(), a.triangles().end(), b.triangles().begin(), b.triangles().end()));
      ++files;
    }
  }
  EXPECT_GE(files, 5);
}

}  // namespace
