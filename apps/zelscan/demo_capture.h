#pragma once
// The demo's shot through a camera plug-in: `zelsim serve` plays the head on
// loopback inside a private user + network namespace (Aravis discovers the
// cameras by broadcast, which must never leave the machine), and
// `zelscan shot --camera ace` takes the 13 patterns through libOrvCamAce.so
// exactly as a host would.
#include <string>

namespace zelscan {

struct DemoCapture {
  bool captured = false;     // shotDir holds the whole set
  bool unavailable = false;  // no user namespace (or no unshare/ip) here: not a failure
  std::string reason;        // why not captured, one line
  double shotSeconds = 0;    // the 13-pattern shot alone
};

// Serves the images of renderedDir (what `zelsim render` wrote) and shoots
// them into shotDir; logs and the namespace script go into workDir. zelsim
// and zelscan are the programs beside this one.
DemoCapture captureDemoShot(const std::string& renderedDir, const std::string& shotDir, const std::string& workDir);

}  // namespace zelscan
