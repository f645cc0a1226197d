#pragma once
// Runs the calibrix program as a subprocess in a given working folder.
#include <sys/wait.h>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace calibrix::test {

struct RunResult {
  int status = -1;
  std::string out, err;
};

inline std::string calibrixBinary() {
#ifdef CALIBRIX_PROGRAM
  return CALIBRIX_PROGRAM;
#else
  const char* dir = std::getenv("ZEL_BINARY_DIR");
  return dir ? std::string(dir) + "/bin/calibrix" : std::string();
#endif
}

inline std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline RunResult runCalibrix(const std::string& cwd, const std::vector<std::string>& args) {
  std::string cmd = "cd " + shellQuote(cwd) + " && " + shellQuote(calibrixBinary());
  for (const auto& a : args) cmd += " " + shellQuote(a);
  cmd += " > " + shellQuote(cwd + "/.stdout") + " 2> " + shellQuote(cwd + "/.stderr");
  RunResult r;
  const int raw = std::system(cmd.c_str());
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = slurp(cwd + "/.stdout");
  r.err = slurp(cwd + "/.stderr");
  return r;
}

}  // namespace calibrix::test
