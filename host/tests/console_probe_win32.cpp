// Test helper: runs tarn.exe (beside this program) on the same console and reports what the
// console's input mode was while tarn prompted and after it ended, which only a process on that
// console can see. Usage: tarn_console_probe ARGS... Report lines: "@@echo=off" once the prompt
// has cleared the echo, then "@@exit=CODE,echo=on|off". Every wait is bounded.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

BOOL WINAPI KeepRunning(DWORD) {
  return TRUE;
}  // the probe outlives the keys it watches

void Report(const char* text) {
  DWORD written = 0;
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  WriteFile(out, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

bool EchoOn(HANDLE input) {
  DWORD mode = 0;
  return GetConsoleMode(input, &mode) && (mode & ENABLE_ECHO_INPUT) != 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  SetConsoleCtrlHandler(KeepRunning, TRUE);

  wchar_t self[MAX_PATH];
  const DWORD size = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring program(self, size);
  program = program.substr(0, program.find_last_of(L'\\') + 1) + L"tarn.exe";
  // The tests pass plain words: each is quoted, none holds a quote.
  std::wstring command = L"\"" + program + L"\"";
  for (int i = 1; i < argc; ++i) command += L" \"" + std::wstring(argv[i]) + L"\"";

  const HANDLE input =
      CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE) {
    Report("@@no-console\n");
    return 2;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &child)) {
    Report("@@no-start\n");
    return 2;
  }
  for (int i = 0; i < 600 && EchoOn(input); ++i) {
    if (WaitForSingleObject(child.hProcess, 50) == WAIT_OBJECT_0) break;
  }
  if (!EchoOn(input)) Report("@@echo=off\n");
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(child.hProcess, 30000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(child.hProcess, &code);
  }
  char line[64];
  std::snprintf(line, sizeof line, "@@exit=%lu,echo=%s\n", static_cast<unsigned long>(code),
                EchoOn(input) ? "on" : "off");
  Report(line);
  return 0;
}
