#include "lm/graph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "foundation/bit_field.h"
#include "support/graph_file.h"
#include "support/pronunciation_fixtures.h"
#include "support/temp_dir.h"

namespace {

using zv_test::DictPtr;
using zv_test::GraphPtr;
using zv_test::LexiconPtr;
using zv_test::LmRow;
using zv_test::Pronunciations;

using Model = zv_test::GraphSources;

// One arc as the accessors show it: output is the label (word + 1, 0 for
// none), weight the byte.
struct Arc {
    int32_t source, input, output, weight, target;
    bool operator==(const Arc &) const = default;
};

void PrintTo(const Arc &a, std::ostream *os) {
    *os << "{" << a.source << "->" << a.target << " in " << a.input << " out " << a.output << " w " << a.weight
        << "}";
}

// Every arc of the graph by number, its source found by walking each
// state's list; the lists must hold every arc once, in ascending order.
std::vector<Arc> arcs_of(const zv_graph_t *g) {
    const int32_t num_arcs = zv_graph_num_arcs(g);
    std::vector<Arc> arcs(static_cast<size_t>(num_arcs), Arc{-1, 0, 0, 0, 0});
    for (int32_t s = 0; s < zv_graph_num_states(g); ++s) {
        int32_t previous = -1;
        for (int32_t a = zv_graph_state_arc(g, s, -1); a != -1; a = zv_graph_state_arc(g, s, a)) {
            EXPECT_GT(a, previous) << "state " << s;
            EXPECT_LT(a, num_arcs);
            if (a <= previous || a >= num_arcs) return arcs;
            previous = a;
            EXPECT_EQ(arcs[a].source, -1) << "arc " << a << " in two lists";
            const float weight = zv_graph_weight(g, a);
            arcs[a] = Arc{s, zv_graph_input(g, a), zv_graph_output(g, a), static_cast<int32_t>(weight * 8.0f),
                          zv_graph_state(g, a)};
            EXPECT_EQ(weight, static_cast<float>(arcs[a].weight) * 0.125f);
        }
    }
    return arcs;
}

// The graph written out from the build's description, literally: recursive
// per-node build and recursive pushing, over the model's node table and the
// dictionary as the graph file carries it.
class ReferenceGraph {
public:
    ReferenceGraph(const std::vector<LmRow> &nodes, const zv_dict_t *dict) : nodes_(nodes), dict_(dict) {
        children_.resize(nodes.size());
        for (size_t i = 1; i < nodes.size(); ++i) children_[static_cast<size_t>(nodes[i].parent)].push_back(i);
        final_.assign(nodes.size(), true);
        first_.assign(nodes.size(), -1);
        std::vector<int32_t> history;
        build(0, history);
        for (int32_t e = first_[0]; e != -1; e = next_[static_cast<size_t>(e)]) push(e);
    }

    int32_t num_states() const { return static_cast<int32_t>(final_.size()); }
    bool is_final(int32_t s) const { return final_[static_cast<size_t>(s)]; }
    std::vector<Arc> arcs() const {
        std::vector<Arc> out;
        for (size_t a = 0; a < arcs_.size(); ++a) {
            const Arc &r = arcs_[a];
            out.push_back(Arc{r.source, r.input, r.output + 1, r.weight, r.target});
        }
        return out;
    }

private:
    static int32_t sat(int32_t x) { return x >= 127 ? 127 : x <= -128 ? -128 : x; }

    // Node of a path of words, -1 when it isn't one.
    int32_t walk(const std::vector<int32_t> &ids, size_t from) const {
        size_t node = 0;
        for (size_t i = from; i < ids.size(); ++i) {
            size_t found = 0;
            for (size_t c : children_[node]) {
                if (nodes_[c].word == ids[i]) found = c;
            }
            if (found == 0) return -1;
            node = found;
        }
        return static_cast<int32_t>(node);
    }

    int32_t find_or_add(int32_t s, int32_t input, int32_t output) {
        int32_t last = -1;
        for (int32_t a = first_[static_cast<size_t>(s)]; a != -1; a = next_[static_cast<size_t>(a)]) {
            if (arcs_[static_cast<size_t>(a)].input == input && arcs_[static_cast<size_t>(a)].output == output) {
                return a;
            }
            last = a;
        }
        const int32_t a = static_cast<int32_t>(arcs_.size());
        arcs_.push_back(Arc{s, input, output, 0, -1});
        next_.push_back(-1);
        (last == -1 ? first_[static_cast<size_t>(s)] : next_[static_cast<size_t>(last)]) = a;
        return a;
    }

