// Windows: names arrive in the OEM code page, which the ANSI file functions would misread,
// so files are opened by their UTF-16 name.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
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

bool LocalFileSize(std::FILE* file, uint64_t& size) {
  const __int64 length = _filelengthi64(_fileno(file));
  if (length < 0) return false;
  size = static_cast<uint64_t>(length);
  return true;
}

std::string ReplaceableTarget(const std::string& path) {
  std::wstring wide_path;
  if (!WideFromOem(path, wide_path)) return path;
  HANDLE h =
      CreateFileW(wide_path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return path;  // missing, or not ours to judge: a new file
  const DWORD type = GetFileType(h);
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (type != FILE_TYPE_DISK) return std::string();  // NUL, CON, pipes
  if (known &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    return std::string();
  }
  return path;
}

std::FILE* CreateFileBeside(const std::string& path, std::string& temp) {
  std::wstring wide_path;
  if (path.empty() || !WideFromOem(path, wide_path)) return nullptr;
  if (wide_path.find(L'?') != std::wstring::npos) return nullptr;
  const unsigned long seed = GetTickCount() ^ GetCurrentProcessId();
  for (unsigned long attempt = 0; attempt < 100; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".part-%lx", (seed + attempt * 7919) & 0xFFFFFFFFul);
    temp = path + suffix;
    std::wstring wide_temp;
    if (!WideFromOem(temp, wide_temp)) return nullptr;
    const int fd =
        _wopen(wide_temp.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) {
      _close(fd);
      _wremove(wide_temp.c_str());
    }
    return file;
  }
  return nullptr;
}

bool ReplaceLocalFile(const std::string& temp, const std::string& path) {
  std::wstring wide_temp;
  std::wstring wide_path;
  if (!WideFromOem(temp, wide_temp) || !WideFromOem(path, wide_path)) return false;
  return MoveFileExW(wide_temp.c_str(), wide_path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
}

void RemoveLocalFile(const std::string& path) {
  std::wstring wide_path;
  if (WideFromOem(path, wide_path)) _wremove(wide_path.c_str());
}

}  // namespace tarn::web
