#include "apps/zelscan/demo_capture.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "apps/zelscan/subprocess.h"

namespace zelscan {
namespace fs = std::filesystem;
namespace {

// Runs as "unshare -rn /bin/sh capture.sh ZELSIM ZELSCAN IMAGES SHOT WORK":
// inside the namespace only loopback exists, so the head's devices
// (127.0.0.2, 127.0.0.3) and the projector (127.0.0.1:5073) are private to
// this run, and so is every discovery broadcast.
constexpr const char* kCaptureScript = R"(#!/bin/sh
# Written by zelscan demo: one shot through libOrvCamAce.so from zelsim serve,
# inside a private user + network namespace (run with unshare -rn).
zelsim="$1"; zelscan="$2"; images="$3"; shot="$4"; work="$5"
echo "capture: private network namespace"
PATH="$PATH:/usr/sbin:/sbin"
ip link set lo up || exit 10
"$zelsim" serve --images "$images" --head cameras --no-publish > "$work/zelsim_serve.log" 2>&1 &
serve=$!
trap 'kill $serve 2>/dev/null; wait $serve 2>/dev/null' EXIT
i=0
until grep -q '^ready' "$work/zelsim_serve.log"; do
  kill -0 $serve 2>/dev/null || { echo "capture: zelsim serve ended"; exit 11; }
  i=$((i + 1))
  [ $i -gt 600 ] && { echo "capture: zelsim serve not ready after 60 s"; exit 12; }
  sleep 0.1
done
start=$(date +%s%N)
"$zelscan" shot --camera ace --projector 127.0.0.1 --trigger soft --out "$shot" --log "$work/camace.log" || exit 13
end=$(date +%s%N)
echo "capture: shot $(( (end - start) / 1000000 )) ms"
)";

std::string findInPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(std::string(path ? path : "") + ":/usr/bin:/bin:/usr/sbin:/sbin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    const std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

DemoCapture captureDemoShot(const std::string& renderedDir, const std::string& shotDir, const std::string& workDir) {
  DemoCapture result;
  const std::string unshare = findInPath("unshare");
  if (unshare.empty() || findInPath("ip").empty()) {
    result.unavailable = true;
    result.reason = "unshare or ip (util-linux, iproute2) not installed";
    return result;
  }
  const std::string script = workDir + "/capture.sh";
  const std::string log = workDir + "/capture.log";
  {
    std::ofstream out(script, std::ios::trunc);
    out << kCaptureScript;
    if (!out.flush()) {
      result.reason = "cannot write " + script;
      return result;
    }
  }
  const std::string bin = executableDir();
  std::error_code ec;
  fs::remove_all(shotDir, ec);  // a set from an earlier run must not pass for this one
  ProcessResult r = runProcess(
      unshare, {unshare, "-rn", "/bin/sh", script, bin + "/zelsim", bin + "/zelscan", renderedDir, shotDir, workDir},
      "", log);
  const std::string text = readFile(log);
  if (!r.started) {
    result.reason = "cannot run " + unshare + ": " + r.error;
    return result;
  }
  if (text.find("capture: private network namespace") == std::string::npos) {
    // unshare itself failed: this machine (or container) gives no user
    // namespace to an unprivileged process.
    result.unavailable = true;
    std::string line = text.substr(0, text.find('\n'));
    result.reason = "no private network namespace here (" + (line.empty() ? std::string("unshare failed") : line) + ")";
    return result;
  }
  if (r.exitStatus != 0) {
    result.reason = "the shot failed (status " + std::to_string(r.exitStatus) + "): " + tailOfFile(log, 3);
    return result;
  }
  const std::size_t at = text.find("capture: shot ");
  if (at != std::string::npos) result.shotSeconds = std::atof(text.c_str() + at + 14) / 1000.0;
  result.captured = true;
  return result;
}

}  // namespace zelscan
