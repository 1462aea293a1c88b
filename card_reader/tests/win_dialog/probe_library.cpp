// Stands in for the card-read logic inside a library of its own, so the dialog's template must
// come from this library's module and not from the host program.
#include <cstdio>
#include <memory>
#include <string>

#include "dialog.h"
#include "probe_api.h"

namespace tarn::iccr {
namespace {

// The countdown as the logic runs it; only Cancel ends it, so the host program sets the pace.
class ScriptedDialog : public DialogCallbacks {
 public:
  ScriptedDialog(DialogHost& host, std::string title) : host_(host), title_(std::move(title)) {}

  bool OnInitDialog() override {
    host_.SetWindowText(title_);
    timer_ = host_.SetTimer(kCountdownTimer, 1000);
    host_.SetDlgItemText(kCountdownControl, "");
    return true;
  }

  void OnTimer(unsigned id) override {
    if (id != kCountdownTimer || count_ == 0) return;
    --count_;
    char text[16];
    std::snprintf(text, sizeof text, "%d[s]", count_);
    host_.SetDlgItemText(kCountdownControl, text);
  }

  void OnCancel() override {
    host_.KillTimer(timer_);
    host_.EndDialog(IDOK);
  }

 private:
  DialogHost& host_;
  std::string title_;
  unsigned timer_ = 0;
  int count_ = 10;
};

// One host for every run, so that posts after a run has ended meet a host with no dialog.
DialogHost& Host() {
  static const std::unique_ptr<DialogHost> host = CreateDialogHost();
  return *host;
}

}  // namespace
}  // namespace tarn::iccr

using namespace tarn::iccr;

PROBE_API int ProbeRunDialog(const char* title) {
  ScriptedDialog dialog(Host(), title);
  return Host().DoModal(dialog);
}

PROBE_API void ProbePostText(int control, const char* text) {
  Host().PostDlgItemText(control, text);
}

PROBE_API void ProbePostCancel() {
  Host().PostCancel();
}

PROBE_API void ProbeShowMessage(int which, int code) {
  ShowMessageBox(which == 0 ? Message::kNoReader : Message::kDiscoveryError, code);
}
