#include <gtest/gtest.h>

#include <string>

#include "dual_string.h"
#include "text_codec.h"
#include "utf8.h"
#include "utf8_cases.h"

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

using testing::RecodeCase;

class RecodeTest : public ::testing::TestWithParam<RecodeCase> {};

TEST_P(RecodeTest, MalformedSequencesBecomeOneReplacementPerMaximalSubpart) {
  std::string out;
  int error = -1;
  ASSERT_TRUE(RecodeUtf8(GetParam().in.data(), GetParam().in.size(), out, error));
  EXPECT_EQ(out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(Utf8, RecodeTest, ::testing::ValuesIn(testing::RecodeCases()),
                         [](const auto& c) { return c.param.name; });

}  // namespace
}  // namespace tarn::web
