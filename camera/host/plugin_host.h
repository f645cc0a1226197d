#pragma once
// What a host program needs to drive any camera plug-in through its exported
// factory: the known plug-ins and their interface revisions, one face over
// both revisions (25 slots, or the 23-slot one of OrvCamStGigE and
// OrvCamStcsb), and the projector address text. Shared by zelscan and the
// Python binding; a host includes only include/ and this.
#include <cstdint>
#include <memory>
#include <string>

#include "zelcam3d.h"

namespace camera::host {

struct KnownPlugin {
  const char* name;         // ace, stgige, ebus, stcsb, ueye, ktds
  const char* deliverable;  // OrvCamAce, ...: the library is lib<deliverable>.so
  int revision;             // 25 or 23
};

// The plug-in with this short name or deliverable name; null for none.
const KnownPlugin* findPlugin(const std::string& name);
// The revision of a plug-in library given by path: that of the deliverable
// its name holds, else 25.
int revisionOfLibrary(const std::string& path);

// True for a plug-in that reaches the projector through its camera head
// (OrvCamKtds, by short name, deliverable name or a library path holding
// it): it takes projector commands without a projector address of its own.
bool projectorInHead(const std::string& nameOrPath);

// The wait between a pattern command and capture that a shot takes unless
// told otherwise (ms): a head that streams all the time (its projector
// inside) may have begun the frame capture() takes before the pattern
// changed; with the projector firing the cameras (hardware trigger), or a
// camera that exposes on capture, there is nothing to wait for.
int defaultSettleMs(bool headProjector, bool hardTrigger);

// Every operation of the 25-slot interface. On a 23-slot plug-in the
// analog-gain pair does nothing (get gives 0, set succeeds), as on its own
// plug-ins.
class PluginApi {
 public:
  virtual ~PluginApi() = default;
  virtual void setLog(unsigned flags, const char* path) = 0;
  virtual unsigned open(int format, int option) = 0;
  virtual void close() = 0;
  virtual ZelcamImageSize getImageSize() = 0;
  virtual bool capture() = 0;
  virtual bool projectorCommandP(int n) = 0;
  virtual int getExposure(int camera) = 0;
  virtual int getGain(int camera) = 0;
  virtual int getAnalogGain(int camera) = 0;
  virtual bool setExposure(int camera, int value) = 0;
  virtual bool setGain(int camera, int value) = 0;
  virtual bool setAnalogGain(int camera, int value) = 0;
  virtual int getTriggerMode() = 0;
  virtual bool setTriggerMode(int mode) = 0;
  virtual int setCallback(int camera, ZelcamFrameCallback callback, unsigned char* buffer) = 0;
  virtual bool openProjector(unsigned address) = 0;
  virtual void closeProjector() = 0;
  virtual bool projectorCommandR() = 0;
  virtual int projectorDiag() = 0;
  virtual bool projectorSetLight(unsigned level) = 0;
  virtual bool projectorCommandZ(int n) = 0;
  virtual bool projectorCommandX(int n) = 0;
  virtual void resetFrameCount() = 0;
  virtual std::uint32_t getFrameCount(int camera) = 0;
};

// Calls the factory (the library's CreateIZelcam3DInstance) of the given
// revision. The result destroys the instance (the plug-in's tear-down:
// cameras, threads, projector) and then, when closeLibrary is given, closes
// the library its code lives in. Null when the factory returns no instance.
std::unique_ptr<PluginApi> createPlugin(void* factory, int revision, void* closeLibrary = nullptr);

// Parses a projector address: "COMn" (serial port n, 1..255) or an IPv4
// address "a.b.c.d" (first octet in the lowest byte). An IPv4 address whose
// value is below 256 would read as a serial port and is refused. False with
// *error when the text is neither.
bool parseProjectorAddress(const std::string& text, unsigned* address, std::string* error);

}  // namespace camera::host
