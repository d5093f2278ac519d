// Estimation at the scale of a real lexicon: a count file of about one
// million n-grams (orders 1 to 3) over a 130,000-word lexicon, counted from
// a generated corpus whose words follow a Zipf law. Estimating, pruning,
// completing the unigrams, the three writers, and moving the editable model
// to a lexicon with 10,000 more words.
//
// Then hostile shapes, whose time must grow linearly with their size: chains
// of 10,000 to 160,000 levels, and count files whose root lists 100,000 or
// 400,000 children in descending word order.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "lm/kgram.h"
#include "lm/ngram.h"
#include "pronunciation/lexicon.h"
#include "support/ngram_fixtures.h"
#include "support/temp_dir.h"

namespace {

constexpr int32_t kWords = 130000;
constexpr int32_t kAddedWords = 10000;
constexpr int32_t kPositions = 540000;  // trigrams counted; about a million n-grams

struct Fixture {
    zv_test::TempDir dir;
    zv_lexicon_t *lexicon = nullptr;
    zv_lexicon_t *larger = nullptr;  // kAddedWords more words between the old ones
    std::string counts_path;
    std::string blob_path;
    int64_t num_grams = 0;

    Fixture() {
        std::vector<std::string> words, more;
        char name[16];
        for (int32_t i = 0; i < kWords + kAddedWords; ++i) {
            std::snprintf(name, sizeof(name), "w%07d", i);
            (i % 14 == 13 && static_cast<int32_t>(more.size()) < kAddedWords ? more : words).push_back(name);
        }
        while (static_cast<int32_t>(words.size()) > kWords) words.pop_back();
        std::string text;
        for (const std::string &w : words) text += w + "\n";
        zv_lexicon_init(dir.write("words.txt", text).c_str(), &lexicon);
        std::vector<std::string> all = words;
        all.insert(all.end(), more.begin(), more.end());
        std::sort(all.begin(), all.end());
        text.clear();
        for (const std::string &w : all) text += w + "\n";
        zv_lexicon_init(dir.write("larger.txt", text).c_str(), &larger);

        // Zipf-distributed corpus; every position counts its trigram with
        // its prefixes. Paths are keys of 18 bits per word (id + 1, 0 for
        // none), so that sorting them gives the preorder.
        std::vector<double> weights(kWords);
        for (int32_t r = 0; r < kWords; ++r) weights[r] = 1.0 / (r + 1.0);
        std::discrete_distribution<int32_t> zipf(weights.begin(), weights.end());
        std::mt19937 rng(103);
        std::vector<int32_t> corpus(kPositions + 2);
        for (int32_t &w : corpus) w = zipf(rng);
        std::vector<uint64_t> keys;
        keys.reserve(3 * static_cast<size_t>(kPositions));
        for (int32_t i = 0; i < kPositions; ++i) {
            const uint64_t a = static_cast<uint64_t>(corpus[i] + 1), b = static_cast<uint64_t>(corpus[i + 1] + 1),
                           c = static_cast<uint64_t>(corpus[i + 2] + 1);
            keys.push_back(a << 36);
            keys.push_back(a << 36 | b << 18);
            keys.push_back(a << 36 | b << 18 | c);
        }
        std::sort(keys.begin(), keys.end());
        std::vector<zv_test::CountNode> nodes = {{0, -1, kPositions}};
        for (size_t i = 0; i < keys.size();) {
            size_t j = i;
            while (j < keys.size() && keys[j] == keys[i]) ++j;
            const uint64_t k = keys[i];
            const int32_t depth = (k & 0x3FFFF) ? 3 : ((k >> 18) & 0x3FFFF) ? 2 : 1;
            const int32_t word = static_cast<int32_t>((k >> (18 * (3 - depth))) & 0x3FFFF) - 1;
            nodes.push_back({depth, word, static_cast<int64_t>(j - i)});
            i = j;
        }
        num_grams = static_cast<int64_t>(nodes.size()) - 1;
        counts_path = dir.write("counts.bin", zv_test::count_file(nodes));
        zv_ngram_t *model = nullptr;
        zv_ngram_init(counts_path.c_str(), lexicon, &model);
        blob_path = dir.path("lm.bin");
        zv_ngram_save(model, blob_path.c_str());
        zv_ngram_delete(model);
    }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

zv_ngram_t *estimate() {
    zv_ngram_t *model = nullptr;
    if (zv_ngram_init(fixture().counts_path.c_str(), fixture().lexicon, &model) != ZV_STATUS_SUCCESS) return nullptr;
    return model;
}

int64_t count_nodes(const zv_ngram_node_t *root) {
    int64_t n = 0;
    std::vector<const zv_ngram_node_t *> stack{root};
    while (!stack.empty()) {
        const zv_ngram_node_t *node = stack.back();
        stack.pop_back();
        ++n;
        stack.insert(stack.end(), node->children, node->children + node->num_children);
    }
    return n;
}

void BM_NgramInit(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        zv_ngram_t *model = estimate();
        if (!model) state.SkipWithError("estimation failed");
        zv_ngram_delete(model);
    }
    state.counters["ngrams"] = static_cast<double>(f.num_grams);
}
BENCHMARK(BM_NgramInit)->Unit(benchmark::kMillisecond);

void BM_NgramPrune(benchmark::State &state) {
    const double threshold = static_cast<double>(state.range(0)) * 1e-7;
    int64_t kept = 0;
    for (auto _ : state) {
        state.PauseTiming();
        zv_ngram_t *model = estimate();
        state.ResumeTiming();
        zv_ngram_prune(model, threshold);
        state.PauseTiming();
        kept = count_nodes(model->root) - 1;
        zv_ngram_delete(model);
        state.ResumeTiming();
    }
    state.counters["ngrams_kept"] = static_cast<double>(kept);
}
// Each run estimates a fresh model outside the timing: few iterations.
BENCHMARK(BM_NgramPrune)->Arg(0)->Arg(10)->Arg(100)->Arg(1000)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_NgramAddSingletons(benchmark::State &state) {
    for (auto _ : state) {
        state.PauseTiming();
        zv_ngram_t *model = estimate();
        state.ResumeTiming();
        if (zv_ngram_add_singletons(model) != ZV_STATUS_SUCCESS) state.SkipWithError("singletons failed");
        state.PauseTiming();
        zv_ngram_delete(model);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_NgramAddSingletons)->Iterations(10)->Unit(benchmark::kMillisecond);

void BM_NgramWriters(benchmark::State &state) {
    Fixture &f = fixture();
    zv_ngram_t *model = estimate();
    const std::string path = f.dir.path(state.range(0) == 0 ? "out.arpa" : state.range(0) == 1 ? "out.w" : "out.bin");
    for (auto _ : state) {
        const zv_status_t status = state.range(0) == 0   ? zv_ngram_save_arpa(model, path.c_str())
                                   : state.range(0) == 1 ? zv_ngram_save_weights(model, path.c_str())
                                                         : zv_ngram_save(model, path.c_str());
        if (status != ZV_STATUS_SUCCESS) state.SkipWithError("write failed");
    }
    zv_ngram_delete(model);
    state.SetLabel(state.range(0) == 0 ? "arpa" : state.range(0) == 1 ? "weights" : "blob");
}
BENCHMARK(BM_NgramWriters)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

void BM_KgramAddWords(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        state.PauseTiming();
        zv_kgram_t *model = nullptr;
        zv_kgram_load(f.blob_path.c_str(), &model);
        state.ResumeTiming();
        if (zv_kgram_add_words(model, f.lexicon, f.larger) != ZV_STATUS_SUCCESS) state.SkipWithError("add failed");
        state.PauseTiming();
        zv_kgram_delete(model);
        state.ResumeTiming();
    }
    state.counters["words_added"] = kAddedWords;
}
BENCHMARK(BM_KgramAddWords)->Iterations(10)->Unit(benchmark::kMillisecond);

// ---- hostile shapes ----

// A count file and a lexicon of as many words as it needs, made once per
// shape and size.
struct Shape {
    zv_test::TempDir dir;
    zv_lexicon_t *lexicon = nullptr;
    std::string path;

