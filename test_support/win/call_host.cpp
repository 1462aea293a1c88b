// Test host for the Windows libraries: loads a DLL and calls its exports as a host program
// would, steered line by line over standard input by the Linux tests.
//
// Every reply line starts with "@@ " so that it can be told from what Wine itself may print.
// On start: "@@ ready". Then one reply per command:
//   load HEX            LoadLibraryW of the full name (UTF-16LE hex)    -> @@ ok | @@ err CODE
//   call NAME ARG...    calls the export NAME                           -> @@ ok RESULT OUT...
//       w:HEX  const UTF-16 string of these code units, terminator added; "w" alone: null
//       a:HEX  const narrow string of these bytes, terminator added;     "a" alone: null
//       b:HEX  UTF-16 in/out buffer of exactly these code units;         "b" alone: null
//       o:HEX  narrow in/out buffer of exactly these bytes;              "o" alone: null
//       i:N    int
//     OUT: one "b:HEX" / "o:HEX" per buffer, as the call left it ("b" / "o" for a null one).
//     A call that writes past a buffer answers "@@ err overrun N" (N: the argument, from 1).
//   setenv NAME HEX     sets the variable for Win32 and the C runtime alike (no HEX: empty);
//                       "setenv NAME n" removes it
//   narrow HEX          the OEM code page form of the UTF-16 text (WC_NO_BEST_FIT_CHARS)
//                       -> @@ ok BYTES-HEX READ-BACK-HEX DEFAULT-USED(0|1)
//   cached HEX          whether WinINet's cache holds an entry for the address (UTF-16LE hex)
//                       -> @@ ok 1 | @@ ok 0
//   exit                -> @@ ok, then the host ends
// Malformed commands answer "@@ err ..." and the host carries on.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// Room behind every buffer, filled with a pattern that a well-behaved export leaves alone.
constexpr size_t kGuardBytes = 64;
constexpr unsigned char kGuardByte = 0xFD;

void Reply(const std::string& line) {
  std::fwrite("@@ ", 1, 3, stdout);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool FromHex(const std::string& hex, std::string& bytes) {
  if (hex.size() % 2 != 0) return false;
  bytes.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = Nibble(hex[i]);
    const int lo = Nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes.push_back(static_cast<char>(hi << 4 | lo));
  }
  return true;
}

std::string ToHex(const void* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  const auto* p = static_cast<const unsigned char*>(data);
  std::string hex;
  hex.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    hex.push_back(kDigits[p[i] >> 4]);
    hex.push_back(kDigits[p[i] & 15]);
  }
  return hex;
}

// UTF-16LE code units from hex; false when the hex is not whole units.
bool UnitsFromHex(const std::string& hex, std::wstring& units) {
  std::string bytes;
  if (!FromHex(hex, bytes) || bytes.size() % 2 != 0) return false;
  units.assign(bytes.size() / 2, L'\0');
  std::memcpy(&units[0], bytes.data(), bytes.size());
  return true;
}

// One argument of a call. Strings and buffers live in `storage`, with the guard behind them.
struct Arg {
  char kind = 0;
  bool null = false;
  int number = 0;
  size_t size = 0;  // bytes of the value or buffer, terminator not counted
  std::vector<unsigned char> storage;

  void Fill(const std::string& bytes, size_t terminator) {
    size = bytes.size();
    storage.assign(size + terminator + kGuardBytes, kGuardByte);
    std::memcpy(storage.data(), bytes.data(), size);
    std::memset(storage.data() + size, 0, terminator);
  }
  bool GuardIntact(size_t terminator) const {
    if (null || kind == 'i') return true;
    for (size_t i = size + terminator; i < storage.size(); ++i) {
      if (storage[i] != kGuardByte) return false;
    }
    return true;
  }
  size_t Terminator() const {
    if (kind == 'w') return sizeof(wchar_t);
    if (kind == 'a') return 1;
    return 0;
  }
};

