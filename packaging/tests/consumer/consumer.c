/* A C program built against the installed Tarn: one call into each library. */
#include <stdio.h>
#include <string.h>

#include "tarn/tarn_iccr.h"
#include "tarn/tarn_web_com.h"

int main(void) {
  static const TARN_WCHAR user[] = u"u";
  static const TARN_WCHAR password[] = u"pass";
  static const TARN_WCHAR text[] = u"h\u00e9";
  TARN_WCHAR digest[33];
  char narrow[33];
  char out[64];
  int i;
  memset(digest, 0, sizeof digest);
  EncryptW(digest, user, password);
  for (i = 0; i < 32; ++i) narrow[i] = (char)digest[i];
  narrow[32] = '\0';
  printf("bytes %d\n", GetUtf8ByteCountW(text));
  printf("digest %s\n", narrow);
  /* No reader is set up: the card read must come back at once without an identifier. */
  memset(out, 0, sizeof out);
  printf("card %d\n", fnExcelStringFunc("", out));
  return 0;
}
