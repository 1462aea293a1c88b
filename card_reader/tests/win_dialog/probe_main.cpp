// The host program's side: a window of its own, the probe library's dialog and message boxes,
// and a watcher thread that finds them on the screen as a user would, reads them and presses
// their buttons. Output lines: "probe KEY HEX" (HEX: the value's UTF-8 bytes), "shot NAME X Y W H"
// (after which it waits for one line on standard input: the screenshot has been taken), and
// "probe error HEX" when something did not come in time.
//
//   win_dialog_probe template            the dialog template as the library holds it
//   win_dialog_probe dialog TITLE_HEX     count down, post an identifier, press Cancel
//   win_dialog_probe cancel TITLE_HEX     cancel posted from another thread
//   win_dialog_probe messages             both message boxes, owned and unowned
//   win_dialog_probe headless             dialog and message box where no window can be made
#include "dialog.h"
#include "probe_api.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using tarn::iccr::kCountdownControl;
using tarn::iccr::kIdentifierControl;
using Clock = std::chrono::steady_clock;

// Every wait of the watcher ends within this; the Linux side bounds the whole run as well.
constexpr auto kWaitLimit = std::chrono::seconds(30);
constexpr int kTemplate = 5000;

// Set once the modal call on the main thread has returned: nothing is left to wait for.
std::atomic<bool> g_returned{false};
// Every thread of the probe works on this desktop.
HDESK g_desktop = nullptr;

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), n);
  return out;
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string FromHex(const char* hex) {
  std::string out;
  for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
    out += static_cast<char>(std::strtol(std::string(hex + i, 2).c_str(), nullptr, 16));
  }
  return out;
}

void Report(const std::string& key, const std::string& value) {
  std::printf("probe %s %s\n", key.c_str(), Hex(value).c_str());
  std::fflush(stdout);
}

[[noreturn]] void Fail(const std::string& what) {
  Report("error", what);
  ExitProcess(3);
}

// A desktop of the probe's own. Wine starts a desktop's process with the environment of the
// program that first uses it: the default one may have been started by a program without a
// display, where no window can be made.
void UseOwnDesktop() {
  if (g_desktop == nullptr) {
    const std::wstring name = L"TarnDialogProbe" + std::to_wstring(GetCurrentProcessId());
    g_desktop = CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (g_desktop == nullptr) Fail("desktop");
  }
  if (!SetThreadDesktop(g_desktop)) Fail("thread desktop");
}

std::wstring WindowText(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

std::wstring ItemText(HWND dialog, int control) {
  wchar_t text[512] = {};
  GetDlgItemTextW(dialog, control, text, 512);
  return text;
}

std::wstring ClassName(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

// Asks the Linux side for a picture of `window` and waits until it has been taken.
void Shot(const char* name, HWND window) {
  RECT rect{};
  GetWindowRect(window, &rect);
  std::printf("shot %s %ld %ld %ld %ld\n", name, rect.left, rect.top, rect.right - rect.left,
              rect.bottom - rect.top);
  std::fflush(stdout);
  char ack[64];
  if (std::fgets(ack, sizeof ack, stdin) == nullptr) Fail("no answer to the shot");
}

struct Search {
  HWND exclude;
  HWND found;
};

// A visible dialog-class window of this process, other than `exclude`.
HWND FindOwnDialog(HWND exclude) {
  Search search{exclude, nullptr};
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid != GetCurrentProcessId() || window == s->exclude || !IsWindowVisible(window) ||
            ClassName(window) != L"#32770") {
          return TRUE;
        }
        s->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitForOwnDialog(HWND exclude, const char* what) {
  const auto deadline = Clock::now() + kWaitLimit;
  while (Clock::now() < deadline) {
    if (HWND window = FindOwnDialog(exclude)) return window;
    if (g_returned) Fail(std::string("returned without showing a window: ") + what);
    Sleep(20);
  }
  Fail(std::string("no window: ") + what);
}

void WaitGone(HWND window) {
  const auto deadline = Clock::now() + kWaitLimit;
  while (IsWindow(window)) {
    if (Clock::now() >= deadline) Fail("window stays");
    Sleep(20);
  }
}

std::string OwnerOf(HWND window, HWND host) {
  HWND owner = GetWindow(window, GW_OWNER);
  if (owner == nullptr) return "none";
  return owner == host ? "host" : "other";
}

// The host program's own top-level window, active on the main thread.
HWND CreateHostWindow() {
  WNDCLASSW cls{};
  cls.lpfnWndProc = DefWindowProcW;
  cls.hInstance = GetModuleHandleW(nullptr);
  cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  cls.lpszClassName = L"TarnProbeHost";
  RegisterClassW(&cls);
  HWND host = CreateWindowExW(0, cls.lpszClassName, L"Probe host", WS_OVERLAPPEDWINDOW, 20, 20, 520,
                              360, nullptr, nullptr, cls.hInstance, nullptr);
  if (host == nullptr) Fail("host window");
  ShowWindow(host, SW_SHOW);
  SetForegroundWindow(host);
  UpdateWindow(host);
  Report("host.active", GetActiveWindow() == host ? "1" : "0");
  return host;
}

// The title as a host program hands it over: in the ANSI code page.
std::string AnsiTitle(const char* utf8_hex) {
  const std::wstring wide = WideFromUtf8(FromHex(utf8_hex));
  Report("acp", std::to_string(GetACP()));
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  BOOL lossy = FALSE;
  BOOL* lossy_flag = GetACP() == CP_UTF8 ? nullptr : &lossy;
  const int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string ansi(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), size, ansi.data(), n, nullptr, lossy_flag);
  Report("title.lossless", lossy ? "0" : "1");
  return ansi;
}

void ReportControls(HWND dialog) {
  int index = 0;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    const int id = static_cast<short>(GetDlgCtrlID(child));
    Report("control." + std::to_string(index++),
           std::to_string(id) + " " + Utf8(ClassName(child)) + " " + Utf8(WindowText(child)));
  }
}

