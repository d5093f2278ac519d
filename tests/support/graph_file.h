// Decoding-graph files for tests: a lexicon blob, a dictionary blob over it
// (some words may have no pronunciation) and a language-model blob written
// from a table of nodes.
#ifndef ZV_TESTS_SUPPORT_GRAPH_FILE_H
#define ZV_TESTS_SUPPORT_GRAPH_FILE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "lm/graph.h"
#include "support/lm_fixtures.h"
#include "support/model_writer.h"
#include "support/pronunciation_fixtures.h"
#include "support/temp_dir.h"

namespace zv_test {

// One row of a language-model table. A table lists the nodes in preorder
// (row 0 the root, with parent -1 and word -1; children after their parent,
// siblings in ascending word order), so that a row's index is the node's
// number in the model. Costs are in-memory bytes as signed values, -127 to
// 127 (the blob holds their negation).
struct LmRow {
    int32_t parent;
    int32_t word;
    int32_t forward;
    int32_t backoff;  // stored only for a node with children
};

inline std::vector<uint8_t> lm_blob(const std::vector<LmRow> &rows) {
    std::vector<LmNode> nodes(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        nodes[i].word = rows[i].word;
        nodes[i].forward = static_cast<int8_t>(-rows[i].forward);
        nodes[i].backoff = static_cast<int8_t>(-rows[i].backoff);
    }
    // Children come after their parents: attached from the last row back,
    // every subtree is whole before it moves into its parent (its children
    // gathered last first, then turned around).
    for (size_t i = rows.size(); i-- > 0;) {
        std::reverse(nodes[i].children.begin(), nodes[i].children.end());
        if (i > 0) nodes[static_cast<size_t>(rows[i].parent)].children.push_back(std::move(nodes[i]));
    }
    return lm_blob_bytes(nodes[0]);
}

// A dictionary over lexicon (holding `words`) where a word may have no
// pronunciation or one too long for a text line: the words whose
// pronunciations are all short are read from text, the others merged in with
// theirs. At least one word must have only short, and some, pronunciations.
inline DictPtr make_sparse_dict(const zv_lexicon_t *lexicon, const std::vector<std::string> &words,
                                int32_t phoneme_set_size, const Pronunciations &prons) {
    constexpr size_t kLongest = 100;  // phonemes that fit a text line comfortably
    std::vector<std::string> said;
    Pronunciations said_prons;
    std::vector<const char *> merged;
    std::vector<int32_t> counts, lengths;
    std::vector<const int32_t *> ids;
    for (size_t w = 0; w < words.size(); ++w) {
        bool short_enough = !prons[w].empty();
        for (const std::vector<int32_t> &pron : prons[w]) short_enough = short_enough && pron.size() <= kLongest;
        if (short_enough) {
            said.push_back(words[w]);
            said_prons.push_back(prons[w]);
            continue;
        }
        merged.push_back(words[w].c_str());
        counts.push_back(static_cast<int32_t>(prons[w].size()));
        for (const std::vector<int32_t> &pron : prons[w]) {
            lengths.push_back(static_cast<int32_t>(pron.size()));
            ids.push_back(pron.data());
        }
    }
    LexiconPtr part = make_lexicon(said);
    DictPtr dict = make_dict(part.get(), phoneme_set_size, said_prons);
    if (!dict || merged.empty()) return dict;
    lengths.push_back(0);  // never read; keeps the arrays non-empty
    ids.push_back(nullptr);
    EXPECT_EQ(zv_dict_add(dict.get(), lexicon, static_cast<int32_t>(merged.size()), merged.data(), counts.data(),
                          lengths.data(), ids.data()),
              ZV_STATUS_SUCCESS);
    return dict;
}

// The three blobs of a graph file. prons holds the pronunciations of every
// word (phoneme ids 1..P; an empty list for a word without any); the
// dictionary reader wants at least as many pronunciations as words, and a
// pronunciation a word repeats counts once.
inline std::vector<uint8_t> graph_file_bytes(const std::vector<std::string> &words, int32_t phoneme_set_size,
                                             const Pronunciations &prons, const std::vector<LmRow> &nodes) {
    LexiconPtr lexicon = make_lexicon(words);
    if (!lexicon) return {};
    DictPtr dict = make_sparse_dict(lexicon.get(), words, phoneme_set_size, prons);
    if (!dict) return {};
    std::vector<uint8_t> bytes = lexicon_blob(lexicon.get());
    const std::vector<uint8_t> second = dict_blob(dict.get());
    const std::vector<uint8_t> third = lm_blob(nodes);
    bytes.insert(bytes.end(), second.begin(), second.end());
    bytes.insert(bytes.end(), third.begin(), third.end());
    return bytes;
}

// A graph's three sources as tests write them.
struct GraphSources {
    std::vector<std::string> words;
    int32_t phoneme_set_size;
    Pronunciations prons;
    std::vector<LmRow> nodes;

