#pragma once
// Projector link over a serial port: raw 9600 baud, 8 data bits, no parity,
// one stop bit. Port n is the device named by the environment variable
// ZELCAM_COM<n>, else /dev/ttyS<n-1>. Writes go out one byte at a time, each
// waited for at most 1 s; a read takes what is queued after the command's
// pause.
#include <string>

#include "camera/common/izpj.h"

namespace camera {

// The device path of serial port n (1 = first port); empty for port 0.
std::string serialDevicePath(unsigned port);

class ZpjCom : public IZpj {
 public:
  static constexpr int kWriteByteTimeoutMs = 1000;
  static constexpr std::size_t kReadMax = 1024;

  explicit ZpjCom(const ZpjWaits& waits = ZpjWaits());
  ~ZpjCom() override;
  ZpjCom(const ZpjCom&) = delete;
  ZpjCom& operator=(const ZpjCom&) = delete;

  bool open(unsigned port) override;
  void close() override;
  bool commandP(unsigned n) override;
  bool commandR() override;
  int diag() override;
  bool setLight(unsigned level) override;
  bool commandZ(unsigned n) override;
  bool commandX(unsigned n) override;

  bool isOpen() const { return fd_ >= 0; }

 private:
  // The text's length once written; 0 when the port is not open or failed.
  std::size_t writeText(const std::string& text);
  // Appends what is queued (at most kReadMax bytes); the number of bytes read.
  std::size_t readQueued(std::string* reply);
  bool writeWaitParse(const std::string& text, int waitMs);

  ZpjWaits waits_;
  int fd_ = -1;
};

}  // namespace camera
