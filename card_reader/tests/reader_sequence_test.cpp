// The reading sequence on its worker thread against the reader simulator, with a test reader
// that records its two notifications.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "reader_frame.h"
#include "reader_sequence.h"
#include "reader_sim.h"
#include "serial_link.h"

namespace tarn::iccr {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class RecordingReader : public CDensoInterface {
 public:
  void OnReaderStatus(const char* text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    statuses_.emplace_back(text);
    changed_.notify_all();
  }
  void OnCardRead(const char* id, const char* data) override {
    std::lock_guard<std::mutex> lock(mutex_);
    cards_.emplace_back(id, data);
    changed_.notify_all();
  }
  bool WaitStatuses(size_t n, std::chrono::milliseconds limit = seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return statuses_.size() >= n; });
  }
  bool WaitCards(size_t n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return cards_.size() >= n; });
  }
  std::vector<std::string> statuses() {
    std::lock_guard<std::mutex> lock(mutex_);
    return statuses_;
  }
  std::vector<std::pair<std::string, std::string>> cards() {
    std::lock_guard<std::mutex> lock(mutex_);
    return cards_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> statuses_;
  std::vector<std::pair<std::string, std::string>> cards_;
};

// A reader session on its own thread, ended by closing the link.
class Session {
 public:
  explicit Session(const std::vector<std::string>& options = {}) : sim(options) {
    g_bSecureMode = 0;
    reader.m_nPort = ComOpen(sim.device().c_str());
    thread = std::thread([this] { result = ReaderThreadMain(reader); });
  }
  ~Session() { End(); }
  void End() {
    if (!thread.joinable()) return;
    ComClose(reader.m_nPort);
    thread.join();
  }
  void Request() { reader.m_hEvent->Set(); }

  test::ReaderSim sim;
  RecordingReader reader;
  std::thread thread;
  int result = 1;
};

bool IsIndicator(const test::ReaderFrameLogEntry& e, const char* mode_and_timing) {
  return e.direction == "rx" && e.type == 0x08 && e.ins == 0x0B && e.hex.size() >= 24 &&
         e.hex.substr(10, 2) + e.hex.substr(16, 8) == mode_and_timing;
}

TEST(ReaderSessionTest, ReportsReadyThenEndsWithTheEmptyReportWhenTheLinkCloses) {
  Session s;
  ASSERT_TRUE(s.reader.WaitStatuses(1));
  const std::string ready = s.reader.statuses()[0];
  EXPECT_EQ(ready.size(), 60u);
  EXPECT_EQ(ready.substr(0, 12), "44 45 4e 53 ");
  EXPECT_EQ(g_bSecureMode, 1) << "the session switches secure messaging on";
  s.End();
  EXPECT_EQ(s.reader.statuses(), (std::vector<std::string>{ready, ""}));
  EXPECT_LE(s.result, 0);
}

TEST(ReaderSessionTest, FailedAuthenticationEndsWithoutAnyReport) {
  test::ReaderSim sim;
  sim.Command({{"cmd", "fault"}, {"mode", "status"}, {"sw", "6300"}, {"ins", 0x83}});
  RecordingReader reader;
  reader.m_nPort = ComOpen(sim.device().c_str());
  const int result = ReaderThreadMain(reader);
  EXPECT_EQ(result, -1);
  EXPECT_TRUE(reader.statuses().empty());
  ComClose(reader.m_nPort);
}

struct CardCase {
  const char* name;
  const char* command;
  const char* id;  // nullptr: no report
  const char* data;
};

void PrintTo(const CardCase& c, std::ostream* os) {
  *os << c.name;
}

class IdentifierTest : public ::testing::TestWithParam<CardCase> {};

