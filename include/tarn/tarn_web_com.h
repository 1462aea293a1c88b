/* TarnWebCom: web client of the Zephyrcastle print-management appliance.
 *
 * Every function runs synchronously on the caller's thread. Strings are NUL-terminated
 * UTF-16; an argument of 256 or more code units, or a null pointer, acts as the empty string.
 * `message` must hold 256 code units; it is written only when the result is 98 or 99.
 * The appliance functions share one answer file in the user's temporary folder: do not
 * call them concurrently.
 *
 * Result codes: 0 success, 91 sign-in refused, 92 right "LOG" missing, 93 right "ADMIN"
 * missing, 95 appliance failure mark, 96 web page instead of data, 98 HTTP status other
 * than 200 (message: "404 Not Found" and the like), 99 HTTP-layer or file-open failure.
 */
#ifndef TARN_WEB_COM_H
#define TARN_WEB_COM_H

#include "tarn_types.h"

#ifdef __cplusplus
extern "C" {
#endif

TARN_IMPORT_EXPORT int TARN_CALL GetJobLogW(const TARN_WCHAR* host, const TARN_WCHAR* user,
                                            const TARN_WCHAR* password, const TARN_WCHAR* path,
                                            TARN_WCHAR* message);
TARN_IMPORT_EXPORT int TARN_CALL GetJobLogNoLoginW(const TARN_WCHAR* host, const TARN_WCHAR* path,
                                                   TARN_WCHAR* message);
TARN_IMPORT_EXPORT int TARN_CALL GetUserInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user,
                                              const TARN_WCHAR* password, const TARN_WCHAR* path,
                                              TARN_WCHAR* message);
TARN_IMPORT_EXPORT int TARN_CALL SetUserInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user,
                                              const TARN_WCHAR* password, const TARN_WCHAR* path,
                                              TARN_WCHAR* message);
TARN_IMPORT_EXPORT int TARN_CALL GetProxyInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user,
                                               const TARN_WCHAR* password, const TARN_WCHAR* path,
                                               TARN_WCHAR* message);
TARN_IMPORT_EXPORT int TARN_CALL SetProxyInfoW(const TARN_WCHAR* host, const TARN_WCHAR* user,
                                               const TARN_WCHAR* password, const TARN_WCHAR* path,
                                               TARN_WCHAR* message);

/* The appliance's "mchiman" value (1: sign-in required), or 98 / 99 on failure. */
TARN_IMPORT_EXPORT int TARN_CALL GetDeviceStatusMchimanW(const TARN_WCHAR* host,
                                                         TARN_WCHAR* message);

/* Writes 32 lower-case hex digits and a terminator (33 code units) into `digest`; returns 0. */
TARN_IMPORT_EXPORT int TARN_CALL EncryptW(TARN_WCHAR* digest, const TARN_WCHAR* user,
                                          const TARN_WCHAR* password);

/* Bytes of the UTF-8 form of `text`, its terminator included; 0 when it cannot be converted. */
TARN_IMPORT_EXPORT int TARN_CALL GetUtf8ByteCountW(const TARN_WCHAR* text);

/* Non-zero: later calls reach the appliance through the platform's proxy (the default);
 * 0: directly. Always returns 1. */
TARN_IMPORT_EXPORT int TARN_CALL SetProxySetting(int bUseProxy);

#ifdef __cplusplus
}

/* Exported under its C++ name; returns 0 and does nothing. */
TARN_IMPORT_EXPORT int fnZCCOMUTILDLL(void);
#endif

#endif /* TARN_WEB_COM_H */
