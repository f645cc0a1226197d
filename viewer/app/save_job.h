#pragma once
// Saving the point store on a worker thread, so the window keeps drawing (the
// progress dialog) while a large cloud is written.
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "viewer/app/cloud_source.h"

namespace nubiview {

class SaveJob {
 public:
  SaveJob() = default;
  SaveJob(const SaveJob&) = delete;
  SaveJob& operator=(const SaveJob&) = delete;
  ~SaveJob() { wait(); }

  // Starts writing the store to path in format. The worker holds storeLock and
  // sets saving while it writes, so the drawing and the file watch keep off
  // the store. False (nothing started) when a save runs, the path is empty or
  // no thread can be had.
  bool start(const std::string& path, const std::string& format, std::mutex& storeLock, std::atomic<bool>& saving);
  bool running() const { return running_; }
  // Once the worker has ended: joins it and gives its result (once); empty
  // while it runs or when none was started.
  std::optional<SaveResult> finish();
  const std::string& path() const { return path_; }
  // Waits for a running worker (the program ends only after its save).
  void wait() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
  std::atomic<bool> done_{false};
  bool running_ = false;
  SaveResult result_ = SaveResult::NothingToSave;
  std::string path_;
};

}  // namespace nubiview