    std::vector<uint8_t> file() const { return graph_file_bytes(words, phoneme_set_size, prons, nodes); }
};

// Two words sharing their first phoneme under the start state: A (1 2, cost
// 10) and B (1 3, cost 16), a unigram model. Its graph: 6 states, 7 arcs.
inline GraphSources worked_example() {
    return {{"A", "B"}, 3, {{{1, 2}}, {{1, 3}}}, {{-1, -1, 127, 0}, {0, 0, 10, 0}, {0, 1, 16, 0}}};
}

// A trigram model over A (1), B (2) and C (3): nodes 0 root, 1 A, 2 A B,
// 3 A B C, 4 B, 5 B C; C is no unigram. Its graph: 11 states, 15 arcs.
inline GraphSources trigram_example() {
    return {{"A", "B", "C"},
            3,
            {{{1}}, {{2}}, {{3}}},
            {{-1, -1, 127, 0}, {0, 0, 10, 2}, {1, 1, 3, 1}, {2, 2, 1, 0}, {0, 1, 12, 4}, {4, 2, 5, 0}}};
}

// A (1) and B (`length` phonemes, alternating 2 and 1), a unigram model.
inline GraphSources long_pronunciation_example(int32_t length) {
    std::vector<int32_t> pron(static_cast<size_t>(length));
    for (int32_t i = 0; i < length; ++i) pron[static_cast<size_t>(i)] = 2 - i % 2;
    return {{"A", "B"}, 2, {{{1}}, {pron}}, {{-1, -1, 127, 0}, {0, 0, 5, 0}, {0, 1, 9, 0}}};
}

// E0 (pronounced 1) and E1 and E2, words of no phonemes, under a model that
// holds E1, E1 E2 and E1 E2 E0, E1 E2 backing off to the start state (E2 is
// no unigram): the epsilon cycle 0 -E1-> E1 -E2-> E1 E2 -backoff-> 0 of
// weights w1, w2 and w3. An 84-byte file.
inline std::vector<uint8_t> epsilon_cycle_graph_file(int32_t w1, int32_t w2, int32_t w3) {
    return GraphSources{{"E0", "E1", "E2"},
                        1,
                        {{{1}}, {{}}, {{}}},
                        {{-1, -1, 127, 0}, {0, 0, 10, 0}, {0, 1, w1, 0}, {2, 2, w2, w3}, {3, 0, 5, 0}}}
        .file();
}

// The graph file of one word, A, of `phonemes` phonemes (2 and 1 by turns)
// under a language model that is a chain of `depth` nodes below the root,
// each A's node and A its only child: depth * phonemes phone states from
// about 2.5 depth + 0.5 phonemes bytes. With more than one variant, A has
// that many pronunciations, all of them but the first ending in a phoneme of
// their own (3, 4, ...): under each node they share all but their last
// phone state, but the build walks every one of them.
inline std::vector<uint8_t> chain_graph_file(int32_t depth, int32_t phonemes, int32_t variants = 1) {
    std::vector<std::vector<int32_t>> prons(static_cast<size_t>(variants));
    for (int32_t v = 0; v < variants; ++v) {
        std::vector<int32_t> &pron = prons[static_cast<size_t>(v)];
        for (int32_t i = 0; i < phonemes; ++i) pron.push_back(2 - i % 2);
        if (v > 0) pron.back() = 2 + v;
    }
    std::vector<LmRow> nodes = {{-1, -1, 127, 0}};
    for (int32_t d = 1; d <= depth; ++d) nodes.push_back({d - 1, 0, 3, d < depth ? 2 : 0});
    std::vector<uint8_t> bytes = EncodeLexicon({"A"});
    const std::vector<uint8_t> dict = EncodeDict(std::max(2, variants + 1), 1, {prons});
    const std::vector<uint8_t> model = lm_blob(nodes);
    bytes.insert(bytes.end(), dict.begin(), dict.end());
    bytes.insert(bytes.end(), model.begin(), model.end());
    return bytes;
}

// A dense bigram model (every word a unigram, every pair of words a bigram)
// over `num_words` words, each with `variants` pronunciations of `phonemes`
// phonemes out of 39, as a grapheme-to-phoneme engine's N-best list gives
// them: each variant is an earlier one with one phoneme changed at a random
// place, so that it shares the earlier one's prefix up to there.
inline GraphSources nbest_bigram_model(int32_t num_words, int32_t variants, int32_t phonemes) {
    constexpr int32_t kPhonemes = 39;
    uint32_t state = 12345;
    const auto next = [&state](uint32_t range) {
        state = state * 1664525u + 1013904223u;
        return static_cast<int32_t>((state >> 8) % range);
    };
    GraphSources m{{}, kPhonemes, Pronunciations(static_cast<size_t>(num_words)), {{-1, -1, 127, 0}}};
    for (int32_t w = 0; w < num_words; ++w) {
        char word[12];
        std::snprintf(word, sizeof word, "W%05d", w);
        m.words.push_back(word);
        std::vector<std::vector<int32_t>> &prons = m.prons[static_cast<size_t>(w)];
        std::vector<int32_t> pron(static_cast<size_t>(phonemes));
        for (int32_t &id : pron) id = 1 + next(kPhonemes);
        prons.push_back(pron);
        while (static_cast<int32_t>(prons.size()) < variants) {
            pron = prons[static_cast<size_t>(next(static_cast<uint32_t>(prons.size())))];
            int32_t &id = pron[static_cast<size_t>(next(static_cast<uint32_t>(phonemes)))];
            id = 1 + (id + next(kPhonemes - 1)) % kPhonemes;  // any other phoneme
            if (std::find(prons.begin(), prons.end(), pron) == prons.end()) prons.push_back(pron);
        }
    }
    for (int32_t u = 0; u < num_words; ++u) {
        const int32_t parent = static_cast<int32_t>(m.nodes.size());
        m.nodes.push_back({0, u, 10 + u % 50, 4 + u % 20});
        for (int32_t v = 0; v < num_words; ++v) m.nodes.push_back({parent, v, 2 + (7 * u + v) % 50, 0});
    }
    return m;
}

struct GraphDeleter {
    void operator()(zv_graph_t *graph) const { zv_graph_delete(graph); }
};
using GraphPtr = std::unique_ptr<zv_graph_t, GraphDeleter>;

// Loads a graph from a file holding the bytes; *status gets the result.
inline GraphPtr load_graph(const std::vector<uint8_t> &bytes, zv_status_t *status) {
    TempDir dir;
    zv_graph_t *graph = nullptr;
    *status = zv_graph_init(dir.write("graph.bin", bytes).c_str(), &graph);
    return GraphPtr(graph);
}

}  // namespace zv_test

#endif
