// zelsim serve: the live virtual head. Renders (or takes from the cache) the
// scene's images, serves the virtual projector and the GigE Vision devices
// of one kind, publishes the current images, and applies faults from the
// command line and a control file until SIGINT or SIGTERM.
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/head/fault_control.h"
#include "sim/head/live_head.h"
#include "sim/projector/virtual_projector.h"
#include "sim/zelsim/commands.h"

namespace zelsim {
namespace {

const char* serveHelp() {
  return "usage: zelsim serve (--scene demo|plane|reference | --scene-file FILE.yaml | --images DIR)\n"
         "                    --head cameras|stereo [options]\n"
         "\n"
         "Serves a live virtual head until interrupted: the projector (TCP and optionally a\n"
         "pseudo-terminal) and GigE Vision devices whose frames are the rendered images of\n"
         "the pattern the projector shows.\n"
         "\n"
         "Images\n"
         "  --size WxH         camera image size (default 1280x1024; the rig is scaled)\n"
         "  --supersample N    sub-samples per pixel side (default: the scene's, 3)\n"
         "  --noise 0|1        sensor noise (default: the scene's, on)   --seed S  (default 1)\n"
         "  --cache DIR        render cache (default $XDG_CACHE_HOME/zelsim, else ~/.cache/zelsim);\n"
         "                     the key covers the scene (file contents included), the rig, the\n"
         "                     render settings and this program, so a cached set is never stale\n"
         "  --no-cache         render, store nothing\n"
         "  --images DIR       serve what `zelsim render` wrote into DIR (camC_KK.pgm, texture_camC.pgm)\n"
         "                     instead of rendering\n"
         "  The 13 patterns are 0 black, 1 white, 2-8 Gray-code bits, 9-12 fringes. Until the\n"
         "  projector shows a pattern the cameras send the textured image.\n"
         "  Exposure model: grey = rendered x (exposure / 10000) x (gain / 100), rounded,\n"
         "  saturated at 255 (the head also x 2^analog gain); the defaults send the rendered\n"
         "  images byte for byte.\n"
         "\n"
         "Devices (GVCP on UDP 3956 of each address; Aravis and the plug-ins discover them)\n"
         "  --head cameras     two cameras, each its own device (plain GenICam XML). Features:\n"
         "                     Width, Height, PixelFormat (Mono8; Mono16 refused), PayloadSize,\n"
         "                     ExposureTimeRaw (us), GainRaw (percent), TriggerSelector (FrameStart,\n"
         "                     AcquisitionStart), TriggerMode, TriggerSource (Software, Line1,\n"
         "                     Hardware), TriggerActivation (RisingEdge), AcquisitionMode\n"
         "                     (Continuous), AcquisitionStart/Stop, TriggerSoftware, TLParamsLocked,\n"
         "                     DeviceUserID, GevSCPSPacketSize, GevSCPD, GevTimestampTickFrequency,\n"
         "                     GevTimestampControlReset. Trigger mode Off: free-running. Source\n"
         "                     Software: one frame per TriggerSoftware. Line1 or Hardware: one frame\n"
         "                     per pattern the projector shows.\n"
         "  --head stereo      one device, both images side by side (zipped GenICam XML):\n"
         "                     head registers 0x00101004 exposure, 0x00101008 analog gain (0-3),\n"
         "                     0x0010100C gain, 0x00101010 trigger (0 continuous after\n"
         "                     AcquisitionStart, 1 one frame per pattern shown), 0x00101014\n"
         "                     transfer mode, 0x00101100 pixel clock delay, 0x00101110 firmware,\n"
         "                     0x00100020 stream start; Width x Height as set (2560 x 1024 sends\n"
         "                     full-size halves, 1280 x 480 each image resized to 640 x 480).\n"
         "                     Projector channel 0x00300004: a write carries one character in the\n"
         "                     low 16 bits and its complement in the high 16 (others refused and\n"
         "                     counted); reads return the reply one character at a time, 0 when\n"
         "                     none. Texts (end with CR): o<n> shows pattern n; i answers one\n"
         "                     character, the brightness; iRRGGBB sets the light; z<n> shows\n"
         "                     patterns 0..n-1 one per step; x<n> does nothing. No other answers.\n"
         "  --address A        device address, once per device (default 127.0.0.2 and 127.0.0.3)\n"
         "  --name N           user-defined name, once per device (default 11 and 12: the ace\n"
         "                     plug-in; use 1 and 2 for the eBUS plug-ins; the head: \"head\")\n"
         "  --gvcp-port P      GVCP port (default 3956)\n"
         "  --fps F            free-running frame rate (default 30; 0 = as fast as the link)\n"
         "\n"
         "Projector (protocol: zelsim projector --help)\n"
         "  --tcp ADDR:PORT    listen there (default 127.0.0.1:5073)\n"
         "  --pty              also on a pseudo-terminal (its path is printed)\n"
         "  --state NAME       mirror the projector state in shared memory /NAME\n"
         "  --step MS          time each pattern of a z sequence is shown (default 100)\n"
         "  Showing a pattern (p, z; o and z through the head's channel) changes what the\n"
         "  cameras send and, in hardware trigger, fires them.\n"
         "\n"
         "Current images for the simulated USB cameras\n"
         "  --publish NAME     shared memory /NAME (default zelsim-head; layout in\n"
         "                     sim/head/published_images.h: header with sequence, width, height,\n"
         "                     pattern, trigger counter, then the left and the right image)\n"
         "  --no-publish\n"
         "\n"
         "Faults (every device; the control file can name one)\n"
         "  --loss F           fraction of stream packets not sent (packet resend recovers them)\n"
         "  --ack-delay MS     every GVCP acknowledge this late\n"
         "  --incomplete F     fraction of frames whose lost packets are gone for good\n"
         "  --vanish I         device I (from 0) answers nothing and streams nothing\n"
         "  --control FILE     re-read whenever it changes and on SIGHUP; lines such as\n"
         "                       loss 0.02 | ack-delay 50 | incomplete 0.1 | vanish 1 | device 1 vanish 0\n"
         "                     (a setting not given keeps the command line's value)\n"
         "  --quiet            print only errors\n"
         "\n"
         "Exit status: 0 after SIGINT/SIGTERM, 2 on a usage error, 1 when serving cannot start.\n";
}

bool parseDouble(const char* text, double lo, double hi, double& out) {
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(v >= lo && v <= hi)) return false;
  out = v;
  return true;
}

bool parseSize(const std::string& text, int& w, int& h) {
  size_t x = text.find('x');
  if (x == std::string::npos) return false;
  double a, b;
  if (!parseDouble(text.substr(0, x).c_str(), 16, 8192, a) || !parseDouble(text.substr(x + 1).c_str(), 16, 8192, b))
    return false;
  w = static_cast<int>(a);
  h = static_cast<int>(b);
  return w == a && h == b;
}

bool parseTcp(const std::string& text, std::string& address, int& port) {
  size_t colon = text.rfind(':');
  double p;
  if (colon == std::string::npos || colon == 0 || !parseDouble(text.substr(colon + 1).c_str(), 0, 65535, p) ||
      p != static_cast<int>(p))
    return false;
  address = text.substr(0, colon);
  port = static_cast<int>(p);
  return true;
}

struct ControlFile {
  std::string path;
  struct timespec mtime {};
  off_t size = -1;
  bool seen = false;

