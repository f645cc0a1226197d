#pragma once
// Aravis as the SDK layers use it: its life in the process (counted; Aravis
// is shut down once, after every object is gone), finding a GigE Vision
// device by its user-defined name without touching the others, and stream
// set-up with the receive buffer and socket kind that keep whole frames.
#include <arv.h>

#include <cstdint>
#include <memory>
#include <string>

namespace camera::sdk {

// One use of Aravis; arv_shutdown runs when the last use is released.
void aravisAcquire();
void aravisRelease();

// Owns one GObject reference.
struct GObjectUnref {
  void operator()(void* object) const {
    if (object) g_object_unref(object);
  }
};
template <class T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

// The message of a GError, which is freed; "unknown error" for null.
std::string takeErrorMessage(GError* error);

// Where a device answers: its address and the local address that reaches it.
struct GigeLocation {
  std::string deviceAddress;     // "a.b.c.d"
  std::string interfaceAddress;  // the local address packets to it leave from
};

// Discovers GigE Vision devices (arv_update_device_list: Aravis otherwise
// reads a numeric name such as "11" as an IP address) and reads each one's
// user-defined name register with a plain READMEM, so no device is opened or
// controlled just to learn its name. False with *error when no device
// carries the name.
bool findGigeDeviceByUserName(const std::string& userName, GigeLocation* location, std::string* error);

// The user-defined name of the device at address ("a.b.c.d"), read through
// its bootstrap register; false with *error when it does not answer.
bool readGigeUserName(const std::string& deviceAddress, std::string* userName, std::string* error);

// Opens (takes control of) the device at a location, with range and access
// checks of features enabled and no automatic packet-size change (the
// stream is sized from the packet size the camera holds when it is created).
ArvDevice* openGigeDevice(const GigeLocation& location, std::string* error);

// Transport settings, from the environment:
//   ZELCAM_GIGE_PACKET_SOCKET=0     receive on a plain UDP socket instead of
//                                   a packet socket (the default where allowed)
//   ZELCAM_GIGE_SOCKET_BUFFER=BYTES receive buffer (default 8 MiB; the plain
//                                   UDP path loses whole frames with the
//                                   system's default)
struct StreamSettings {
  bool packetSocket = true;
  int socketBufferBytes = 8 << 20;
};
StreamSettings streamSettingsFromEnvironment();

// Creates the device's stream with those settings; null with *error. The
// packet size must be set before: the stream fixes it at creation.
ArvStream* createGigeStream(ArvDevice* device, const StreamSettings& settings, std::string* error);

}  // namespace camera::sdk
