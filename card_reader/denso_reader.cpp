#include "denso_reader.h"

#include <chrono>

#include "reader_sequence.h"
#include "serial_link.h"

namespace tarn::iccr {

CDensoReader::~CDensoReader() {
  // Join while this object is still whole: the worker calls its overrides.
  StopWorker();
}

void CDensoReader::StopWorker() {
  // A link still open means no one told the worker to stop, and it polls for ever.
  if (m_nPort >= 0) {
    Signal();
    ComClose(m_nPort);
    m_nPort = -1;
  }
  Stop();
}

void CDensoReader::OnReaderStatus(const char* text) {
  m_bReady = (text != nullptr && text[0] != '\0') ? 1 : 0;
}

void CDensoReader::OnCardRead(const char* /*idText*/, const char* /*dataText*/) {}

unsigned CDensoReader::Run() {
  ReaderThreadMain(*this);
  return 0;
}

bool CDensoReader::WaitReady(int want, int limit_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (m_bReady.load() != want) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    SleepMs(kPollMs);
  }
  return true;
}

// The reader's own event: the same one the worker reaches through g_pReader once it runs,
// without trusting a pointer that a reader of an earlier call may have left.
void CDensoReader::Signal() {
  if (m_hEvent) m_hEvent->Set();
}

int CDensoReader::Open() {
  if (m_strPortName.empty()) return kOpenNoPortName;
  const int port = ComOpen(m_strPortName.c_str());
  if (port < 0) return kOpenLinkFailed;
  m_nPort = port;
  m_bReady = 0;
  if (!Start() || !WaitReady(1, kReadyWaitMs)) {
    // Closing the link ends whatever exchange the set-up waits in, so the join is short.
    ComClose(port);
    Stop();
    m_nPort = -1;
    return kOpenNotReady;
  }
  Signal();
  return 0;
}

int CDensoReader::Close() {
  Signal();
  if (m_nPort >= 0) ComClose(m_nPort);
  WaitReady(0, kEndWaitMs);
  m_nPort = -1;
  return 0;
}

}  // namespace tarn::iccr
