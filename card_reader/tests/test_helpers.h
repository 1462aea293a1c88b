// Small helpers shared by the card reader's tests.
#pragma once

#include <dirent.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "process_probe.h"

namespace tarn::iccr::helpers {

using tarn::test::ThreadCount;

// Independent reference: OpenSSL's triple DES (K1 | K2 | K3) in ECB or CBC with a zero IV.
inline std::vector<uint8_t> ReferenceTripleDes(const uint8_t key[24],
                                               const std::vector<uint8_t>& in, bool encipher,
                                               bool cbc = false) {
  const uint8_t iv[8] = {};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, cbc ? EVP_des_ede3_cbc() : EVP_des_ede3_ecb(), nullptr, key, iv,
                    encipher ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  std::vector<uint8_t> out(in.size() + 8);
  int n = 0;
  int tail = 0;
  EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
  EVP_CipherFinal_ex(ctx, out.data() + n, &tail);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(n + tail));
  return out;
}

// Single DES is triple DES with one key three times.
inline std::vector<uint8_t> ReferenceDesCbc(const uint8_t key[8], const std::vector<uint8_t>& in,
                                            bool encipher) {
  uint8_t key3[24];
  for (int i = 0; i < 3; ++i) std::memcpy(key3 + 8 * i, key, 8);
  return ReferenceTripleDes(key3, in, encipher, true);
}

}  // namespace tarn::iccr::helpers
