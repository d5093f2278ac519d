#include "foundation/language.h"

#include <string.h>

namespace {

// Names that aren't plain ASCII are written as UTF-8 byte escapes, so that no
// editor can silently re-normalise them: several are decomposed sequences
// (a letter and a combining mark) that must stay exactly as they are.
constexpr const char *kEnglish[] = {
    "AA", "AE", "AH", "AO", "AW", "AY", "B", "CH", "D", "DH", "EH", "ER", "EY", "F", "G", "HH",
    "IH", "IY", "JH", "K", "L", "M", "N", "NG", "OW", "OY", "P", "R", "S", "SH", "T", "TH", "UH",
    "UW", "V", "W", "Y", "Z", "ZH",
};

constexpr const char *kGerman[] = {
    "a", "a\xc9\xaa", "a\xca\x8a", "a\xcc\x83", "b", "d", "e", "f", "g", "h", "i", "j", "k", "l",
    "l\xcc\xa9", "m", "m\xcc\xa9", "n", "n\xcc\xa9", "o", "o\xcc\x83", "p", "pf", "r", "s", "t",
    "u", "v", "w", "x", "y", "z", "\xc3\xa7", "\xc3\xb8", "\xc3\xb8\xcc\x83", "\xc5\x8b",
    "\xc5\x93", "\xc9\x90", "\xc9\x94", "\xc9\x94" "i", "\xc9\x99", "\xc9\x9b", "\xc9\x9b\xcb\x90",
    "\xc9\x9b\xcc\x83", "\xc9\xaa", "\xca\x83", "\xca\x8a", "\xca\x8f", "\xca\x92", "\xca\xa4",
    "\xca\xa6", "\xca\xa7",
};

constexpr const char *kFrench[] = {
    "a", "a\xcc\x83", "b", "d", "e", "f", "g", "i", "j", "k", "l", "m", "n", "o", "o\xcc\x83", "p",
    "s", "t", "u", "v", "w", "y", "z", "\xc3\xb8", "\xc5\x8b", "\xc5\x93", "\xc5\x93\xcc\x83",
    "\xc9\x94", "\xc9\x99", "\xc9\x9b", "\xc9\x9b\xcc\x83", "\xc9\xa5", "\xc9\xb2", "\xca\x81",
    "\xca\x83", "\xca\x92",
};

constexpr const char *kSpanish[] = {
    "a", "b", "d", "e", "f", "g", "i", "j", "k", "l", "m", "n", "o", "p", "r", "s", "t", "u", "w",
    "x", "z", "\xc3\xb0", "\xc5\x8b", "\xc9\xa3", "\xc9\xb1", "\xc9\xb2", "\xc9\xbe", "\xca\x8e",
    "\xca\x9d", "\xca\xa7", "\xce\xb2", "\xce\xb8",
};

static_assert(sizeof(kEnglish) / sizeof(kEnglish[0]) == 39);
static_assert(sizeof(kGerman) / sizeof(kGerman[0]) == 52);
static_assert(sizeof(kFrench) / sizeof(kFrench[0]) == 36);
static_assert(sizeof(kSpanish) / sizeof(kSpanish[0]) == 32);

struct Inventory {
    const char *const *names;
    int32_t count;
};

template <size_t N>
constexpr Inventory inventory(const char *const (&names)[N]) {
    return Inventory{names, static_cast<int32_t>(N)};
}

// Indexed by code - ZV_LANGUAGE_NONE.
constexpr const char *kLanguageNames[] = {"--", "en", "de", "fr", "es"};
constexpr Inventory kInventories[] = {
    Inventory{nullptr, -1}, inventory(kEnglish), inventory(kGerman), inventory(kFrench),
    inventory(kSpanish),
};

// The inventory of a language with phonemes, else NULL.
const Inventory *find_inventory(zv_language_t language) {
    if (language < ZV_LANGUAGE_EN || language > ZV_LANGUAGE_ES) {
        return nullptr;
    }
    return &kInventories[language - ZV_LANGUAGE_NONE];
}

}  // namespace

extern "C" bool zv_language_is_valid(zv_language_t language) {
    return language >= ZV_LANGUAGE_NONE && language <= ZV_LANGUAGE_ES;
}

extern "C" const char *zv_language_to_string(zv_language_t language) {
    return zv_language_is_valid(language) ? kLanguageNames[language - ZV_LANGUAGE_NONE] : nullptr;
}

extern "C" zv_status_t zv_language_from_string(const char *name, zv_language_t *language) {
    for (int32_t i = 0; i < 5; ++i) {
        if (strcmp(name, kLanguageNames[i]) == 0) {
            *language = ZV_LANGUAGE_NONE + i;
            return ZV_STATUS_SUCCESS;
        }
    }
    *language = ZV_LANGUAGE_INVALID;
    return ZV_STATUS_INVALID_ARGUMENT;
}

extern "C" int32_t zv_language_num_phonemes(zv_language_t language) {
    const Inventory *inv = find_inventory(language);
    return inv ? inv->count : -1;
}

extern "C" zv_status_t zv_language_phoneme_to_string(zv_language_t language, int32_t id,
                                                     const char **name) {
    const Inventory *inv = find_inventory(language);
    if (!inv || id < 1 || id > inv->count) {
        *name = nullptr;
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *name = inv->names[id - 1];
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_language_phoneme_from_string(zv_language_t language, const char *name,
                                                       int32_t *id) {
    const Inventory *inv = find_inventory(language);
    if (!inv) {
        *id = -1;
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    for (int32_t i = 0; i < inv->count; ++i) {
        if (strcmp(name, inv->names[i]) == 0) {
            *id = i + 1;
            return ZV_STATUS_SUCCESS;
        }
    }
    return ZV_STATUS_INVALID_ARGUMENT;
}
