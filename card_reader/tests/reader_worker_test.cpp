// The worker thread classes, the reader's event and the accessors through g_pReader.
#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "reader_worker.h"

namespace tarn::iccr {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Makes a reader the running one for the length of a case.
class RunningReader : public ::testing::Test {
 protected:
  void SetUp() override { g_pReader = &reader_; }
  void TearDown() override { g_pReader = nullptr; }
  CDensoInterface reader_;
};

TEST_F(RunningReader, WaitWithoutSignalTimesOut) {
  const auto start = Clock::now();
  EXPECT_FALSE(WaitReaderEvent(300));
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, milliseconds(280));
  EXPECT_LT(waited, milliseconds(3000));
}

TEST_F(RunningReader, OneSignalReleasesExactlyOneWait) {
  ASSERT_TRUE(SignalReaderEvent());  // kept until a wait comes
  const auto start = Clock::now();
  EXPECT_TRUE(WaitReaderEvent(1000));
  EXPECT_LT(Clock::now() - start, milliseconds(500));
  EXPECT_FALSE(WaitReaderEvent(50));

  // Two signals before any wait still count as one: the event is a flag, not a counter.
  SignalReaderEvent();
  SignalReaderEvent();
  EXPECT_TRUE(WaitReaderEvent(0));
  EXPECT_FALSE(WaitReaderEvent(0));
}

TEST_F(RunningReader, SignalWakesOneOfTwoWaitingThreads) {
  auto wait = [] { return WaitReaderEvent(600); };
  auto first = std::async(std::launch::async, wait);
  auto second = std::async(std::launch::async, wait);
  std::this_thread::sleep_for(milliseconds(50));
  const auto start = Clock::now();
  SignalReaderEvent();
  const int released = int{first.get()} + int{second.get()};
  EXPECT_EQ(released, 1);
  EXPECT_LT(Clock::now() - start, milliseconds(3000));
}

TEST_F(RunningReader, AccessorsReachTheRunningReader) {
  EXPECT_EQ(GetReaderPort(), -1);  // a new reader has no link
  reader_.m_nPort = 7;
  EXPECT_EQ(GetReaderPort(), 7);
}

TEST(ReaderAccessors, WithoutARunningReaderNothingHappens) {
  g_pReader = nullptr;
  EXPECT_EQ(GetReaderPort(), -1);
  EXPECT_FALSE(SignalReaderEvent());
  EXPECT_FALSE(WaitReaderEvent(10));
}

// A thread whose body the case chooses; Join exposes the exit code.
class TestThread : public CThreadImpl {
 public:
  explicit TestThread(std::function<unsigned(TestThread&)> body) : body_(std::move(body)) {}
  ~TestThread() override { Stop(); }
  unsigned Run() override { return body_(*this); }
  unsigned Join() { return m_hThread->Join(); }
  bool HasThread() const { return m_hThread != nullptr; }
  bool StopRequested() const { return m_bStop; }

 private:
  std::function<unsigned(TestThread&)> body_;
};

TEST(ThreadImpl, StopOnANeverStartedThreadDoesNothing) {
  std::atomic<bool> ran{false};
  TestThread thread([&](TestThread&) {
    ran = true;
    return 1u;
  });
  thread.Stop();
  EXPECT_FALSE(thread.HasThread());
  EXPECT_FALSE(ran);
  EXPECT_FALSE(thread.StopRequested());
}

TEST(ThreadImpl, BodyExitCodeAndThrowingBody) {
  TestThread returns([](TestThread&) { return 7u; });
  ASSERT_TRUE(returns.Start());
  EXPECT_EQ(returns.Join(), 7u);

  TestThread throws([](TestThread&) -> unsigned { throw std::runtime_error("body failed"); });
  ASSERT_TRUE(throws.Start());
  EXPECT_EQ(throws.Join(), 0u);

  TestThread throwsOther([](TestThread&) -> unsigned { throw 42; });
  ASSERT_TRUE(throwsOther.Start());
  EXPECT_EQ(throwsOther.Join(), 0u);
}

TEST(ThreadImpl, StopRequestsTheEndAndWaitsForIt) {
  std::atomic<bool> finished{false};
  TestThread thread([&](TestThread& self) {
    const auto deadline = Clock::now() + milliseconds(5000);
    while (!self.StopRequested() && Clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(1));
    finished = true;
    return 0u;
  });
  ASSERT_TRUE(thread.Start());
  EXPECT_FALSE(thread.StopRequested());
  const auto start = Clock::now();
  thread.Stop();
  EXPECT_TRUE(finished);
  EXPECT_LT(Clock::now() - start, milliseconds(3000));
  EXPECT_FALSE(thread.HasThread());
}

TEST(ThreadImpl, StartsAgainOnlyOnceTheBodyHasReturned) {
  std::atomic<int> runs{0};
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  TestThread thread([&](TestThread&) {
    ++runs;
    open.wait_for(milliseconds(5000));
    return 0u;
  });
  ASSERT_TRUE(thread.Start());
  EXPECT_FALSE(thread.Start());  // still running
  gate.set_value();
  EXPECT_EQ(thread.Join(), 0u);
  EXPECT_TRUE(thread.Start());
  thread.Stop();
  EXPECT_EQ(runs, 2);
}

}  // namespace
}  // namespace tarn::iccr
