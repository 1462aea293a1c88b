#include "reader_worker.h"

namespace tarn::iccr {

std::atomic<CDensoInterface*> g_pReader{nullptr};

CThreadT<1>::~CThreadT() {
  m_hThread.reset();
}

CThreadImpl::~CThreadImpl() {
  Stop();
}

bool CThreadImpl::Start() {
  if (m_hThread) {
    // One thread per object: a body still running keeps its handle.
    if (!m_hThread->finished()) return false;
    m_hThread.reset();
  }
  m_bStop = false;
  auto thread = std::make_unique<PlatformThread>([this] { return ThreadEntry(this); });
  if (!thread->started()) return false;
  m_hThread = std::move(thread);
  return true;
}

void CThreadImpl::Stop() {
  if (!m_hThread) return;
  m_bStop = true;
  m_bSuspended = false;  // threads here are never created suspended
  m_hThread->Join();
  m_hThread.reset();
}

unsigned CThreadImpl::Run() {
  return 0;
}

unsigned CThreadImpl::ThreadEntry(CThreadImpl* self) {
  // Nothing may leave the thread as an exception (it would end the process).
  try {
    return self->Run();
  } catch (...) {
    return 0;
  }
}

CDensoInterface::CDensoInterface() : m_hEvent(std::make_unique<ReaderEvent>()) {}

CDensoInterface::~CDensoInterface() = default;

void CDensoInterface::OnReaderStatus(const char* /*text*/) {}

void CDensoInterface::OnCardRead(const char* /*idText*/, const char* /*dataText*/) {}

int GetReaderPort() {
  CDensoInterface* reader = g_pReader.load();
  return reader != nullptr ? reader->m_nPort.load() : -1;
}

bool WaitReaderEvent(int ms) {
  CDensoInterface* reader = g_pReader.load();
  if (reader == nullptr || !reader->m_hEvent) return false;
  return reader->m_hEvent->Wait(ms);
}

bool SignalReaderEvent() {
  CDensoInterface* reader = g_pReader.load();
  if (reader == nullptr || !reader->m_hEvent) return false;
  return reader->m_hEvent->Set();
}

void SleepMs(int ms) {
  PlatformSleepMs(ms);
}

}  // namespace tarn::iccr
