// The few Windows calls the library makes, declared here so that the Windows
// build needs no platform header beyond the C runtime's. Only compiled on
// _WIN32; every other platform takes the POSIX path.
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
#define ZV_WIN32_INVALID_HANDLE ((void *)(intptr_t)-1)
#define ZV_WIN32_MAX_PATH 260

// The layout of the system's find record for the narrow listing calls.
typedef struct {
    uint32_t low;
    uint32_t high;
} zv_win32_file_time_t;

typedef struct {
    uint32_t attributes;
    zv_win32_file_time_t creation_time;
    zv_win32_file_time_t last_access_time;
    zv_win32_file_time_t last_write_time;
    uint32_t size_high;
    uint32_t size_low;
    uint32_t reserved0;
    uint32_t reserved1;
    char file_name[ZV_WIN32_MAX_PATH];
    char alternate_file_name[14];
} zv_win32_find_data_t;

// Console output in UTF-8 (the log).
__declspec(dllimport) int __stdcall SetConsoleOutputCP(unsigned int code_page);
// UTF-8 paths to UTF-16 (the file functions).
__declspec(dllimport) int __stdcall MultiByteToWideChar(unsigned int code_page, unsigned long flags,
                                                        const char *text, int text_bytes,
                                                        wchar_t *wide, int wide_chars);
// Directory creation with the narrow path (the file functions).
__declspec(dllimport) int __stdcall CreateDirectoryA(const char *path, void *security);
__declspec(dllimport) unsigned long __stdcall GetLastError(void);
// Directory listing (the dumps).
__declspec(dllimport) void *__stdcall FindFirstFileA(const char *pattern, zv_win32_find_data_t *data);
__declspec(dllimport) int __stdcall FindNextFileA(void *find, zv_win32_find_data_t *data);
__declspec(dllimport) int __stdcall FindClose(void *find);

// C runtime: wide-path open and removal, narrow mkdir, 64-bit file positions
// and the 64-bit clock. They live in the runtime's DLL and are declared with
// its linkage, so that these declarations agree with its own headers'.
__declspec(dllimport) FILE *_wfopen(const wchar_t *path, const wchar_t *mode);
__declspec(dllimport) int _wremove(const wchar_t *path);
__declspec(dllimport) int _mkdir(const char *path);
__declspec(dllimport) int _fseeki64(FILE *file, int64_t offset, int origin);
__declspec(dllimport) int64_t _ftelli64(FILE *file);
__declspec(dllimport) int64_t _time64(int64_t *timer);

#ifdef __cplusplus
}
#endif
#endif

#endif
