#include "reader_frame.h"

#include <chrono>
#include <cstring>
#include <mutex>

#include "des.h"
#include "reader_auth.h"
#include "serial_link.h"

namespace tarn::iccr {

uint8_t g_bSecureMode = 0;
uint16_t g_nSequence = 0;
uint8_t g_SessionKey[8] = {};
uint8_t g_ChainValue[8] = {};
uint16_t g_nReaderError = 0;
uint8_t g_SessionKeyParts[3][8] = {};

namespace {

// Recursive: a re-authentication runs its own exchanges inside the one that triggered it.
std::recursive_timed_mutex g_linkLock;

constexpr int kMaxWrappedBody = kFrameBufferSize - 4 - 5 - 4;  // P + 4 must fit: n <= 51

bool IsCardFrame(uint8_t type) {
  return type == 0x2A || type == 0x2C;
}

uint8_t Xor(const uint8_t* data, int count) {
  uint8_t x = 0;
  for (int i = 0; i < count; ++i) x = static_cast<uint8_t>(x ^ data[i]);
  return x;
}

int Reject(uint16_t code) {
  g_nReaderError = code;
  return -1;
}

int TypeCode(uint8_t type) {
  return Reject(static_cast<uint16_t>(type << 8));
}

int Exchange(int port, const uint8_t* command, int length, uint8_t* reply, int size) {
  if (command == nullptr || length < 4 || length > kFrameBufferSize) {
    return TypeCode(command != nullptr && length > 0 ? command[0] : 0);
  }
  uint8_t frame[kFrameBufferSize] = {};
  uint8_t plain[kFrameBufferSize] = {};
  const uint8_t type = command[0];
  const bool wrapped = g_bSecureMode != 0 && IsCardFrame(type);
  int frame_length = length;
  if (wrapped) {
    const int n = (command[1] << 8) | command[2];
    if (n > kMaxWrappedBody || n + 4 > length) return TypeCode(type);
    const int p = ((n + 12) / 8) * 8;
    plain[0] = static_cast<uint8_t>(g_nSequence >> 8);
    plain[1] = static_cast<uint8_t>(g_nSequence);
    plain[2] = command[1];
    plain[3] = command[2];
    std::memcpy(plain + 4, command + 3, static_cast<size_t>(n));
    plain[p - 1] = Xor(plain, p - 1);
    std::memset(g_ChainValue, 0, sizeof g_ChainValue);
    DesCbcCrypt(frame + 3, plain, p, g_SessionKey, g_ChainValue, 1);
    frame[0] = type;
    frame[1] = static_cast<uint8_t>(p >> 8);
    frame[2] = static_cast<uint8_t>(p);
    frame_length = p + 4;
  } else {
    std::memcpy(frame, command, static_cast<size_t>(length));
  }
  frame[frame_length - 1] = Xor(frame, frame_length - 1);

  const int written = ComWrite(port, frame, frame_length);
  if (written <= 0) return written;

  const int received = ComRead(port, frame, kFrameBufferSize);
  if (received <= 0) {
    g_nReaderError = 0;
    return 0;
  }
  const uint8_t reply_type = frame[0];
  if (received < 3) return TypeCode(reply_type);
  const auto l = static_cast<int16_t>((frame[1] << 8) | frame[2]);
  // A length that claims more than arrived is rejected before anything is read beyond it.
  if (l + 4 > received) return TypeCode(reply_type);
  if (l + 4 > 0) {
    const uint8_t x = Xor(frame, l + 4);
    if (x != 0) return Reject(static_cast<uint16_t>(0xFF00 | x));
  }

  int handed_over = received;
  if (wrapped) {
    if (l < 1 || l % 8 != 0) return TypeCode(reply_type);
    std::memset(g_ChainValue, 0, sizeof g_ChainValue);
    DesCbcCrypt(plain, frame + 3, l, g_SessionKey, g_ChainValue, 0);
    const uint8_t x = Xor(plain, l);
    if (x != 0) return Reject(static_cast<uint16_t>(0xFF00 | x));
    const int n = (plain[2] << 8) | plain[3];
    if (n > l - 5) return TypeCode(reply_type);
    frame[1] = plain[2];
    frame[2] = plain[3];
    std::memcpy(frame + 3, plain + 4, static_cast<size_t>(n));
    handed_over = n + 3;
    g_nSequence = static_cast<uint16_t>(((plain[0] << 8) | plain[1]) + 1);
    if (g_nSequence == 0) {
      // The reader's numbers have run out: a fresh session key restarts them.
      AuthenticateReader(port, g_SessionKeyParts[0], g_SessionKeyParts[1], g_SessionKeyParts[2]);
    }
  } else if (IsCardFrame(type)) {
    if (l < 1) return TypeCode(reply_type);
  } else {
    if (l < 2) return TypeCode(reply_type);
    const uint8_t sw1 = frame[l + 1];
    const uint8_t sw2 = frame[l + 2];
    if (sw1 != 0x90 || sw2 != 0x00) return Reject(static_cast<uint16_t>((sw1 << 8) | sw2));
  }
  const int count = handed_over < size ? handed_over : size;
  if (count > 0) std::memcpy(reply, frame, static_cast<size_t>(count));
  return count > 0 ? count : 0;
}

}  // namespace

int ReaderTransceive(int port, const uint8_t* command, int length, uint8_t* reply, int size) {
  std::lock_guard<std::recursive_timed_mutex> lock(g_linkLock);
  return Exchange(port, command, length, reply, size);
}

int ReaderTransceiveWithin(int port, const uint8_t* command, int length, uint8_t* reply, int size,
                           int lock_wait_ms) {
  std::unique_lock<std::recursive_timed_mutex> lock(g_linkLock, std::defer_lock);
  if (!lock.try_lock_for(std::chrono::milliseconds(lock_wait_ms))) return 0;
  return Exchange(port, command, length, reply, size);
}

}  // namespace tarn::iccr
