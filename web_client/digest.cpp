#include "digest.h"

#include "md5.h"

namespace tarn::web {

namespace {
constexpr char kLowerHex[] = "0123456789abcdef";
constexpr char kUpperHex[] = "0123456789ABCDEF";
}  // namespace

std::string MD5HexString(const std::string& text) {
  Md5 md5;
  md5.Update(text.data(), text.size());
  std::string hex;
  hex.reserve(32);
  for (uint8_t b : md5.Final()) {
    hex.push_back(kLowerHex[b >> 4]);
    hex.push_back(kLowerHex[b & 0x0F]);
  }
  return hex;
}

std::string UrlEncode(const std::string& text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    // ASCII ranges on purpose: a host program's locale must not widen the set.
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_';
    if (plain) {
      out.push_back(ch);
    } else if (c == ' ') {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(kUpperHex[c >> 4]);
      out.push_back(kUpperHex[c & 0x0F]);
    }
  }
  return out;
}

}  // namespace tarn::web
