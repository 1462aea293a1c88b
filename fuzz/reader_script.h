// Reader replies drawn from the fuzzer's bytes. Each reply is sent as drawn, with its check
// byte made right, or as a secure-messaging frame sealed under the session key, so that the
// judging past the check byte and the deciphering is reached as well.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

#include "des.h"
#include "fake_link.h"
#include "reader_frame.h"

namespace tarn::fuzz {

using Bytes = std::vector<uint8_t>;

inline void FixCheck(Bytes& frame) {
  if (frame.empty()) return;
  uint8_t x = 0;
  for (size_t i = 0; i + 1 < frame.size(); ++i) x = static_cast<uint8_t>(x ^ frame[i]);
  frame.back() = x;
}

inline Bytes DrawReply(FuzzedDataProvider& in) {
  const int kind = in.ConsumeIntegralInRange(0, 2);
  Bytes body = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 72));
  if (kind == 0) return body;
  if (kind == 1) {
    body.push_back(0);
    FixCheck(body);
    return body;
  }
  // The plain block: number, inner length, inner body; padding to whole blocks, whose last
  // byte is made the plain check so that the fuzzer need not find it.
  Bytes plain = std::move(body);
  plain.resize(plain.size() < 8 ? 8 : (plain.size() + 7) / 8 * 8, 0);
  if (in.ConsumeBool()) {
    uint8_t x = 0;
    for (size_t i = 0; i + 1 < plain.size(); ++i) x = static_cast<uint8_t>(x ^ plain[i]);
    plain.back() = x;
  }
  const auto p = static_cast<int>(plain.size());
  Bytes frame{in.ConsumeIntegral<uint8_t>(), static_cast<uint8_t>(p >> 8), static_cast<uint8_t>(p)};
  frame.resize(3 + plain.size() + 1);
  uint8_t chain[8] = {};
  iccr::DesCbcCrypt(frame.data() + 3, plain.data(), p, iccr::g_SessionKey, chain, 1);
  FixCheck(frame);
  return frame;
}

// The session state the frame layer keeps between calls, from the input.
inline void DrawSession(FuzzedDataProvider& in) {
  iccr::g_bSecureMode = in.ConsumeBool() ? 1 : 0;
  iccr::g_nSequence = in.ConsumeIntegral<uint16_t>();
  for (auto& b : iccr::g_SessionKey) b = in.ConsumeIntegral<uint8_t>();
  iccr::g_nReaderError = 0;
}

inline void DrawReplies(FuzzedDataProvider& in, size_t most) {
  std::vector<Bytes> replies;
  while (replies.size() < most && in.remaining_bytes() > 0) replies.push_back(DrawReply(in));
  ScriptReplies(std::move(replies));
}

}  // namespace tarn::fuzz
