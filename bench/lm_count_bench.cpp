// Counting word sequences at a realistic scale: a 130,000-word lexicon,
// order 3, the shape taken from one million trigram windows of a text whose
// words follow a Zipf law, and one million windows of another such text
// counted into it. Also the gram set and count tree builds and the count
// file's save and load.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "foundation/bit_field.h"
#include "lm/count.h"
#include "lm/gram.h"
#include "support/temp_dir.h"

namespace {

constexpr int32_t kWords = 130000;
constexpr int32_t kOrder = 3;
constexpr int32_t kSequences = 1000000;

// A text of Zipf-distributed word ids (exponent 1).
std::vector<int32_t> zipf_text(uint32_t seed, int32_t length) {
    static const std::vector<double> cdf = [] {
        std::vector<double> c(kWords);
        double sum = 0;
        for (int32_t i = 0; i < kWords; ++i) c[i] = (sum += 1.0 / (i + 1));
        for (double &x : c) x /= sum;
        return c;
    }();
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<int32_t> text(length);
    for (int32_t &w : text) {
        w = static_cast<int32_t>(std::lower_bound(cdf.begin(), cdf.end(), uniform(rng)) - cdf.begin());
        if (w >= kWords) w = kWords - 1;
    }
    return text;
}

struct Fixture {
    std::vector<int32_t> shape_text = zipf_text(1, kSequences + kOrder - 1);
    std::vector<int32_t> counted_text = zipf_text(2, kSequences + kOrder - 1);
    zv_gram_t *gram = nullptr;

    Fixture() {
        // Only the lexicon's size is ever read (for saving a gram file), so
        // the counting needs none.
        zv_gram_init(kOrder, nullptr, &gram);
        for (int32_t i = 0; i < kSequences; ++i) zv_gram_insert(gram, shape_text.data() + i, kOrder);
    }
    ~Fixture() { zv_gram_delete(gram); }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

size_t heap_in_use() { return mallinfo2().uordblks; }

void BM_GramSetFromOneMillionSequences(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        zv_gram_t *gram = nullptr;
        zv_gram_init(kOrder, nullptr, &gram);
        for (int32_t i = 0; i < kSequences; ++i) zv_gram_insert(gram, f.shape_text.data() + i, kOrder);
        benchmark::DoNotOptimize(gram);
        zv_gram_delete(gram);
    }
    state.SetItemsProcessed(state.iterations() * kSequences);
}

void BM_CountTreeFromGramSet(benchmark::State &state) {
    Fixture &f = fixture();
    int32_t grams[kOrder];
    zv_gram_num_grams(f.gram, grams);
    for (auto _ : state) {
        const size_t before = heap_in_use();
        zv_count_t *count = nullptr;
        zv_count_init(f.gram, &count);
        state.counters["tree_MB"] = static_cast<double>(heap_in_use() - before) / 1e6;
        zv_count_delete(count);
    }
    state.counters["unigrams"] = grams[0];
    state.counters["bigrams"] = grams[1];
    state.counters["trigrams"] = grams[2];
}

void BM_CountOneMillionSequences(benchmark::State &state) {
    Fixture &f = fixture();
    zv_count_t *count = nullptr;
    zv_count_init(f.gram, &count);
    for (auto _ : state) {
        for (int32_t i = 0; i < kSequences; ++i) zv_count_insert(count, f.counted_text.data() + i, kOrder);
    }
    benchmark::DoNotOptimize(count->root->count);
    state.SetItemsProcessed(state.iterations() * kSequences);
    zv_count_delete(count);
}

void BM_CountFileSaveAndLoad(benchmark::State &state) {
    Fixture &f = fixture();
    zv_test::TempDir dir;
    const std::string path = dir.path("counts.bin");
    zv_count_t *count = nullptr;
    zv_count_init(f.gram, &count);
    for (int32_t i = 0; i < kSequences; ++i) zv_count_insert(count, f.counted_text.data() + i, kOrder);
    for (auto _ : state) {
        zv_count_save(count, path.c_str());
        zv_count_t *back = nullptr;
        zv_count_load(path.c_str(), &back);
        zv_count_delete(back);
    }
    zv_count_delete(count);
}

// A count file whose root lists a million children in descending word
// order (as no writer of this library does, but any file may): reading it
// must stay n log n.
void BM_CountFileOfDescendingChildren(benchmark::State &state) {
    constexpr int32_t kChildren = 1000000;
    constexpr int32_t kBits = 20;
    const uint64_t n = kChildren + 1;
    const uint64_t structure_words = zv_bit_field_size_uint32(2 * n, 1);
    const uint64_t word_words = zv_bit_field_size_uint32(n, kBits);
    std::vector<uint32_t> file(2 + 2 * n + structure_words + word_words, 0);
    file[0] = static_cast<uint32_t>(n);
    file[1] = kBits;
    for (uint64_t i = 0; i < n; ++i) file[2 + 2 * i] = 1;  // counts
    uint32_t *structure = file.data() + 2 + 2 * n;
    for (uint64_t i = 0; i < kChildren; ++i) zv_bit_field_write(structure, 2 + 2 * i, 1, 1);  // 0 1 per child
    zv_bit_field_write(structure, 2 * n - 1, 1, 1);                                           // the root's 1
    uint32_t *words = structure + structure_words;
    for (uint64_t i = 1; i < n; ++i) zv_bit_field_write(words, i, kBits, static_cast<uint32_t>(n - i));
    zv_test::TempDir dir;
    const std::string path = dir.write(
        "descending.bin", std::vector<uint8_t>(reinterpret_cast<const uint8_t *>(file.data()),
                                               reinterpret_cast<const uint8_t *>(file.data() + file.size())));
    for (auto _ : state) {
        zv_count_t *count = nullptr;
        if (zv_count_load(path.c_str(), &count) != ZV_STATUS_SUCCESS || count->root->num_children != kChildren) {
            state.SkipWithError("not read");
            break;
        }
        zv_count_delete(count);
    }
}

}  // namespace

BENCHMARK(BM_CountFileOfDescendingChildren)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GramSetFromOneMillionSequences)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CountTreeFromGramSet)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CountOneMillionSequences)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CountFileSaveAndLoad)->Unit(benchmark::kMillisecond);
