#include "lm/graph_count.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "lm/graph.h"
#include "lm/mgram.h"
#include "support/graph_file.h"
#include "support/lm_fixtures.h"
#include "support/model_writer.h"
#include "support/pronunciation_fixtures.h"

namespace {

using zv_test::GraphPtr;
using zv_test::LmRow;

constexpr uint64_t kPerByte = 96;  // the loader's bound

// A graph file's language model and dictionary, read back from its bytes.
struct Sources {
    zv_test::LexiconPtr lexicon;
    zv_test::DictPtr dict;
    zv_test::MgramPtr mgram;

    explicit Sources(const std::vector<uint8_t> &bytes) {
        const void *cursor = bytes.data();
        const auto left = [&] {
            return bytes.size() - static_cast<size_t>(static_cast<const uint8_t *>(cursor) - bytes.data());
        };
        zv_lexicon_t *lexicon_out = nullptr;
        EXPECT_EQ(zv_lexicon_deserialize_bounded(&cursor, left(), &lexicon_out), ZV_STATUS_SUCCESS);
        lexicon.reset(lexicon_out);
        zv_dict_t *dict_out = nullptr;
        EXPECT_EQ(zv_dict_deserialize_bounded(lexicon.get(), &cursor, left(), &dict_out), ZV_STATUS_SUCCESS);
        dict.reset(dict_out);
        zv_mgram_t *mgram_out = nullptr;
        EXPECT_EQ(zv_mgram_deserialize_bounded(&cursor, left(), &mgram_out), ZV_STATUS_SUCCESS);
        mgram.reset(mgram_out);
    }

    // The arcs the build looks up: L + 2 for each pronunciation of L
    // phonemes of each node's word.
    uint64_t lookups() const {
        uint64_t sum = 0;
        for (int32_t n = 1; n < zv_mgram_size(mgram.get()); ++n) {
            const int32_t w = zv_mgram_word(mgram.get(), n);
            for (int32_t p = 0; p < zv_dict_num_pronunciations(dict.get(), w); ++p) {
                int32_t length = 0;
                const int32_t *ids = nullptr;
                zv_dict_pronunciation(dict.get(), w, p, &length, &ids);
                sum += static_cast<uint64_t>(length) + 2;
            }
        }
        return sum;
    }
};

uint64_t count_of(const Sources &s, uint64_t limit) {
    uint64_t count = 0;
    EXPECT_EQ(zv_graph_count_built(s.mgram.get(), s.dict.get(), limit, &count), ZV_STATUS_SUCCESS);
    return count;
}

// Words whose pronunciations share much: a few phonemes, short
// pronunciations (some empty), homophones; and a backoff model of order up
// to 4 in which a word may follow many histories.
zv_test::GraphSources random_sources(std::mt19937 &rng) {
    zv_test::GraphSources m;
    const int32_t num_words = 2 + static_cast<int32_t>(rng() % 11);
    m.phoneme_set_size = 1 + static_cast<int32_t>(rng() % 5);
    for (int32_t w = 0; w < num_words; ++w) m.words.push_back(std::string(1, static_cast<char>('A' + w)));
    m.prons.resize(static_cast<size_t>(num_words));
    std::vector<std::vector<int32_t>> said;
    const auto add_pronunciations = [&](size_t w, uint32_t k) {
        for (uint32_t i = 0; i < k; ++i) {
            std::vector<int32_t> pron;
            if (!said.empty() && rng() % 4 == 0) {
                pron = said[rng() % said.size()];  // another word's, or a prefix or extension of it
                if (rng() % 2 == 0 && !pron.empty()) pron.pop_back();
                if (rng() % 2 == 0) pron.push_back(1 + static_cast<int32_t>(rng() % 5) % m.phoneme_set_size);
            } else {
                pron.resize(rng() % 10 == 0 ? 0 : 1 + rng() % 6);
                for (int32_t &id : pron) id = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(m.phoneme_set_size));
            }
            bool repeated = false;
            for (const std::vector<int32_t> &p : m.prons[w]) repeated = repeated || p == pron;
            if (repeated) continue;
            m.prons[w].push_back(pron);
            said.push_back(pron);
        }
    };
    for (size_t w = 0; w < m.prons.size(); ++w) {
        add_pronunciations(w, w == 0 ? 1 + rng() % 4 : rng() % 5);  // word 0 has some, for the text reader
    }
    // The dictionary blob holds at least as many pronunciations as words.
    while (said.size() < m.prons.size()) add_pronunciations(rng() % m.prons.size(), 1);
    m.nodes.push_back({-1, -1, 127, 5});
    const int32_t order = 1 + static_cast<int32_t>(rng() % 4);
    auto expand = [&](auto &&self, int32_t parent, int32_t depth) -> void {
        if (depth >= order) return;
        for (int32_t w = 0; w < num_words; ++w) {
            if (rng() % 100 >= (depth == 0 ? 80u : 45u)) continue;
            const int32_t index = static_cast<int32_t>(m.nodes.size());
            m.nodes.push_back({parent, w, static_cast<int32_t>(rng() % 60), static_cast<int32_t>(rng() % 30)});
            self(self, index, depth + 1);
        }
    };
    expand(expand, 0, 0);
    return m;
}

