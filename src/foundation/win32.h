// The few Windows calls the library makes, declared here so that the Windows
// build needs no platform header beyond the runtime's. Only compiled on _WIN32.
#ifndef ZV_FOUNDATION_WIN32_H
#define ZV_FOUNDATION_WIN32_H

#if defined(_WIN32)
#include <stdint.h>
#include <stdio.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZV_WIN32_CP_UTF8 65001u
#define ZV_WIN32_ERROR_ALREADY_EXISTS 183u

__declspec(dllimport) int __stdcall SetConsoleOutputCP(unsigned int code_page);
__declspec(dllimport) int __stdcall MultiByteToWideChar(unsigned int code_page, unsigned long flags,
                                                        const char *text, int text_bytes,
                                                        wchar_t *wide, int wide_chars);
__declspec(dllimport) int __stdcall CreateDirectoryA(const char *path, void *security);
__declspec(dllimport) unsigned long __stdcall GetLastError(void);
FILE *_wfopen(const wchar_t *path, const wchar_t *mode);
int _wremove(const wchar_t *path);
int _mkdir(const char *path);
int64_t _time64(int64_t *timer);

#ifdef __cplusplus
}
#endif
#endif

#endif
