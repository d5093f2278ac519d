#include "foundation/log.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>

#if defined(_WIN32)
#include "foundation/win32.h"
#endif

namespace {
// On from load; the only mutable global the engine can reach.
uint8_t g_log_enabled = 1;
}  // namespace

extern "C" void zv_log(const char *format, ...) {
    if (!g_log_enabled) {
        return;
    }
#if defined(_WIN32)
    SetConsoleOutputCP(ZV_WIN32_CP_UTF8);  // UTF-8 phoneme names and paths show as they are
#endif
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
}

extern "C" void zv_log_enable(void) { g_log_enabled = 1; }

extern "C" void zv_log_disable(void) { g_log_enabled = 0; }
