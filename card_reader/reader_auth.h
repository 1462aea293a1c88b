// Triple-DES challenge-response with the reader, and its secure-messaging setting.
#pragma once

#include <cstdint>

namespace tarn::iccr {

// The reader's authentication keys.
extern const uint8_t kAuthKeyA[8];
extern const uint8_t kAuthKeyB[8];
extern const uint8_t kAuthKeyC[8];

extern uint8_t g_SecuritySetting[3];

int GetChallenge(int port, uint8_t challenge[8]);
int MutualAuthenticate(int port, const uint8_t response[8], const uint8_t host_challenge[8],
                       uint8_t answer[8]);
// Returns the result of its last command (> 0 on success); on success the session key,
// the sequence number 1 and the key components are in place.
int AuthenticateReader(int port, const uint8_t a[8], const uint8_t b[8], const uint8_t c[8]);
int ReadSecurityMode(int port, uint8_t setting[3]);
int EnableSecureMode(int port);

}  // namespace tarn::iccr
