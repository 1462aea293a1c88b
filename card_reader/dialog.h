// The modal dialog and message box as the card-read logic sees them. One implementation file
// per platform provides CreateDialogHost and ShowMessageBox.
#pragma once

#include <memory>
#include <string>

namespace tarn::iccr {

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int kIdentifierControl = 5000;
constexpr int kCountdownControl = 5001;
constexpr unsigned kCountdownTimer = 1;

// What the dialog logic implements; every call comes on the dialog's thread.
class DialogCallbacks {
 public:
  virtual ~DialogCallbacks() = default;
  virtual bool OnInitDialog() = 0;
  virtual void OnTimer(unsigned id) = 0;
  // The Cancel button, Esc, closing the window.
  virtual void OnCancel() = 0;
};

class DialogHost {
 public:
  virtual ~DialogHost() = default;

  // Runs the dialog on the calling thread until EndDialog; returns EndDialog's value, or -1
  // when the dialog cannot be created.
  virtual int DoModal(DialogCallbacks& callbacks) = 0;

  // The calls below are for the dialog's own thread, while DoModal runs.
  virtual void SetWindowText(const std::string& text) = 0;
  virtual void SetDlgItemText(int control, const std::string& text) = 0;
  // Delivers OnTimer(id) every `ms` on the dialog's thread; returns the timer's identifier.
  virtual unsigned SetTimer(unsigned id, unsigned ms) = 0;
  virtual void KillTimer(unsigned id) = 0;
  virtual void EndDialog(int result) = 0;

  // Safe from any thread and never waits for the dialog's thread: the update is applied on
  // the dialog's thread (dropped when no dialog runs by then).
  virtual void PostDlgItemText(int control, const std::string& text) = 0;
  // As if the user pressed Cancel; from any thread.
  virtual void PostCancel() = 0;
};

// The platform's dialog host (on Linux: the terminal, or headless without one).
std::unique_ptr<DialogHost> CreateDialogHost();

// The library's two fixed messages. Each platform file holds their texts in the form its
// message box shows right whatever the system's code page.
enum class Message {
  kNoReader,        // no reader connected
  kDiscoveryError,  // port discovery failed with `code`
};

// A modal message with an OK button, captioned with the library's name.
void ShowMessageBox(Message message, int code = 0);

// Watches the dialog that runs in this process; lets a test follow and steer it without a
// screen. Calls come on the dialog's thread, except posted texts, which are reported on the
// posting thread.
class DialogObserver {
 public:
  virtual ~DialogObserver() = default;
  // The window is about to show (after OnInitDialog); `host` is valid until OnDialogEnded.
  virtual void OnDialogShown(DialogHost& /*host*/) {}
  // Control 0 stands for the window title.
  virtual void OnDialogText(int /*control*/, const std::string& /*text*/) {}
  virtual void OnDialogEnded(int /*result*/) {}
};

// Installs (or with nullptr removes) the observer of every dialog run afterwards.
void SetDialogObserver(DialogObserver* observer);

}  // namespace tarn::iccr
