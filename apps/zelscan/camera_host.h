#pragma once
// Loads a camera plug-in through its exported factory, exactly as a host
// does, and drives it through either interface revision (25 slots, or the
// 23-slot one of OrvCamStGigE and OrvCamStcsb) behind one face.
#include <cstdint>
#include <memory>
#include <string>

#include "zelcam3d.h"

namespace zelscan {

class CameraHost {
 public:
  virtual ~CameraHost() = default;

  // name: ace, stgige, ebus, stcsb, ueye, ktds (libOrvCam<...>.so found as the
  // decoders are), or a path to a plug-in library (anything with a '/').
  // revision: 25, 23, or 0 to take it from the name (23 for stgige, stcsb and
  // library files named after them). Null with *error on failure.
  static std::unique_ptr<CameraHost> load(const std::string& name, int revision, std::string* error);

  virtual void setLog(unsigned flags, const char* path) = 0;
  virtual unsigned open(int format, int option) = 0;
  virtual void close() = 0;
  virtual ZelcamImageSize getImageSize() = 0;
  virtual bool capture() = 0;
  virtual bool projectorCommandP(int n) = 0;
  virtual bool setExposure(int camera, int value) = 0;
  virtual bool setGain(int camera, int value) = 0;
  virtual bool setTriggerMode(int mode) = 0;
  virtual int setCallback(int camera, ZelcamFrameCallback callback, unsigned char* buffer) = 0;
  virtual bool openProjector(unsigned address) = 0;
  virtual void closeProjector() = 0;
  virtual void resetFrameCount() = 0;
};

// Parses a projector address: "COMn" (serial port n, 1..255) or an IPv4
// address "a.b.c.d" (first octet in the lowest byte). An IPv4 address whose
// value is below 256 would read as a serial port and is refused. False with
// *error when the text is neither.
bool parseProjectorAddress(const std::string& text, unsigned* address, std::string* error);

}  // namespace zelscan
