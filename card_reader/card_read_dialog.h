// The touch-a-card dialog; it is also the reader worker whose reports it shows.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "denso_reader.h"
#include "dialog.h"

namespace tarn::iccr {

class CICCardReadDlg : public DialogCallbacks, public CDensoReader {
 public:
  // How long the closing indicator command may take, waiting for its turn on the link
  // included; after that the link is closed anyway, which ends the command.
  static constexpr int kIndicatorWaitMs = 2000;

  explicit CICCardReadDlg(std::unique_ptr<DialogHost> host = CreateDialogHost());
  ~CICCardReadDlg() override;

  int DoModal();

  bool OnInitDialog() override;
  void OnTimer(unsigned id) override;
  void OnCancel() override;

  void OnReaderStatus(const char* text) override;
  void OnCardRead(const char* idText, const char* dataText) override;

  // Drops every character the C locale's isspace accepts (blank, \t \n \v \f \r).
  static void RemoveSpaces(std::string& text);

  // A consistent copy for the host's thread.
  std::string CardId() const;

  std::string m_strCardId;  // guarded by m_lock
  std::string m_strTitle;
  int m_nCount = 0;  // guarded by m_lock
  unsigned m_nTimer = 0;

 private:
  void FinishRead();
  // The worker has ended (or never got ready): no indicator; close what is open and end.
  void FinishWithoutReader();
  void SendClosingIndicator(std::unique_ptr<PlatformThread>& sender);

  std::unique_ptr<DialogHost> m_pHost;
  mutable std::mutex m_lock;
  bool m_bFinishing = false;
};

}  // namespace tarn::iccr
