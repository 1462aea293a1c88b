// The exports that reach no appliance, on every target.
#include <gtest/gtest.h>

#include <string>

#include "export_test_env.h"
#include "reference_md5.h"

namespace tarn::web {
namespace {

using testing::ReferenceMd5Hex;
using testing::TargetTest;

class EncryptWTest : public TargetTest {};

TEST_F(EncryptWTest, DigestsUserSaltAndPassword) {
  TARN_WCHAR digest[40];
  for (auto& c : digest) c = u'#';
  EXPECT_EQ(target_->EncryptW(digest, u"admin", u"secret"), 0);
  const std::string expected = ReferenceMd5Hex("admin:qm4vr7:secret");
  EXPECT_EQ(std::u16string(digest), std::u16string(expected.begin(), expected.end()));
  for (int i = 33; i < 40; ++i) EXPECT_EQ(digest[i], u'#') << "unit " << i << " was written";
}

TEST_F(EncryptWTest, EmptyAndOverLongArgumentsDigestAsEmpty) {
  const std::string empty = ReferenceMd5Hex(":qm4vr7:");
  const std::u16string too_long(256, u'x');
  const TARN_WCHAR* args[][2] = {
      {u"", u""}, {nullptr, nullptr}, {too_long.c_str(), u""}, {u"", too_long.c_str()}};
  for (const auto& a : args) {
    TARN_WCHAR digest[33] = {};
    target_->EncryptW(digest, a[0], a[1]);
    EXPECT_EQ(std::u16string(digest), std::u16string(empty.begin(), empty.end()));
  }
}

class Utf8ByteCountTest : public TargetTest {};

TEST_F(Utf8ByteCountTest, CountsTheTerminatorAndReplacesLoneSurrogates) {
  const char16_t pair[] = {0xD83D, 0xDE00, 0};
  const char16_t lone[] = {0xDC00, 0};
  struct Case {
    const char16_t* text;
    int bytes;
  } cases[] = {{u"", 1}, {u"abc", 4}, {u"\u00e9", 3}, {u"\u3042", 4}, {pair, 5}, {lone, 4}};
  for (const auto& c : cases) EXPECT_EQ(target_->GetUtf8ByteCountW(c.text), c.bytes);
  EXPECT_EQ(target_->GetUtf8ByteCountW(nullptr), 0);
}

class ExportsTest : public TargetTest {};

TEST_F(ExportsTest, ProxySwitchAndPlaceholder) {
  EXPECT_EQ(target_->SetProxySetting(5), 1);
  EXPECT_EQ(target_->SetProxySetting(0), 1);
  EXPECT_EQ(target_->SetProxySetting(1), 1);
  EXPECT_EQ(target_->fnZCCOMUTILDLL(), 0);
}

}  // namespace
}  // namespace tarn::web