    Shape(int32_t words, const std::vector<zv_test::CountNode> &nodes) {
        std::string text;
        char name[16];
        for (int32_t i = 0; i < words; ++i) {
            std::snprintf(name, sizeof(name), "w%07d", i);
            text += std::string(name) + "\n";
        }
        zv_lexicon_init(dir.write("words.txt", text).c_str(), &lexicon);
        path = dir.write("counts.bin", zv_test::count_file(nodes));
    }
    ~Shape() { zv_lexicon_delete(lexicon); }

    zv_ngram_t *estimate() const {
        zv_ngram_t *model = nullptr;
        if (zv_ngram_init(path.c_str(), lexicon, &model) != ZV_STATUS_SUCCESS) return nullptr;
        return model;
    }
};

// A chain of `levels` nodes: distinct words (kind 0), so that no shorter
// history is held, or the words 0 1 2 0 1 2 ... (kind 1), so that every
// third one is, down to the root. Counts fall by one every other level.
Shape &chain(int32_t kind, int32_t levels) {
    static std::map<std::pair<int32_t, int32_t>, std::unique_ptr<Shape>> made;
    std::unique_ptr<Shape> &shape = made[{kind, levels}];
    if (!shape) {
        std::vector<zv_test::CountNode> nodes = {{0, -1, levels + 2}};
        for (int32_t d = 1; d <= levels; ++d) nodes.push_back({d, kind == 0 ? d - 1 : d % 3, (levels - d) / 2 + 1});
        shape = std::make_unique<Shape>(kind == 0 ? levels : 3, nodes);
    }
    return *shape;
}

// A root with `children` unigrams listed from the highest word down.
Shape &descending(int32_t children) {
    static std::map<int32_t, std::unique_ptr<Shape>> made;
    std::unique_ptr<Shape> &shape = made[children];
    if (!shape) {
        std::vector<zv_test::CountNode> nodes = {{0, -1, 2 * static_cast<int64_t>(children)}};
        for (int32_t i = children - 1; i >= 0; --i) nodes.push_back({1, i, 1});
        shape = std::make_unique<Shape>(children, nodes);
    }
    return *shape;
}

void estimate_shape(benchmark::State &state, const Shape &shape) {
    for (auto _ : state) {
        zv_ngram_t *model = shape.estimate();
        if (!model) {
            state.SkipWithError("estimation failed");
            break;
        }
        zv_ngram_delete(model);
    }
}

// Pruning with a threshold that takes every n-gram, so that every node is
// judged as a leaf in turn; each run estimates a fresh model untimed.
void prune_shape(benchmark::State &state, const Shape &shape) {
    for (auto _ : state) {
        state.PauseTiming();
        zv_ngram_t *model = shape.estimate();
        if (!model) {
            state.SkipWithError("estimation failed");
            break;
        }
        state.ResumeTiming();
        zv_ngram_prune(model, 1e9);
        state.PauseTiming();
        if (model->root->num_children != 0) state.SkipWithError("not pruned");
        zv_ngram_delete(model);
        state.ResumeTiming();
    }
}

void BM_NgramChainInit(benchmark::State &state) {
    estimate_shape(state, chain(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1))));
    state.SetLabel(state.range(0) == 0 ? "distinct words" : "period three");
}
BENCHMARK(BM_NgramChainInit)
    ->ArgsProduct({{0, 1}, {10000, 40000, 160000}})
    ->Unit(benchmark::kMillisecond);

void BM_NgramChainPrune(benchmark::State &state) {
    prune_shape(state, chain(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1))));
    state.SetLabel(state.range(0) == 0 ? "distinct words" : "period three");
}
BENCHMARK(BM_NgramChainPrune)
    ->ArgsProduct({{0, 1}, {10000, 40000, 160000}})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void BM_NgramDescendingInit(benchmark::State &state) {
    estimate_shape(state, descending(static_cast<int32_t>(state.range(0))));
}
BENCHMARK(BM_NgramDescendingInit)->Arg(100000)->Arg(400000)->Unit(benchmark::kMillisecond);

void BM_NgramDescendingPrune(benchmark::State &state) {
    prune_shape(state, descending(static_cast<int32_t>(state.range(0))));
}
BENCHMARK(BM_NgramDescendingPrune)->Arg(100000)->Arg(400000)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
