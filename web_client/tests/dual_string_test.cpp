#include <gtest/gtest.h>

#include <string>

#include "dual_string.h"
#include "tarn/tarn_web_com.h"
#include "text_codec.h"
#include "utf8.h"

namespace tarn::web {
namespace {

std::u16string Units(size_t n, char16_t c) {
  return std::u16string(n, c);
}

TEST(DualStringTest, WideTextOfAtMost255UnitsIsKeptInBothForms) {
  const std::u16string text = u"h\u00e9llo";
  CDualString s;
  s.SetWide(text.c_str());
  EXPECT_EQ(std::u16string(s.wide), text);
  EXPECT_STREQ(s.narrow, "h\xc3\xa9llo");
  EXPECT_EQ(s.length, text.size());

  const std::u16string longest = Units(255, u'a');
  s.SetWide(longest.c_str());
  EXPECT_EQ(std::u16string(s.wide), longest);
  EXPECT_EQ(std::string(s.narrow), std::string(255, 'a'));
}

TEST(DualStringTest, OverLongNullAndUnconvertibleArgumentsActAsEmpty) {
  const std::u16string too_long = Units(256, u'a');
  // 128 x U+00E9 fits the wide field but needs 256 bytes narrow: no room for a terminator.
  const std::u16string narrow_too_long = Units(128, u'\u00e9');
  for (const TARN_WCHAR* arg :
       {static_cast<const TARN_WCHAR*>(nullptr), too_long.c_str(), narrow_too_long.c_str()}) {
    CDualString s;
    s.SetWide(u"left over");
    s.SetWide(arg);
    EXPECT_EQ(s.wide[0], 0);
    EXPECT_EQ(s.narrow[0], 0);
    EXPECT_EQ(s.length, 0u);
  }
  const std::u16string just_fits = Units(127, u'\u00e9');  // 254 bytes
  CDualString s;
  s.SetWide(just_fits.c_str());
  EXPECT_EQ(std::string(s.narrow).size(), 254u);
}

TEST(DualStringTest, LoneSurrogateBecomesReplacementCharacter) {
  const char16_t text[] = {u'a', 0xD800, u'b', 0};
  CDualString s;
  s.SetWide(text);
  EXPECT_STREQ(s.narrow,
               "a\xef\xbf\xbd"
               "b");
}

TEST(DualStringTest, NarrowTextConvertsToWide) {
  CDualString s;
  s.SetNarrow("404 Not Found");
  EXPECT_EQ(std::u16string(s.wide), u"404 Not Found");
  s.SetNarrow(std::string(255, 'x').c_str());
  EXPECT_EQ(std::u16string(s.wide).size(), 255u);
  s.SetNarrow(std::string(256, 'x').c_str());
  EXPECT_EQ(s.wide[0], 0);
  EXPECT_EQ(s.narrow[0], 0);
  s.SetNarrow(nullptr);
  EXPECT_EQ(s.wide[0], 0);
}

TEST(Utf8ByteCountTest, CountsTheTerminatorAndReplacesLoneSurrogates) {
  const char16_t pair[] = {0xD83D, 0xDE00, 0};
  const char16_t lone[] = {0xDC00, 0};
  struct Case {
    const char16_t* text;
    int bytes;
  } cases[] = {{u"", 1}, {u"abc", 4}, {u"\u00e9", 3}, {u"\u3042", 4}, {pair, 5}, {lone, 4}};
  for (const auto& c : cases) EXPECT_EQ(GetUtf8ByteCountW(c.text), c.bytes);
  EXPECT_EQ(GetUtf8ByteCountW(nullptr), 0);
}

struct RecodeCase {
  std::string name;
  std::string in;
  std::string out;
};

const std::string R = "\xef\xbf\xbd";  // U+FFFD

class RecodeTest : public ::testing::TestWithParam<RecodeCase> {};

TEST_P(RecodeTest, MalformedSequencesBecomeOneReplacementPerMaximalSubpart) {
  std::string out;
  int error = -1;
  ASSERT_TRUE(RecodeUtf8(GetParam().in.data(), GetParam().in.size(), out, error));
  EXPECT_EQ(out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Utf8, RecodeTest,
    ::testing::Values(RecodeCase{"Empty", "", ""},
                      RecodeCase{"Valid", "a\xc3\xa9\xe3\x81\x82\xf0\x9f\x98\x80",
                                 "a\xc3\xa9\xe3\x81\x82\xf0\x9f\x98\x80"},
                      RecodeCase{"LoneContinuations",
                                 "a\x80\xbf"
                                 "b",
                                 "a" + R + R + "b"},
                      RecodeCase{"TruncatedTwoByte",
                                 "\xc3"
                                 "a",
                                 R + "a"},
                      RecodeCase{"TruncatedThreeByte",
                                 "\xe3\x81"
                                 "a",
                                 R + "a"},
                      RecodeCase{"TruncatedFourByteAtEnd", "\xf0\x9f\x98", R},
                      RecodeCase{"OverlongTwoByte", "\xc0\xaf", R + R},
                      RecodeCase{"OverlongC1", "\xc1\xbf", R + R},
                      RecodeCase{"OverlongThreeByte", "\xe0\x80\xaf", R + R + R},
                      RecodeCase{"OverlongFourByte", "\xf0\x80\x80\xaf", R + R + R + R},
                      RecodeCase{"EncodedSurrogate", "\xed\xa0\x80", R + R + R},
                      RecodeCase{"AboveUnicode", "\xf4\x90\x80\x80", R + R + R + R},
                      RecodeCase{"F5ToFF", "\xf5\xf8\xfc\xfe\xff", R + R + R + R + R},
                      RecodeCase{"ZeroByteCuts", std::string("ab\0cd", 5), "ab"},
                      RecodeCase{"ZeroAfterMalformed", std::string("\xe3\x81\0x", 4), R}),
    [](const auto& c) { return c.param.name; });

}  // namespace
}  // namespace tarn::web
