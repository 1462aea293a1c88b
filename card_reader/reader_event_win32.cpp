// The worker's event, thread and sleep on Win32 and the C runtime's thread start.
#include <process.h>
#include <windows.h>

#include <cstdint>
#include <utility>

#include "reader_event.h"

namespace tarn::iccr {

struct ReaderEvent::Impl {
  HANDLE event = nullptr;  // null when it could not be made: nothing is ever signalled
};

ReaderEvent::ReaderEvent() : impl_(std::make_unique<Impl>()) {
  impl_->event = CreateEventA(nullptr, FALSE, FALSE, nullptr);  // auto-reset, unsignalled
}

ReaderEvent::~ReaderEvent() {
  if (impl_->event != nullptr) CloseHandle(impl_->event);
}

bool ReaderEvent::Set() {
  return impl_->event != nullptr && SetEvent(impl_->event) != FALSE;
}

bool ReaderEvent::Wait(int ms) {
  if (impl_->event == nullptr) return false;
  const DWORD limit = ms < 0 ? INFINITE : static_cast<DWORD>(ms);
  return WaitForSingleObject(impl_->event, limit) == WAIT_OBJECT_0;
}

struct PlatformThread::Impl {
  std::function<unsigned()> body;
  HANDLE thread = nullptr;

  static unsigned __stdcall Entry(void* self) {
    // Returning ends the thread as _endthreadex would, after the locals are destroyed.
    return static_cast<Impl*>(self)->body();
  }
};

PlatformThread::PlatformThread(std::function<unsigned()> body) : impl_(std::make_unique<Impl>()) {
  impl_->body = std::move(body);
  const uintptr_t thread = _beginthreadex(nullptr, 0, &Impl::Entry, impl_.get(), 0, nullptr);
  impl_->thread = reinterpret_cast<HANDLE>(thread);
}

PlatformThread::~PlatformThread() {
  if (impl_->thread == nullptr) return;
  WaitForSingleObject(impl_->thread, INFINITE);
  CloseHandle(impl_->thread);
}

bool PlatformThread::started() const {
  return impl_->thread != nullptr;
}

bool PlatformThread::finished() const {
  return impl_->thread != nullptr && WaitForSingleObject(impl_->thread, 0) == WAIT_OBJECT_0;
}

unsigned PlatformThread::Join() {
  if (impl_->thread == nullptr) return 0;
  WaitForSingleObject(impl_->thread, INFINITE);
  DWORD code = 0;
  GetExitCodeThread(impl_->thread, &code);
  return code;
}

void PlatformSleepMs(int ms) {
  Sleep(ms > 0 ? static_cast<DWORD>(ms) : 0);  // 0 gives up the rest of the time slice
}

}  // namespace tarn::iccr
