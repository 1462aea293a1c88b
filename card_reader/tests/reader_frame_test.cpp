// The frame layer against a scripted reader on a pseudo-terminal: the test queues the
// reply on the master side before the exchange and reads back what the layer sent.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "reader_auth.h"
#include "reader_frame.h"
#include "reader_sequence.h"
#include "serial_link.h"
#include "test_helpers.h"

namespace tarn::iccr {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes WithCheck(Bytes frame) {
  uint8_t x = 0;
  for (uint8_t b : frame) x ^= b;
  frame.push_back(x);
  return frame;
}

using helpers::ReferenceDesCbc;

// Closes the link after a time limit so that a test waiting on the reader always ends.
class Watchdog {
 public:
  Watchdog(int port, std::chrono::milliseconds limit)
      : thread_([this, port, limit] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!done_cv_.wait_for(lock, limit, [this] { return done_; })) ComClose(port);
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;
};

const uint8_t kKey[8] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};

// A secure-messaging block: number, inner length field, inner body, zero padding to
// `block` bytes and the closing check byte.
Bytes Block(uint16_t seq, int length_field, const Bytes& inner, size_t block) {
  Bytes plain{static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq),
              static_cast<uint8_t>(length_field >> 8), static_cast<uint8_t>(length_field)};
  plain.insert(plain.end(), inner.begin(), inner.end());
  plain.resize(block, 0);
  uint8_t x = 0;
  for (size_t i = 0; i + 1 < block; ++i) x ^= plain[i];
  plain.back() = x;
  return plain;
}

// A wrapped reply frame of the reader carrying `plain` enciphered under kKey.
Bytes Sealed(const Bytes& plain) {
  Bytes frame{0x2C, static_cast<uint8_t>(plain.size() >> 8), static_cast<uint8_t>(plain.size())};
  const Bytes cipher = ReferenceDesCbc(kKey, plain, true);
  frame.insert(frame.end(), cipher.begin(), cipher.end());
  return WithCheck(frame);
}

