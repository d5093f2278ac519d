// The lexicon the toolkit's fuzz targets read their files against: 20 words
// W00 .. W19 (word fields of 5 bits), made once.
#ifndef ZV_FUZZ_LM_FUZZ_LEXICON_H
#define ZV_FUZZ_LM_FUZZ_LEXICON_H

#include <stdio.h>

#include <string>

#include "fuzz_input.h"
#include "pronunciation/lexicon.h"

namespace zv_fuzz {

constexpr int kLexiconWords = 20;

inline zv_lexicon_t *fuzz_lexicon() {
    static zv_lexicon_t *lexicon = [] {
        std::string text;
        for (int i = 0; i < kLexiconWords; ++i) {
            char word[8];
            snprintf(word, sizeof(word), "W%02d\n", i);
            text += word;
        }
        const std::string path =
            scratch_file("lexicon.txt", reinterpret_cast<const uint8_t *>(text.data()), text.size());
        zv_lexicon_t *made = nullptr;
        ZV_FUZZ_CHECK(zv_lexicon_init(path.c_str(), &made) == ZV_STATUS_SUCCESS);
        remove_scratch_file("lexicon.txt");
        return made;
    }();
    return lexicon;
}

}  // namespace zv_fuzz

#endif
