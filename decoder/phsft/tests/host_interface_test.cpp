// Drives the library as a host does: only the public header, dlopen and dlsym.
#include "dec_phsft.h"
#include "decoder/phsft/tests/synthetic_scene.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using zel::test::makeScene;
using zel::test::SceneOptions;

struct Library {
  void* handle = nullptr;
  IDecPhsft* (*create)() = nullptr;
  Library() {
    handle = ::dlopen(ZEL_PHSFT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (handle) create = reinterpret_cast<IDecPhsft* (*)()>(::dlsym(handle, "CreateIDecPhsftInstance"));
  }
  // Kept loaded: the library's state lives as long as the process, as in a host.
};
Library& library() {
  static Library lib;
  return lib;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class HostInterface : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(library().handle, nullptr) << ::dlerror();
    ASSERT_NE(library().create, nullptr);
    dir_ = zel::test::makeTempDir();
    dec_ = library().create();
    ASSERT_NE(dec_, nullptr);
  }
  void TearDown() override {
    if (dec_) dec_->release();
    zel::test::removeTree(dir_);
  }
  std::string writeSettings(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    return path;
  }
  std::string dir_;
  IDecPhsft* dec_ = nullptr;
};

TEST_F(HostInterface, OnlyTheFactoryIsExported) {
  EXPECT_EQ(::dlsym(library().handle, "_ZN3zel5Phsft4execEPPfPPhbPPi"), nullptr);
  EXPECT_EQ(::dlsym(library().handle, "_ZN4diag13libraryLoggerEv"), nullptr);
}

TEST_F(HostInterface, EverySlotBeforeAndAfterConfiguration) {
  // Nothing configured: failures, never reads of absent data.
  EXPECT_EQ(dec_->getImageWidth(), 0);
  EXPECT_EQ(dec_->getImageHeight(), 0);
  EXPECT_EQ(dec_->getImageCount(), 0);
  EXPECT_FALSE(dec_->loadCalibration(dir_.c_str()));
  float* pts = reinterpret_cast<float*>(0x1);
  EXPECT_EQ(dec_->exec(&pts, nullptr, false, nullptr), 0);
  EXPECT_EQ(pts, reinterpret_cast<float*>(0x1));
  // The placeholder and constant slots, in slot order.
  dec_->reserved2();
  EXPECT_TRUE(dec_->reserved3());
  EXPECT_EQ(dec_->reserved6(), 0);
  dec_->reserved7();
  EXPECT_EQ(dec_->reserved10(), 0);
  int token = 0;
  dec_->setUserPointer(&token);

  EXPECT_TRUE(dec_->setParamFromFile(nullptr));
  EXPECT_EQ(dec_->getImageWidth(), 1280);
  EXPECT_EQ(dec_->getImageHeight(), 1024);
  EXPECT_EQ(dec_->getImageCount(), 13);
  EXPECT_FALSE(dec_->loadCalibration(""));
  EXPECT_FALSE(dec_->loadCalibration(nullptr));
  EXPECT_FALSE(dec_->loadCalibration(dir_.c_str()));  // no calibration files there
  EXPECT_EQ(dec_->exec(nullptr, nullptr, false, nullptr), 0);
  EXPECT_EQ(dec_->getPointCount(), 0);
  EXPECT_EQ(dec_->getPoints(), nullptr);
  EXPECT_EQ(dec_->getColors(), nullptr);
  EXPECT_EQ(dec_->getPixelIndices(), nullptr);
}

TEST_F(HostInterface, SettingsPathsAndTheNoFileLine) {
  const std::string log = dir_ + "/decoder.log";
  dec_->setLog(1, log.c_str());
  EXPECT_NE(readFile(log).find("Phsft::setLog: 0x1 [" + log + "]\n"), std::string::npos);
  writeSettings("relative.ini", "[PhaseShift]\nimage_width=0x10\nimage_height=\n");
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir_.c_str()), 0);
  const bool relativeRead = dec_->setParamFromFile("relative.ini");
  const bool missing = dec_->setParamFromFile("absent.ini");
  ASSERT_EQ(::chdir(cwd), 0);
  EXPECT_TRUE(relativeRead);
  EXPECT_FALSE(missing);
  EXPECT_EQ(dec_->getImageWidth(), 0);  // the failed read leaves a record of zeroes
  EXPECT_NE(readFile(log).find("Phsft::setParamFromFile: error: no file: " + dir_ + "/absent.ini\n"),
            std::string::npos);
  ASSERT_TRUE(dec_->setParamFromFile((dir_ + "/relative.ini").c_str()));
  EXPECT_EQ(dec_->getImageWidth(), 16);
  EXPECT_EQ(dec_->getImageHeight(), 0);
  EXPECT_EQ(dec_->getImageCount(), 13);
  dec_->setLog(0, nullptr);
}

