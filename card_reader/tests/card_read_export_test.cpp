// fnExcelStringFunc end to end: registry file, reader simulator on a pseudo-terminal, headless
// dialog followed (and cancelled) through the dialog observer.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dialog.h"
#include "reader_sim.h"
#include "tarn/tarn_iccr.h"
#include "test_helpers.h"

namespace tarn::iccr {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

using helpers::ThreadCount;

std::string ReaderRegistry(const std::string& friendly_name) {
  return "Windows Registry Editor Version 5.00\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000]\r\n"
         "\"FriendlyName\"=\"" +
         friendly_name + "\"\r\n";
}

// Follows the dialog from the test's thread: what it shows, and a way to press Cancel.
class DialogRecorder : public DialogObserver {
 public:
  struct Text {
    Clock::time_point when;
    int control;
    std::string text;
  };

  DialogRecorder() { SetDialogObserver(this); }
  ~DialogRecorder() override { SetDialogObserver(nullptr); }

  void OnDialogShown(DialogHost& host) override {
    std::lock_guard<std::mutex> lock(mutex_);
    host_ = &host;
    shown_ = true;
    shown_at_ = Clock::now();
    changed_.notify_all();
  }
  void OnDialogText(int control, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.push_back({Clock::now(), control, text});
    changed_.notify_all();
  }
  void OnDialogEnded(int /*result*/) override {
    std::lock_guard<std::mutex> lock(mutex_);
    host_ = nullptr;
    changed_.notify_all();
  }

  // Waits (bounded) until `control` has shown `text`; returns when it did.
  bool WaitText(int control, const std::string& text, Clock::time_point& when,
                Clock::duration limit = seconds(15)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
      for (const Text& t : texts_) {
        if (t.control == control && t.text == text) {
          when = t.when;
          return true;
        }
      }
      return false;
    });
  }
  bool Cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (host_ == nullptr) return false;
    host_->PostCancel();
    return true;
  }
  bool shown() {
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_;
  }
  Clock::time_point shown_at() {
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_at_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  DialogHost* host_ = nullptr;
  bool shown_ = false;
  Clock::time_point shown_at_{};
  std::vector<Text> texts_;
};

struct CallResult {
  int result = -1;
  std::string out;
  Clock::time_point ended;
};

class CardReadExport : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TARN_DIALOG", "headless", 1);
    char pattern[] = "/tmp/tarn-card-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    registry_ = dir_ + "/registry.reg";
    setenv("TARN_REGISTRY_FILE", registry_.c_str(), 1);
    threads_before_ = ThreadCount();
  }
  void TearDown() override {
    unlink(registry_.c_str());
    rmdir(dir_.c_str());
  }

  void WriteRegistry(const std::string& text) {
    std::ofstream(registry_, std::ios::binary) << text;
  }
  void NameReader(const test::ReaderSim& sim) {
    WriteRegistry(
        ReaderRegistry("DENSO WAVE Active USB-COM Port (" + sim.device() + ") Connected"));
  }

  // Runs the export on its own thread so the test can act while the dialog counts.
  std::future<CallResult> Start(const char* title = "") {
    return std::async(std::launch::async, [title] {
      CallResult call;
      char out[64];
      std::memset(out, 'X', sizeof out);
      out[sizeof out - 1] = '\0';
      call.result = fnExcelStringFunc(title, out);
      call.out = out;
      call.ended = Clock::now();
      return call;
    });
  }
  static CallResult Finish(std::future<CallResult>& call, Clock::duration limit) {
    if (call.wait_for(limit) != std::future_status::ready) {
      ADD_FAILURE() << "the export did not return in time";
      call.wait();  // the dialog ends by itself; do not leave the thread behind
    }
    return call.get();
  }

  // Indicator commands with wire mode 0x02 ("ready") after the first card poll.
  static int ReadyIndicatorsAfterPolling(const std::vector<test::ReaderFrameLogEntry>& log) {
    bool polling = false;
    int count = 0;
    for (const auto& entry : log) {
      if (entry.direction != "rx") continue;
      if (entry.type == 0x28 && entry.ins == 0x41) polling = true;
      if (polling && entry.type == 0x08 && entry.ins == 0x0b && entry.hex.size() >= 12 &&
          entry.hex.substr(10, 2) == "02") {
        ++count;
      }
    }
    return count;
  }

  std::string dir_;
  std::string registry_;
  int threads_before_ = 0;
};

