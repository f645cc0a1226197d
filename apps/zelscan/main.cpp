// zelscan: the host program. Loads the decoders through their factories, as
// any host would, and runs the whole chain on the virtual head.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "apps/zelscan/commands.h"
#include "apps/zelscan/decoder_host.h"

namespace {

// Where the decoders and camera plug-ins are looked for, in order.
void libraryFolders(std::FILE* to) {
  std::fprintf(to,
               "\nDecoders and camera plug-ins are loaded from the first of these folders\n"
               "that holds them, else through the system's library search path:\n");
  for (const std::string& folder : zelscan::hostLibraryFolders()) std::fprintf(to, "  %s\n", folder.c_str());
  std::fprintf(to, "(ZELSCAN_LIB_DIR, when set, names a folder to look in first.)\n");
}

void usage(std::FILE* to) {
  std::fprintf(to,
               "Usage: zelscan COMMAND [OPTIONS]\n"
               "\n"
               "Commands:\n"
               "  demo     render a calibration board set and a scene on the virtual head,\n"
               "           calibrate with calibrix, decode, write PLY clouds and report the\n"
               "           accuracy against the ground truth\n"
               "  decode   decode one image set into a point file\n"
               "  shot     take a 13-pattern image set through a camera plug-in\n"
               "\n"
               "'zelscan COMMAND --help' describes a command; 'zelscan --version' tells the\n"
               "version.\n");
  libraryFolders(to);
}

}  // namespace

static int run(int argc, char** argv) {
  if (argc < 2) {
    usage(stderr);
    return 2;
  }
  if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
    usage(stdout);
    return 0;
  }
  if (!std::strcmp(argv[1], "--version")) {
    std::printf("zelscan %s\n", ZEL_VERSION);
    libraryFolders(stdout);
    return 0;
  }
  if (!std::strcmp(argv[1], "decode")) return zelscan::decodeCommand(argc - 2, argv + 2);
  if (!std::strcmp(argv[1], "demo")) return zelscan::demoCommand(argc - 2, argv + 2);
  if (!std::strcmp(argv[1], "shot")) return zelscan::shotCommand(argc - 2, argv + 2);
  std::fprintf(stderr, "zelscan: unknown command '%s' (try 'zelscan --help')\n", argv[1]);
  return 2;
}

// The program boundary: whatever a library call throws on a hostile input
// (a path too long for the system, a symbolic-link loop, an image beyond
// OpenCV's limits) ends as one line and status 1, never as an abort.
int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zelscan: error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "zelscan: error: an unknown failure\n");
  }
  return 1;
}
