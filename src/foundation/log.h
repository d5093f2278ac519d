// The log: diagnostic texts to standard output behind one process-wide switch.
#ifndef ZV_FOUNDATION_LOG_H
#define ZV_FOUNDATION_LOG_H

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

// The Windows DLL exports the log function beside the public interface;
// elsewhere it stays internal.
#if defined(_WIN32)
#define ZV_LOG_API ZV_API
#else
#define ZV_LOG_API
#endif

// printf-style; writes nothing while the switch is off. Adds no prefix,
// newline or flush: callers carry their own "[ERROR] " and colour escapes.
ZV_LOG_API void zv_log(const char *format, ...) __attribute__((format(printf, 1, 2)));

#ifdef __cplusplus
}
#endif

// Colour escapes that callers put into their own format strings.
#define ZV_LOG_RED "\x1b[31m"
#define ZV_LOG_GREEN "\x1b[32m"
#define ZV_LOG_RESET "\x1b[0m"

#endif
