// The wire format on its own: reply building, notifications, stream framing.
#include "ipc/message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ipc/tests/test_support.h"

namespace {

using orvipc::FrameReader;

struct Buffers {
  std::vector<std::uint8_t> request = std::vector<std::uint8_t>(orvipc::kMaxMessage, 0);
  std::vector<std::uint8_t> reply = std::vector<std::uint8_t>(orvipc::kMaxMessage, 0xEE);
  std::size_t run(IIpcCallback* cb, const std::vector<std::uint8_t>& msg) {
    std::memcpy(request.data(), msg.data(), msg.size());
    return orvipc::buildReply(request.data(), reply.data(), cb);
  }
};

TEST(Message, ReplyLengthFollowsTypeAndEchoesAcceptedSets) {
  ipctest::ScriptedCallback cb;
  Buffers b;
  // get of an int: 36 bytes, the request's id, status 1, the value 42
  EXPECT_EQ(b.run(&cb, ipctest::makeMessage(0x1234, 'G', 'I', "answer", nullptr, 0)), 36u);
  EXPECT_EQ(orvipc::getOp(b.reply.data()), 'R');
  EXPECT_EQ(orvipc::getId(b.reply.data()), 0x1234);
  EXPECT_EQ(orvipc::getStatus(b.reply.data()), 1);
  EXPECT_EQ(orvipc::getLen(b.reply.data()), 4u);
  std::int32_t v;
  std::memcpy(&v, b.reply.data() + 32, 4);
  EXPECT_EQ(v, 42);

  // accepted set of a double echoes its 8 bytes; a refused one sends zeros
  double d = 1.25;
  EXPECT_EQ(b.run(&cb, ipctest::makeMessage(1, 'S', 'D', "x", &d, 8)), 40u);
  EXPECT_EQ(orvipc::getStatus(b.reply.data()), 1);
  EXPECT_EQ(std::memcmp(b.reply.data() + 32, &d, 8), 0);
  EXPECT_EQ(b.run(&cb, ipctest::makeMessage(2, 'S', 'D', "refuse", &d, 8)), 40u);
  EXPECT_EQ(orvipc::getStatus(b.reply.data()), 0);
  EXPECT_EQ(std::vector<std::uint8_t>(b.reply.begin() + 32, b.reply.begin() + 40), std::vector<std::uint8_t>(8, 0));

  // a command is answered with len 4 and the value 0; an unknown get with status 0
  EXPECT_EQ(b.run(&cb, ipctest::makeMessage(3, 'C', 'I', "cmd", nullptr, 0)), 36u);
  EXPECT_EQ(orvipc::getStatus(b.reply.data()), 1);
  std::memcpy(&v, b.reply.data() + 32, 4);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(b.run(&cb, ipctest::makeMessage(4, 'G', 'I', "nothing", nullptr, 0)), 36u);
  EXPECT_EQ(orvipc::getStatus(b.reply.data()), 0);

  // type 'A': the callback's length; an accepted set echoes all its bytes
  EXPECT_EQ(b.run(&cb, ipctest::makeMessage(5, 'G', 'A', "blob", nullptr, 0)), 132u);
  std::vector<std::uint8_t> text(300, 'q');
  EXPECT_EQ(b.run(&cb, ipctest::makeMessage(6, 'S', 'A', "t", text.data(), 300)), 332u);
  EXPECT_EQ(std::memcmp(b.reply.data() + 32, text.data(), 300), 0);
}

// Callback that misbehaves: claims more bytes than a message holds, or a
// negative length.
class LyingCallback : public IIpcCallback {
 public:
  explicit LyingCallback(std::int32_t claim) : claim_(claim) {}
  int onMessage(std::uint16_t, char, const char*, char, std::int32_t* status, void*, std::int32_t* len) override {
    *status = 1;
    *len = claim_;
    return 0;
  }
  IIpcCallback* create() override { return nullptr; }
  std::int32_t claim_;
};

TEST(Message, UnsafeLengthsAndNamesAreContained) {
  Buffers b;
  LyingCallback huge(1 << 30);
  EXPECT_EQ(b.run(&huge, ipctest::makeMessage(1, 'G', 'A', "x", nullptr, 0)), orvipc::kMaxMessage);
  LyingCallback negative(-5);
  EXPECT_EQ(b.run(&negative, ipctest::makeMessage(1, 'G', 'A', "x", nullptr, 0)), 32u);
  // A set of an int without data is echoed as zeros, not as stale bytes.
  EXPECT_EQ(b.run(&negative, ipctest::makeMessage(1, 'S', 'I', "x", nullptr, 0)), 36u);
  EXPECT_EQ(std::vector<std::uint8_t>(b.reply.begin() + 32, b.reply.begin() + 36), std::vector<std::uint8_t>(4, 0));

  // A name field without terminator reaches the callback cut to 19 characters.
  ipctest::ScriptedCallback cb;
  auto msg = ipctest::makeMessage(9, 'G', 'I', "", nullptr, 0);
  std::memset(msg.data() + 4, 'n', 20);
  b.run(&cb, msg);
  ASSERT_EQ(cb.seen().size(), 1u);
  EXPECT_EQ(cb.seen()[0].name, std::string(19, 'n'));

  // putHeader cuts long names and terminates them.
  std::uint8_t header[32];
  std::memset(header, 0xAA, sizeof header);
  orvipc::putHeader(header, 1, 'G', 'I', "abcdefghijklmnopqrstuvwxyz", 0, 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(header + 4)), "abcdefghijklmnopqrs");
}

