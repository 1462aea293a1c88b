// The reader's frames: type, big-endian body length, body, XOR check byte; card frames
// wrapped in DES-CBC secure messaging while the reader runs in secure mode.
#pragma once

#include <cstdint>

namespace tarn::iccr {

constexpr int kFrameBufferSize = 64;

// Process-wide state of the reader session, kept while the library stays loaded.
extern uint8_t g_bSecureMode;
extern uint16_t g_nSequence;
extern uint8_t g_SessionKey[8];
extern uint8_t g_ChainValue[8];
extern uint16_t g_nReaderError;
extern uint8_t g_SessionKeyParts[3][8];

// Sends `command` (a whole frame of `length` bytes; its check byte is computed here) and
// reads the reply into `reply` (at most `size` bytes). Returns the bytes handed over (> 0),
// 0 when the command could not be written or no reply came, -1 when the reply was rejected
// (cause in g_nReaderError). Exchanges on the link never overlap.
int ReaderTransceive(int port, const uint8_t* command, int length, uint8_t* reply, int size);
// The same, but waits at most `lock_wait_ms` for a running exchange to finish; returns 0
// without sending when the link stayed busy.
int ReaderTransceiveWithin(int port, const uint8_t* command, int length, uint8_t* reply, int size,
                           int lock_wait_ms);

}  // namespace tarn::iccr
