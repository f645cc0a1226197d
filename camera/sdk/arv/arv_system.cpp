#include "camera/sdk/arv/arv_system.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <span>

#include "gevlink/wire/gvcp.h"

namespace camera::sdk {
namespace {

std::mutex gUseMutex;
int gUses = 0;

std::mutex gDiscoveryMutex;
std::chrono::steady_clock::time_point gLastDiscovery;
bool gDiscovered = false;
// A discovery waits a second for late answers; opening two cameras one after
// the other uses the first one's list while it is this fresh. Names are read
// anew either way, so a renamed device is never taken for another.
constexpr auto kDiscoveryReuse = std::chrono::seconds(10);

constexpr int kNameReadTries = 3;
constexpr int kNameReadWaitMs = 200;
// The user-defined name: bootstrap register 0x00E8, 16 bytes.
constexpr std::uint32_t kUserNameAddress = 0x00E8;
constexpr std::uint16_t kUserNameLength = 16;
constexpr std::uint16_t kGvcpPort = gevlink::wire::kGvcpPort;

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

bool toSockaddr(const std::string& address, std::uint16_t port, sockaddr_in* out) {
  std::memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  out->sin_port = htons(port);
  return ::inet_pton(AF_INET, address.c_str(), &out->sin_addr) == 1;
}

// The local address the kernel would send from to reach the device.
bool localAddressFor(const std::string& deviceAddress, std::string* local) {
  sockaddr_in to;
  if (!toSockaddr(deviceAddress, kGvcpPort, &to)) return false;
  Fd s;
  s.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s.fd < 0 || ::connect(s.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return false;
  sockaddr_in me;
  socklen_t len = sizeof me;
  if (::getsockname(s.fd, reinterpret_cast<sockaddr*>(&me), &len) != 0) return false;
  char text[INET_ADDRSTRLEN];
  if (!::inet_ntop(AF_INET, &me.sin_addr, text, sizeof text)) return false;
  *local = text;
  return true;
}

}  // namespace

void aravisAcquire() {
  std::lock_guard<std::mutex> lock(gUseMutex);
  // Aravis registers GObject types, which GLib can never register again: a
  // host that unloads the plug-in and loads it once more would unload and
  // reload Aravis with it and fail inside GLib. Aravis stays loaded for the
  // life of the process once it has been used.
  static const bool pinned = [] {
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void*>(&arv_update_device_list), &info) || !info.dli_fname) return false;
    return ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
  }();
  (void)pinned;
  ++gUses;
}

void aravisRelease() {
  std::lock_guard<std::mutex> lock(gUseMutex);
  if (gUses <= 0) return;
  if (--gUses == 0) {
    arv_shutdown();  // the device list goes with it
    std::lock_guard<std::mutex> discovery(gDiscoveryMutex);
    gDiscovered = false;
  }
}

std::string takeErrorMessage(GError* error) {
  if (!error) return "unknown error";
  std::string text = error->message ? error->message : "unknown error";
  g_error_free(error);
  return text;
}

