// shoot: takes one 13-pattern shot through a camera plug-in and writes it as
// the image set decode_to_ply reads (cam0_00.pgm..cam0_12.pgm, cam1_...).
//
//   shoot PLUGIN OUTDIR PROJECTOR
//
// PLUGIN is a plug-in of the 25-slot interface (libOrvCamAce.so,
// libOrvCameBUS.so, libOrvCamuEye.so, ...): a file name is looked for in
// $ZELCAM_LIBRARY_DIR, else in the folder the CMake package named when this
// program was built; a path is taken as it is. PROJECTOR is the projector's
// IPv4 address (TCP port 5073). For each pattern the projector shows it
// ("p<n>") and capture() triggers both cameras; their frames arrive through
// the callback on the plug-in's threads.
#include <dlfcn.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <zelcam/zelcam3d.h>

namespace {

constexpr int kPatterns = 13;

// What the callback fills: one image per camera and pattern. The callback
// runs on the plug-in's threads (both cameras at once), so it only copies
// and signals.
struct Shot {
  std::mutex mutex;
  std::condition_variable arrived;
  int width = 0, height = 0;
  int pattern = -1;  // the pattern being shot; -1: frames are not wanted
  std::vector<std::uint8_t> images[2];
  bool done[2][kPatterns] = {};
  unsigned char* buffers[2] = {};
} shot;

int onFrame(int camera, std::uint32_t /*frameIndex*/, std::int32_t width, std::int32_t height, unsigned char* buffer) {
  std::lock_guard<std::mutex> lock(shot.mutex);
  if (camera < 0 || camera > 1 || shot.pattern < 0 || width != shot.width || height != shot.height) return 0;
  const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  std::memcpy(shot.images[camera].data() + static_cast<std::size_t>(shot.pattern) * size, buffer, size);
  shot.done[camera][shot.pattern] = true;
  shot.arrived.notify_all();
  return 0;
}

// "a.b.c.d" as the interface takes it: the first octet in the lowest byte.
bool parseIpv4(const char* text, unsigned* address) {
  unsigned a, b, c, d;
  char end;
  if (std::sscanf(text, "%u.%u.%u.%u%c", &a, &b, &c, &d, &end) != 4 || a > 255 || b > 255 || c > 255 || d > 255)
    return false;
  *address = a | b << 8 | c << 16 | d << 24;
  return *address >= 256;  // below 256 the interface means a serial port
}

bool writePgm(const std::string& path, int width, int height, const std::uint8_t* pixels) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::fprintf(f, "P5\n%d %d\n255\n", width, height);
  std::fwrite(pixels, 1, static_cast<std::size_t>(width) * static_cast<std::size_t>(height), f);
  const bool ok = std::ferror(f) == 0;
  return std::fclose(f) == 0 && ok;
}

int takeShot(IZelcam3D* cam, const std::string& outDir, unsigned projector) {
  if (cam->open(0, 0) != 3) {
    std::fprintf(stderr, "shoot: the two cameras did not open\n");
    return 1;
  }
  const ZelcamImageSize size = cam->getImageSize();
  if (size.width <= 0 || size.height <= 0 || size.width > 16384 || size.height > 16384) {
    std::fprintf(stderr, "shoot: the cameras report %d x %d pixels\n", size.width, size.height);
    return 1;
  }
  const std::size_t frame = static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height);
  {
    std::lock_guard<std::mutex> lock(shot.mutex);
    shot.width = size.width;
    shot.height = size.height;
  }
  for (int c = 0; c < 2; ++c) {
    shot.images[c].assign(kPatterns * frame, 0);
    // The host owns the buffer the plug-in writes each frame into.
    shot.buffers[c] = new unsigned char[frame];
    cam->setCallback(c, &onFrame, shot.buffers[c]);
  }
  if (!cam->setTriggerMode(1)) {  // 1: software trigger, capture() fires
    std::fprintf(stderr, "shoot: the cameras refused software trigger\n");
    return 1;
  }
  if (!cam->openProjector(projector)) {
    std::fprintf(stderr, "shoot: cannot open the projector\n");
    return 1;
  }
  for (int p = 0; p < kPatterns; ++p) {
    {
      std::lock_guard<std::mutex> lock(shot.mutex);
      shot.pattern = p;
    }
    if (!cam->projectorCommandP(p) || !cam->capture()) {
      std::fprintf(stderr, "shoot: pattern %d could not be shown and captured\n", p);
      return 1;
    }
    std::unique_lock<std::mutex> lock(shot.mutex);
    if (!shot.arrived.wait_for(lock, std::chrono::seconds(5), [p] { return shot.done[0][p] && shot.done[1][p]; })) {
      std::fprintf(stderr, "shoot: no frames for pattern %d within 5 s\n", p);
      return 1;
    }
    shot.pattern = -1;
  }
  ::mkdir(outDir.c_str(), 0777);
  for (int c = 0; c < 2; ++c) {
    for (int p = 0; p < kPatterns; ++p) {
      char name[32];
      std::snprintf(name, sizeof name, "/cam%d_%02d.pgm", c, p);
      if (!writePgm(outDir + name, size.width, size.height, shot.images[c].data() + p * frame)) {
        std::fprintf(stderr, "shoot: cannot write %s%s\n", outDir.c_str(), name);
        return 1;
      }
    }
  }
  std::printf("shoot: %d x %d, 26 images -> %s\n", size.width, size.height, outDir.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned projector = 0;
  if (argc != 4 || !parseIpv4(argv[3], &projector)) {
    std::fprintf(stderr, "usage: shoot PLUGIN OUTDIR PROJECTOR-IPV4\n");
    return 2;
  }
  std::string library = argv[1];
  if (library.find('/') == std::string::npos) {
    const char* dir = std::getenv("ZELCAM_LIBRARY_DIR");
    library = std::string(dir && *dir ? dir : ZELCAM_LIBRARY_DIR) + "/" + library;
  }
  void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    std::fprintf(stderr, "shoot: %s\n", ::dlerror());
    return 1;
  }
  auto create = reinterpret_cast<CreateIZelcam3DInstanceFn>(::dlsym(handle, "CreateIZelcam3DInstance"));
  IZelcam3D* cam = create ? create() : nullptr;
  if (!cam) {
    std::fprintf(stderr, "shoot: %s gives no camera instance\n", library.c_str());
    return 1;
  }
  cam->setLog(0, nullptr);  // silent; setLog(1, "shoot.log") would log to a file
  const int status = takeShot(cam, argv[2], projector);
  // Deleting the instance closes the cameras and the projector and stops the
  // plug-in's threads; only then may the buffers and the library go.
  delete cam;
  for (unsigned char* buffer : shot.buffers) delete[] buffer;
  ::dlclose(handle);
  return status;
}
