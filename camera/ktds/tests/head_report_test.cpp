// The plug-in's texts from Gevlink's results and the device's bytes, and its
// binding of Gevlink by ordinal.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "camera/ktds/gevlink_binding.h"
#include "camera/ktds/head_report.h"

namespace {

using namespace camera::ktds;

TEST(KtdsReport, ErrorReportNamesTheCode) {
  EXPECT_EQ(gevlinkErrorReport("GDevWaitStream", 1208, {0x20000085, 0}),
            "GDevWaitStream ERROR_EXTENDED_ERROR GDEV_ERR_CANCELLED\nCode:0x20000085 Info:0x00000000 "
            "Status:0x000004B8\n");
  EXPECT_EQ(gevlinkErrorReport("GDevOpen", 87, {0, 0}),
            "GDevOpen ERROR_INVALID_PARAMETER\nCode:0x00000000 Info:0x00000000 Status:0x00000057\n");
  EXPECT_EQ(gevlinkCodeName(1208, 0x12345678), "ERROR_EXTENDED_ERROR --UNKNOWN--");
  EXPECT_EQ(gevlinkCodeName(1460, 0), "--UNKNOWN--");
  EXPECT_EQ(gevlinkCodeName(995, 0), "ERROR_OPERATION_ABORTED");
  EXPECT_EQ(gevlinkCodeName(258, 0), "WAIT_TIMEOUT");
}

TEST(KtdsReport, DiscoveryRecordKeepsTheDevicesTextsInTheirFields) {
  DeviceInfo info;
  std::memset(&info, 'A', sizeof info);  // no text is terminated
  info.specVersionMajor = 2;
  info.specVersionMinor = 0;
  const unsigned char ip[4] = {127, 0, 0, 2};
  std::memcpy(&info.currentIp, ip, 4);
  info.userDefinedName[0] = '\x01';
  const std::string text = discoveryRecordText(info);
  EXPECT_NE(text.find("spec version: 2.0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("current IP: 127.0.0.2\n"), std::string::npos) << text;
  EXPECT_NE(text.find("manufacturer name: " + std::string(32, 'A') + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("user-defined name: ." + std::string(15, 'A') + "\n"), std::string::npos) << text;
}

TEST(KtdsReport, FrameCheckTakesOnlyAWholeEightBitFrameInsideTheBuffer) {
  std::vector<std::uint8_t> buffer(GDEV_FRAME_DATA_OFFSET + 64, 0);
  GDevFrameInfo info{};
  info.magic = GDEV_FRAME_INFO_MAGIC;
  info.pixelFormat = 0x01080001;  // Mono8
  info.width = 8;
  info.height = 4;
  info.payloadSize = 32;
  auto check = [&](std::uint32_t w, std::uint32_t h, std::string* why) {
    std::memcpy(buffer.data(), &info, sizeof info);
    return frameImageBytes(buffer.data(), buffer.size(), w, h, why);
  };
  std::string why;
  EXPECT_EQ(check(8, 4, &why), 32u);
  EXPECT_EQ(check(8, 5, &why), 0u);
  EXPECT_EQ(why, "frame of 8x4, expected 8x5");
  info.payloadSize = 65;  // past the buffer
  EXPECT_EQ(check(8, 4, &why), 0u);
  info.payloadSize = 31;
  EXPECT_EQ(check(8, 4, &why), 0u);
  info.payloadSize = 64;
  info.pixelFormat = 0x01100007;  // Mono16
  EXPECT_EQ(check(8, 4, &why), 0u);
  info.pixelFormat = 0x01080001;
  info.magic = 0;
  EXPECT_EQ(check(8, 4, &why), 0u);
  EXPECT_EQ(frameImageBytes(buffer.data(), 100, 8, 4, &why), 0u);
  EXPECT_EQ(frameImageBytes(buffer.data(), buffer.size(), 0, 4, &why), 0u);
  EXPECT_EQ(why, "no frame size");
}

TEST(KtdsBinding, EveryOrdinalFromGevlinkAndMissingOnesNamed) {
  EXPECT_TRUE(boundGevlink().complete()) << boundGevlink().missing;
  EXPECT_EQ(reinterpret_cast<void*>(boundGevlink().waitStream), reinterpret_cast<void*>(&GDevWaitStream));
  EXPECT_EQ(reinterpret_cast<void*>(boundGevlink().buffUnlock), reinterpret_cast<void*>(&GDevBuffUnlock));
  std::vector<GDevProc> table(GDevOrdinalTable, GDevOrdinalTable + 26);
  table[9] = nullptr;
  GevlinkApi api = bindGevlink(table.data(), 20);  // 20 and up are beyond this table
  EXPECT_EQ(api.missing, "ordinal 9 (GDevStartStreamEx), ordinal 20 (GDevDirectRegWrite), ordinal 23 (GDevBuffUnlock)");
  EXPECT_EQ(reinterpret_cast<void*>(api.directRegRead), reinterpret_cast<void*>(&GDevDirectRegRead));
}

}  // namespace
