#pragma once
// The wire format shared by server and client: pure functions over bytes, no
// sockets, so that they can be tested and fuzzed on their own.
//
// Header (little-endian): id u16 @0, op @2, type @3, name[20] @4,
// status i32 @24, len u32 @28; then len data bytes.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "ipc.h"

namespace orvipc {

constexpr std::size_t kHeaderSize = 32;
constexpr std::size_t kMaxMessage = 65535;                   // every receive buffer
constexpr std::size_t kMaxData = kMaxMessage - kHeaderSize;  // 65503
constexpr std::size_t kNameField = 20;                       // 19 characters + terminator

constexpr std::size_t kIdOffset = 0;
constexpr std::size_t kOpOffset = 2;
constexpr std::size_t kTypeOffset = 3;
constexpr std::size_t kNameOffset = 4;
constexpr std::size_t kStatusOffset = 24;
constexpr std::size_t kLenOffset = 28;

// One accept/busy byte answers each new connection before any message.
constexpr char kAccepted = 'A';
constexpr char kBusy = 'B';

std::uint16_t getId(const std::uint8_t* msg);
char getOp(const std::uint8_t* msg);
char getType(const std::uint8_t* msg);
std::int32_t getStatus(const std::uint8_t* msg);
std::uint32_t getLen(const std::uint8_t* msg);
void setId(std::uint8_t* msg, std::uint16_t id);
void setStatus(std::uint8_t* msg, std::int32_t status);
void setLen(std::uint8_t* msg, std::uint32_t len);

// Writes a header. name is cut to 19 characters and always zero-terminated.
void putHeader(std::uint8_t* msg, std::uint16_t id, char op, char type, const char* name, std::int32_t status,
               std::uint32_t len);

// Data length that a type fixes: 4 for 'I' and 'F', 8 for 'D', otherwise
// the given length.
std::uint32_t lenByType(char type, std::uint32_t given);

// Builds the server's reply to one complete request (request: header plus
// its len data bytes, len already checked against kMaxData) into reply
// (kMaxMessage bytes) by calling callback->onMessage. The request's name
// field is zero-terminated in place. Returns the reply's total size.
std::size_t buildReply(std::uint8_t* request, std::uint8_t* reply, IIpcCallback* callback);

// The same reply without copying an echoed set: the header is in reply,
// the len data bytes start at data (reply's data area or the request's).
struct ReplyParts {
  std::size_t dataLen;
  const std::uint8_t* data;
};
ReplyParts buildReplyParts(std::uint8_t* request, std::uint8_t* reply, IIpcCallback* callback);

// Builds a notification ('T', status 1) into msg (kMaxMessage bytes). For
// type 'A' with length 0 and data, data is a text and its length is sent.
// Returns the total size, or 0 when the data would not fit.
std::size_t buildNotification(std::uint8_t* msg, std::uint16_t id, const char* name, char type, const void* data,
                              std::uint32_t length);

// Splits a byte stream into messages. Reads through a source function with
// read(2) semantics (bytes read, 0 at end of stream, -1 with errno on error).
// Each message returned starts at an aligned buffer address, so its status
// and len fields can be handed out as int32 pointers.
class FrameReader {
 public:
  enum class Result {
    kMessage,     // a complete message is at data()
    kClosed,      // end of stream between messages
    kTruncated,   // end of stream inside a message (short header or data)
    kTooLong,     // header announces more than kMaxData bytes
    kError,       // the source failed; errno is kept in error()
    kWouldBlock,  // a non-blocking source has nothing more for now; the
                  // part of a message read so far is kept for the next call
  };
  using Source = std::function<long(std::uint8_t* buf, std::size_t size)>;

  explicit FrameReader(Source source);
  Result next();
  std::uint8_t* data() { return buf_.get(); }
  std::size_t size() const { return current_; }
  // The len the offending header announced (kTooLong) and the last errno.
  std::uint32_t badLen() const { return badLen_; }
  int error() const { return error_; }

 private:
  bool fill(std::size_t need, Result& failure);
  Source source_;
  std::unique_ptr<std::uint8_t[]> buf_;
  std::size_t filled_ = 0;   // valid bytes in buf_
  std::size_t current_ = 0;  // size of the message handed out last
  std::uint32_t badLen_ = 0;
  int error_ = 0;
};

}  // namespace orvipc
