#pragma once
// Gevlink: access to GigE Vision devices (libGevlink.so).
//
// Discover devices on one PC interface, force an IP configuration, open a
// device (control privilege, its GenICam description loaded into a node map),
// queue caller-owned buffers on its stream channels and wait for filled
// frames, wait for device events, read and write device memory and registers.
//
// Every function returns a 32-bit status (GDEV_STATUS_*) and fills the
// caller's GDevErrInfo, which it zeroes on entry. Every pointer argument must
// be readable (inputs) or writable (outputs); a bad pointer gives
// GDEV_STATUS_INVALID_PARAMETER (87) and nothing else happens. Outputs are
// zeroed before the work starts.
//
// Handles:
// - transport handle: names one PC interface, as its IPv4 address in network
//   byte order (as DeviceInfo stores addresses), passed by pointer. 0 and
//   0xFFFFFFFF are invalid. 127.0.0.1 discovers the devices listening on
//   loopback addresses.
// - device handle: 64-bit, returned by GDevOpen; 0 and all ones are invalid.
// - stream key: 32-bit, from GDevEnumStream; names one stream channel.
//
// Binding by ordinal: the exports carry the ordinals 1..25 in the order
// declared below (this order is part of the binary contract). On Linux a host
// binds an ordinal through the exported table GDevOrdinalTable: entry n
// (1..25) is the function of ordinal n, entry 0 is null:
//
//   void* lib = dlopen("libGevlink.so", RTLD_NOW);
//   auto table = static_cast<const GDevProc*>(dlsym(lib, "GDevOrdinalTable"));
//   auto enumDevice = reinterpret_cast<GDevEnumDeviceFn>(table[1]);
//
// All symbols carry the version node GEVLINK_2.0.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#define GEVLINK_API __attribute__((visibility("default")))

// Statuses.
enum : uint32_t {
  GDEV_STATUS_SUCCESS = 0,
  GDEV_STATUS_INVALID_HANDLE = 6,       // device handle not in the device table
  GDEV_STATUS_INVALID_PARAMETER = 87,   // bad pointer or argument out of range
  GDEV_STATUS_WAIT_TIMEOUT = 258,       // wait on the table mutex timed out
  GDEV_STATUS_OPERATION_ABORTED = 995,  // transport: wait cancelled / device closing
  GDEV_STATUS_EXTENDED_ERROR = 1208,    // details in GDevErrInfo
  GDEV_STATUS_TIMEOUT = 1460,           // transport: the device did not answer
  GDEV_STATUS_GEN_FAILURE = 31,         // transport: the device refused (code = GVCP status)
};

// Extended codes (GDevErrInfo::code with status 1208).
enum : uint32_t {
  GDEV_ERR_INVALID_ADDRESS = 0x20000005,  // info: the offending handle or address
  GDEV_ERR_WAIT_TIMEOUT = 0x2000000A,     // GDevWaitStreamEx time-out passed
  GDEV_ERR_TABLE_FULL = 0x20000013,       // 1024 devices open
  GDEV_ERR_WAIT_LIST = 0x20000080,        // more than 32 streams; info: the count
  GDEV_ERR_UNKNOWN_STREAM = 0x20000082,   // info: position of the key in the list, or the key
  GDEV_ERR_ARCHIVE = 0x20000083,          // XML archive cannot be opened or unpacked
  GDEV_ERR_XML_LOCATION = 0x20000084,     // XML location unknown or file missing
  GDEV_ERR_CANCELLED = 0x20000085,        // the wait was cancelled
  GDEV_ERR_BUSY = 0x20000086,             // another caller already waits; info: position
  GDEV_ERR_XML_WRITE = 0x20000087,        // XML file cannot be written; info: errno
  GDEV_ERR_INTERNAL = 0x200000FF,         // out of memory or internal failure
};

struct GDevErrInfo {
  uint32_t code;  // extended code
  uint32_t info;  // transport detail or the offending value
};

