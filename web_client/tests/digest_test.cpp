#include <gtest/gtest.h>

#include <random>
#include <string>

#include "digest.h"
#include "md5.h"
#include "reference_md5.h"

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

}  // namespace
}  // namespace tarn::web