bool LowerHexOnly(const std::string& text) {
  return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

struct CardCase {
  const char* name;
  const char* command;  // the simulator's card command
  const char* id;       // what the host receives
};

void PrintTo(const CardCase& c, std::ostream* os) {
  *os << c.name;
}

class CardKinds : public CardReadExport, public testing::WithParamInterface<CardCase> {};

TEST_P(CardKinds, CardLaidOnWhileCountingIsReturned) {
  test::ReaderSim sim;
  NameReader(sim);
  DialogRecorder dialog;
  auto call = Start();
  Clock::time_point counting;
  ASSERT_TRUE(dialog.WaitText(kCountdownControl, "9[s]", counting));
  sim.Command(nlohmann::json::parse(GetParam().command));
  Clock::time_point shown;
  ASSERT_TRUE(dialog.WaitText(kIdentifierControl, GetParam().id, shown, seconds(5)));
  CallResult r = Finish(call, seconds(10));

  EXPECT_EQ(r.out, GetParam().id);
  EXPECT_EQ(r.result, static_cast<int>(r.out.size()));
  EXPECT_TRUE(LowerHexOnly(r.out));
  // Shown for one to two ticks; closing adds at most one poll of the end report.
  EXPECT_GE(r.ended - shown, milliseconds(900));
  EXPECT_LE(r.ended - shown, milliseconds(2700));
  EXPECT_EQ(ReadyIndicatorsAfterPolling(sim.Log()), 1) << "only the reader's own, after the card";
  EXPECT_EQ(ThreadCount(), threads_before_);
}

INSTANTIATE_TEST_SUITE_P(
    Export, CardKinds,
    testing::Values(
        CardCase{"TypeA7", R"({"cmd":"card","kind":"A","uid":"04A1B2C3D4E5F6"})", "04a1b2c3d4e5f6"},
        CardCase{"TypeA10", R"({"cmd":"card","kind":"A","uid":"0102030405060708090A"})",
                 "0102030405060708090a"},
        CardCase{"TypeB", R"({"cmd":"card","kind":"B","data":"50A1B2C3D4000000000000C1F0"})",
                 "50a1b2c3d4000000000000c1f0"},
        CardCase{
            "FeliCa",
            R"({"cmd":"card","kind":"F","idm":"0123456789ABCDEF","block":"00112233445566778899AABBCCDDEEFF"})",
            "0123456789abcdef"}),
    [](const testing::TestParamInfo<CardCase>& param_info) { return param_info.param.name; });

TEST_F(CardReadExport, NoCardEndsAfterTheEleventhTickWithReadyIndicator) {
  test::ReaderSim sim;
  NameReader(sim);
  DialogRecorder dialog;
  auto call = Start();
  Clock::time_point last_tick;
  ASSERT_TRUE(dialog.WaitText(kCountdownControl, "0[s]", last_tick, seconds(20)));
  CallResult r = Finish(call, seconds(5));

  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.out, "");
  const auto counted = r.ended - dialog.shown_at();
  EXPECT_GE(counted, milliseconds(10900));
  EXPECT_LE(counted, milliseconds(13500));
  EXPECT_GE(ReadyIndicatorsAfterPolling(sim.Log()), 1);
  EXPECT_EQ(ThreadCount(), threads_before_);
}

TEST_F(CardReadExport, CancelBeforeCardEndsAtOnceWithReadyIndicator) {
  test::ReaderSim sim;
  NameReader(sim);
  DialogRecorder dialog;
  auto call = Start();
  Clock::time_point counting;
  ASSERT_TRUE(dialog.WaitText(kCountdownControl, "9[s]", counting));
  const auto cancelled = Clock::now();
  ASSERT_TRUE(dialog.Cancel());
  CallResult r = Finish(call, seconds(5));

  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_LE(r.ended - cancelled, milliseconds(1500));
  EXPECT_GE(ReadyIndicatorsAfterPolling(sim.Log()), 1);
  EXPECT_EQ(ThreadCount(), threads_before_);
}

