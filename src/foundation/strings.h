// Small string functions that hand out new heap strings (release with free),
// and the wall clock.
#ifndef ZV_FOUNDATION_STRINGS_H
#define ZV_FOUNDATION_STRINGS_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

// snprintf into a new string of exactly the needed length; NULL when the
// allocation fails or the arguments can't be formatted.
char *zv_string_format(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The same over an argument list (used by the printf-style dump functions);
// the list is left to the caller, who may reuse it after va_end.
char *zv_string_vformat(const char *format, va_list args) __attribute__((format(printf, 1, 0)));
// first followed by second in a new string; NULL when the allocation fails.
char *zv_string_concatenate(const char *first, const char *second);
// 1 when text begins with every byte of prefix (an empty prefix always), else 0.
int32_t zv_string_starts_with(const char *text, const char *prefix);
// Cuts the next token, up to the separator or the end, from *cursor into a new
// string and moves the cursor past it; *token = NULL once the text is used up.
// A trailing separator yields no empty last token. The text is never changed.
zv_status_t zv_string_split(char **cursor, char separator, char **token);
// Whole seconds since 1970-01-01 00:00 UTC.
int64_t zv_time(void);

// Case and classes by ASCII alone: on every byte value 0..255 what
// <ctype.h> gives in the C locale, whatever locale the host has set (a
// Turkish one upper-cases i to a dotted capital, and takes more letters).
int32_t zv_ascii_toupper(int32_t c);
int32_t zv_ascii_isspace(int32_t c);
int32_t zv_ascii_isdigit(int32_t c);

// Numbers read and written as the C locale does, whatever the host's locale
// (a decimal comma would make other programs misread the toolkit's files, or
// a command line mean something else).
//
// The text value gives printf's "%.<precision>f" in the C locale (inf, nan
// and negative zero included), NUL-terminated; its length, or -1 (and an
// empty text, if size is above 0) when it doesn't fit in size bytes.
// ZV_STRING_FIXED_SIZE holds any double at a precision up to 16: a sign, 309
// digits, the point and the NUL.
#define ZV_STRING_FIXED_SIZE 328
int32_t zv_string_fixed(double value, int32_t precision, char *buffer, size_t size);
// The number at the start of text as strtof and strtol (base 10) read it in
// the C locale: leading spaces, a sign, and for floats hex digits after 0x,
// inf, infinity and nan; the value 0 when nothing converts; the rest of the
// text ignored. 0 where they report a range error (ERANGE: an overflow, or a
// float below the normal range that isn't exact), with the value they give
// then (HUGE_VALF, a signed zero or the rounded value; LONG_MIN or LONG_MAX);
// else 1. Values are correctly rounded, hex subnormals too.
int32_t zv_string_to_float(const char *text, float *value);
int32_t zv_string_to_long(const char *text, long *value);

#ifdef __cplusplus
}

// zv_string_fixed into a buffer of its own, for one formatted write:
// fprintf(file, "%s\t", zv_fixed_text(value, 6).text).
struct zv_fixed_text {
    char text[ZV_STRING_FIXED_SIZE];
    zv_fixed_text(double value, int32_t precision) { zv_string_fixed(value, precision, text, sizeof text); }
};
#endif

#endif
