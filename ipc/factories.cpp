// The library's only exported symbols.
#include <mutex>
#include <new>

#include "diag/logger.h"
#include "ipc.h"
#include "ipc/ipc_client.h"
#include "ipc/ipc_server.h"

namespace {

// The logger comes with the first server or client object and is shared by
// every later one for the life of the library.
void createLoggerOnce() {
  static std::once_flag once;
  std::call_once(once, [] { diag::resetLibraryLogger("OrvComIpc"); });
}

}  // namespace

extern "C" ORV_IPC_EXPORT IIpcServer* CreateIpcServerInstance() {
  try {
    createLoggerOnce();
    return new orvipc::IpcServer();
  } catch (...) {
    return nullptr;
  }
}

extern "C" ORV_IPC_EXPORT IIpcClient* CreateIpcClientInstance() {
  try {
    createLoggerOnce();
    return new orvipc::IpcClient();
  } catch (...) {
    return nullptr;
  }
}
