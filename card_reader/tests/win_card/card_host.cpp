// A host program for TarnIccr.dll as a spreadsheet macro uses it: loads the library, calls
// fnExcelStringFunc on its main thread, and meanwhile finds the dialog and message boxes on the
// screen as a user would, reads them and presses their buttons. The Linux tests steer it.
//
//   card_host DLL [COMMAND...]    the commands given here run first, then those on stdin
//
// Commands (one a line):
//   call N | call =HEX      calls the export with a null title, or with the title whose UTF-8
//                           bytes are HEX (possibly none), handed over in the ANSI code page
//   wait ID HEX             waits until control ID (0: the title) shows the text HEX
//   cancel                  waits for the dialog, then presses its Cancel button
//   ok                      waits for a message box, then presses its OK button
//   shot                    asks for a picture of the dialog; waits for one line back
//   exit                    ends the host once no call runs
//
// Lines out, each starting "card: " (Wine may print lines of its own):
//   ready THREADS                  loaded; THREADS: the process's threads now
//   calling ACP LOSSLESS           a call starts (LOSSLESS 0: the title lost characters)
//   shown MS                       the dialog became visible, MS after the call began
//   text MS ID =HEX                control ID showed a new text (ID 0: the title)
//   gone MS                        the dialog went off the screen
//   message MS =CAPTION =TEXT      a message box showed (texts as UTF-8 hex)
//   returned MS RESULT OUT THREADS_BEFORE THREADS_AFTER
//                                  OUT: "=" and the buffer's bytes up to its terminator as
//                                  hex, or "unterminated"; threads before and after the call
//   done COMMAND | shot X Y W H | error WHAT | stuck WHAT
//
// Every wait is bounded: what does not come in time is reported, and a call that does not
// return ends the process.
#include <windows.h>

#include <tlhelp32.h>  // after windows.h, which it needs

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using FnExcelStringFunc = int(__stdcall*)(const char*, char*);

constexpr int kIdentifierControl = 5000;
constexpr int kCountdownControl = 5001;
constexpr int kMessageTextControl = 0xFFFF;
constexpr auto kWaitLimit = std::chrono::seconds(30);
// Longer than any call can take: the dialog ends by itself after eleven seconds.
constexpr auto kCallLimit = std::chrono::seconds(90);
constexpr size_t kOutSize = 64;

std::mutex g_out_mutex;
HDESK g_desktop = nullptr;

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

bool FromHex(const std::string& hex, std::string& bytes) {
  auto nibble = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (hex.size() % 2 != 0) return false;
  bytes.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = nibble(hex[i]);
    const int lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes += static_cast<char>(hi << 4 | lo);
  }
  return true;
}

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

