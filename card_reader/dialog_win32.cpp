// The dialog from this library's template 5000, and message boxes, on the wide Win32 calls.
// dialog.h comes before <windows.h>: its IDOK and IDCANCEL constants would meet the macros.
#include "dialog.h"

#include <windows.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

// The host's members carry the plain names that <windows.h> turns into macros.
#undef SetWindowText
#undef SetDlgItemText

namespace tarn::iccr {
namespace {

constexpr WORD kTemplate = 5000;
// Texts posted from other threads wait in the host; this message tells the dialog to apply them.
constexpr UINT kApplyPosted = WM_APP + 1;
const wchar_t kCaption[] = L"TarnIccr";

// The module that holds this code: the template is ours, not the host program's.
HMODULE ThisModule() {
  static const char anchor = 0;
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&anchor), &module)) {
    return nullptr;
  }
  return module;
}

// The window the user works in on this thread. Owning our windows keeps them in front of it
// and disables it meanwhile, so the host cannot be used again in the middle of a call.
HWND OwnerWindow() {
  HWND window = GetActiveWindow();
  if (window == nullptr) {
    HWND foreground = GetForegroundWindow();
    if (foreground != nullptr &&
        GetWindowThreadProcessId(foreground, nullptr) == GetCurrentThreadId()) {
      window = foreground;
    }
  }
  // Both are top-level windows already. Not their root owner: when a modal form of the host
  // is active, that owner is disabled already and the form is the window to disable.
  return window;
}

std::wstring Wide(const std::string& text, UINT code_page) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(code_page, 0, text.data(), size, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), size, wide.data(), n);
  return wide;
}

class Win32DialogHost : public DialogHost {
 public:
  int DoModal(DialogCallbacks& callbacks) override {
    callbacks_ = &callbacks;
    const INT_PTR result = DialogBoxParamW(ThisModule(), MAKEINTRESOURCEW(kTemplate), OwnerWindow(),
                                           &DialogProc, reinterpret_cast<LPARAM>(this));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      window_ = nullptr;
      posted_.clear();
    }
    callbacks_ = nullptr;
    return static_cast<int>(result);
  }

  // The caller's title is in the ANSI code page; identifier and countdown are ASCII.
  void SetWindowText(const std::string& text) override {
    SetWindowTextW(dialog_, Wide(text, CP_ACP).c_str());
  }

  void SetDlgItemText(int control, const std::string& text) override {
    SetDlgItemTextW(dialog_, control, Wide(text, CP_ACP).c_str());
  }

  // A window's timer is known by the id it was given; 0 when it could not be set.
  unsigned SetTimer(unsigned id, unsigned ms) override {
    return ::SetTimer(dialog_, id, ms, nullptr) != 0 ? id : 0;
  }

  void KillTimer(unsigned id) override { ::KillTimer(dialog_, id); }

  void EndDialog(int result) override { ::EndDialog(dialog_, result); }

  // Posted, never sent: the dialog's thread may itself be waiting for the poster.
  void PostDlgItemText(int control, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (window_ == nullptr) return;
    const bool wake = posted_.empty();
    posted_.emplace_back(control, text);
    if (wake && !PostMessageW(window_, kApplyPosted, 0, 0)) posted_.pop_back();
  }

  void PostCancel() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (window_ != nullptr) PostMessageW(window_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  }

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
      auto* self = reinterpret_cast<Win32DialogHost*>(lparam);
      SetWindowLongPtrW(window, DWLP_USER, lparam);
      self->dialog_ = window;
      {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->window_ = window;
      }
      return self->callbacks_->OnInitDialog() ? TRUE : FALSE;
    }
    auto* self = reinterpret_cast<Win32DialogHost*>(GetWindowLongPtrW(window, DWLP_USER));
    if (self == nullptr || self->callbacks_ == nullptr) return FALSE;
    switch (message) {
      case WM_TIMER:
        self->callbacks_->OnTimer(static_cast<unsigned>(wparam));
        return TRUE;
      case WM_COMMAND:
        // The Cancel button, Esc and the close box all arrive as IDCANCEL.
        if (LOWORD(wparam) == IDCANCEL) {
          self->callbacks_->OnCancel();
          return TRUE;
        }
        return FALSE;
      case kApplyPosted:
        self->ApplyPosted();
        return TRUE;
      case WM_DESTROY: {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->window_ = nullptr;
        self->posted_.clear();
        return FALSE;
      }
      default:
        return FALSE;
    }
  }

  void ApplyPosted() {
    std::vector<std::pair<int, std::string>> texts;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      texts.swap(posted_);
    }
    for (const auto& [control, text] : texts) SetDlgItemText(control, text);
  }

  DialogCallbacks* callbacks_ = nullptr;
  // The dialog's own thread uses dialog_; other threads reach the window through window_.
  HWND dialog_ = nullptr;
  std::mutex mutex_;
  HWND window_ = nullptr;
  std::vector<std::pair<int, std::string>> posted_;
};

}  // namespace

std::unique_ptr<DialogHost> CreateDialogHost() {
  return std::make_unique<Win32DialogHost>();
}

// Wide literals, so the texts read right whatever the system's ANSI code page is.
void ShowMessageBox(Message message, int code) {
  std::wstring text = L"カードリーダーが接続されていません。";
  if (message == Message::kDiscoveryError) {
    text = L"例外が発生しました。Error(" + std::to_wstring(code) + L")";
  }
  MessageBoxW(OwnerWindow(), text.c_str(), kCaption, MB_OK | MB_ICONEXCLAMATION);
}

}  // namespace tarn::iccr
