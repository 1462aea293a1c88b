/* Types shared by the public headers of TarnWebCom and TarnIccr. */
#ifndef TARN_TYPES_H
#define TARN_TYPES_H

/* One 16-bit UTF-16 code unit on every target: wchar_t is 16 bits on Windows only. */
#if defined(_WIN32)
typedef wchar_t TARN_WCHAR;
#elif defined(__cplusplus)
typedef char16_t TARN_WCHAR;
#else
#include <uchar.h>
typedef char16_t TARN_WCHAR;
#endif

#if defined(_WIN32)
#define TARN_CALL __stdcall
#define TARN_IMPORT_EXPORT /* export names come from the .def files */
#else
#define TARN_CALL
#define TARN_IMPORT_EXPORT __attribute__((visibility("default")))
#endif

#endif /* TARN_TYPES_H */