    void build(size_t n, std::vector<int32_t> &history) {
        for (size_t c : children_[n]) {
            const int32_t w = nodes_[c].word;
            history.push_back(w);
            // The longest proper suffix of the child's words that is a path;
            // the empty history when none is.
            int32_t b = history.size() <= 1 ? 0 : -1;
            for (size_t i = 1; i < history.size() && b == -1; ++i) b = walk(history, i);
            if (b == -1) b = 0;
            history.pop_back();
            for (int32_t k = 0; k < zv_dict_num_pronunciations(dict_, w); ++k) {
                int32_t length;
                const int32_t *ids;
                zv_dict_pronunciation(dict_, w, k, &length, &ids);
                int32_t s = static_cast<int32_t>(n);
                for (int32_t j = 0; j < length; ++j) {
                    const int32_t a = find_or_add(s, ids[j], -1);
                    arcs_[static_cast<size_t>(a)].weight = 0;
                    if (arcs_[static_cast<size_t>(a)].target == -1) {
                        arcs_[static_cast<size_t>(a)].target = num_states();
                        final_.push_back(false);
                        first_.push_back(-1);
                    }
                    s = arcs_[static_cast<size_t>(a)].target;
                }
                const int32_t word_arc = find_or_add(s, 0, w);
                arcs_[static_cast<size_t>(word_arc)].weight = static_cast<int8_t>(nodes_[c].forward);
                arcs_[static_cast<size_t>(word_arc)].target = static_cast<int32_t>(c);
                const int32_t backoff_arc = find_or_add(static_cast<int32_t>(c), 0, -1);
                arcs_[static_cast<size_t>(backoff_arc)].weight =
                    children_[c].empty() ? 0 : static_cast<int8_t>(nodes_[c].backoff);
                arcs_[static_cast<size_t>(backoff_arc)].target = b;
            }
        }
        for (size_t c : children_[n]) {
            history.push_back(nodes_[c].word);
            build(c, history);
            history.pop_back();
        }
    }

    int32_t push(int32_t e) {
        Arc &arc = arcs_[static_cast<size_t>(e)];
        const size_t t = static_cast<size_t>(arc.target);
        if (first_[t] == -1) {
            if (!final_[t]) arc.weight = sat(arc.weight + 127);
            return arc.weight;
        }
        if (final_[t]) {
            for (int32_t f = first_[t]; f != -1; f = next_[static_cast<size_t>(f)]) {
                if (!final_[static_cast<size_t>(arcs_[static_cast<size_t>(f)].target)]) push(f);
            }
            return arcs_[static_cast<size_t>(e)].weight;
        }
        int32_t m = 127;
        for (int32_t f = first_[t]; f != -1; f = next_[static_cast<size_t>(f)]) m = std::min(m, push(f));
        for (int32_t f = first_[t]; f != -1; f = next_[static_cast<size_t>(f)]) {
            arcs_[static_cast<size_t>(f)].weight = sat(arcs_[static_cast<size_t>(f)].weight - m);
        }
        arcs_[static_cast<size_t>(e)].weight = sat(arcs_[static_cast<size_t>(e)].weight + m);
        return arcs_[static_cast<size_t>(e)].weight;
    }

