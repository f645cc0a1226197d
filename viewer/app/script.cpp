#include "viewer/app/script.h"

#include <cstdlib>
#include <map>
#include <sstream>

namespace nubiview {
namespace {

bool isNumber(const std::string& s) {
  if (s.empty()) return false;
  char* end = nullptr;
  std::strtod(s.c_str(), &end);
  return end && *end == '\0';
}

}  // namespace

bool ParseScript(const std::string& text, std::vector<ScriptCommand>& out, std::string& error) {
  // verb -> number of arguments (-1: one argument, the rest of the line)
  static const std::map<std::string, int> kArity = {
      {"wait", 1},       {"frames", 1},         {"move", 2},     {"down", 3},
      {"up", 3},         {"click", 3},          {"dblclick", 3}, {"wheel", 1},
      {"key", 1},        {"open", -1},          {"drop", -1},    {"options", 0},
      {"options-ok", 0}, {"options-cancel", 0}, {"panel", 2},    {"menu", 1},
      {"waitfile", -1},  {"screenshot", -1},    {"dump", -1},    {"quit", 0}};
  std::istringstream in(text);
  std::string line;
  int number = 0;
  out.clear();
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    ScriptCommand c;
    c.line = number;
    if (!(words >> c.verb)) continue;
    const auto it = kArity.find(c.verb);
    auto fail = [&](const std::string& what) {
      error = "line " + std::to_string(number) + ": " + what;
      return false;
    };
    if (it == kArity.end()) return fail("unknown command '" + c.verb + "'");
    if (it->second < 0) {
      std::string rest;
      std::getline(words, rest);
      const std::size_t b = rest.find_first_not_of(" \t");
      if (b == std::string::npos) return fail(c.verb + " needs a path");
      rest = rest.substr(b);
      while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.pop_back();
      c.args.push_back(rest);
    } else {
      std::string w;
      while (words >> w) c.args.push_back(w);
      if (static_cast<int>(c.args.size()) != it->second)
        return fail(c.verb + " takes " + std::to_string(it->second) + " argument(s)");
    }
    const bool mouse = c.verb == "down" || c.verb == "up" || c.verb == "click" || c.verb == "dblclick";
    if (mouse) {
      if (c.args[0] != "left" && c.args[0] != "right" && c.args[0] != "middle")
        return fail("button must be left, right or middle");
      if (!isNumber(c.args[1]) || !isNumber(c.args[2])) return fail("X and Y must be numbers");
    }
    if ((c.verb == "move") && (!isNumber(c.args[0]) || !isNumber(c.args[1]))) return fail("X and Y must be numbers");
    if ((c.verb == "wait" || c.verb == "frames" || c.verb == "wheel") && !isNumber(c.args[0]))
      return fail(c.verb + " needs a number");
    out.push_back(std::move(c));
  }
  return true;
}

}  // namespace nubiview
