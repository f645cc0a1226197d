#include "viewer/cloud/point_files.h"

#include "test_files.h"

#include <sys/resource.h>

#include <csignal>

namespace {

using cloud::CloudStore;
using cloud::FileKind;
using cloud::SaveResult;
namespace fs = std::filesystem;

class PointFiles : public cloudtest::TempDirTest {
 protected:
  CloudStore store_;
};

TEST(FileKind, ChosenByTheTextAfterTheLastDot) {
  using cloud::FileKindFromExtension;
  EXPECT_EQ(FileKindFromExtension("a.ply"), FileKind::Ply);
  EXPECT_EQ(FileKindFromExtension("dir.x/A.PLY"), FileKind::Ply);
  EXPECT_EQ(FileKindFromExtension("C:\\scans\\b.3D"), FileKind::Binary3d);
  EXPECT_EQ(FileKindFromExtension("c.Csv"), FileKind::TextRows);
  EXPECT_EQ(FileKindFromExtension("d.tar.txt"), FileKind::TextRows);
  EXPECT_EQ(FileKindFromExtension("e.ply.bak"), FileKind::Unknown);
  EXPECT_EQ(FileKindFromExtension("dir.ply/noext"), FileKind::Unknown);
  EXPECT_EQ(FileKindFromExtension("plain"), FileKind::Unknown);
  EXPECT_EQ(FileKindFromExtension("trailing."), FileKind::Unknown);
}

TEST_F(PointFiles, LoadClearsFirstAndUnknownOrMissingFilesLeaveItEmpty) {
  CloudStore sample;
  cloudtest::fillSample(sample, 10, 3);
  ASSERT_TRUE(cloud::WritePly(sample, file("s.ply"), true));
  cloud::LoadPointFile(store_, file("s.ply"));
  cloud::LoadPointFile(store_, file("s.ply"));
  EXPECT_EQ(store_.pointCount(), 10u);  // not 20: cleared before each load
  EXPECT_EQ(store_.triangleCount(), 3u);

  fs::copy_file(file("s.ply"), file("s.xyz"));
  cloud::LoadPointFile(store_, file("s.xyz"));
  EXPECT_EQ(store_.pointCount(), 0u);
  EXPECT_EQ(store_.triangleCount(), 0u);
  EXPECT_GE(store_.pointCapacity(), CloudStore::kReservedPoints);

  cloud::LoadPointFile(store_, file("s.ply"));
  cloud::LoadPointFile(store_, file("missing.ply"));
  EXPECT_EQ(store_.pointCount(), 0u);
  cloud::LoadPointFile(store_, dir_ / "folder.ply");  // a folder, not a file
  fs::create_directory(dir_ / "folder.ply");
  cloud::LoadPointFile(store_, dir_ / "folder.ply");
  EXPECT_EQ(store_.pointCount(), 0u);
}

TEST_F(PointFiles, SaveFormatSettingPicksTheWriter) {
  cloudtest::fillSample(store_, 4, 1);
  // The setting wins over the extension, in any case.
  EXPECT_EQ(cloud::SavePointFile(store_, file("a.txt"), "PLY.BIN"), SaveResult::Saved);
  EXPECT_EQ(cloudtest::readFile(file("a.txt")).rfind("ply\nformat binary_little_endian 1.0\n", 0), 0u);
  EXPECT_EQ(cloud::SavePointFile(store_, file("b.3d"), "ply.asc"), SaveResult::Saved);
  EXPECT_EQ(cloudtest::readFile(file("b.3d")).rfind("ply\nformat ascii 1.0\n", 0), 0u);
  EXPECT_EQ(cloud::SavePointFile(store_, file("c.ply"), "3D"), SaveResult::Saved);
  EXPECT_EQ(fs::file_size(file("c.ply")), 4u + 4 * 15);

  // Any other setting: by extension.
  EXPECT_EQ(cloud::SavePointFile(store_, file("d.csv"), ""), SaveResult::Saved);
  EXPECT_EQ(cloudtest::readFile(file("d.csv")).find("\r\n") != std::string::npos, true);
  EXPECT_EQ(cloud::SavePointFile(store_, file("e.3d"), "ply"), SaveResult::Saved);
  EXPECT_EQ(fs::file_size(file("e.3d")), 4u + 4 * 15);
  EXPECT_EQ(cloud::SavePointFile(store_, file("f.PLY"), "bin"), SaveResult::Saved);
  EXPECT_EQ(cloudtest::readFile(file("f.PLY")).rfind("ply\nformat binary", 0), 0u);

  // No writer for the extension: failure, nothing written.
  EXPECT_EQ(cloud::SavePointFile(store_, file("g.xyz"), "obj"), SaveResult::Failed);
  EXPECT_FALSE(fs::exists(file("g.xyz")));
}

TEST_F(PointFiles, EmptyStoreWritesNoFile) {
  store_.appendTriangle(0, 1, 2);  // triangles without points are nothing to save
  for (const char* format : {"ply.bin", "ply.asc", "3d", ""}) {
    EXPECT_EQ(cloud::SavePointFile(store_, file("empty.ply"), format), SaveResult::NothingToSave);
  }
  EXPECT_FALSE(fs::exists(file("empty.ply")));
}

TEST_F(PointFiles, WriteFailuresAreReported) {
  cloudtest::fillSample(store_, 100, 10);
  // A folder that does not exist: the file cannot be created.
  EXPECT_EQ(cloud::SavePointFile(store_, dir_ / "no" / "x.ply", ""), SaveResult::Failed);
  // A device that takes no data: every writer sees the write fail.
  if (fs::exists("/dev/full")) {
    EXPECT_FALSE(cloud::WritePly(store_, "/dev/full", true));
    EXPECT_FALSE(cloud::WritePly(store_, "/dev/full", false));
    EXPECT_FALSE(cloud::Write3d(store_, "/dev/full"));
    EXPECT_FALSE(cloud::WriteTextRows(store_, "/dev/full"));
  }
}

// A write that fails part-way (the file-size limit stands in for a full
// disk) leaves the earlier file byte for byte and no partial or temporary
// file; a folder given as the target is left alone.
TEST_F(PointFiles, FailedWriteKeepsTheEarlierFile) {
  CloudStore small;
  cloudtest::fillSample(small, 10, 3);
  cloudtest::fillSample(store_, 50000, 1000);
  fs::create_directory(file("folder.ply"));
  for (const char* name : {"old.ply", "old.3d", "old.csv"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(cloud::SavePointFile(small, file(name), ""), SaveResult::Saved);
    const auto before = fs::file_size(file(name));
    struct rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit low = saved;
    low.rlim_cur = 64 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &low), 0);
    const SaveResult result = cloud::SavePointFile(store_, file(name), "");
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result, SaveResult::Failed);
    EXPECT_EQ(fs::file_size(file(name)), before);
    CloudStore back;
    cloud::LoadPointFile(back, file(name));
    EXPECT_EQ(back.pointCount(), small.pointCount());
  }
  EXPECT_EQ(cloud::SavePointFile(store_, file("folder.ply"), ""), SaveResult::Failed);
  EXPECT_TRUE(fs::is_directory(file("folder.ply")));
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_)) ++entries;
  EXPECT_EQ(entries, 4) << "no temporary file is left behind";
}

