#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "des.h"
#include "test_helpers.h"

namespace tarn::iccr {
namespace {

using Block = std::array<uint8_t, 8>;

Block FromHex(const char* hex) {
  Block b{};
  for (int i = 0; i < 8; ++i) {
    unsigned v = 0;
    std::sscanf(hex + 2 * i, "%2x", &v);
    b[static_cast<size_t>(i)] = static_cast<uint8_t>(v);
  }
  return b;
}

using helpers::ReferenceTripleDes;

TEST(DesTest, PublishedVectors) {
  struct Case {
    const char* key;
    const char* plain;
    const char* cipher;
  } cases[] = {{"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
               {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
               {"0E329232EA6D0D73", "8787878787878787", "0000000000000000"}};
  for (const auto& c : cases) {
    const Block key = FromHex(c.key);
    const Block plain = FromHex(c.plain);
    Block out{};
    DesBlock(key.data(), plain.data(), out.data(), true);
    EXPECT_EQ(out, FromHex(c.cipher)) << c.key;
    Block back{};
    DesBlock(key.data(), out.data(), back.data(), false);
    EXPECT_EQ(back, plain);
  }
}

TEST(DesTest, TripleDesPublishedExample) {
  // Three distinct keys over three blocks of "The qufck brown fox jump".
  uint8_t key[24];
  const char* parts[] = {"0123456789ABCDEF", "23456789ABCDEF01", "456789ABCDEF0123"};
  for (int i = 0; i < 3; ++i) std::memcpy(key + 8 * i, FromHex(parts[i]).data(), 8);
  const char* plain_hex[] = {"5468652071756663", "6B2062726F776E20", "666F78206A756D70"};
  const char* cipher_hex[] = {"A826FD8CE53B855F", "CCE21C8112256FE6", "68D5C05DD9B6B900"};
  uint8_t plain[24];
  uint8_t expected[24];
  for (int i = 0; i < 3; ++i) {
    std::memcpy(plain + 8 * i, FromHex(plain_hex[i]).data(), 8);
    std::memcpy(expected + 8 * i, FromHex(cipher_hex[i]).data(), 8);
  }
  uint8_t out[24];
  EXPECT_EQ(TripleDesEcbCrypt(out, plain, 24, key, 1), 1);
  EXPECT_EQ(std::memcmp(out, expected, 24), 0);
  uint8_t back[24];
  TripleDesEcbCrypt(back, out, 24, key, 0);
  EXPECT_EQ(std::memcmp(back, plain, 24), 0);
}

TEST(DesTest, AgreesWithOpenSslOnRandomKeysAndBlocks) {
  std::mt19937 rng(4646);
  for (int round = 0; round < 200; ++round) {
    uint8_t key[24];
    for (auto& b : key) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> data(8 * (1 + round % 4));
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> ours(data.size());
    for (int encipher = 0; encipher < 2; ++encipher) {
      TripleDesEcbCrypt(ours.data(), data.data(), static_cast<int>(data.size()), key, encipher);
      ASSERT_EQ(ours, ReferenceTripleDes(key, data, encipher != 0)) << "round " << round;
    }
    uint8_t single[24];
    for (int i = 0; i < 3; ++i) std::memcpy(single + 8 * i, key, 8);
    Block out{};
    DesBlock(key, data.data(), out.data(), true);
    const auto reference = ReferenceTripleDes(single, {data.begin(), data.begin() + 8}, true);
    ASSERT_TRUE(std::equal(out.begin(), out.end(), reference.begin()));
  }
}

TEST(DesTest, TripleDesWithEqualKeysIsSingleDes) {
  const Block k = FromHex("0123456789ABCDEF");
  uint8_t key[24];
  for (int i = 0; i < 3; ++i) std::memcpy(key + 8 * i, k.data(), 8);
  const Block plain = FromHex("4E6F772069732074");
  Block triple{};
  Block single{};
  TripleDesEcbCrypt(triple.data(), plain.data(), 8, key, 1);
  DesBlock(k.data(), plain.data(), single.data(), true);
  EXPECT_EQ(triple, single);
}

TEST(DesTest, CbcRoundTripChainsAndMatchesOpenSsl) {
  const Block key = FromHex("0123456789ABCDEF");
  uint8_t plain[24];
  for (int i = 0; i < 24; ++i) plain[i] = static_cast<uint8_t>(i * 37);
  uint8_t cipher[24];
  uint8_t chain[8] = {};
  EXPECT_EQ(DesCbcCrypt(cipher, plain, 24, key.data(), chain, 1), 1);
  EXPECT_EQ(std::memcmp(chain, cipher + 16, 8), 0) << "the chain is the last ciphertext block";
  // Block 2 is DES(plain2 ^ cipher1): check one link against the reference.
  uint8_t key3[24];
  for (int i = 0; i < 3; ++i) std::memcpy(key3 + 8 * i, key.data(), 8);
  std::vector<uint8_t> mixed(8);
  for (int i = 0; i < 8; ++i) mixed[i] = static_cast<uint8_t>(plain[8 + i] ^ cipher[i]);
  const auto expected = ReferenceTripleDes(key3, mixed, true);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), cipher + 8));

  uint8_t back[24];
  uint8_t fresh[8] = {};
  DesCbcCrypt(back, cipher, 24, key.data(), fresh, 0);
  EXPECT_EQ(std::memcmp(back, plain, 24), 0);
  // In place, as the frame layer may use it.
  uint8_t in_place[24];
  std::memcpy(in_place, cipher, 24);
  uint8_t again[8] = {};
  DesCbcCrypt(in_place, in_place, 24, key.data(), again, 0);
  EXPECT_EQ(std::memcmp(in_place, plain, 24), 0);
}

TEST(DesTest, LengthZeroOrPartialBlockTouchesNothingBeyond) {
  const Block key = FromHex("0123456789ABCDEF");
  uint8_t out[16];
  std::memset(out, 0xAA, sizeof out);
  uint8_t chain[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const uint8_t in[16] = {};
  EXPECT_EQ(DesCbcCrypt(out, in, 0, key.data(), chain, 1), 1);
  EXPECT_EQ(out[0], 0xAA);
  EXPECT_EQ(chain[0], 1);
  EXPECT_EQ(DesCbcCrypt(out, in, 12, key.data(), chain, 1), 1);
  EXPECT_EQ(out[8], 0xAA) << "a trailing partial block is left alone";
}

}  // namespace
}  // namespace tarn::iccr
