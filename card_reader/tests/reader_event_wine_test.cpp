// The worker's Win32 event, thread and sleep under Wine, as the probe saw them.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "wine_probe.h"

namespace tarn::iccr {
namespace {

using wine::Numbers;
using wine::RunProbe;

TEST(ReaderEventWin32, AutoResetEventThreadsAndSleep) {
  TARN_REQUIRE_WINE();
  const wine::Probe probe = RunProbe({"event"});
  SCOPED_TRACE(probe.Transcript());

  // Without a signal the wait runs its time out.
  const auto timeout = Numbers(probe.Value("wait-timeout"));
  ASSERT_EQ(timeout.size(), 2u);
  EXPECT_EQ(timeout[0], 1);
  EXPECT_GE(timeout[1], 280);
  EXPECT_LT(timeout[1], 3000);

  // A signal is kept until one wait takes it; the next wait times out again.
  EXPECT_EQ(probe.Value("set"), "1");
  const auto first = Numbers(probe.Value("set-wait"));
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0], 1);
  EXPECT_LT(first[1], 500);
  EXPECT_EQ(probe.Value("second-wait"), "0");
  EXPECT_EQ(probe.Value("double-set"), "1 0");  // a flag, not a counter

  // One signal releases exactly one of two waiting threads, and reaches across threads.
  EXPECT_EQ(probe.Value("two-waiters"), "1");
  const auto cross = Numbers(probe.Value("cross-thread"));
  ASSERT_EQ(cross.size(), 2u);
  EXPECT_EQ(cross[0], 1);

  // Join waits for the body and returns its exit code, as often as asked.
  EXPECT_EQ(probe.Value("started"), "1");
  EXPECT_EQ(probe.Value("finished-early"), "0");
  EXPECT_EQ(probe.Value("join"), "7");
  EXPECT_EQ(probe.Value("finished"), "1");
  EXPECT_EQ(probe.Value("join-again"), "7");

  // A body that throws ends its thread with exit code 0.
  EXPECT_EQ(probe.Value("throwing-start"), "1");
  EXPECT_EQ(probe.Value("throwing-join"), "0");

  const auto sleep = Numbers(probe.Value("sleep"));
  ASSERT_EQ(sleep.size(), 1u);
  EXPECT_GE(sleep[0], 190);

  const auto threads = Numbers(probe.Value("threads"));
  ASSERT_EQ(threads.size(), 2u);
  EXPECT_EQ(threads[1], threads[0]);
}

}  // namespace
}  // namespace tarn::iccr