// A few words with long pronunciations of many phonemes, sharing parts of
// a prefix, under a deep model of some hundreds of nodes, each with one or
// two children: near 100 states and arcs per byte of the file.
zv_test::GraphSources dense_sources(std::mt19937 &rng) {
    zv_test::GraphSources m;
    const int32_t num_words = 2 + static_cast<int32_t>(rng() % 3);
    m.phoneme_set_size = 8 + static_cast<int32_t>(rng() % 23);
    const auto phoneme = [&] { return 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(m.phoneme_set_size)); };
    for (int32_t w = 0; w < num_words; ++w) {
        m.words.push_back(std::string(1, static_cast<char>('A' + w)));
        std::vector<int32_t> base(30 + rng() % 41);
        for (int32_t &id : base) id = phoneme();
        m.prons.push_back({base});
        for (uint32_t k = 3 + rng() % 5; k > 0; --k) {
            std::vector<int32_t> pron(base.begin(), base.begin() + static_cast<ptrdiff_t>(rng() % (base.size() / 2)));
            while (pron.size() < 30 + rng() % 41) pron.push_back(phoneme());
            bool repeated = false;
            for (const std::vector<int32_t> &p : m.prons.back()) repeated = repeated || p == pron;
            if (!repeated) m.prons.back().push_back(pron);
        }
    }
    m.nodes.push_back({-1, -1, 127, 5});
    int32_t budget = 300 + static_cast<int32_t>(rng() % 400);
    auto expand = [&](auto &&self, int32_t parent, int32_t children) -> void {
        const int32_t first = static_cast<int32_t>(rng() % static_cast<uint32_t>(num_words));
        for (int32_t w = 0; w < num_words && children > 0 && budget > 0; ++w) {
            if (w < first && children < num_words) continue;
            children -= 1;
            budget -= 1;
            const int32_t index = static_cast<int32_t>(m.nodes.size());
            m.nodes.push_back({parent, w, static_cast<int32_t>(rng() % 60), static_cast<int32_t>(rng() % 30)});
            self(self, index, 1 + static_cast<int32_t>(rng() % 2));
        }
    };
    expand(expand, 0, num_words);
    return m;
}

