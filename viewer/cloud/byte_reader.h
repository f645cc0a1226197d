#pragma once
// Sequential reading of a point file, either from an open file or from bytes
// in memory (the fuzz targets and tests read from memory). Knows the total
// size up front, so a reader can check a length taken from a header against
// the bytes that are really there before it allocates anything.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string_view>

namespace cloud {

class ByteReader {
 public:
  // Opens the file for reading; null when it cannot be opened.
  static std::unique_ptr<ByteReader> open(const std::filesystem::path& path);
  // Reads from bytes the caller keeps alive for the reader's lifetime. A
  // window size other than 0 hands the bytes out in windows of that size,
  // as a file is read through its buffer (the fuzz targets compare both).
  static std::unique_ptr<ByteReader> fromMemory(std::span<const std::uint8_t> bytes, std::size_t windowSize = 0);

  ~ByteReader();
  ByteReader(const ByteReader&) = delete;
  ByteReader& operator=(const ByteReader&) = delete;

  // Total size in bytes and the offset of the next byte to be read.
  std::uint64_t size() const { return size_; }
  std::uint64_t position() const { return consumed_ + pos_; }
  std::uint64_t remaining() const { return size_ > position() ? size_ - position() : 0; }

  // Reads one line of at most maxChars characters into line (without its
  // LF). A longer line comes back in pieces of maxChars characters; a line
  // end (LF, CR LF or a lone CR) right after a full piece belongs to that
  // piece, so a line of exactly maxChars characters is one line. Other CRs
  // are left in. False at the end of the data (nothing read). The view stays
  // valid until the next call.
  bool readLine(std::size_t maxChars, std::string_view& line);
  // True when the last readLine returned a piece of a longer line (the rest
  // of that line follows).
  bool lastLineCut() const { return lastLineCut_; }

  // Reads exactly n bytes into dst; false (with an unspecified number of
  // bytes consumed) when fewer are left or reading fails.
  bool readExact(void* dst, std::size_t n);
  // Reads up to n bytes into dst; returns how many were read (fewer only at
  // the end of the data or on a read error).
  std::size_t readSome(void* dst, std::size_t n);
  // Steps over n bytes; false (and positioned at the end) when fewer are left.
  bool skip(std::uint64_t n);

 private:
  ByteReader() = default;
  bool refill();  // false at the end of the data

  int fd_ = -1;
  std::uint64_t size_ = 0;
  // Current window: for a file, the internal buffer; for memory, all bytes.
  const std::uint8_t* data_ = nullptr;
  std::size_t len_ = 0;
  std::size_t pos_ = 0;
  std::uint64_t consumed_ = 0;            // bytes before the current window
  const std::uint8_t* memory_ = nullptr;  // memory mode: all the bytes
  std::size_t window_ = 0;                // memory mode: window size
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t bufferSize_ = 0;
  // Holds a line that crosses a window boundary.
  bool lastLineCut_ = false;
  std::unique_ptr<char[]> lineBuffer_;
  std::size_t lineBufferSize_ = 0;
};

}  // namespace cloud
