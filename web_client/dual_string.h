// One export argument (or error text) held both as UTF-16 and as the platform's narrow form.
#pragma once

#include <cstddef>

#include "tarn/tarn_types.h"

namespace tarn::web {

struct CDualString {
  static constexpr size_t kCapacity = 256;  // code units / bytes, terminator included

  TARN_WCHAR wide[kCapacity] = {};
  char narrow[kCapacity] = {};
  size_t length = 0;  // as set: code units for SetWide, bytes for SetNarrow

  // A null pointer or a text of 256 or more units leaves the record empty.
  void SetWide(const TARN_WCHAR* text);
  // A null pointer or a text of 256 or more bytes leaves the record empty.
  void SetNarrow(const char* text);
};

}  // namespace tarn::web
