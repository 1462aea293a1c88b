// The reader worker: one link, one event, one thread per card read.
#pragma once

#include <atomic>
#include <string>

#include "reader_worker.h"

namespace tarn::iccr {

class CDensoReader : public CDensoInterface, public CThreadImpl {
 public:
  // Open's failures besides the two the dialog knows: the worker could not be started, or the
  // reader did not report ready in time.
  static constexpr int kOpenNoPortName = -10;
  static constexpr int kOpenLinkFailed = -11;
  static constexpr int kOpenNotReady = -12;
  // Bounds of the two waits on the worker's status report, polled every kPollMs.
  static constexpr int kReadyWaitMs = 5000;
  static constexpr int kEndWaitMs = 5000;
  static constexpr int kPollMs = 250;

  CDensoReader() = default;
  ~CDensoReader() override;

  void OnReaderStatus(const char* text) override;
  void OnCardRead(const char* idText, const char* dataText) override;
  unsigned Run() override;

  // Opens the link, starts the worker, waits for its ready report and gives the start signal.
  // On any failure nothing is left running: the link is closed and the worker joined.
  int Open();
  // Gives the stop signal, closes the link and waits (bounded) for the worker's end report.
  int Close();

  std::atomic<int> m_bReady{0};
  std::string m_strPortName;

 protected:
  // Polls `m_bReady` until it equals `want` or `limit_ms` has passed.
  bool WaitReady(int want, int limit_ms);
  void Signal();
  // Ends the worker from any state: the stop signal and the link's close when it is still
  // open, then the join. For destructors.
  void StopWorker();
};

}  // namespace tarn::iccr
