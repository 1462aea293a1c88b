// The serial link as the fuzz targets play it: each read hands over the next scripted reply
// (cut to the room the reader asked for); what is written is dropped.
#pragma once

#include <cstdint>
#include <vector>

namespace tarn::fuzz {

constexpr int kFakePort = 3;

void ScriptReplies(std::vector<std::vector<uint8_t>> replies);

}  // namespace tarn::fuzz
