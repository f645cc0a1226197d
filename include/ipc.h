#pragma once
// OrvComIpc: named values, commands and data blocks exchanged between
// processes. A server publishes them through a callback object; clients
// connect by the server's name, read (get), write (set) and trigger (command)
// them, receive the server's notifications and map the shared memory blocks
// the server created. The library never interprets a value.
//
// Every message is a 32-byte header (id, op, type, name, status, len) followed
// by len data bytes, at most 65535 bytes in all. Ops: 'G' get, 'S' set,
// 'C' command, 'R' reply, 'T' notification; types: 'I' int32, 'F' float,
// 'D' double, 'A' bytes or text. Names hold at most 19 characters; longer
// names are cut.
//
// The virtual functions of each interface are declared in their binary slot
// order; never reorder them.
#include <cstdint>

#if defined(__GNUC__)
#define ORV_IPC_EXPORT __attribute__((visibility("default")))
#else
#define ORV_IPC_EXPORT
#endif

// Application callback. The server hands every request to one (its own, or
// the one create() returned for that connection); a client hands every
// incoming message (replies, notifications, and a synthetic 'Q' when the
// server goes away) to the one set with setCallback.
//
// The library frees objects returned by create() with plain deallocation
// (::operator delete, no destructor call): allocate them with the global
// operator new, give them a trivially destructible type and keep
// IIpcCallback as their first (primary) base.
class IIpcCallback {
 public:
  // On the server: status points to the reply status (0 on entry; set it
  // non-zero for success); for a get, data points to the reply data area
  // (room for 65503 bytes) and *len is 0 on entry: for type 'A' store the
  // number of bytes written. For a set, data points to the request's data
  // and *len is its length; for a command *len is 0. On a client: all
  // pointers point into the received message. The result is ignored.
  virtual int onMessage(std::uint16_t id, char op, const char* name, char type, std::int32_t* status, void* data,
                        std::int32_t* len) = 0;
  // A new callback object for one client connection, or null to let that
  // connection use the server's own object.
  virtual IIpcCallback* create() = 0;
};

class IIpcServer {
 public:
  // Configures the library's logger (shared by every server and client object
  // of the process): flags 1 file (emptied now), 2 console, 4 debugger channel.
  virtual void setLog(std::uint32_t flags, const char* path) = 0;
  virtual ~IIpcServer() = default;
  // Listens under name for up to maxConnections clients at once. False when a
  // server of that name already runs on this machine or the socket cannot be
  // created. Idle clients keep their places (they wait for notifications):
  // with maxConnections of them connected, further clients are refused until
  // one leaves.
  virtual bool start(const char* name, int maxConnections) = 0;
  // Stops listening and ends every connection.
  virtual void stop() = 0;
  // The callback object (borrowed; must outlive the server). Call before start.
  virtual void setCallback(IIpcCallback* callback) = 0;
  // A notification without data (type 0, len 0) to every idle client.
  virtual bool notify(const char* name) = 0;
  // A notification carrying one value: type 'I' takes an int, 'F' and 'D' a
  // double (sent as a 4-byte float for 'F'). Other types take no value and
  // send no data. type is a character passed as int: a variable argument
  // list may not follow a parameter that undergoes promotion.
  virtual bool notifyValue(const char* name, int type, ...) = 0;
  // A notification to every connected client not serving a request right
  // now. For type 'A' with length 0, data is a zero-terminated text and its
  // length is sent. True when at least one client received it.
  virtual bool notifyData(const char* name, char type, const void* data, int length) = 0;
  // Connected clients.
  virtual unsigned getClientCount() = 0;
  // Creates (or opens) the shared memory block name of size bytes and maps
  // it; null on failure. The view stays valid until releaseSharedMemory.
  virtual void* createSharedMemory(const char* name, std::uint32_t size) = 0;
  // Unmaps the block of view, or every block when view is null.
  virtual void releaseSharedMemory(void* view) = 0;
};

class IIpcClient {
 public:
  // Same logger as IIpcServer::setLog.
  virtual void setLog(std::uint32_t flags, const char* path) = 0;
  virtual ~IIpcClient() = default;
  // name is the server's name, or "\\host\name" with host "." or this
  // machine's name. False when no such server runs ("failed to connect named
  // pipe") or it already serves its maximum of clients ("no more connections").
  virtual bool connect(const char* name) = 0;
  virtual void disconnect() = 0;
  // A non-zero wait has no time-out: the request ends when the reply comes,
  // the server disconnects, or this client disconnects from another thread.
  // Gets: with wait non-zero, block until the reply arrives; *ok (when not
  // null) becomes 1 when the server's callback reported success. With wait 0
  // they return 0 and *ok 1 as soon as the request is sent.
  virtual std::int32_t getInt(const char* name, int* ok, int wait) = 0;
  virtual float getFloat(const char* name, int* ok, int wait) = 0;
  virtual double getDouble(const char* name, int* ok, int wait) = 0;
  // Copies at most destSize bytes of the reply into dest, stores the count in
  // *received (when not null) and returns it.
  virtual int getData(const char* name, void* dest, int destSize, int* received, int* ok, int wait) = 0;
  // Sets and commands: true when sent and, with wait, accepted by the server.
  virtual bool setInt(const char* name, std::int32_t value, int wait) = 0;
  virtual bool setFloat(const char* name, float value, int wait) = 0;
  virtual bool setDouble(const char* name, double value, int wait) = 0;
  // size at most 65503 bytes.
  virtual bool setData(const char* name, const void* data, int size, int wait) = 0;
  virtual bool setCmd(const char* name, int wait) = 0;
  // The callback object for incoming messages (borrowed); it runs on the
  // client's read thread.
  virtual void setCallback(IIpcCallback* callback) = 0;
  virtual void clearCallback() = 0;
  // Maps the whole shared memory block a server created under name; null on
  // failure. Each call gives a new view.
  virtual void* MapMemory(const char* name) = 0;
  // Unmaps view, or every view when null.
  virtual void UnmapMemory(void* view) = 0;
};

extern "C" {
// New objects owned by the caller (delete them); null on failure.
ORV_IPC_EXPORT IIpcServer* CreateIpcServerInstance();
ORV_IPC_EXPORT IIpcClient* CreateIpcClientInstance();
}
