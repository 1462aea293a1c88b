// Independent reference for the product's MD5: OpenSSL's.
#pragma once

#include <openssl/evp.h>

#include <string>

namespace tarn::web::testing {

inline std::string ReferenceMd5Hex(const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), out, &n, EVP_md5(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < n; ++i) {
    hex.push_back(kHex[out[i] >> 4]);
    hex.push_back(kHex[out[i] & 15]);
  }
  return hex;
}

}  // namespace tarn::web::testing
