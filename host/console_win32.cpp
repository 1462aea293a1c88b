// Windows console: the UTF-16 command line goes to the host as UTF-8; the standard streams write
// UTF-16 to a console and UTF-8 with CRLF line ends to a file or pipe; the hidden prompt clears
// ENABLE_ECHO_INPUT on CONIN$, and a console control handler sets it back on Ctrl-C, Ctrl-Break
// and closing. Ctrl-C and Ctrl-Break end the run with STATUS_CONTROL_C_EXIT.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "commands.h"
#include "console.h"

namespace tarn::host {

namespace {

static_assert(sizeof(TARN_WCHAR) == sizeof(wchar_t), "the exports' UTF-16 is wchar_t here");

// Lone surrogates have no UTF-8 form: they are dropped, so every text below converts.
std::wstring WithoutLoneSurrogates(const wchar_t* text, size_t size) {
  std::wstring out;
  out.reserve(size);
  for (size_t i = 0; i < size; ++i) {
    const wchar_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < size && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      out.push_back(c);
      out.push_back(text[++i]);
    } else if (c < 0xD800 || c > 0xDFFF) {
      out.push_back(c);
    }
  }
  return out;
}

std::string Utf8FromWide(const wchar_t* text, size_t size) {
  const std::wstring clean = WithoutLoneSurrogates(text, size);
  if (clean.empty()) return std::string();
  const int in = static_cast<int>(clean.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, clean.data(), in, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, clean.data(), in, &out[0], n, nullptr, nullptr);
  return out;
}

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int in = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), in, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), in, &out[0], n);
  return out;
}

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

void WriteConsoleText(HANDLE console, const std::wstring& text) {
  size_t done = 0;
  while (done < text.size()) {
    // Old consoles refuse large writes; 8 K units always pass.
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 8192));
    DWORD written = 0;
    if (!WriteConsoleW(console, text.data() + done, chunk, &written, nullptr) || written == 0) {
      return;
    }
    done += written;
  }
}

void WriteBytes(HANDLE file, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
    if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) return;
    done += written;
  }
}

// The length of `text` without a UTF-8 sequence cut off at its end.
size_t CompleteUtf8(const std::string& text) {
  size_t start = text.size();
  for (size_t back = 0; back < 4 && start > 0; ++back) {
    const unsigned char c = static_cast<unsigned char>(text[--start]);
    if ((c & 0xC0) == 0x80) continue;  // continuation byte
    const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return text.size() - start >= need ? text.size() : start;
  }
  return text.size();
}

// A standard stream of the host: UTF-8 text, written at each line's end and on flush, a
// character never cut in two between writes.
class StandardStreamBuf final : public std::streambuf {
 public:
  explicit StandardStreamBuf(DWORD which) : handle_(GetStdHandle(which)) {}
  ~StandardStreamBuf() override { Write(pending_.size()); }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    pending_.push_back(traits_type::to_char_type(c));
    if (traits_type::to_char_type(c) == '\n') Write(pending_.size());
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    pending_.append(s, static_cast<size_t>(n));
    if (pending_.find('\n') != std::string::npos) Write(CompleteUtf8(pending_));
    return n;
  }
  int sync() override {
    Write(CompleteUtf8(pending_));
    return 0;
  }

 private:
  void Write(size_t size) {
    if (size == 0) return;
    const std::string text = pending_.substr(0, size);
    pending_.erase(0, size);
    if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) return;
    if (IsConsole(handle_)) {
      WriteConsoleText(handle_, WideFromUtf8(text));
      return;
    }
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 16);
    for (const char c : text) {
      if (c == '\n') bytes.push_back('\r');
      bytes.push_back(c);
    }
    WriteBytes(handle_, bytes);
  }

  HANDLE handle_;
  std::string pending_;
};

// The console input being prompted on and its mode before, for the control handler.
std::atomic<HANDLE> g_prompt_input{nullptr};
std::atomic<DWORD> g_saved_mode{0};

