/* TarnIccr: contactless card-reader client.
 *
 * fnExcelStringFunc finds the reader, shows a dialog that asks for a card within ten
 * seconds and returns the card identifier as lower-case hex digits.
 *   title: the dialog's title (UTF-8 on Linux, the ANSI code page on Windows); null or
 *          empty gives "IcCardReader".
 *   out:   at least 27 bytes; receives the identifier (empty when no card was read)
 *          whenever the dialog ran.
 * Result: the identifier's length; 0 with no card, or when no reader was found (a message
 * is shown and `out` is left untouched); 1 when the dialog cannot be created.
 */
#ifndef TARN_ICCR_H
#define TARN_ICCR_H

#include "tarn_types.h"

#ifdef __cplusplus
extern "C" {
#endif

TARN_IMPORT_EXPORT int TARN_CALL fnExcelStringFunc(const char* title, char* out);

#ifdef __cplusplus
}
#endif

#endif /* TARN_ICCR_H */