// One discovered device (212 bytes), from the GigE Vision discovery
// acknowledge. Addresses stay in network byte order; numbers are host order.
struct DeviceInfo {
  uint16_t specVersionMajor;   // 0
  uint16_t specVersionMinor;   // 2
  uint32_t deviceMode;         // 4
  uint16_t reserved;           // 8, always 0
  uint8_t mac[6];              // 10, as on the wire (high two bytes, then low four)
  uint32_t ipConfigOptions;    // 16
  uint32_t ipConfigCurrent;    // 20
  uint32_t currentIp;          // 24, network byte order
  uint32_t currentSubnetMask;  // 28, network byte order
  uint32_t defaultGateway;     // 32, network byte order
  char manufacturerName[32];   // 36
  char modelName[32];          // 68
  char deviceVersion[32];      // 100
  char manufacturerInfo[48];   // 132
  char serialNumber[16];       // 180
  char userDefinedName[16];    // 196
};
static_assert(sizeof(DeviceInfo) == 212, "DeviceInfo is 212 bytes");
static_assert(offsetof(DeviceInfo, deviceMode) == 4 && offsetof(DeviceInfo, reserved) == 8 &&
                  offsetof(DeviceInfo, mac) == 10 && offsetof(DeviceInfo, ipConfigOptions) == 16 &&
                  offsetof(DeviceInfo, ipConfigCurrent) == 20 && offsetof(DeviceInfo, currentIp) == 24 &&
                  offsetof(DeviceInfo, currentSubnetMask) == 28 && offsetof(DeviceInfo, defaultGateway) == 32 &&
                  offsetof(DeviceInfo, manufacturerName) == 36 && offsetof(DeviceInfo, modelName) == 68 &&
                  offsetof(DeviceInfo, deviceVersion) == 100 && offsetof(DeviceInfo, manufacturerInfo) == 132 &&
                  offsetof(DeviceInfo, serialNumber) == 180 && offsetof(DeviceInfo, userDefinedName) == 196,
              "DeviceInfo offsets");

// One register write of GDevDirectRegWrite.
struct GDevRegPair {
  uint32_t address;
  uint32_t value;
};

// The frame information header at the start of every filled stream buffer;
// the image data begins GDEV_FRAME_DATA_OFFSET (1152) bytes into the buffer.
// A queued buffer must hold this header plus the payload.
enum : uint32_t { GDEV_FRAME_DATA_OFFSET = 1152, GDEV_FRAME_INFO_MAGIC = 0x47444646 /* "GDFF" */ };
enum : uint32_t {
  GDEV_FRAME_COMPLETE = 1,    // every packet arrived first time
  GDEV_FRAME_INCOMPLETE = 2,  // packets missing after resend (status 1208)
  GDEV_FRAME_OVERRUN = 3,     // payload larger than the buffer (status 1208)
  GDEV_FRAME_RESENT = 4,      // complete after packet resend
};
struct GDevFrameInfo {
  uint32_t magic;          // GDEV_FRAME_INFO_MAGIC
  uint32_t kind;           // GDEV_FRAME_*
  uint32_t channel;        // stream channel
  uint32_t blockId;        // GVSP block id
  uint64_t timestamp;      // device ticks from the leader
  uint32_t pixelFormat;    // from the leader
  uint32_t width, height;  // from the leader
  uint32_t offsetX, offsetY;
  uint32_t paddingX, paddingY;
  uint32_t payloadSize;      // image bytes written after the header
  uint32_t packetsExpected;  // data packets of the block
  uint32_t packetsMissing;   // still missing when the frame was completed
  uint32_t packetsResent;    // recovered by resend
  uint32_t dataOffset;       // GDEV_FRAME_DATA_OFFSET
  uint8_t reserved[GDEV_FRAME_DATA_OFFSET - 72];
};
static_assert(sizeof(GDevFrameInfo) == GDEV_FRAME_DATA_OFFSET, "frame header is 1152 bytes");

