#pragma once
// Camera plug-in boundary. A host loads a plug-in library, calls its factory
// CreateIZelcam3DInstance and drives the stereo head through the returned
// interface. The order of the virtual functions below is the binary contract
// (slot N = the N-th virtual function in declaration order); never reorder.
//
// Two revisions exist: IZelcam3D (25 slots; OrvCamAce, OrvCameBUS, OrvCamuEye,
// OrvCamKtds) and IZelcam3DRev23 (23 slots, without the analog-gain pair;
// OrvCamStGigE, OrvCamStcsb). Operations behave alike in both.
//
// Camera index: 0 = camera-1 (left), 1 = camera-2 (right).
// Trigger mode: 0 = hardware trigger input (rising edge), 1 = software
// trigger issued by capture().
// Projector address: below 256 a serial port number (1 = first port);
// otherwise an IPv4 address with the first octet in the lowest byte
// (a.b.c.d = a + b*2^8 + c*2^16 + d*2^24); TCP port 5073.
// No operation throws.
#include <cstdint>

// Frame callback: camera index, frame index since the last counter reset,
// width, height, the host's destination buffer (width*height bytes, 8-bit
// monochrome, rows packed). Runs on a plug-in thread, concurrently for the two
// cameras; return quickly. The result is ignored.
typedef int (*ZelcamFrameCallback)(int camera, std::uint32_t frameIndex, std::int32_t width, std::int32_t height,
                                   unsigned char* buffer);

// Image size, returned by value: width then height.
struct ZelcamImageSize {
  std::int32_t width;
  std::int32_t height;
};

class IZelcam3D {
 public:
  // Slot 0. Configures the logger: flags bit 0 = append to the file at path
  // (emptied now), bit 1 = standard output, bit 2 = syslog; 0 = silent.
  virtual void setLog(unsigned flags, const char* path) = 0;
  // Slot 1. Closes the cameras, stops the plug-in's threads, closes the projector.
  virtual ~IZelcam3D() = default;
  // Slot 2. Opens every camera not yet open; returns the mask of open cameras
  // (bit 0 camera-1, bit 1 camera-2). format/option are back-end specific.
  virtual unsigned open(int format, int option) = 0;
  // Slot 3. Closes both cameras (each only if open).
  virtual void close() = 0;
  // Slot 4. Size of the first open camera; (0, 0) when none is open.
  virtual ZelcamImageSize getImageSize() = 0;
  // Slot 5. Starts one exposure of both cameras; true only when both took part.
  virtual bool capture() = 0;
  // Slot 6. Projector "p<n>"; false without a projector.
  virtual bool projectorCommandP(int n) = 0;
  // Slots 7-9. Camera settings in back-end units; failure values per back-end.
  virtual int getExposure(int camera) = 0;
  virtual int getGain(int camera) = 0;
  virtual int getAnalogGain(int camera) = 0;
  // Slots 10-12. True on success.
  virtual bool setExposure(int camera, int value) = 0;
  virtual bool setGain(int camera, int value) = 0;
  virtual bool setAnalogGain(int camera, int value) = 0;
  // Slot 13. Trigger mode of camera-1 (-1 before it was first set).
  virtual int getTriggerMode() = 0;
  // Slot 14. Applies the mode to both cameras; true only when both succeeded.
  virtual bool setTriggerMode(int mode) = 0;
  // Slot 15. Registers the callback and the host-owned destination buffer of
  // a camera; returns the camera index (-1 for an index other than 0 or 1).
  virtual int setCallback(int camera, ZelcamFrameCallback callback, unsigned char* buffer) = 0;
  // Slot 16. Creates and opens the projector link; false when it cannot be
  // opened. An earlier projector is closed first.
  virtual bool openProjector(unsigned address) = 0;
  // Slot 17. Closes and forgets the projector.
  virtual void closeProjector() = 0;
  // Slots 18-22. Projector commands; false (projectorDiag: -1) without a projector.
  virtual bool projectorCommandR() = 0;
  virtual int projectorDiag() = 0;
  virtual bool projectorSetLight(unsigned level) = 0;
  virtual bool projectorCommandZ(int n) = 0;
  virtual bool projectorCommandX(int n) = 0;
  // Slot 23. Sets both frame counters to 0.
  virtual void resetFrameCount() = 0;
  // Slot 24. The camera's frame counter (0 for an index other than 0 or 1).
  virtual std::uint32_t getFrameCount(int camera) = 0;
};

// The earlier 23-slot revision: as IZelcam3D without getAnalogGain and
// setAnalogGain.
class IZelcam3DRev23 {
 public:
  virtual void setLog(unsigned flags, const char* path) = 0;                                     // 0
  virtual ~IZelcam3DRev23() = default;                                                           // 1
  virtual unsigned open(int format, int option) = 0;                                             // 2
  virtual void close() = 0;                                                                      // 3
  virtual ZelcamImageSize getImageSize() = 0;                                                    // 4
  virtual bool capture() = 0;                                                                    // 5
  virtual bool projectorCommandP(int n) = 0;                                                     // 6
  virtual int getExposure(int camera) = 0;                                                       // 7
  virtual int getGain(int camera) = 0;                                                           // 8
  virtual bool setExposure(int camera, int value) = 0;                                           // 9
  virtual bool setGain(int camera, int value) = 0;                                               // 10
  virtual int getTriggerMode() = 0;                                                              // 11
  virtual bool setTriggerMode(int mode) = 0;                                                     // 12
  virtual int setCallback(int camera, ZelcamFrameCallback callback, unsigned char* buffer) = 0;  // 13
  virtual bool openProjector(unsigned address) = 0;                                              // 14
  virtual void closeProjector() = 0;                                                             // 15
  virtual bool projectorCommandR() = 0;                                                          // 16
  virtual int projectorDiag() = 0;                                                               // 17
  virtual bool projectorSetLight(unsigned level) = 0;                                            // 18
  virtual bool projectorCommandZ(int n) = 0;                                                     // 19
  virtual bool projectorCommandX(int n) = 0;                                                     // 20
  virtual void resetFrameCount() = 0;                                                            // 21
  virtual std::uint32_t getFrameCount(int camera) = 0;                                           // 22
};

#ifndef ZELCAM_EXPORT
#define ZELCAM_EXPORT __attribute__((visibility("default")))
#endif

// Factory types for hosts that load a plug-in with dlopen/dlsym("CreateIZelcam3DInstance").
typedef IZelcam3D* (*CreateIZelcam3DInstanceFn)();
typedef IZelcam3DRev23* (*CreateIZelcam3DRev23InstanceFn)();

// The factory each plug-in exports: a new instance, or null when it cannot be
// allocated. The host destroys it with delete. One instance per process.
// A plug-in of the 23-slot revision (or a host linking one) defines
// ZELCAM3D_REVISION_23 before including this header.
#ifdef ZELCAM3D_REVISION_23
extern "C" ZELCAM_EXPORT IZelcam3DRev23* CreateIZelcam3DInstance();
#else
extern "C" ZELCAM_EXPORT IZelcam3D* CreateIZelcam3DInstance();
#endif
