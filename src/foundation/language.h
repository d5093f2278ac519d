// Spoken languages and their phoneme inventories: codes, two-letter names and
// the lookups between phoneme names and ids. Id 0 is the classifiers' blank and
// has no name; named ids count from 1 in inventory order.
#ifndef ZV_FOUNDATION_LANGUAGE_H
#define ZV_FOUNDATION_LANGUAGE_H

#include <stdbool.h>
#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t zv_language_t;

enum {
    ZV_LANGUAGE_NONE = 6864,  // "--": valid, but without a phoneme set
    ZV_LANGUAGE_EN = 6865,
    ZV_LANGUAGE_DE = 6866,
    ZV_LANGUAGE_FR = 6867,
    ZV_LANGUAGE_ES = 6868,
    ZV_LANGUAGE_INVALID = 6869,  // only ever stored by zv_language_from_string
};

// True for 6864..6868.
bool zv_language_is_valid(zv_language_t language);
// "--", "en", "de", "fr", "es"; NULL for any other code.
const char *zv_language_to_string(zv_language_t language);
// Exact, case-sensitive match of the two-letter name; anything else stores
// ZV_LANGUAGE_INVALID and gives INVALID_ARGUMENT.
zv_status_t zv_language_from_string(const char *name, zv_language_t *language);
// 39, 52, 36 or 32; -1 for every other code, ZV_LANGUAGE_NONE included.
int32_t zv_language_num_phonemes(zv_language_t language);
// Static UTF-8 name of phoneme id 1..count; NULL and INVALID_ARGUMENT otherwise.
zv_status_t zv_language_phoneme_to_string(zv_language_t language, int32_t id, const char **name);
// Byte-wise lookup (no Unicode normalisation). Not found: INVALID_ARGUMENT with
// *id untouched; a language without phonemes: *id = -1 and INVALID_ARGUMENT.
zv_status_t zv_language_phoneme_from_string(zv_language_t language, const char *name, int32_t *id);

#ifdef __cplusplus
}
#endif

#endif
