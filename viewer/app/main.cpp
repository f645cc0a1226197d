// nubiview [--screenshot OUT.png [--frames N]] [--script FILE] [POINTFILE]
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "viewer/app/viewer_app.h"

namespace {

std::string executablePath(const char* argv0) {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) return std::string(buf, static_cast<std::size_t>(n));
  return argv0;
}

int usage() {
  std::fprintf(stderr, "usage: nubiview [--screenshot OUT.png [--frames N]] [--script FILE] [POINTFILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  nubiview::AppOptions o;
  o.exePath = executablePath(argv[0]);
  std::string rest;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--screenshot" && i + 1 < argc) {
      o.screenshot = argv[++i];
    } else if (a == "--frames" && i + 1 < argc) {
      o.frames = std::atoi(argv[++i]);
      if (o.frames < 1) return usage();
    } else if (a == "--script" && i + 1 < argc) {
      o.script = argv[++i];
    } else if (a == "--help" || a == "-h") {
      usage();
      return 0;
    } else {
      // The rest of the command line is one path, blanks included.
      if (!rest.empty()) rest += ' ';
      rest += a;
    }
  }
  if (!rest.empty() && rest[0] == '"') rest = rest.substr(1, rest.size() >= 2 ? rest.size() - 2 : 0);
  o.path = rest;
  // The program boundary: an exception from a library (a path the system
  // refuses, memory running out) ends as one line and status 1, not an abort.
  try {
    return nubiview::RunViewer(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nubiview: error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "nubiview: error: an unknown failure\n");
  }
  return 1;
}