// Installed for the whole run, on its own thread as the system calls it.
BOOL WINAPI OnConsoleControl(DWORD event) {
  const HANDLE input = g_prompt_input.exchange(nullptr);
  if (input != nullptr) SetConsoleMode(input, g_saved_mode);
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;  // the system ends us
  // Wine's own handler exits with 0: an interrupted command must never read as done.
  ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  ~OwnedHandle() {
    if (h_ != nullptr) CloseHandle(h_);
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

HANDLE OpenConsole(const wchar_t* name) {
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

WideString WideFromConsole(const std::string& text) {
  // The text came from UTF-16 (command line, environment, prompt) and is well formed.
  return WideFromUtf8(text);
}

std::string ConsoleFromWide(const TARN_WCHAR* text) {
  size_t size = 0;
  while (text[size] != 0) ++size;
  return Utf8FromWide(text, size);
}

bool EnvironmentValue(const char* name, std::string& value) {
  const std::wstring wide_name = WideFromUtf8(name);
  // The size asked first includes the terminator: 0 only when the variable is not set.
  const DWORD needed = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (needed == 0) return false;
  std::vector<wchar_t> buffer(needed);
  const DWORD n = GetEnvironmentVariableW(wide_name.c_str(), buffer.data(), needed);
  if (n >= needed) return false;
  value = Utf8FromWide(buffer.data(), n);
  return true;
}

bool PromptHidden(const char* prompt, std::string& answer) {
  answer.clear();
  OwnedHandle input(OpenConsole(L"CONIN$"));
  if (input.get() == nullptr) return false;
  DWORD mode = 0;
  if (!GetConsoleMode(input.get(), &mode)) return false;
  OwnedHandle output(OpenConsole(L"CONOUT$"));

  g_saved_mode = mode;
  g_prompt_input = input.get();
  SetConsoleMode(input.get(), (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT |
                                  ENABLE_PROCESSED_INPUT);
  FlushConsoleInputBuffer(input.get());
  if (output.get() != nullptr) WriteConsoleText(output.get(), WideFromUtf8(prompt));

  // Longer answers are read to the line's end but not kept: no export takes them anyway.
  constexpr size_t kMaxAnswer = 1024;
  std::wstring line;
  bool ended = false;
  // Each pass waits for the person's keys, not for time.
  while (!ended) {
    wchar_t buffer[256];
    DWORD n = 0;
    SetLastError(ERROR_SUCCESS);
    const BOOL ok = ReadConsoleW(input.get(), buffer, 256, &n, nullptr);
    if (n == 0) {
      if (GetLastError() != ERROR_OPERATION_ABORTED) break;
      // Ctrl-C ends the read before the control handler, on a thread of its own, ends the
      // process: the command must not go on with a cut password meanwhile.
      Sleep(2000);
      continue;
    }
    if (!ok) break;
    for (DWORD i = 0; i < n && !ended; ++i) {
      if (buffer[i] == L'\n') {
        ended = true;
      } else if (line.size() < kMaxAnswer) {
        line.push_back(buffer[i]);
      }
    }
  }
  if (!line.empty() && line.back() == L'\r') line.pop_back();
  g_prompt_input = nullptr;
  SetConsoleMode(input.get(), mode);
  if (output.get() != nullptr) WriteConsoleText(output.get(), L"\r\n");
  answer = Utf8FromWide(line.data(), line.size());
  return true;
}

bool ErrorIsTerminal() {
  return IsConsole(GetStdHandle(STD_ERROR_HANDLE));
}

}  // namespace tarn::host

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    size_t size = 0;
    while (argv[i][size] != 0) ++size;
    args.push_back(tarn::host::Utf8FromWide(argv[i], size));
  }
  std::vector<char*> narrow;
  for (std::string& a : args) narrow.push_back(&a[0]);
  narrow.push_back(nullptr);

  SetConsoleCtrlHandler(tarn::host::OnConsoleControl, TRUE);
  tarn::host::StandardStreamBuf out(STD_OUTPUT_HANDLE);
  tarn::host::StandardStreamBuf err(STD_ERROR_HANDLE);
  std::streambuf* const saved_out = std::cout.rdbuf(&out);
  std::streambuf* const saved_err = std::cerr.rdbuf(&err);
  const int status = tarn::host::RunHost(argc, narrow.data());
  std::cout.flush();
  std::cerr.flush();
  std::cout.rdbuf(saved_out);
  std::cerr.rdbuf(saved_err);
  return status;
}
