// Digest and text helpers of the sign-in.
#pragma once

#include <string>

namespace tarn::web {

// MD5 of the bytes of `text`, as 32 lower-case hex digits.
std::string MD5HexString(const std::string& text);
// Form encoding: ASCII letters, digits, "-", "." and "_" stay, space becomes "+", every
// other byte "%XX" in upper case. No locale can change the result.
std::string UrlEncode(const std::string& text);

}  // namespace tarn::web
