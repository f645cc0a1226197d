#include "sim/head/fault_control.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace sim::head {
namespace {

bool parseNumber(const std::string& text, double lo, double hi, double& out) {
  if (text.empty() || text.size() > 32) return false;
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v) || v < lo || v > hi) return false;
  out = v;
  return true;
}

}  // namespace

bool parseFaultControl(const std::string& text, std::vector<sim::gige::DeviceFaults>& faults, std::string* error) {
  std::vector<sim::gige::DeviceFaults> result = faults;
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  auto fail = [&](const std::string& why) {
    if (error) *error = "line " + std::to_string(lineNo) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    ++lineNo;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::vector<std::string> w;
    std::string word;
    while (words >> word && w.size() < 5) w.push_back(word);
    if (w.empty()) continue;
    int device = -1;
    size_t at = 0;
    if (w[0] == "device") {
      double d;
      if (w.size() < 2 || !parseNumber(w[1], 0, static_cast<double>(result.size()) - 1, d) || d != std::floor(d))
        return fail("'device' wants an index from 0 to " + std::to_string(result.size() - 1));
      device = static_cast<int>(d);
      at = 2;
    }
    if (w.size() != at + 2) return fail("expected a name and one value");
    const std::string& key = w[at];
    const std::string& value = w[at + 1];
    double v = 0;
    bool ok;
    if (key == "loss" || key == "incomplete") {
      ok = parseNumber(value, 0, 1, v);
    } else if (key == "ack-delay") {
      ok = parseNumber(value, 0, 10000, v) && v == std::floor(v);
    } else if (key == "vanish") {
      ok = value == "0" || value == "1";
      v = value == "1" ? 1 : 0;
    } else {
      return fail("unknown setting '" + key + "' (loss, ack-delay, incomplete, vanish)");
    }
    if (!ok) return fail("bad value '" + value + "' for " + key);
    for (size_t i = 0; i < result.size(); ++i) {
      if (device >= 0 && static_cast<size_t>(device) != i) continue;
      sim::gige::DeviceFaults& f = result[i];
      if (key == "loss")
        f.packetLoss = v;
      else if (key == "incomplete")
        f.incompleteFrames = v;
      else if (key == "ack-delay")
        f.ackDelayMs = static_cast<int>(v);
      else
        f.vanished = v != 0;
    }
  }
  faults = std::move(result);
  return true;
}

}  // namespace sim::head