bool ParseArg(const std::string& token, Arg& arg, std::string& error) {
  arg.kind = token[0];
  if (std::strchr("wabo", arg.kind) != nullptr && token.size() == 1) {
    arg.null = true;
    return true;
  }
  if (token.size() < 2 || token[1] != ':') {
    error = "bad argument " + token;
    return false;
  }
  const std::string value = token.substr(2);
  if (arg.kind == 'i') {
    char* end = nullptr;
    const long n = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != 0) {
      error = "bad number " + token;
      return false;
    }
    arg.number = static_cast<int>(n);
    return true;
  }
  std::string bytes;
  if (std::strchr("wabo", arg.kind) == nullptr || !FromHex(value, bytes) ||
      ((arg.kind == 'w' || arg.kind == 'b') && bytes.size() % 2 != 0)) {
    error = "bad argument " + token;
    return false;
  }
  arg.Fill(bytes, arg.Terminator());
  return true;
}

template <typename T>
T Pass(Arg& arg);
template <>
const wchar_t* Pass<const wchar_t*>(Arg& arg) {
  return arg.null ? nullptr : reinterpret_cast<const wchar_t*>(arg.storage.data());
}
template <>
wchar_t* Pass<wchar_t*>(Arg& arg) {
  return arg.null ? nullptr : reinterpret_cast<wchar_t*>(arg.storage.data());
}
template <>
const char* Pass<const char*>(Arg& arg) {
  return arg.null ? nullptr : reinterpret_cast<const char*>(arg.storage.data());
}
template <>
char* Pass<char*>(Arg& arg) {
  return arg.null ? nullptr : reinterpret_cast<char*>(arg.storage.data());
}
template <>
int Pass<int>(Arg& arg) {
  return arg.number;
}

// Each export is called through a pointer of its own parameter types, never a stand-in.
template <typename... P, size_t... I>
int InvokeWith(FARPROC function, std::vector<Arg>& args, std::index_sequence<I...>) {
  using Typed = int(WINAPI*)(P...);
  // void (*)() converts to and from every function pointer type without a warning.
  const auto plain = reinterpret_cast<void (*)()>(function);
  return reinterpret_cast<Typed>(plain)(Pass<P>(args[I])...);
}

template <typename... P>
int Invoke(FARPROC function, std::vector<Arg>& args) {
  return InvokeWith<P...>(function, args, std::index_sequence_for<P...>{});
}

using W = const wchar_t*;
using B = wchar_t*;
using A = const char*;
using O = char*;

struct Signature {
  const char* kinds;
  int (*invoke)(FARPROC, std::vector<Arg>&);
};

// The parameter lists of the libraries' exports, by argument kinds.
const Signature kSignatures[] = {
    {"", &Invoke<>},
    {"i", &Invoke<int>},
    {"w", &Invoke<W>},
    {"wb", &Invoke<W, B>},
    {"wwb", &Invoke<W, W, B>},
    {"bww", &Invoke<B, W, W>},
    {"wwwwb", &Invoke<W, W, W, W, B>},
    {"ao", &Invoke<A, O>},
};

HMODULE g_module = nullptr;

void Load(const std::string& hex) {
  std::wstring name;
  if (!UnitsFromHex(hex, name) || name.empty()) return Reply("err bad name");
  HMODULE module = LoadLibraryW(name.c_str());
  if (module == nullptr) return Reply("err " + std::to_string(GetLastError()));
  g_module = module;
  Reply("ok");
}

void Call(std::istringstream& in) {
  std::string name;
  if (!(in >> name)) return Reply("err no function named");
  if (g_module == nullptr) return Reply("err nothing loaded");
  std::vector<Arg> args;
  std::string kinds;
  std::string error;
  for (std::string token; in >> token;) {
    Arg arg;
    if (!ParseArg(token, arg, error)) return Reply("err " + error);
    kinds.push_back(arg.kind);
    args.push_back(std::move(arg));
  }
  const Signature* signature = nullptr;
  for (const auto& s : kSignatures) {
    if (kinds == s.kinds) signature = &s;
  }
  if (signature == nullptr) return Reply("err no signature " + kinds);
  FARPROC function = GetProcAddress(g_module, name.c_str());
  if (function == nullptr) return Reply("err no export " + name);
  const int result = signature->invoke(function, args);
  std::string line = "ok " + std::to_string(result);
  for (size_t i = 0; i < args.size(); ++i) {
    const Arg& arg = args[i];
    if (!arg.GuardIntact(arg.Terminator())) return Reply("err overrun " + std::to_string(i + 1));
    if (arg.kind != 'b' && arg.kind != 'o') continue;
    line += ' ';
    line += arg.kind;
    if (!arg.null) line += ":" + ToHex(arg.storage.data(), arg.size);
  }
  Reply(line);
}

