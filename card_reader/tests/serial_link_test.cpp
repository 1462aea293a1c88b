// The serial link on a pseudo-terminal pair: the link opens the slave side, the test plays
// the reader on the master side.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "serial_link.h"
#include "serial_link_posix.h"

namespace tarn::iccr {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class PtyPair {
 public:
  PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name != nullptr) slave_ = name;
  }
  ~PtyPair() {
    if (master_ >= 0) close(master_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0 && !slave_.empty(); }
  int master() const { return master_; }
  const std::string& slave() const { return slave_; }

  void Send(const std::string& bytes) const {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What the link wrote, gathered until `count` bytes came or one second passed.
  std::string Receive(size_t count) const {
    std::string got;
    const auto deadline = Clock::now() + milliseconds(1000);
    while (got.size() < count && Clock::now() < deadline) {
      pollfd fd{master_, POLLIN, 0};
      if (poll(&fd, 1, 50) <= 0) continue;
      char buffer[256];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

// Opens the link on a fresh pair and closes it at the end of the case.
class SerialLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    port_ = ComOpen(pty_.slave().c_str());
    ASSERT_GE(port_, 0);
  }
  void TearDown() override {
    if (port_ >= 0) ComClose(port_);
  }
  std::string Read(int size) {
    std::string buffer(static_cast<size_t>(size), '\0');
    const int n = ComRead(port_, &buffer[0], size);
    buffer.resize(static_cast<size_t>(n > 0 ? n : 0));
    return buffer;
  }

  PtyPair pty_;
  int port_ = -1;
};

TEST(SerialLinkOpen, MissingDeviceGivesMinusOne) {
  EXPECT_EQ(ComOpen("/dev/tarn-no-such-port"), -1);
  EXPECT_EQ(ComOpen("tarn-no-such-port"), -1);  // looked for under /dev/
  EXPECT_EQ(ComOpen(""), -1);
  EXPECT_EQ(ComOpen(nullptr), -1);
  EXPECT_EQ(ComOpen("/dev/null"), -1);  // not a terminal
}

TEST(SerialLinkOpen, NameWithoutSlashIsUnderDev) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_EQ(pty.slave().compare(0, 5, "/dev/"), 0);
  const int port = ComOpen(pty.slave().c_str() + 5);  // "pts/N"
  ASSERT_GE(port, 0);
  ComClose(port);
}

TEST_F(SerialLinkTest, SecondOpenFailsUntilClosed) {
  EXPECT_EQ(ComOpen(pty_.slave().c_str()), -1);
  ComClose(port_);
  port_ = ComOpen(pty_.slave().c_str());
  EXPECT_GE(port_, 0);
}

void ExpectReaderLine(const termios& tio, bool parity_kept) {
  EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  if (parity_kept) {
    EXPECT_NE(tio.c_cflag & PARENB, 0u);
  }
  EXPECT_EQ(tio.c_cflag & PARODD, 0u);
  EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
  EXPECT_NE(tio.c_cflag & CREAD, 0u);
  EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
  EXPECT_NE(tio.c_iflag & INPCK, 0u);
  EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

TEST(SerialLinkSettings, AnyLineBecomesRaw9600EvenParityOneStopBit) {
  termios tio{};
  cfsetispeed(&tio, B115200);
  cfsetospeed(&tio, B115200);
  tio.c_cflag = CS7 | PARODD | CSTOPB | CRTSCTS;
  tio.c_iflag = ICRNL | IXON | IXOFF | ISTRIP;
  tio.c_lflag = ICANON | ECHO | ISIG;
  tio.c_oflag = OPOST;
  MakeReaderLine(tio);
  ExpectReaderLine(tio, true);
}

TEST_F(SerialLinkTest, OpenSetsTheLine) {
  // A pseudo-terminal keeps everything but parity. Root passes the exclusive lock; others
  // read the same settings through the master.
  termios tio{};
  const int slave = open(pty_.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_EQ(tcgetattr(slave >= 0 ? slave : pty_.master(), &tio), 0);
  if (slave >= 0) close(slave);
  ExpectReaderLine(tio, false);
}

TEST_F(SerialLinkTest, WritesReachTheReaderUnchanged) {
  const std::string frame("\x02\x00\x0a\r\n\x7f\xff", 7);
  EXPECT_EQ(ComWrite(port_, frame.data(), static_cast<int>(frame.size())), 7);
  EXPECT_EQ(pty_.Receive(frame.size()), frame);
}

TEST_F(SerialLinkTest, ReplyInPiecesComesBackFromOneRead) {
  std::thread reader([this] {
    pty_.Send(std::string("\x02\x00", 2));
    std::this_thread::sleep_for(milliseconds(10));
    pty_.Send("\r\n");
    std::this_thread::sleep_for(milliseconds(10));
    pty_.Send("\x03\xff");
  });
  const std::string got = Read(64);
  reader.join();
  EXPECT_EQ(got, std::string("\x02\x00\r\n\x03\xff", 6));
}

TEST_F(SerialLinkTest, GapEndsTheReadWithTheBytesSoFar) {
  std::thread reader([this] {
    pty_.Send("ab");
    std::this_thread::sleep_for(milliseconds(60));
    pty_.Send("cd");
  });
  const std::string first = Read(64);
  const std::string second = Read(64);
  reader.join();
  EXPECT_EQ(first, "ab");
  EXPECT_EQ(second, "cd");
}

TEST_F(SerialLinkTest, ReadEndsOnceTheRequestedCountArrived) {
  pty_.Send("0123456789");
  std::this_thread::sleep_for(milliseconds(20));  // all ten bytes wait in the queue
  EXPECT_EQ(Read(4), "0123");
  EXPECT_EQ(Read(64), "456789");
}

TEST_F(SerialLinkTest, CloseReleasesAReadWaitingInAnotherThread) {
  auto pending = std::async(std::launch::async, [this] {
    char buffer[16];
    return ComRead(port_, buffer, sizeof buffer);
  });
  // The read waits without limit for its first byte.
  EXPECT_EQ(pending.wait_for(milliseconds(100)), std::future_status::timeout);

  const auto start = Clock::now();
  auto closing = std::async(std::launch::async, [this] { ComClose(port_); });
  const bool closed = closing.wait_for(milliseconds(1000)) == std::future_status::ready;
  const bool released = pending.wait_for(milliseconds(1000)) == std::future_status::ready;
  if (!closed || !released) pty_.Send("x");  // let a stuck read go, so the case can end
  EXPECT_TRUE(closed);
  EXPECT_TRUE(released);
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_EQ(pending.get(), 0);
  closing.get();
  port_ = -1;
}

TEST_F(SerialLinkTest, ClosedOrUnknownHandleTransfersNothing) {
  const int closed = port_;
  ComClose(port_);
  port_ = -1;
  char buffer[4] = {'a', 'b', 'c', 'd'};
  for (const int handle : {closed, -1, 123456}) {
    SCOPED_TRACE(handle);
    EXPECT_EQ(ComRead(handle, buffer, sizeof buffer), 0);
    EXPECT_EQ(ComWrite(handle, buffer, sizeof buffer), 0);
    ComClose(handle);  // harmless
  }
}

TEST_F(SerialLinkTest, ReopenedLinkDoesNotReuseTheClosedHandle) {
  const int first = port_;
  ComClose(port_);
  port_ = ComOpen(pty_.slave().c_str());
  ASSERT_GE(port_, 0);
  EXPECT_NE(port_, first);
  char buffer[1];
  EXPECT_EQ(ComWrite(first, buffer, 1), 0);
}

}  // namespace
}  // namespace tarn::iccr