// Event message buffer of GDevWaitEvent (GVCP EVENT/EVENTDATA payload).
enum : uint32_t { GDEV_EVENT_BUFFER_SIZE = 548, GDEV_LIBRARY_VERSION = 0x02000000 };

namespace gevlink {

// Failures inside the node map: GenICam errors (unknown node, value out of
// range, wrong node kind) as GDevException, port failures as GDevExceptionI.
class GEVLINK_API GDevException : public std::exception {
 public:
  explicit GDevException(const char* message);
  const char* what() const noexcept override;

 private:
  char message_[256];
};

class GEVLINK_API GDevExceptionI : public GDevException {
 public:
  // kind 1 = port read, 2 = port write.
  GDevExceptionI(uint32_t kind, uint32_t code, uint32_t info, uint32_t info2, const char* message);
  uint32_t kind() const noexcept { return kind_; }
  uint32_t code() const noexcept { return code_; }
  uint32_t info() const noexcept { return info_; }
  uint32_t info2() const noexcept { return info2_; }
  const char* message() const noexcept { return what(); }

 private:
  uint32_t kind_, code_, info_, info2_;
};

// The GenICam node map of an open device, owned by the library and valid
// until GDevClose. Every operation throws GDevException / GDevExceptionI.
class INodeMap {
 public:
  virtual bool hasNode(const char* name) = 0;
  virtual int64_t getInteger(const char* name) = 0;  // Integer, IntReg, enumeration value
  virtual void setInteger(const char* name, int64_t value) = 0;
  virtual std::string getEnumSymbol(const char* name) = 0;
  virtual void setEnumSymbol(const char* name, const char* symbol) = 0;
  // The entries of an enumeration: symbols and their numeric values.
  virtual std::vector<std::pair<std::string, int64_t>> enumEntries(const char* name) = 0;
  virtual void execute(const char* name) = 0;  // Command
  virtual std::string getString(const char* name) = 0;

 protected:
  ~INodeMap() = default;
};

}  // namespace gevlink

