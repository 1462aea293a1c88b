// The dialog's countdown and closing rules, driven tick by tick through a scripted dialog host,
// with a stand-in worker and a pseudo-terminal as the reader's port (this side answers the
// closing indicator command).
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <dirent.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "card_read_dialog.h"
#include "dialog.h"
#include "reader_sim.h"
#include "reader_worker.h"
#include "test_helpers.h"

namespace tarn::iccr {
namespace {

using Clock = std::chrono::steady_clock;

using helpers::ThreadCount;

// Delivers the timer as fast as the logic takes it; `before_tick` lets a case act between ticks.
class ScriptedHost : public DialogHost {
 public:
  std::function<void(int tick)> before_tick;

  int DoModal(DialogCallbacks& callbacks) override {
    callbacks.OnInitDialog();
    for (int tick = 1; !ended && tick <= 40; ++tick) {
      if (before_tick) before_tick(tick);
      ApplyPosted(callbacks);
      if (ended) break;
      if (timer_active) {
        ++ticks;
        callbacks.OnTimer(timer_id);
      }
    }
    return ended ? result : -99;
  }
  void SetWindowText(const std::string& text) override { title = text; }
  void SetDlgItemText(int control, const std::string& text) override {
    texts.emplace_back(control, text);
  }
  unsigned SetTimer(unsigned id, unsigned ms) override {
    timer_id = id;
    period_ms = ms;
    timer_active = true;
    return id;
  }
  void KillTimer(unsigned id) override {
    if (id == timer_id) timer_active = false;
  }
  void EndDialog(int value) override {
    result = value;
    ended = true;
  }
  void PostDlgItemText(int control, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.emplace_back(control, text);
  }
  void PostCancel() override {
    std::lock_guard<std::mutex> lock(mutex_);
    cancel_ = true;
  }

  std::vector<std::string> TextsOf(int control) const {
    std::vector<std::string> out;
    for (const auto& [id, text] : texts) {
      if (id == control) out.push_back(text);
    }
    return out;
  }

  std::string title;
  std::vector<std::pair<int, std::string>> texts;
  unsigned timer_id = 0;
  unsigned period_ms = 0;
  bool timer_active = false;
  bool ended = false;
  int result = 0;
  int ticks = 0;

 private:
  void ApplyPosted(DialogCallbacks& callbacks) {
    std::vector<std::pair<int, std::string>> posted;
    bool cancel = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      posted.swap(posted_);
      cancel = std::exchange(cancel_, false);
    }
    for (const auto& [id, text] : posted) SetDlgItemText(id, text);
    if (cancel) callbacks.OnCancel();
  }

  std::mutex mutex_;
  std::vector<std::pair<int, std::string>> posted_;
  bool cancel_ = false;
};

// Lends a host that the test keeps to a dialog that wants to own its host.
class HostRef : public DialogHost {
 public:
  explicit HostRef(DialogHost& host) : host_(host) {}
  int DoModal(DialogCallbacks& callbacks) override { return host_.DoModal(callbacks); }
  void SetWindowText(const std::string& text) override { host_.SetWindowText(text); }
  void SetDlgItemText(int control, const std::string& text) override {
    host_.SetDlgItemText(control, text);
  }
  unsigned SetTimer(unsigned id, unsigned ms) override { return host_.SetTimer(id, ms); }
  void KillTimer(unsigned id) override { host_.KillTimer(id); }
  void EndDialog(int result) override { host_.EndDialog(result); }
  void PostDlgItemText(int control, const std::string& text) override {
    host_.PostDlgItemText(control, text);
  }
  void PostCancel() override { host_.PostCancel(); }

