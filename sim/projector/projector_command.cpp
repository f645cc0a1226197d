#include "sim/projector/projector_command.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/projector/virtual_projector.h"

namespace sim {

const char* projectorHelp() {
  return "usage: zelsim projector [--tcp ADDR:PORT] [--pty] [--state NAME] [--step MS]\n"
         "\n"
         "Serves the projector protocol of the virtual head until interrupted.\n"
         "  --tcp ADDR:PORT  listen there (default 127.0.0.1:5073; port 0 picks a free one)\n"
         "  --pty            also serve on a pseudo-terminal (the serial variant); its path\n"
         "                   is printed, give it to the plug-in as ZELCAM_COM<n>=PATH\n"
         "  --state NAME     publish the pattern and light level in shared memory /NAME\n"
         "  --step MS        time each pattern of a \"z\" sequence is shown (default 100)\n"
         "\n"
         "Commands end with CR; replies are lines ended by CR LF:\n"
         "  p<n>      show pattern n of the 13-pattern set (0 black, 1 white,\n"
         "            2-8 Gray-code bits, 9-12 fringes)        -> :OK  (:ERR if n > 12)\n"
         "  r         stop a running sequence, show pattern 0  -> no reply\n"
         "  z<n>      show patterns 0..n-1 one per step, a line \"seq <k>\" after each,\n"
         "            then                                     -> :OK  (:ERR unless 1 <= n <= 13)\n"
         "  x<n>      echo                                     -> <n>, :OK\n"
         "  iRRGGBB   light level per channel, hexadecimal     -> :OK  (:ERR if malformed)\n"
         "  d         diagnostic                               -> diag, then\n"
         "            //diag.rgb: rr.gg.bb (the light level; over TCP after a pause)\n"
         "  other     -> :ERR\n"
         "Showing a pattern fires the hardware trigger of the virtual cameras.\n";
}

namespace {

bool parseTcp(const std::string& text, std::string* address, int* port) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  char* end = nullptr;
  long p = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || p < 0 || p > 65535) return false;
  *address = text.substr(0, colon);
  *port = static_cast<int>(p);
  return true;
}

}  // namespace

int runProjectorCommand(int argc, char** argv) {
  ProjectorOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "zelsim projector: %s needs a value\n", what);
        return nullptr;
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(projectorHelp(), stdout);
      return 0;
    } else if (arg == "--tcp") {
      const char* v = value("--tcp");
      if (!v) return 2;
      if (!parseTcp(v, &options.tcpAddress, &options.tcpPort)) {
        std::fprintf(stderr, "zelsim projector: --tcp wants ADDR:PORT, not %s\n", v);
        return 2;
      }
    } else if (arg == "--pty") {
      options.pty = true;
    } else if (arg == "--state") {
      const char* v = value("--state");
      if (!v) return 2;
      options.stateName = v;
    } else if (arg == "--step") {
      const char* v = value("--step");
      if (!v) return 2;
      options.sequenceStepMs = std::atoi(v);
      if (options.sequenceStepMs < 0) options.sequenceStepMs = 0;
    } else {
      std::fprintf(stderr, "zelsim projector: unknown option %s\n\n%s", arg.c_str(), projectorHelp());
      return 2;
    }
  }

  // Block the stop signals before the serving thread starts, so that only
  // sigwait below receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);

  VirtualProjector projector;
  std::string error;
  if (!projector.start(options, &error)) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    std::fprintf(stderr, "zelsim projector: %s\n", error.c_str());
    return 1;
  }
  std::printf("projector: tcp %s:%d\n", options.tcpAddress.c_str(), projector.tcpPort());
  if (options.pty) std::printf("projector: pty %s\n", projector.ptyPath().c_str());
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stopSignals, &sig);
  projector.stop();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return 0;
}

}  // namespace sim
