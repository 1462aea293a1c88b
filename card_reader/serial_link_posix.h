// The reader's line settings on a POSIX terminal, apart so that they can be checked where
// the device cannot keep them (a pseudo-terminal drops parity).
#pragma once

#include <termios.h>

namespace tarn::iccr {

// Turns `tio` into a raw line at 9600 baud, 8 data bits, even parity checked, 1 stop bit.
void MakeReaderLine(termios& tio);

}  // namespace tarn::iccr