// Follows the countdown line until it shows `until`, reporting each text it showed.
void FollowCountdown(HWND dialog, const std::wstring& until) {
  const auto deadline = Clock::now() + kWaitLimit;
  std::wstring last = L"\x1";
  int index = 0;
  while (last != until) {
    if (Clock::now() >= deadline) Fail("countdown stopped");
    const std::wstring text = ItemText(dialog, kCountdownControl);
    if (text != last) Report("countdown." + std::to_string(index++), Utf8(text));
    last = text;
    Sleep(20);
  }
}

void WaitForText(HWND dialog, int control, const std::wstring& want) {
  const auto deadline = Clock::now() + kWaitLimit;
  while (ItemText(dialog, control) != want) {
    if (Clock::now() >= deadline) Fail("text never came");
    Sleep(20);
  }
}

void PressButton(HWND dialog, int id) {
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void RunDialog(const char* title_hex, bool posted_cancel) {
  HWND host = CreateHostWindow();
  const std::string title = AnsiTitle(title_hex);
  std::thread watcher([host, posted_cancel] {
    UseOwnDesktop();
    HWND dialog = WaitForOwnDialog(nullptr, "dialog");
    Report("dialog.class", Utf8(ClassName(dialog)));
    Report("dialog.owner", OwnerOf(dialog, host));
    Report("host.enabled.during", IsWindowEnabled(host) ? "1" : "0");
    FollowCountdown(dialog, L"9[s]");
    Report("dialog.title", Utf8(WindowText(dialog)));
    ReportControls(dialog);
    if (posted_cancel) {
      ProbePostCancel();
      return;
    }
    Shot("countdown", dialog);
    // As the reader worker reports a card: from a thread that is not the dialog's.
    ProbePostText(kIdentifierControl, "04a1b2c3d4e5f6");
    WaitForText(dialog, kIdentifierControl, L"04a1b2c3d4e5f6");
    Report("identifier", Utf8(ItemText(dialog, kIdentifierControl)));
    Shot("identifier", dialog);
    PressButton(dialog, IDCANCEL);
  });
  const int result = ProbeRunDialog(title.c_str());
  Report("dialog.result", std::to_string(result));
  g_returned = true;
  watcher.join();
  Report("host.enabled.after", IsWindowEnabled(host) ? "1" : "0");
  // With no dialog left these must go nowhere, and harmlessly.
  ProbePostText(kIdentifierControl, "late");
  ProbePostCancel();
  Report("posted.after.end", "ok");
  DestroyWindow(host);
}

std::string IconOf(HWND box) {
  for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) continue;
    const auto icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
    return icon == LoadIconW(nullptr, IDI_EXCLAMATION) ? "exclamation" : "other";
  }
  return "none";
}

std::string ButtonsOf(HWND box) {
  std::string buttons;
  for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (ClassName(child) != L"Button" || !IsWindowVisible(child)) continue;
    if (!buttons.empty()) buttons += ",";
    buttons += std::to_string(GetDlgCtrlID(child)) + ":" + Utf8(WindowText(child));
  }
  return buttons;
}

