#pragma once
// Public interface of the phase-shift decoder library (libOrvDecPhsft.so).
//
// A host loads the library, calls CreateIDecPhsftInstance, configures the
// object with setParamFromFile and loadCalibration, hands over two image sets
// with setImages and calls exec, which turns them into a point cloud.
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

// The decoder's input (ImagePair): two runs of 8-bit images of image_width x
// image_height pixels stored back to back (image k starts at byte k * width *
// height, rows top to bottom), first the left camera's, then the right
// camera's. The 13 images per camera are: 0 black, 1 white, 2..8 Gray-code
// planes (most significant bit first), 9..12 four fringe images a quarter
// period apart. The decoder only reads them; the host owns them.

class IDecPhsft {
 public:
  // Slot 0. Frees the parameters and the output arrays, then the object.
  virtual void release() = 0;
  // Slot 1. Reads the settings file (sections "PhaseShift" and "PSLIB"). A null
  // path gives every default and true; a missing file gives false. A path
  // without a directory part is taken relative to the current directory.
  // Keys: "nimage", "image_width", "image_height", "coord" (PhaseShift);
  // "Q_evec", "search_div", "bw_diff", "brightness", "darkness", "step_diff",
  // "max_step", "max_ph_diff", "max_tex_diff", "max_parallax", "min_parallax",
  // "right_dup_cnt", "ls_points", "evec_error" and "match_mode" (PSLIB).
  // "match_mode" 0 (default) matches each left pixel with the right pixel of
  // nearest phase, each right pixel serving "right_dup_cnt" left pixels.
  // "match_mode" 1 is measurement matching: the partner is the position on
  // the continuous right phase (no use counters, "right_dup_cnt" and
  // "max_ph_diff" unused, "ls_points" + 1 right pixels fit the phase); a pixel
  // hidden from the right camera, a pixel mixing two surfaces at a depth edge
  // or shadow border and small islands give no point. Its extra mask codes:
  // 211 occluded (a nearer surface holds the right position), 212 part of a
  // region under 50 pixels, 213 claims a right position where the left
  // camera sees a farther surface continue; 209 also marks a pixel that
  // differs by more than "max_step" from every accepted neighbour along the
  // row or the column, lies beside a depth edge on its far side, or is not
  // part of three joined pixels along the row. Other values are refused by
  // loadCalibration.
  virtual bool setParamFromFile(const char* path) = 0;
  // Slot 2. No effect.
  virtual void reserved2() = 0;
  // Slot 3. Returns true.
  virtual bool reserved3() = 0;
  // Slot 4. Allocates the working buffers for the configured image size, takes
  // over the matching thresholds and loads the calibration from the directory
  // (camera parameter YAML files for "coord" 0, hmat0.dat, hmat1.dat and
  // rect.param for "coord" 1). False on any failure; exec then returns 0 until
  // a later loadCalibration succeeds.
  virtual bool loadCalibration(const char* directory) = 0;
  // Slot 5. Stores the two image-set pointers (not copied, not owned).
  virtual void setImages(const ImagePair& images) = 0;
  // Slot 6. Returns 0.
  virtual int reserved6() = 0;
  // Slot 7. No effect.
  virtual void reserved7() = 0;
  // Slot 8. Decodes the current image sets and returns the point count N.
  // Each non-null out pointer receives one of the object's arrays: points
  // (3N floats x, y, z), colours (3N bytes), pixel indices (N ints, row *
  // width + column in the left rectified image, ascending). The arrays stay
  // valid until the next exec or release. With N = 0 (or on failure) the out
  // pointers are left untouched. The flag is ignored.
  virtual std::int32_t exec(float** points, std::uint8_t** colors, bool flag, std::int32_t** pixelIndices) = 0;
  // Slot 9. Configures the library's logger: bit 0 log file at path
  // (emptied), bit 1 standard output, bit 2 debugger channel (syslog).
  virtual void setLog(unsigned flags, const char* path) = 0;
  // Slot 10. Returns 0.
  virtual int reserved10() = 0;
  // Slot 11. Point count of the last exec.
  virtual std::int32_t getPointCount() = 0;
  // Slot 12. Points of the last exec, or null.
  virtual float* getPoints() = 0;
  // Slot 13. Colours of the last exec, or null.
  virtual std::uint8_t* getColors() = 0;
  // Slots 14 to 16: "image_width", "image_height", "nimage" of the settings;
  // 0 before setParamFromFile.
  virtual std::int32_t getImageWidth() = 0;
  virtual std::int32_t getImageHeight() = 0;
  virtual std::int32_t getImageCount() = 0;
  // Slot 17. Stores a caller pointer; the decoder never uses it.
  virtual void setUserPointer(void* pointer) = 0;
  // Slot 18. Pixel indices of the last exec, or null.
  virtual std::int32_t* getPixelIndices() = 0;

 protected:
  ~IDecPhsft() = default;
};

// Exported by name. Returns a new decoder (null if allocation fails) and
// replaces the library's logger by a new silent one.
extern "C" __attribute__((visibility("default"))) IDecPhsft* CreateIDecPhsftInstance();