    const std::vector<LmRow> &nodes_;
    const zv_dict_t *dict_;
    std::vector<std::vector<size_t>> children_;
    std::vector<bool> final_;
    std::vector<int32_t> first_;
    std::vector<Arc> arcs_;  // output: the word id, -1 for none
    std::vector<int32_t> next_;
};

// The dictionary a graph file carries, read back from its bytes.
struct FileSources {
    LexiconPtr lexicon;
    DictPtr dict;
    explicit FileSources(const std::vector<uint8_t> &bytes) {
        const void *cursor = bytes.data();
        zv_lexicon_t *lexicon_out = nullptr;
        EXPECT_EQ(zv_lexicon_deserialize_bounded(&cursor, bytes.size(), &lexicon_out), ZV_STATUS_SUCCESS);
        lexicon.reset(lexicon_out);
        const uint64_t used = static_cast<uint64_t>(static_cast<const uint8_t *>(cursor) - bytes.data());
        zv_dict_t *dict_out = nullptr;
        EXPECT_EQ(zv_dict_deserialize_bounded(lexicon.get(), &cursor, bytes.size() - used, &dict_out),
                  ZV_STATUS_SUCCESS);
        dict.reset(dict_out);
    }
};

int32_t width_formula(int32_t count) {
    return static_cast<int32_t>(std::ceil(std::log2(static_cast<double>(count)) + 1.0));
}

void expect_like_reference(const Model &model, const zv_graph_t *g) {
    const std::vector<uint8_t> bytes = model.file();
    FileSources sources(bytes);
    ASSERT_TRUE(sources.dict);
    const ReferenceGraph reference(model.nodes, sources.dict.get());
    ASSERT_EQ(zv_graph_num_states(g), reference.num_states());
    for (int32_t s = 0; s < reference.num_states(); ++s) EXPECT_EQ(zv_graph_is_final(g, s), reference.is_final(s));
    EXPECT_EQ(arcs_of(g), reference.arcs());
    EXPECT_EQ(g->state_bits, width_formula(reference.num_states()));
    if (zv_graph_num_arcs(g) > 0) {
        EXPECT_EQ(g->arc_bits, width_formula(zv_graph_num_arcs(g)));
    }
}

// Small graphs written out by hand: every arc after pushing.
struct HandCase {
    const char *name;
    Model model;
    int32_t num_states;
    std::vector<Arc> arcs;  // source, input, output label, weight byte, target
};

const std::vector<HandCase> &hand_cases() {
    static const std::vector<HandCase> cases = {
        {"worked_example",
         zv_test::worked_example(),
         6,
         {{0, 1, 0, 10, 3}, {3, 2, 0, 0, 4}, {4, 0, 1, 0, 1}, {1, 0, 0, 0, 0}, {3, 3, 0, 6, 5}, {5, 0, 2, 0, 2},
          {2, 0, 0, 0, 0}}},
        // A's two pronunciations share their first arc; B is a homophone of
        // A's first and parts from it at the word arcs; C has no
        // pronunciation and gets no arc at all.
        {"sharing",
         {{"A", "B", "C"},
          3,
          {{{1, 2}, {1, 3}}, {{1, 2}}, {}},
          {{-1, -1, 127, 0}, {0, 0, 5, 0}, {0, 1, 9, 0}, {0, 2, 3, 0}}},
         7,
         {{0, 1, 0, 5, 4}, {4, 2, 0, 0, 5}, {5, 0, 1, 0, 1}, {1, 0, 0, 0, 0}, {4, 3, 0, 0, 6}, {6, 0, 1, 0, 1},
          {5, 0, 2, 4, 2}, {2, 0, 0, 0, 0}}},
        // A trigram model: backoff arcs lead to the longest proper suffix
        // (A B -> B, A B C -> B C); B C's suffix C is no unigram, so its
        // backoff arc leads to the start state. Weights never cross a final
        // state.
        {"trigram_backoff",
         zv_test::trigram_example(),
         11,
         {{0, 1, 0, 10, 6}, {6, 0, 1, 0, 1}, {1, 0, 0, 2, 0}, {0, 2, 0, 12, 7}, {7, 0, 2, 0, 4}, {4, 0, 0, 4, 0},
          {1, 2, 0, 3, 8}, {8, 0, 2, 0, 2}, {2, 0, 0, 1, 4}, {2, 3, 0, 1, 9}, {9, 0, 3, 0, 3}, {3, 0, 0, 0, 5},
          {4, 3, 0, 5, 10}, {10, 0, 3, 0, 5}, {5, 0, 0, 0, 0}}},
        // A pronunciation of length 0: a word arc straight from the state.
        {"empty_pronunciation",
         {{"A", "B"}, 2, {{{}}, {{1}}}, {{-1, -1, 127, 0}, {0, 0, 7, 0}, {0, 1, 9, 0}}},
         4,
         {{0, 0, 1, 7, 1}, {1, 0, 0, 0, 0}, {0, 1, 0, 9, 3}, {3, 0, 2, 0, 2}, {2, 0, 0, 0, 0}}},
        // A negative cost pushed up past a large one: the sum saturates at
        // 127 on the way.
        {"saturation",
         {{"A", "B"}, 3, {{{1, 2}}, {{1, 3}}}, {{-1, -1, 127, 0}, {0, 0, -100, 0}, {0, 1, 100, 0}}},
         6,
         {{0, 1, 0, -100, 3}, {3, 2, 0, 0, 4}, {4, 0, 1, 0, 1}, {1, 0, 0, 0, 0}, {3, 3, 0, 127, 5}, {5, 0, 2, 0, 2},
          {2, 0, 0, 0, 0}}},
    };
    return cases;
}

TEST(GraphTest, HandBuiltGraphsGiveEveryArcAfterPushing) {
    for (const HandCase &c : hand_cases()) {
        SCOPED_TRACE(c.name);
        zv_status_t status;
        GraphPtr g = zv_test::load_graph(c.model.file(), &status);
        ASSERT_EQ(status, ZV_STATUS_SUCCESS);
        EXPECT_EQ(zv_graph_start_state(g.get()), 0);
        EXPECT_EQ(zv_graph_num_states(g.get()), c.num_states);
        EXPECT_EQ(zv_graph_num_arcs(g.get()), static_cast<int32_t>(c.arcs.size()));
        EXPECT_EQ(zv_graph_num_words(g.get()), static_cast<int32_t>(c.model.words.size()));
        EXPECT_EQ(arcs_of(g.get()), c.arcs);
        const int32_t lm_states = static_cast<int32_t>(c.model.nodes.size());
        for (int32_t s = 0; s < c.num_states; ++s) EXPECT_EQ(zv_graph_is_final(g.get(), s), s < lm_states) << s;
        for (size_t w = 0; w < c.model.words.size(); ++w) {
            EXPECT_STREQ(zv_graph_word(g.get(), static_cast<int32_t>(w) + 1), c.model.words[w].c_str());
        }
        expect_like_reference(c.model, g.get());
    }
}

TEST(GraphTest, WorkedExampleListsAndWidths) {
    zv_status_t status;
    GraphPtr g = zv_test::load_graph(hand_cases()[0].model.file(), &status);
    ASSERT_EQ(status, ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_graph_state_arc(g.get(), 3, -1), 1);
    EXPECT_EQ(zv_graph_state_arc(g.get(), 3, 1), 4);
    EXPECT_EQ(zv_graph_state_arc(g.get(), 3, 4), -1);
    EXPECT_EQ(zv_graph_state_arc(g.get(), 4, -1), 2);
    EXPECT_EQ(zv_graph_weight(g.get(), 0), 1.25f);
    EXPECT_EQ(g->state_bits, 4);
    EXPECT_EQ(g->arc_bits, 4);
    EXPECT_EQ(g->input_bits, 2);
    EXPECT_EQ(g->output_bits, 2);
    // Packed as documented: first arc + 1 per state, targets at the state width.
    EXPECT_EQ(zv_bit_field_read(g->first_arc, 3, 4), 2u);
    EXPECT_EQ(zv_bit_field_read(g->next_arc, 4, 4), 0u);
    EXPECT_EQ(zv_bit_field_read(g->targets, 6, 4), 0u);
    EXPECT_EQ(zv_bit_field_read(g->final_flags, 2, 1), 1u);
    EXPECT_EQ(zv_bit_field_read(g->final_flags, 3, 1), 0u);
}

TEST(GraphTest, FieldWidths) {
    std::vector<std::string> thousand;
    Pronunciations thousand_prons;
    for (int i = 0; i < 1000; ++i) {
        char word[8];
        std::snprintf(word, sizeof word, "W%04d", i);
        thousand.push_back(word);
        thousand_prons.push_back({{1 + i % 2}});
    }
    struct Case {
        const char *name;
        Model model;
        int32_t states, arcs, state_bits, arc_bits, input_bits, output_bits;
    };
    const std::vector<Case> cases = {
        {"four_and_four", {{"A"}, 2, {{{1, 2}}}, {{-1, -1, 127, 0}, {0, 0, 3, 0}}}, 4, 4, 3, 3, 2, 1},
        {"p39", {{"A"}, 39, {{{39}}}, {{-1, -1, 127, 0}, {0, 0, 3, 0}}}, 3, 3, 3, 3, 6, 1},
        {"v1000", {thousand, 2, thousand_prons, {{-1, -1, 127, 0}, {0, 999, 3, 0}}}, 3, 3, 3, 3, 2, 10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        zv_status_t status;
        GraphPtr g = zv_test::load_graph(c.model.file(), &status);
        ASSERT_EQ(status, ZV_STATUS_SUCCESS);
        EXPECT_EQ(zv_graph_num_states(g.get()), c.states);
        EXPECT_EQ(zv_graph_num_arcs(g.get()), c.arcs);
        EXPECT_EQ(g->state_bits, c.state_bits);
        EXPECT_EQ(g->arc_bits, c.arc_bits);
        EXPECT_EQ(g->input_bits, c.input_bits);
        EXPECT_EQ(g->output_bits, c.output_bits);
    }
}

// Random words, pronunciations over a few phonemes (some words without
// any, some of length 0) and a random backoff model of order up to 5,
// with costs across the whole byte range now and then.
Model random_model(std::mt19937 &rng) {
    Model m;
    const int32_t num_words = 2 + static_cast<int32_t>(rng() % 8);
    m.phoneme_set_size = 1 + static_cast<int32_t>(rng() % 4);
    for (int32_t w = 0; w < num_words; ++w) m.words.push_back(std::string(1, static_cast<char>('A' + w)));
    m.prons.resize(static_cast<size_t>(num_words));
    size_t total = 0;
    auto add_pron = [&](size_t w) {
        std::vector<int32_t> pron(rng() % 8 == 0 ? 0 : 1 + rng() % 4);
        for (int32_t &id : pron) id = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(m.phoneme_set_size));
        for (const std::vector<int32_t> &p : m.prons[w]) {
            if (p == pron) return;
        }
        m.prons[w].push_back(pron);
        total += 1;
    };
    for (size_t w = 0; w < m.prons.size(); ++w) {
        if (w > 0 && rng() % 5 == 0) continue;  // word 0 always has one, for the text reader
        const uint32_t k = 1 + rng() % 3;
        for (uint32_t i = 0; i < k; ++i) add_pron(w);
    }
    while (total < m.prons.size()) add_pron(rng() % m.prons.size());

    auto cost = [&](int lo, int hi) {
        if (rng() % 10 == 0) return rng() % 2 ? -127 : 127;
        return lo + static_cast<int>(rng() % static_cast<uint32_t>(hi - lo + 1));
    };
    m.nodes.push_back({-1, -1, 127, cost(-10, 40)});
    const int32_t order = 1 + static_cast<int32_t>(rng() % 5);
    // Preorder: each node's subtrees (ascending words) right after it.
    auto expand = [&](auto &&self, int32_t parent, int32_t depth) -> void {
        if (depth >= order) return;
        for (int32_t w = 0; w < num_words; ++w) {
            if (rng() % 100 >= (depth == 0 ? 70u : depth == 1 ? 35u : 25u)) continue;
            const int32_t index = static_cast<int32_t>(m.nodes.size());
            m.nodes.push_back({parent, w, cost(0, 60), cost(-20, 40)});
            self(self, index, depth + 1);
        }
    };
    expand(expand, 0, 0);
    return m;
}

TEST(GraphTest, RandomModelsMatchTheReferenceBuild) {
    std::mt19937 rng(20261210);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        const Model model = random_model(rng);
        zv_status_t status;
        GraphPtr g = zv_test::load_graph(model.file(), &status);
        ASSERT_EQ(status, ZV_STATUS_SUCCESS);
        expect_like_reference(model, g.get());
        if (HasFailure()) break;
    }
}

