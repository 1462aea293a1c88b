// Windows: the narrow form is the OEM code page.
#include <windows.h>

#include "text_codec.h"

namespace tarn::web {

namespace {

// Code pages such as UTF-8 (a system option since Windows 10) refuse these flags; without
// the retry every argument would arrive empty there.
int OemFromWide(DWORD flags, const wchar_t* wide, int count, char* out, int out_size) {
  const int n = WideCharToMultiByte(CP_OEMCP, flags, wide, count, out, out_size, nullptr, nullptr);
  if (n == 0 && flags != 0 && GetLastError() == ERROR_INVALID_FLAGS) {
    return WideCharToMultiByte(CP_OEMCP, 0, wide, count, out, out_size, nullptr, nullptr);
  }
  return n;
}

int WideFromOem(DWORD flags, const char* narrow, int count, wchar_t* out, int out_size) {
  const int n = MultiByteToWideChar(CP_OEMCP, flags, narrow, count, out, out_size);
  if (n == 0 && flags != 0 && GetLastError() == ERROR_INVALID_FLAGS) {
    return MultiByteToWideChar(CP_OEMCP, 0, narrow, count, out, out_size);
  }
  return n;
}

}  // namespace

int NarrowFromWide(const TARN_WCHAR* wide, int count, char* out, int out_size) {
  if (wide == nullptr || count <= 0 || out == nullptr || out_size <= 0) return 0;
  return OemFromWide(WC_NO_BEST_FIT_CHARS, wide, count, out, out_size);
}

int WideFromNarrow(const char* narrow, int count, TARN_WCHAR* out, int out_size) {
  if (narrow == nullptr || count <= 0 || out == nullptr || out_size <= 0) return 0;
  return WideFromOem(MB_PRECOMPOSED, narrow, count, out, out_size);
}

int Utf8ByteCount(const TARN_WCHAR* text) {
  if (text == nullptr) return 0;
  return WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
}

}  // namespace tarn::web
