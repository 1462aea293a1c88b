// Calls the export once, as a host program would, and prints what came back. Run by the
// terminal dialog test inside a terminal multiplexer.
#include <cstdio>
#include <cstring>

#include "tarn/tarn_iccr.h"

int main(int argc, char** argv) {
  char out[64];
  std::memset(out, 'X', sizeof out);
  out[sizeof out - 1] = '\0';
  const int result = fnExcelStringFunc(argc > 1 ? argv[1] : "", out);
  std::printf("result=%d out=[%s]\n", result, out);
  return 0;
}
