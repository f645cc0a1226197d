#pragma once
// The StTrgAPI-shaped layer: the calls OrvCamStcsb makes to the Sentech
// trigger-camera library, by ordinal (ordinal_table.h), with the types they
// take. The layer libzel_sttrg.so implements them with simulated USB cameras
// that serve the virtual head (camera/sdk/simhead); a binding to the vendor's
// library would export the same table. A plug-in includes this header for
// the types and ordinals only and never links the layer.
//
// Every call but StTrg_Open returns 1 on success and 0 on failure, leaving a
// system error code for the calling thread (ordinal 0).
#include <cstdint>

namespace sttrg {

using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// Callbacks run on the camera's own thread, one at a time per camera.
using ExposureEndFn = void (*)(Handle camera, void* context);
// image: width * height bytes, 8 bits per pixel, rows packed; valid during the call.
using TransferEndFn = void (*)(Handle camera, const std::uint8_t* image, std::uint32_t bytes, std::uint32_t width,
                               std::uint32_t height, void* context);
using RcvErrorFn = void (*)(Handle camera, std::uint32_t errorCode, void* context);

// Receive errors reported through RcvErrorFn.
inline constexpr std::uint32_t kRcvExposureEndData = 0xE0000001;
inline constexpr std::uint32_t kRcvImageData = 0xE0000002;
inline constexpr std::uint32_t kRcvTimeoutST2EE = 0xE0000003;
inline constexpr std::uint32_t kRcvTimeoutTE2EE = 0xE0000004;
inline constexpr std::uint32_t kRcvTimeoutEE2TE = 0xE0000005;
inline constexpr std::uint32_t kRcvTimeoutRO2TE = 0xE0000006;
inline constexpr std::uint32_t kRcvForbiddenDuringTransfer = 0xE0000100;

// System error codes the layer leaves (Windows values, which the vendor's
// library would leave through GetLastError).
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorNotReady = 21;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorBusy = 170;
inline constexpr std::uint32_t kErrorNoMoreItems = 259;
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;

// Trigger selector, modes and sources of the calls below.
inline constexpr std::uint32_t kSelectorFrameStart = 0;
inline constexpr std::uint32_t kSourceSoftware = 1;
inline constexpr std::uint32_t kSourceHardware = 2;

// Ordinals and signatures.
enum Ordinal : unsigned {
  kOpen = 1,                    // Handle ()                   next camera not yet open; kInvalidHandle when none
  kClose = 2,                   // int (Handle)
  kStartTransfer = 3,           // int (Handle)
  kStopTransfer = 4,            // int (Handle)
  kSetExposureEndCallback = 5,  // int (Handle, ExposureEndFn, void* context)
  kSetTransferEndCallback = 6,  // int (Handle, TransferEndFn, void* context)
  kSetRcvErrorCallback = 7,     // int (Handle, RcvErrorFn, void* context)
  kGetGain = 8,                 // int (Handle, uint16_t* gain)
  kSetGain = 9,                 // int (Handle, uint16_t gain)
  kGetScanMode = 10,           // int (Handle, uint16_t* mode, uint32_t* offX, uint32_t* offY, uint32_t* w, uint32_t* h)
  kSetScanMode = 11,           // int (Handle, uint16_t mode, uint32_t offX, uint32_t offY)   mode 0: the whole sensor
  kGetExposureClock = 15,      // int (Handle, uint32_t* clock)
  kSetExposureClock = 16,      // int (Handle, uint32_t clock)
  kReadCameraUserID = 27,      // int (Handle, uint32_t* id, char* text, uint32_t textSize)
  kClearBuffer = 34,           // int (Handle)                 drops frames triggered but not yet transferred
  kSetIOPinMode = 43,          // int (Handle, uint32_t mode)
  kSetIOPinPolarity = 45,      // int (Handle, uint32_t polarity)
  kSetIOPinDirection = 49,     // int (Handle, uint32_t pins, uint32_t direction)
  kGetMaxExposureClock = 103,  // int (Handle, uint32_t* clock)
  kGetMaxGain = 105,           // int (Handle, uint16_t* gain)
  kSetClock = 106,             // int (Handle, uint32_t mode)   0: the sensor's normal clock
  kGetExposureClockFromTime = 136,  // int (Handle, float seconds, uint32_t* clock)
  kGetExposureTimeFromClock = 137,  // int (Handle, uint32_t clock, float* seconds)
  kSetTriggerMode2 = 210,           // int (Handle, uint32_t selector, uint32_t on)
  kSetExposureMode = 212,           // int (Handle, uint32_t mode)   1: exposure by the clock
  kSetTriggerSource = 214,          // int (Handle, uint32_t selector, uint32_t source)
  kSoftwareTrigger = 216,           // int (Handle, uint32_t selector)
  kSetTimeOut = 233,                // int (Handle, uint32_t kind, uint32_t value)
  kOrdinalCount = 234,              // one past the highest ordinal
};

using OpenFn = Handle (*)();
using HandleFn = int (*)(Handle);
using SetExposureEndCallbackFn = int (*)(Handle, ExposureEndFn, void*);
using SetTransferEndCallbackFn = int (*)(Handle, TransferEndFn, void*);
using SetRcvErrorCallbackFn = int (*)(Handle, RcvErrorFn, void*);
using GetGainFn = int (*)(Handle, std::uint16_t*);
using SetGainFn = int (*)(Handle, std::uint16_t);
using GetScanModeFn = int (*)(Handle, std::uint16_t*, std::uint32_t*, std::uint32_t*, std::uint32_t*, std::uint32_t*);
using SetScanModeFn = int (*)(Handle, std::uint16_t, std::uint32_t, std::uint32_t);
using GetU32Fn = int (*)(Handle, std::uint32_t*);
using SetU32Fn = int (*)(Handle, std::uint32_t);
using SetU32U32Fn = int (*)(Handle, std::uint32_t, std::uint32_t);
using ReadCameraUserIDFn = int (*)(Handle, std::uint32_t*, char*, std::uint32_t);
using ClockFromTimeFn = int (*)(Handle, float, std::uint32_t*);
using TimeFromClockFn = int (*)(Handle, std::uint32_t, float*);

}  // namespace sttrg

// Controls of the simulated cameras for tests (not part of the table; a
// vendor binding has none). Exported by libzel_sttrg.so.
extern "C" {
// Reports code through the receive-error callback of the open camera with
// that user ID, on its own thread. 1 when such a camera is transferring.
__attribute__((visibility("default"))) int zel_sttrg_sim_inject_rcv_error(std::uint32_t userId, std::uint32_t code);
}
