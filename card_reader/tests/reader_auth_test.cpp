// Authentication and secure messaging end to end with the reader simulator.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "reader_auth.h"
#include "reader_frame.h"
#include "reader_sequence.h"
#include "reader_sim.h"
#include "serial_link.h"
#include "test_helpers.h"

namespace tarn::iccr {
namespace {

std::string Hex(const uint8_t* data, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out.push_back(kHex[data[i] >> 4]);
    out.push_back(kHex[data[i] & 15]);
  }
  return out;
}

class AuthTest : public ::testing::Test {
 protected:
  void Start(const std::vector<std::string>& options = {}) {
    sim_ = std::make_unique<test::ReaderSim>(options);
    port_ = ComOpen(sim_->device().c_str());
    ASSERT_GE(port_, 0);
    g_bSecureMode = 0;
    g_nSequence = 0;
    std::memset(g_SessionKey, 0, sizeof g_SessionKey);
  }
  void TearDown() override {
    if (port_ >= 0) ComClose(port_);
    g_bSecureMode = 0;
  }
  nlohmann::json State() { return sim_->Command({{"cmd", "state"}}); }
  int Count(int ins) {
    int n = 0;
    for (const auto& e : sim_->Log()) n += e.direction == "rx" && e.ins == ins;
    return n;
  }
  // A FeliCa read: a card frame, wrapped whenever secure messaging is on.
  int ReadBlock(uint8_t data[16]) {
    const uint8_t idm[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    return ReadFelicaBlock(port_, idm, 0, 0, data);
  }

  std::unique_ptr<test::ReaderSim> sim_;
  int port_ = -1;
};

TEST_F(AuthTest, BothSidesHoldTheSameSessionKeyAndWrappedFramesRoundTrip) {
  Start();
  ASSERT_GT(AuthenticateReader(port_, kAuthKeyA, kAuthKeyB, kAuthKeyC), 0);
  EXPECT_EQ(g_nSequence, 1);
  EXPECT_EQ(State()["session_key"], Hex(g_SessionKey, 8));
  EXPECT_EQ(std::memcmp(g_SessionKeyParts[1], kAuthKeyB, 8), 0);

  ASSERT_GT(ReadSecurityMode(port_, g_SecuritySetting), 0);
  ASSERT_GT(EnableSecureMode(port_), 0);
  EXPECT_EQ(g_bSecureMode, 1);
  EXPECT_EQ(Count(0x81), 2) << "switching secure messaging on authenticates again";
  auto state = State();
  EXPECT_TRUE(state["secure"].get<bool>());
  EXPECT_EQ(state["session_key"], Hex(g_SessionKey, 8));

  sim_->Command({{"cmd", "card"},
                 {"kind", "F"},
                 {"idm", "0102030405060708"},
                 {"block", "00112233445566778899aabbccddeeff"}});
  ASSERT_GT(SetRfField(port_, 1), 0);
  uint8_t data[16] = {};
  ASSERT_EQ(ReadBlock(data), 16);
  EXPECT_EQ(Hex(data, 16), "00112233445566778899aabbccddeeff");
  EXPECT_EQ(g_nSequence, 2) << "the reader answered with 1; we send its number plus one";
  ASSERT_EQ(ReadBlock(data), 16);
  EXPECT_EQ(g_nSequence, 4);
  EXPECT_EQ(State()["expect_seq"], 4);
  for (const auto& e : sim_->Log()) {
    if (e.type == 0x2C && e.direction == "tx") {
      EXPECT_FALSE(e.plain_hex.empty()) << "card frames travel wrapped";
    }
  }
}

TEST_F(AuthTest, EndOfTheReadersNumbersBringsANewSessionKey) {
  Start({"--secure-on", "--sequence-start", "0xFFFD"});
  ASSERT_GT(ReadSecurityMode(port_, g_SecuritySetting), 0);
  g_bSecureMode = g_SecuritySetting[1] == 0x11;
  ASSERT_EQ(g_bSecureMode, 1);
  ASSERT_GT(AuthenticateReader(port_, kAuthKeyA, kAuthKeyB, kAuthKeyC), 0);
  sim_->Command({{"cmd", "card"}, {"kind", "F"}, {"idm", "0102030405060708"}});
  ASSERT_GT(SetRfField(port_, 1), 0);
  uint8_t first_key[8];
  std::memcpy(first_key, g_SessionKey, 8);
  uint8_t data[16];
  ASSERT_EQ(ReadBlock(data), 16);
  EXPECT_EQ(g_nSequence, 0xFFFE);
  ASSERT_EQ(ReadBlock(data), 16) << "the reply carrying 0xFFFF is still handed over";
  EXPECT_EQ(g_nSequence, 1);
  EXPECT_EQ(Count(0x81), 2);
  EXPECT_NE(std::memcmp(first_key, g_SessionKey, 8), 0);
  EXPECT_EQ(State()["session_key"], Hex(g_SessionKey, 8));
  ASSERT_EQ(ReadBlock(data), 16) << "and the new key works";
}

TEST_F(AuthTest, FailedSwitchStillAuthenticatesAndLeavesSecureModeOff) {
  Start();
  ASSERT_GT(AuthenticateReader(port_, kAuthKeyA, kAuthKeyB, kAuthKeyC), 0);
  sim_->Command({{"cmd", "fault"}, {"mode", "status"}, {"sw", "6a86"}, {"ins", 0x85}});
  EXPECT_EQ(EnableSecureMode(port_), -1);
  EXPECT_EQ(g_nReaderError, 0x6A86);
  EXPECT_EQ(g_bSecureMode, 0);
  EXPECT_EQ(Count(0x81), 2);
}

TEST_F(AuthTest, SecureModeAlreadyOnSendsNothing) {
  Start();
  g_bSecureMode = 1;
  sim_->ClearLog();
  EXPECT_EQ(EnableSecureMode(port_), 1);
  EXPECT_TRUE(sim_->Log().empty());
}

TEST_F(AuthTest, WrongKeysFailAndKeepTheSession) {
  Start();
  ASSERT_GT(AuthenticateReader(port_, kAuthKeyA, kAuthKeyB, kAuthKeyC), 0);
  uint8_t key[8];
  std::memcpy(key, g_SessionKey, 8);
  g_nSequence = 7;
  EXPECT_EQ(AuthenticateReader(port_, kAuthKeyB, kAuthKeyA, kAuthKeyC), -1);
  EXPECT_EQ(g_nReaderError, 0x6300);
  EXPECT_EQ(g_nSequence, 7);
  EXPECT_EQ(std::memcmp(key, g_SessionKey, 8), 0);
}

TEST_F(AuthTest, HostRandomComesFromTheGeneratorSeededWithTheTime) {
  Start();
  for (int attempt = 0; attempt < 3; ++attempt) {
    sim_->ClearLog();
    const std::time_t before = std::time(nullptr);
    ASSERT_GT(AuthenticateReader(port_, kAuthKeyA, kAuthKeyB, kAuthKeyC), 0);
    ASSERT_GT(AuthenticateReader(port_, kAuthKeyA, kAuthKeyB, kAuthKeyC), 0);
    if (std::time(nullptr) != before) continue;  // crossed a second: draw again
    std::vector<std::string> sent;
    for (const auto& e : sim_->Log()) {
      if (e.direction == "rx" && e.ins == 0x83) sent.push_back(e.hex.substr(32, 16));
    }
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], sent[1]) << "one second, one host random";

    // The host challenge deciphers under B (with our fixed tail) to four draws of the
    // generator seeded with the time, each little-endian.
    std::vector<uint8_t> challenge(8);
    for (size_t i = 0; i < 8; ++i) {
      challenge[i] = static_cast<uint8_t>(std::stoi(sent[0].substr(2 * i, 2), nullptr, 16));
    }
    uint8_t host_key[24] = {};
    std::memcpy(host_key, kAuthKeyB, 8);
    const auto random = helpers::ReferenceTripleDes(host_key, challenge, false);
    std::srand(static_cast<unsigned>(before));
    for (size_t i = 0; i < 4; ++i) {
      const int value = std::rand() & 0x7FFF;
      EXPECT_EQ(random[2 * i], value & 0xFF) << i;
      EXPECT_EQ(random[2 * i + 1], value >> 8) << i;
    }
    return;
  }
  FAIL() << "no two authentications fell within one second";
}

}  // namespace
}  // namespace tarn::iccr
