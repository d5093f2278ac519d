// Line-per-entry texts (word lists, phone sets) held in one block: the text
// must end in a newline, optionally followed by one NUL byte as its very last
// byte; no other NUL byte may occur (it would cut a line short unseen).
#ifndef ZV_PRONUNCIATION_TEXT_LINES_H
#define ZV_PRONUNCIATION_TEXT_LINES_H

#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

// Checks the text and turns every newline into NUL; *count receives the
// number of lines. INVALID_ARGUMENT for a text that breaks the rules above,
// an empty one included.
zv_status_t zv_text_lines_split(char *text, int64_t size, int32_t *count);

// After a split: lines[i] receives the start of line i. INVALID_ARGUMENT when
// a line is empty.
zv_status_t zv_text_lines_index(char *text, int32_t count, char **lines);

#ifdef __cplusplus
}
#endif

#endif
