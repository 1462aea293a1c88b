// The status ("key=number"), rights ("key=word") and hidden-field line scanners: no fault on
// any line, fields within 255 bytes, and a line fed in pieces judged as the whole line is.
#include <cstdlib>
#include <string>

#include "answer_scan.h"
#include "pieces.h"

namespace {

using namespace tarn::web::answer;

constexpr size_t kMaxField = 255;

template <typename Scan>
void FeedInPieces(Scan& scan, const char* data, size_t size, const uint8_t* raw) {
  size_t pos = 0;
  for (size_t piece : tarn::fuzz::DrawPieces(raw, size)) {
    scan.Feed(data + pos, piece);
    pos += piece;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto* line = reinterpret_cast<const char*>(data);
  {
    KeyNumberScan whole;
    KeyNumberScan cut;
    whole.Feed(line, size);
    FeedInPieces(cut, line, size, data);
    std::string key;
    std::string cut_key;
    int32_t value = 0;
    int32_t cut_value = 0;
    const bool ok = whole.Finish(key, value);
    if (ok != cut.Finish(cut_key, cut_value)) std::abort();
    if (ok && (key.empty() || key.size() > kMaxField || key != cut_key || value != cut_value)) {
      std::abort();
    }
  }
  {
    KeyWordScan whole;
    KeyWordScan cut;
    whole.Feed(line, size);
    FeedInPieces(cut, line, size, data);
    std::string key;
    std::string word;
    std::string cut_key;
    std::string cut_word;
    const bool ok = whole.Finish(key, word);
    if (ok != cut.Finish(cut_key, cut_word)) std::abort();
    if (ok && (key.empty() || key.size() > kMaxField || word.empty() || word.size() > kMaxField ||
               key != cut_key || word != cut_word)) {
      std::abort();
    }
  }
  {
    HiddenFieldScan whole;
    HiddenFieldScan cut;
    whole.Feed(line, size);
    FeedInPieces(cut, line, size, data);
    std::string name;
    std::string value;
    std::string cut_name;
    std::string cut_value;
    const bool ok = whole.Finish(name, value);
    if (ok != cut.Finish(cut_name, cut_value)) std::abort();
    if (ok && (name.empty() || name.size() > kMaxField || value.empty() ||
               value.size() > kMaxField || name != cut_name || value != cut_value)) {
      std::abort();
    }
  }
  return 0;
}
