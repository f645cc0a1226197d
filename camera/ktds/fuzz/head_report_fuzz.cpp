// Feeds arbitrary bytes to what the stereo head's plug-in reads from the
// device: a discovery record's texts and a filled stream buffer's header.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "camera/ktds/head_report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  DeviceInfo info;
  std::memset(&info, 0, sizeof info);
  std::memcpy(&info, data, size < sizeof info ? size : sizeof info);
  const std::string text = camera::ktds::discoveryRecordText(info);
  for (char c : text) {
    if (c != '\n' && (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)) __builtin_trap();
  }
  // The buffer as Gevlink hands it; the size asked for comes from the
  // header's own width and height, the worst case for the check.
  if (size >= sizeof(GDevFrameInfo)) {
    GDevFrameInfo header;
    std::memcpy(&header, data, sizeof header);
    std::string why;
    const std::size_t bytes = camera::ktds::frameImageBytes(data, size, header.width, header.height, &why);
    if (bytes > 0 &&
        (bytes > size - GDEV_FRAME_DATA_OFFSET || bytes < static_cast<std::size_t>(header.width) * header.height))
      __builtin_trap();
    if (bytes == 0 && why.empty()) __builtin_trap();
  }
  std::uint32_t status = 0, code = 0;
  if (size >= 8) {
    std::memcpy(&status, data, 4);
    std::memcpy(&code, data + 4, 4);
  }
  GDevErrInfo err{code, status};
  if (camera::ktds::gevlinkErrorReport("GDevOpen", status, err).size() > 511) __builtin_trap();
  return 0;
}
