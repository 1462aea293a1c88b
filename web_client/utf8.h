// Our own UTF-8 <-> UTF-16 converter, with the results of the Windows conversions:
// malformed UTF-8 becomes U+FFFD per maximal subpart, a lone surrogate becomes U+FFFD.
#pragma once

#include <cstddef>
#include <string>

namespace tarn::web::utf8 {

std::u16string Decode(const char* data, size_t size);
std::string Encode(const char16_t* data, size_t size);
// Bytes Encode would produce.
size_t EncodedSize(const char16_t* data, size_t size);

}  // namespace tarn::web::utf8
