#include "decoder/common/yaml_reader.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>

namespace zel {

namespace {

struct Line {
  int number = 0;  // 1-based line number in the file, for messages
  int indent = 0;  // leading spaces
  std::string content;
};

bool isSpace(char c) { return c == ' ' || c == '\t'; }

std::string trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && isSpace(s[b])) ++b;
  while (e > b && (isSpace(s[e - 1]) || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Strict number shapes, as the storage writes them: an integer is
// [+-]digits; a real adds a fraction and/or an exponent. strtod alone would
// also take "nan", "inf" and hexadecimal floats, which the storage reads as
// text.
bool integerShape(const std::string& s) {
  std::size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

bool realShape(const std::string& s) {
  std::size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
  std::size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t expDigits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++expDigits;
    if (expDigits == 0) return false;
  }
  return i == s.size();
}

class Parser {
 public:
  explicit Parser(std::string& error) : error_(error) {}

  bool parse(const std::string& text, YamlNode& root);

 private:
  bool fail(int line, const std::string& what) {
    error_ = line > 0 ? "line " + std::to_string(line) + ": " + what : what;
    return false;
  }
  bool countNode(int line) {
    if (++nodes_ > kYamlMaxNodes) return fail(line, "too many values");
    return true;
  }
  bool splitLines(const std::string& text);
  bool parseXml(const std::string& text, YamlNode& root);
  bool parseBlockNode(std::size_t& i, int depth, YamlNode& out);
  bool parseBlockMap(std::size_t& i, int depth, YamlNode& out);
  bool parseBlockSeq(std::size_t& i, int depth, YamlNode& out);
  bool parseEntryValue(std::size_t& i, int ownerIndent, int line, std::string rest, int depth, YamlNode& out);
  bool parseInline(std::size_t& i, int line, const std::string& text, int depth, YamlNode& out);
  bool parseFlow(const std::string& s, std::size_t& p, int line, int depth, YamlNode& out);
  bool parseQuoted(const std::string& s, std::size_t& p, int line, std::string& out);
  bool takeTag(std::string& text, int line, std::string& tag);
  static bool splitKey(const std::string& content, std::string& key, std::string& rest);

  std::string& error_;
  std::vector<Line> lines_;
  std::size_t nodes_ = 0;
};

bool Parser::splitLines(const std::string& text) {
  bool seenDocStart = false, seenContent = false, ended = false;
  std::size_t pos = 0;
  int number = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string raw = text.substr(pos, end - pos);
    pos = end + 1;
    ++number;
    if (raw.find('\0') != std::string::npos) return fail(number, "a NUL byte");
    int indent = 0;
    while (indent < static_cast<int>(raw.size()) && raw[indent] == ' ') ++indent;
    if (indent < static_cast<int>(raw.size()) && raw[indent] == '\t' && !trim(raw).empty())
      return fail(number, "a tab in the indentation");
    // Cut a comment: "#" at the start or after a blank, outside quotes.
    std::string body = raw.substr(indent);
    char quote = 0;
    for (std::size_t k = 0; k < body.size(); ++k) {
      const char c = body[k];
      if (quote) {
        if (c == '\\' && quote == '"')
          ++k;
        else if (c == quote)
          quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '#' && (k == 0 || isSpace(body[k - 1]))) {
        body.resize(k);
        break;
      }
    }
    body = trim(body);
    if (body.empty()) continue;
    if (ended) return fail(number, "text after the end of the document");
    if (indent == 0 && body[0] == '%') {
      if (seenDocStart || seenContent) return fail(number, "a directive inside the document");
      if (!(startsWith(body, "%YAML:1.") || startsWith(body, "%YAML 1.")))
        return fail(number, "an unsupported directive \"" + body.substr(0, 40) + "\"");
      continue;
    }
    if (indent == 0 && body == "---") {
      if (seenDocStart || seenContent) return fail(number, "a second document");
      seenDocStart = true;
      continue;
    }
    if (indent == 0 && body == "...") {
      ended = true;
      continue;
    }
    seenContent = true;
    lines_.push_back(Line{number, indent, body});
  }
  return true;
}

bool Parser::splitKey(const std::string& content, std::string& key, std::string& rest) {
  // Keys are plain words; a value may hold ':' only where no blank follows.
  static const char kNotInKey[] = "[]{},#\"'&*!|>%@`";
  if (content.empty() || (std::strchr("-?", content[0]) && (content.size() == 1 || isSpace(content[1])))) return false;
  for (std::size_t k = 0; k < content.size(); ++k) {
    const char c = content[k];
    if (c == ':' && (k + 1 == content.size() || isSpace(content[k + 1]))) {
      key = trim(content.substr(0, k));
      rest = trim(content.substr(k + 1));
      return true;
    }
    if (std::strchr(kNotInKey, c)) return false;
  }
  return false;
}

bool Parser::takeTag(std::string& text, int line, std::string& tag) {
  if (text.empty()) return true;
  if (text[0] == '&' || text[0] == '*') return fail(line, "anchors and aliases are not read");
  if (text[0] != '!') return true;
  if (!startsWith(text, "!!")) return fail(line, "an unsupported tag");
  std::size_t end = 2;
  while (end < text.size() && !isSpace(text[end]) && text[end] != ',' && text[end] != ']' && text[end] != '}') ++end;
  tag = text.substr(2, end - 2);
  if (tag.empty() || tag.size() > 64) return fail(line, "an unsupported tag");
  text = trim(text.substr(end));
  if (!text.empty() && (text[0] == '!' || text[0] == '&' || text[0] == '*'))
    return fail(line, "anchors, aliases and second tags are not read");
  return true;
}

bool Parser::parseBlockNode(std::size_t& i, int depth, YamlNode& out) {
  if (depth > kYamlMaxDepth) return fail(lines_[i].number, "nested too deeply");
  const std::string& c = lines_[i].content;
  if (c == "-" || startsWith(c, "- ")) return parseBlockSeq(i, depth, out);
  std::string key, rest;
  if (splitKey(c, key, rest)) return parseBlockMap(i, depth, out);
  const int line = lines_[i].number;
  std::string text = c;
  ++i;
  std::string tag;
  if (!takeTag(text, line, tag)) return false;
  if (!parseInline(i, line, text, depth, out)) return false;
  out.tag = tag;
  return true;
}

bool Parser::parseBlockMap(std::size_t& i, int depth, YamlNode& out) {
  if (depth > kYamlMaxDepth) return fail(lines_[i].number, "nested too deeply");
  if (!countNode(lines_[i].number)) return false;
  out.kind = YamlNode::Kind::Map;
  const int indent = lines_[i].indent;
  while (i < lines_.size() && lines_[i].indent >= indent) {
    const Line& l = lines_[i];
    if (l.indent > indent) return fail(l.number, "unexpected indentation");
    std::string key, rest;
    if (!splitKey(l.content, key, rest)) return fail(l.number, "expected \"key: value\"");
    if (key.empty()) return fail(l.number, "an empty key");
    const int line = l.number;
    ++i;
    out.keys.push_back(key);
    out.items.emplace_back();
    if (!parseEntryValue(i, indent, line, rest, depth, out.items.back())) return false;
  }
  return true;
}

bool Parser::parseEntryValue(std::size_t& i, int ownerIndent, int line, std::string rest, int depth, YamlNode& out) {
  std::string tag;
  if (!takeTag(rest, line, tag)) return false;
  if (rest.empty()) {
    if (i < lines_.size() && lines_[i].indent > ownerIndent) {
      if (!parseBlockNode(i, depth + 1, out)) return false;
    } else if (i < lines_.size() && lines_[i].indent == ownerIndent &&
               (lines_[i].content == "-" || startsWith(lines_[i].content, "- "))) {
      // A block sequence may sit at its key's own indentation.
      if (!parseBlockSeq(i, depth + 1, out)) return false;
    } else {
      out.kind = YamlNode::Kind::Null;
      if (!countNode(line)) return false;
    }
  } else if (!parseInline(i, line, rest, depth + 1, out)) {
    return false;
  }
  out.tag = tag;
  return true;
}

bool Parser::parseBlockSeq(std::size_t& i, int depth, YamlNode& out) {
  if (depth > kYamlMaxDepth) return fail(lines_[i].number, "nested too deeply");
  if (!countNode(lines_[i].number)) return false;
  out.kind = YamlNode::Kind::Sequence;
  const int indent = lines_[i].indent;
  while (i < lines_.size() && lines_[i].indent >= indent) {
    Line& l = lines_[i];
    if (l.indent > indent) return fail(l.number, "unexpected indentation");
    if (!(l.content == "-" || startsWith(l.content, "- "))) break;  // the owning map goes on
    std::size_t skip = 1;
    while (skip < l.content.size() && l.content[skip] == ' ') ++skip;
    std::string rest = l.content.substr(skip);
    out.items.emplace_back();
    YamlNode& item = out.items.back();
    std::string key, value;
    if (!rest.empty() && (rest == "-" || startsWith(rest, "- ") || splitKey(rest, key, value))) {
      // "- key: v" or "- - v": a compact collection that starts on this line,
      // indented as far as its first character.
      l.indent += static_cast<int>(skip);
      l.content = rest;
      if (!parseBlockNode(i, depth + 1, item)) return false;
      continue;
    }
    const int line = l.number;
    ++i;
    if (!parseEntryValue(i, indent, line, rest, depth, item)) return false;
  }
  return true;
}

bool Parser::parseInline(std::size_t& i, int line, const std::string& text, int depth, YamlNode& out) {
  if (depth > kYamlMaxDepth) return fail(line, "nested too deeply");
  if (text.empty()) {
    out.kind = YamlNode::Kind::Null;
    return countNode(line);
  }
  const char c0 = text[0];
  if (c0 == '[' || c0 == '{') {
    // A flow collection may run over several lines: gather until the
    // brackets balance, counting depth as we go so that no recursion ever
    // starts on a text nested too deeply.
    std::string buf = text;
    std::size_t scanned = 0;
    int open = 0;
    char quote = 0;
    for (;;) {
      for (; scanned < buf.size(); ++scanned) {
        const char c = buf[scanned];
        if (quote) {
          if (c == '\\' && quote == '"')
            ++scanned;
          else if (c == quote)
            quote = 0;
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (c == '[' || c == '{') {
          if (++open + depth > kYamlMaxDepth) return fail(line, "nested too deeply");
        } else if (c == ']' || c == '}') {
          --open;
        }
      }
      if (open <= 0) break;
      if (quote) return fail(line, "an unterminated quoted value");
      if (i >= lines_.size()) return fail(line, "an unterminated flow collection");
      buf += ' ';
      buf += lines_[i].content;
      ++i;
    }
    std::size_t p = 0;
    if (!parseFlow(buf, p, line, depth, out)) return false;
    while (p < buf.size() && isSpace(buf[p])) ++p;
    if (p != buf.size()) return fail(line, "text after a flow collection");
    return true;
  }
  if (c0 == '"' || c0 == '\'') {
    std::size_t p = 0;
    out.kind = YamlNode::Kind::Scalar;
    out.quoted = true;
    if (!parseQuoted(text, p, line, out.text)) return false;
    if (p != text.size()) return fail(line, "text after a quoted value");
    return countNode(line);
  }
  if (std::strchr("|>&*!%@`", c0)) return fail(line, "an unsupported value form");
  if (text == "-" || startsWith(text, "- ")) return fail(line, "a sequence where a value was expected");
  std::string key, rest;
  if (splitKey(text, key, rest)) return fail(line, "a map where a value was expected");
  out.kind = YamlNode::Kind::Scalar;
  out.text = text;
  return countNode(line);
}

bool Parser::parseQuoted(const std::string& s, std::size_t& p, int line, std::string& out) {
  const char q = s[p++];
  for (; p < s.size(); ++p) {
    const char c = s[p];
    if (q == '"' && c == '\\') {
      if (++p >= s.size()) break;
      const char e = s[p];
      out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
    } else if (c == q) {
      if (q == '\'' && p + 1 < s.size() && s[p + 1] == '\'') {
        out += '\'';
        ++p;
      } else {
        ++p;
        return true;
      }
    } else {
      out += c;
    }
  }
  return fail(line, "an unterminated quoted value");
}

bool Parser::parseFlow(const std::string& s, std::size_t& p, int line, int depth, YamlNode& out) {
  if (depth > kYamlMaxDepth) return fail(line, "nested too deeply");
  if (!countNode(line)) return false;
  auto skip = [&] {
    while (p < s.size() && isSpace(s[p])) ++p;
  };
  skip();
  if (p < s.size() && s[p] == '!') {
    std::size_t end = p;
    while (end < s.size() && !isSpace(s[end]) && !std::strchr(",]}", s[end])) ++end;
    std::string text = s.substr(p, end - p);  // the tag alone: no copy of the rest
    std::string tag;
    if (!takeTag(text, line, tag)) return false;
    out.tag = tag;
    p = end;
    skip();
  }
  if (p >= s.size()) return fail(line, "a missing value");
  const char c = s[p];
  if (c == '[' || c == '{') {
    const bool isMap = c == '{';
    const char close = isMap ? '}' : ']';
    out.kind = isMap ? YamlNode::Kind::Map : YamlNode::Kind::Sequence;
    ++p;
    for (;;) {
      skip();
      if (p >= s.size()) return fail(line, "an unterminated flow collection");
      if (s[p] == close) {
        ++p;
        return true;
      }
      if (isMap) {
        std::size_t colon = p;
        while (colon < s.size() && s[colon] != ':' && !std::strchr(",[]{}\"'", s[colon])) ++colon;
        if (colon >= s.size() || s[colon] != ':') return fail(line, "expected \"key: value\" in a flow map");
        std::string key = trim(s.substr(p, colon - p));
        if (key.empty()) return fail(line, "an empty key");
        p = colon + 1;
        out.keys.push_back(key);
        out.items.emplace_back();
        if (!parseFlow(s, p, line, depth + 1, out.items.back())) return false;
      } else {
        out.items.emplace_back();
        if (!parseFlow(s, p, line, depth + 1, out.items.back())) return false;
      }
      skip();
      if (p < s.size() && s[p] == ',') {
        ++p;
      } else if (p >= s.size() || s[p] != close) {
        return fail(line, "expected ',' or a closing bracket");
      }
    }
  }
  if (c == '"' || c == '\'') {
    out.kind = YamlNode::Kind::Scalar;
    out.quoted = true;
    return parseQuoted(s, p, line, out.text);
  }
  if (c == ']' || c == '}' || c == ',') return fail(line, "a missing value");
  std::size_t end = p;
  while (end < s.size() && !std::strchr(",[]{}", s[end])) ++end;
  out.kind = YamlNode::Kind::Scalar;
  out.text = trim(s.substr(p, end - p));
  p = end;
  if (out.text.find(": ") != std::string::npos || std::strchr("&*|>%@`\"'", out.text[0]))
    return fail(line, "an unsupported value form");
  return true;
}

// The flat XML form of the storage: <opencv_storage> holding one element per
// key with a text value. No element nests, so no recursion is needed.
bool Parser::parseXml(const std::string& text, YamlNode& root) {
  root = YamlNode();
  root.kind = YamlNode::Kind::Map;
  std::size_t p = 0;
  int line = 1;
  auto advance = [&](std::size_t to) {
    for (; p < to && p < text.size(); ++p)
      if (text[p] == '\n') ++line;
  };
  auto skipSpace = [&] {
    while (p < text.size() && std::strchr(" \t\r\n", text[p])) advance(p + 1);
  };
  auto skipMarkup = [&]() -> bool {  // <?..?> and <!-- --> between elements
    for (;;) {
      skipSpace();
      if (text.compare(p, 2, "<?") == 0) {
        const std::size_t e = text.find("?>", p);
        if (e == std::string::npos) return fail(line, "an unterminated XML declaration");
        advance(e + 2);
      } else if (text.compare(p, 4, "<!--") == 0) {
        const std::size_t e = text.find("-->", p);
        if (e == std::string::npos) return fail(line, "an unterminated XML comment");
        advance(e + 3);
      } else {
        return true;
      }
    }
  };
  if (!skipMarkup()) return false;
  if (text.compare(p, 16, "<opencv_storage>") != 0) return fail(line, "expected <opencv_storage>");
  advance(p + 16);
  for (;;) {
    if (!skipMarkup()) return false;
    if (p >= text.size()) return fail(line, "no </opencv_storage>");
    if (text.compare(p, 17, "</opencv_storage>") == 0) {
      advance(p + 17);
      if (!skipMarkup()) return false;
      if (p != text.size()) return fail(line, "text after </opencv_storage>");
      return true;
    }
    if (text[p] != '<') return fail(line, "text outside an element");
    const std::size_t close = text.find('>', p);
    if (close == std::string::npos) return fail(line, "an unterminated element");
    std::string name = text.substr(p + 1, close - p - 1);
    if (name.empty() || name.find_first_of(" \t\r\n/<\"'=") != std::string::npos)
      return fail(line, "an element with attributes or no name");
    advance(close + 1);
    const std::size_t endTag = text.find('<', p);
    if (endTag == std::string::npos || text.compare(endTag, name.size() + 3, "</" + name + ">") != 0)
      return fail(line, "<" + name.substr(0, 40) + "> holds nested elements or is not closed");
    std::string value = text.substr(p, endTag - p);
    advance(endTag + name.size() + 3);
    if (!countNode(line)) return false;
    YamlNode node;
    std::vector<std::string> words;
    std::size_t k = 0;
    while (k < value.size()) {
      while (k < value.size() && std::strchr(" \t\r\n", value[k])) ++k;
      const std::size_t b = k;
      while (k < value.size() && !std::strchr(" \t\r\n", value[k])) ++k;
      if (k > b) words.push_back(value.substr(b, k - b));
    }
    if (words.size() == 1) {
      node.kind = YamlNode::Kind::Scalar;
      node.text = words[0];
      if (node.text.size() >= 2 && node.text.front() == '"' && node.text.back() == '"') {
        node.text = node.text.substr(1, node.text.size() - 2);
        node.quoted = true;
      }
    } else if (words.size() > 1) {
      node.kind = YamlNode::Kind::Sequence;
      for (const std::string& w : words) {
        if (!countNode(line)) return false;
        YamlNode item;
        item.kind = YamlNode::Kind::Scalar;
        item.text = w;
        node.items.push_back(std::move(item));
      }
    }
    root.keys.push_back(name);
    root.items.push_back(std::move(node));
  }
}

bool Parser::parse(const std::string& text, YamlNode& root) {
  root = YamlNode();
  if (text.size() > kYamlMaxBytes) return fail(0, "larger than " + std::to_string(kYamlMaxBytes) + " bytes");
  std::size_t first = 0;
  while (first < text.size() && std::strchr(" \t\r\n", text[first])) ++first;
  if (text.compare(first, 5, "<?xml") == 0 || text.compare(first, 15, "<opencv_storage") == 0)
    return parseXml(text, root);
  if (!splitLines(text)) return false;
  if (lines_.empty()) return true;
  std::size_t i = 0;
  if (lines_[0].indent != 0) return fail(lines_[0].number, "unexpected indentation");
  std::string key, rest;
  if (!splitKey(lines_[0].content, key, rest)) return fail(lines_[0].number, "expected \"key: value\"");
  if (!parseBlockMap(i, 0, root)) return false;
  if (i != lines_.size()) return fail(lines_[i].number, "expected \"key: value\"");
  return true;
}

}  // namespace

const YamlNode* YamlNode::find(const std::string& key) const {
  if (kind != Kind::Map) return nullptr;
  for (std::size_t k = 0; k < keys.size() && k < items.size(); ++k)
    if (keys[k] == key) return &items[k];
  return nullptr;
}

bool YamlNode::asInt(int& value) const {
  if (kind != Kind::Scalar || quoted || !integerShape(text)) return false;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
  value = static_cast<int>(v);
  return true;
}

bool YamlNode::asDouble(double& value) const {
  if (kind != Kind::Scalar || quoted) return false;
  std::string t = text;
  double sign = 1.0;
  if (!t.empty() && (t[0] == '-' || t[0] == '+')) {
    if (t[0] == '-') sign = -1.0;
    if (t.size() > 1 && t[1] == '.') t = t.substr(1);
  }
  if (t == ".inf" || t == ".Inf" || t == ".INF") {
    value = sign * std::numeric_limits<double>::infinity();
    return true;
  }
  if (t == ".nan" || t == ".NaN" || t == ".Nan" || t == ".NAN") {
    value = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  if (!realShape(text)) return false;
  value = std::strtod(text.c_str(), nullptr);
  return true;
}

bool parseYamlText(const std::string& text, YamlNode& root, std::string& error) {
  Parser parser(error);
  if (parser.parse(text, root)) return true;
  root = YamlNode();
  return false;
}

bool readYamlFile(const std::string& path, YamlNode& root, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  std::string text;
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    text.append(buf, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kYamlMaxBytes) {
      error = "larger than " + std::to_string(kYamlMaxBytes) + " bytes";
      return false;
    }
  }
  if (in.bad()) {
    error = "read error";
    return false;
  }
  return parseYamlText(text, root, error);
}

bool yamlMatrix(const YamlNode& node, int maxElements, cv::Mat& out, std::string& error) {
  if (node.kind == YamlNode::Kind::Sequence && node.tag.empty()) {
    if (node.items.size() > static_cast<std::size_t>(maxElements)) {
      error = "more than " + std::to_string(maxElements) + " values";
      return false;
    }
    cv::Mat m(static_cast<int>(node.items.size()), 1, CV_64F);
    for (std::size_t k = 0; k < node.items.size(); ++k) {
      if (!node.items[k].asDouble(m.at<double>(static_cast<int>(k)))) {
        error = "a value that is not a number";
        return false;
      }
    }
    out = m;
    return true;
  }
  if (node.kind != YamlNode::Kind::Map || node.tag != "opencv-matrix") {
    error = "not a matrix";
    return false;
  }
  const YamlNode* rows = node.find("rows");
  const YamlNode* cols = node.find("cols");
  const YamlNode* dt = node.find("dt");
  const YamlNode* data = node.find("data");
  int r = 0, c = 0;
  if (!rows || !cols || !dt || !data || !rows->asInt(r) || !cols->asInt(c)) {
    error = "a matrix without integer rows and cols, dt and data";
    return false;
  }
  if (r < 0 || c < 0 || (r > 0 && c > maxElements / r)) {
    error = "a matrix of " + std::to_string(r) + " x " + std::to_string(c) + " (at most " +
            std::to_string(maxElements) + " values)";
    return false;
  }
  if (dt->kind != YamlNode::Kind::Scalar || dt->text.size() != 1 || !std::strchr("ucwsifd", dt->text[0])) {
    error = "a matrix element type other than one channel of u, c, w, s, i, f or d";
    return false;
  }
  const std::size_t count = static_cast<std::size_t>(r) * static_cast<std::size_t>(c);
  if (data->kind == YamlNode::Kind::Null && count == 0) {
    out = cv::Mat();
    return true;
  }
  if (data->kind != YamlNode::Kind::Sequence || data->items.size() != count) {
    error = "a matrix whose data does not hold rows x cols values";
    return false;
  }
  if (count == 0) {
    out = cv::Mat();
    return true;
  }
  cv::Mat m(r, c, CV_64F);
  for (std::size_t k = 0; k < count; ++k) {
    if (!data->items[k].asDouble(m.ptr<double>(0)[k])) {
      error = "a matrix value that is not a number";
      return false;
    }
  }
  out = m;
  return true;
}

}  // namespace zel