  // True when the file changed since the last look (or force).
  bool changed(bool force) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      bool was = seen;
      seen = false;
      return was || force;
    }
    bool differs =
        !seen || st.st_mtim.tv_sec != mtime.tv_sec || st.st_mtim.tv_nsec != mtime.tv_nsec || st.st_size != size;
    seen = true;
    mtime = st.st_mtim;
    size = st.st_size;
    return differs || force;
  }
};

}  // namespace

int serveCommand(int argc, char** argv) {
  sim::head::SceneImageOptions imageOptions;
  sim::head::LiveHeadOptions headOptions;
  headOptions.freeRunFps = 30;
  headOptions.publishName = "zelsim-head";
  sim::ProjectorOptions projectorOptions;
  std::string headKind, controlPath, imagesDir;
  int vanish = -1;
  bool quiet = false;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "zelsim serve: %s needs a value\n", a.c_str());
        return nullptr;
      }
      return argv[++i];
    };
    auto bad = [&](const char* v) {
      std::fprintf(stderr, "zelsim serve: bad value '%s' for %s\n", v, a.c_str());
      return 2;
    };
    const char* v = nullptr;
    double d = 0;
    if (a == "--help" || a == "-h") {
      std::fputs(serveHelp(), stdout);
      return 0;
    } else if (a == "--quiet") {
      quiet = true;
    } else if (a == "--no-cache") {
      imageOptions.useCache = false;
    } else if (a == "--pty") {
      projectorOptions.pty = true;
    } else if (a == "--no-publish") {
      headOptions.publishName.clear();
    } else if (a == "--scene" || a == "--scene-file" || a == "--head" || a == "--cache" || a == "--address" ||
               a == "--name" || a == "--state" || a == "--publish" || a == "--control" || a == "--images") {
      if (!(v = value())) return 2;
      if (a == "--scene")
        imageOptions.sceneName = v;
      else if (a == "--scene-file")
        imageOptions.sceneFile = v;
      else if (a == "--head")
        headKind = v;
      else if (a == "--cache")
        imageOptions.cacheDir = v;
      else if (a == "--address")
        headOptions.addresses.push_back(v);
      else if (a == "--name")
        headOptions.names.push_back(v);
      else if (a == "--state")
        projectorOptions.stateName = v;
      else if (a == "--publish")
        headOptions.publishName = v;
      else if (a == "--images")
        imagesDir = v;
      else
        controlPath = v;
    } else if (a == "--size") {
      if (!(v = value())) return 2;
      if (!parseSize(v, imageOptions.width, imageOptions.height)) return bad(v);
    } else if (a == "--tcp") {
      if (!(v = value())) return 2;
      if (!parseTcp(v, projectorOptions.tcpAddress, projectorOptions.tcpPort)) return bad(v);
    } else if (a == "--supersample" || a == "--noise" || a == "--seed" || a == "--gvcp-port" || a == "--fps" ||
               a == "--step" || a == "--loss" || a == "--ack-delay" || a == "--incomplete" || a == "--vanish") {
      if (!(v = value())) return 2;
      const bool fraction = a == "--loss" || a == "--incomplete";
      const double hi = fraction               ? 1
                        : a == "--noise"       ? 1
                        : a == "--supersample" ? 16
                        : a == "--gvcp-port"   ? 65535
                        : a == "--fps"         ? 1000
                        : a == "--vanish"      ? 1
                        : a == "--seed"        ? 1e15
                                               : 10000;
      const double lo = a == "--supersample" || a == "--gvcp-port" ? 1 : 0;
      if (!parseDouble(v, lo, hi, d) || (!fraction && a != "--fps" && d != static_cast<long long>(d))) return bad(v);
      if (a == "--supersample")
        imageOptions.supersample = static_cast<int>(d);
      else if (a == "--noise")
        imageOptions.noise = static_cast<int>(d);
      else if (a == "--seed")
        imageOptions.seed = static_cast<uint64_t>(d);
      else if (a == "--gvcp-port")
        headOptions.gvcpPort = static_cast<uint16_t>(d);
      else if (a == "--fps")
        headOptions.freeRunFps = d;
      else if (a == "--step")
        projectorOptions.sequenceStepMs = headOptions.sequenceStepMs = static_cast<int>(d);
      else if (a == "--loss")
        headOptions.faults.packetLoss = d;
      else if (a == "--ack-delay")
        headOptions.faults.ackDelayMs = static_cast<int>(d);
      else if (a == "--incomplete")
        headOptions.faults.incompleteFrames = d;
      else
        vanish = static_cast<int>(d);
    } else {
      std::fprintf(stderr, "zelsim serve: unknown argument '%s'\n\n%s", a.c_str(), serveHelp());
      return 2;
    }
  }
  if (int(!imageOptions.sceneName.empty()) + int(!imageOptions.sceneFile.empty()) + int(!imagesDir.empty()) != 1) {
    std::fprintf(stderr, "zelsim serve: give exactly one of --scene, --scene-file and --images\n");
    return 2;
  }
  if (headKind == "cameras") {
    headOptions.kind = sim::head::HeadKind::Cameras;
  } else if (headKind == "stereo") {
    headOptions.kind = sim::head::HeadKind::Stereo;
  } else {
    std::fprintf(stderr, "zelsim serve: --head wants cameras or stereo\n");
    return 2;
  }
  const size_t deviceCount = headOptions.kind == sim::head::HeadKind::Cameras ? 2 : 1;
  if (vanish >= static_cast<int>(deviceCount)) {
    std::fprintf(stderr, "zelsim serve: --vanish wants a device index below %zu\n", deviceCount);
    return 2;
  }

  imageOptions.progress = !quiet;
  sim::head::SceneImages images;
  std::string error;
  bool fromCache = false;
  const bool loaded = imagesDir.empty() ? sim::head::loadSceneImages(imageOptions, images, &error, &fromCache)
                                        : sim::head::loadRenderedImages(imagesDir, images, &error);
  if (!loaded) {
    std::fprintf(stderr, "zelsim serve: %s\n", error.c_str());
    return 1;
  }
  if (!quiet)
    std::printf("images: %dx%d %s\n", images.width, images.height,
                !imagesDir.empty() ? "from the folder"
                : fromCache        ? "from the cache"
                                   : "rendered");

  // Block the stop and reload signals before any thread starts, so that only
  // sigtimedwait below receives them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &signals, &previous);

  sim::VirtualProjector projector;
  sim::head::LiveHead head(images, projector.state());
  std::vector<sim::gige::DeviceFaults> faults(deviceCount, headOptions.faults);
  if (vanish >= 0) faults[static_cast<size_t>(vanish)].vanished = true;
  int status = 0;
  if (!projector.start(projectorOptions, &error)) {
    std::fprintf(stderr, "zelsim serve: projector: %s\n", error.c_str());
    status = 1;
  } else if (!head.start(headOptions, &error)) {
    std::fprintf(stderr, "zelsim serve: %s\n", error.c_str());
    status = 1;
  }
  if (status == 0) {
    for (size_t i = 0; i < deviceCount; ++i) head.setFaults(static_cast<int>(i), faults[i]);
    if (!quiet) {
      std::printf("projector: tcp %s:%d\n", projectorOptions.tcpAddress.c_str(), projector.tcpPort());
      if (projectorOptions.pty) std::printf("projector: pty %s\n", projector.ptyPath().c_str());
      for (size_t i = 0; i < deviceCount; ++i) {
        const sim::gige::DeviceConfig& c = head.device(i).config();
        std::printf("device %zu: %s name %s\n", i, c.address.c_str(), c.identity.userName.c_str());
      }
      if (!headOptions.publishName.empty()) std::printf("images: shared memory /%s\n", headOptions.publishName.c_str());
      std::printf("ready\n");
    }
    std::fflush(stdout);

    ControlFile control{controlPath};
    bool force = false;
    for (;;) {
      if (!controlPath.empty() && control.changed(force)) {
        std::vector<sim::gige::DeviceFaults> now(deviceCount, headOptions.faults);
        if (vanish >= 0) now[static_cast<size_t>(vanish)].vanished = true;
        std::ifstream in(controlPath, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (text.size() > 65536) {
          std::fprintf(stderr, "zelsim serve: %s: larger than 64 KiB, ignored\n", controlPath.c_str());
        } else if (!sim::head::parseFaultControl(text, now, &error)) {
          std::fprintf(stderr, "zelsim serve: %s: %s (faults unchanged)\n", controlPath.c_str(), error.c_str());
        } else {
          for (size_t i = 0; i < deviceCount; ++i) head.setFaults(static_cast<int>(i), now[i]);
          if (!quiet) std::printf("faults: %s applied\n", controlPath.c_str());
          std::fflush(stdout);
        }
      }
      force = false;
      struct timespec tick {
        0, 200 * 1000 * 1000
      };
      int sig = sigtimedwait(&signals, nullptr, &tick);
      if (sig == SIGHUP) {
        force = true;
      } else if (sig == SIGINT || sig == SIGTERM) {
        break;
      }
    }
  }
  // The projector first: no pattern may fire into a head being taken down.
  projector.stop();
  head.stop();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return status;
}

}  // namespace zelsim
