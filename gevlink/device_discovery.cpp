#include "gevlink/device_discovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <set>

#include "gevlink/discovery.h"
#include "gevlink/transport_status.h"
#include "gevlink/udp_socket.h"
#include "gevlink/wire/gvcp.h"

namespace gevlink {

using namespace wire;

namespace {

bool isLoopback(uint32_t netAddress) { return (ntohl(netAddress) >> 24) == 127; }

}  // namespace

std::vector<uint32_t> discoveryTargets(uint32_t interfaceAddress) {
  std::vector<uint32_t> targets;
  if (isLoopback(interfaceAddress)) {
    // Loopback has no broadcast to speak of for sockets bound to one
    // address: ask the first 32 loopback addresses one by one, too.
    targets.push_back(INADDR_BROADCAST);  // routed by the source address: stays on lo
    targets.push_back(htonl(0x7FFFFFFF));
    for (uint32_t host = 1; host <= 32; ++host) targets.push_back(htonl(0x7F000000 | host));
    return targets;
  }
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i; i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
      if (reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr != interfaceAddress) continue;
      if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr)
        targets.push_back(reinterpret_cast<sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr);
    }
    freeifaddrs(list);
  }
  targets.push_back(INADDR_BROADCAST);
  return targets;
}

TransportResult enumerateDevices(uint32_t iface, uint32_t timeoutMs, std::vector<DiscoveryAnswer>& answers) {
  int err = 0;
  Fd fd = udpSocket(iface, err);
  if (fd.get() < 0) return systemError(err);
  int on = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  Bytes command = encodeDiscoveryCmd(1, true);
  for (uint32_t target : discoveryTargets(iface)) {
    sockaddr_in to = addressOf(target, kGvcpPort);
    sendto(fd.get(), command.data(), command.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  std::set<uint32_t> seen;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  uint8_t datagram[1500];
  for (;;) {
    pollfd p{fd.get(), POLLIN, 0};
    if (poll(&p, 1, msUntil(deadline)) <= 0) break;
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = recvfrom(fd.get(), datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n <= 0) continue;
    DiscoveryAnswer answer{};
    if (!discoveryAnswerFromDatagram(datagram, std::size_t(n), answer)) continue;
    if (!seen.insert(from.sin_addr.s_addr).second) continue;
    answers.push_back(answer);
  }
  return {};
}

TransportResult forceDeviceIp(uint32_t iface, const uint8_t mac[6], uint32_t ip, uint32_t mask, uint32_t gateway,
                              uint32_t retries, uint32_t timeoutMs) {
  int err = 0;
  Fd fd = udpSocket(iface, err);
  if (fd.get() < 0) return systemError(err);
  int on = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  ForceIp force;
  std::memcpy(force.mac.data(), mac, 6);
  force.ip = ntohl(ip);
  force.subnet = ntohl(mask);
  force.gateway = ntohl(gateway);
  Bytes command = encodeForceIpCmd(1, force);
  uint8_t datagram[1500];
  for (uint32_t attempt = 0; attempt < retries; ++attempt) {
    for (uint32_t target : discoveryTargets(iface)) {
      sockaddr_in to = addressOf(target, kGvcpPort);
      sendto(fd.get(), command.data(), command.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      pollfd p{fd.get(), POLLIN, 0};
      if (poll(&p, 1, msUntil(deadline)) <= 0) break;
      ssize_t n = recv(fd.get(), datagram, sizeof datagram, 0);
      AckHeader h;
      std::span<const uint8_t> payload;
      if (n <= 0 || !parseAck({datagram, std::size_t(n)}, h, payload) || h.answer != kForceIpAck) continue;
      return h.status == GEV_STATUS_SUCCESS ? TransportResult{} : refused(h.status, 0);
    }
  }
  return timedOut();
}

}  // namespace gevlink
