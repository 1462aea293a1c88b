// MD5 (RFC 1321).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarn::web {

class Md5 {
 public:
  Md5();
  void Update(const void* data, size_t size);
  std::array<uint8_t, 16> Final();

 private:
  void Transform(const uint8_t block[64]);
  uint32_t state_[4];
  uint64_t bit_count_ = 0;
  uint8_t buffer_[64] = {};
};

}  // namespace tarn::web
