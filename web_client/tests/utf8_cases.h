// The job log's re-encoding cases: each malformed UTF-8 sequence becomes U+FFFD by the
// maximal-subpart rule, a zero byte ends the text. Shared by the converter's own test and the
// end-to-end job-log test, which must store the same bytes on every target.
#pragma once

#include <string>
#include <vector>

namespace tarn::web::testing {

struct RecodeCase {
  std::string name;
  std::string in;
  std::string out;
};

inline const std::vector<RecodeCase>& RecodeCases() {
  static const std::string R = "\xef\xbf\xbd";  // U+FFFD
  static const std::vector<RecodeCase> cases = {
      {"Empty", "", ""},
      {"Valid", "a\xc3\xa9\xe3\x81\x82\xf0\x9f\x98\x80", "a\xc3\xa9\xe3\x81\x82\xf0\x9f\x98\x80"},
      {"LoneContinuations",
       "a\x80\xbf"
       "b",
       "a" + R + R + "b"},
      {"TruncatedTwoByte",
       "\xc3"
       "a",
       R + "a"},
      {"TruncatedThreeByte",
       "\xe3\x81"
       "a",
       R + "a"},
      {"TruncatedFourByteAtEnd", "\xf0\x9f\x98", R},
      {"OverlongTwoByte", "\xc0\xaf", R + R},
      {"OverlongC1", "\xc1\xbf", R + R},
      {"OverlongThreeByte", "\xe0\x80\xaf", R + R + R},
      {"OverlongFourByte", "\xf0\x80\x80\xaf", R + R + R + R},
      {"EncodedSurrogate", "\xed\xa0\x80", R + R + R},
      {"AboveUnicode", "\xf4\x90\x80\x80", R + R + R + R},
      {"F5ToFF", "\xf5\xf8\xfc\xfe\xff", R + R + R + R + R},
      {"ZeroByteCuts", std::string("ab\0cd", 5), "ab"},
      {"ZeroAfterMalformed", std::string("\xe3\x81\0x", 4), R},
  };
  return cases;
}

}  // namespace tarn::web::testing
