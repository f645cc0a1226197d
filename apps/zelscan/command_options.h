#pragma once
// The option walk zelscan's subcommands share: "--name value" pairs, lists of
// values, whole numbers within a range, and the messages for a missing value
// or an unknown option, all prefixed with "zelscan COMMAND:". A value never
// starts with "--", so "--out --poses 5" is a missing value, not a folder
// named "--poses".
#include <string>
#include <vector>

namespace zelscan {

class CommandOptions {
 public:
  // command names the subcommand in messages ("decode", "demo").
  CommandOptions(const char* command, int argc, char** argv);

  // Steps to the next argument; false after the last one.
  bool next();
  // The argument stepped to.
  const std::string& option() const { return option_; }
  bool is(const char* name) const { return option_ == name; }
  // "--help" or "-h".
  bool isHelp() const { return option_ == "--help" || option_ == "-h"; }

  // Takes the argument after the option into `into`; false with a message on
  // stderr when there is none.
  bool value(std::string& into);
  // Takes every argument up to the next option; false with a message when
  // there is none ("needs at least one <what>").
  bool list(std::vector<std::string>& into, const char* what);
  // Takes a whole number from low to high; false with "<option> takes
  // <expected> (got '<text>')" when the text is not one.
  bool number(long& into, long low, long high, const char* expected);

  // Prints "unknown option" with the hint to --help; returns the usage status 2.
  int unknown() const;

 private:
  static bool looksLikeOption(const char* a) { return a[0] == '-' && a[1] == '-'; }

  const char* command_;
  int argc_;
  char** argv_;
  int index_ = -1;
  std::string option_;
};

}  // namespace zelscan
