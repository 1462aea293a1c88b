// The worker thread classes and the reader as the reading sequence sees it.
#pragma once

#include <atomic>
#include <memory>

#include "reader_event.h"

namespace tarn::iccr {

template <int t_bManaged>
class CThreadT;

// Owner of a thread handle.
template <>
class CThreadT<1> {
 public:
  CThreadT() = default;
  virtual ~CThreadT();
  CThreadT(const CThreadT&) = delete;
  CThreadT& operator=(const CThreadT&) = delete;

 protected:
  std::unique_ptr<PlatformThread> m_hThread;  // null when there is none
};

// A thread with a start, a stop (which joins) and an overridable body.
class CThreadImpl : public CThreadT<1> {
 public:
  ~CThreadImpl() override;
  virtual bool Start();
  virtual void Stop();
  virtual unsigned Run();

 protected:
  bool m_bSuspended = false;
  std::atomic<bool> m_bStop{false};

 private:
  static unsigned ThreadEntry(CThreadImpl* self);
};

// The reader as the reading sequence sees it: its event, its link and two notifications.
class CDensoInterface {
 public:
  CDensoInterface();
  virtual ~CDensoInterface();
  CDensoInterface(const CDensoInterface&) = delete;
  CDensoInterface& operator=(const CDensoInterface&) = delete;

  // Non-empty text: the reader is set up (its information as hex text); empty: it ended.
  virtual void OnReaderStatus(const char* text);
  // A card: identifier and data as "%02x " pairs (data may be empty).
  virtual void OnCardRead(const char* idText, const char* dataText);

  std::unique_ptr<ReaderEvent> m_hEvent;  // auto-reset, created unsignalled
  std::atomic<int> m_nPort{-1};
};

// The running reader; set by the reading sequence when its thread starts.
extern std::atomic<CDensoInterface*> g_pReader;

int GetReaderPort();
// True when the event was signalled within `ms` (which consumes the signal).
bool WaitReaderEvent(int ms);
bool SignalReaderEvent();
void SleepMs(int ms);

}  // namespace tarn::iccr
