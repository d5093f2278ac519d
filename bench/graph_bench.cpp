// The decoding graph of a full-size pronouncing dictionary (130,000 words,
// 135,000 pronunciations over 39 phonemes, generated) under a bigram model
// over it: every word a unigram, and about 570,000 bigrams, the successors
// of a word falling off with its rank. Loading the graph file (reading the
// three blobs, building, pushing, packing), and walking every arc through
// the accessors as a decoder does. Then graph files whose lists are long:
// thousands of homophones, or thousands of phonemes each starting a word.
// Then the bound on what a file may build: files of pronunciation variants
// under a dense bigram model, loaded and counted, and a chain model that
// would build nine million phone states from 8.7 KB, refused.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bigram_graph.h"
#include "foundation/bit_field.h"
#include "lm/graph.h"
#include "lm/graph_count.h"
#include "support/graph_file.h"
#include "support/model_writer.h"

// The blob writers of the tests, compiled into this benchmark.
#include "support/model_writer.cpp"

namespace {

using Fixture = zv_bench::BigramGraph;

Fixture &fixture() { return zv_bench::bigram_graph(); }

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
    // What the file builds per byte of it, states and arcs together.
    state.counters["built_per_byte"] =
        static_cast<double>(static_cast<int64_t>(zv_graph_num_states(f.graph)) + zv_graph_num_arcs(f.graph)) /
        static_cast<double>(std::filesystem::file_size(f.path));
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

// A graph file of `count` words (W0000000, ...) under the start state of a
// unigram model. Homophones: every word pronounced 1 2 3 4 5, so that one
// phone state carries `count` word arcs. Otherwise each word is pronounced
// by a phoneme of its own, and the start state carries `count` phone arcs.
// About 10 bytes a word.
struct LongListFile {
    zv_test::TempDir dir;
    std::string path;
    uint64_t bytes = 0;

    LongListFile(int32_t count, bool homophones) {
        const int32_t num_phonemes = homophones ? 5 : count;
        std::string words_text, phones_text, prons_text;
        for (int32_t w = 0; w < count; ++w) {
            char name[16];
            std::snprintf(name, sizeof name, "W%07d", w);
            words_text += std::string(name) + "\n";
            prons_text += std::string(name) + (homophones ? "\tP1 P2 P3 P4 P5\n" : "\tP" + std::to_string(w + 1) + "\n");
        }
        for (int32_t p = 1; p <= num_phonemes; ++p) phones_text += "P" + std::to_string(p) + "\n";
        zv_lexicon_t *lexicon = nullptr;
        zv_dict_t *dict = nullptr;
        if (zv_lexicon_init(dir.write("words.txt", words_text).c_str(), &lexicon) != ZV_STATUS_SUCCESS ||
            zv_dict_init(dir.write("phones.txt", phones_text).c_str(), dir.write("prons.txt", prons_text).c_str(),
                         lexicon, &dict) != ZV_STATUS_SUCCESS) {
            std::abort();
        }
        std::vector<uint8_t> file;
        uint64_t size = 0;
        void *blob = nullptr;
        zv_status_t status = zv_lexicon_serialize(lexicon, &size, &blob);
        zv_bench::append_blob(file, status, size, blob);
        status = zv_dict_serialize(dict, &size, &blob);
        zv_bench::append_blob(file, status, size, blob);
        zv_test::LmNode root;
        root.forward = -128;
        for (int32_t w = 0; w < count; ++w) {
            zv_test::LmNode u;
            u.word = w;
            u.forward = static_cast<int8_t>(-(10 + w % 50));
            root.children.push_back(u);
        }
        const std::vector<uint8_t> lm = zv_test::lm_blob_bytes(root);
        file.insert(file.end(), lm.begin(), lm.end());
        path = dir.write("graph.bin", file);
        bytes = file.size();
        zv_dict_delete(dict);
        zv_lexicon_delete(lexicon);
    }
};

const LongListFile &long_list_file(int32_t count, bool homophones) {
    static std::map<std::pair<int32_t, bool>, std::unique_ptr<LongListFile>> files;
    std::unique_ptr<LongListFile> &f = files[{count, homophones}];
    if (!f) f = std::make_unique<LongListFile>(count, homophones);
    return *f;
}

void load_long_lists(benchmark::State &state, bool homophones) {
    const LongListFile &f = long_list_file(static_cast<int32_t>(state.range(0)), homophones);
    int32_t arcs = 0;
    for (auto _ : state) {
        zv_graph_t *g = nullptr;
        if (zv_graph_init(f.path.c_str(), &g) != ZV_STATUS_SUCCESS) state.SkipWithError("load");
        arcs = g ? zv_graph_num_arcs(g) : 0;
        zv_graph_delete(g);
    }
    state.counters["file_KB"] = static_cast<double>(f.bytes) / 1e3;
    state.counters["arcs"] = arcs;
}

void BM_GraphLoadHomophones(benchmark::State &state) { load_long_lists(state, true); }
BENCHMARK(BM_GraphLoadHomophones)->Arg(30000)->Arg(300000)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_GraphLoadDistinctPhonemes(benchmark::State &state) { load_long_lists(state, false); }
BENCHMARK(BM_GraphLoadDistinctPhonemes)->Arg(30000)->Arg(300000)->Unit(benchmark::kMillisecond)->Iterations(1);

// A graph file held in a file, and its language model and dictionary read
// back from it for the count.
struct BoundFile {
    zv_test::TempDir dir;
    std::string path;
    std::vector<uint8_t> bytes;
    zv_lexicon_t *lexicon = nullptr;
    zv_dict_t *dict = nullptr;
    zv_mgram_t *mgram = nullptr;