bool readGigeUserName(const std::string& deviceAddress, std::string* userName, std::string* error) {
  sockaddr_in to;
  if (!toSockaddr(deviceAddress, kGvcpPort, &to)) {
    *error = "not an IPv4 address: " + deviceAddress;
    return false;
  }
  Fd s;
  s.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  // Connected: only the device's own answers reach this socket.
  if (s.fd < 0 || ::connect(s.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    *error = std::string("socket to ") + deviceAddress + ": " + std::strerror(errno);
    return false;
  }
  namespace wire = gevlink::wire;
  static std::atomic<std::uint16_t> nextId{0x4000};
  for (int attempt = 0; attempt < kNameReadTries; ++attempt) {
    std::uint16_t id = ++nextId;
    if (id == 0) id = ++nextId;  // 0 is not a valid request id
    const wire::Bytes cmd = wire::encodeReadMemCmd(id, kUserNameAddress, kUserNameLength);
    if (::send(s.fd, cmd.data(), cmd.size(), 0) != static_cast<ssize_t>(cmd.size())) continue;
    pollfd p{s.fd, POLLIN, 0};
    while (::poll(&p, 1, kNameReadWaitMs) == 1) {
      std::uint8_t packet[1024];
      ssize_t n = ::recv(s.fd, packet, sizeof packet, 0);
      if (n <= 0) break;
      wire::AckHeader header;
      std::span<const std::uint8_t> payload, data;
      std::uint32_t address = 0;
      // Anything but the acknowledge of this request is ignored.
      if (!wire::parseAck({packet, static_cast<std::size_t>(n)}, header, payload) ||
          header.answer != wire::kReadMemAck || header.ackId != id)
        continue;
      if (header.status != wire::GEV_STATUS_SUCCESS) {
        *error = deviceAddress + " refused to read its user-defined name (" + wire::statusName(header.status) + ")";
        return false;
      }
      if (!wire::parseReadMemAck(payload, address, data) || address != kUserNameAddress ||
          data.size() != kUserNameLength)
        continue;
      // Up to the first NUL, at most 16 bytes.
      std::size_t length = 0;
      while (length < data.size() && data[length] != 0) ++length;
      userName->assign(reinterpret_cast<const char*>(data.data()), length);
      return true;
    }
  }
  *error = deviceAddress + " does not answer on the GVCP port";
  return false;
}

namespace {

// Looks through the devices of the last discovery, reading each name anew.
bool lookUp(const std::string& userName, GigeLocation* location, std::string* error) {
  const unsigned n = arv_get_n_devices();
  for (unsigned i = 0; i < n; ++i) {
    const char* protocol = arv_get_device_protocol(i);
    const char* address = arv_get_device_address(i);
    if (!protocol || !address || std::strcmp(protocol, "GigEVision") != 0) continue;
    std::string name, why;
    if (!readGigeUserName(address, &name, &why) || name != userName) continue;
    location->deviceAddress = address;
    if (!localAddressFor(address, &location->interfaceAddress)) {
      *error = std::string("no route to ") + address;
      return false;
    }
    return true;
  }
  *error = "no GigE Vision device with the user-defined name '" + userName + "'";
  return false;
}

}  // namespace

bool findGigeDeviceByUserName(const std::string& userName, GigeLocation* location, std::string* error) {
  std::lock_guard<std::mutex> lock(gDiscoveryMutex);
  const auto now = std::chrono::steady_clock::now();
  if (gDiscovered && now - gLastDiscovery < kDiscoveryReuse && lookUp(userName, location, error)) return true;
  arv_update_device_list();
  gDiscovered = true;
  gLastDiscovery = std::chrono::steady_clock::now();
  return lookUp(userName, location, error);
}

ArvDevice* openGigeDevice(const GigeLocation& location, std::string* error) {
  GPtr<GInetAddress> iface(g_inet_address_new_from_string(location.interfaceAddress.c_str()));
  GPtr<GInetAddress> dev(g_inet_address_new_from_string(location.deviceAddress.c_str()));
  if (!iface || !dev) {
    *error = "bad address " + location.deviceAddress;
    return nullptr;
  }
  GError* err = nullptr;
  ArvDevice* device = arv_gv_device_new(iface.get(), dev.get(), &err);
  if (!device) {
    *error = location.deviceAddress + ": " + takeErrorMessage(err);
    return nullptr;
  }
  if (err) g_error_free(err);
  arv_device_set_range_check_policy(device, ARV_RANGE_CHECK_POLICY_ENABLE);
  arv_device_set_access_check_policy(device, ARV_ACCESS_CHECK_POLICY_ENABLE);
  arv_gv_device_set_packet_size_adjustment(ARV_GV_DEVICE(device), ARV_GV_PACKET_SIZE_ADJUSTMENT_NEVER);
  return device;
}

StreamSettings streamSettingsFromEnvironment() {
  StreamSettings s;
  if (const char* v = std::getenv("ZELCAM_GIGE_PACKET_SOCKET"); v && std::strcmp(v, "0") == 0) s.packetSocket = false;
  if (const char* v = std::getenv("ZELCAM_GIGE_SOCKET_BUFFER"); v && *v) {
    long bytes = std::strtol(v, nullptr, 10);
    if (bytes >= 65536 && bytes <= (1L << 30)) s.socketBufferBytes = static_cast<int>(bytes);
  }
  return s;
}

ArvStream* createGigeStream(ArvDevice* device, const StreamSettings& settings, std::string* error) {
  if (!ARV_IS_GV_DEVICE(device)) {
    *error = "not a GigE Vision device";
    return nullptr;
  }
  arv_gv_device_set_stream_options(ARV_GV_DEVICE(device), settings.packetSocket
                                                              ? ARV_GV_STREAM_OPTION_NONE
                                                              : ARV_GV_STREAM_OPTION_PACKET_SOCKET_DISABLED);
  GError* err = nullptr;
  ArvStream* stream = arv_device_create_stream(device, nullptr, nullptr, &err);
  if (!stream) {
    *error = takeErrorMessage(err);
    return nullptr;
  }
  if (err) g_error_free(err);
  g_object_set(stream, "socket-buffer", ARV_GV_STREAM_SOCKET_BUFFER_FIXED, "socket-buffer-size",
               settings.socketBufferBytes, nullptr);
  return stream;
}

}  // namespace camera::sdk
