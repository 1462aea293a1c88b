// Windows: the narrow form is the OEM code page; the job log's round trip uses our own
// converter, so both targets store the same bytes for every malformed input.
#include <windows.h>

#include "text_codec.h"
#include "utf8.h"

namespace tarn::web {

int NarrowFromWide(const TARN_WCHAR* wide, int count, char* out, int out_size) {
  if (wide == nullptr || count <= 0 || out == nullptr || out_size <= 0) return 0;
  return WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, wide, count, out, out_size, nullptr,
                             nullptr);
}

int WideFromNarrow(const char* narrow, int count, TARN_WCHAR* out, int out_size) {
  if (narrow == nullptr || count <= 0 || out == nullptr || out_size <= 0) return 0;
  return MultiByteToWideChar(CP_OEMCP, MB_PRECOMPOSED, narrow, count, out, out_size);
}

int Utf8ByteCount(const TARN_WCHAR* text) {
  if (text == nullptr) return 0;
  return WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
}

bool RecodeUtf8(const char* data, size_t size, std::string& out, int& error_code) {
  const std::u16string text = utf8::Decode(data, size);
  const size_t end = text.find(u'\0');
  out = utf8::Encode(text.data(), end == std::u16string::npos ? text.size() : end);
  error_code = 0;
  return true;
}

}  // namespace tarn::web
