// The decoding graph of a full-size pronouncing dictionary (130,000 words,
// 135,000 pronunciations over 39 phonemes, generated) under a bigram model
// over it: every word a unigram, and about 570,000 bigrams, the successors of
// a word falling off with its rank. Shared by the graph and decoder
// benchmarks.
#ifndef ZV_BENCH_BIGRAM_GRAPH_H
#define ZV_BENCH_BIGRAM_GRAPH_H

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "dictionary_corpus.h"
#include "lm/graph.h"
#include "lm/lm_blob.h"
#include "pronunciation/dict.h"
#include "pronunciation/lexicon.h"
#include "support/lm_fixtures.h"
#include "support/temp_dir.h"

namespace zv_bench {

// Appends a blob handed out by a serialiser and frees it.
inline void append_blob(std::vector<uint8_t> &file, zv_status_t status, uint64_t size, void *blob) {
    if (status != ZV_STATUS_SUCCESS) std::abort();
    file.insert(file.end(), static_cast<uint8_t *>(blob), static_cast<uint8_t *>(blob) + size);
    std::free(blob);
}

// The lexicon and dictionary of word, phone-set and pronunciation texts
// (written into dir); aborts where either can't be made.
inline void make_pronunciations(zv_test::TempDir &dir, const std::string &words, const std::string &phones,
                                const std::string &prons, zv_lexicon_t **lexicon, zv_dict_t **dict) {
    if (zv_lexicon_init(dir.write("words.txt", words).c_str(), lexicon) != ZV_STATUS_SUCCESS ||
        zv_dict_init(dir.write("phones.txt", phones).c_str(), dir.write("prons.txt", prons).c_str(), *lexicon, dict) !=
            ZV_STATUS_SUCCESS) {
        std::abort();
    }
}

// A graph file: the lexicon's and dictionary's blobs, then the language
// model's.
inline std::vector<uint8_t> graph_file_of(const zv_lexicon_t *lexicon, const zv_dict_t *dict,
                                          const std::vector<uint8_t> &lm) {
    std::vector<uint8_t> file;
    uint64_t size = 0;
    void *blob = nullptr;
    zv_status_t status = zv_lexicon_serialize(lexicon, &size, &blob);
    append_blob(file, status, size, blob);
    status = zv_dict_serialize(dict, &size, &blob);
    append_blob(file, status, size, blob);
    file.insert(file.end(), lm.begin(), lm.end());
    return file;
}

// The decoding graph of word, phone-set and pronunciation texts and a
// language model's blob, loaded from a graph file in a folder of its own;
// aborts where it can't be made.
inline zv_graph_t *graph_of_texts(const std::string &words, const std::string &phones, const std::string &prons,
                                  const std::vector<uint8_t> &lm) {
    zv_test::TempDir dir;
    zv_lexicon_t *lexicon = nullptr;
    zv_dict_t *dict = nullptr;
    make_pronunciations(dir, words, phones, prons, &lexicon, &dict);
    const std::vector<uint8_t> file = graph_file_of(lexicon, dict, lm);
    zv_dict_delete(dict);
    zv_lexicon_delete(lexicon);
    zv_graph_t *graph = nullptr;
    if (zv_graph_init(dir.write("graph.bin", file).c_str(), &graph) != ZV_STATUS_SUCCESS) std::abort();
    return graph;
}

// The bigram model: unigram costs from a word's rank, successors drawn
// at random, about 60,000 / (rank + 10) of them (at most 3,000).
inline zv_test::LmNode bigram_model(int32_t vocabulary) {
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

struct BigramGraph {
    zv_test::TempDir dir;
    std::string path;
    int64_t bigrams = 0;
    zv_graph_t *graph = nullptr;
    zv_lexicon_t *lexicon = nullptr;  // the graph's words and their pronunciations, for making inputs
    zv_dict_t *dict = nullptr;
    zv_test::LmNode model;

    BigramGraph() {
        const DictionaryCorpus corpus = make_dictionary_corpus();
        make_pronunciations(dir, corpus.words_text, corpus.phones_text, corpus.prons_text, &lexicon, &dict);
        model = bigram_model(zv_lexicon_size(lexicon));
        for (const zv_test::LmNode &u : model.children) bigrams += static_cast<int64_t>(u.children.size());
        path = dir.write("graph.bin", graph_file_of(lexicon, dict, zv_test::lm_blob_bytes(model)));
        if (zv_graph_init(path.c_str(), &graph) != ZV_STATUS_SUCCESS) std::abort();
    }
};

// Made once per process and kept to its end.
inline BigramGraph &bigram_graph() {
    static BigramGraph *g = new BigramGraph();
    return *g;
}

}  // namespace zv_bench

#endif
