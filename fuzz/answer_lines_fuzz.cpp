// The status ("key=number"), rights ("key=word") and hidden-field line scanners: no fault on
// any line, fields of 1 to 255 bytes, and a line fed in pieces judged as the whole line is.
#include <cstdlib>
#include <string>

#include "answer_scan.h"
#include "pieces.h"

namespace {

using namespace tarn::web::answer;

bool FieldFits(const std::string& field) {
  return !field.empty() && field.size() <= 255;
}
bool FieldFits(int32_t) {
  return true;
}

template <typename Scan, typename Second>
void Check(const uint8_t* data, size_t size) {
  const auto* line = reinterpret_cast<const char*>(data);
  Scan whole;
  whole.Feed(line, size);
  Scan cut;
  size_t pos = 0;
  for (size_t piece : tarn::fuzz::DrawPieces(data, size)) {
    cut.Feed(line + pos, piece);
    pos += piece;
  }
  std::string first;
  std::string cut_first;
  Second second{};
  Second cut_second{};
  const bool ok = whole.Finish(first, second);
  if (ok != cut.Finish(cut_first, cut_second)) std::abort();
  if (ok &&
      (!FieldFits(first) || !FieldFits(second) || first != cut_first || second != cut_second)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Check<KeyNumberScan, int32_t>(data, size);
  Check<KeyWordScan, std::string>(data, size);
  Check<HiddenFieldScan, std::string>(data, size);
  return 0;
}