    explicit BoundFile(std::vector<uint8_t> file) : bytes(std::move(file)) {
        path = dir.write("graph.bin", bytes);
        const void *cursor = bytes.data();
        const auto left = [&] {
            return bytes.size() - static_cast<size_t>(static_cast<const uint8_t *>(cursor) - bytes.data());
        };
        if (zv_lexicon_deserialize_bounded(&cursor, left(), &lexicon) != ZV_STATUS_SUCCESS ||
            zv_dict_deserialize_bounded(lexicon, &cursor, left(), &dict) != ZV_STATUS_SUCCESS ||
            zv_mgram_deserialize_bounded(&cursor, left(), &mgram) != ZV_STATUS_SUCCESS) {
            std::abort();
        }
    }
};

// The variants of a grapheme-to-phoneme engine's N-best list, `variants` of
// 8 phonemes for each of `words` words, under a dense bigram model.
const BoundFile &nbest_file(int32_t words, int32_t variants) {
    static std::map<std::pair<int32_t, int32_t>, std::unique_ptr<BoundFile>> files;
    std::unique_ptr<BoundFile> &f = files[{words, variants}];
    if (!f) {
        const zv_test::GraphSources m = zv_test::nbest_bigram_model(words, variants, 8);
        std::vector<uint8_t> bytes = zv_test::EncodeLexicon(m.words);
        const std::vector<uint8_t> dict = zv_test::EncodeDict(m.phoneme_set_size, words, m.prons);
        const std::vector<uint8_t> lm = zv_test::lm_blob(m.nodes);
        bytes.insert(bytes.end(), dict.begin(), dict.end());
        bytes.insert(bytes.end(), lm.begin(), lm.end());
        f = std::make_unique<BoundFile>(std::move(bytes));
    }
    return *f;
}

const BoundFile &chain_file() {
    static BoundFile *f = new BoundFile(zv_test::chain_graph_file(3000, 3000));
    return *f;
}

void BM_GraphLoadVariants(benchmark::State &state) {
    const BoundFile &f = nbest_file(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
    double built = 0;
    for (auto _ : state) {
        zv_graph_t *g = nullptr;
        if (zv_graph_init(f.path.c_str(), &g) != ZV_STATUS_SUCCESS) state.SkipWithError("load");
        built = g ? static_cast<double>(zv_graph_num_states(g)) + zv_graph_num_arcs(g) : 0;
        zv_graph_delete(g);
    }
    state.counters["file_KB"] = static_cast<double>(f.bytes.size()) / 1e3;
    state.counters["built_per_byte"] = built / static_cast<double>(f.bytes.size());
}
BENCHMARK(BM_GraphLoadVariants)->Args({200, 10})->Args({100, 25})->Unit(benchmark::kMillisecond)->Iterations(3);

// The count with shared prefixes of the files above, to the loader's bound,
// which they stay below.
void BM_GraphCountVariants(benchmark::State &state) {
    const BoundFile &f = nbest_file(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
    uint64_t count = 0;
    for (auto _ : state) {
        if (zv_graph_count_built(f.mgram, f.dict, 96 * f.bytes.size(), &count) != ZV_STATUS_SUCCESS) {
            state.SkipWithError("count");
        }
        benchmark::DoNotOptimize(count);
    }
    state.counters["counted_per_byte"] = static_cast<double>(count) / static_cast<double>(f.bytes.size());
}
BENCHMARK(BM_GraphCountVariants)->Args({200, 10})->Args({100, 25})->Unit(benchmark::kMillisecond);

// 3000 nodes in a chain, each with a word of 3000 phonemes below it: the
// load refused (its lookups pass the bound after some 280 nodes), and the
// count with shared prefixes stopped at the bound, and run to its end.
void BM_GraphLoadRefusedChain(benchmark::State &state) {
    const BoundFile &f = chain_file();
    for (auto _ : state) {
        zv_graph_t *g = nullptr;
        if (zv_graph_init(f.path.c_str(), &g) != ZV_STATUS_INVALID_ARGUMENT) state.SkipWithError("not refused");
        zv_graph_delete(g);
    }
    state.counters["file_KB"] = static_cast<double>(f.bytes.size()) / 1e3;
}
BENCHMARK(BM_GraphLoadRefusedChain)->Unit(benchmark::kMicrosecond);

void BM_GraphCountChain(benchmark::State &state) {
    const BoundFile &f = chain_file();
    const uint64_t limit = state.range(0) ? 96 * f.bytes.size() : UINT64_MAX;
    uint64_t count = 0;
    for (auto _ : state) {
        if (zv_graph_count_built(f.mgram, f.dict, limit, &count) != ZV_STATUS_SUCCESS) state.SkipWithError("count");
        benchmark::DoNotOptimize(count);
    }
    state.counters["counted"] = static_cast<double>(count);
}
BENCHMARK(BM_GraphCountChain)->ArgName("bounded")->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

}  // namespace
