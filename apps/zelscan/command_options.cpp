#include "apps/zelscan/command_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace zelscan {

CommandOptions::CommandOptions(const char* command, int argc, char** argv)
    : command_(command), argc_(argc), argv_(argv) {}

bool CommandOptions::next() {
  if (index_ + 1 >= argc_) return false;
  option_ = argv_[++index_];
  return true;
}

bool CommandOptions::value(std::string& into) {
  if (index_ + 1 >= argc_ || looksLikeOption(argv_[index_ + 1])) {
    std::fprintf(stderr, "zelscan %s: %s needs a value\n", command_, option_.c_str());
    return false;
  }
  into = argv_[++index_];
  return true;
}

bool CommandOptions::list(std::vector<std::string>& into, const char* what) {
  while (index_ + 1 < argc_ && !looksLikeOption(argv_[index_ + 1])) into.push_back(argv_[++index_]);
  if (into.empty()) {
    std::fprintf(stderr, "zelscan %s: %s needs at least one %s\n", command_, option_.c_str(), what);
    return false;
  }
  return true;
}

bool CommandOptions::number(long& into, long low, long high, const char* expected) {
  std::string text;
  if (!value(text)) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  // An empty text, trailing characters or a number beyond long are all "not
  // a number"; the range check then keeps the caller's limits.
  if (text.empty() || *end || errno == ERANGE || v < low || v > high) {
    std::fprintf(stderr, "zelscan %s: %s takes %s (got '%s')\n", command_, option_.c_str(), expected, text.c_str());
    return false;
  }
  into = v;
  return true;
}

int CommandOptions::unknown() const {
  std::fprintf(stderr, "zelscan %s: unknown option '%s' (try 'zelscan %s --help')\n", command_, option_.c_str(),
               command_);
  return 2;
}

}  // namespace zelscan
