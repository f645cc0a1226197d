// decode_to_ply: decodes one 13-pattern image set with the phase-shift
// decoder and writes the point cloud as a binary PLY file.
//
//   decode_to_ply IMAGES CALIB OUT.ply [SETTINGS.ini]
//
// IMAGES holds cam0_00.pgm..cam0_12.pgm (left camera) and cam1_00.pgm..
// cam1_12.pgm (right camera): 0 black, 1 white, 2..8 Gray-code planes,
// 9..12 fringes, 8-bit binary PGM. CALIB is the calibration folder
// (cam0_param.yaml, cam1_param.yaml, ...). Without SETTINGS the decoder's
// built-in settings apply.
//
// The decoder library is opened at run time through its factory, as every
// host does: from $ZELCAM_LIBRARY_DIR, else from the folder the CMake package
// named when this program was built.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <zelcam/dec_phsft.h>

namespace {

// Reads an 8-bit binary PGM ("P5") of exactly width x height pixels and
// appends its pixels to `images`.
bool appendPgm(const std::string& path, int width, int height, std::vector<std::uint8_t>& images) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int w = 0, h = 0, maxValue = 0;
  in >> magic;
  // Header fields are separated by white space; a '#' starts a comment line.
  auto field = [&in](int& value) {
    in >> std::ws;
    while (in.peek() == '#') {
      std::string comment;
      std::getline(in, comment);
      in >> std::ws;
    }
    in >> value;
  };
  field(w);
  field(h);
  field(maxValue);
  in.get();  // the single white-space byte before the pixels
  if (!in || magic != "P5" || w != width || h != height || maxValue != 255) {
    std::fprintf(stderr, "decode_to_ply: %s is not an 8-bit %d x %d PGM\n", path.c_str(), width, height);
    return false;
  }
  const std::size_t offset = images.size();
  images.resize(offset + static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  in.read(reinterpret_cast<char*>(images.data() + offset), static_cast<std::streamsize>(images.size() - offset));
  if (in.gcount() != static_cast<std::streamsize>(images.size() - offset)) {
    std::fprintf(stderr, "decode_to_ply: %s is cut short\n", path.c_str());
    images.resize(offset);
    return false;
  }
  return true;
}

// Binary little-endian PLY: x, y, z as float, red, green, blue as uchar. The
// file is written under a temporary name and renamed only when complete.
bool writePly(const std::string& path, std::int32_t count, const float* points, const std::uint8_t* colours) {
  const std::string partial = path + ".partial";
  std::FILE* f = std::fopen(partial.c_str(), "wb");
  if (!f) return false;
  std::fprintf(f,
               "ply\nformat binary_little_endian 1.0\nelement vertex %d\n"
               "property float x\nproperty float y\nproperty float z\n"
               "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n",
               count);
  for (std::int32_t i = 0; i < count; ++i) {
    std::fwrite(points + 3 * i, sizeof(float), 3, f);  // x86 and ARM are little-endian
    std::fwrite(colours + 3 * i, 1, 3, f);
  }
  const bool ok = std::ferror(f) == 0;
  if (std::fclose(f) != 0 || !ok || std::rename(partial.c_str(), path.c_str()) != 0) {
    std::remove(partial.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: decode_to_ply IMAGES CALIB OUT.ply [SETTINGS.ini]\n");
    return 2;
  }
  const std::string imageDir = argv[1], calibDir = argv[2], out = argv[3];
  const char* settings = argc == 5 ? argv[4] : nullptr;

  // 1. Open the library and find its factory.
  const char* dir = std::getenv("ZELCAM_LIBRARY_DIR");
  const std::string library = std::string(dir && *dir ? dir : ZELCAM_LIBRARY_DIR) + "/libOrvDecPhsft.so";
  void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    std::fprintf(stderr, "decode_to_ply: %s\n", ::dlerror());
    return 1;
  }
  using Factory = IDecPhsft* (*)();
  auto create = reinterpret_cast<Factory>(::dlsym(handle, "CreateIDecPhsftInstance"));
  IDecPhsft* decoder = create ? create() : nullptr;
  if (!decoder) {
    std::fprintf(stderr, "decode_to_ply: %s gives no decoder\n", library.c_str());
    return 1;
  }

  // 2. Settings, then the calibration (which needs the settings' image size).
  int status = 1;
  if (!decoder->setParamFromFile(settings)) {
    std::fprintf(stderr, "decode_to_ply: cannot read the settings %s\n", settings);
  } else if (!decoder->loadCalibration(calibDir.c_str())) {
    std::fprintf(stderr, "decode_to_ply: cannot load the calibration from %s\n", calibDir.c_str());
  } else {
    // 3. The images: all of the left camera's, then all of the right's.
    const int width = decoder->getImageWidth(), height = decoder->getImageHeight();
    const int count = decoder->getImageCount();
    std::vector<std::uint8_t> left, right;
    bool read = true;
    for (int camera = 0; camera < 2 && read; ++camera) {
      for (int k = 0; k < count && read; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "/cam%d_%02d.pgm", camera, k);
        read = appendPgm(imageDir + name, width, height, camera == 0 ? left : right);
      }
    }
    if (read) {
      // 4. Decode. The arrays belong to the decoder and stay valid until the
      //    next exec or release.
      decoder->setImages(ImagePair{left.data(), right.data()});
      float* points = nullptr;
      std::uint8_t* colours = nullptr;
      std::int32_t* pixels = nullptr;
      const std::int32_t n = decoder->exec(&points, &colours, false, &pixels);
      if (n <= 0) {
        std::fprintf(stderr, "decode_to_ply: no points\n");
      } else if (!writePly(out, n, points, colours)) {
        std::fprintf(stderr, "decode_to_ply: cannot write %s\n", out.c_str());
      } else {
        std::printf("decode_to_ply: %d points -> %s\n", n, out.c_str());
        status = 0;
      }
    }
  }

  // 5. The object goes through release() (the interface has no destructor),
  //    and the library after it.
  decoder->release();
  ::dlclose(handle);
  return status;
}
