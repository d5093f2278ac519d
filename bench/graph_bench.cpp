// The decoding graph of a full-size pronouncing dictionary (130,000 words,
// 135,000 pronunciations over 39 phonemes, generated) under a bigram model
// over it: every word a unigram, and about 570,000 bigrams, the successors
// of a word falling off with its rank. Loading the graph file (reading the
// three blobs, building, pushing, packing), and walking every arc through
// the accessors as a decoder does.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "dictionary_corpus.h"
#include "foundation/bit_field.h"
#include "lm/graph.h"
#include "lm/lm_blob.h"
#include "pronunciation/dict.h"
#include "pronunciation/lexicon.h"
#include "support/lm_fixtures.h"
#include "support/temp_dir.h"

namespace {

// Appends a blob handed out by a serialiser and frees it.
void append(std::vector<uint8_t> &file, zv_status_t status, uint64_t size, void *blob) {
    if (status != ZV_STATUS_SUCCESS) std::abort();
    file.insert(file.end(), static_cast<uint8_t *>(blob), static_cast<uint8_t *>(blob) + size);
    std::free(blob);
}

// The bigram model: unigram costs from a word's rank, successors drawn
// at random, about 60,000 / (rank + 10) of them (at most 3,000).
zv_test::LmNode bigram_model(int32_t vocabulary) {
    std::mt19937 rng(99);
    std::vector<int32_t> rank(static_cast<size_t>(vocabulary));
    std::iota(rank.begin(), rank.end(), 0);
    std::shuffle(rank.begin(), rank.end(), rng);
    zv_test::LmNode root;
    root.forward = -128;
    root.backoff = 0;
    for (int32_t w = 0; w < vocabulary; ++w) {
        const int32_t r = rank[static_cast<size_t>(w)];
        zv_test::LmNode u;
        u.word = w;
        u.forward = static_cast<int8_t>(-std::min(127, 10 + r / 1200));
        u.backoff = static_cast<int8_t>(-static_cast<int32_t>(4 + rng() % 20));
        const int32_t count = std::min(3000, 60000 / (r + 10));
        std::vector<int32_t> next;
        for (int32_t k = 0; k < count; ++k) next.push_back(static_cast<int32_t>(rng() % static_cast<uint32_t>(vocabulary)));
        std::sort(next.begin(), next.end());
        next.erase(std::unique(next.begin(), next.end()), next.end());
        for (int32_t v : next) {
            zv_test::LmNode b;
            b.word = v;
            b.forward = static_cast<int8_t>(-static_cast<int32_t>(2 + rng() % 50));
            u.children.push_back(b);
        }
        root.children.push_back(std::move(u));
    }
    return root;
}

struct Fixture {
    zv_test::TempDir dir;
    std::string path;
    int64_t bigrams = 0;
    zv_graph_t *graph = nullptr;

    Fixture() {
        const zv_bench::DictionaryCorpus corpus = zv_bench::make_dictionary_corpus();
        zv_lexicon_t *lexicon = nullptr;
        zv_dict_t *dict = nullptr;
        if (zv_lexicon_init(dir.write("words.txt", corpus.words_text).c_str(), &lexicon) != ZV_STATUS_SUCCESS ||
            zv_dict_init(dir.write("phones.txt", corpus.phones_text).c_str(),
                         dir.write("prons.txt", corpus.prons_text).c_str(), lexicon, &dict) != ZV_STATUS_SUCCESS) {
            std::abort();
        }
        std::vector<uint8_t> file;
        uint64_t size = 0;
        void *blob = nullptr;
        zv_status_t status = zv_lexicon_serialize(lexicon, &size, &blob);
        append(file, status, size, blob);
        status = zv_dict_serialize(dict, &size, &blob);
        append(file, status, size, blob);
        const zv_test::LmNode model = bigram_model(zv_lexicon_size(lexicon));
        for (const zv_test::LmNode &u : model.children) bigrams += static_cast<int64_t>(u.children.size());
        const std::vector<uint8_t> lm = zv_test::lm_blob_bytes(model);
        file.insert(file.end(), lm.begin(), lm.end());
        path = dir.write("graph.bin", file);
        zv_dict_delete(dict);
        zv_lexicon_delete(lexicon);
        if (zv_graph_init(path.c_str(), &graph) != ZV_STATUS_SUCCESS) std::abort();
    }
};

Fixture &fixture() {
    static Fixture *f = new Fixture();  // kept to the end of the process
    return *f;
}

// Bytes of the packed graph: its bit-field arrays and weight bytes.
double packed_bytes(const zv_graph_t *g) {
    const uint64_t s = static_cast<uint64_t>(g->num_states);
    const uint64_t a = static_cast<uint64_t>(g->num_arcs);
    const uint64_t words = zv_bit_field_size_uint32(s, 1) + zv_bit_field_size_uint32(s, g->arc_bits) +
                           zv_bit_field_size_uint32(a, g->input_bits) + zv_bit_field_size_uint32(a, g->output_bits) +
                           zv_bit_field_size_uint32(a, g->state_bits) + zv_bit_field_size_uint32(a, g->arc_bits);
    return static_cast<double>(4 * words + a);
}

void BM_GraphLoad(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        zv_graph_t *g = nullptr;
        if (zv_graph_init(f.path.c_str(), &g) != ZV_STATUS_SUCCESS) state.SkipWithError("load");
        zv_graph_delete(g);
    }
    state.counters["bigrams"] = static_cast<double>(f.bigrams);
    state.counters["states"] = zv_graph_num_states(f.graph);
    state.counters["arcs"] = zv_graph_num_arcs(f.graph);
    state.counters["packed_MB"] = packed_bytes(f.graph) / 1e6;
}
BENCHMARK(BM_GraphLoad)->Unit(benchmark::kMillisecond)->Iterations(3);

// Every arc of every state with its labels, weight and target, as the
// decoder's inner loop reads them.
void BM_GraphWalkAllArcs(benchmark::State &state) {
    const zv_graph_t *g = fixture().graph;
    const int32_t num_states = zv_graph_num_states(g);
    for (auto _ : state) {
        int64_t sum = 0;
        float weights = 0.0f;
        for (int32_t s = 0; s < num_states; ++s) {
            for (int32_t a = zv_graph_state_arc(g, s, -1); a != -1; a = zv_graph_state_arc(g, s, a)) {
                sum += zv_graph_input(g, a) + zv_graph_output(g, a) + zv_graph_state(g, a);
                weights += zv_graph_weight(g, a);
            }
        }
        benchmark::DoNotOptimize(sum);
        benchmark::DoNotOptimize(weights);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(zv_graph_num_arcs(g)));
}
BENCHMARK(BM_GraphWalkAllArcs)->Unit(benchmark::kMillisecond);

}  // namespace
