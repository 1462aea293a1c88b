// The Windows serial link under Wine: the probe opens COM ports of the Wine prefix that are
// linked to pseudo-terminals, on which this side plays the reader (by hand, or through the
// reader simulator). Each case links COM numbers of its own, so cases may run side by side.
#include <termios.h>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "reader_sim.h"
#include "wine_probe.h"

namespace tarn::iccr {
namespace {

using std::chrono::milliseconds;
using wine::Clock;
using wine::ComPort;
using wine::Hex;
using wine::Numbers;
using wine::Probe;
using wine::PtyPair;
using wine::RunProbe;

// type | length (2, big-endian) | body | XOR of all before it
std::string Frame(std::uint8_t type, const std::string& body) {
  std::string frame;
  frame += static_cast<char>(type);
  frame += static_cast<char>(body.size() >> 8);
  frame += static_cast<char>(body.size() & 0xFF);
  frame += body;
  char check = 0;
  for (const char c : frame) check = static_cast<char>(check ^ c);
  return frame + check;
}

const std::string kReaderInfo = Frame(0x08, std::string("\x00\x05\x00\x00", 4));

// Fields of a probe line, empty ones kept ("0  35" -> {"0", "", "35"}).
std::vector<std::string> Fields(const std::string& rest) {
  std::vector<std::string> out(1);
  for (const char c : rest) {
    if (c == ' ') {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

TEST(SerialLinkWin32, OpensComNamesOfAnyNumber) {
  TARN_REQUIRE_WINE();
  PtyPair five;
  PtyPair twelve;
  ASSERT_TRUE(five.ok() && twelve.ok());
  ComPort com5(5, five.slave());
  ComPort com12(12, twelve.slave());
  ASSERT_TRUE(com5.linked() && com12.linked());

  struct Case {
    const char* name;
    bool opens;
  };
  // From COM10 up only the device path reaches a port: the bare name is a file name.
  const std::vector<Case> cases = {
      {"COM5", true},        {"COM12", true},  {"com12", true},   {"\\\\.\\COM12", true},
      {"\\\\.\\com5", true}, {"COM98", false}, {"COM12X", false}, {"", false},
  };
  std::vector<std::string> args{"open"};
  for (const auto& c : cases) args.push_back(c.name);
  const Probe probe = RunProbe(args);
  const auto opened = probe.Values("open");
  ASSERT_EQ(opened.size(), cases.size()) << probe.Transcript();
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    const auto fields = Fields(opened[i]);
    ASSERT_EQ(fields.size(), 2u) << opened[i];
    EXPECT_EQ(fields[0], cases[i].name);
    if (cases[i].opens) {
      EXPECT_GE(std::stoi(fields[1]), 0);
    } else {
      EXPECT_EQ(fields[1], "-1");
    }
  }
}

TEST(SerialLinkWin32, SecondOpenFailsAndClosedHandlesTransferNothing) {
  TARN_REQUIRE_WINE();
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ComPort port(13, pty.slave());
  const Probe probe = RunProbe({"exclusive", port.name()});
  const auto first = Numbers(probe.Value("first"));
  const auto again = Numbers(probe.Value("again"));
  ASSERT_EQ(first.size(), 1u) << probe.Transcript();
  ASSERT_EQ(again.size(), 1u) << probe.Transcript();
  EXPECT_GE(first[0], 0);
  EXPECT_EQ(probe.Value("second"), "-1");  // no sharing while the first holds the port
  EXPECT_GE(again[0], 0);                  // free again once closed
  EXPECT_NE(again[0], first[0]);           // and the closed handle is not handed out again
  EXPECT_EQ(probe.Value("closed-handle"), "0 0");
  EXPECT_EQ(probe.Value("unknown-handle"), "0 0");
}

TEST(SerialLinkWin32, FramesTravelToTheSimulatorAndBack) {
  TARN_REQUIRE_WINE();
  test::ReaderSim sim;
  ComPort port(14, sim.device());
  ASSERT_TRUE(port.linked());
  struct Case {
    const char* what;
    std::string command;
    size_t reply_size;
  };
  std::string bad_check = kReaderInfo;
  bad_check.back() = static_cast<char>(bad_check.back() ^ 0x01);
  // The security setting carries 0x11, the XON character, in both directions.
  const std::vector<Case> cases = {
      {"reader information", kReaderInfo, 26},
      {"setting written", Frame(0x08, std::string("\x00\x85\x00\x00\x03\x00\x11\x00", 8)), 6},
      {"setting read back", Frame(0x08, std::string("\x00\x87\x00\x00", 4)), 9},
      {"bad check byte", bad_check, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim.ClearLog();
    const Probe probe =
        RunProbe({"exchange", port.name(), Hex(c.command), std::to_string(c.reply_size)});
    EXPECT_EQ(probe.Value("wrote"), std::to_string(c.command.size()));
    const auto log = sim.Log();
    ASSERT_EQ(log.size(), 2u) << probe.Transcript();
    EXPECT_EQ(log[0].direction, "rx");
    EXPECT_EQ(log[0].hex, Hex(c.command));
    EXPECT_EQ(log[1].direction, "tx");
    EXPECT_EQ(probe.Value("read"), log[1].hex);
    EXPECT_EQ(log[1].hex.size(), 2 * c.reply_size);
  }
}

// What the settings made of the line, read from the reader's side while the probe holds the
// port. A pseudo-terminal keeps everything but the parity bit; the parity check stays.
TEST(SerialLinkWin32, OpenSetsTheLineAsTheReaderWantsIt) {
  TARN_REQUIRE_WINE();
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ComPort port(21, pty.slave());
  Probe probe({"read", port.name(), "2000"});  // opens, holds the port 2 s, closes
  ASSERT_TRUE(probe.WaitFor("reading")) << probe.Transcript();
  termios tio{};
  ASSERT_TRUE(pty.Settings(tio));
  ASSERT_TRUE(probe.Finish()) << probe.Transcript();
  EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARODD | CSTOPB | CRTSCTS), 0u);
  EXPECT_NE(tio.c_iflag & INPCK, 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

// A pseudo-terminal starts with flow control, CR/LF mapping and echo on: the link must leave
// every byte value as it is, both ways.
TEST(SerialLinkWin32, EveryByteValuePassesUnchangedBothWays) {
  TARN_REQUIRE_WINE();
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ComPort port(15, pty.slave());
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);

  Probe probe({"exchange", port.name(), Hex(all), "256"});
  ASSERT_TRUE(probe.WaitFor("wrote")) << probe.Transcript();
  const std::string written = pty.Receive(all.size());
  pty.Send(all);  // the reader's answer: the same bytes again
  ASSERT_TRUE(probe.Finish()) << probe.Transcript();
  EXPECT_EQ(probe.Value("wrote"), "256");
  EXPECT_EQ(Hex(written), Hex(all));
  EXPECT_EQ(probe.Value("read"), Hex(all));
}

TEST(SerialLinkWin32, ReadEndsThirtyQuietMillisecondsAfterTheLastByte) {
  TARN_REQUIRE_WINE();
  struct Send {
    int pause_ms;  // before these bytes
    std::string bytes;
  };
  struct Case {
    const char* what;
    int delay_ms;  // before the probe's first read
    std::vector<int> sizes;
    std::vector<Send> sends;
    std::vector<std::string> reads;
  };
  const std::vector<Case> cases = {
      {"pieces 5 ms apart come back from one read",
       0,
       {64},
       {{0, std::string("\x02\x00", 2)}, {5, "\r\n"}, {5, "\x03\xff"}},
       {std::string("\x02\x00\r\n\x03\xff", 6)}},
      {"a gap ends the read with the bytes so far",
       0,
       {64, 64},
       {{0, "ab"}, {200, "cd"}},
       {"ab", "cd"}},
      {"the requested count ends the read", 500, {4, 64}, {{0, "0123456789"}}, {"0123", "456789"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    ComPort port(16, pty.slave());
    std::vector<std::string> args{"read", port.name(), std::to_string(c.delay_ms)};
    for (const int size : c.sizes) args.push_back(std::to_string(size));
    Probe probe(args);
    ASSERT_TRUE(probe.WaitFor("reading")) << probe.Transcript();
    // Without a delay the first read is by now waiting for its first byte.
    if (c.delay_ms == 0) std::this_thread::sleep_for(milliseconds(300));
    for (const auto& send : c.sends) {
      std::this_thread::sleep_for(milliseconds(send.pause_ms));
      pty.Send(send.bytes);
    }
    ASSERT_TRUE(probe.Finish()) << probe.Transcript();
    const auto reads = probe.Values("read");
    ASSERT_EQ(reads.size(), c.reads.size()) << probe.Transcript();
    for (size_t i = 0; i < reads.size(); ++i) {
      const auto fields = Fields(reads[i]);
      ASSERT_EQ(fields.size(), 3u) << reads[i];
      EXPECT_EQ(fields[1], Hex(c.reads[i])) << "read " << i;
    }
  }
}

// A reader that never answers: the close, from another thread, ends the read that waits for
// its first byte, and no thread of the link is left behind.
TEST(SerialLinkWin32, CloseReleasesAReadWaitingForItsFirstByte) {
  TARN_REQUIRE_WINE();
  struct Case {
    const char* what;
    bool simulator;
  };
  for (const Case& c : {Case{"line that stays quiet", false}, Case{"silent reader", true}}) {
    SCOPED_TRACE(c.what);
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    std::unique_ptr<test::ReaderSim> sim;
    if (c.simulator) sim = std::make_unique<test::ReaderSim>(std::vector<std::string>{"--silent"});
    ComPort port(c.simulator ? 18 : 17, c.simulator ? sim->device() : pty.slave());
    std::vector<std::string> args{"close-release", port.name()};
    if (c.simulator) args.push_back(Hex(kReaderInfo));
    const Probe probe = RunProbe(args);
    EXPECT_EQ(probe.Value("pending"), "1") << probe.Transcript();
    const auto released = Numbers(probe.Value("released"));
    const auto closed = Numbers(probe.Value("closed"));
    ASSERT_EQ(released.size(), 2u) << probe.Transcript();
    ASSERT_EQ(closed.size(), 2u) << probe.Transcript();
    EXPECT_EQ(released[0], 1) << "the read still waited 5 s after the close";
    EXPECT_EQ(closed[0], 1) << "the close did not return within 5 s";
    EXPECT_EQ(probe.Value("read"), "0");
    const auto threads = Numbers(probe.Value("threads"));
    ASSERT_EQ(threads.size(), 2u) << probe.Transcript();
    EXPECT_EQ(threads[1], threads[0]);
    std::cout << c.what << ": read released " << released[1] << " ms, close returned " << closed[1]
              << " ms after the close began\n";
  }
}

// The reader unplugged while a read waits for its reply: the read returns with nothing, so do
// the transfers after it, and the close still works.
TEST(SerialLinkWin32, UnpluggedReaderEndsTheWaitingRead) {
  TARN_REQUIRE_WINE();
  struct Case {
    const char* what;
    bool simulator;
  };
  for (const Case& c : {Case{"line closed", false}, Case{"simulator ended", true}}) {
    SCOPED_TRACE(c.what);
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    std::unique_ptr<test::ReaderSim> sim;
    if (c.simulator) sim = std::make_unique<test::ReaderSim>();
    ComPort port(c.simulator ? 20 : 19, c.simulator ? sim->device() : pty.slave());
    Probe probe({"unplug", port.name()});
    ASSERT_TRUE(probe.WaitFor("reading")) << probe.Transcript();
    std::this_thread::sleep_for(milliseconds(300));
    const auto unplugged = Clock::now();
    if (c.simulator) {
      sim->Terminate();
    } else {
      pty.CloseMaster();
    }
    const bool released = probe.WaitFor("released", milliseconds(20000));
    const auto after = std::chrono::duration_cast<milliseconds>(Clock::now() - unplugged);
    ASSERT_TRUE(released) << probe.Transcript();
    ASSERT_TRUE(probe.Finish()) << probe.Transcript();
    EXPECT_EQ(Numbers(probe.Value("released")).at(0), 1) << probe.Transcript();
    EXPECT_EQ(probe.Value("read"), "0");
    const auto again = Numbers(probe.Value("read-again"));
    ASSERT_EQ(again.size(), 3u) << probe.Transcript();
    EXPECT_EQ(again[0], 1) << "a read after the unplug waited";
    EXPECT_EQ(again[1], 0);
    EXPECT_EQ(probe.Value("write"), "0");
    const auto threads = Numbers(probe.Value("threads"));
    ASSERT_EQ(threads.size(), 2u) << probe.Transcript();
    EXPECT_EQ(threads[1], threads[0]);
    std::cout << c.what << ": read returned about " << after.count()
              << " ms after the unplug (as seen here), close took " << probe.Value("close")
              << " ms\n";
  }
}

}  // namespace
}  // namespace tarn::iccr
