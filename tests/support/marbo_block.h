// Token-classifier parameter blocks for tests, written byte by byte with the
// test ByteWriter (never with the library's serialisers), and two kinds of
// "marbo" "1.0.0" grapheme-to-phoneme blocks: one of random weights and one
// that spells each letter as a chosen phoneme.
#ifndef ZV_TESTS_SUPPORT_MARBO_BLOCK_H
#define ZV_TESTS_SUPPORT_MARBO_BLOCK_H

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/byte_writer.h"

namespace zv_test::marbo_block {

// Fully connected parameters: weights out x in, row by row.
struct Fc {
    int32_t in = 0;
    int32_t out = 0;
    std::vector<int8_t> bias;
    std::vector<int8_t> weights;
    int8_t &w(int32_t o, int32_t i) { return weights[static_cast<size_t>(o) * in + i]; }
};

struct Rnn {
    Fc input;      // in -> 3H
    Fc recurrent;  // H -> 3H
};

inline Fc fc_zero(int32_t in, int32_t out) {
    Fc f;
    f.in = in;
    f.out = out;
    f.bias.assign(static_cast<size_t>(out), 0);
    f.weights.assign(static_cast<size_t>(in) * out, 0);
    return f;
}

// Weights and biases drawn from [-limit, limit].
inline Fc fc_random(int32_t in, int32_t out, std::mt19937 &rng, int limit = 127) {
    Fc f = fc_zero(in, out);
    std::uniform_int_distribution<int> d(-limit, limit);
    for (int8_t &b : f.bias) b = static_cast<int8_t>(d(rng));
    for (int8_t &w : f.weights) w = static_cast<int8_t>(d(rng));
    return f;
}

inline Rnn rnn_zero(int32_t in, int32_t hidden) { return {fc_zero(in, 3 * hidden), fc_zero(hidden, 3 * hidden)}; }
inline Rnn rnn_random(int32_t in, int32_t hidden, std::mt19937 &rng, int limit = 127) {
    Rnn r;
    r.input = fc_random(in, 3 * hidden, rng, limit);
    r.recurrent = fc_random(hidden, 3 * hidden, rng, limit);
    return r;
}

// Encodings: in, out, bias, weights; a recurrent layer is its input then its
// recurrent parameters.
inline void put(ByteWriter &w, const Fc &f) {
    w.i32(f.in).i32(f.out).array_i8(f.bias).array_i8(f.weights);
}
inline void put(ByteWriter &w, const Rnn &r) {
    put(w, r.input);
    put(w, r.recurrent);
}

// An offline block: name, version, extra, L, forward layers, backward
// layers, output layer, language.
inline std::vector<uint8_t> offline_block(const std::string &name, const std::string &version, int32_t extra,
                                          const std::vector<Rnn> &forward, const std::vector<Rnn> &backward,
                                          const Fc &output, int32_t language) {
    ByteWriter w;
    w.text(name).text(version).i32(extra).i32(static_cast<int32_t>(forward.size()));
    for (const Rnn &r : forward) put(w, r);
    for (const Rnn &r : backward) put(w, r);
    put(w, output);
    w.i32(language);
    return w.take();
}

// An online block: name, version, extra, L, layers, output layer, language.
inline std::vector<uint8_t> online_block(const std::string &name, const std::string &version, int32_t extra,
                                         const std::vector<Rnn> &layers, const Fc &output, int32_t language) {
    ByteWriter w;
    w.text(name).text(version).i32(extra).i32(static_cast<int32_t>(layers.size()));
    for (const Rnn &r : layers) put(w, r);
    put(w, output);
    w.i32(language);
    return w.take();
}

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
    std::vector<Rnn> forward{rnn_random(28, hidden, rng, limit)};
    std::vector<Rnn> backward{rnn_random(28, hidden, rng, limit)};
    const Fc output = fc_random(hidden, phoneme_count(language) + 1, rng, limit);
    return offline_block("marbo", "1.0.0", 0, forward, backward, output, language);
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
    Rnn layer = rnn_zero(28, H);
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
    Fc output = fc_zero(H, classes);
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
    return offline_block("marbo", "1.0.0", 0, {layer}, {layer}, output, language);
}

}  // namespace zv_test::marbo_block

#endif
