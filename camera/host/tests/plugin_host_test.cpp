// What a host reads from a plug-in's name or path, and the projector
// address texts it accepts.
#include <gtest/gtest.h>

#include <string>

#include "camera/host/plugin_host.h"

namespace {

using camera::host::parseProjectorAddress;
using camera::host::projectorInHead;
using camera::host::revisionOfLibrary;

TEST(PluginHost, NameOrPathDecidesRevisionAndProjector) {
  EXPECT_EQ(revisionOfLibrary("/opt/lib/libOrvCamStGigE.so"), 23);
  EXPECT_EQ(revisionOfLibrary("./libOrvCamAce.so.0"), 25);
  // Only the file name counts, not a folder named after another plug-in.
  EXPECT_EQ(revisionOfLibrary("/build/OrvCamStGigE/libOrvCamAce.so"), 25);
  EXPECT_EQ(revisionOfLibrary("/build/OrvCamStcsb/libmine.so"), 25);
  EXPECT_TRUE(projectorInHead("ktds"));
  EXPECT_TRUE(projectorInHead("OrvCamKtds"));
  EXPECT_TRUE(projectorInHead("/usr/lib/libOrvCamKtds.so"));
  EXPECT_FALSE(projectorInHead("/OrvCamKtds/libOrvCamAce.so"));
  EXPECT_FALSE(projectorInHead("ace"));
}

TEST(PluginHost, ProjectorAddressTexts) {
  unsigned a = 0;
  std::string error;
  ASSERT_TRUE(parseProjectorAddress("192.168.1.20", &a, &error)) << error;
  EXPECT_EQ(a, 192u | 168u << 8 | 1u << 16 | 20u << 24);
  ASSERT_TRUE(parseProjectorAddress("COM3", &a, &error));
  EXPECT_EQ(a, 3u);
  for (const char* bad : {"COM0", "COM256", "COM+3", "COM 3", "7.0.0.0", "host", "1.2.3"}) {
    error.clear();
    EXPECT_FALSE(parseProjectorAddress(bad, &a, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

}  // namespace
