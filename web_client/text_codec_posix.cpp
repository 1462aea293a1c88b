// Linux: the narrow form is UTF-8, converted by our own converter.
#include <cstring>

#include "text_codec.h"
#include "utf8.h"

namespace tarn::web {

int NarrowFromWide(const TARN_WCHAR* wide, int count, char* out, int out_size) {
  if (wide == nullptr || count <= 0 || out == nullptr || out_size <= 0) return 0;
  const std::string narrow = utf8::Encode(wide, static_cast<size_t>(count));
  if (narrow.size() > static_cast<size_t>(out_size)) return 0;
  std::memcpy(out, narrow.data(), narrow.size());
  return static_cast<int>(narrow.size());
}

int WideFromNarrow(const char* narrow, int count, TARN_WCHAR* out, int out_size) {
  if (narrow == nullptr || count <= 0 || out == nullptr || out_size <= 0) return 0;
  const std::u16string wide = utf8::Decode(narrow, static_cast<size_t>(count));
  if (wide.size() > static_cast<size_t>(out_size)) return 0;
  std::memcpy(out, wide.data(), wide.size() * sizeof(TARN_WCHAR));
  return static_cast<int>(wide.size());
}

int Utf8ByteCount(const TARN_WCHAR* text) {
  if (text == nullptr) return 0;
  size_t n = 0;
  while (text[n] != 0) ++n;
  const size_t bytes = utf8::EncodedSize(text, n + 1);  // the terminator counts
  return bytes > 0x7FFFFFFF ? 0 : static_cast<int>(bytes);
}

}  // namespace tarn::web