extern "C" {

// 1: up to capacity discovery answers of the interface *transport; found = all answers.
GEVLINK_API uint32_t GDevEnumDevice(const uint32_t* transport, DeviceInfo* devices, uint32_t capacity, uint32_t* found,
                                    GDevErrInfo* err);
// 2: FORCEIP to the device with that MAC (6 bytes); addresses in network byte order.
GEVLINK_API uint32_t GDevFoceIP(const uint32_t* transport, const uint8_t* mac, const uint32_t* ip,
                                const uint32_t* subnetMask, const uint32_t* gateway, GDevErrInfo* err);
// 3: opens the device at *deviceAddress (network byte order) through *transport.
GEVLINK_API uint32_t GDevOpen(const uint32_t* transport, const uint32_t* deviceAddress, uint64_t* device,
                              gevlink::INodeMap** nodeMap, GDevErrInfo* err);
// 4
GEVLINK_API uint32_t GDevClose(uint64_t device, GDevErrInfo* err);
// 5
GEVLINK_API uint32_t GDevEnumStream(uint64_t device, uint32_t* keys, uint32_t capacity, uint32_t* count,
                                    GDevErrInfo* err);
// 6: zero-fills the buffer and queues it; it must hold 1152 + payload bytes.
GEVLINK_API uint32_t GDevQueBuffer(uint64_t device, uint32_t key, void* buffer, uint32_t size, GDevErrInfo* err);
// 7
GEVLINK_API uint32_t GDevFlushBuffer(uint64_t device, uint32_t key, GDevErrInfo* err);
// 8
GEVLINK_API uint32_t GDevStartStream(uint64_t device, uint32_t key, GDevErrInfo* err);
// 9
GEVLINK_API uint32_t GDevStartStreamEx(uint64_t device, uint32_t key, uint32_t parameter, GDevErrInfo* err);
// 10
GEVLINK_API uint32_t GDevSetFrameTopRecvNotify(uint64_t device, uint32_t key, uint32_t setting, GDevErrInfo* err);
// 11: count 1..32; returns the channel and buffer of the oldest completion.
GEVLINK_API uint32_t GDevWaitStream(uint64_t device, const uint32_t* keys, uint32_t count, uint32_t* channel,
                                    void** buffer, GDevErrInfo* err);
// 12: timeoutMs 0 = no limit.
GEVLINK_API uint32_t GDevWaitStreamEx(uint64_t device, const uint32_t* keys, uint32_t count, uint32_t timeoutMs,
                                      uint32_t* channel, void** buffer, uint32_t* extra, GDevErrInfo* err);
// 13
GEVLINK_API uint32_t GDevCancelStream(uint64_t device, uint32_t key, GDevErrInfo* err);
// 14: buffer of GDEV_EVENT_BUFFER_SIZE bytes.
GEVLINK_API uint32_t GDevWaitEvent(uint64_t device, void* eventBuffer, uint32_t* length, GDevErrInfo* err);
// 15: timeoutMs 0 = no limit.
GEVLINK_API uint32_t GDevWaitEventEx(uint64_t device, uint32_t timeoutMs, void* eventBuffer, uint32_t* length,
                                     GDevErrInfo* err);
// 16
GEVLINK_API uint32_t GDevCancelEvent(uint64_t device, GDevErrInfo* err);
// 17
GEVLINK_API uint32_t GDevDirectMemRead(uint64_t device, uint32_t address, void* buffer, uint32_t length,
                                       GDevErrInfo* err);
// 18
GEVLINK_API uint32_t GDevDirectMemWrite(uint64_t device, uint32_t address, const void* buffer, uint32_t length,
                                        uint32_t* written, GDevErrInfo* err);
// 19
GEVLINK_API uint32_t GDevDirectRegRead(uint64_t device, const uint32_t* addresses, uint32_t* values, uint32_t count,
                                       GDevErrInfo* err);
// 20
GEVLINK_API uint32_t GDevDirectRegWrite(uint64_t device, const GDevRegPair* pairs, uint32_t count, uint32_t* written,
                                        GDevErrInfo* err);
// 21
GEVLINK_API uint32_t GDevGetParam(uint64_t device, uint32_t* value, GDevErrInfo* err);
// 22
GEVLINK_API uint32_t GDevBuffLock(uint64_t device, uint32_t key, void* buffer, GDevErrInfo* err);
// 23
GEVLINK_API uint32_t GDevBuffUnlock(uint64_t device, uint32_t key, void* buffer, GDevErrInfo* err);
// 24
GEVLINK_API uint32_t GDevReAcquisition(uint64_t device, uint32_t key, uint32_t parameter1, uint32_t parameter2,
                                       GDevErrInfo* err);
// 25: library version 0x02000000 and the transport's two version words.
GEVLINK_API uint32_t GDevGetVersion(uint32_t* version, uint32_t* transportMinor, uint32_t* transportBuild,
                                    GDevErrInfo* err);

typedef void (*GDevProc)(void);
// Entry n is the export of ordinal n (1..25); entry 0 is null.
GEVLINK_API extern const GDevProc GDevOrdinalTable[26];

typedef uint32_t (*GDevEnumDeviceFn)(const uint32_t*, DeviceInfo*, uint32_t, uint32_t*, GDevErrInfo*);
typedef uint32_t (*GDevOpenFn)(const uint32_t*, const uint32_t*, uint64_t*, gevlink::INodeMap**, GDevErrInfo*);
typedef uint32_t (*GDevCloseFn)(uint64_t, GDevErrInfo*);
typedef uint32_t (*GDevWaitStreamFn)(uint64_t, const uint32_t*, uint32_t, uint32_t*, void**, GDevErrInfo*);

}  // extern "C"
