#include <gtest/gtest.h>

#include <random>
#include <string>

#include "digest.h"
#include "md5.h"
#include "reference_md5.h"
#include "tarn/tarn_web_com.h"

namespace tarn::web {
namespace {

using testing::ReferenceMd5Hex;

TEST(Md5Test, Rfc1321Suite) {
  const std::pair<std::string, std::string> suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"}};
  for (const auto& [text, digest] : suite) EXPECT_EQ(MD5HexString(text), digest) << text;
}

TEST(Md5Test, AgreesWithOpenSslOnEveryLengthUpTo300) {
  std::mt19937 rng(1321);
  for (size_t length = 0; length <= 300; ++length) {
    std::string data(length, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    ASSERT_EQ(MD5HexString(data), ReferenceMd5Hex(data)) << "length " << length;
  }
}

TEST(Md5Test, PiecewiseUpdatesEqualOneUpdate) {
  std::string data(1000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  Md5 md5;
  for (size_t pos = 0, step = 1; pos < data.size(); pos += step, step = step * 3 % 97 + 1) {
    md5.Update(data.data() + pos, std::min(step, data.size() - pos));
  }
  const auto digest = md5.Final();
  std::string hex;
  for (uint8_t b : digest) {
    static const char kHex[] = "0123456789abcdef";
    hex.push_back(kHex[b >> 4]);
    hex.push_back(kHex[b & 15]);
  }
  EXPECT_EQ(hex, ReferenceMd5Hex(data));
}

TEST(UrlEncodeTest, EncodesEveryByteClass) {
  const std::pair<std::string, std::string> cases[] = {
      {"AZaz09", "AZaz09"}, {"-._", "-._"},       {" ", "+"},   {"+", "%2B"},    {"/", "%2F"},
      {"~", "%7E"},         {"*", "%2A"},         {"&", "%26"}, {"\x7f", "%7F"}, {"\x80", "%80"},
      {"\xe9", "%E9"},      {"a b&c", "a+b%26c"}, {"", ""}};
  for (const auto& [in, out] : cases) EXPECT_EQ(UrlEncode(in), out) << in;
}

TEST(EncryptWTest, DigestsUserSaltAndPassword) {
  TARN_WCHAR digest[40];
  for (auto& c : digest) c = u'#';
  EXPECT_EQ(EncryptW(digest, u"admin", u"secret"), 0);
  const std::string expected = ReferenceMd5Hex("admin:qm4vr7:secret");
  EXPECT_EQ(std::u16string(digest), std::u16string(expected.begin(), expected.end()));
  for (int i = 33; i < 40; ++i) EXPECT_EQ(digest[i], u'#') << "unit " << i << " was written";
}

TEST(EncryptWTest, EmptyAndOverLongArgumentsDigestAsEmpty) {
  const std::string empty = ReferenceMd5Hex(":qm4vr7:");
  const std::u16string too_long(256, u'x');
  const TARN_WCHAR* args[][2] = {
      {u"", u""}, {nullptr, nullptr}, {too_long.c_str(), u""}, {u"", too_long.c_str()}};
  for (const auto& a : args) {
    TARN_WCHAR digest[33];
    EncryptW(digest, a[0], a[1]);
    EXPECT_EQ(std::u16string(digest), std::u16string(empty.begin(), empty.end()));
  }
}

TEST(ExportsTest, ProxySwitchAndPlaceholder) {
  EXPECT_EQ(SetProxySetting(5), 1);
  EXPECT_EQ(SetProxySetting(0), 1);
  EXPECT_EQ(SetProxySetting(1), 1);
  EXPECT_EQ(fnZCCOMUTILDLL(), 0);
}

}  // namespace
}  // namespace tarn::web