TEST(GraphTest, GraphsWithoutArcs) {
    const std::vector<std::pair<const char *, Model>> cases = {
        // Only A is pronounced; the model holds B, C and B C.
        {"unpronounced_words",
         {{"A", "B", "C"}, 2, {{{1}, {2}, {1, 2}}, {}, {}}, {{-1, -1, 127, 0}, {0, 1, 5, 3}, {1, 2, 4, 0}, {0, 2, 6, 0}}}},
        {"root_only", {{"A"}, 2, {{{1}}}, {{-1, -1, 127, 0}}}},
    };
    for (const auto &[name, model] : cases) {
        SCOPED_TRACE(name);
        zv_status_t status;
        GraphPtr g = zv_test::load_graph(model.file(), &status);
        ASSERT_EQ(status, ZV_STATUS_SUCCESS);
        const int32_t num_states = static_cast<int32_t>(model.nodes.size());
        EXPECT_EQ(zv_graph_num_arcs(g.get()), 0);
        EXPECT_EQ(zv_graph_num_states(g.get()), num_states);
        EXPECT_EQ(g->arc_bits, 1);
        for (int32_t s = 0; s < num_states; ++s) {
            EXPECT_EQ(zv_graph_state_arc(g.get(), s, -1), -1);
            EXPECT_TRUE(zv_graph_is_final(g.get(), s));
        }
    }
}