 private:
  DialogHost& host_;
};

// The reader's side of a pseudo-terminal: records command frames and answers each with a bare
// success reply of its type, so the closing indicator exchange ends at once.
class PtyReader {
 public:
  explicit PtyReader(bool answer = true) : answer_(answer) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    path_ = ptsname(master_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~PtyReader() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) close(master_);
  }
  const std::string& path() const { return path_; }
  std::vector<std::vector<unsigned char>> Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }

 private:
  void Serve() {
    std::vector<unsigned char> pending;
    while (!stop_) {
      pollfd fd{master_, POLLIN, 0};
      if (poll(&fd, 1, 20) <= 0 || !(fd.revents & POLLIN)) continue;
      unsigned char buffer[256];
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) continue;
      pending.insert(pending.end(), buffer, buffer + n);
      while (pending.size() >= 3) {
        const size_t length = 3u + (size_t{pending[1]} << 8 | pending[2]) + 1u;
        if (pending.size() < length) break;
        std::vector<unsigned char> frame(pending.begin(),
                                         pending.begin() + static_cast<long>(length));
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(length));
        {
          std::lock_guard<std::mutex> lock(mutex_);
          frames_.push_back(frame);
        }
        if (!answer_) continue;
        unsigned char reply[6] = {frame[0], 0x00, 0x02, 0x90, 0x00, 0x00};
        for (int i = 0; i < 5; ++i) reply[5] ^= reply[i];
        ssize_t written = write(master_, reply, sizeof reply);
        (void)written;
      }
    }
  }

  bool answer_;
  int master_ = -1;
  std::string path_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::vector<unsigned char>> frames_;
};

enum class Worker {
  kNormal,          // ready, start signal, stop signal, end report
  kEndsAfterStart,  // the session dies right after the start signal (a failed exchange)
  kNeverReady,      // the set-up fails: no report at all
};

// Stands in for the reading sequence on the worker thread; counts the signals it consumes.
class FakeWorkerDialog : public CICCardReadDlg {
 public:
  FakeWorkerDialog(std::unique_ptr<DialogHost> host, Worker worker)
      : CICCardReadDlg(std::move(host)), worker_(worker) {}
  ~FakeWorkerDialog() override { Stop(); }

  // A real session also ends when its link closes; this stand-in only counts signals, so it
  // must take the start signal before the dialog can send the stop signal, or the two merge.
  bool OnInitDialog() override {
    const bool shown = CICCardReadDlg::OnInitDialog();
    for (int i = 0; i < 1000 && m_bReady != 0 && !started_; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return shown;
  }

  unsigned Run() override {
    g_pReader = this;
    if (worker_ == Worker::kNeverReady) return 0;
    OnReaderStatus("00 11 22 ");
    if (m_hEvent->Wait(15000)) ++signals;
    started_ = true;
    if (worker_ == Worker::kNormal && m_hEvent->Wait(15000)) ++signals;
    OnReaderStatus("");
    return 0;
  }

  std::atomic<int> signals{0};

 private:
  Worker worker_;
  std::atomic<bool> started_{false};
};

struct CountdownCase {
  const char* name;
  Worker worker;
  int card_before_tick;    // 0: no card
  int cancel_before_tick;  // 0: no cancel
  int ticks;               // timer ticks delivered before the dialog ended
  const char* card_id;
  bool indicator;  // the closing indicator command is sent
  int signals;     // signals the worker consumed
};

void PrintTo(const CountdownCase& c, std::ostream* os) {
  *os << c.name;
}

class CountdownTest : public testing::TestWithParam<CountdownCase> {};

TEST_P(CountdownTest, EndsAsTheClosingRulesSay) {
  const CountdownCase& c = GetParam();
  PtyReader reader;
  ASSERT_FALSE(reader.path().empty());
  const int threads_before = ThreadCount();

  ScriptedHost scripted;
  ScriptedHost* host = &scripted;
  auto owned = std::make_unique<HostRef>(scripted);
  std::string id_after;
  int port_after = 0;
  int ready_after = 0;
  int signals = 0;
  {
    FakeWorkerDialog dialog(std::move(owned), c.worker);
    dialog.m_strPortName = reader.path();
    host->before_tick = [&](int tick) {
      if (tick == c.card_before_tick) {
        // From another thread, as the worker reports; the id carries every kind of blank.
        std::thread([&] { dialog.OnCardRead("04 a1\tb2\nc3\vd4\fe5\rf6 ", ""); }).join();
      }
      if (tick == c.cancel_before_tick) host->PostCancel();
      if (c.worker == Worker::kEndsAfterStart && tick == 1) {
        // Let the stand-in session end before counting goes on.
        for (int i = 0; i < 200 && dialog.m_bReady != 0; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
      }
    };
    EXPECT_EQ(dialog.DoModal(), IDOK);
    id_after = dialog.CardId();
    port_after = dialog.m_nPort;
    ready_after = dialog.m_bReady;
    signals = dialog.signals;
  }

  EXPECT_EQ(host->ticks, c.ticks);
  EXPECT_EQ(id_after, c.card_id);
  EXPECT_EQ(port_after, -1);
  EXPECT_EQ(ready_after, 0);
  EXPECT_EQ(signals, c.signals);
  EXPECT_EQ(host->title, "IcCardReader");
  EXPECT_EQ(host->period_ms, 1000u);
  EXPECT_FALSE(host->timer_active);

  // The countdown line: empty at first, then "%d[s]" for every tick delivered.
  std::vector<std::string> expected{""};
  int count = 10;
  for (int tick = 1; tick <= c.ticks; ++tick) {
    if (tick == c.card_before_tick) count = 1;
    --count;
    expected.push_back(std::to_string(count) + "[s]");
  }
  if (c.card_before_tick != 0) {
    EXPECT_EQ(host->TextsOf(kIdentifierControl), std::vector<std::string>{c.card_id});
  } else {
    EXPECT_TRUE(host->TextsOf(kIdentifierControl).empty());
  }
  EXPECT_EQ(host->TextsOf(kCountdownControl), expected);

  std::vector<std::vector<unsigned char>> frames = reader.Frames();
  if (c.indicator) {
    // Indicator to "ready": wire mode 0x02, timing 0 twice.
    const std::vector<unsigned char> want{0x08, 0x00, 0x09, 0x00, 0x0b, 0x02, 0x00,
                                          0x04, 0x00, 0x00, 0x00, 0x00, 0x0c};
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], want);
  } else {
    EXPECT_TRUE(frames.empty());
  }
  EXPECT_EQ(ThreadCount(), threads_before);
}

