// Cuts a buffer into pieces, as reads from a file or the network do. The cuts come from a
// generator seeded by the bytes themselves, so the corpus stays plain text and a run repeats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace tarn::fuzz {

// Piece sizes adding up to `size`: mostly short ones (a multi-byte sequence or a marker cut
// through), now and then an empty one.
inline std::vector<size_t> DrawPieces(const uint8_t* data, size_t size) {
  uint32_t seed = 2166136261u;
  for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 16777619u;
  std::minstd_rand random(seed);
  std::vector<size_t> sizes;
  size_t left = size;
  while (left > 0) {
    const size_t most = random() % 4 == 0 ? 300 : 5;
    size_t piece = random() % (most + 1);
    if (piece > left) piece = left;
    sizes.push_back(piece);
    left -= piece;
  }
  return sizes;
}

}  // namespace tarn::fuzz
