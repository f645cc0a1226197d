#include "camera/common/izpj.h"

#include <cstdio>
#include <new>
#include <vector>

#include "camera/common/zpj_com.h"
#include "camera/common/zpj_protocol.h"
#include "camera/common/zpj_sock.h"

namespace camera {

ZpjWaits ZpjWaits::scaled(double factor) const {
  auto s = [factor](int ms) { return static_cast<int>(ms * factor); };
  ZpjWaits w;
  w.commandP = s(commandP);
  w.diagFirst = s(diagFirst);
  w.diagSecond = s(diagSecond);
  w.setLightSock = s(setLightSock);
  w.setLightCom = s(setLightCom);
  w.commandZ = s(commandZ);
  w.commandXSock = s(commandXSock);
  w.commandXCom = s(commandXCom);
  w.diagSilenceMax = diagSilenceMax;
  return w;
}

bool echoReply(std::string_view reply) {
  std::vector<std::string_view> lines;
  bool ok = zpj::parseReply(reply, &lines);
  for (std::string_view line : lines) std::printf("ZPJ>%.*s\n", static_cast<int>(line.size()), line.data());
  std::fflush(stdout);
  return ok;
}

std::unique_ptr<IZpj> createProjector(unsigned address, const ZpjWaits& waits) {
  if (address < 256) return std::unique_ptr<IZpj>(new (std::nothrow) ZpjCom(waits));
  return std::unique_ptr<IZpj>(new (std::nothrow) ZpjSock(waits));
}

}  // namespace camera