void SetEnv(std::istringstream& in) {
  std::string name;
  std::string hex;
  if (!(in >> name)) return Reply("err no variable named");
  const std::wstring wide_name(name.begin(), name.end());
  BOOL ok = FALSE;
  in >> hex;
  if (hex == "n") {
    _wputenv_s(wide_name.c_str(), L"");
    ok = SetEnvironmentVariableW(wide_name.c_str(), nullptr);
    if (!ok && GetLastError() == ERROR_ENVVAR_NOT_FOUND) ok = TRUE;
  } else {
    std::wstring value;
    if (!UnitsFromHex(hex, value)) return Reply("err bad value");
    // WinINet reads some variables (http_proxy) through the C runtime's own copy.
    ok = SetEnvironmentVariableW(wide_name.c_str(), value.c_str()) &&
         _wputenv_s(wide_name.c_str(), value.c_str()) == 0;
  }
  Reply(ok ? "ok" : "err " + std::to_string(GetLastError()));
}

void Narrow(const std::string& hex) {
  std::wstring text;
  if (!UnitsFromHex(hex, text)) return Reply("err bad text");
  if (text.empty()) return Reply("ok  0");
  const int units = static_cast<int>(text.size());
  BOOL used_default = FALSE;
  const int n = WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, text.data(), units, nullptr, 0,
                                    nullptr, nullptr);
  if (n <= 0) return Reply("err " + std::to_string(GetLastError()));
  std::string bytes(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, text.data(), units, &bytes[0], n, nullptr,
                      &used_default);
  const int m = MultiByteToWideChar(CP_OEMCP, MB_PRECOMPOSED, bytes.data(), n, nullptr, 0);
  std::wstring back(static_cast<size_t>(m > 0 ? m : 0), L'\0');
  if (m > 0) MultiByteToWideChar(CP_OEMCP, MB_PRECOMPOSED, bytes.data(), n, &back[0], m);
  Reply("ok " + ToHex(bytes.data(), bytes.size()) + " " +
        ToHex(back.data(), back.size() * sizeof(wchar_t)) + " " + (used_default ? "1" : "0"));
}

void Cached(const std::string& hex) {
  std::wstring url;
  if (!UnitsFromHex(hex, url) || url.empty()) return Reply("err bad address");
  DWORD size = 0;
  if (GetUrlCacheEntryInfoW(url.c_str(), nullptr, &size)) return Reply("ok 1");
  const DWORD error = GetLastError();
  if (error == ERROR_INSUFFICIENT_BUFFER) return Reply("ok 1");
  if (error == ERROR_FILE_NOT_FOUND) return Reply("ok 0");
  Reply("err " + std::to_string(error));
}

// A crash in a library becomes a reply, not a Wine crash dialog or a silent end.
LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
  char code[32];
  std::snprintf(code, sizeof code, "0x%08lx",
                static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
  Reply(std::string("err crash ") + code);
  ExitProcess(3);
}

bool ReadLine(std::string& line) {
  line.clear();
  for (int c; (c = std::fgetc(stdin)) != EOF;) {
    if (c == '\n') return true;
    line.push_back(static_cast<char>(c));
  }
  return !line.empty();
}

}  // namespace

int main() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(&OnCrash);
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  Reply("ready");
  for (std::string line; ReadLine(line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream in(line);
    std::string command;
    if (!(in >> command)) continue;
    std::string operand;
    if (command == "load") {
      in >> operand;
      Load(operand);
    } else if (command == "call") {
      Call(in);
    } else if (command == "setenv") {
      SetEnv(in);
    } else if (command == "narrow") {
      in >> operand;
      Narrow(operand);
    } else if (command == "cached") {
      in >> operand;
      Cached(operand);
    } else if (command == "exit") {
      Reply("ok");
      return 0;
    } else {
      Reply("err unknown command " + command);
    }
  }
  return 0;
}
