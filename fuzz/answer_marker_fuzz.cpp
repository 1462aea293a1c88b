// The answer-marker scan: a line fed in pieces finds a marker exactly when the whole line
// holds it, with the markers the answer check looks for and one drawn from the input. The
// whole-text answer check fed in pieces gives what a check of line after line gives.
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

// Kept apart from the scanner on purpose: the last line holding a marker decides, and on one
// line the failure mark outranks a web page.
int LineByLine(const std::string& text, bool web_page_counts) {
  int result = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (line.find("Zephyrcastle NG") != std::string::npos) {
      result = 95;
    } else if (web_page_counts && line.find("<html>") != std::string::npos) {
      result = 96;
    }
    start = end + 1;
  }
  return result;
}

void CheckAnswer(const std::string& text, bool web_page_counts, const uint8_t* raw) {
  tarn::web::answer::AnswerMarkers markers(web_page_counts);
  size_t pos = 0;
  for (size_t piece : tarn::fuzz::DrawPieces(raw, text.size())) {
    markers.Feed(text.data() + pos, piece);
    pos += piece;
  }
  if (markers.result() != LineByLine(text, web_page_counts)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Check("<html>", text, data);
  Check("Zephyrcastle NG", text, data);
  Check("hidden", text, data);
  CheckAnswer(text, true, data);
  CheckAnswer(text, false, data);
  // The first byte gives a marker length; the marker is taken from the text's end.
  if (size > 1) {
    const size_t length = 1 + data[0] % 16;
    if (length < size) Check(text.substr(size - length), text.substr(1, size - 1 - length), data);
  }
  return 0;
}