TEST_F(CardReadExport, CancelAfterCardStillReturnsIt) {
  test::ReaderSim sim;
  NameReader(sim);
  DialogRecorder dialog;
  auto call = Start();
  Clock::time_point when;
  ASSERT_TRUE(dialog.WaitText(kCountdownControl, "9[s]", when));
  sim.Command({{"cmd", "card"}, {"kind", "A"}, {"uid", "01020304"}});
  ASSERT_TRUE(dialog.WaitText(kIdentifierControl, "01020304", when, seconds(5)));
  const auto cancelled = Clock::now();
  ASSERT_TRUE(dialog.Cancel());
  CallResult r = Finish(call, seconds(5));

  EXPECT_EQ(r.result, 8);
  EXPECT_EQ(r.out, "01020304");
  EXPECT_LE(r.ended - cancelled, milliseconds(1500));
  // The reader sends its own after the card unless the link closes first; the dialog none.
  EXPECT_LE(ReadyIndicatorsAfterPolling(sim.Log()), 1);
  EXPECT_EQ(ThreadCount(), threads_before_);
}

TEST_F(CardReadExport, DiscoveryFailuresShowTheirMessageAndNoDialog) {
  struct Case {
    std::string registry;
    std::string message;
  };
  const Case cases[] = {
      {ReaderRegistry("DENSO WAVE Active USB-COM Port (/dev/ttyUSB9)"),
       "TarnIccr: カードリーダーが接続されていません。\n"},
      {"Windows Registry Editor Version 5.00\r\n", "TarnIccr: 例外が発生しました。Error(-70)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    WriteRegistry(c.registry);
    DialogRecorder dialog;
    char out[8] = "keep";
    testing::internal::CaptureStderr();
    const int result = fnExcelStringFunc("t", out);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(out, "keep");
    EXPECT_FALSE(dialog.shown());
  }
  EXPECT_EQ(ThreadCount(), threads_before_);
}

TEST_F(CardReadExport, ReaderThatNeverAnswersEndsWithinTheReadyBound) {
  test::ReaderSim sim({"--silent"});
  NameReader(sim);
  DialogRecorder dialog;
  const auto start = Clock::now();
  auto call = Start();
  CallResult r = Finish(call, seconds(10));

  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_LE(r.ended - start, milliseconds(7000));
  EXPECT_FALSE(dialog.shown());
  EXPECT_EQ(ThreadCount(), threads_before_);
}

TEST_F(CardReadExport, ReaderGoneDuringTheReadEndsWithoutCard) {
  auto sim = std::make_unique<test::ReaderSim>();
  NameReader(*sim);
  DialogRecorder dialog;
  auto call = Start();
  Clock::time_point counting;
  ASSERT_TRUE(dialog.WaitText(kCountdownControl, "8[s]", counting));
  sim->Terminate();
  CallResult r = Finish(call, seconds(15));

  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_LE(r.ended - dialog.shown_at(), milliseconds(13500));
  EXPECT_EQ(ThreadCount(), threads_before_);
}

TEST_F(CardReadExport, TenCallsInARow) {
  test::ReaderSim sim;
  NameReader(sim);
  // The card lies on the reader from the start: every call reads it at its first poll.
  sim.Command({{"cmd", "card"},
               {"kind", "F"},
               {"idm", "0011223344556677"},
               {"block", "000102030405060708090a0b0c0d0e0f"}});
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    auto call = Start("batch");
    CallResult r = Finish(call, seconds(15));
    EXPECT_EQ(r.result, 16);
    EXPECT_EQ(r.out, "0011223344556677");
  }
  EXPECT_EQ(ThreadCount(), threads_before_);
}

}  // namespace
}  // namespace tarn::iccr