void RunMessages() {
  HWND host = CreateHostWindow();
  std::thread watcher([host] {
    UseOwnDesktop();
    HWND previous = nullptr;
    for (int n = 0; n < 3; ++n) {
      HWND box = WaitForOwnDialog(previous, "message box");
      const std::string key = "box." + std::to_string(n) + ".";
      Report(key + "caption", Utf8(WindowText(box)));
      Report(key + "text", Utf8(ItemText(box, 0xFFFF)));
      Report(key + "owner", OwnerOf(box, host));
      Report(key + "icon", IconOf(box));
      Report(key + "buttons", ButtonsOf(box));
      if (n < 2) Report(key + "host.enabled.during", IsWindowEnabled(host) ? "1" : "0");
      if (n == 1) Shot("message", box);
      PressButton(box, IDOK);
      WaitGone(box);
      previous = box;
    }
  });
  ProbeShowMessage(0, 0);
  ProbeShowMessage(1, -70);
  Report("host.enabled.after", IsWindowEnabled(host) ? "1" : "0");
  // With no window of its own active, the box belongs to nobody.
  DestroyWindow(host);
  ProbeShowMessage(0, 0);
  watcher.join();
}

// Where no window can be made, neither call may wait for a user who sees nothing.
void RunHeadless() {
  Report("dialog.result", std::to_string(ProbeRunDialog("IcCardReader")));
  ProbeShowMessage(0, 0);
  Report("message", "returned");
}

// Reads the sz_Or_Ord fields of a template: a string, or 0xFFFF and a number.
std::string TemplateField(const WORD*& p) {
  if (*p == 0xFFFF) {
    char text[16];
    std::snprintf(text, sizeof text, "#%u", p[1]);
    p += 2;
    return text;
  }
  std::wstring text;
  while (*p != 0) text += static_cast<wchar_t>(*p++);
  ++p;
  return Utf8(text);
}

std::string Dword(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value));
  return text;
}

// The template exactly as the library carries it, field by field.
void RunTemplate() {
  HMODULE library = GetModuleHandleW(L"dialog_host_probe.dll");
  if (library == nullptr) Fail("library not loaded");
  Report("template.in.program",
         FindResourceW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kTemplate), RT_DIALOG)
             ? "present"
             : "absent");
  std::string languages;
  EnumResourceLanguagesW(
      library, RT_DIALOG, MAKEINTRESOURCEW(kTemplate),
      [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) -> BOOL {
        auto* out = reinterpret_cast<std::string*>(param);
        if (!out->empty()) *out += ",";
        *out += std::to_string(language);
        return TRUE;
      },
      reinterpret_cast<LONG_PTR>(&languages));
  Report("template.languages", languages);
  HRSRC resource = FindResourceExW(library, RT_DIALOG, MAKEINTRESOURCEW(kTemplate),
                                   MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
  if (resource == nullptr) Fail("no template");
  const auto* dialog =
      static_cast<const DLGTEMPLATE*>(LockResource(LoadResource(library, resource)));
  const auto* p = reinterpret_cast<const WORD*>(dialog + 1);
  std::string text = "style=" + Dword(dialog->style) +
                     " exstyle=" + Dword(dialog->dwExtendedStyle) +
                     " at=" + std::to_string(dialog->x) + "," + std::to_string(dialog->y) +
                     " size=" + std::to_string(dialog->cx) + "x" + std::to_string(dialog->cy);
  text += " menu=" + TemplateField(p);
  text += " class=" + TemplateField(p);
  text += " caption=" + TemplateField(p);
  if (dialog->style & DS_SETFONT) {
    const WORD points = *p++;
    text += " font=" + std::to_string(points) + "," + TemplateField(p);
  }
  Report("template.dialog", text);
  for (int n = 0; n < dialog->cdit; ++n) {
    // Each item starts on a DWORD boundary.
    const auto offset = reinterpret_cast<UINT_PTR>(p);
    p = reinterpret_cast<const WORD*>((offset + 3) & ~static_cast<UINT_PTR>(3));
    const auto* item = reinterpret_cast<const DLGITEMTEMPLATE*>(p);
    p = reinterpret_cast<const WORD*>(item + 1);
    std::string line = "id=" + std::to_string(static_cast<short>(item->id));
    line += " class=" + TemplateField(p);
    line += " text=" + TemplateField(p);
    line += " at=" + std::to_string(item->x) + "," + std::to_string(item->y) +
            " size=" + std::to_string(item->cx) + "x" + std::to_string(item->cy) +
            " style=" + Dword(item->style) + " exstyle=" + Dword(item->dwExtendedStyle);
    const WORD extra = *p++;
    p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p) + extra);
    Report("template.item." + std::to_string(n), line);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  Report("start", mode);
  UseOwnDesktop();
  if (mode == "template") {
    RunTemplate();
  } else if ((mode == "dialog" || mode == "cancel") && argc > 2) {
    RunDialog(argv[2], mode == "cancel");
  } else if (mode == "messages") {
    RunMessages();
  } else if (mode == "headless") {
    RunHeadless();
  } else {
    Fail("usage");
  }
  Report("end", mode);
  return 0;
}
