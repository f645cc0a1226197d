// gevlink-trace FILE: prints the records of a Gevlink trace file, oldest first.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "gevlink/trace_reader.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr,
                 "usage: gevlink-trace FILE\n  prints the records of a Gevlink trace file (Gevlink.000, ...)\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "error: cannot open %s\n", argv[1]);
    return 1;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string text;
  bool ok = gevlink::formatTrace(bytes.data(), bytes.size(), text);
  std::fputs(text.c_str(), ok ? stdout : stderr);
  return ok ? 0 : 1;
}