class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    port_ = ComOpen(ptsname(master_));
    ASSERT_GE(port_, 0);
    g_bSecureMode = 0;
    g_nReaderError = 0x1234;
  }
  void TearDown() override {
    ComClose(port_);
    close(master_);
    g_bSecureMode = 0;
  }
  void Queue(const Bytes& reply) {
    if (reply.empty()) return;
    ASSERT_EQ(write(master_, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
  }
  Bytes Sent() {
    Bytes out;
    pollfd pfd{master_, POLLIN, 0};
    while (poll(&pfd, 1, 10) > 0) {
      uint8_t buf[256];
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }
  // The next command the layer sends, waiting a bounded time for it.
  Bytes Heard() {
    pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, 2000) <= 0) return {};
    return Sent();
  }
  // Plays the reader for the next exchanges: each reply goes out once a command came.
  std::thread Answer(std::vector<Bytes> replies, std::vector<Bytes>* heard) {
    return std::thread([this, replies = std::move(replies), heard] {
      for (const auto& reply : replies) {
        Bytes command = Heard();
        if (command.empty()) return;
        heard->push_back(command);
        if (write(master_, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) {
          return;
        }
      }
    });
  }
  int Exchange(const Bytes& command, uint8_t* reply, int size) {
    return ReaderTransceive(port_, command.data(), static_cast<int>(command.size()), reply, size);
  }

  int master_ = -1;
  int port_ = -1;
};

TEST_F(FrameTest, CommandsGoOutByteForByte) {
  Queue(WithCheck({0x28, 0x00, 0x0A, 1, 2, 3, 4, 5, 6, 7, 8, 0x90, 0x00}));
  uint8_t challenge[8];
  EXPECT_GT(GetChallenge(port_, challenge), 0);
  EXPECT_EQ(Sent(), (Bytes{0x28, 0x00, 0x04, 0x00, 0x81, 0x00, 0x00, 0xAD}));
  EXPECT_EQ(challenge[0], 1);
  EXPECT_EQ(challenge[7], 8);

  Queue(WithCheck({0x08, 0x00, 0x02, 0x90, 0x00}));
  EXPECT_GT(SetIndicator(port_, 2), 0);
  EXPECT_EQ(Sent(),
            (Bytes{0x08, 0x00, 0x09, 0x00, 0x0B, 0x03, 0x00, 0x04, 0x00, 0xFA, 0x00, 0xFA, 0x0D}));
}

TEST_F(FrameTest, RepliesAreJudged) {
  const Bytes challenge{0x28, 0x00, 0x04, 0x00, 0x81, 0x00, 0x00, 0x00};
  Bytes good{0x28, 0x00, 0x02, 0x90, 0x00, 0xBA};
  Bytes corrupted = good;
  corrupted[3] = 0x91;
  struct Case {
    const char* name;
    Bytes reply;
    int size;
    int result;
    int error;  // -1: left as it was
  } cases[] = {
      {"good", good, 14, 6, -1},
      {"status word", WithCheck({0x28, 0x00, 0x02, 0x6A, 0x82}), 14, -1, 0x6A82},
      {"corrupted byte", corrupted, 14, -1, 0xFF01},
      {"too short", WithCheck({0x28, 0x00, 0x01, 0x90}), 14, -1, 0x2800},
      {"length beyond what arrived", WithCheck({0x28, 0x00, 0x10, 0x90, 0x00}), 14, -1, 0x2800},
      {"negative length", WithCheck({0x28, 0xFF, 0xFF, 0x90, 0x00}), 14, -1, 0xFF28},
      {"cut to the buffer", WithCheck({0x28, 0x00, 0x06, 1, 2, 3, 4, 0x90, 0x00}), 6, 6, -1},
      {"no reply before the link closes", {}, 14, 0, 0},
  };
  for (const auto& c : cases) {
    g_nReaderError = 0x1234;
    std::thread closer;
    if (c.reply.empty()) {
      closer = std::thread([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ComClose(port_);
      });
    }
    Queue(c.reply);
    uint8_t reply[64];
    std::memset(reply, 0xEE, sizeof reply);
    EXPECT_EQ(Exchange(challenge, reply, c.size), c.result) << c.name;
    if (closer.joinable()) {
      closer.join();
      port_ = ComOpen(ptsname(master_));
      ASSERT_GE(port_, 0);
    }
    EXPECT_EQ(g_nReaderError, c.error < 0 ? 0x1234 : c.error) << c.name;
    if (c.result > 0) {
      EXPECT_EQ(std::memcmp(reply, c.reply.data(), static_cast<size_t>(c.result)), 0) << c.name;
      EXPECT_EQ(reply[c.result], 0xEE) << c.name << ": nothing past the buffer";
    }
    Sent();
  }
}

TEST_F(FrameTest, NoReplyBeforeTheLinkClosesGivesZero) {
  const Bytes challenge{0x28, 0x00, 0x04, 0x00, 0x81, 0x00, 0x00, 0x00};
  std::thread closer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ComClose(port_);
  });
  uint8_t reply[14];
  EXPECT_EQ(Exchange(challenge, reply, sizeof reply), 0);
  EXPECT_EQ(g_nReaderError, 0);
  closer.join();
  EXPECT_EQ(Exchange(challenge, reply, sizeof reply), 0) << "a closed link writes nothing";
}

TEST_F(FrameTest, CardFramesAreWrappedInSecureMode) {
  const uint8_t key[8] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
  std::memcpy(g_SessionKey, key, 8);
  g_bSecureMode = 1;
  g_nSequence = 0x0102;

  // A reply from the reader: sequence 0x0010, inner body of 3 bytes.
  Bytes inner_reply{0x00, 0x10, 0x00, 0x03, 0xA1, 0xA2, 0xA3, 0x00};
  uint8_t x = 0;
  for (size_t i = 0; i + 1 < inner_reply.size(); ++i) x ^= inner_reply[i];
  inner_reply.back() = x;
  Bytes reply{0x2C, 0x00, 0x08};
  const Bytes cipher = ReferenceDesCbc(key, inner_reply, true);
  reply.insert(reply.end(), cipher.begin(), cipher.end());
  Queue(WithCheck(reply));

  Bytes command{0x2C, 0x00, 0x0F};
  for (int i = 0; i < 15; ++i) command.push_back(static_cast<uint8_t>(0x40 + i));
  command.push_back(0);
  uint8_t out[32] = {};
  ASSERT_EQ(Exchange(command, out, sizeof out), 6);
  EXPECT_EQ(Bytes(out, out + 6), (Bytes{0x2C, 0x00, 0x03, 0xA1, 0xA2, 0xA3}));
  EXPECT_EQ(g_nSequence, 0x0011);

  const Bytes sent = Sent();
  ASSERT_EQ(sent.size(), 28u);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 3), (Bytes{0x2C, 0x00, 0x18}));
  const Bytes plain = ReferenceDesCbc(key, Bytes(sent.begin() + 3, sent.end() - 1), false);
  EXPECT_EQ(plain[0], 0x01);
  EXPECT_EQ(plain[1], 0x02);
  EXPECT_EQ(plain[2], 0x00);
  EXPECT_EQ(plain[3], 0x0F);
  EXPECT_EQ(Bytes(plain.begin() + 4, plain.begin() + 19),
            Bytes(command.begin() + 3, command.end() - 1));
  uint8_t all = 0;
  for (uint8_t b : plain) all ^= b;
  EXPECT_EQ(all, 0) << "the inner check byte closes the block";

  // Reader commands are never wrapped.
  Queue(WithCheck({0x28, 0x00, 0x02, 0x90, 0x00}));
  EXPECT_GT(SetRfField(port_, 1), 0);
  EXPECT_EQ(Sent(), WithCheck({0x28, 0x00, 0x04, 0x00, 0x11, 0x01, 0x00}));
}

