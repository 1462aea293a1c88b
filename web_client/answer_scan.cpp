#include "answer_scan.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "http_helper.h"

namespace tarn::web::answer {

namespace {

constexpr size_t kMaxField = 255;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Adds `c` to a field; false when the field would outgrow its 255 bytes.
bool Append(std::string& field, char c) {
  if (field.size() == kMaxField) return false;
  field.push_back(c);
  return true;
}

// The key of "%[^=]=": one or more bytes up to the first "=". Returns the scanner's next state.
template <typename State>
State TakeKeyByte(char c, std::string& key, State more, State after, State fail) {
  if (c == '=') return key.empty() ? fail : after;
  return Append(key, c) ? more : fail;
}

}  // namespace

namespace {

constexpr char kPageMarker[] = "<html>";
constexpr char kFailureMarker[] = "Zephyrcastle NG";
constexpr size_t kLongestMarker = sizeof kFailureMarker - 1;

}  // namespace

// The ends of one marker's occurrences in a piece, in order: first one that begins in the kept
// tail, then those inside the piece. Neither marker can overlap itself, so one search from the
// end of the last match finds them all.
struct AnswerMarkers::Finder {
  Finder(std::string_view marker, const std::string& tail, std::string_view piece, bool active)
      : marker_(marker), piece_(piece) {
    if (!active) return;
    // Shorter than the marker, so any match that begins in it ends in this piece.
    const size_t kept = std::min(tail.size(), marker.size() - 1);
    std::string joined = tail.substr(tail.size() - kept);
    joined.append(piece.data(), std::min(piece.size(), marker.size() - 1));
    const size_t hit = std::string_view(joined).find(marker);
    if (hit < kept) {
      next = hit + marker.size() - kept;
      from_ = next;
      return;
    }
    Advance();
  }
  // The search looks for the marker's first byte with memchr, which is rare in the data.
  void Advance() {
    const size_t hit =
        from_ >= piece_.size() ? std::string_view::npos : piece_.substr(from_).find(marker_);
    next = hit == std::string_view::npos ? SIZE_MAX : from_ + hit + marker_.size();
    from_ = next;
  }

  size_t next = SIZE_MAX;  // the end of the next match in the piece

 private:
  std::string_view marker_;
  std::string_view piece_;
  size_t from_ = 0;
};

void AnswerMarkers::Feed(const char* data, size_t size) {
  if (size == 0) return;
  const std::string_view piece(data, size);
  Finder page(kPageMarker, tail_, piece, web_page_counts_);
  Finder failure(kFailureMarker, tail_, piece, true);
  size_t seen = 0;  // bytes of the piece whose line feeds are accounted for
  const auto pass_to = [&](size_t end) {
    if (failure_on_line_ && std::memchr(data + seen, '\n', end - seen) != nullptr) {
      failure_on_line_ = false;
    }
    seen = end;
  };
  while (page.next != SIZE_MAX || failure.next != SIZE_MAX) {
    if (failure.next < page.next) {
      pass_to(failure.next);
      result_ = kFailureMark;
      failure_on_line_ = true;
      failure.Advance();
    } else {
      pass_to(page.next);
      if (!failure_on_line_) result_ = kWebPage;
      page.Advance();
    }
  }
  pass_to(size);
  if (size >= kLongestMarker - 1) {
    tail_.assign(data + size - (kLongestMarker - 1), kLongestMarker - 1);
  } else {
    tail_.append(data, size);
    if (tail_.size() > kLongestMarker - 1) tail_.erase(0, tail_.size() - (kLongestMarker - 1));
  }
}

void MarkerScan::Feed(const char* data, size_t size) {
  if (found_ || marker_.empty() || size == 0) return;
  std::string window = tail_;
  window.append(data, size);
  if (window.find(marker_) != std::string::npos) {
    found_ = true;
    return;
  }
  const size_t keep = marker_.size() - 1;
  tail_ = window.size() > keep ? window.substr(window.size() - keep) : window;
}

void MarkerScan::Reset() {
  tail_.clear();
  found_ = false;
}

void KeyNumberScan::Feed(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const char c = data[i];
    switch (state_) {
      case kKey:
        state_ = TakeKeyByte(c, key_, kKey, kSpace, kFail);
        break;
      case kSpace:
        if (IsSpace(c)) break;
        if (c == '+' || c == '-') {
          negative_ = c == '-';
          state_ = kSign;
        } else if (IsDigit(c)) {
          number_ = c - '0';
          state_ = kDigits;
        } else {
          state_ = kFail;
        }
        break;
      case kSign:
        if (IsDigit(c)) {
          number_ = c - '0';
          state_ = kDigits;
        } else {
          state_ = kFail;
        }
        break;
      case kDigits:
        if (!IsDigit(c)) {
          state_ = kDone;
        } else if (number_ <= INT32_MAX) {
          // Saturate rather than overflow on absurd numbers.
          number_ = number_ * 10 + (c - '0');
        }
        break;
      case kDone:
      case kFail:
        return;
    }
  }
}