INSTANTIATE_TEST_SUITE_P(
    Dialog, CountdownTest,
    testing::Values(
        CountdownCase{"NoCardEndsOnEleventhTick", Worker::kNormal, 0, 0, 11, "", true, 2},
        CountdownCase{"CardEndsOnSecondTickAfterIt", Worker::kNormal, 4, 0, 5, "04a1b2c3d4e5f6",
                      false, 2},
        CountdownCase{"CardJustBeforeExpiry", Worker::kNormal, 11, 0, 12, "04a1b2c3d4e5f6", false,
                      2},
        CountdownCase{"CancelBeforeCard", Worker::kNormal, 0, 3, 2, "", true, 2},
        CountdownCase{"CancelAfterCard", Worker::kNormal, 2, 3, 2, "04a1b2c3d4e5f6", false, 2},
        CountdownCase{"CancelWithCardAtSameMoment", Worker::kNormal, 5, 5, 4, "04a1b2c3d4e5f6",
                      false, 2},
        CountdownCase{"ReaderGoneCountsToExpiry", Worker::kEndsAfterStart, 0, 0, 11, "", false, 1},
        CountdownCase{"ReaderGoneCancelEndsAtOnce", Worker::kEndsAfterStart, 0, 2, 1, "", false,
                      1}),
    [](const testing::TestParamInfo<CountdownCase>& param_info) { return param_info.param.name; });

TEST(DialogTitle, GivenTitleIsShownUnchanged) {
  PtyReader reader;
  ScriptedHost scripted;
  ScriptedHost* host = &scripted;
  auto owned = std::make_unique<HostRef>(scripted);
  FakeWorkerDialog dialog(std::move(owned), Worker::kNormal);
  dialog.m_strPortName = reader.path();
  dialog.m_strTitle = "社員証 [scan] ";
  host->before_tick = [&](int tick) {
    if (tick == 1) host->PostCancel();
  };
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_EQ(host->title, "社員証 [scan] ");
}

// Without a ready report the dialog must not wait forever: it ends before counting, the link is
// closed and the worker joined.
TEST(DialogOpen, ReaderNeverReadyEndsWithinTheBound) {
  PtyReader reader;
  const int threads_before = ThreadCount();
  ScriptedHost scripted;
  ScriptedHost* host = &scripted;
  auto owned = std::make_unique<HostRef>(scripted);
  const auto start = Clock::now();
  {
    FakeWorkerDialog dialog(std::move(owned), Worker::kNeverReady);
    dialog.m_strPortName = reader.path();
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(dialog.CardId(), "");
    EXPECT_EQ(dialog.m_nPort, -1);
  }
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(CDensoReader::kReadyWaitMs - 100));
  EXPECT_LT(waited, std::chrono::milliseconds(CDensoReader::kReadyWaitMs + 2000));
  EXPECT_EQ(host->ticks, 0);
  EXPECT_FALSE(host->timer_active);
  EXPECT_TRUE(reader.Frames().empty());
  EXPECT_EQ(ThreadCount(), threads_before);
}