TEST_F(FrameTest, RandomRepliesStayInsideTheBuffers) {
  std::mt19937 rng(2404);
  const Bytes commands[] = {{0x28, 0x00, 0x04, 0x00, 0x81, 0x00, 0x00, 0x00},
                            {0x2C, 0x00, 0x02, 0x06, 0x01, 0x00}};
  for (int round = 0; round < 192; ++round) {
    const int length = 1 + round % 64;
    Bytes reply(static_cast<size_t>(length));
    for (auto& b : reply) b = static_cast<uint8_t>(rng());
    if (length >= 3 && round % 2 == 0) {
      // Often a plausible header, so the deeper checks run too.
      reply[1] = 0;
      reply[2] = static_cast<uint8_t>(length - 4 + static_cast<int>(rng() % 3) - 1);
      uint8_t x = 0;
      for (int i = 0; i + 1 < length; ++i) x ^= reply[static_cast<size_t>(i)];
      reply.back() = x;
    }
    g_bSecureMode = static_cast<uint8_t>(round % 3 == 0);
    Queue(reply);
    const int size = 1 + static_cast<int>(rng() % 64);
    std::vector<uint8_t> out(static_cast<size_t>(size));
    const Bytes& command = commands[round % 2];
    const int result = Exchange(command, out.data(), size);
    EXPECT_LE(result, size);
    EXPECT_GE(result, -1);
    Sent();
    // Let the reply's 30 ms silence pass so the next one is read on its own.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TEST_F(FrameTest, OversizedCommandsAreRefused) {
  Bytes big(65, 0x28);
  uint8_t out[8];
  EXPECT_EQ(Exchange(big, out, sizeof out), -1);
  g_bSecureMode = 1;
  Bytes wrapped{0x2C, 0x00, 52};
  wrapped.resize(56, 0);
  EXPECT_EQ(Exchange(wrapped, out, sizeof out), -1);
  EXPECT_EQ(g_nReaderError, 0x2C00);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(FrameTest, WrappedRepliesAreJudged) {
  const Bytes command{0x2C, 0x00, 0x02, 0x06, 0x01, 0x00};
  Bytes bad_check = Block(0x0010, 3, {0xA1, 0xA2, 0xA3}, 8);
  bad_check.back() ^= 0x05;
  Bytes odd_length{0x2C, 0x00, 0x0C};
  odd_length.resize(15, 0x5A);
  struct Case {
    const char* name;
    Bytes reply;
    int result;
    int error;  // -1: left as it was
    uint16_t sequence;
  } cases[] = {
      {"good", Sealed(Block(0x0010, 3, {0xA1, 0xA2, 0xA3}, 8)), 6, -1, 0x0011},
      {"larger block", Sealed(Block(0x1234, 15, Bytes(15, 0x77), 24)), 18, -1, 0x1235},
      {"inner check wrong", Sealed(bad_check), -1, 0xFF05, 0x0102},
      {"inner length beyond its block", Sealed(Block(0x0010, 4, {0xA1, 0xA2, 0xA3}, 8)), -1, 0x2C00,
       0x0102},
      {"length not whole blocks", WithCheck(odd_length), -1, 0x2C00, 0x0102},
      {"empty body", WithCheck({0x2C, 0x00, 0x00}), -1, 0x2C00, 0x0102},
      {"reader refused the wrapping", WithCheck({0x2C, 0x00, 0x02, 0x69, 0x88}), -1, 0x2C00,
       0x0102},
  };
  for (const auto& c : cases) {
    std::memcpy(g_SessionKey, kKey, 8);
    g_bSecureMode = 1;
    g_nSequence = 0x0102;
    g_nReaderError = 0x1234;
    Queue(c.reply);
    uint8_t reply[64];
    std::memset(reply, 0xEE, sizeof reply);
    EXPECT_EQ(Exchange(command, reply, 32), c.result) << c.name;
    EXPECT_EQ(g_nReaderError, c.error < 0 ? 0x1234 : c.error) << c.name;
    EXPECT_EQ(g_nSequence, c.sequence) << c.name;
    EXPECT_EQ(reply[c.result > 0 ? c.result : 0], 0xEE) << c.name << ": nothing past the reply";
    if (c.result > 0) {
      EXPECT_EQ(reply[0], 0x2C) << c.name;
      EXPECT_EQ((reply[1] << 8) | reply[2], c.result - 3) << c.name;
    }
    Sent();
  }
}

TEST_F(FrameTest, LastReaderNumberReauthenticatesAndStillHandsTheReplyOver) {
  std::memcpy(g_SessionKey, kKey, 8);
  std::memcpy(g_SessionKeyParts[0], kAuthKeyA, 8);
  std::memcpy(g_SessionKeyParts[1], kAuthKeyB, 8);
  std::memcpy(g_SessionKeyParts[2], kAuthKeyC, 8);
  g_bSecureMode = 1;
  g_nSequence = 5;
  // The re-authentication's challenge is refused, so the session key stays.
  std::vector<Bytes> heard;
  std::thread reader = Answer(
      {Sealed(Block(0xFFFF, 3, {0xA1, 0xA2, 0xA3}, 8)), WithCheck({0x28, 0x00, 0x02, 0x6A, 0x82})},
      &heard);
  const Bytes command{0x2C, 0x00, 0x02, 0x06, 0x01, 0x00};
  uint8_t reply[32];
  EXPECT_EQ(Exchange(command, reply, sizeof reply), 6);
  reader.join();
  EXPECT_EQ(Bytes(reply, reply + 6), (Bytes{0x2C, 0x00, 0x03, 0xA1, 0xA2, 0xA3}));
  EXPECT_EQ(g_nSequence, 0);
  EXPECT_EQ(g_nReaderError, 0x6A82);
  EXPECT_EQ(std::memcmp(g_SessionKey, kKey, 8), 0);
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[1], (Bytes{0x28, 0x00, 0x04, 0x00, 0x81, 0x00, 0x00, 0xAD}));
}

TEST_F(FrameTest, BoundedWaitGivesUpWhileAnExchangeHoldsTheLink) {
  const Bytes challenge{0x28, 0x00, 0x04, 0x00, 0x81, 0x00, 0x00, 0x00};
  const Bytes indicator{0x08, 0x00, 0x09, 0x00, 0x0B, 0x02, 0x00, 0x04, 0, 0, 0, 0, 0};
  Watchdog watchdog(port_, std::chrono::seconds(3));
  int first = 99;
  std::thread worker([&] {
    uint8_t r[14];
    first = Exchange(challenge, r, sizeof r);
  });
  // Once the challenge is on the wire the worker holds the link, waiting for its reply.
  const Bytes heard = Heard();
  EXPECT_EQ(heard, WithCheck({0x28, 0x00, 0x04, 0x00, 0x81, 0x00, 0x00}));
  uint8_t r[6];
  const int busy = ReaderTransceiveWithin(port_, indicator.data(),
                                          static_cast<int>(indicator.size()), r, sizeof r, 100);
  EXPECT_EQ(busy, 0);
  EXPECT_TRUE(Sent().empty()) << "nothing goes out while the link is busy";
  Queue(WithCheck({0x28, 0x00, 0x02, 0x90, 0x00}));
  worker.join();
  EXPECT_EQ(first, 6);

  Queue(WithCheck({0x08, 0x00, 0x02, 0x90, 0x00}));
  EXPECT_EQ(ReaderTransceiveWithin(port_, indicator.data(), static_cast<int>(indicator.size()), r,
                                   sizeof r, 100),
            6);
  EXPECT_EQ(Sent(), WithCheck(Bytes(indicator.begin(), indicator.end() - 1)));
}

}  // namespace
}  // namespace tarn::iccr
