#pragma once
// Buffered writing of a point file with every failure remembered: a writer
// reports success only when every byte reached the file and the file closed
// cleanly.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

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

  bool ok() const { return ok_; }
  // Flushes and closes; true when everything was written.
  bool finish();

 private:
  ByteWriter() = default;
  void flush();

  int fd_ = -1;
  bool ok_ = true;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
};

}  // namespace cloud
