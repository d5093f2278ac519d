// Small string functions that hand out new heap strings (release with free),
// and the wall clock.
#ifndef ZV_FOUNDATION_STRINGS_H
#define ZV_FOUNDATION_STRINGS_H

#include <stdarg.h>
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

#ifdef __cplusplus
}
#endif

#endif
