#pragma once
// The uEye-shaped layer: the calls OrvCamuEye makes to the IDS uEye library,
// by ordinal (ordinal_table.h), with the types and codes they take. The layer
// libzel_ueye.so implements them with simulated USB cameras serving the
// virtual head (camera/sdk/simhead); a binding to the vendor's library would
// export the same table. A plug-in includes this header for the types and
// ordinals only and never links the layer.
//
// Every call returns kSuccess (0) or an error code, except
// is_SetHardwareGain with kGetMasterGain, which returns the gain.
#include <cstdint>

namespace ueye {

using Hids = std::uint32_t;  // camera handle = camera id, 1 and up

inline constexpr int kSuccess = 0;
inline constexpr int kNoSuccess = -1;
inline constexpr int kInvalidCameraHandle = 1;
inline constexpr int kCantOpenDevice = 3;
inline constexpr int kInvalidMemoryPointer = 49;
inline constexpr int kInvalidParameter = 125;
inline constexpr int kNotSupported = 155;
inline constexpr int kCaptureRunning = 140;

inline constexpr int kColorMono8 = 6;
inline constexpr int kBinning2x2 = 3;  // vertical (1) and horizontal (2) pairs
inline constexpr int kForceVideoStop = 0x4000;
inline constexpr int kDontWait = 0;
inline constexpr int kTriggerOff = 0;
inline constexpr int kTriggerRisingEdge = 0x1002;
inline constexpr int kTriggerSoftware = 0x1008;
inline constexpr int kGetExternalTrigger = 0x8000;
inline constexpr int kGetMasterGain = 0x8000;
inline constexpr int kIgnoreParameter = -1;
inline constexpr int kFrameEvent = 2;

// is_AOI commands; parameter Size2D.
inline constexpr unsigned kAoiSetSize = 5;
inline constexpr unsigned kAoiGetSize = 6;
// is_PixelClock commands; parameter uint32_t, MHz.
inline constexpr unsigned kPixelClockGet = 5;
inline constexpr unsigned kPixelClockSet = 6;
// is_Exposure commands; parameter double, milliseconds (set: written back
// with the time the camera actually uses).
inline constexpr unsigned kExposureGet = 7;
inline constexpr unsigned kExposureSet = 12;
// is_DeviceFeature commands the plug-in sends at open, parameter uint32_t.
inline constexpr unsigned kFeature8800 = 0x8800;
inline constexpr unsigned kFeature8802 = 0x8802;
inline constexpr unsigned kFeature8804 = 0x8804;

struct Size2D {
  std::int32_t width;
  std::int32_t height;
};

struct CameraInfo {
  char serNo[12];
  char id[20];
  char version[10];
  char date[12];
  std::uint8_t select;  // the camera id
  std::uint8_t type;
  char reserved[8];
};

struct SensorInfo {
  std::uint16_t sensorId;
  char sensorName[32];
  char colorMode;
  std::uint32_t maxWidth;
  std::uint32_t maxHeight;
  std::int32_t masterGain;
  std::int32_t reserved[8];
};

// Ordinals and signatures.
enum Ordinal : unsigned {
  kStopLiveVideo = 3,        // int (Hids, int wait)
  kFreezeVideo = 4,          // int (Hids, int wait)       one frame
  kCaptureVideo = 5,         // int (Hids, int wait)       continuous: one frame per trigger
  kSetColorMode = 17,        // int (Hids, int mode)
  kAllocImageMem = 36,       // int (Hids, int w, int h, int bitsPerPixel, char** mem, int* id)
  kSetImageMem = 37,         // int (Hids, char* mem, int id)
  kFreeImageMem = 38,        // int (Hids, char* mem, int id)
  kGetCaptureState = 40,     // int (Hids, int* values, int count)   values[0]: 1 while a frame is on its way
  kInitEvent = 55,           // int (Hids, int eventFd, int which)   eventfd the layer writes 1 to per event
  kExitEvent = 56,           // int (Hids, int which)     forgets the eventfd
  kEnableEvent = 57,         // int (Hids, int which)
  kDisableEvent = 58,        // int (Hids, int which)
  kSetExternalTrigger = 83,  // int (Hids, int mode)
  kGetSensorInfo = 213,      // int (Hids, SensorInfo*)
  kSetHardwareGain = 215,    // int (Hids, int master, int red, int green, int blue)
  kInitCamera = 237,         // int (Hids* camera, void* window)      *camera: the id to open
  kExitCamera = 239,         // int (Hids)
  kGetCameraInfo = 241,      // int (Hids, CameraInfo*)
  kDeviceFeature = 341,      // int (Hids, unsigned cmd, void* param, unsigned size)
  kSetBinning = 348,         // int (Hids, int mode)
  kAoi = 486,                // int (Hids, unsigned cmd, void* param, unsigned size)
  kExposure = 496,           // int (Hids, unsigned cmd, void* param, unsigned size)
  kPixelClock = 514,         // int (Hids, unsigned cmd, void* param, unsigned size)
  kOrdinalCount = 515,       // one past the highest ordinal
};

using HidsIntFn = int (*)(Hids, int);
using HidsFn = int (*)(Hids);
using AllocImageMemFn = int (*)(Hids, int, int, int, char**, int*);
using ImageMemFn = int (*)(Hids, char*, int);
using GetCaptureStateFn = int (*)(Hids, int*, int);
using InitEventFn = int (*)(Hids, int, int);
using GetSensorInfoFn = int (*)(Hids, SensorInfo*);
using SetHardwareGainFn = int (*)(Hids, int, int, int, int);
using InitCameraFn = int (*)(Hids*, void*);
using GetCameraInfoFn = int (*)(Hids, CameraInfo*);
using CommandFn = int (*)(Hids, unsigned, void*, unsigned);

}  // namespace ueye
