// Two kinds of "marbo" "1.0.0" grapheme-to-phoneme blocks for tests, written
// with the classifier block builders (never with the library's serialisers):
// one of random weights and one that spells each letter as a chosen phoneme.
#ifndef ZV_TESTS_SUPPORT_MARBO_BLOCK_H
#define ZV_TESTS_SUPPORT_MARBO_BLOCK_H

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/classifier_block.h"

namespace zv_test::marbo_block {

// Phoneme counts of the languages 6865..6868 (en, de, fr, es).
inline int32_t phoneme_count(int32_t language) {
    switch (language) {
        case 6865: return 39;
        case 6866: return 52;
        case 6867: return 36;
        case 6868: return 32;
        default: return -1;
    }
}

// A one-level "marbo" block of random weights: 28 inputs, `hidden` units,
// the language's phoneme count + 1 classes.
inline std::vector<uint8_t> random_marbo(int32_t language, int32_t hidden, uint32_t seed, int limit = 127) {
    std::mt19937 rng(seed);
    ClassifierBlock c;
    c.forward = {random_rnn(28, hidden, rng, -limit, limit)};
    c.backward = {random_rnn(28, hidden, rng, -limit, limit)};
    c.output = random_fc(hidden, phoneme_count(language) + 1, rng, -limit, limit);
    c.language = language;
    return offline_block("marbo", "1.0.0", c);
}

// A "marbo" block that pronounces letter a (A = 0 .. Z = 25, apostrophe 26)
// as phoneme id phoneme_of[a] (1..P) of the language. Each letter drives its
// own group of hidden units in both directions (the groups forget at once on
// the zero frame after their letter); a letter's units vote for its phoneme
// and against every other class, and a few always-on units hold the blank
// above every phoneme on the zero frames. The best candidate of a word is
// thus its letters' phonemes, runs of one phoneme merged, with a
// probability of about 0.97 per letter.
inline std::vector<uint8_t> spelling_marbo(int32_t language, const std::array<int32_t, 27> &phoneme_of) {
    constexpr int32_t kCopies = 7;  // units per letter
    constexpr int32_t kSteady = 3;  // always-on units
    constexpr int32_t kLetters = 27 * kCopies;
    constexpr int32_t H = kLetters + kSteady;
    const int32_t classes = phoneme_count(language) + 1;
    RnnBlock layer = zero_rnn(28, H);
    for (int32_t u = 0; u < H; ++u) {
        layer.input.bias[u] = 127;          // input gate
        layer.input.bias[2 * H + u] = 127;  // output gate
    }
    for (int32_t a = 0; a < 27; ++a) {
        for (int32_t c = 0; c < kCopies; ++c) {
            const int32_t u = a * kCopies + c;
            layer.input.w(u, a + 1) = 127;
            layer.input.w(H + u, a + 1) = 127;
            layer.input.w(2 * H + u, a + 1) = 127;
            // The group's own output opens its input gate on the next frame,
            // where the candidate is zero: the cell is all but cleared.
            for (int32_t v = 0; v < kCopies; ++v) {
                layer.recurrent.w(u, a * kCopies + v) = 127;
            }
        }
    }
    for (int32_t u = kLetters; u < H; ++u) {
        layer.input.bias[H + u] = 127;  // a constant candidate
    }
    ClassifierBlock c;
    FcBlock &output = c.output;
    output = zero_fc(H, classes);
    output.bias[0] = 127;
    for (int32_t k = 1; k < classes; ++k) {
        output.bias[k] = -128;
    }
    for (int32_t k = 0; k < classes; ++k) {
        for (int32_t a = 0; a < 27; ++a) {
            for (int32_t c = 0; c < kCopies; ++c) {
                output.w(k, a * kCopies + c) = k != 0 && phoneme_of[a] == k ? 127 : -127;
            }
        }
        for (int32_t u = kLetters; u < H; ++u) {
            output.w(k, u) = k == 0 ? 127 : -127;
        }
    }
    c.forward = {layer};
    c.backward = {layer};
    c.language = language;
    return offline_block("marbo", "1.0.0", c);
}

}  // namespace zv_test::marbo_block

#endif