TEST_P(IdentifierTest, CardIsReportedAsHexText) {
  Session s;
  ASSERT_TRUE(s.reader.WaitStatuses(1));
  s.sim.Command(nlohmann::json::parse(GetParam().command));
  s.Request();
  if (GetParam().id != nullptr) {
    ASSERT_TRUE(s.reader.WaitCards(1, seconds(5)));
    const auto cards = s.reader.cards();
    EXPECT_EQ(cards[0].first, GetParam().id);
    EXPECT_EQ(cards[0].second, GetParam().data);
  } else {
    EXPECT_FALSE(s.reader.WaitCards(1, milliseconds(1500)));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cards, IdentifierTest,
    ::testing::Values(
        CardCase{"TypeA4", R"({"cmd":"card","kind":"A","uid":"01020304"})", "01 02 03 04 ", ""},
        CardCase{"TypeA7", R"({"cmd":"card","kind":"A","uid":"04a1b2c3d4e5f6"})",
                 "04 a1 b2 c3 d4 e5 f6 ", ""},
        CardCase{"TypeA10", R"({"cmd":"card","kind":"A","uid":"0102030405060708090a"})",
                 "01 02 03 04 05 06 07 08 09 0a ", ""},
        CardCase{"TypeASakNeverComplete",
                 R"({"cmd":"card","kind":"A","uid":"01020304","sak_always_incomplete":true})",
                 nullptr, ""},
        CardCase{"TypeB", R"({"cmd":"card","kind":"B","data":"50a1b2c3d4000000000000c1f0"})",
                 "50 a1 b2 c3 d4 00 00 00 00 00 00 c1 f0 ", ""},
        CardCase{"TypeBByteOneZero",
                 R"({"cmd":"card","kind":"B","data":"50000000000000000000000000"})", nullptr, ""},
        CardCase{
            "FeliCa",
            R"({"cmd":"card","kind":"F","idm":"0123456789abcdef","block":"00112233445566778899aabbccddeeff"})",
            "01 23 45 67 89 ab cd ef ", "00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff "},
        CardCase{"FeliCaBlockFails",
                 R"({"cmd":"card","kind":"F","idm":"0123456789abcdef","block_fails":true})",
                 "01 23 45 67 89 ab cd ef ", ""},
        CardCase{"FeliCaNoCardPrefix",
                 R"({"cmd":"card","kind":"F","idm":"0123456789abcdef","poll_prefix":"0002"})",
                 nullptr, ""}),
    [](const auto& c) { return std::string(c.param.name); });

TEST(ReaderSessionTest, UnreadableTypeAShowsTheErrorForTenCyclesAndGoesOnWithTypeB) {
  Session s;
  ASSERT_TRUE(s.reader.WaitStatuses(1));
  s.sim.Command(
      {{"cmd", "card"}, {"kind", "A"}, {"uid", "01020304"}, {"sak_always_incomplete", true}});
  s.Request();
  // Take the card away once the error shows, so the display can run its course.
  bool error_shown = false;
  for (int i = 0; i < 100 && !error_shown; ++i) {
    for (const auto& e : s.sim.Log()) error_shown = error_shown || IsIndicator(e, "0300640064");
    if (!error_shown) std::this_thread::sleep_for(milliseconds(20));
  }
  ASSERT_TRUE(error_shown);
  s.sim.Command({{"cmd", "remove"}});
  std::this_thread::sleep_for(milliseconds(4500));
  const auto log = s.sim.Log();
  // After the last error indicator: Type B in the same cycle, then nine more cycles until the
  // reading indicator returns.
  size_t last_error = 0;
  for (size_t i = 0; i < log.size(); ++i) {
    if (IsIndicator(log[i], "0300640064")) last_error = i;
  }
  int type_a_polls = 0;
  bool type_b_next = false;
  bool reading_again = false;
  for (size_t i = last_error + 1; i < log.size() && !reading_again; ++i) {
    if (log[i].direction != "rx") continue;
    if (!type_b_next && log[i].ins != 0x31) {
      ADD_FAILURE() << "Type B must follow the failed Type A, got " << log[i].hex;
    }
    type_b_next = true;
    if (log[i].ins == 0x41) ++type_a_polls;
    if (IsIndicator(log[i], "0300fa00fa")) reading_again = true;
  }
  EXPECT_TRUE(reading_again);
  EXPECT_EQ(type_a_polls, 9) << "the error lasts ten polling cycles";
  EXPECT_TRUE(s.reader.cards().empty());
}

TEST(ReaderSessionTest, SignalWhilePollingEndsTheRequestAtTheNextWait) {
  Session s;
  ASSERT_TRUE(s.reader.WaitStatuses(1));
  s.Request();
  std::this_thread::sleep_for(milliseconds(800));
  s.sim.ClearLog();
  s.Request();
  std::this_thread::sleep_for(milliseconds(700));
  const auto log = s.sim.Log();
  // The request ends: field off, then the ready indicator; no more polls after that.
  size_t end = log.size();
  for (size_t i = 0; i + 1 < log.size(); ++i) {
    if (log[i].direction == "rx" && log[i].ins == 0x11 && log[i].hex.substr(10, 2) == "00") {
      for (size_t j = i + 1; j < log.size(); ++j) {
        if (log[j].direction != "rx") continue;
        if (IsIndicator(log[j], "0200000000")) end = j;
        break;
      }
      if (end != log.size()) break;
    }
  }
  ASSERT_NE(end, log.size()) << "no field-off and ready indicator after the signal";
  EXPECT_LT(log[end].time - log.front().time, 0.45);
  for (size_t j = end + 1; j < log.size(); ++j) {
    EXPECT_NE(log[j].ins, 0x41) << "polling goes on after the request ended";
  }
}

}  // namespace
}  // namespace tarn::iccr
