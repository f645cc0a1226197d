#pragma once
// The server side: a listen thread accepting clients on the server's Unix
// socket, one thread per connection answering its requests through the
// application's callback, notifications to idle connections, and the
// shared memory blocks the server publishes.
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "ipc.h"
#include "ipc/io.h"
#include "ipc/message.h"
#include "ipc/shared_block.h"

namespace orvipc {

class IpcServer final : public IIpcServer {
 public:
  IpcServer();
  ~IpcServer() override;

  void setLog(std::uint32_t flags, const char* path) override;
  bool start(const char* name, int maxConnections) override;
  void stop() override;
  void setCallback(IIpcCallback* callback) override;
  bool notify(const char* name) override;
  bool notifyValue(const char* name, int type, ...) override;
  bool notifyData(const char* name, char type, const void* data, int length) override;
  unsigned getClientCount() override;
  void* createSharedMemory(const char* name, std::uint32_t size) override;
  void releaseSharedMemory(void* view) override;

 private:
  struct Connection {
    int number = 0;
    std::atomic<bool> active{true};
    std::atomic<bool> busy{false};
    Fd socket;
    std::mutex sendMutex;  // one message at a time on the socket
    std::unique_ptr<std::uint8_t[]> reply;
    IIpcCallback* callback = nullptr;
    bool ownCallback = false;  // returned by create(): freed with the connection
    std::thread thread;
  };

  enum class Accepted { kClient, kNone, kStop };
  void listenLoop();
  // Stages of the listen thread.
  Fd openListener(const std::string& path);
  // Turns clients away until a slot frees (true) or the server stops (false).
  bool waitForFreeSlot(int listener);
  Accepted acceptClient(int listener);
  void startConnection(Fd client, pid_t pid);
  void serve(Connection* connection);
  void removeFinished();
  void endAllConnections();
  unsigned activeCount();
  void signalReady();
  bool sendMessage(Connection& connection, const std::uint8_t* header, const std::uint8_t* data, std::size_t dataLen);

  std::string name_;
  int maxConnections_ = 0;
  std::atomic<bool> started_{false};
  std::atomic<bool> stopping_{false};
  std::thread listenThread_;
  Event stopEvent_;
  Event clientGone_;
  std::mutex readyMutex_;
  std::condition_variable readyCv_;
  bool ready_ = false;
  std::counting_semaphore<2> handlers_{2};  // request handlers and notifications at once
  std::atomic<std::uint16_t> notifyCounter_{0};
  IIpcCallback* callback_ = nullptr;
  std::mutex connectionsMutex_;
  std::vector<std::shared_ptr<Connection>> connections_;
  int nextNumber_ = 0;
  SharedBlockList blocks_;
};

}  // namespace orvipc