TEST(GraphTest, LanguageModelWordOutsideTheLexiconIsRefused) {
    // Word id 2 in a lexicon of two words: its label would not fit the
    // output field, and it names no word.
    const Model model{{"A", "B"}, 2, {{{1}}, {{2}}}, {{-1, -1, 127, 0}, {0, 0, 5, 0}, {0, 2, 6, 0}}};
    zv_status_t status;
    GraphPtr g = zv_test::load_graph(model.file(), &status);
    EXPECT_EQ(status, ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(g, nullptr);
}

TEST(GraphTest, LoadsFromTheFilePositionAndIgnoresWhatFollows) {
    const std::vector<uint8_t> graph = hand_cases()[2].model.file();
    std::vector<uint8_t> bytes = {'h', 'e', 'a', 'd'};
    bytes.insert(bytes.end(), graph.begin(), graph.end());
    bytes.insert(bytes.end(), {'t', 'a', 'i', 'l'});
    zv_test::TempDir dir;
    FILE *file = std::fopen(dir.write("g.bin", bytes).c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fseek(file, 4, SEEK_SET), 0);
    zv_graph_t *out = reinterpret_cast<zv_graph_t *>(&bytes);
    EXPECT_EQ(zv_graph_load(file, &out), ZV_STATUS_SUCCESS);
    std::fclose(file);
    GraphPtr g(out);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(arcs_of(g.get()), hand_cases()[2].arcs);
}

TEST(GraphTest, FileErrors) {
    zv_test::TempDir dir;
    zv_graph_t *g = reinterpret_cast<zv_graph_t *>(&dir);
    EXPECT_EQ(zv_graph_init(dir.path("missing").c_str(), &g), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(g, nullptr);
    g = reinterpret_cast<zv_graph_t *>(&dir);
    EXPECT_EQ(zv_graph_init(dir.write("empty", std::vector<uint8_t>{}).c_str(), &g), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(g, nullptr);
    // Nothing left after the current position.
    const std::vector<uint8_t> bytes = hand_cases()[0].model.file();
    FILE *file = std::fopen(dir.write("g.bin", bytes).c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fseek(file, 0, SEEK_END), 0);
    EXPECT_EQ(zv_graph_load(file, &g), ZV_STATUS_IO_ERROR);
    std::fclose(file);
    zv_graph_delete(nullptr);
}

// Every cut of a graph file fails in the reader of the blob it cuts; random
// damage either loads a graph whose lists can be walked or fails. Run under
// AddressSanitizer, nothing is read past the bytes present.
TEST(GraphTest, CutAndDamagedFiles) {
    std::mt19937 rng(7);
    Model model = random_model(rng);
    while (model.nodes.size() < 6) model = random_model(rng);
    const std::vector<uint8_t> bytes = model.file();
    for (size_t size = 1; size < bytes.size(); ++size) {
        zv_status_t status;
        GraphPtr g = zv_test::load_graph(std::vector<uint8_t>(bytes.begin(), bytes.begin() + size), &status);
        EXPECT_EQ(status, ZV_STATUS_INVALID_ARGUMENT) << size;
        EXPECT_EQ(g, nullptr);
    }
    int loaded = 0;
    for (int round = 0; round < 400; ++round) {
        zv_status_t status;
        std::vector<uint8_t> bad = zv_test::damaged(bytes, rng);
        if (bad.empty()) continue;
        GraphPtr g = zv_test::load_graph(bad, &status);
        if (status != ZV_STATUS_SUCCESS) {
            EXPECT_EQ(status, ZV_STATUS_INVALID_ARGUMENT);
            EXPECT_EQ(g, nullptr);
            continue;
        }
        loaded += 1;
        for (const Arc &a : arcs_of(g.get())) {
            EXPECT_GE(a.source, 0);
            EXPECT_LT(a.target, zv_graph_num_states(g.get()));
            EXPECT_LE(a.output, zv_graph_num_words(g.get()));
        }
    }
    EXPECT_GT(loaded, 0);
}

// A pronunciation far longer than any text line: building and pushing walk
// its chain without a frame per phoneme.
TEST(GraphTest, VeryLongPronunciation) {
    constexpr int32_t kLength = 300000;
    const Model model = zv_test::long_pronunciation_example(kLength);
    zv_status_t status;
    GraphPtr g = zv_test::load_graph(model.file(), &status);
    ASSERT_EQ(status, ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_graph_num_states(g.get()), 3 + 1 + kLength);
    // B's cost moved to the front of its chain, nothing left behind it.
    const int32_t first_b = zv_graph_state_arc(g.get(), 0, zv_graph_state_arc(g.get(), 0, -1));
    EXPECT_EQ(zv_graph_input(g.get(), first_b), 2);
    EXPECT_EQ(zv_graph_weight(g.get(), first_b), 9 * 0.125f);
    int32_t s = zv_graph_state(g.get(), first_b);
    for (int32_t i = 1; i < kLength; ++i) {
        const int32_t a = zv_graph_state_arc(g.get(), s, -1);
        ASSERT_EQ(zv_graph_weight(g.get(), a), 0.0f);
        s = zv_graph_state(g.get(), a);
    }
    const int32_t word_arc = zv_graph_state_arc(g.get(), s, -1);
    EXPECT_EQ(zv_graph_output(g.get(), word_arc), 2);
    EXPECT_EQ(zv_graph_weight(g.get(), word_arc), 0.0f);
}

// Every word on a deep path with many pronunciations: each language-model
// state is reached once per pronunciation of its word, and pushing its trees
// again at every arrival would take 30^8 passes.
TEST(GraphTest, ManyPronunciationsOnADeepPath) {
    constexpr int32_t kPronunciations = 30;
    constexpr int32_t kOrder = 8;
    Model model{{"A"}, kPronunciations, {{}}, {{-1, -1, 127, 0}}};
    for (int32_t i = 1; i <= kPronunciations; ++i) model.prons[0].push_back({i});
    for (int32_t d = 1; d <= kOrder; ++d) model.nodes.push_back({d - 1, 0, 10 + d, d < kOrder ? 1 : 0});
    zv_status_t status;
    GraphPtr g = zv_test::load_graph(model.file(), &status);
    ASSERT_EQ(status, ZV_STATUS_SUCCESS);
    // Each state's phone arcs carry its child's cost, the word arcs nothing.
    for (int32_t s = 0; s < kOrder; ++s) {
        int32_t phone_arcs = 0;
        for (int32_t a = zv_graph_state_arc(g.get(), s, -1); a != -1; a = zv_graph_state_arc(g.get(), s, a)) {
            if (zv_graph_input(g.get(), a) == 0) continue;  // the backoff arc
            phone_arcs += 1;
            EXPECT_EQ(zv_graph_weight(g.get(), a), (11 + s) * 0.125f);
            const int32_t word_arc = zv_graph_state_arc(g.get(), zv_graph_state(g.get(), a), -1);
            EXPECT_EQ(zv_graph_weight(g.get(), word_arc), 0.0f);
            EXPECT_EQ(zv_graph_state(g.get(), word_arc), s + 1);
        }
        EXPECT_EQ(phone_arcs, kPronunciations);
    }
}

// Lists far longer than a phone set makes them: thousands of homophones put
// a word arc each on one phone state (with the phone arcs of longer
// pronunciations made among them), and a phone set of thousands puts as
// many phone arcs on one state. Each list holds its arcs in the order they
// were made, under the start state and under a bigram state alike.
TEST(GraphTest, AMillionHomophonesBuildInLinearTime) {
    // One phone state carries a million word arcs. Looking each new arc up
    // in the list before adding it cost the list's length (the build took
    // some twenty minutes); now it takes about a second.
    constexpr int32_t kWords = 1000000;
    Model m{{}, 5, Pronunciations(kWords), {{-1, -1, 127, 0}}};
    for (int32_t w = 0; w < kWords; ++w) {
        char word[12];
        std::snprintf(word, sizeof word, "W%07d", w);
        m.words.push_back(word);
        m.prons[static_cast<size_t>(w)].push_back({1, 2, 3, 4, 5});
        m.nodes.push_back({0, w, 10 + w % 50, 0});
    }
    zv_status_t status;
    GraphPtr g = zv_test::load_graph(m.file(), &status);
    ASSERT_EQ(status, ZV_STATUS_SUCCESS);
    int32_t s = 0;
    for (int32_t phoneme = 1; phoneme <= 5; ++phoneme) {
        const int32_t a = zv_graph_state_arc(g.get(), s, -1);
        ASSERT_EQ(zv_graph_input(g.get(), a), phoneme);
        s = zv_graph_state(g.get(), a);
    }
    // The word arcs in the order the words were built, each to its own state.
    int32_t word = 0;
    for (int32_t a = zv_graph_state_arc(g.get(), s, -1); a != -1; a = zv_graph_state_arc(g.get(), s, a), ++word) {
        ASSERT_EQ(zv_graph_output(g.get(), a), word + 1);
        ASSERT_EQ(zv_graph_state(g.get(), a), word + 1);
    }
    EXPECT_EQ(word, kWords);
}

TEST(GraphTest, LongListsKeepTheOrderTheArcsWereMade) {
    constexpr int32_t kWords = 3000;
    std::vector<std::string> words;
    for (int32_t w = 0; w < kWords; ++w) {
        char word[8];
        std::snprintf(word, sizeof word, "W%04d", w);
        words.push_back(word);
    }
    // Every word a unigram; below W0000 the even words.
    std::vector<LmRow> nodes = {{-1, -1, 127, 0}, {0, 0, 9, 3}};
    for (int32_t w = 0; w < kWords; w += 2) nodes.push_back({1, w, 2 + w % 7, 0});
    for (int32_t w = 1; w < kWords; ++w) nodes.push_back({0, w, 5 + w % 11, 0});
    const int32_t bigram_state = 1;

    // Homophones: every word 1 2, every third also 1 2 3.
    Model homophones{words, 3, Pronunciations(kWords), nodes};
    for (int32_t w = 0; w < kWords; ++w) {
        homophones.prons[static_cast<size_t>(w)].push_back({1, 2});
        if (w % 3 == 0) homophones.prons[static_cast<size_t>(w)].push_back({1, 2, 3});
    }
    // A phoneme of its own for every word.
    Model distinct{words, kWords, Pronunciations(kWords), nodes};
    for (int32_t w = 0; w < kWords; ++w) distinct.prons[static_cast<size_t>(w)].push_back({w + 1});

    // The arcs of a state's list, and the state an arc of given input leads to.
    auto list = [](const zv_graph_t *g, int32_t s) {
        std::vector<int32_t> arcs;
        for (int32_t a = zv_graph_state_arc(g, s, -1); a != -1; a = zv_graph_state_arc(g, s, a)) arcs.push_back(a);
        return arcs;
    };
    auto after = [&](const zv_graph_t *g, int32_t s, int32_t input) {
        for (int32_t a : list(g, s)) {
            if (zv_graph_input(g, a) == input) return zv_graph_state(g, a);
        }
        return -1;
    };
    // Output labels of the word arcs of a list, in list order.
    auto labels = [&](const zv_graph_t *g, int32_t s) {
        std::vector<int32_t> out;
        for (int32_t a : list(g, s)) {
            if (zv_graph_output(g, a) != 0) out.push_back(zv_graph_output(g, a));
        }
        return out;
    };
    auto every = [](int32_t from, int32_t step) {
        std::vector<int32_t> out;
        for (int32_t w = from; w < kWords; w += step) out.push_back(w + 1);
        return out;
    };

    zv_status_t status;
    GraphPtr g = zv_test::load_graph(homophones.file(), &status);
    ASSERT_EQ(status, ZV_STATUS_SUCCESS);
    expect_like_reference(homophones, g.get());
    const int32_t s12 = after(g.get(), after(g.get(), 0, 1), 2);
    const int32_t s123 = after(g.get(), s12, 3);
    ASSERT_GE(s123, 0);
    EXPECT_EQ(list(g.get(), s12).size(), static_cast<size_t>(kWords + 1));
    EXPECT_EQ(labels(g.get(), s12), every(0, 1));
    EXPECT_EQ(labels(g.get(), s123), every(0, 3));
    const int32_t b12 = after(g.get(), after(g.get(), bigram_state, 1), 2);
    EXPECT_EQ(labels(g.get(), b12), every(0, 2));
    EXPECT_EQ(labels(g.get(), after(g.get(), b12, 3)), every(0, 6));

    g = zv_test::load_graph(distinct.file(), &status);
    ASSERT_EQ(status, ZV_STATUS_SUCCESS);
    expect_like_reference(distinct, g.get());
    for (const auto &[state, step] : {std::pair{0, 1}, std::pair{bigram_state, 2}}) {
        std::vector<int32_t> inputs;
        for (int32_t a : list(g.get(), state)) {
            if (zv_graph_input(g.get(), a) != 0) inputs.push_back(zv_graph_input(g.get(), a));
        }
        EXPECT_EQ(inputs, every(0, step)) << "state " << state;
    }
}

// One word of P phonemes under a chain of N model nodes builds N * P phone
// states from about 2.5 N + 0.5 P bytes. A file is refused before anything
// is built when the build would make more than 96 states and arcs per byte,
// or look up more than 96 arcs per byte; real graphs make 3 to 5.
TEST(GraphTest, FilesThatWouldBuildFarMoreThanTheirSizeAreRefused) {
    struct Case {
        int32_t depth, phonemes, variants;
        bool loads;
    };
    const Case cases[] = {
        {20000, 1, 1, true},     // 2 states and arcs a byte
        {1000, 20, 1, true},     // 17
        {1000, 100, 1, true},    // 81
        {1000, 120, 1, false},   // 97
        {1000, 1000, 1, false},  // 680: a million phone states from 2.9 KB
        // Eight variants sharing 19 phonemes: 26 a byte made (134 if
        // nothing were shared), 71 looked up.
        {1000, 20, 8, true},
        // Thirty sharing 39: 67 a byte made, but 498 looked up.
        {1000, 40, 30, false},
    };
    for (const Case &c : cases) {
        const std::vector<uint8_t> bytes = zv_test::chain_graph_file(c.depth, c.phonemes, c.variants);
        SCOPED_TRACE(testing::Message() << c.depth << " x " << c.phonemes << " x " << c.variants << ", "
                                        << bytes.size() << " bytes");
        zv_status_t status;
        GraphPtr g = zv_test::load_graph(bytes, &status);
        ASSERT_EQ(status, c.loads ? ZV_STATUS_SUCCESS : ZV_STATUS_INVALID_ARGUMENT);
        if (!c.loads) continue;
        const int64_t states = zv_graph_num_states(g.get());
        EXPECT_EQ(states, 1 + c.depth + int64_t{c.depth} * (c.phonemes - 1 + c.variants));
        EXPECT_LE(states + zv_graph_num_arcs(g.get()), 96 * static_cast<int64_t>(bytes.size()));
    }
}

// The variants of a grapheme-to-phoneme engine's N-best list under a dense
// bigram model: each adds about 4.4 states and arcs per byte of the file,
// but 6.6 if their shared prefixes were counted apart. Ten variants of 200
// words (104 KB, 40 a byte) and twenty of 50 (12 KB, 44 a byte) load, and so
// does the model with twenty-five variants of 100 words (38 KB, 66 a byte,
// 115 if nothing were shared).
TEST(GraphTest, PronunciationVariantsUnderADenseBigramModelLoad) {
    struct Case {
        int32_t words, variants;
    };
    for (const Case &c : {Case{200, 10}, Case{50, 20}, Case{100, 25}}) {
        const Model model = zv_test::nbest_bigram_model(c.words, c.variants, 8);
        const std::vector<uint8_t> bytes = model.file();
        SCOPED_TRACE(testing::Message() << c.words << " words x " << c.variants << ", " << bytes.size() << " bytes");
        zv_status_t status;
        GraphPtr g = zv_test::load_graph(bytes, &status);
        ASSERT_EQ(status, ZV_STATUS_SUCCESS);
        EXPECT_EQ(zv_graph_num_states(g.get()) - static_cast<int32_t>(model.nodes.size()),
                  zv_graph_num_arcs(g.get()) - (c.variants + 1) * (static_cast<int32_t>(model.nodes.size()) - 1))
            << "a phone arc for each phone state, a word arc for each variant and a backoff arc for each node";
    }
}

// A language model one word deep per level, 20,000 levels: each state backs
// off to the one above it, found without walking every suffix of its path.
TEST(GraphTest, DeepLanguageModelChain) {
    constexpr int32_t kDepth = 20000;
    Model model{{"A"}, 1, {{{1}}}, {{-1, -1, 127, 0}}};
    for (int32_t d = 1; d <= kDepth; ++d) model.nodes.push_back({d - 1, 0, 3, d < kDepth ? 2 : 0});
    zv_status_t status;
    GraphPtr g = zv_test::load_graph(model.file(), &status);
    ASSERT_EQ(status, ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_graph_num_states(g.get()), 2 * kDepth + 1);
    for (int32_t s = 1; s <= kDepth; ++s) {
        const int32_t backoff = zv_graph_state_arc(g.get(), s, -1);
        ASSERT_EQ(zv_graph_input(g.get(), backoff), 0);
        ASSERT_EQ(zv_graph_output(g.get(), backoff), 0);
        ASSERT_EQ(zv_graph_state(g.get(), backoff), s - 1) << s;
    }
}

// A path of 2,000 times one word, with 2,000 children at its end whose
// words only the start state holds besides: finding each child's backoff
// state passes every state of the path, four million steps from 27 KB (at
// ten times that, 1.8 s of loading, and four times as long for each
// doubling). A file is refused when that walk passes more than 96 states per
// byte; the path of 500 passes 250,000 from 6 KB and loads.
TEST(GraphTest, BackoffStatesFoundInTimeBoundedByTheFile) {
    for (const auto &[length, loads] : {std::pair{500, true}, std::pair{2000, false}}) {
        SCOPED_TRACE(length);
        Model model{{}, 2, {}, {{-1, -1, 127, 0}}};
        for (int32_t w = 0; w <= length; ++w) {
            char word[12];
            std::snprintf(word, sizeof word, "W%05d", w);
            model.words.push_back(word);
            model.prons.push_back({{1 + w % 2}});
        }
        for (int32_t d = 1; d <= length; ++d) model.nodes.push_back({d - 1, 0, 5, 1});
        for (int32_t w = 1; w <= length; ++w) model.nodes.push_back({length, w, 5, 0});
        for (int32_t w = 1; w <= length; ++w) model.nodes.push_back({0, w, 5, 0});
        zv_status_t status;
        GraphPtr g = zv_test::load_graph(model.file(), &status);
        ASSERT_EQ(status, loads ? ZV_STATUS_SUCCESS : ZV_STATUS_INVALID_ARGUMENT);
        if (!loads) continue;
        // Each child of the path's end backs off to its unigram.
        for (int32_t i = 0; i < length; ++i) {
            const int32_t backoff = zv_graph_state_arc(g.get(), length + 1 + i, -1);
            ASSERT_EQ(zv_graph_state(g.get(), backoff), 2 * length + 1 + i);
        }
    }
}

}  // namespace
