// The worker's event, thread and sleep on the C++ runtime's threads.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "reader_event.h"

namespace tarn::iccr {

struct ReaderEvent::Impl {
  std::mutex mutex;
  std::condition_variable cv;
  bool signalled = false;
};

ReaderEvent::ReaderEvent() : impl_(std::make_unique<Impl>()) {}
ReaderEvent::~ReaderEvent() = default;

bool ReaderEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->signalled = true;
  }
  impl_->cv.notify_one();
  return true;
}

bool ReaderEvent::Wait(int ms) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  const auto ready = [this] { return impl_->signalled; };
  if (ms < 0) {
    impl_->cv.wait(lock, ready);  // a negative time stands for no limit, as INFINITE does
  } else if (!impl_->cv.wait_for(lock, std::chrono::milliseconds(ms), ready)) {
    return false;
  }
  impl_->signalled = false;
  return true;
}

struct PlatformThread::Impl {
  std::thread thread;
  std::mutex mutex;
  bool finished = false;
  unsigned exit_code = 0;
};

PlatformThread::PlatformThread(std::function<unsigned()> body) : impl_(std::make_unique<Impl>()) {
  Impl* impl = impl_.get();
  try {
    impl->thread = std::thread([impl, body = std::move(body)]() {
      const unsigned code = body();
      std::lock_guard<std::mutex> lock(impl->mutex);
      impl->exit_code = code;
      impl->finished = true;
    });
  } catch (const std::system_error&) {
    // started() reports it
  }
}

PlatformThread::~PlatformThread() {
  if (impl_->thread.joinable()) impl_->thread.join();
}

bool PlatformThread::started() const {
  return impl_->thread.joinable() || finished();
}

bool PlatformThread::finished() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->finished;
}

unsigned PlatformThread::Join() {
  if (impl_->thread.joinable()) impl_->thread.join();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->exit_code;
}

void PlatformSleepMs(int ms) {
  if (ms <= 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace tarn::iccr
