#include "sim/projector/projector_protocol.h"

namespace sim {

std::optional<std::string> CommandSplitter::next(bool* overflow) {
  *overflow = false;
  std::size_t cr = pending_.find('\r');
  if (cr == std::string::npos) {
    if (pending_.size() > kMaxCommand) {
      pending_.clear();
      *overflow = true;
    }
    return std::nullopt;
  }
  std::string line;
  for (std::size_t i = 0; i < cr; ++i) {
    if (pending_[i] != '\n') line += pending_[i];
  }
  pending_.erase(0, cr + 1);
  return line;
}

}  // namespace sim
