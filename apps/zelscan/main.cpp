// zelscan: the host program. Loads the decoders through their factories, as
// any host would, and runs the whole chain on the virtual head.
#include <cstdio>
#include <cstring>

#include "apps/zelscan/commands.h"

namespace {

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
               "'zelscan COMMAND --help' describes a command.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    usage(stderr);
    return 2;
  }
  if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
    usage(stdout);
    return 0;
  }
  if (!std::strcmp(argv[1], "decode")) return zelscan::decodeCommand(argc - 2, argv + 2);
  if (!std::strcmp(argv[1], "demo")) return zelscan::demoCommand(argc - 2, argv + 2);
  if (!std::strcmp(argv[1], "shot")) return zelscan::shotCommand(argc - 2, argv + 2);
  std::fprintf(stderr, "zelscan: unknown command '%s' (try 'zelscan --help')\n", argv[1]);
  return 2;
}
