#include "dual_string.h"

#include <cstring>

#include "text_codec.h"

namespace tarn::web {

void CDualString::SetWide(const TARN_WCHAR* text) {
  std::memset(wide, 0, sizeof wide);
  std::memset(narrow, 0, sizeof narrow);
  length = 0;
  if (text == nullptr) return;
  size_t n = 0;
  while (n < kCapacity && text[n] != 0) ++n;
  if (n >= kCapacity) return;
  // Terminator included, so a result that fits always ends in one.
  const int written =
      NarrowFromWide(text, static_cast<int>(n + 1), narrow, static_cast<int>(kCapacity));
  if (written <= 0) {
    // A narrow form over 255 bytes would lose its end: treat it as an over-long argument.
    std::memset(narrow, 0, sizeof narrow);
    return;
  }
  narrow[written - 1] = 0;
  std::memcpy(wide, text, (n + 1) * sizeof(TARN_WCHAR));
  length = n;
}

void CDualString::SetNarrow(const char* text) {
  std::memset(wide, 0, sizeof wide);
  std::memset(narrow, 0, sizeof narrow);
  length = 0;
  if (text == nullptr) return;
  const size_t n = strnlen(text, kCapacity);
  if (n >= kCapacity) return;
  const int written =
      WideFromNarrow(text, static_cast<int>(n + 1), wide, static_cast<int>(kCapacity));
  if (written <= 0) {
    std::memset(wide, 0, sizeof wide);
    return;
  }
  wide[written - 1] = 0;
  std::memcpy(narrow, text, n + 1);
  length = n;
}

}  // namespace tarn::web
