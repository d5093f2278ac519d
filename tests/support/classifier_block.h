// Builds classifier parameter blocks byte by byte for tests, apart from the
// library's own writer, so that reader and writer can't share a fault.
//
// Layouts written here:
//   fully connected: int32 in, int32 out, out bias bytes, out x in weights (row by row)
//   recurrent:       input layer (in -> 3H), then recurrent layer (H -> 3H)
//   offline block:   name, version (no terminators), int32 extra, int32 L,
//                    L forward layers, L backward layers, output layer, int32 language
//   online block:    the same without the backward layers
#ifndef ZV_TESTS_SUPPORT_CLASSIFIER_BLOCK_H
#define ZV_TESTS_SUPPORT_CLASSIFIER_BLOCK_H

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "byte_writer.h"

namespace zv_test {

struct FcBlock {
    int32_t in = 0;
    int32_t out = 0;
    std::vector<int8_t> bias;     // out values
    std::vector<int8_t> weights;  // out x in, weight of input j for output i at i * in + j
    int8_t &w(int32_t i, int32_t j) { return weights[static_cast<size_t>(i) * static_cast<size_t>(in) + j]; }
};

struct RnnBlock {
    FcBlock input;      // in -> 3H
    FcBlock recurrent;  // H -> 3H
};

struct ClassifierBlock {
    int32_t extra = 0;
    std::vector<RnnBlock> forward;   // the online block's layers
    std::vector<RnnBlock> backward;  // offline only
    FcBlock output;
    int32_t language = 6865;
};

// All-zero parameters of the given shape.
inline FcBlock zero_fc(int32_t in, int32_t out) {
    FcBlock b;
    b.in = in;
    b.out = out;
    b.bias.assign(static_cast<size_t>(out), 0);
    b.weights.assign(static_cast<size_t>(in) * static_cast<size_t>(out), 0);
    return b;
}

// Uniform weights and biases in [lo, hi].
inline FcBlock random_fc(int32_t in, int32_t out, std::mt19937 &rng, int lo = -128, int hi = 127) {
    FcBlock b = zero_fc(in, out);
    std::uniform_int_distribution<int> d(lo, hi);
    for (auto &v : b.bias) v = static_cast<int8_t>(d(rng));
    for (auto &v : b.weights) v = static_cast<int8_t>(d(rng));
    return b;
}

inline RnnBlock zero_rnn(int32_t in, int32_t hidden) { return {zero_fc(in, 3 * hidden), zero_fc(hidden, 3 * hidden)}; }

inline RnnBlock random_rnn(int32_t in, int32_t hidden, std::mt19937 &rng, int lo = -128, int hi = 127) {
    RnnBlock r;
    r.input = random_fc(in, 3 * hidden, rng, lo, hi);
    r.recurrent = random_fc(hidden, 3 * hidden, rng, lo, hi);
    return r;
}

// A well-formed offline classifier: F inputs, one level per entry of hidden,
// K classes. With online set, the backward layers are left out.
inline ClassifierBlock random_classifier(int32_t features, const std::vector<int32_t> &hidden, int32_t classes,
                                         uint32_t seed, int32_t language = 6865, bool online = false,
                                         int lo = -128, int hi = 127) {
    std::mt19937 rng(seed);
    ClassifierBlock c;
    c.language = language;
    int32_t in = features;
    for (int32_t h : hidden) {
        c.forward.push_back(random_rnn(in, h, rng, lo, hi));
        if (!online) c.backward.push_back(random_rnn(in, h, rng, lo, hi));
        in = h;
    }
    c.output = random_fc(in, classes, rng, lo, hi);
    return c;
}

inline void put_fc(ByteWriter &w, const FcBlock &b) {
    w.i32(b.in).i32(b.out).array_i8(b.bias).array_i8(b.weights);
}

inline void put_rnn(ByteWriter &w, const RnnBlock &r) {
    put_fc(w, r.input);
    put_fc(w, r.recurrent);
}

inline void put_offline_block(ByteWriter &w, const std::string &name, const std::string &version,
                              const ClassifierBlock &c) {
    w.text(name).text(version).i32(c.extra).i32(static_cast<int32_t>(c.forward.size()));
    for (const auto &r : c.forward) put_rnn(w, r);
    for (const auto &r : c.backward) put_rnn(w, r);
    put_fc(w, c.output);
    w.i32(c.language);
}

inline void put_online_block(ByteWriter &w, const std::string &name, const std::string &version,
                             const ClassifierBlock &c) {
    w.text(name).text(version).i32(c.extra).i32(static_cast<int32_t>(c.forward.size()));
    for (const auto &r : c.forward) put_rnn(w, r);
    put_fc(w, c.output);
    w.i32(c.language);
}

inline std::vector<uint8_t> offline_block(const std::string &name, const std::string &version,
                                          const ClassifierBlock &c) {
    ByteWriter w;
    put_offline_block(w, name, version, c);
    return w.take();
}

inline std::vector<uint8_t> online_block(const std::string &name, const std::string &version,
                                         const ClassifierBlock &c) {
    ByteWriter w;
    put_online_block(w, name, version, c);
    return w.take();
}

// Offset of the level count L in a block with these texts.
inline size_t block_levels_offset(const std::string &name, const std::string &version) {
    return name.size() + version.size() + 4;
}

// An anonymous temporary file holding the bytes, positioned at its start;
// close it with fclose. NULL when no temporary file can be made.
inline FILE *open_bytes(const std::vector<uint8_t> &bytes) {
    FILE *f = std::tmpfile();
    if (!f) return nullptr;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        std::fclose(f);
        return nullptr;
    }
    std::rewind(f);
    return f;
}

}  // namespace zv_test

#endif
