// Platform text conversions: the narrow "OEM" form (UTF-8 on Linux, the OEM code page on
// Windows) and UTF-8, with the results of WideCharToMultiByte / MultiByteToWideChar.
#pragma once

#include <string>

#include "tarn/tarn_types.h"

namespace tarn::web {

// Converts `count` code units of `wide` into `out` (room for `out_size` bytes). Returns the
// bytes written, or 0 when the result does not fit or cannot be converted.
int NarrowFromWide(const TARN_WCHAR* wide, int count, char* out, int out_size);
// Converts `count` bytes of `narrow` into `out` (room for `out_size` code units). Returns the
// code units written, or 0 when the result does not fit or cannot be converted.
int WideFromNarrow(const char* narrow, int count, TARN_WCHAR* out, int out_size);

// Bytes of the UTF-8 form of the NUL-terminated `text`, terminator included; 0 on failure.
int Utf8ByteCount(const TARN_WCHAR* text);

// The job log's round trip, the same on every target (our own converter): decodes `size` bytes of
// UTF-8 (each malformed sequence becomes U+FFFD) and encodes the text back up to its first zero
// character. Returns false when the text cannot be encoded; `error_code` then holds the system's
// code.
bool RecodeUtf8(const char* data, size_t size, std::string& out, int& error_code);

}  // namespace tarn::web
