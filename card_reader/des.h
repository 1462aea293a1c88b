// DES and three-key triple DES, and the two modes the reader protocol uses.
#pragma once

#include <cstdint>

namespace tarn::iccr {

// Single DES in CBC mode over `length` bytes; `chain` is updated in place. Only whole
// 8-byte blocks are processed. Non-zero `encipher` enciphers. Returns 1.
int DesCbcCrypt(uint8_t* output, const uint8_t* input, int length, const uint8_t key[8],
                uint8_t chain[8], int encipher);
// Triple DES (K1 | K2 | K3) in ECB mode over `length` bytes, whole blocks only. Returns 1.
int TripleDesEcbCrypt(uint8_t* output, const uint8_t* input, int length, const uint8_t key[24],
                      int encipher);

// One block under one key.
void DesBlock(const uint8_t key[8], const uint8_t in[8], uint8_t out[8], bool encipher);

}  // namespace tarn::iccr
