#include "viewer/app/save_job.h"

#include <system_error>

namespace nubiview {

bool SaveJob::start(const std::string& path, const std::string& format, std::mutex& storeLock,
                    std::atomic<bool>& saving) {
  if (path.empty() || running_) return false;
  done_ = false;
  path_ = path;
  try {
    thread_ = std::thread([this, path, format, &storeLock, &saving] {
      std::lock_guard<std::mutex> lock(storeLock);
      saving = true;
      result_ = SaveCloud(path, format);
      saving = false;
      done_ = true;
    });
  } catch (const std::system_error&) {
    return false;  // no worker: nothing is saved
  }
  running_ = true;
  return true;
}

std::optional<SaveResult> SaveJob::finish() {
  if (!running_ || !done_) return std::nullopt;
  thread_.join();
  running_ = false;
  return result_;
}

}  // namespace nubiview
