#pragma once
// For host tests of the USB camera plug-ins: the suite loads the plug-in with
// dlopen and publishes a TestHead for its simulated cameras; each test gets a
// fresh instance logging to a temporary file, both callbacks delivering to
// HostFrames. Interface and CreateFn are the interface revision the plug-in
// implements and its "CreateIZelcam3DInstance" type.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "camera/sdk/simhead/testing/host_frames.h"
#include "camera/sdk/simhead/testing/serve_shot.h"
#include "camera/sdk/simhead/testing/test_head.h"

namespace zeltest {

template <class Interface, class CreateFn>
class PluginHostFixture : public ::testing::Test {
 protected:
  static constexpr int kWidth = 64, kHeight = 48;

  // From the suite's SetUpTestSuite: the head under headPrefix + pid (set as
  // ZELCAM_SIM_HEAD for the plug-in) and the library. A failure shows in
  // every test's createInstance.
  static void startSuite(const char* libraryPath, const std::string& headPrefix) {
    headName_ = headPrefix + std::to_string(::getpid());
    ::setenv("ZELCAM_SIM_HEAD", headName_.c_str(), 1);
    head_ = new TestHead(headName_, kWidth, kHeight);
    library_ = ::dlopen(libraryPath, RTLD_NOW | RTLD_LOCAL);
  }
  static void TearDownTestSuite() {
    delete head_;
    head_ = nullptr;
  }

  // A new instance in cam_, its log in logPath_ (TempDir + logPrefix + pid);
  // call through ASSERT_NO_FATAL_FAILURE.
  void createInstance(const std::string& logPrefix) {
    ASSERT_TRUE(head_->ok());
    ASSERT_NE(library_, nullptr) << ::dlerror();
    auto create = reinterpret_cast<CreateFn>(::dlsym(library_, "CreateIZelcam3DInstance"));
    ASSERT_NE(create, nullptr);
    cam_.reset(create());
    ASSERT_NE(cam_, nullptr);
    logPath_ = ::testing::TempDir() + logPrefix + std::to_string(::getpid()) + ".log";
    cam_->setLog(1, logPath_.c_str());
    cam_->setCallback(0, HostFrames::callback, buffers_[0].data());
    cam_->setCallback(1, HostFrames::callback, buffers_[1].data());
  }
  void TearDown() override {
    cam_.reset();
    HostFrames::instance().clear();
    // The plug-in's log is kept for a test that failed, else removed.
    if (!logPath_.empty() && !HasFailure()) ::unlink(logPath_.c_str());
  }

  // The frames of one pattern: one per camera, the head's image.
  void expectPattern(const std::vector<Frame>& frames, int pattern, std::uint32_t index) {
    expectTestHeadPattern(frames, *head_, kWidth, kHeight, pattern, index);
  }

  // The 13 patterns in software trigger (mode 1, already set: a capture per
  // pattern, frame index 0), then in hardware trigger (mode 0: the head's
  // pulse alone fires both cameras, frame indexes counting from 0). Call
  // through ASSERT_NO_FATAL_FAILURE.
  void shootSoftwareThenHardware() {
    for (int p = 0; p < TestHead::kPatterns; ++p) {
      head_->show(p);
      ASSERT_TRUE(cam_->capture());
      expectPattern(HostFrames::instance().take(2), p, 0);
    }
    ASSERT_TRUE(cam_->setTriggerMode(0));
    EXPECT_EQ(cam_->getTriggerMode(), 0);
    cam_->resetFrameCount();
    for (int p = 0; p < TestHead::kPatterns; ++p) {
      head_->show(p);
      expectPattern(HostFrames::instance().take(2), p, static_cast<std::uint32_t>(p));
    }
  }

  static inline std::string headName_;
  static inline TestHead* head_ = nullptr;
  static inline void* library_ = nullptr;
  std::unique_ptr<Interface> cam_;
  std::string logPath_;
  // Big enough for a reduced format's 640 x 480 frames too.
  std::vector<unsigned char> buffers_[2] = {std::vector<unsigned char>(640 * 480),
                                            std::vector<unsigned char>(640 * 480)};
};

}  // namespace zeltest