class HostDecode : public HostInterface {
 protected:
  void SetUp() override {
    HostInterface::SetUp();
    opts_.width = 120;
    opts_.height = 30;
    scene_ = makeScene(opts_);
    calib_ = dir_ + "/calib";
    std::filesystem::create_directory(calib_);
    zel::test::writeCameraParamFiles(calib_, opts_.width, opts_.height, 300.0, 60.0, 15.0, 50.0);
    zel::test::writeRectifiedCalibration(calib_, opts_.width, opts_.height, 300.0, 60.0, 15.0, 50.0);
  }
  std::string settings(int coord, int bwDiff, int qEvec = 0) {
    return writeSettings("s.ini", "[PhaseShift]\nimage_width=" + std::to_string(opts_.width) + "\nimage_height=" +
                                      std::to_string(opts_.height) + "\ncoord=" + std::to_string(coord) +
                                      "\n[PSLIB]\nbw_diff=" + std::to_string(bwDiff) +
                                      "\nQ_evec=" + std::to_string(qEvec) + "\nevec_error=1e-6\n");
  }
  SceneOptions opts_;
  zel::test::SyntheticScene scene_;
  std::string calib_;
};

TEST_F(HostDecode, DecodesAndKeepsTheThresholdsOfLoadCalibration) {
  const std::string log = dir_ + "/decoder.log";
  dec_->setLog(1, log.c_str());
  ASSERT_TRUE(dec_->setParamFromFile(settings(0, 10).c_str()));
  ASSERT_TRUE(dec_->loadCalibration(calib_.c_str()));  // no trailing separator: one is added
  dec_->setImages(ImagePair{scene_.left.data(), scene_.right.data()});
  float* pts = nullptr;
  std::uint8_t* cols = nullptr;
  std::int32_t* idx = nullptr;
  const int n = dec_->exec(&pts, &cols, true, &idx);
  ASSERT_GT(n, opts_.width * opts_.height / 3);
  EXPECT_EQ(n, dec_->getPointCount());
  EXPECT_EQ(pts, dec_->getPoints());
  EXPECT_EQ(cols, dec_->getColors());
  EXPECT_EQ(idx, dec_->getPixelIndices());
  for (int i = 0; i < n; ++i) {
    if (i > 0) {
      ASSERT_LT(idx[i - 1], idx[i]);
    }
    const int x = idx[i] % opts_.width;
    ASSERT_GE(x, 5);
    ASSERT_LT(x, opts_.width - 5);
    ASSERT_EQ(cols[3 * i], cols[3 * i + 1]);
  }
  const std::string text = readFile(log);
  EXPECT_NE(text.find("Phsft::exec\n time: remap["), std::string::npos);
  EXPECT_NE(text.find(" points=" + std::to_string(n) + "\n total["), std::string::npos);

  // A stricter contrast threshold in the file alone changes the getters' source
  // but not the decoding; after loadCalibration it does.
  ASSERT_TRUE(dec_->setParamFromFile(settings(0, 200).c_str()));
  EXPECT_EQ(dec_->exec(nullptr, nullptr, false, nullptr), n);
  ASSERT_TRUE(dec_->loadCalibration((calib_ + "/").c_str()));
  EXPECT_LT(dec_->exec(nullptr, nullptr, false, nullptr), n / 2);
  EXPECT_TRUE(dec_->loadCalibration((calib_ + "\\").c_str()));  // either separator counts as present

  // The projection-matrix files give the same rectification (identity maps)
  // and, with the left camera at the world origin, the same frame.
  ASSERT_TRUE(dec_->setParamFromFile(settings(1, 10).c_str()));
  ASSERT_TRUE(dec_->loadCalibration(calib_.c_str()));
  const int n1 = dec_->exec(nullptr, nullptr, false, nullptr);
  EXPECT_GT(n1, n * 9 / 10);
  ASSERT_TRUE(dec_->setParamFromFile(settings(1, 10, 1).c_str()));
  EXPECT_GT(dec_->exec(nullptr, nullptr, false, nullptr), n1 * 9 / 10);
  dec_->setLog(0, nullptr);
}

TEST_F(HostDecode, AllInvalidImagesReturnZeroAndKeepTheOutPointers) {
  const std::string log = dir_ + "/decoder.log";
  ASSERT_TRUE(dec_->setParamFromFile(settings(1, 10).c_str()));
  ASSERT_TRUE(dec_->loadCalibration(calib_.c_str()));
  dec_->setImages(ImagePair{scene_.left.data(), scene_.right.data()});
  ASSERT_GT(dec_->exec(nullptr, nullptr, false, nullptr), 0);
  std::vector<std::uint8_t> dark(scene_.left.size(), 0);
  dec_->setImages(ImagePair{dark.data(), dark.data()});
  dec_->setLog(1, log.c_str());
  float* pts = reinterpret_cast<float*>(0x10);
  std::uint8_t* cols = reinterpret_cast<std::uint8_t*>(0x20);
  std::int32_t* idx = reinterpret_cast<std::int32_t*>(0x30);
  EXPECT_EQ(dec_->exec(&pts, &cols, false, &idx), 0);
  EXPECT_EQ(pts, reinterpret_cast<float*>(0x10));
  EXPECT_EQ(cols, reinterpret_cast<std::uint8_t*>(0x20));
  EXPECT_EQ(idx, reinterpret_cast<std::int32_t*>(0x30));
  EXPECT_EQ(dec_->getPointCount(), 0);
  EXPECT_EQ(dec_->getPoints(), nullptr);
  const std::string text = readFile(log);
  EXPECT_NE(text.find(" points=0\n"), std::string::npos);
  EXPECT_EQ(text.find("total["), std::string::npos);
  dec_->setLog(0, nullptr);
}

