#include "utf8.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "text_codec.h"

namespace tarn::web::utf8 {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Number of bytes of the longest valid prefix of a sequence starting at `s` (at most `n`
// bytes), as the maximal-subpart rule counts them, and the decoded code point when complete.
size_t ScanSequence(const unsigned char* s, size_t n, char32_t& cp, bool& complete) {
  const unsigned char lead = s[0];
  complete = false;
  size_t need;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (lead < 0x80) {
    cp = lead;
    complete = true;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;  // no overlong forms
    if (lead == 0xED) hi = 0x9F;  // no encoded surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 1;  // C0, C1, F5..FF and lone continuation bytes
  }
  size_t i = 1;
  for (; i < need && i < n; ++i) {
    const unsigned char c = s[i];
    const unsigned char min = (i == 1) ? lo : 0x80;
    const unsigned char max = (i == 1) ? hi : 0xBF;
    if (c < min || c > max) return i;
    cp = (cp << 6) | (c & 0x3F);
  }
  complete = (i == need);
  return i;
}

constexpr char kReplacementBytes[] = "\xEF\xBF\xBD";

bool IsMultiByteLead(unsigned char c) {
  return c >= 0xC2 && c <= 0xF4;
}

// Bytes from `s` on that are ASCII and not zero, eight at a time where it can.
size_t PlainAsciiRun(const unsigned char* s, size_t n) {
  constexpr uint64_t kLow = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, s + i, sizeof w);
    if (((w | ((w - kLow) & ~w)) & kHigh) != 0) break;
  }
  while (i < n && s[i] != 0 && s[i] < 0x80) ++i;
  return i;
}

bool IsContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// The length of a whole two- or three-byte sequence whose second byte may be any continuation
// (most text outside ASCII), else 0 and the general scan decides.
size_t CommonSequence(const unsigned char* s, size_t n) {
  const unsigned char lead = s[0];
  if (lead >= 0xC2 && lead <= 0xDF) return n >= 2 && IsContinuation(s[1]) ? 2 : 0;
  if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
    return n >= 3 && IsContinuation(s[1]) && IsContinuation(s[2]) ? 3 : 0;
  }
  return 0;
}

}  // namespace

void StreamRecoder::Feed(const char* data, size_t size, std::string& out) {
  if (ended_) return;
  const auto* s = reinterpret_cast<const unsigned char*>(data);
  size_t pos = 0;
  char32_t cp = 0;
  bool complete = false;
  if (carry_size_ > 0) {
    unsigned char joined[4];
    std::memcpy(joined, carry_, carry_size_);
    const size_t take = std::min(size, sizeof joined - carry_size_);
    std::memcpy(joined + carry_size_, s, take);
    const size_t n = carry_size_ + take;
    const size_t used = ScanSequence(joined, n, cp, complete);
    if (!complete && used == n) {  // this piece ended inside the sequence too
      std::memcpy(carry_, joined, n);
      carry_size_ = n;
      return;
    }
    if (complete) {
      out.append(reinterpret_cast<const char*>(joined), used);
    } else {
      out += kReplacementBytes;
    }
    pos = used - carry_size_;
    carry_size_ = 0;
  }
  size_t span = pos;  // start of the bytes that come out unchanged
  while (pos < size) {
    pos += PlainAsciiRun(s + pos, size - pos);
    if (pos == size) break;
    if (s[pos] == 0) {
      ended_ = true;
      break;
    }
    const size_t valid = CommonSequence(s + pos, size - pos);
    if (valid > 0) {
      pos += valid;
      continue;
    }
    const size_t used = ScanSequence(s + pos, size - pos, cp, complete);
    if (complete) {
      pos += used;
      continue;
    }
    out.append(data + span, pos - span);
    if (pos + used == size && IsMultiByteLead(s[pos])) {
      std::memcpy(carry_, s + pos, used);
      carry_size_ = used;
      return;
    }
    out += kReplacementBytes;
    pos += used;
    span = pos;
  }
  out.append(data + span, pos - span);
}

void StreamRecoder::Finish(std::string& out) {
  if (carry_size_ > 0 && !ended_) out += kReplacementBytes;
  carry_size_ = 0;
}

std::u16string Decode(const char* data, size_t size) {
  std::u16string out;
  out.reserve(size);
  const auto* s = reinterpret_cast<const unsigned char*>(data);
  size_t pos = 0;
  while (pos < size) {
    char32_t cp = 0;
    bool complete = false;
    const size_t used = ScanSequence(s + pos, size - pos, cp, complete);
    pos += used;
    if (!complete) {
      out.push_back(kReplacement);
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char16_t>(cp));
    } else {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
  }
  return out;
}

namespace {

// Calls `emit(code_point)` for each character, lone surrogates as U+FFFD.
template <typename Emit>
void ForEachCodePoint(const char16_t* data, size_t size, Emit emit) {
  for (size_t i = 0; i < size; ++i) {
    char32_t c = data[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < size && data[i + 1] >= 0xDC00 &&
        data[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (data[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    emit(c);
  }
}

size_t EncodedLength(char32_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

}  // namespace

std::string Encode(const char16_t* data, size_t size) {
  std::string out;
  out.reserve(size);
  ForEachCodePoint(data, size, [&out](char32_t c) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  });
  return out;
}

size_t EncodedSize(const char16_t* data, size_t size) {
  size_t total = 0;
  ForEachCodePoint(data, size, [&total](char32_t c) { total += EncodedLength(c); });
  return total;
}

}  // namespace tarn::web::utf8

namespace tarn::web {

// Our converter on every target, so that both store the same bytes for every malformed input.
bool RecodeUtf8(const char* data, size_t size, std::string& out, int& error_code) {
  const std::u16string text = utf8::Decode(data, size);
  const size_t end = text.find(u'\0');
  out = utf8::Encode(text.data(), end == std::u16string::npos ? text.size() : end);
  error_code = 0;
  return true;
}

}  // namespace tarn::web
