#include "ipc/message.h"

#include <cerrno>
#include <cstring>

namespace orvipc {

namespace {

template <typename T>
T load(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
void store(std::uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

}  // namespace

std::uint16_t getId(const std::uint8_t* msg) { return load<std::uint16_t>(msg + kIdOffset); }
char getOp(const std::uint8_t* msg) { return static_cast<char>(msg[kOpOffset]); }
char getType(const std::uint8_t* msg) { return static_cast<char>(msg[kTypeOffset]); }
std::int32_t getStatus(const std::uint8_t* msg) { return load<std::int32_t>(msg + kStatusOffset); }
std::uint32_t getLen(const std::uint8_t* msg) { return load<std::uint32_t>(msg + kLenOffset); }
void setId(std::uint8_t* msg, std::uint16_t id) { store(msg + kIdOffset, id); }
void setStatus(std::uint8_t* msg, std::int32_t status) { store(msg + kStatusOffset, status); }
void setLen(std::uint8_t* msg, std::uint32_t len) { store(msg + kLenOffset, len); }

void putHeader(std::uint8_t* msg, std::uint16_t id, char op, char type, const char* name, std::int32_t status,
               std::uint32_t len) {
  setId(msg, id);
  msg[kOpOffset] = static_cast<std::uint8_t>(op);
  msg[kTypeOffset] = static_cast<std::uint8_t>(type);
  std::memset(msg + kNameOffset, 0, kNameField);
  if (name) {
    std::size_t n = ::strnlen(name, kNameField - 1);
    std::memcpy(msg + kNameOffset, name, n);
  }
  setStatus(msg, status);
  setLen(msg, len);
}

std::uint32_t lenByType(char type, std::uint32_t given) {
  switch (type) {
    case 'I':
    case 'F': return 4;
    case 'D': return 8;
    default: return given;
  }
}

std::size_t buildReply(std::uint8_t* request, std::uint8_t* reply, IIpcCallback* callback) {
  ReplyParts parts = buildReplyParts(request, reply, callback);
  if (parts.data != reply + kHeaderSize) std::memcpy(reply + kHeaderSize, parts.data, parts.dataLen);
  return kHeaderSize + parts.dataLen;
}

ReplyParts buildReplyParts(std::uint8_t* request, std::uint8_t* reply, IIpcCallback* callback) {
  // A peer may send a name without terminator: the callback gets at most 19.
  request[kNameOffset + kNameField - 1] = 0;
  const char op = getOp(request);
  const char type = getType(request);
  const std::uint32_t requestLen = getLen(request);

  std::memset(reply, 0, kHeaderSize + 8);
  std::memcpy(reply, request, kHeaderSize);
  setStatus(reply, 0);
  setLen(reply, op == 'S' ? requestLen : 0);

  std::uint8_t* replyData = reply + kHeaderSize;
  std::uint8_t* requestData = request + kHeaderSize;
  // Status and len are handed out as int32 pointers: both buffers are
  // aligned and the fields sit at offsets 24 and 28.
  auto* status = reinterpret_cast<std::int32_t*>(reply + kStatusOffset);
  auto* len = reinterpret_cast<std::int32_t*>(reply + kLenOffset);
  if (callback) {
    callback->onMessage(getId(request), op, reinterpret_cast<const char*>(request + kNameOffset), type, status,
                        op == 'G' ? replyData : requestData, len);
  }
  const std::int32_t finalStatus = getStatus(reply);

  // A callback that reports a length outside the buffer gets it cut to what
  // a message can carry.
  std::int32_t callbackLen = load<std::int32_t>(reply + kLenOffset);
  std::uint32_t given = callbackLen < 0 ? 0u : static_cast<std::uint32_t>(callbackLen);
  if (given > kMaxData) given = static_cast<std::uint32_t>(kMaxData);
  std::uint32_t replyLen;
  if (type == 'A') {
    replyLen = given;
  } else {
    replyLen = lenByType(type, requestLen > kMaxData ? 0u : requestLen);
  }

  reply[kOpOffset] = 'R';
  setLen(reply, replyLen);
  if (op == 'G') {
    // The callback wrote the value; bytes past the first 8 that a fixed-size
    // type does not cover stay zero.
    if (type != 'A' && replyLen > 8) std::memset(replyData + 8, 0, replyLen - 8);
  } else if (op == 'S' && finalStatus != 0) {
    // Echo of the accepted value, straight from the request when it is all
    // there; a set shorter than its type is padded with zeros rather than
    // with an earlier message's bytes.
    if (replyLen <= requestLen) return {replyLen, requestData};
    std::memcpy(replyData, requestData, requestLen);
    std::memset(replyData + requestLen, 0, replyLen - requestLen);
  } else {
    std::memset(replyData, 0, replyLen);
  }
  return {replyLen, replyData};
}

std::size_t buildNotification(std::uint8_t* msg, std::uint16_t id, const char* name, char type, const void* data,
                              std::uint32_t length) {
  std::uint32_t len = lenByType(type, length);
  if (type == 'A' && length == 0 && data) {
    len = static_cast<std::uint32_t>(::strnlen(static_cast<const char*>(data), kMaxData + 1));
  }
  if (len > kMaxData) return 0;
  if (len > 0 && !data) return 0;
  putHeader(msg, id, 'T', type, name, 1, len);
  if (len > 0) std::memcpy(msg + kHeaderSize, data, len);
  return kHeaderSize + len;
}

FrameReader::FrameReader(Source source) : source_(std::move(source)), buf_(new std::uint8_t[kMaxMessage]) {}

bool FrameReader::fill(std::size_t need, Result& failure) {
  while (filled_ < need) {
    long n = source_(buf_.get() + filled_, kMaxMessage - filled_);
    if (n < 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      failure = (errno == EAGAIN || errno == EWOULDBLOCK) ? Result::kWouldBlock : Result::kError;
      return false;
    }
    if (n == 0) {
      failure = filled_ == 0 ? Result::kClosed : Result::kTruncated;
      return false;
    }
    filled_ += static_cast<std::size_t>(n);
  }
  return true;
}

FrameReader::Result FrameReader::next() {
  // Drop the message handed out last; what follows moves to the front so
  // that the next message is aligned.
  if (current_ > 0) {
    std::memmove(buf_.get(), buf_.get() + current_, filled_ - current_);
    filled_ -= current_;
    current_ = 0;
  }
  Result failure = Result::kClosed;
  if (!fill(kHeaderSize, failure)) return failure;
  std::uint32_t len = getLen(buf_.get());
  if (len > kMaxData) {
    badLen_ = len;
    return Result::kTooLong;
  }
  if (!fill(kHeaderSize + len, failure)) {
    return failure == Result::kClosed ? Result::kTruncated : failure;
  }
  current_ = kHeaderSize + len;
  return Result::kMessage;
}

}  // namespace orvipc