TEST(Message, NotificationLengths) {
  std::vector<std::uint8_t> msg(orvipc::kMaxMessage);
  EXPECT_EQ(orvipc::buildNotification(msg.data(), 7, "t", 'A', "abc", 0), 35u);
  EXPECT_EQ(orvipc::getLen(msg.data()), 3u);
  EXPECT_EQ(orvipc::getOp(msg.data()), 'T');
  EXPECT_EQ(orvipc::getStatus(msg.data()), 1);
  EXPECT_EQ(orvipc::getId(msg.data()), 7);
  EXPECT_EQ(orvipc::buildNotification(msg.data(), 0, "t", 'A', "abcdef", 2), 34u);
  std::int32_t v = 3;
  EXPECT_EQ(orvipc::buildNotification(msg.data(), 0, "t", 'I', &v, 0), 36u);
  double d = 1;
  EXPECT_EQ(orvipc::buildNotification(msg.data(), 0, "t", 'D', &d, 0), 40u);
  EXPECT_EQ(orvipc::buildNotification(msg.data(), 0, "t", 0, nullptr, 0), 32u);
  std::vector<std::uint8_t> big(orvipc::kMaxData + 1);
  EXPECT_EQ(orvipc::buildNotification(msg.data(), 0, "t", 'A', big.data(), static_cast<std::uint32_t>(big.size())), 0u);
}

// A source handing out a byte string in pieces of a few bytes.
FrameReader::Source chunked(const std::vector<std::uint8_t>& bytes, std::size_t piece) {
  auto pos = std::make_shared<std::size_t>(0);
  return [bytes, piece, pos](std::uint8_t* buf, std::size_t size) -> long {
    std::size_t n = std::min({piece, size, bytes.size() - *pos});
    std::memcpy(buf, bytes.data() + *pos, n);
    *pos += n;
    return static_cast<long>(n);
  };
}

TEST(Message, FramingSplitsJoinedAndCutMessages) {
  std::vector<std::uint8_t> stream;
  for (int i = 0; i < 5; ++i) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(i * 7), static_cast<std::uint8_t>(i));
    auto m = ipctest::makeMessage(static_cast<std::uint16_t>(i), 'S', 'A', "m", data.data(),
                                  static_cast<std::uint32_t>(data.size()));
    stream.insert(stream.end(), m.begin(), m.end());
  }
  for (std::size_t piece : {1u, 5u, 33u, 65535u}) {
    FrameReader reader(chunked(stream, piece));
    for (int i = 0; i < 5; ++i) {
      ASSERT_EQ(reader.next(), FrameReader::Result::kMessage) << piece;
      EXPECT_EQ(orvipc::getId(reader.data()), i);
      EXPECT_EQ(reader.size(), 32u + static_cast<std::size_t>(i) * 7);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(reader.data()) % 8, 0u);
    }
    EXPECT_EQ(reader.next(), FrameReader::Result::kClosed);
  }

  // a header shorter than 32 bytes, data shorter than len, len too big
  std::vector<std::uint8_t> shortHeader(stream.begin(), stream.begin() + 20);
  EXPECT_EQ(FrameReader(chunked(shortHeader, 7)).next(), FrameReader::Result::kTruncated);
  auto cut = ipctest::makeMessage(1, 'S', 'A', "m", "0123456789", 10);
  cut.resize(36);
  EXPECT_EQ(FrameReader(chunked(cut, 64)).next(), FrameReader::Result::kTruncated);
  auto tooLong = ipctest::makeMessage(1, 'S', 'A', "m", nullptr, 0);
  std::uint32_t len = 65504;
  std::memcpy(tooLong.data() + 28, &len, 4);
  FrameReader r(chunked(tooLong, 64));
  EXPECT_EQ(r.next(), FrameReader::Result::kTooLong);
  EXPECT_EQ(r.badLen(), 65504u);
}

}  // namespace
