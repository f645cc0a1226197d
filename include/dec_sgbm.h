#pragma once
// Public interface of the SGBM decoder library (libOrvDecSgbm.so).
//
// A host loads the library, calls CreateIDecSgbmInstance, configures the
// object with setParamFromFile and loadCalibration, hands over one image per
// camera (raw with setImages, or already rectified with setRectifiedImages)
// and calls exec, which matches the pair with OpenCV's semi-global block
// matcher and turns the disparity into a point cloud.
//
// Binary contract: the virtual functions below are the interface's slots and
// appear in slot order, the placeholder slots included. Never reorder them and
// never add a virtual destructor (it would take two more slots): the object is
// destroyed through release().
//
// One decoder object per process is supported: working buffers, calibration
// and logger are library-wide. Calls must come from one thread at a time.
#include "zel_image_pair.h"

#include <cstdint>

// With this decoder each ImagePair pointer points to ONE 8-bit image of
// image_width x image_height pixels per camera.
class IDecSgbm {
 public:
  // Slot 0. Frees the parameters, the output arrays and the two rectified
  // image buffers, then the object.
  virtual void release() = 0;
  // Slot 1. Reads the settings file (sections "StereoSGBM" and "SGBMLIB") and
  // recreates the two rectified image buffers (zero-filled, image_width x
  // image_height). A null path gives every default and true; a missing file
  // gives false (the settings are then all zero and there are no buffers). A
  // path without a directory part is taken relative to the current directory.
  virtual bool setParamFromFile(const char* path) = 0;
  // Slot 2. No effect.
  virtual void reserved2() = 0;
  // Slot 3. Returns true.
  virtual bool reserved3() = 0;
  // Slot 4. Sizes the working buffers, takes over the eleven matcher values and
  // "evec_error", and loads the calibration from the directory (camera
  // parameter YAML files for "coord" 0, hmat0.dat, hmat1.dat and rect.param
  // for "coord" 1). Returns true even when the calibration files could not be
  // loaded (exec then reports 0 points); false only without settings, with an
  // empty directory text or an unusable image size.
  virtual bool loadCalibration(const char* directory) = 0;
  // Slot 5. Stores the raw left and right image pointers (not copied, not owned).
  virtual void setImages(const ImagePair& images) = 0;
  // Slot 6. Stores pointers to a left and right image that are already
  // rectified (not copied, not owned).
  virtual void setRectifiedImages(const ImagePair& images) = 0;
  // Slot 7. Decodes and returns the point count N. rectify true: the images of
  // setImages are rectified (the results land in the buffers of slot 9);
  // false: the images of setRectifiedImages are matched as they are (the
  // buffers of slot 9 are not touched). Each non-null out pointer receives one
  // of the object's arrays: points (3N floats x, y, z), colours (3N bytes),
  // pixel indices (N ints, row * width + column in the left rectified image,
  // ascending). The arrays stay valid until the next exec or release. With
  // N = 0 (also on any failure, which is logged) the out pointers are left
  // untouched.
  virtual std::int32_t exec(float** points, std::uint8_t** colors, bool rectify, std::int32_t** pixelIndices) = 0;
  // Slot 8. Configures the library's logger: bit 0 log file at path
  // (emptied), bit 1 standard output, bit 2 debugger channel (syslog).
  virtual void setLog(unsigned flags, const char* path) = 0;
  // Slot 9. The rectified image buffer of camera index (0 left, 1 right),
  // owned by the object; null for another index or before setParamFromFile.
  virtual std::uint8_t* getRectifiedImage(std::int32_t index) = 0;
  // Slot 10. Point count of the last exec.
  virtual std::int32_t getPointCount() = 0;
  // Slot 11. Points of the last exec, or null.
  virtual float* getPoints() = 0;
  // Slot 12. Colours of the last exec, or null.
  virtual std::uint8_t* getColors() = 0;
  // Slots 13 and 14: "image_width" and "image_height" of the settings; 0
  // before setParamFromFile.
  virtual std::int32_t getImageWidth() = 0;
  virtual std::int32_t getImageHeight() = 0;
  // Slot 15. Pixel indices of the last exec, or null.
  virtual std::int32_t* getPixelIndices() = 0;

 protected:
  ~IDecSgbm() = default;
};

// Exported by name. Returns a new decoder (null if allocation fails) and
// replaces the library's logger by a new silent one.
extern "C" __attribute__((visibility("default"))) IDecSgbm* CreateIDecSgbmInstance();