TEST_F(HostDecode, FailedCalibrationStopsDecoding) {
  ASSERT_TRUE(dec_->setParamFromFile(settings(1, 10).c_str()));
  ASSERT_TRUE(dec_->loadCalibration(calib_.c_str()));
  dec_->setImages(ImagePair{scene_.left.data(), scene_.right.data()});
  ASSERT_GT(dec_->exec(nullptr, nullptr, false, nullptr), 0);
  // A rect.param cut short: false, and no half-loaded map is used afterwards.
  std::filesystem::resize_file(calib_ + "/rect.param", 100);
  EXPECT_FALSE(dec_->loadCalibration(calib_.c_str()));
  EXPECT_EQ(dec_->exec(nullptr, nullptr, false, nullptr), 0);
  // Settings for another image size than the one calibrated: refused.
  zel::test::writeRectifiedCalibration(calib_, opts_.width, opts_.height, 300.0, 60.0, 15.0, 50.0);
  ASSERT_TRUE(dec_->loadCalibration(calib_.c_str()));
  writeSettings("big.ini", "[PhaseShift]\nimage_width=4000\nimage_height=3000\ncoord=1\n");
  ASSERT_TRUE(dec_->setParamFromFile((dir_ + "/big.ini").c_str()));
  EXPECT_EQ(dec_->exec(nullptr, nullptr, false, nullptr), 0);
  // coord 7 keeps the calibration in force only when it fits the size.
  writeSettings("c7.ini", "[PhaseShift]\nimage_width=" + std::to_string(opts_.width) +
                              "\nimage_height=" + std::to_string(opts_.height) + "\ncoord=7\n");
  ASSERT_TRUE(dec_->setParamFromFile((dir_ + "/c7.ini").c_str()));
  EXPECT_TRUE(dec_->loadCalibration(calib_.c_str()));
  EXPECT_GT(dec_->exec(nullptr, nullptr, false, nullptr), 0);
  writeSettings("c7b.ini", "[PhaseShift]\nimage_width=64\nimage_height=32\ncoord=7\n");
  ASSERT_TRUE(dec_->setParamFromFile((dir_ + "/c7b.ini").c_str()));
  EXPECT_FALSE(dec_->loadCalibration(calib_.c_str()));
}

// "match_mode": 1 decodes the same scene as completely as 0; an unknown
// value is read, refused by loadCalibration with a log line, and decoding
// stops until a valid configuration is loaded.
TEST_F(HostDecode, MatchModeOneDecodesAndUnknownModesAreRefused) {
  const std::string log = dir_ + "/decoder.log";
  auto withMode = [&](const std::string& mode) {
    return writeSettings("m.ini", "[PhaseShift]\nimage_width=" + std::to_string(opts_.width) + "\nimage_height=" +
                                      std::to_string(opts_.height) + "\n[PSLIB]\nmatch_mode=" + mode + "\n");
  };
  dec_->setImages(ImagePair{scene_.left.data(), scene_.right.data()});
  ASSERT_TRUE(dec_->setParamFromFile(withMode("0").c_str()));
  ASSERT_TRUE(dec_->loadCalibration(calib_.c_str()));
  const int n0 = dec_->exec(nullptr, nullptr, false, nullptr);
  ASSERT_GT(n0, 0);
  ASSERT_TRUE(dec_->setParamFromFile(withMode("1").c_str()));
  ASSERT_TRUE(dec_->loadCalibration(calib_.c_str()));
  std::int32_t* idx = nullptr;
  const int n1 = dec_->exec(nullptr, nullptr, false, &idx);
  EXPECT_GE(n1, n0 * 95 / 100);
  for (int i = 1; i < n1; ++i) ASSERT_LT(idx[i - 1], idx[i]);

  dec_->setLog(1, log.c_str());
  ASSERT_TRUE(dec_->setParamFromFile(withMode("2").c_str()));
  EXPECT_EQ(dec_->getImageWidth(), opts_.width);  // the rest of the file is read
  EXPECT_FALSE(dec_->loadCalibration(calib_.c_str()));
  EXPECT_EQ(dec_->exec(nullptr, nullptr, false, nullptr), 0);
  EXPECT_NE(readFile(log).find("match_mode 2 is neither 0 nor 1"), std::string::npos);
  dec_->setLog(0, nullptr);
  ASSERT_TRUE(dec_->setParamFromFile(withMode("1").c_str()));
  ASSERT_TRUE(dec_->loadCalibration(calib_.c_str()));
  EXPECT_EQ(dec_->exec(nullptr, nullptr, false, nullptr), n1);
}

}  // namespace
