#include "camera/ktds/head_report.h"

#include <cstdio>
#include <cstring>

namespace camera::ktds {
namespace {

const char* extendedName(std::uint32_t code) {
  switch (code) {
    case GDEV_ERR_INVALID_ADDRESS: return "GDEV_ERR_INVALID_ADDRESS";
    case GDEV_ERR_WAIT_TIMEOUT: return "GDEV_ERR_WAIT_TIMEOUT";
    case GDEV_ERR_TABLE_FULL: return "GDEV_ERR_TABLE_FULL";
    case GDEV_ERR_WAIT_LIST: return "GDEV_ERR_WAIT_LIST";
    case GDEV_ERR_UNKNOWN_STREAM: return "GDEV_ERR_UNKNOWN_STREAM";
    case GDEV_ERR_ARCHIVE: return "GDEV_ERR_ARCHIVE";
    case GDEV_ERR_XML_LOCATION: return "GDEV_ERR_XML_LOCATION";
    case GDEV_ERR_CANCELLED: return "GDEV_ERR_CANCELLED";
    case GDEV_ERR_BUSY: return "GDEV_ERR_BUSY";
    case GDEV_ERR_XML_WRITE: return "GDEV_ERR_XML_WRITE";
    case GDEV_ERR_INTERNAL: return "GDEV_ERR_INTERNAL";
    // A frame that came back incomplete or too large carries its kind.
    case GDEV_FRAME_INCOMPLETE: return "GDEV_FRAME_INCOMPLETE";
    case GDEV_FRAME_OVERRUN: return "GDEV_FRAME_OVERRUN";
    default: return "--UNKNOWN--";
  }
}

// A device text field: up to its size, up to its first 0, unprintable bytes
// as '.'.
std::string fieldText(const char* field, std::size_t size) {
  std::string out;
  for (std::size_t i = 0; i < size && field[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(field[i]);
    out.push_back(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '.');
  }
  return out;
}

}  // namespace

std::string gevlinkCodeName(std::uint32_t status, std::uint32_t code) {
  switch (status) {
    case 0: return "NO_ERROR";
    case 2: return "ERROR_FILE_NOT_FOUND";
    case 5: return "ERROR_ACCESS_DENIED";
    case 6: return "ERROR_INVALID_HANDLE";
    case 8: return "ERROR_NOT_ENOUGH_MEMORY";
    case 87: return "ERROR_INVALID_PARAMETER";
    case 258: return "WAIT_TIMEOUT";
    case 995: return "ERROR_OPERATION_ABORTED";
    case 1208: return std::string("ERROR_EXTENDED_ERROR ") + extendedName(code);
    default: return "--UNKNOWN--";
  }
}

std::string gevlinkErrorReport(const char* operation, std::uint32_t status, const GDevErrInfo& err) {
  char text[512];
  std::snprintf(text, sizeof text, "%s %s\nCode:0x%08X Info:0x%08X Status:0x%08X\n", operation ? operation : "",
                gevlinkCodeName(status, err.code).c_str(), err.code, err.info, status);
  return text;
}

std::string dottedAddress(std::uint32_t networkOrder) {
  unsigned char b[4];
  std::memcpy(b, &networkOrder, sizeof b);
  char text[20];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

std::string discoveryRecordText(const DeviceInfo& info) {
  char text[1024];
  std::snprintf(text, sizeof text,
                "spec version: %u.%u\n"
                "device mode: 0x%08X\n"
                "MAC address: %02X:%02X:%02X:%02X:%02X:%02X\n"
                "IP configuration: supported 0x%08X current 0x%08X\n"
                "current IP: %s\n"
                "subnet mask: %s\n"
                "gateway: %s\n",
                info.specVersionMajor, info.specVersionMinor, info.deviceMode, info.mac[0], info.mac[1], info.mac[2],
                info.mac[3], info.mac[4], info.mac[5], info.ipConfigOptions, info.ipConfigCurrent,
                dottedAddress(info.currentIp).c_str(), dottedAddress(info.currentSubnetMask).c_str(),
                dottedAddress(info.defaultGateway).c_str());
  std::string out = text;
  out += "manufacturer name: " + fieldText(info.manufacturerName, sizeof info.manufacturerName) + "\n";
  out += "model name: " + fieldText(info.modelName, sizeof info.modelName) + "\n";
  out += "device version: " + fieldText(info.deviceVersion, sizeof info.deviceVersion) + "\n";
  out += "manufacturer info: " + fieldText(info.manufacturerInfo, sizeof info.manufacturerInfo) + "\n";
  out += "serial number: " + fieldText(info.serialNumber, sizeof info.serialNumber) + "\n";
  out += "user-defined name: " + fieldText(info.userDefinedName, sizeof info.userDefinedName) + "\n";
  return out;
}

std::size_t frameImageBytes(const std::uint8_t* buffer, std::size_t bufferSize, std::uint32_t width,
                            std::uint32_t height, std::string* why) {
  auto fail = [&](const std::string& reason) -> std::size_t {
    if (why) *why = reason;
    return 0;
  };
  if (width == 0 || height == 0) return fail("no frame size");
  if (!buffer || bufferSize < GDEV_FRAME_DATA_OFFSET) return fail("no frame header");
  GDevFrameInfo info;
  std::memcpy(&info, buffer, sizeof info);
  if (info.magic != GDEV_FRAME_INFO_MAGIC) return fail("no frame header");
  const std::size_t room = bufferSize - GDEV_FRAME_DATA_OFFSET;
  const std::size_t expected = static_cast<std::size_t>(width) * height;
  if (info.width != width || info.height != height) {
    return fail("frame of " + std::to_string(info.width) + "x" + std::to_string(info.height) + ", expected " +
                std::to_string(width) + "x" + std::to_string(height));
  }
  // GigE Vision pixel formats carry their bits per pixel in bits 16-23;
  // the host's buffers take 8-bit pixels only.
  if (((info.pixelFormat >> 16) & 0xFFu) != 8) return fail("pixel format is not 8-bit");
  if (info.payloadSize < expected || info.payloadSize > room) {
    return fail("frame of " + std::to_string(info.payloadSize) + " bytes, expected " + std::to_string(expected));
  }
  return info.payloadSize;
}

}  // namespace camera::ktds
