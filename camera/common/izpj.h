#pragma once
// The projector controller link: one-letter text commands ended by "\r",
// answered by text lines. Two transports: ZpjSock (TCP port 5073) and ZpjCom
// (serial port, 9600 8N1). A link object is used from one thread; only
// close() may come from another thread (ZpjSock ends a waiting receive).
#include <memory>
#include <string_view>

namespace camera {

// Pauses between sending a command and reading its reply, in milliseconds.
// The defaults are the controller's; tests against the virtual projector
// shorten them.
struct ZpjWaits {
  int commandP = 800;
  int diagFirst = 500;   // TCP: before the first (discarded) receive; serial: before the read
  int diagSecond = 500;  // TCP: before the second receive
  int setLightSock = 500;
  int setLightCom = 100;
  int commandZ = 2000;
  int commandXSock = 1000;
  int commandXCom = 2000;
  // TCP diag: the longest silence waited for each answer before giving -1.
  // A bound, not a wait: scaled() keeps it.
  int diagSilenceMax = 3000;

  // Every wait multiplied by factor (for tests).
  ZpjWaits scaled(double factor) const;
};

class IZpj {
 public:
  virtual ~IZpj() = default;
  // Opens the link: a serial port number or an IPv4 address (first octet in
  // the lowest byte). True when the link is established.
  virtual bool open(unsigned address) = 0;
  virtual void close() = 0;
  // "p<n>": true when the reply acknowledges (TCP) or the text was written (serial).
  virtual bool commandP(unsigned n) = 0;
  // "r": true when sent; no reply is read.
  virtual bool commandR() = 0;
  // "d": the third diagnostic value, 0 when the reply holds no diagnostic
  // line, -1 on failure.
  virtual int diag() = 0;
  // "iRRGGBB" with level (0-255) in all three channels; true on ":OK".
  virtual bool setLight(unsigned level) = 0;
  // "z<n>": true on ":OK".
  virtual bool commandZ(unsigned n) = 0;
  // "x<n>": true on ":OK".
  virtual bool commandX(unsigned n) = 0;
};

// Prints the reply's lines up to the acknowledgement as "ZPJ>" lines on
// standard output, as both transports do; true when a line held ":OK".
bool echoReply(std::string_view reply);

// Creates the link object for an address: serial below 256, TCP otherwise
// (not opened). Null when it cannot be allocated.
std::unique_ptr<IZpj> createProjector(unsigned address, const ZpjWaits& waits = ZpjWaits());

}  // namespace camera
