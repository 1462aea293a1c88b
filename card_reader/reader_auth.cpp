#include "reader_auth.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "des.h"
#include "reader_frame.h"

namespace tarn::iccr {

const uint8_t kAuthKeyA[8] = {0x3B, 0x7E, 0x15, 0xA2, 0xC4, 0x09, 0xF1, 0x6D};
const uint8_t kAuthKeyB[8] = {0x92, 0x4F, 0xD0, 0x38, 0x6B, 0xE5, 0x1A, 0x77};
const uint8_t kAuthKeyC[8] = {0x0E, 0xC9, 0x53, 0xB8, 0x27, 0x7A, 0x9D, 0x41};

uint8_t g_SecuritySetting[3] = {};

namespace {

// Only the first part of the host-challenge key is the reader's; the rest is ours and fixed.
constexpr uint8_t kHostChallengeKeyTail[16] = {};

void MakeKey(uint8_t key[24], const uint8_t k1[8], const uint8_t k2[8], const uint8_t k3[8]) {
  std::memcpy(key, k1, 8);
  std::memcpy(key + 8, k2, 8);
  std::memcpy(key + 16, k3, 8);
}

}  // namespace

int GetChallenge(int port, uint8_t challenge[8]) {
  const uint8_t command[] = {0x28, 0x00, 0x04, 0x00, 0x81, 0x00, 0x00, 0x00};
  uint8_t reply[14] = {};
  const int result = ReaderTransceive(port, command, sizeof command, reply, sizeof reply);
  if (result > 0) {
    std::memcpy(challenge, reply + 3, 8);
  } else {
    std::memset(challenge, 0, 8);
  }
  return result;
}

int MutualAuthenticate(int port, const uint8_t response[8], const uint8_t host_challenge[8],
                       uint8_t answer[8]) {
  uint8_t command[25] = {0x28, 0x00, 0x15, 0x00, 0x83, 0x00, 0x00, 0x10};
  std::memcpy(command + 8, response, 8);
  std::memcpy(command + 16, host_challenge, 8);
  uint8_t reply[14] = {};
  const int result = ReaderTransceive(port, command, sizeof command, reply, sizeof reply);
  if (result > 0) {
    std::memcpy(answer, reply + 3, 8);
  } else {
    std::memset(answer, 0, 8);
  }
  return result;
}

int AuthenticateReader(int port, const uint8_t a[8], const uint8_t b[8], const uint8_t c[8]) {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  uint8_t host_random[8];
  for (int i = 0; i < 4; ++i) {
    const int value = std::rand() & 0x7FFF;  // the range the reader's host always drew
    host_random[2 * i] = static_cast<uint8_t>(value);
    host_random[2 * i + 1] = static_cast<uint8_t>(value >> 8);
  }
  uint8_t aba[24];
  uint8_t bcb[24];
  uint8_t cac[24];
  uint8_t host_key[24];
  MakeKey(aba, a, b, a);
  MakeKey(bcb, b, c, b);
  MakeKey(cac, c, a, c);
  std::memcpy(host_key, b, 8);
  std::memcpy(host_key + 8, kHostChallengeKeyTail, sizeof kHostChallengeKeyTail);

  uint8_t challenge[8];
  int result = GetChallenge(port, challenge);
  if (result <= 0) return result;
  uint8_t plain[8];
  uint8_t response[8];
  TripleDesEcbCrypt(plain, challenge, 8, aba, 0);
  TripleDesEcbCrypt(response, plain, 8, bcb, 1);
  uint8_t host_challenge[8];
  TripleDesEcbCrypt(host_challenge, host_random, 8, host_key, 1);
  uint8_t answer[8];
  result = MutualAuthenticate(port, response, host_challenge, answer);
  if (result <= 0) return result;
  // The reader's answer is deciphered but, as the readers in the field expect, not judged.
  uint8_t answer_plain[8];
  TripleDesEcbCrypt(answer_plain, answer, 8, cac, 0);

  g_nSequence = 1;
  for (int i = 0; i < 8; ++i)
    g_SessionKey[i] = static_cast<uint8_t>(challenge[i] ^ host_challenge[i]);
  uint8_t parts[3][8];
  std::memcpy(parts[0], a, 8);
  std::memcpy(parts[1], b, 8);
  std::memcpy(parts[2], c, 8);
  std::memcpy(g_SessionKeyParts, parts, sizeof parts);  // a, b, c may alias the kept parts
  return result;
}

int ReadSecurityMode(int port, uint8_t setting[3]) {
  const uint8_t command[] = {0x28, 0x00, 0x04, 0x00, 0x87, 0x00, 0x00, 0x00};
  uint8_t reply[9] = {};
  const int result = ReaderTransceive(port, command, sizeof command, reply, sizeof reply);
  if (result > 0) std::memcpy(setting, reply + 3, 3);
  return result;
}

int EnableSecureMode(int port) {
  if (g_bSecureMode) return 1;
  const uint8_t command[] = {0x28,
                             0x00,
                             0x08,
                             0x00,
                             0x85,
                             0x00,
                             0x02,
                             0x03,
                             g_SecuritySetting[0],
                             0x11,
                             g_SecuritySetting[2],
                             0x00};
  uint8_t reply[6] = {};
  const int result = ReaderTransceive(port, command, sizeof command, reply, sizeof reply);
  if (result > 0) g_bSecureMode = 1;
  AuthenticateReader(port, g_SessionKeyParts[0], g_SessionKeyParts[1], g_SessionKeyParts[2]);
  return result;
}

}  // namespace tarn::iccr
