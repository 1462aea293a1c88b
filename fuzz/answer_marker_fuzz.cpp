// The answer-marker scan: a line fed in pieces finds a marker exactly when the whole line
// holds it, with the markers the answer check looks for and one drawn from the input.
#include <cstdlib>
#include <string>

#include "answer_scan.h"
#include "pieces.h"

namespace {

void Check(const std::string& marker, const std::string& line, const uint8_t* raw) {
  tarn::web::answer::MarkerScan scan(marker);
  size_t pos = 0;
  for (size_t piece : tarn::fuzz::DrawPieces(raw, line.size())) {
    scan.Feed(line.data() + pos, piece);
    pos += piece;
  }
  const bool expected = !marker.empty() && line.find(marker) != std::string::npos;
  if (scan.found() != expected) std::abort();
  // Reset starts a new line: the same line again gives the same answer.
  scan.Reset();
  scan.Feed(line.data(), line.size());
  if (scan.found() != expected) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Check("<html>", text, data);
  Check("Zephyrcastle NG", text, data);
  Check("hidden", text, data);
  // The first byte gives a marker length; the marker is taken from the text's end.
  if (size > 1) {
    const size_t length = 1 + data[0] % 16;
    if (length < size) Check(text.substr(size - length), text.substr(1, size - 1 - length), data);
  }
  return 0;
}
