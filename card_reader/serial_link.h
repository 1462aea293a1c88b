// The serial line to the reader: 9600 baud, 8 data bits, even parity, 1 stop bit, raw.
// A handle is a signed 32-bit number; -1 means none.
#pragma once

#include <string>

namespace tarn::iccr {

// The device that ComOpen opens for `portName`.
std::string ComDevicePath(const char* portName);

// Opens the named port exclusively (on Linux: as given when it starts with "/", else
// under "/dev/"). Returns the handle, or -1.
int ComOpen(const char* portName);
// Ends pending transfers (a read waiting in another thread returns), empties both
// queues, lowers DTR and closes.
void ComClose(int port);
// Waits without limit for the first byte, then returns once 30 ms pass without a further
// byte or `size` bytes have arrived. Returns the bytes read; 0 when none or on failure.
int ComRead(int port, void* buffer, int size);
// Returns the bytes written.
int ComWrite(int port, const void* buffer, int size);

}  // namespace tarn::iccr