TEST_F(PointFiles, LargeFilesRoundTripAndReportFailures) {
  // Several write buffers' worth, so that the writers hand buffers to their
  // helper thread.
  cloudtest::fillSample(store_, 120000, 100000);
  for (const char* name : {"big.ply", "big.3d", "big.txt"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(cloud::SavePointFile(store_, file(name), ""), SaveResult::Saved);
    CloudStore back;
    cloud::LoadPointFile(back, file(name));
    ASSERT_EQ(back.pointCount(), store_.pointCount());
    if (std::string_view(name) == "big.txt") {
      EXPECT_NEAR(back.positions()[3 * 119999 + 2], store_.positions()[3 * 119999 + 2], 0.01);
    } else {
      EXPECT_TRUE(std::equal(back.positions().begin(), back.positions().end(), store_.positions().begin()));
    }
    EXPECT_TRUE(std::equal(back.colours().begin(), back.colours().end(), store_.colours().begin()));
    if (std::string_view(name) == "big.ply") {
      EXPECT_TRUE(std::equal(back.triangles().begin(), back.triangles().end(), store_.triangles().begin(),
                             store_.triangles().end()));
    }
  }
  if (fs::exists("/dev/full")) {
    EXPECT_FALSE(cloud::WritePly(store_, "/dev/full", true));
    EXPECT_FALSE(cloud::WriteTextRows(store_, "/dev/full"));
  }
}

TEST_F(PointFiles, Utf8Paths) {
  cloudtest::fillSample(store_, 3, 0);
  const fs::path path = dir_ / "点群 データ.ply";
  ASSERT_EQ(cloud::SavePointFile(store_, path, "ply.bin"), SaveResult::Saved);
  CloudStore back;
  cloud::LoadPointFile(back, path);
  EXPECT_EQ(back.pointCount(), 3u);
}

}  // namespace