bool KeyNumberScan::Finish(std::string& key, int32_t& value) const {
  if (state_ != kDigits && state_ != kDone) return false;
  int64_t number = negative_ ? -number_ : number_;
  if (number > INT32_MAX) number = INT32_MAX;
  if (number < INT32_MIN) number = INT32_MIN;
  key = key_;
  value = static_cast<int32_t>(number);
  return true;
}

void KeyWordScan::Feed(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const char c = data[i];
    switch (state_) {
      case kKey:
        state_ = TakeKeyByte(c, key_, kKey, kSpace, kFail);
        break;
      case kSpace:
        if (IsSpace(c)) break;
        value_.push_back(c);
        state_ = kValue;
        break;
      case kValue:
        if (IsSpace(c)) {
          state_ = kDone;
        } else if (!Append(value_, c)) {
          state_ = kFail;
        }
        break;
      case kDone:
      case kFail:
        return;
    }
  }
}

bool KeyWordScan::Finish(std::string& key, std::string& value) const {
  if (state_ != kValue && state_ != kDone) return false;
  key = key_;
  value = value_;
  return true;
}

void HiddenFieldScan::Feed(const char* data, size_t size) {
  static const char kNameAttr[] = "name=\"";
  for (size_t i = 0; i < size; ++i) {
    const char c = data[i];
    switch (state_) {
      case kLead1:
      case kLead2:
        // Two blank-separated tokens: the tag name and the attribute before name=.
        if (!IsSpace(c)) state_ = state_ == kLead1 ? kToken1 : kToken2;
        break;
      case kToken1:
      case kToken2:
        if (IsSpace(c)) state_ = state_ == kToken1 ? kLead2 : kLead3;
        break;
      case kLead3:
        if (IsSpace(c)) break;
        state_ = kLiteral;
        [[fallthrough]];
      case kLiteral:
        if (c != kNameAttr[literal_]) {
          state_ = kFail;
        } else if (++literal_ == sizeof kNameAttr - 1) {
          state_ = kName;
        }
        break;
      case kName:
        if (c == '"') {
          // The quote itself is the first byte that "%*[^=]" passes over.
          state_ = name_.empty() ? kFail : kSkip;
        } else if (!Append(name_, c)) {
          state_ = kFail;  // over-long fields are skipped whole, not cut
        }
        break;
      case kSkip:
        if (c == '=') state_ = kQuote;
        break;
      case kQuote:
        state_ = c == '"' ? kValue : kFail;
        break;
      case kValue:
        if (c == '"') {
          state_ = value_.empty() ? kFail : kDone;
        } else if (!Append(value_, c)) {
          state_ = kFail;
        }
        break;
      case kDone:
      case kFail:
        return;
    }
  }
}

bool HiddenFieldScan::Finish(std::string& name, std::string& value) const {
  // A value may also run to the line's end.
  if (state_ != kDone && !(state_ == kValue && !value_.empty())) return false;
  name = name_;
  value = value_;
  return true;
}

}  // namespace tarn::web::answer
