// The job log's re-encoding: the output is valid UTF-8, valid input without a zero byte comes
// back unchanged, and the input fed in pieces (each cut-off sequence held back until its next
// piece, as a streaming reader must) gives the same output as the whole-buffer decode, both
// through the decoder by hand and through the streaming recoder the job log uses.
#include <cstdlib>
#include <string>

#include "pieces.h"
#include "text_codec.h"
#include "utf8.h"

namespace {

// Strict UTF-8: shortest forms, no surrogates, nothing above U+10FFFF; written apart from the
// product's decoder on purpose.
bool IsValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 2;
      cp = c & 0x1Fu;
    } else if ((c & 0xF0) == 0xE0) {
      n = 3;
      cp = c & 0x0Fu;
    } else if ((c & 0xF8) == 0xF0) {
      n = 4;
      cp = c & 0x07u;
    } else {
      return false;
    }
    if (i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3Fu);
    }
    const uint32_t least = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// Where a trailing sequence that the rest of the input may still complete begins; `size`
// when the buffer ends on a whole sequence (or on bytes no later byte can join).
size_t HeldBack(const unsigned char* s, size_t size) {
  for (size_t back = 1; back <= 3 && back <= size; ++back) {
    const unsigned char c = s[size - back];
    if ((c & 0xC0) == 0x80) continue;
    const size_t need = c >= 0xC2 && c <= 0xDF   ? 2
                        : c >= 0xE0 && c <= 0xEF ? 3
                        : c >= 0xF0 && c <= 0xF4 ? 4
                                                 : 1;
    return need > back ? size - back : size;
  }
  return size;
}

std::string DecodeInPieces(const uint8_t* data, size_t size) {
  std::u16string text;
  std::string pending;
  size_t pos = 0;
  for (size_t piece : tarn::fuzz::DrawPieces(data, size)) {
    pending.append(reinterpret_cast<const char*>(data) + pos, piece);
    pos += piece;
    const size_t ready =
        pos == size
            ? pending.size()
            : HeldBack(reinterpret_cast<const unsigned char*>(pending.data()), pending.size());
    text += tarn::web::utf8::Decode(pending.data(), ready);
    pending.erase(0, ready);
  }
  text += tarn::web::utf8::Decode(pending.data(), pending.size());
  const size_t end = text.find(u'\0');
  return tarn::web::utf8::Encode(text.data(), end == std::u16string::npos ? text.size() : end);
}

std::string RecodeInPieces(const uint8_t* data, size_t size) {
  tarn::web::utf8::StreamRecoder recoder;
  std::string out;
  size_t pos = 0;
  for (size_t piece : tarn::fuzz::DrawPieces(data, size)) {
    recoder.Feed(reinterpret_cast<const char*>(data) + pos, piece, out);
    pos += piece;
  }
  recoder.Finish(out);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::string out;
  int error_code = -1;
  if (!tarn::web::RecodeUtf8(input.data(), input.size(), out, error_code)) std::abort();
  if (!IsValidUtf8(out)) std::abort();
  if (IsValidUtf8(input) && input.find('\0') == std::string::npos && out != input) std::abort();
  if (DecodeInPieces(data, size) != out) std::abort();
  const std::string streamed = RecodeInPieces(data, size);
  if (!IsValidUtf8(streamed) || streamed != out) std::abort();
  return 0;
}