void Say(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_out_mutex);
  std::fputs(("card: " + line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

[[noreturn]] void Stuck(const std::string& what) {
  Say("stuck " + what);
  ExitProcess(3);
}

// A desktop of the host's own for all its threads: the prefix's default desktop may have been
// started by a program without a display, where no window can be made.
void UseOwnDesktop() {
  if (g_desktop == nullptr) {
    const std::wstring name = L"TarnCardHost" + std::to_wstring(GetCurrentProcessId());
    g_desktop = CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (g_desktop == nullptr) Stuck("desktop");
  }
  if (!SetThreadDesktop(g_desktop)) Stuck("thread desktop");
}

int ThreadCount() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

// The text the window holds, read without a message: the dialog's thread may be busy closing
// the reader, and what the screen shows is what the window holds.
std::wstring WindowText(HWND window) {
  wchar_t text[512] = {};
  InternalGetWindowText(window, text, 512);
  return text;
}

std::wstring ClassName(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

enum class Kind { kDialog, kMessageBox };

struct Search {
  Kind kind;
  HWND found;
};

// A visible dialog-class window of this process: the card dialog has the countdown line, a
// message box only its text control (the dialog's prompt has that id too).
HWND FindOwn(Kind kind) {
  Search search{kind, nullptr};
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid != GetCurrentProcessId() || !IsWindowVisible(window) ||
            ClassName(window) != L"#32770") {
          return TRUE;
        }
        const bool dialog = GetDlgItem(window, kCountdownControl) != nullptr;
        const bool box = !dialog && GetDlgItem(window, kMessageTextControl) != nullptr;
        if (s->kind == Kind::kDialog ? !dialog : !box) return TRUE;
        s->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitOwn(Kind kind) {
  const auto deadline = Clock::now() + kWaitLimit;
  while (Clock::now() < deadline) {
    if (HWND window = FindOwn(kind)) return window;
    Sleep(10);
  }
  return nullptr;
}

void Press(HWND window, int id) {
  PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
}

// What the main thread is asked to call, and when the running call began.
struct CallState {
  std::mutex mutex;
  bool requested = false;
  bool exit = false;
  bool null_title = false;
  std::string title_utf8;
  HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::atomic<bool> running{false};
  Clock::time_point began{};
};

CallState g_call;

long long MsSinceCall() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g_call.began).count();
}

// Each message box of the running call is reported once, by whichever thread sees it first:
// one that is pressed at once may be gone before the watcher looks again.
std::mutex g_boxes_mutex;
std::vector<HWND> g_boxes;

void ReportBox(HWND box) {
  std::lock_guard<std::mutex> lock(g_boxes_mutex);
  for (HWND b : g_boxes) {
    if (b == box) return;
  }
  g_boxes.push_back(box);
  const std::wstring text = WindowText(GetDlgItem(box, kMessageTextControl));
  Say("message " + std::to_string(MsSinceCall()) + " =" + Hex(Utf8(WindowText(box))) + " =" +
      Hex(Utf8(text)));
}

// Follows the windows of the running call and reports every change a user would see.
void Watch() {
  UseOwnDesktop();
  HWND dialog = nullptr;
  std::map<int, std::wstring> texts;
  bool was_running = false;
  for (;;) {
    const bool running = g_call.running.load();
    if (running && !was_running) {
      dialog = nullptr;
      texts.clear();
    }
    was_running = running;
    if (!running) {
      Sleep(20);
      continue;
    }
    // Ending the dialog hides it at once; it is destroyed when its modal loop has seen that.
    if (dialog != nullptr && !IsWindowVisible(dialog)) {
      Say("gone " + std::to_string(MsSinceCall()));
      dialog = nullptr;
    }
    if (dialog == nullptr) {
      if (HWND found = FindOwn(Kind::kDialog)) {
        dialog = found;
        texts.clear();
        Say("shown " + std::to_string(MsSinceCall()));
      }
    }
    if (dialog != nullptr) {
      const long long at = MsSinceCall();
      std::vector<std::pair<int, std::wstring>> now = {{0, WindowText(dialog)}};
      for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
           child = GetWindow(child, GW_HWNDNEXT)) {
        now.emplace_back(static_cast<short>(GetDlgCtrlID(child)), WindowText(child));
      }
      for (const auto& [id, text] : now) {
        auto it = texts.find(id);
        if (it != texts.end() && it->second == text) continue;
        texts[id] = text;
        Say("text " + std::to_string(at) + " " + std::to_string(id) + " =" + Hex(Utf8(text)));
      }
    }
    if (HWND box = FindOwn(Kind::kMessageBox)) ReportBox(box);
    Sleep(10);
  }
}

bool ReadLine(std::string& line) {
  char buffer[4096];
  if (std::fgets(buffer, sizeof buffer, stdin) == nullptr) return false;
  line = buffer;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return true;
}

void RequestCall(bool null_title, const std::string& title) {
  std::lock_guard<std::mutex> lock(g_call.mutex);
  g_call.requested = true;
  g_call.null_title = null_title;
  g_call.title_utf8 = title;
  SetEvent(g_call.wake);
}

void RequestExit() {
  std::lock_guard<std::mutex> lock(g_call.mutex);
  g_call.exit = true;
  SetEvent(g_call.wake);
}

// Runs one command; false once the host is to end.
bool Command(const std::string& line) {
  std::istringstream words(line);
  std::string verb;
  words >> verb;
  if (verb == "call") {
    std::string arg;
    words >> arg;
    std::string title;
    if (arg == "N") {
      RequestCall(true, "");
    } else if (!arg.empty() && arg[0] == '=' && FromHex(arg.substr(1), title)) {
      RequestCall(false, title);
    } else {
      Say("error bad call");
    }
  } else if (verb == "wait") {
    int id = 0;
    std::string hex;
    std::string want;
    words >> id >> hex;
    if (!FromHex(hex, want)) {
      Say("error bad wait");
      return true;
    }
    const auto deadline = Clock::now() + kWaitLimit;
    for (;;) {
      HWND dialog = FindOwn(Kind::kDialog);
      if (dialog != nullptr) {
        const std::wstring text = WindowText(id == 0 ? dialog : GetDlgItem(dialog, id));
        if (Utf8(text) == want) break;
      }
      if (Clock::now() >= deadline) {
        Say("error text never came");
        return true;
      }
      Sleep(10);
    }
    Say("done wait");
  } else if (verb == "cancel" || verb == "ok") {
    const bool cancel = verb == "cancel";
    HWND window = WaitOwn(cancel ? Kind::kDialog : Kind::kMessageBox);
    if (window == nullptr) {
      Say(std::string("error no ") + (cancel ? "dialog" : "message box"));
      return true;
    }
    if (!cancel) ReportBox(window);
    Press(window, cancel ? IDCANCEL : IDOK);
    Say("done " + verb);
  } else if (verb == "shot") {
    HWND dialog = FindOwn(Kind::kDialog);
    if (dialog == nullptr) {
      Say("error no dialog");
      return true;
    }
    // What a control shows now reaches the screen at the dialog's next paint.
    Sleep(150);
    RECT rect{};
    GetWindowRect(dialog, &rect);
    Say("shot " + std::to_string(rect.left) + " " + std::to_string(rect.top) + " " +
        std::to_string(rect.right - rect.left) + " " + std::to_string(rect.bottom - rect.top));
    std::string ack;
    if (!ReadLine(ack)) return false;
    Say("done shot");
  } else if (verb == "exit") {
    return false;
  } else if (!verb.empty()) {
    Say("error unknown command " + verb);
  }
  return true;
}

