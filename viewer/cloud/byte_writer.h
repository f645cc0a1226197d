#pragma once
// Buffered writing of a point file with every failure remembered: a writer
// reports success only when every byte reached the file and the file closed
// cleanly.
//
// Large files are written by a helper thread while the caller packs the next
// buffer (two buffers in turn), so packing records and the kernel's copy into
// the page cache overlap instead of adding up.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

namespace cloud {

class ByteWriter {
 public:
  // Creates (or truncates) the file; null when it cannot be created.
  static std::unique_ptr<ByteWriter> create(const std::filesystem::path& path);
  ~ByteWriter();  // closes without reporting; call finish() to know
  ByteWriter(const ByteWriter&) = delete;
  ByteWriter& operator=(const ByteWriter&) = delete;

  // Room for at least n bytes (n <= kMaxReserve) at the end of the buffer;
  // commit(k) then adds the k bytes written there. Flushes first when needed.
  static constexpr std::size_t kMaxReserve = 64 * 1024;
  char* reserve(std::size_t n);
  void commit(std::size_t n) { used_ += n; }

  void write(const void* data, std::size_t n);
  void write(std::string_view text) { write(text.data(), text.size()); }

  // False once any write has failed (a helper-thread failure shows up at the
  // next flush at the latest).
  bool ok() const { return ok_; }
  // Flushes, waits for the helper thread and closes; true when everything
  // was written.
  bool finish();

 private:
  ByteWriter() = default;
  void flush();     // hands the current buffer over
  void waitIdle();  // until the helper has written what it was given
  void stopHelper();
  void helperLoop();

  int fd_ = -1;
  bool ok_ = true;
  std::unique_ptr<char[]> buffer_;  // being filled
  std::unique_ptr<char[]> spare_;   // being written by the helper, or free
  std::size_t used_ = 0;

  std::thread helper_;
  std::mutex mutex_;
  std::condition_variable cv_;
  const char* pending_ = nullptr;  // guarded by mutex_
  std::size_t pendingSize_ = 0;    // guarded by mutex_
  bool helperFailed_ = false;      // guarded by mutex_
  bool stop_ = false;              // guarded by mutex_
};

}  // namespace cloud
