// A trigram model of about one million nodes over a 130,000-word lexicon,
// generated: reading its blob from memory and from a file, and writing it.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "foundation/bit_field.h"
#include "lm/mgram.h"
#include "support/lm_fixtures.h"
#include "support/temp_dir.h"

namespace {

constexpr int32_t kVocabulary = 130000;
constexpr int32_t kUnigrams = 100000;

// Children of a node: `count` distinct words, ascending, drawn at random.
std::vector<zv_test::LmNode> random_children(std::mt19937 &rng, int32_t count) {
    std::vector<zv_test::LmNode> out;
    int32_t word = -1;
    const int32_t step = kVocabulary / (count + 1);
    for (int32_t k = 0; k < count; ++k) {
        word += 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(2 * step - 1));
        if (word >= kVocabulary) break;
        zv_test::LmNode c;
        c.word = word;
        c.forward = static_cast<int8_t>(-static_cast<int32_t>(rng() % 60));
        c.backoff = static_cast<int8_t>(-static_cast<int32_t>(rng() % 8));
        out.push_back(c);
    }
    return out;
}

struct Fixture {
    zv_test::TempDir dir;
    std::vector<uint8_t> blob;
    std::string path;
    zv_mgram_t *model = nullptr;

    Fixture() {
        std::mt19937 rng(7);
        zv_test::LmNode root;
        root.forward = -128;
        root.backoff = -3;
        root.children = random_children(rng, kUnigrams);
        // About six bigrams per unigram, and one trigram for every two bigrams.
        for (zv_test::LmNode &u : root.children) {
            u.children = random_children(rng, static_cast<int32_t>(rng() % 13));
            for (zv_test::LmNode &b : u.children) b.children = random_children(rng, static_cast<int32_t>(rng() % 2));
        }
        blob = zv_test::lm_blob_bytes(root, {.word_bits = zv_bit_field_width(kVocabulary)});
        path = dir.write("lm.bin", blob);
        const void *cursor = blob.data();
        if (zv_mgram_deserialize_bounded(&cursor, blob.size(), &model) != ZV_STATUS_SUCCESS) std::abort();
    }
    ~Fixture() { zv_mgram_delete(model); }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

void report(benchmark::State &state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(fixture().blob.size()));
    state.counters["nodes"] = zv_mgram_size(fixture().model);
}

void BM_MgramDeserialize(benchmark::State &state) {
    const Fixture &f = fixture();
    for (auto _ : state) {
        const void *cursor = f.blob.data();
        zv_mgram_t *m = nullptr;
        if (zv_mgram_deserialize_bounded(&cursor, f.blob.size(), &m) != ZV_STATUS_SUCCESS) std::abort();
        benchmark::DoNotOptimize(m);
        zv_mgram_delete(m);
    }
    report(state);
}
BENCHMARK(BM_MgramDeserialize)->Unit(benchmark::kMillisecond);

void BM_MgramLoad(benchmark::State &state) {
    const Fixture &f = fixture();
    for (auto _ : state) {
        zv_mgram_t *m = nullptr;
        if (zv_mgram_load(f.path.c_str(), &m) != ZV_STATUS_SUCCESS) std::abort();
        benchmark::DoNotOptimize(m);
        zv_mgram_delete(m);
    }
    report(state);
}
BENCHMARK(BM_MgramLoad)->Unit(benchmark::kMillisecond);

void BM_MgramSerialize(benchmark::State &state) {
    const Fixture &f = fixture();
    for (auto _ : state) {
        uint64_t size = 0;
        void *blob = nullptr;
        if (zv_mgram_serialize(f.model, &size, &blob) != ZV_STATUS_SUCCESS) std::abort();
        benchmark::DoNotOptimize(blob);
        free(blob);
    }
    report(state);
}
BENCHMARK(BM_MgramSerialize)->Unit(benchmark::kMillisecond);

}  // namespace
