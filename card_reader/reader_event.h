// Platform stand-ins of the worker: an auto-reset event and a joinable thread.
#pragma once

#include <functional>
#include <memory>

namespace tarn::iccr {

// Auto-reset: each Set releases exactly one Wait (or the next one to come).
class ReaderEvent {
 public:
  ReaderEvent();
  ~ReaderEvent();
  ReaderEvent(const ReaderEvent&) = delete;
  ReaderEvent& operator=(const ReaderEvent&) = delete;

  bool Set();
  // True when signalled within `ms` milliseconds; consumes the signal.
  bool Wait(int ms);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class PlatformThread {
 public:
  // Starts `body` at once; check started() for the outcome.
  explicit PlatformThread(std::function<unsigned()> body);
  ~PlatformThread();  // joins when still joinable
  PlatformThread(const PlatformThread&) = delete;
  PlatformThread& operator=(const PlatformThread&) = delete;

  bool started() const;
  // True once the body has returned.
  bool finished() const;
  // Waits without limit for the body to return; returns its exit code.
  unsigned Join();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

void PlatformSleepMs(int ms);

}  // namespace tarn::iccr
