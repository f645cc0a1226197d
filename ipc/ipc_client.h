#pragma once
// The client side: one socket to the server, requests made one at a time,
// every incoming message handed to the application's callback, and views of
// the server's shared memory blocks.
//
// Reading the socket is a token (readMutex_): a request that waits holds it
// and reads its own reply, so a round trip costs no thread hand-over; the
// read thread holds it while no request waits, for notifications and the
// replies of requests sent without waiting. Either way each message passes
// the callback before anything else looks at it.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipc.h"
#include "ipc/io.h"
#include "ipc/message.h"
#include "ipc/shared_block.h"

namespace orvipc {

class IpcClient final : public IIpcClient {
 public:
  IpcClient();
  ~IpcClient() override;

  void setLog(std::uint32_t flags, const char* path) override;
  bool connect(const char* name) override;
  void disconnect() override;
  std::int32_t getInt(const char* name, int* ok, int wait) override;
  float getFloat(const char* name, int* ok, int wait) override;
  double getDouble(const char* name, int* ok, int wait) override;
  int getData(const char* name, void* dest, int destSize, int* received, int* ok, int wait) override;
  bool setInt(const char* name, std::int32_t value, int wait) override;
  bool setFloat(const char* name, float value, int wait) override;
  bool setDouble(const char* name, double value, int wait) override;
  bool setData(const char* name, const void* data, int size, int wait) override;
  bool setCmd(const char* name, int wait) override;
  void setCallback(IIpcCallback* callback) override;
  void clearCallback() override;
  void* MapMemory(const char* name) override;
  void UnmapMemory(void* view) override;

  enum class Outcome { kFailed, kSent, kReplied };

 private:
  enum class Received { kMessage, kNothing, kGone, kStopped };
  // The reply as received: its status and data (len checked on arrival).
  using Evaluate = std::function<void(std::int32_t status, const std::uint8_t* data, std::uint32_t len)>;

  // One fixed-size value by name (getInt, getFloat, getDouble).
  template <typename T>
  T getValue(const char* operation, char type, const char* name, int* ok, int wait);
  // One fixed-size value set by name (setInt, setFloat, setDouble).
  template <typename T>
  bool setValue(const char* operation, char type, const char* name, T value, int wait);
  // Sends one request and, with wait, reads until its reply, which goes to
  // evaluate. Called with requestMutex_ held.
  Outcome request(const char* description, char op, char type, const char* name, const void* data, std::uint32_t len,
                  int wait, const Evaluate& evaluate);
  // Reads and dispatches one message; readMutex_ held.
  Received receiveOne(bool block);
  void dispatch(std::uint8_t* msg, std::size_t size);
  void deliverDisconnect();
  void readLoop(int fd);
  bool onCallbackThread() const;

  Fd socket_;
  std::thread readThread_;
  std::atomic<bool> stopping_{false};
  std::mutex requestMutex_;               // requests strictly one at a time
  std::unique_ptr<std::uint8_t[]> send_;  // the request header; data goes out from the caller's buffer
  std::uint32_t counter_ = 0;

  std::mutex readMutex_;                     // the right to read the socket
  std::unique_ptr<FrameReader> reader_;      // under readMutex_
  int readFd_ = -1;                          // the socket reader_ reads; under readMutex_
  bool nonblocking_ = false;                 // how reader_ reads; under readMutex_
  std::atomic<bool> requestReading_{false};  // a waiting request reads (a hint)
  std::atomic<bool> gone_{false};            // the server closed the connection
  std::uint16_t disconnectCounter_ = 0;      // ids of the synthetic 'Q' messages

  std::atomic<IIpcCallback*> callback_{nullptr};
  std::atomic<std::thread::id> callbackThread_{};  // thread inside the callback now

  SharedBlockList blocks_;
};

}  // namespace orvipc