// On random models the count is what the build makes, states and arcs
// together. Padded to the bound (the loader ignores bytes after the model),
// the file loads; a byte short of it, it is refused.
TEST(GraphCountTest, RandomModelsCountWhatTheBuildMakes) {
    std::mt19937 rng(20261211);
    int padded = 0;
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        std::vector<uint8_t> bytes = (round % 5 == 0 ? dense_sources(rng) : random_sources(rng)).file();
        ASSERT_FALSE(bytes.empty());
        const Sources sources(bytes);
        ASSERT_TRUE(sources.mgram);
        const uint64_t count = count_of(sources, UINT64_MAX);
        EXPECT_EQ(count_of(sources, count), count);
        EXPECT_GT(count_of(sources, count - 1), count - 1);

        const uint64_t most = std::max(count, sources.lookups());
        const size_t bound = static_cast<size_t>((most + kPerByte - 1) / kPerByte);
        if (bytes.size() < bound) {
            padded += 1;
            bytes.resize(bound - 1);
            zv_status_t status;
            EXPECT_EQ(zv_test::load_graph(bytes, &status), nullptr);
            EXPECT_EQ(status, ZV_STATUS_INVALID_ARGUMENT);
            bytes.resize(bound);
        }
        zv_status_t status;
        GraphPtr g = zv_test::load_graph(bytes, &status);
        ASSERT_EQ(status, ZV_STATUS_SUCCESS);
        EXPECT_EQ(static_cast<uint64_t>(zv_graph_num_states(g.get())) + static_cast<uint64_t>(zv_graph_num_arcs(g.get())),
                  count);
        if (HasFailure()) break;
    }
    EXPECT_GT(padded, 10);  // the bound was met often enough to matter
}

// A dictionary blob may hold a pronunciation of a word twice (two sibling
// nodes of one label), which the text readers never write: the build makes
// one word arc for both, and the count counts one.
TEST(GraphCountTest, APronunciationHeldTwiceCountsOnce) {
    // A: 1 2 and 1 3, B: 1 2, stored in preorder as root, 1, 2, end A, end B,
    // 3, end A; the 3 (node 5, two bits a label) made a 2.
    std::vector<uint8_t> dict = zv_test::EncodeDict(3, 2, {{{1, 2}, {1, 3}}, {{1, 2}}});
    ASSERT_EQ(dict[21] & 0x0c, 0x0c);
    dict[21] = static_cast<uint8_t>(dict[21] & ~0x04);
    // A and B under the start state, A again after A and after B.
    const std::vector<LmRow> nodes = {{-1, -1, 127, 0}, {0, 0, 5, 2}, {1, 0, 3, 0}, {0, 1, 6, 2}, {3, 0, 4, 0}};
    std::vector<uint8_t> bytes = zv_test::EncodeLexicon({"A", "B"});
    const std::vector<uint8_t> model = zv_test::lm_blob(nodes);
    bytes.insert(bytes.end(), dict.begin(), dict.end());
    bytes.insert(bytes.end(), model.begin(), model.end());

    const Sources sources(bytes);
    ASSERT_TRUE(sources.mgram);
    ASSERT_EQ(zv_dict_num_pronunciations(sources.dict.get(), 0), 2);
    int32_t length = 0;
    const int32_t *ids = nullptr;
    zv_dict_pronunciation(sources.dict.get(), 0, 1, &length, &ids);
    ASSERT_EQ(std::vector<int32_t>(ids, ids + length), (std::vector<int32_t>{1, 2}));
    zv_status_t status;
    GraphPtr g = zv_test::load_graph(bytes, &status);
    ASSERT_EQ(status, ZV_STATUS_SUCCESS);
    // 5 model states; under the start state 1 and 1 2 (2 phone states and
    // arcs), a word arc for A and one for B, a backoff arc each; under A and
    // under B the same for A alone.
    EXPECT_EQ(zv_graph_num_states(g.get()) + zv_graph_num_arcs(g.get()), 5 + 4 + 2 + 2 + 2 * (4 + 1 + 1));
    EXPECT_EQ(count_of(sources, UINT64_MAX),
              static_cast<uint64_t>(zv_graph_num_states(g.get()) + zv_graph_num_arcs(g.get())));
}

}  // namespace
