#pragma once
// The client side: one socket to the server, a read thread that hands every
// incoming message to the application's callback and completes the waiting
// request, requests made one at a time, and views of the server's shared
// memory blocks.
#include <atomic>
#include <condition_variable>
#include <cstdint>
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
  int getData(const char* name, void* dest, int destSize, int* received, int* ok,
              int wait) override;
  bool setInt(const char* name, std::int32_t value, int wait) override;
  bool setFloat(const char* name, float value, int wait) override;
  bool setDouble(const char* name, double value, int wait) override;
  bool setData(const char* name, const void* data, int size, int wait) override;
  bool setCmd(const char* name, int wait) override;
  void setCallback(IIpcCallback* callback) override;
  void clearCallback() override;
  void* MapMemory(const char* name) override;
  void UnmapMemory(void* view) override;

 private:
  enum class Outcome { kFailed, kSent, kReplied };
  // Sends one request and, with wait, waits for its reply, which is then in
  // reply_. Called with requestMutex_ held.
  Outcome request(const char* description, char op, char type, const char* name,
                  const void* data, std::uint32_t len, int wait);
  void readLoop(int fd);
  void deliverDisconnect();

  Fd socket_;
  std::thread readThread_;
  std::atomic<bool> stopping_{false};
  std::mutex requestMutex_;  // requests strictly one at a time
  std::unique_ptr<std::uint8_t[]> send_;
  std::unique_ptr<std::uint8_t[]> reply_;  // copy of the awaited reply
  std::uint32_t counter_ = 0;
  std::uint16_t disconnectCounter_ = 0;
  std::atomic<IIpcCallback*> callback_{nullptr};

  // Hand-over from the read thread to the waiting request.
  std::mutex stateMutex_;
  std::condition_variable stateCv_;
  bool awaiting_ = false;
  std::uint16_t awaitedId_ = 0;
  bool replyArrived_ = false;
  bool gone_ = false;     // the server closed the connection
  bool stopped_ = false;  // disconnect() was called

  std::mutex blocksMutex_;
  std::vector<std::unique_ptr<SharedBlock>> blocks_;
};

}  // namespace orvipc
