// Drives the library as a host does: only the public header, dlopen and dlsym.
#include "dec_sgbm.h"
#include "decoder/sgbm/tests/test_scene.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <fstream>

namespace {

using zel::test::ImagePairData;

struct Library {
  void* handle = nullptr;
  IDecSgbm* (*create)() = nullptr;
  Library() {
    handle = ::dlopen(ZEL_SGBM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (handle) create = reinterpret_cast<IDecSgbm* (*)()>(::dlsym(handle, "CreateIDecSgbmInstance"));
  }
  // Kept loaded: the library's state lives as long as the process, as in a host.
};
Library& library() {
  static Library lib;
  return lib;
}

// The vtable slot of a virtual member function (Itanium C++ ABI: the pointer
// holds 1 + the byte offset of its vtable entry).
template <typename F>
std::ptrdiff_t slotOf(F f) {
  static_assert(sizeof(F) == 2 * sizeof(std::ptrdiff_t));
  std::ptrdiff_t raw[2];
  std::memcpy(raw, &f, sizeof raw);
  return (raw[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

bool allZero(const std::uint8_t* p, std::size_t n) {
  return std::all_of(p, p + n, [](std::uint8_t v) { return v == 0; });
}

class HostInterface : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(library().handle, nullptr) << ::dlerror();
    ASSERT_NE(library().create, nullptr);
    dir_ = zel::test::makeTempDir();
    zel::test::writeHmatCalibration(dir_, rig_);
    dec_ = library().create();
    ASSERT_NE(dec_, nullptr);
    log_ = dir_ + "sgbm.log";
    dec_->setLog(1, log_.c_str());
  }
  void TearDown() override {
    if (dec_) dec_->release();
    zel::test::removeTree(dir_);
  }
  std::string writeSettings(const std::string& name, const std::string& extra = "") {
    const std::string path = dir_ + name;
    std::ofstream(path) << "[StereoSGBM]\nimage_width=" << rig_.width << "\nimage_height=" << rig_.height
                        << "\ncoord=1\n[SGBMLIB]\nnum_disparities=64\nevec_error=1e-6\n"
                        << extra;
    return path;
  }
  std::string log() const { return zel::test::readTextFile(log_); }
  std::size_t pixels() const { return static_cast<std::size_t>(rig_.width) * rig_.height; }

  zel::test::IdealRig rig_;
  std::string dir_;
  std::string log_;
  IDecSgbm* dec_ = nullptr;
};

TEST(HostInterfaceSlots, DeclarationOrderIsTheSlotOrder) {
  EXPECT_EQ(slotOf(&IDecSgbm::release), 0);
  EXPECT_EQ(slotOf(&IDecSgbm::setParamFromFile), 1);
  EXPECT_EQ(slotOf(&IDecSgbm::reserved2), 2);
  EXPECT_EQ(slotOf(&IDecSgbm::reserved3), 3);
  EXPECT_EQ(slotOf(&IDecSgbm::loadCalibration), 4);
  EXPECT_EQ(slotOf(&IDecSgbm::setImages), 5);
  EXPECT_EQ(slotOf(&IDecSgbm::setRectifiedImages), 6);
  EXPECT_EQ(slotOf(&IDecSgbm::exec), 7);
  EXPECT_EQ(slotOf(&IDecSgbm::setLog), 8);
  EXPECT_EQ(slotOf(&IDecSgbm::getRectifiedImage), 9);
  EXPECT_EQ(slotOf(&IDecSgbm::getPointCount), 10);
  EXPECT_EQ(slotOf(&IDecSgbm::getPoints), 11);
  EXPECT_EQ(slotOf(&IDecSgbm::getColors), 12);
  EXPECT_EQ(slotOf(&IDecSgbm::getImageWidth), 13);
  EXPECT_EQ(slotOf(&IDecSgbm::getImageHeight), 14);
  EXPECT_EQ(slotOf(&IDecSgbm::getPixelIndices), 15);
}

TEST_F(HostInterface, OnlyTheFactoryIsExported) {
  EXPECT_EQ(::dlsym(library().handle, "_ZN3zel6SGBM3D4execEPPfPPhbPPi"), nullptr);
  EXPECT_EQ(::dlsym(library().handle, "_ZN4diag13libraryLoggerEv"), nullptr);
  EXPECT_EQ(::dlsym(library().handle, "CreateIDecPhsftInstance"), nullptr);
}

TEST_F(HostInterface, NothingConfiguredGivesFailuresNotReads) {
  EXPECT_EQ(dec_->getImageWidth(), 0);
  EXPECT_EQ(dec_->getImageHeight(), 0);
  EXPECT_EQ(dec_->getRectifiedImage(0), nullptr);
  EXPECT_FALSE(dec_->loadCalibration(dir_.c_str()));
  float* pts = reinterpret_cast<float*>(0x1);
  EXPECT_EQ(dec_->exec(&pts, nullptr, true, nullptr), 0);
  EXPECT_EQ(pts, reinterpret_cast<float*>(0x1));
  dec_->reserved2();
  EXPECT_TRUE(dec_->reserved3());
  EXPECT_EQ(dec_->getPointCount(), 0);
  EXPECT_EQ(dec_->getPoints(), nullptr);
  EXPECT_EQ(dec_->getColors(), nullptr);
  EXPECT_EQ(dec_->getPixelIndices(), nullptr);
  EXPECT_NE(log().find("SGBM3D::setLog: 0x1 [" + log_ + "]\n"), std::string::npos);
}

TEST_F(HostInterface, SettingsDefaultsMissingFileAndRelativePath) {
  ASSERT_TRUE(dec_->setParamFromFile(nullptr));
  EXPECT_EQ(dec_->getImageWidth(), 1280);
  EXPECT_EQ(dec_->getImageHeight(), 1024);
  ASSERT_NE(dec_->getRectifiedImage(0), nullptr);
  ASSERT_NE(dec_->getRectifiedImage(1), nullptr);
  EXPECT_TRUE(allZero(dec_->getRectifiedImage(1), 1280 * 1024));
  EXPECT_EQ(dec_->getRectifiedImage(2), nullptr);
  EXPECT_EQ(dec_->getRectifiedImage(-1), nullptr);

  const std::string missing = dir_ + "absent.ini";
  EXPECT_FALSE(dec_->setParamFromFile(missing.c_str()));
  EXPECT_NE(log().find("error: no file: " + missing + "\n"), std::string::npos);
  EXPECT_EQ(dec_->getImageWidth(), 0);
  EXPECT_EQ(dec_->getRectifiedImage(0), nullptr);

  // A bare name is looked up in the current directory.
  writeSettings("relative.ini");
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir_.c_str()), 0);
  const bool found = dec_->setParamFromFile("relative.ini");
  ASSERT_EQ(::chdir(cwd), 0);
  EXPECT_TRUE(found);
  EXPECT_EQ(dec_->getImageWidth(), rig_.width);
  EXPECT_EQ(dec_->getImageHeight(), rig_.height);
}

TEST_F(HostInterface, RectifiedPairLeavesTheBuffersAndGivesTheCloud) {
  ASSERT_TRUE(dec_->setParamFromFile(writeSettings("sgbm.ini").c_str()));
  ASSERT_TRUE(dec_->loadCalibration(dir_.c_str()));  // no trailing separator: one is added
  const ImagePairData pair = zel::test::makeShiftedPair(rig_.width, rig_.height, 12);
  dec_->setRectifiedImages(pair.pair());
  float* pts = nullptr;
  std::uint8_t* cols = nullptr;
  std::int32_t* idx = nullptr;
  const int n = dec_->exec(&pts, &cols, false, &idx);
  ASSERT_GT(n, 0);
  EXPECT_EQ(n, dec_->getPointCount());
  EXPECT_EQ(pts, dec_->getPoints());
  EXPECT_EQ(cols, dec_->getColors());
  EXPECT_EQ(idx, dec_->getPixelIndices());
  EXPECT_TRUE(allZero(dec_->getRectifiedImage(0), pixels()));
  EXPECT_TRUE(allZero(dec_->getRectifiedImage(1), pixels()));
  EXPECT_TRUE(std::is_sorted(idx, idx + n));
  EXPECT_NEAR(pts[2], rig_.f * rig_.baseline / 12.0, 0.01 * rig_.f * rig_.baseline / 12.0);
  const std::string text = log();
  EXPECT_NE(text.find("SGBM3D::exec\n time: remap["), std::string::npos);
  EXPECT_NE(text.find("]sgbm["), std::string::npos);
  EXPECT_NE(text.find("]ms\n points=" + std::to_string(n) + "\n total["), std::string::npos);

  // The two-ray method through the settings.
  ASSERT_TRUE(dec_->setParamFromFile(writeSettings("rays.ini", "Q_evec=1\n").c_str()));
  ASSERT_TRUE(dec_->loadCalibration((dir_ + "/").c_str()));
  dec_->setRectifiedImages(pair.pair());
  EXPECT_EQ(dec_->exec(nullptr, nullptr, false, nullptr), n);
}

TEST_F(HostInterface, RawPairIsRectifiedIntoTheBuffersUntilTheNextSettings) {
  ASSERT_TRUE(dec_->setParamFromFile(writeSettings("sgbm.ini").c_str()));
  ASSERT_TRUE(dec_->loadCalibration(dir_.c_str()));
  const ImagePairData pair = zel::test::makeShiftedPair(rig_.width, rig_.height, 12);
  dec_->setImages(pair.pair());
  ASSERT_GT(dec_->exec(nullptr, nullptr, true, nullptr), 0);
  // Identity maps: the first row of each rectified image is the raw one but
  // for its last pixel (the fill value).
  const int w = rig_.width;
  EXPECT_EQ(0, std::memcmp(dec_->getRectifiedImage(0), pair.left.data(), w - 1));
  EXPECT_EQ(0, std::memcmp(dec_->getRectifiedImage(1), pair.right.data(), w - 1));
  EXPECT_EQ(dec_->getRectifiedImage(1)[w - 1], 255);
  ASSERT_TRUE(dec_->setParamFromFile(writeSettings("sgbm.ini").c_str()));
  EXPECT_TRUE(allZero(dec_->getRectifiedImage(0), pixels()));
}

TEST_F(HostInterface, RefusedMatcherValuesAndMissingCalibrationAreLoggedAsZero) {
  const ImagePairData pair = zel::test::makeShiftedPair(rig_.width, rig_.height, 12);
  ASSERT_TRUE(dec_->setParamFromFile(writeSettings("bad.ini", "block_size=-47\nmode=2\n").c_str()));
  ASSERT_TRUE(dec_->loadCalibration(dir_.c_str()));
  dec_->setRectifiedImages(pair.pair());
  float* pts = reinterpret_cast<float*>(0x1);
  EXPECT_EQ(dec_->exec(&pts, nullptr, false, nullptr), 0);
  EXPECT_EQ(pts, reinterpret_cast<float*>(0x1));
  EXPECT_NE(log().find("SGBM3D::exec: error: "), std::string::npos);

  // Calibration files missing: loadCalibration still reports true.
  const std::string empty = zel::test::makeTempDir();
  ASSERT_TRUE(dec_->setParamFromFile(writeSettings("sgbm.ini").c_str()));
  EXPECT_TRUE(dec_->loadCalibration(empty.c_str()));
  zel::test::removeTree(empty);
  EXPECT_EQ(dec_->exec(&pts, nullptr, false, nullptr), 0);
  EXPECT_EQ(dec_->getPoints(), nullptr);
  EXPECT_NE(log().find("SGBM3D::exec: error: not calibrated\n"), std::string::npos);

  // Settings changed after the calibration: the image size no longer fits.
  ASSERT_TRUE(dec_->loadCalibration(dir_.c_str()));
  ASSERT_TRUE(dec_->setParamFromFile(nullptr));
  EXPECT_EQ(dec_->exec(nullptr, nullptr, false, nullptr), 0);
}

}  // namespace
