#include "gevlink/wire/bootstrap.h"

#include <cstdio>
#include <cstring>

namespace gevlink::wire {
namespace {

// ".xml"/".zip" or ".XML"/".ZIP" at the end; mixed case is refused.
bool extensionOf(std::string_view name, bool& zip) {
  if (name.size() < 4) return false;
  std::string_view ext = name.substr(name.size() - 4);
  if (ext == ".xml" || ext == ".XML") {
    zip = false;
    return true;
  }
  if (ext == ".zip" || ext == ".ZIP") {
    zip = true;
    return true;
  }
  return false;
}

bool parseHex32(std::string_view text, uint32_t& value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = v * 16 + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFu) return false;
  }
  value = static_cast<uint32_t>(v);
  return true;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::string urlText(std::span<const uint8_t> bytes) {
  const void* zero = std::memchr(bytes.data(), 0, bytes.size());
  size_t n = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - bytes.data()) : bytes.size();
  return std::string(reinterpret_cast<const char*>(bytes.data()), n);
}

ParseResult parseXmlUrl(std::string_view text, XmlLocation& loc) {
  loc = XmlLocation{};
  const char* badExtension = "the GenICam file name must end in .xml or .zip (all lower or all upper case)";
  if (startsWith(text, "Local:")) {
    std::string_view rest = text.substr(6);
    size_t semi1 = rest.find(';');
    if (semi1 == std::string_view::npos) return {"Local: URL without ';address;length'"};
    size_t semi2 = rest.find(';', semi1 + 1);
    if (semi2 == std::string_view::npos) return {"Local: URL without ';length'"};
    std::string_view name = rest.substr(0, semi1);
    std::string_view address = rest.substr(semi1 + 1, semi2 - semi1 - 1);
    std::string_view length = rest.substr(semi2 + 1);
    if (size_t q = length.find('?'); q != std::string_view::npos) length = length.substr(0, q);
    if (name.empty()) return {"Local: URL without a file name"};
    if (!extensionOf(name, loc.zip)) return {badExtension};
    if (!parseHex32(address, loc.address)) return {"Local: URL address is not a 32-bit hexadecimal number"};
    if (!parseHex32(length, loc.length)) return {"Local: URL length is not a 32-bit hexadecimal number"};
    if (loc.length == 0) return {"Local: URL length is 0"};
    if (uint64_t{loc.address} + loc.length > 0x100000000ull) return {"Local: URL address + length beyond 32 bits"};
    loc.kind = XmlLocation::Kind::Local;
    loc.name = std::string(name);
    return {};
  }
  if (startsWith(text, "File:")) {
    std::string_view path = text.substr(5);
    if (!extensionOf(path, loc.zip)) return {badExtension};
    loc.kind = XmlLocation::Kind::File;
    loc.name = std::string(path);
    return {};
  }
  if (startsWith(text, "http:")) {
    if (text.size() < 6 || !extensionOf(text, loc.zip)) return {badExtension};
    loc.kind = XmlLocation::Kind::Http;
    loc.name = std::string(text);
    return {};
  }
  return {};
}

std::string localXmlUrl(std::string_view name, uint32_t address, uint32_t length) {
  char numbers[32];
  std::snprintf(numbers, sizeof numbers, ";%X;%X", address, length);
  return "Local:" + std::string(name) + numbers;
}

}  // namespace gevlink::wire
