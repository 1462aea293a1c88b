#include "card_read_dialog.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <utility>

#include "reader_event.h"
#include "reader_sequence.h"

namespace tarn::iccr {
namespace {

std::atomic<DialogObserver*> g_pObserver{nullptr};

// Reports what the dialog shows to the installed observer, whatever the platform's host.
class ObservedHost : public DialogHost, private DialogCallbacks {
 public:
  explicit ObservedHost(std::unique_ptr<DialogHost> inner) : inner_(std::move(inner)) {}

  int DoModal(DialogCallbacks& callbacks) override {
    callbacks_ = &callbacks;
    ended_ = false;
    const int result = inner_->DoModal(*this);
    if (DialogObserver* observer = g_pObserver.load()) observer->OnDialogEnded(result);
    return result;
  }
  void SetWindowText(const std::string& text) override {
    inner_->SetWindowText(text);
    if (DialogObserver* observer = g_pObserver.load()) observer->OnDialogText(0, text);
  }
  void SetDlgItemText(int control, const std::string& text) override {
    inner_->SetDlgItemText(control, text);
    if (DialogObserver* observer = g_pObserver.load()) observer->OnDialogText(control, text);
  }
  unsigned SetTimer(unsigned id, unsigned ms) override { return inner_->SetTimer(id, ms); }
  void KillTimer(unsigned id) override { inner_->KillTimer(id); }
  void EndDialog(int result) override {
    ended_ = true;
    inner_->EndDialog(result);
  }
  void PostDlgItemText(int control, const std::string& text) override {
    inner_->PostDlgItemText(control, text);
    if (DialogObserver* observer = g_pObserver.load()) observer->OnDialogText(control, text);
  }
  void PostCancel() override { inner_->PostCancel(); }

 private:
  bool OnInitDialog() override {
    const bool focus = callbacks_->OnInitDialog();
    if (!ended_) {
      if (DialogObserver* observer = g_pObserver.load()) observer->OnDialogShown(*this);
    }
    return focus;
  }
  void OnTimer(unsigned id) override { callbacks_->OnTimer(id); }
  void OnCancel() override { callbacks_->OnCancel(); }

  std::unique_ptr<DialogHost> inner_;
  DialogCallbacks* callbacks_ = nullptr;
  bool ended_ = false;
};

}  // namespace

void SetDialogObserver(DialogObserver* observer) {
  g_pObserver = observer;
}

CICCardReadDlg::CICCardReadDlg(std::unique_ptr<DialogHost> host)
    : m_pHost(std::make_unique<ObservedHost>(std::move(host))) {}

CICCardReadDlg::~CICCardReadDlg() {
  // The worker posts to the host: it must be gone before the host is. A modal loop that
  // ended without the finishing step left it running.
  StopWorker();
}

int CICCardReadDlg::DoModal() {
  return m_pHost->DoModal(*this);
}

bool CICCardReadDlg::OnInitDialog() {
  if (m_strTitle.empty()) m_strTitle = "IcCardReader";
  m_pHost->SetWindowText(m_strTitle);
  if (Open() != 0) {
    // No reader to wait for: end the way a dialog without a card ends.
    m_bFinishing = true;
    m_pHost->EndDialog(IDOK);
    return true;
  }
  m_nTimer = m_pHost->SetTimer(kCountdownTimer, 1000);
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_nCount = 10;
  }
  m_pHost->SetDlgItemText(kCountdownControl, "");
  return true;
}

void CICCardReadDlg::OnTimer(unsigned id) {
  if (id != kCountdownTimer) return;
  int count = 0;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    count = --m_nCount;
  }
  if (count < 0) OnCancel();
  {
    std::lock_guard<std::mutex> lock(m_lock);
    count = m_nCount;
  }
  char text[16];
  std::snprintf(text, sizeof text, "%d[s]", count);
  m_pHost->SetDlgItemText(kCountdownControl, text);
}

void CICCardReadDlg::OnCancel() {
  if (m_bFinishing) return;
  if (m_bReady != 0) {
    FinishRead();
  } else {
    FinishWithoutReader();
  }
}

void CICCardReadDlg::FinishRead() {
  m_bFinishing = true;
  m_pHost->KillTimer(m_nTimer);
  std::unique_ptr<PlatformThread> sender;
  if (CardId().empty()) SendClosingIndicator(sender);
  Close();
  // Closing the link ended the indicator exchange if it was still waiting.
  sender.reset();
  m_pHost->EndDialog(IDOK);
}

void CICCardReadDlg::FinishWithoutReader() {
  m_bFinishing = true;
  m_pHost->KillTimer(m_nTimer);
  if (m_nPort >= 0) Close();
  m_pHost->EndDialog(IDOK);
}

// The command runs beside this thread so that a reader that stops answering, or a worker
// that holds the link in a read without limit, cannot keep the dialog from closing.
void CICCardReadDlg::SendClosingIndicator(std::unique_ptr<PlatformThread>& sender) {
  const int port = GetReaderPort();
  auto done = std::make_shared<ReaderEvent>();
  sender = std::make_unique<PlatformThread>([port, done]() -> unsigned {
    SetIndicator(port, 1);
    done->Set();
    return 0;
  });
  if (sender->started()) done->Wait(kIndicatorWaitMs);
}

void CICCardReadDlg::OnReaderStatus(const char* text) {
  CDensoReader::OnReaderStatus(text);
}

void CICCardReadDlg::OnCardRead(const char* idText, const char* /*dataText*/) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_strCardId = idText != nullptr ? idText : "";
  RemoveSpaces(m_strCardId);
  // Handed over, never waited for: the dialog's thread may be closing the link right now.
  m_pHost->PostDlgItemText(kIdentifierControl, m_strCardId);
  m_nCount = 1;
}

void CICCardReadDlg::RemoveSpaces(std::string& text) {
  std::string kept;
  kept.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case ' ':
      case '\t':
      case '\n':
      case '\v':
      case '\f':
      case '\r':
        break;
      default:
        kept += c;
    }
  }
  text.swap(kept);
}

std::string CICCardReadDlg::CardId() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_strCardId;
}

}  // namespace tarn::iccr
