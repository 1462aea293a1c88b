// Windows: names arrive in the OEM code page, which the ANSI file functions would misread,
// so files are opened by their UTF-16 name.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "local_files.h"

namespace tarn::web {

namespace {

// The UTF-16 form of an OEM text; false when it does not convert.
bool WideFromOem(const std::string& text, std::wstring& wide) {
  wide.clear();
  if (text.empty()) return true;
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_OEMCP, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (n <= 0) return false;
  wide.resize(static_cast<size_t>(n));
  return MultiByteToWideChar(CP_OEMCP, MB_ERR_INVALID_CHARS, text.data(), size, &wide[0], n) == n;
}

}  // namespace

std::string DumpFilePath() {
  // The length is asked first: a value of any length is used whole, as on Linux.
  const DWORD needed = GetEnvironmentVariableA("TEMP", nullptr, 0);
  if (needed > 1) {
    std::vector<char> value(needed);
    const DWORD n = GetEnvironmentVariableA("TEMP", value.data(), needed);
    if (n > 0 && n < needed) return std::string(value.data(), n) + "\\htmlDump.htm";
  }
  return "c:\\temp\\htmlDump.htm";
}

bool SameFileName(const std::string& a, const std::string& b) {
  return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                        b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

std::FILE* OpenLocalFile(const std::string& path, const char* mode) {
  std::wstring wide_path;
  std::wstring wide_mode;
  if (path.empty() || !WideFromOem(path, wide_path)) return nullptr;
  // The OEM default character stands for what the code page cannot hold: no file has that name.
  if (wide_path.find(L'?') != std::wstring::npos) return nullptr;
  for (const char* m = mode; *m != 0; ++m) wide_mode.push_back(static_cast<wchar_t>(*m));
  return _wfopen(wide_path.c_str(), wide_mode.c_str());
}

}  // namespace tarn::web