// A reader that stops answering must not hold the dialog in its closing indicator command.
TEST(DialogClose, SilentReaderDoesNotHoldTheClosingIndicator) {
  PtyReader reader(/*answer=*/false);
  const int threads_before = ThreadCount();
  ScriptedHost host;
  host.before_tick = [&](int tick) {
    if (tick == 2) host.PostCancel();
  };
  std::chrono::steady_clock::duration finishing{};
  {
    FakeWorkerDialog dialog(std::make_unique<HostRef>(host), Worker::kNormal);
    dialog.m_strPortName = reader.path();
    const auto start = Clock::now();
    EXPECT_EQ(dialog.DoModal(), IDOK);
    finishing = Clock::now() - start;
    EXPECT_EQ(dialog.m_nPort, -1);
  }
  EXPECT_EQ(host.ticks, 1);
  EXPECT_LT(finishing, std::chrono::milliseconds(CICCardReadDlg::kIndicatorWaitMs + 1500));
  EXPECT_EQ(reader.Frames().size(), 1u);
  EXPECT_EQ(ThreadCount(), threads_before);
}

TEST(DialogOpen, PortFailuresEndTheDialogAtOnce) {
  struct Case {
    const char* port;
    int open_result;
  };
  for (const Case& c : {Case{"", CDensoReader::kOpenNoPortName},
                        Case{"/nonexistent/tarn-port", CDensoReader::kOpenLinkFailed}}) {
    SCOPED_TRACE(c.port);
    {
      CDensoReader reader;
      reader.m_strPortName = c.port;
      EXPECT_EQ(reader.Open(), c.open_result);
      EXPECT_EQ(reader.m_nPort, -1);
    }
    auto owned = std::make_unique<ScriptedHost>();
    ScriptedHost* host = owned.get();
    FakeWorkerDialog dialog(std::move(owned), Worker::kNormal);
    dialog.m_strPortName = c.port;
    const auto start = Clock::now();
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(host->ticks, 0);
    EXPECT_EQ(dialog.CardId(), "");
  }
}

// The platform's modal loop can end without the finishing step (it failed, or an exception
// left it): the reader is still stopped, or its destruction would wait for ever on a worker
// that polls for cards.
TEST(DialogEnd, LoopEndedWithoutFinishingStillStopsTheReader) {
  class LoopFails : public ScriptedHost {
   public:
    int DoModal(DialogCallbacks& callbacks) override {
      callbacks.OnInitDialog();
      return -1;
    }
  };
  test::ReaderSim sim;
  const int threads_before = ThreadCount();
  std::promise<int> ended;
  auto result = ended.get_future();
  const auto start = Clock::now();
  std::thread([&] {
    int modal = 0;
    {
      CICCardReadDlg dialog(std::make_unique<LoopFails>());
      dialog.m_strPortName = sim.device();
      modal = dialog.DoModal();
    }
    ended.set_value(modal);
  }).detach();
  if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "the dialog's destruction still waits for its worker";
    std::quick_exit(1);  // the waiting thread holds this test's locals
  }
  EXPECT_EQ(result.get(), -1);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  for (int i = 0; i < 100 && ThreadCount() != threads_before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(ThreadCount(), threads_before);
}

TEST(RemoveSpaces, DropsExactlyTheCLocaleBlanks) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"", ""},
      {"01 02 03 04 ", "01020304"},
      {" \t\n\v\f\r", ""},
      {"a\tb\nc\vd\fe\rf g", "abcdefg"},
      // Not blanks in the C locale: NUL-free control bytes and bytes above 0x7f stay.
      {"a\x1f"
       "b\xa0"
       "c\x85",
       "a\x1f"
       "b\xa0"
       "c\x85"},
  };
  for (const Case& c : cases) {
    std::string text = c.in;
    CICCardReadDlg::RemoveSpaces(text);
    EXPECT_EQ(text, c.out) << testing::PrintToString(c.in);
  }
}

}  // namespace
}  // namespace tarn::iccr