void Commands(std::vector<std::string> script) {
  UseOwnDesktop();
  bool go_on = true;
  for (const auto& line : script) {
    if (go_on) go_on = Command(line);
  }
  std::string line;
  while (go_on && ReadLine(line)) go_on = Command(line);
  RequestExit();
}

// The title as a host program hands it over: in the ANSI code page.
std::string AnsiTitle(const std::string& utf8, bool& lossless) {
  lossless = true;
  const std::wstring wide = WideFromUtf8(utf8);
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  BOOL lossy = FALSE;
  BOOL* lossy_flag = GetACP() == CP_UTF8 ? nullptr : &lossy;
  const int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string ansi(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), size, ansi.data(), n, nullptr, lossy_flag);
  lossless = !lossy;
  return ansi;
}

void RunCall(FnExcelStringFunc read_card, bool null_title, const std::string& title_utf8) {
  bool lossless = true;
  const std::string title = AnsiTitle(title_utf8, lossless);
  Say("calling " + std::to_string(GetACP()) + " " + (lossless ? "1" : "0"));
  char out[kOutSize];
  std::memset(out, 'X', sizeof out);
  out[sizeof out - 1] = '\0';
  const int before = ThreadCount();
  {
    std::lock_guard<std::mutex> lock(g_boxes_mutex);
    g_boxes.clear();
  }
  g_call.began = Clock::now();
  g_call.running = true;
  std::atomic<bool> returned{false};
  std::thread watchdog([&returned] {
    const auto deadline = Clock::now() + kCallLimit;
    while (!returned) {
      if (Clock::now() >= deadline) Stuck("call");
      Sleep(50);
    }
  });
  const int result = read_card(null_title ? nullptr : title.c_str(), out);
  const long long elapsed = MsSinceCall();
  returned = true;
  watchdog.join();
  // Let the watcher see the last state of the windows before it stops following them.
  Sleep(50);
  g_call.running = false;
  // An ended thread may take a moment to leave the process's list.
  int after = ThreadCount();
  const auto settle = Clock::now() + std::chrono::seconds(2);
  while (after > before && Clock::now() < settle) {
    Sleep(20);
    after = ThreadCount();
  }
  const void* end = std::memchr(out, '\0', sizeof out);
  const std::string bytes =
      end != nullptr
          ? "=" + Hex(std::string(out, static_cast<size_t>(static_cast<const char*>(end) - out)))
          : "unterminated";
  Say("returned " + std::to_string(elapsed) + " " + std::to_string(result) + " " + bytes + " " +
      std::to_string(before) + " " + std::to_string(after));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Say("error usage: card_host DLL [COMMAND...]");
    return 2;
  }
  UseOwnDesktop();
  const std::wstring dll = WideFromUtf8(argv[1]);
  HMODULE library = LoadLibraryW(dll.c_str());
  if (library == nullptr) {
    Say("error load " + std::to_string(GetLastError()));
    return 2;
  }
  // Through a plain function pointer: FARPROC's own type says nothing of the arguments.
  const auto plain = reinterpret_cast<void (*)()>(GetProcAddress(library, "fnExcelStringFunc"));
  const auto read_card = reinterpret_cast<FnExcelStringFunc>(plain);
  if (read_card == nullptr) {
    Say("error no fnExcelStringFunc");
    return 2;
  }
  std::thread watcher(Watch);
  watcher.detach();
  std::thread commands(Commands, std::vector<std::string>(argv + 2, argv + argc));
  commands.detach();
  // Both helper threads are running: the count the calls are measured against.
  Sleep(100);
  Say("ready " + std::to_string(ThreadCount()));
  for (;;) {
    WaitForSingleObject(g_call.wake, INFINITE);
    bool call = false;
    bool null_title = false;
    std::string title;
    {
      std::lock_guard<std::mutex> lock(g_call.mutex);
      if (g_call.exit && !g_call.requested) break;
      call = g_call.requested;
      g_call.requested = false;
      null_title = g_call.null_title;
      title = g_call.title_utf8;
    }
    if (call) RunCall(read_card, null_title, title);
    std::lock_guard<std::mutex> lock(g_call.mutex);
    if (g_call.exit) break;
  }
  Say("bye");
  // The helper threads wait on the screen and on stdin; the process ends without them.
  ExitProcess(0);
}
