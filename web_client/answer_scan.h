// The answer readers' line tests as scanners that take a line in pieces, so a line of any
// length is judged in bounded memory: no marker holds a line feed, and no field is longer
// than 255 bytes, so nothing beyond what can still match needs keeping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarn::web::answer {

// Whether a fixed text occurs anywhere in the line.
class MarkerScan {
 public:
  explicit MarkerScan(std::string marker) : marker_(std::move(marker)) {}
  void Feed(const char* data, size_t size);
  bool found() const { return found_; }
  void Reset();

 private:
  std::string marker_;
  std::string tail_;  // the last bytes that may still begin the marker
  bool found_ = false;
};

// The answer check over a whole text fed in pieces: the last line that holds a marker decides,
// 95 when that line holds "Zephyrcastle NG", else 96 for "<html>" where web pages count; 0 when no
// line holds one. Looks for the markers in whole pieces, so a line of any length costs no more.
class AnswerMarkers {
 public:
  explicit AnswerMarkers(bool web_page_counts) : web_page_counts_(web_page_counts) {}
  void Feed(const char* data, size_t size);
  int result() const { return result_; }

 private:
  struct Finder;
  bool web_page_counts_;
  int result_ = 0;
  bool failure_on_line_ = false;  // the line under way already holds the failure mark
  std::string tail_;              // the last bytes fed, as long as the longest marker less one
};

// "%[^=]=%d" with a key of at most 255 bytes.
class KeyNumberScan {
 public:
  void Feed(const char* data, size_t size);
  bool Finish(std::string& key, int32_t& value) const;
  void Reset() { *this = KeyNumberScan(); }

 private:
  enum State { kKey, kSpace, kSign, kDigits, kDone, kFail };
  State state_ = kKey;
  std::string key_;
  bool negative_ = false;
  int64_t number_ = 0;
};

// "%[^=]=%s" with key and value of at most 255 bytes each.
class KeyWordScan {
 public:
  void Feed(const char* data, size_t size);
  bool Finish(std::string& key, std::string& value) const;
  void Reset() { *this = KeyWordScan(); }

 private:
  enum State { kKey, kSpace, kValue, kDone, kFail };
  State state_ = kKey;
  std::string key_;
  std::string value_;
};

// The login page's hidden-field scan "%*s %*s name=\"%[^\"] %*[^=]=\"%[^\"]", name and value
// of at most 255 characters each.
class HiddenFieldScan {
 public:
  void Feed(const char* data, size_t size);
  bool Finish(std::string& name, std::string& value) const;
  void Reset() { *this = HiddenFieldScan(); }

 private:
  enum State {
    kLead1,
    kToken1,
    kLead2,
    kToken2,
    kLead3,
    kLiteral,
    kName,
    kSkip,
    kQuote,
    kValue,
    kDone,
    kFail
  };
  State state_ = kLead1;
  size_t literal_ = 0;  // bytes of name=" matched
  std::string name_;
  std::string value_;
};

}  // namespace tarn::web::answer
