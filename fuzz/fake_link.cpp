#include "fake_link.h"

#include <cstring>
#include <utility>

#include "serial_link.h"

namespace tarn::fuzz {
namespace {

std::vector<std::vector<uint8_t>> g_replies;
size_t g_next = 0;

}  // namespace

void ScriptReplies(std::vector<std::vector<uint8_t>> replies) {
  g_replies = std::move(replies);
  g_next = 0;
}

}  // namespace tarn::fuzz

namespace tarn::iccr {

using fuzz::g_next;
using fuzz::g_replies;

int ComOpen(const char*) {
  return fuzz::kFakePort;
}

void ComClose(int) {}

// No reply left is a reader that stays silent.
int ComRead(int port, void* buffer, int size) {
  if (port != fuzz::kFakePort || size <= 0 || g_next >= g_replies.size()) return 0;
  const auto& reply = g_replies[g_next++];
  const size_t count =
      reply.size() < static_cast<size_t>(size) ? reply.size() : static_cast<size_t>(size);
  if (count > 0) std::memcpy(buffer, reply.data(), count);
  return static_cast<int>(count);
}

int ComWrite(int port, const void* buffer, int size) {
  if (port != fuzz::kFakePort || buffer == nullptr) return 0;
  return size;
}

}  // namespace tarn::iccr
