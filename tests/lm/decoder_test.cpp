#include "lm/decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "lm/node.h"
#include "support/byte_writer.h"
#include "support/graph_file.h"
#include "support/lm_fixtures.h"
#include "support/packed_graph.h"

using zv_test::PackedArc;
using zv_test::PackedGraphPtr;
using zv_test::pack_graph;

namespace {

struct DecoderDeleter {
    void operator()(zv_decoder_t *d) const { zv_decoder_delete(d); }
};
using DecoderPtr = std::unique_ptr<zv_decoder_t, DecoderDeleter>;

DecoderPtr make_decoder(const zv_graph_t *graph, float beam, int32_t max_active, float weight_scale = 1.0f) {
    zv_decoder_t *d = nullptr;
    EXPECT_EQ(zv_decoder_init(graph, beam, max_active, weight_scale, &d), ZV_STATUS_SUCCESS);
    return DecoderPtr(d);
}

std::string take(char *text) {
    std::string s = text ? text : "<null>";
    std::free(text);
    return s;
}

std::string process(zv_decoder_t *d, const std::vector<int16_t> &scores) {
    char *text = nullptr;
    EXPECT_EQ(zv_decoder_process(d, scores.data(), &text), ZV_STATUS_SUCCESS);
    return take(text);
}

std::string flush(const zv_decoder_t *d) {
    char *text = nullptr;
    EXPECT_EQ(zv_decoder_flush(d, &text), ZV_STATUS_SUCCESS);
    return take(text);
}

struct Active {
    int32_t state;
    uint8_t flag;
    float cost;
    bool operator==(const Active &o) const { return state == o.state && flag == o.flag && cost == o.cost; }
};

std::ostream &operator<<(std::ostream &os, const Active &a) {
    return os << "(" << a.state << "," << int(a.flag) << "," << a.cost << ")";
}

// The active map in its iteration order.
std::vector<Active> active(const zv_decoder_t *d) {
    std::vector<Active> out;
    if (zv_map_size(d->active) == 0) return out;
    zv_map_iterator_t it{};
    zv_map_start_iter(d->active, &it);
    do {
        out.push_back({it.cell->token->state, it.cell->token->flag, it.cell->token->cost});
    } while (zv_map_next(d->active, &it) == ZV_STATUS_SUCCESS);
    return out;
}

// ---- a reference decoder, written from the description with plain containers ----

class Reference {
public:
    Reference(const zv_graph_t *g, float beam, int32_t max_active, float scale)
        : g_(g), beam_(beam), k_(max_active), scale_(scale), active_(this, max_active) {
        paths_.push_back({-1, 0, 0});
        toks_.push_back({-1, -1, zv_graph_start_state(g), 0.0f, 1, 0, 0});
        active_.insert(0);
    }

    std::string process(const std::vector<int16_t> &scores) {
        frame_ += 1;
        Map next(this, k_);
        float best = kNone;
        for (int32_t t : active_.order()) {
            const Tok T = toks_[static_cast<size_t>(t)];
            auto offer = [&](int32_t state, uint8_t flag, float c, int32_t arc) {
                if (!(beam_ + best > c)) return;
                best = std::min(best, c);
                const int32_t *held = next.find(state, flag);
                if (!(c < (held ? toks_[static_cast<size_t>(*held)].cost : kNone))) return;
                raise(T.path);
                toks_.push_back({t, arc, state, c, flag, T.path, frame_});
                next.insert(static_cast<int32_t>(toks_.size() - 1));
            };
            if (T.flag == 0) offer(T.state, 0, T.cost - score(scores, zv_graph_input(g_, T.arc)), T.arc);
            offer(T.state, 1, T.cost - score(scores, 0), T.arc);
            for (int32_t a : arcs(T.state)) {
                const int32_t n = zv_graph_input(g_, a);
                if (n != 0) offer(zv_graph_state(g_, a), 0, (scale_ * zv_graph_weight(g_, a) + T.cost) - score(scores, n), a);
            }
        }
        active_ = next;

        std::vector<int32_t> stack = active_.order();
        float low = kNone;
        for (int32_t t : stack) low = std::min(low, toks_[static_cast<size_t>(t)].cost);
        const float threshold = low + beam_;
        while (!stack.empty()) {
            const int32_t t = stack.back();
            stack.pop_back();
            const Tok T = toks_[static_cast<size_t>(t)];
            const int32_t *self = active_.find(T.state, T.flag);
            if (!self || *self != t) continue;  // replaced: nothing holds it
            for (int32_t a : arcs(T.state)) {
                if (zv_graph_input(g_, a) != 0) continue;
                const float c = scale_ * zv_graph_weight(g_, a) + T.cost;
                if (!(threshold > c)) continue;
                const int32_t s = zv_graph_state(g_, a);
                const int32_t *held = active_.find(s, 1);
                if (!((held ? toks_[static_cast<size_t>(*held)].cost : kNone) > c)) continue;
                if (returns_cheaper(t, s, c)) continue;
                const int32_t word = zv_graph_output(g_, a);
                const int32_t path = word != 0 ? child(T.path, word) : T.path;
                raise(path);
                toks_.push_back({t, a, s, c, 1, path, frame_});
                active_.insert(static_cast<int32_t>(toks_.size() - 1));
                stack.push_back(static_cast<int32_t>(toks_.size() - 1));
            }
        }

        std::vector<float> costs;
        for (int32_t t : active_.order()) costs.push_back(toks_[static_cast<size_t>(t)].cost);
        std::sort(costs.begin(), costs.end());
        const float limit = costs[std::min(costs.size(), static_cast<size_t>(k_)) - 1];
        active_.remove_above(limit);
        return partial();
    }

    std::string flush() const {
        int32_t best = -1;
        for (int32_t t : active_.order()) {
            const Tok &T = toks_[static_cast<size_t>(t)];
            if (zv_graph_is_final(g_, T.state) && (best < 0 || T.cost <= toks_[static_cast<size_t>(best)].cost)) best = t;
        }
        std::vector<int32_t> words;
        int32_t previous = -1;
        for (int32_t t = best; t >= 0 && toks_[static_cast<size_t>(t)].path != current_; t = toks_[static_cast<size_t>(t)].parent) {
            const Tok &T = toks_[static_cast<size_t>(t)];
            if (T.arc >= 0 && (t == best || T.state != previous) && zv_graph_output(g_, T.arc) > 0) {
                words.insert(words.begin(), zv_graph_output(g_, T.arc));
            }
            previous = T.state;
        }
        std::string text;
        for (size_t i = 0; i < words.size(); ++i) text += (i ? " " : "") + std::string(zv_graph_word(g_, words[i]));
        return text;
    }

    std::vector<Active> active_tokens() const {
        std::vector<Active> out;
        for (int32_t t : active_.order()) {
            const Tok &T = toks_[static_cast<size_t>(t)];
            out.push_back({T.state, T.flag, T.cost});
        }
        return out;
    }

private:
    static constexpr float kNone = 3.4028235e38f;
    struct Tok {
        int32_t parent, arc, state;
        float cost;
        uint8_t flag;
        int32_t path;
        int32_t frame;  // made by this frame's step or closure
    };
    struct Path {
        int32_t parent, word, time;
    };
    // Buckets by the masked sum of state and flag, newest entry first, a
    // replaced entry keeping its place.
    struct Map {
        const Reference *r;
        uint32_t mask;
        std::vector<std::vector<int32_t>> buckets;
        Map(const Reference *owner, int32_t count) : r(owner), mask(static_cast<uint32_t>(count - 1)), buckets(static_cast<size_t>(count)) {}
        std::vector<int32_t> &bucket(int32_t state, uint8_t flag) { return buckets[(static_cast<uint32_t>(state) + flag) & mask]; }
        const int32_t *find(int32_t state, uint8_t flag) {
            for (int32_t &t : bucket(state, flag)) {
                const Tok &T = r->toks_[static_cast<size_t>(t)];
                if (T.state == state && T.flag == flag) return &t;
            }
            return nullptr;
        }
        void insert(int32_t t) {
            const Tok &T = r->toks_[static_cast<size_t>(t)];
            int32_t *held = const_cast<int32_t *>(find(T.state, T.flag));
            if (held) {
                *held = t;
            } else {
                std::vector<int32_t> &b = bucket(T.state, T.flag);
                b.insert(b.begin(), t);
            }
        }
        std::vector<int32_t> order() const {
            std::vector<int32_t> out;
            for (const auto &b : buckets) out.insert(out.end(), b.begin(), b.end());
            return out;
        }
        void remove_above(float limit) {
            for (auto &b : buckets) {
                b.erase(std::remove_if(b.begin(), b.end(), [&](int32_t t) { return r->toks_[static_cast<size_t>(t)].cost > limit; }), b.end());
            }
        }
    };

    static float score(const std::vector<int16_t> &scores, int32_t n) { return static_cast<float>(scores[static_cast<size_t>(n)]) * 0.0009765625f; }

    // A step from t to s at cost c comes back to a state of t's chain within
    // the frame (t and its parents made in this frame) cheaper than it was there.
    bool returns_cheaper(int32_t t, int32_t s, float c) const {
        for (int32_t u = t; u >= 0 && toks_[static_cast<size_t>(u)].frame == frame_; u = toks_[static_cast<size_t>(u)].parent) {
            if (toks_[static_cast<size_t>(u)].state == s && c < toks_[static_cast<size_t>(u)].cost) return true;
        }
        return false;
    }

    std::vector<int32_t> arcs(int32_t state) const {
        std::vector<int32_t> out;
        for (int32_t a = zv_graph_state_arc(g_, state, -1); a >= 0; a = zv_graph_state_arc(g_, state, a)) out.push_back(a);
        return out;
    }
    int32_t child(int32_t path, int32_t word) {
        auto [it, made] = children_.try_emplace({path, word}, static_cast<int32_t>(paths_.size()));
        if (made) paths_.push_back({path, word, frame_});
        return it->second;
    }
    void raise(int32_t path) { paths_[static_cast<size_t>(path)].time = std::max(paths_[static_cast<size_t>(path)].time, frame_); }

    // Words every surviving path agrees on: the paths of tokens that the active
    // map still reaches, followed down from the current one while it has a
    // single child and no token made in this frame.
    std::string partial() {
        std::vector<uint8_t> alive(paths_.size(), 0);
        for (int32_t t : active_.order()) {
            for (int32_t u = t; u >= 0; u = toks_[static_cast<size_t>(u)].parent) {
                for (int32_t p = toks_[static_cast<size_t>(u)].path; p >= 0 && !alive[static_cast<size_t>(p)]; p = paths_[static_cast<size_t>(p)].parent) alive[static_cast<size_t>(p)] = 1;
            }
        }
        std::string text;
        if (paths_[static_cast<size_t>(current_)].time >= frame_) return text;
        for (;;) {
            int32_t only = -1, count = 0;
            for (size_t p = 0; p < paths_.size(); ++p) {
                if (alive[p] && paths_[p].parent == current_) {
                    only = static_cast<int32_t>(p);
                    count += 1;
                }
            }
            if (count != 1) break;
            current_ = only;
            text += std::string(zv_graph_word(g_, paths_[static_cast<size_t>(only)].word)) + " ";
            if (paths_[static_cast<size_t>(only)].time >= frame_) break;
        }
        return text;
    }

    const zv_graph_t *g_;
    float beam_;
    int32_t k_;
    float scale_;
    int32_t frame_ = 0;
    int32_t current_ = 0;
    std::vector<Tok> toks_;
    std::vector<Path> paths_;
    std::map<std::pair<int32_t, int32_t>, int32_t> children_;
    Map active_;
};

// Words of no phonemes in random graphs (see random_graph).
enum class EpsilonWords { kNone, kNonNegative, kSigned };

// A random graph of the decoding graph's shape: language-model states 0 to
// n - 1 (final), each with a backoff arc to a lower state first (but the
// start state), then a prefix tree of pronunciations ending in word arcs to
// language-model states. Weights are small signed bytes, some negative. With
// epsilon words, language-model states get words of no phonemes (word arcs
// straight from the state), which can close epsilon cycles: kNonNegative
// gives some states one, and weights small and non-negative, so that cycles
// of weight 0 are common and none is negative; kSigned gives each state up
// to three, and small signed weights, so that cycles of every sign are
// common, long ones too, and a few phone arcs into language-model states.
// Each language-model state has 1 to most_words words. Labels run from 1 to
// phonemes; the graph declares a phone set of declared_phonemes (phonemes
// when 0), which sets the width of its labels.
PackedGraphPtr random_graph(std::mt19937 &rng, int32_t phonemes, const std::vector<std::string> &words,
                            EpsilonWords epsilon, int32_t most_words = 4, int32_t declared_phonemes = 0) {
    auto pick = [&](int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(rng); };
    const int32_t lm_states = pick(1, epsilon == EpsilonWords::kSigned ? 6 : 4);
    int32_t states = lm_states;
    std::vector<PackedArc> arcs;
    std::map<std::pair<int32_t, int32_t>, int32_t> phone_arc;  // (state, phoneme) -> target
    auto word = [&] { return pick(1, static_cast<int32_t>(words.size())); };
    for (int32_t s = 0; s < lm_states; ++s) {
        if (epsilon == EpsilonWords::kSigned) {
            if (s > 0) arcs.push_back({s, 0, 0, static_cast<int8_t>(pick(-3, 3)), pick(0, s - 1)});
            for (int32_t n = pick(0, 3); n > 0; --n) {
                arcs.push_back({s, 0, word(), static_cast<int8_t>(pick(-3, 3)), pick(0, lm_states - 1)});
            }
        } else {
            const bool some = epsilon == EpsilonWords::kNonNegative;
            if (s > 0) arcs.push_back({s, 0, 0, static_cast<int8_t>(some ? pick(0, 2) : pick(-6, 16)), pick(0, s - 1)});
            if (some && pick(0, 1) == 1) {  // a pronunciation of length 0
                arcs.push_back({s, 0, word(), static_cast<int8_t>(pick(0, 2)), pick(0, lm_states - 1)});
            }
        }
        const int32_t count = pick(1, most_words);
        for (int32_t w = 0; w < count; ++w) {
            int32_t at = s;
            const int32_t length = pick(1, 3);
            for (int32_t i = 0; i < length; ++i) {
                const int32_t p = pick(1, phonemes);
                auto found = phone_arc.find({at, p});
                if (found == phone_arc.end()) {
                    arcs.push_back({at, p, 0, static_cast<int8_t>(pick(-2, 12)), states});
                    found = phone_arc.emplace(std::make_pair(at, p), states++).first;
                }
                at = found->second;
            }
            arcs.push_back({at, 0, pick(1, static_cast<int32_t>(words.size())), static_cast<int8_t>(pick(0, 20)), pick(0, lm_states - 1)});
        }
    }
    if (epsilon == EpsilonWords::kSigned) {
        // A phone arc into a language-model state, which no graph file makes:
        // a token that emits there may lie on an epsilon cycle with flag 0.
        for (int32_t n = pick(0, 2); n > 0; --n) {
            arcs.push_back({pick(0, states - 1), pick(1, phonemes), 0, static_cast<int8_t>(pick(-3, 3)), pick(0, lm_states - 1)});
        }
    }
    std::vector<uint8_t> finals(static_cast<size_t>(states), 0);
    std::fill(finals.begin(), finals.begin() + lm_states, 1);
    return pack_graph(states, finals, arcs, words, declared_phonemes > 0 ? declared_phonemes : phonemes);
}

const std::vector<std::string> kWords = {"a", "b", "cat", "d", "dog", "f", "the"};

// Forty frames of scores drawn from a few values (ties are common, so
// first-come among equal costs and the cap's ties are exercised) through the
// decoder and the reference: the active tokens in map order after every
// frame, every partial text and the flushed texts equal.
void decode_with_reference(std::mt19937 &rng, const zv_graph_t *g, int32_t phonemes, float beam, int32_t max_active,
                           float scale, int round, int32_t *reported) {
    DecoderPtr d = make_decoder(g, beam, max_active, scale);
    ASSERT_NE(d, nullptr);
    Reference ref(g, beam, max_active, scale);
    const int16_t levels[] = {0, -512, -1024, -3000, -7777};
    for (int frame = 0; frame < 40; ++frame) {
        std::vector<int16_t> scores(static_cast<size_t>(phonemes) + 1);
        for (int16_t &s : scores) s = levels[std::uniform_int_distribution<int>(0, 4)(rng)];
        const std::string text = process(d.get(), scores);
        ASSERT_EQ(text, ref.process(scores)) << "round " << round << " frame " << frame;
        *reported += !text.empty();
        ASSERT_EQ(active(d.get()), ref.active_tokens()) << "round " << round << " frame " << frame;
        if (frame % 7 == 0) {
            ASSERT_EQ(flush(d.get()), ref.flush()) << "round " << round << " frame " << frame;
        }
    }
    ASSERT_EQ(flush(d.get()), ref.flush()) << "round " << round;
}

}  // namespace

TEST(Decoder, InitRefusesWhatItCannotDecodeWith) {
    PackedGraphPtr g = pack_graph(1, {1}, {}, kWords, 2);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const zv_graph_t *graph;
        float beam;
        int32_t max_active;
        float scale;
    };
    const Case bad[] = {
        {nullptr, 10, 8, 1},  {g.get(), 10, 0, 1},    {g.get(), 10, -4, 1},          {g.get(), nan, 8, 1},
        {g.get(), -1, 8, 1},  {g.get(), 10, 8, nan},  {g.get(), 10, 8, inf},         {g.get(), 10, 8, -inf},
        {g.get(), 10, (INT32_MAX / 32) + 1, 1},      {g.get(), 10, INT32_MAX, 1},
    };
    for (const Case &c : bad) {
        zv_decoder_t *d = reinterpret_cast<zv_decoder_t *>(1);
        EXPECT_EQ(zv_decoder_init(c.graph, c.beam, c.max_active, c.scale, &d), ZV_STATUS_INVALID_ARGUMENT)
            << c.beam << " " << c.max_active << " " << c.scale;
        EXPECT_EQ(d, nullptr);
    }
    EXPECT_EQ(zv_decoder_init(g.get(), 10, 8, 1, nullptr), ZV_STATUS_INVALID_ARGUMENT);
    // Zero beam, an infinite beam, a non-power-of-two cap and a negative scale are usable.
    for (const Case &c : {Case{g.get(), 0, 3, -2}, Case{g.get(), inf, 1, 0}}) {
        DecoderPtr d = make_decoder(c.graph, c.beam, c.max_active, c.scale);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(process(d.get(), {0, 0, 0}), "");
    }
    zv_decoder_delete(nullptr);
}

// One word "cat" (label 3) pronounced 1 with a phone arc of weight byte 10.
TEST(Decoder, OneFrameOfCandidatesWithTheirCostsAndKeys) {
    PackedGraphPtr g = pack_graph(3, {1, 1, 0}, {{0, 1, 0, 10, 2}, {2, 0, 3, 0, 1}, {1, 0, 0, 0, 0}}, kWords, 2);
    DecoderPtr d = make_decoder(g.get(), 100.0f, 8);
    EXPECT_EQ(flush(d.get()), "");  // the start state is final but no word was crossed
    EXPECT_EQ(d->frame, 0);
    EXPECT_EQ(process(d.get(), {0, -512, -4096}), "");
    EXPECT_EQ(d->frame, 1);
    // Emitting: 1.25 + 0.5; the blank keeps the start state with flag 1; the
    // word arc's token at 1.75 can't beat the blank's 0 back at the start state.
    EXPECT_EQ(active(d.get()), (std::vector<Active>{{0, 1, 0.0f}, {1, 1, 1.75f}, {2, 0, 1.75f}}));
    EXPECT_EQ(flush(d.get()), "");  // the best final token is the blank's
    EXPECT_EQ(process(d.get(), {-4096, 0, -4096}), "");
    EXPECT_EQ(flush(d.get()), "cat");
}

// "cat" pronounced 1 1: a token that has just emitted 1 takes the next arc
// with 1 in the very next frame, no blank between; one that came by the blank
// (flag 1) never takes its arc's self-loop.
TEST(Decoder, RepeatedPhonemesNeedNoBlankAndBlankTokensTakeNoSelfLoop) {
    PackedGraphPtr g =
        pack_graph(4, {1, 1, 0, 0}, {{0, 1, 0, 0, 2}, {2, 1, 0, 0, 3}, {3, 0, 3, 0, 1}, {1, 0, 0, 0, 0}}, kWords, 2);
    DecoderPtr d = make_decoder(g.get(), 100.0f, 16);
    process(d.get(), {-1024, 0, -8192});
    process(d.get(), {-1024, 0, -8192});
    const std::vector<Active> two = active(d.get());
    EXPECT_NE(std::find(two.begin(), two.end(), Active{3, 0, 0.0f}), two.end());
    EXPECT_EQ(flush(d.get()), "cat");
    // Blank frames leave tokens with flag 1 at 2 and 3; in the next frame no
    // phoneme token there descends from them by a self-loop.
    process(d.get(), {0, -8192, -8192});
    process(d.get(), {-8192, 0, -8192});
    int32_t checked = 0;
    zv_map_iterator_t it{};
    zv_map_start_iter(d->active, &it);
    do {
        const zv_node_t *t = it.cell->token;
        if (t->flag == 0 && t->parent->state == t->state) {
            EXPECT_EQ(t->parent->flag, 0) << "state " << t->state;
            checked += 1;
        }
    } while (zv_map_next(d->active, &it) == ZV_STATUS_SUCCESS);
    zv_node_t *blank = nullptr;
    EXPECT_EQ(zv_map_find(d->active, 2, 1, &blank), ZV_STATUS_SUCCESS);
}

// The cap keeps the max-active cheapest tokens and every token as cheap as
// the last of them: after one frame the blank's token costs 0 and three phone
// arcs give the weights' costs.
TEST(Decoder, CapRemovesOnlyTokensAboveTheMaxActiveThCost) {
    struct Case {
        int8_t weights[3];
        int32_t max_active;
        std::vector<float> kept;
    };
    const Case cases[] = {
        {{8, 16, 24}, 3, {0, 1, 2}},        // 0, 1, 2, 3: only 3 goes
        {{8, 16, 16}, 3, {0, 1, 2, 2}},     // 0, 1, 2, 2: the tie at the limit stays
        {{8, 16, 24}, 8, {0, 1, 2, 3}},     // fewer tokens than the cap
        {{24, 8, 8}, 1, {0}},
        {{0, 0, 0}, 2, {0, 0, 0, 0}},
    };
    for (const Case &c : cases) {
        PackedGraphPtr g = pack_graph(4, {1, 0, 0, 0},
                                      {{0, 1, 0, c.weights[0], 1}, {0, 2, 0, c.weights[1], 2}, {0, 3, 0, c.weights[2], 3}},
                                      kWords, 3);
        DecoderPtr d = make_decoder(g.get(), 100.0f, c.max_active);
        process(d.get(), {0, 0, 0, 0});
        std::vector<float> kept;
        for (const Active &a : active(d.get())) kept.push_back(a.cost);
        std::sort(kept.begin(), kept.end());
        EXPECT_EQ(kept, c.kept) << c.max_active;
        EXPECT_EQ(d->heap->count, 0);
    }
}

// Words come out as partial texts once every surviving path agrees, each
// followed by a space; the flushed text joins the rest with single spaces.
TEST(Decoder, PartialAndFlushedTexts) {
    // "the" (7), "cat" (3) and "dog" (5), pronounced 1, 2 and 3; a word costs
    // 0.5, so a repeated phoneme stays in its word.
    const std::vector<PackedArc> arcs = {{0, 1, 0, 0, 2}, {0, 2, 0, 0, 3}, {0, 3, 0, 0, 4}, {2, 0, 7, 4, 1},
                                         {3, 0, 3, 4, 1}, {4, 0, 5, 4, 1}, {1, 0, 0, 0, 0}};
    PackedGraphPtr g = pack_graph(5, {1, 1, 0, 0, 0}, arcs, kWords, 3);
    auto frame = [](int32_t phoneme) {
        std::vector<int16_t> s(4, -20000);
        s[static_cast<size_t>(phoneme)] = 0;
        return s;
    };
    const int32_t said[] = {1, 1, 0, 2, 2, 0, 3, 3};
    DecoderPtr d = make_decoder(g.get(), 5.0f, 4);
    std::vector<std::string> texts;
    for (int32_t p : said) texts.push_back(process(d.get(), frame(p)));
    EXPECT_EQ(texts, (std::vector<std::string>{"", "", "", "the ", "", "", "", "cat "}));
    EXPECT_EQ(flush(d.get()), "dog");
    EXPECT_EQ(flush(d.get()), "dog");  // flushing changes nothing

    // Reset gives what a new decoder gives. Without a text pointer nothing is
    // handed out and nothing reported: the next text carries both words.
    ASSERT_EQ(zv_decoder_reset(d.get()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(d->frame, 0);
    EXPECT_EQ(active(d.get()), (std::vector<Active>{{0, 1, 0.0f}}));
    EXPECT_EQ(flush(d.get()), "");
    for (size_t i = 0; i + 1 < std::size(said); ++i) {
        ASSERT_EQ(zv_decoder_process(d.get(), frame(said[i]).data(), nullptr), ZV_STATUS_SUCCESS);
    }
    EXPECT_EQ(flush(d.get()), "the cat dog");
    EXPECT_EQ(process(d.get(), frame(3)), "the cat ");
    EXPECT_EQ(flush(d.get()), "dog");
}

// Whole decodes of random graphs against the reference: the active tokens in
// map order after every frame, every partial text and the flushed texts. Scores
// from a few values make ties common, so first-come among equal costs and the
// cap's ties are exercised. A third of the graphs have epsilon cycles of
// non-negative weight, where the closure must stop exactly where the
// reference stops.
TEST(Decoder, MatchesTheReferenceOnRandomGraphsScoresBeamsAndCaps) {
    std::mt19937 rng(14);
    int32_t reported = 0;
    for (int round = 0; round < 300; ++round) {
        const int32_t phonemes = std::uniform_int_distribution<int32_t>(1, 4)(rng);
        PackedGraphPtr g = random_graph(rng, phonemes, kWords, round % 3 == 1 ? EpsilonWords::kNonNegative : EpsilonWords::kNone);
        const float beam = std::uniform_real_distribution<float>(0.0f, 12.0f)(rng);
        const int32_t caps[] = {1, 2, 3, 4, 8, 64};
        const int32_t max_active = caps[round % 6];
        const float scale = round % 3 == 0 ? 1.0f : std::uniform_real_distribution<float>(0.25f, 3.0f)(rng);
        ASSERT_NO_FATAL_FAILURE(decode_with_reference(rng, g.get(), phonemes, beam, max_active, scale, round, &reported));
    }
    EXPECT_GT(reported, 300);  // the streams do make words certain
}

// Graphs whose states have up to a hundred arcs, under caps of hundreds of
// tokens: the decoder reads the arc lists of many tokens ahead, a bounded
// number of arcs each, and must still expand in map and list order.
TEST(Decoder, MatchesTheReferenceOnWideGraphsWithManyTokens) {
    std::mt19937 rng(1414);
    int32_t reported = 0;
    for (int round = 0; round < 12; ++round) {
        const int32_t phonemes = 100;
        PackedGraphPtr g =
            random_graph(rng, phonemes, kWords, round % 3 == 1 ? EpsilonWords::kNonNegative : EpsilonWords::kNone, 300);
        const float beam = std::uniform_real_distribution<float>(8.0f, 40.0f)(rng);
        const int32_t max_active = round % 2 == 0 ? 512 : 100;
        ASSERT_NO_FATAL_FAILURE(decode_with_reference(rng, g.get(), phonemes, beam, max_active, 1.0f, round, &reported));
    }
}

// The same through graphs whose labels are declared 24 and 25 bits wide,
// which the decoder expands on its plain path (the label alone, the weight
// read from the graph). Only the labels the arcs carry are read, so the
// scores hold just those.
TEST(Decoder, MatchesTheReferenceOnRandomGraphsWithWideLabels) {
    std::mt19937 rng(23);
    int32_t reported = 0;
    for (int round = 0; round < 120; ++round) {
        const int32_t phonemes = std::uniform_int_distribution<int32_t>(1, 4)(rng);
        PackedGraphPtr g = random_graph(rng, phonemes, kWords, round % 3 == 1 ? EpsilonWords::kNonNegative : EpsilonWords::kNone,
                                        round % 4 == 0 ? 60 : 4,
                                        round % 2 == 0 ? 1 << 23 : 1 << 24);
        ASSERT_GT(g->input_bits, 23);
        const float beam = std::uniform_real_distribution<float>(0.0f, 12.0f)(rng);
        const int32_t caps[] = {1, 2, 4, 64};
        const float scale = round % 3 == 0 ? 1.0f : std::uniform_real_distribution<float>(0.25f, 3.0f)(rng);
        ASSERT_NO_FATAL_FAILURE(
            decode_with_reference(rng, g.get(), phonemes, beam, caps[round % 4], scale, round, &reported));
    }
    EXPECT_GT(reported, 100);
}

// One word on a self-loop of its own: a history of 200,000 frames is released
// without one call per frame.
TEST(Decoder, AStreamOfTwoHundredThousandFramesThroughAOneWordGraph) {
    PackedGraphPtr g =
        pack_graph(3, {1, 1, 0}, {{0, 1, 0, 1, 2}, {2, 0, 3, 1, 1}, {1, 0, 0, 0, 0}}, kWords, 1);
    DecoderPtr d = make_decoder(g.get(), 8.0f, 4);
    const std::vector<int16_t> say = {-4000, 0};
    const std::vector<int16_t> pause = {0, -4000};
    int32_t words = 0;
    for (int32_t i = 0; i < 200000; ++i) {
        char *text = nullptr;
        ASSERT_EQ(zv_decoder_process(d.get(), (i % 4 == 0 ? say : pause).data(), &text), ZV_STATUS_SUCCESS);
        for (const char *p = text; (p = std::strstr(p, "cat ")) != nullptr; p += 4) words += 1;
        std::free(text);
    }
    EXPECT_GT(words, 49000);
    EXPECT_EQ(d->frame, 200000);
    d.reset();  // every token and branch released, the long history included
}

// A million frames at max active 1: the surviving path's history fills the
// token pool with some 30,000 pages. Finding a free slot by a scan of the
// pages made each frame cost more than the last (the stream took over twenty
// minutes); every frame now costs the same, and the stream takes a second.
TEST(Decoder, AMillionFramesAtMaxActiveOne) {
    PackedGraphPtr g =
        pack_graph(3, {1, 1, 0}, {{0, 1, 0, 1, 2}, {2, 0, 3, 1, 1}, {1, 0, 0, 0, 0}}, kWords, 1);
    DecoderPtr d = make_decoder(g.get(), 16.0f, 1);
    std::mt19937 rng(31);
    std::uniform_int_distribution<int> score(-4096, 0);
    std::vector<int16_t> scores(2);
    for (int32_t i = 0; i < 1000000; ++i) {
        for (int16_t &s : scores) s = static_cast<int16_t>(score(rng));
        ASSERT_EQ(zv_decoder_process(d.get(), scores.data(), nullptr), ZV_STATUS_SUCCESS);
    }
    EXPECT_EQ(d->frame, 1000000);
    EXPECT_GT(d->token_pool->page_count, 10000);
    d.reset();
}

// A pronunciation of length 0 makes a word arc straight from a language-model
// state; with a backoff of negative cost back to it the epsilon arcs form a
// cycle of negative weight, each lap a cheaper token and a new word. The
// closure stops the lap, and the frame succeeds.
TEST(Decoder, ClosureEndsOnANegativeEpsilonCycle) {
    // 0 -cat(0)-> 1 -backoff(-3)-> 0, and "dog" pronounced 1 from 0.
    const std::vector<PackedArc> arcs = {{0, 0, 3, 2, 1}, {0, 1, 0, 0, 2}, {1, 0, 0, -3, 0}, {2, 0, 5, 0, 1}};
    PackedGraphPtr g = pack_graph(3, {1, 1, 0}, arcs, kWords, 1);
    for (const int32_t max_active : {1, 4, 16}) {
        DecoderPtr d = make_decoder(g.get(), 50.0f, max_active);
        for (int32_t frame = 1; frame <= 6; ++frame) {
            process(d.get(), {0, -2048});
            EXPECT_EQ(d->stack->size, 0);
            // No lap within a frame: the start state's token may get cheaper
            // only by a lap begun in an earlier frame.
            zv_node_t *start = nullptr;
            ASSERT_EQ(zv_map_find(d->active, 0, 1, &start), ZV_STATUS_SUCCESS);
            EXPECT_GE(start->cost, -0.125f * static_cast<float>(frame - 1)) << frame;
        }
        const std::string text = flush(d.get());
        EXPECT_TRUE(text == "" || text == "cat") << text;
    }
}

// A word of no phonemes (+8) whose backoff (-8) leads back to the start
// state: a cycle of weight 0. Rounding can make a lap come back a little
// cheaper (0.1 + 0.025390625 - 0.1 is 0.0253906175 in floats), and each lap
// after it cheaper again; the lap is cut where it closes, so the start
// state's token stays the one the blank made and no word is flushed. At every
// scale, negative and 0 included, the decoder keeps what the reference keeps
// (at 0.1 and 1.2 the stream meets such laps).
TEST(Decoder, ClosureCutsCyclesOfWeightZeroWhereRoundingMakesThemCheaper) {
    const std::vector<PackedArc> arcs = {{0, 0, 1, 8, 1}, {1, 0, 0, -8, 0}};
    PackedGraphPtr g = pack_graph(2, {1, 1}, arcs, {"w"}, 1);
    {
        DecoderPtr d = make_decoder(g.get(), 16.0f, 64, 0.1f);
        EXPECT_EQ(process(d.get(), {-26, -20000}), "");
        zv_node_t *start = nullptr;
        ASSERT_EQ(zv_map_find(d->active, 0, 1, &start), ZV_STATUS_SUCCESS);
        EXPECT_EQ(start->cost, 0.025390625f);
        EXPECT_EQ(start->depth, 1);
        EXPECT_EQ(start->parent->depth, 0);  // the blank's own token
        EXPECT_EQ(flush(d.get()), "");
    }
    const std::vector<std::vector<int16_t>> frames = {{-26, -20000}, {-26, -3}, {-1000, 0}, {-7, -26}, {-26, -26}};
    for (const float scale : {0.1f, 0.6f, 0.8f, 1.2f, 1.0f, -0.1f, -0.6f, -1.2f, 0.0f}) {
        for (const int32_t max_active : {1, 64}) {
            DecoderPtr d = make_decoder(g.get(), 16.0f, max_active, scale);
            Reference ref(g.get(), 16.0f, max_active, scale);
            for (int round = 0; round < 4; ++round) {
                for (const std::vector<int16_t> &f : frames) {
                    ASSERT_EQ(process(d.get(), f), ref.process(f)) << scale << " " << max_active;
                    ASSERT_EQ(active(d.get()), ref.active_tokens()) << scale << " " << max_active;
                    ASSERT_EQ(flush(d.get()), ref.flush()) << scale << " " << max_active;
                }
            }
        }
    }
}

// Under a negative scale a cycle of positive weight is the one that costs
// less each lap: the closure cuts it, and a scale of 0 leaves nothing to cut.
TEST(Decoder, ClosureCutsTheCyclesWhoseScaledCostIsNegative) {
    // 0 -w(-2)-> 1 -backoff(+3)-> 0: weight +1.
    const std::vector<PackedArc> arcs = {{0, 0, 1, -2, 1}, {1, 0, 0, 3, 0}};
    PackedGraphPtr g = pack_graph(2, {1, 1}, arcs, {"w"}, 1);
    for (const float scale : {-1.0f, -0.1f}) {
        DecoderPtr d = make_decoder(g.get(), 50.0f, 4, scale);
        for (int32_t frame = 1; frame <= 4; ++frame) {
            process(d.get(), {0, -2048});
            zv_node_t *start = nullptr;
            ASSERT_EQ(zv_map_find(d->active, 0, 1, &start), ZV_STATUS_SUCCESS);
            // No lap within a frame: only laps begun in earlier frames.
            EXPECT_GE(start->cost, scale * 0.125f * static_cast<float>(frame - 1) - 1e-6f) << scale << " " << frame;
        }
    }
    DecoderPtr d = make_decoder(g.get(), 50.0f, 4, 0.0f);
    Reference ref(g.get(), 50.0f, 4, 0.0f);
    for (int32_t frame = 1; frame <= 4; ++frame) {
        ASSERT_EQ(process(d.get(), {0, -2048}), ref.process({0, -2048}));
        ASSERT_EQ(active(d.get()), ref.active_tokens());
        ASSERT_EQ(flush(d.get()), ref.flush());
    }
}

// Random graphs whose words of no phonemes close epsilon cycles of every
// sign, long ones and several through one state, at scales of both signs and
// 0: the closure cuts exactly the steps that the reference, walking each
// candidate's chain, cuts.
TEST(Decoder, MatchesTheReferenceOnEpsilonCyclesOfEverySign) {
    std::mt19937 rng(2525);
    const float scales[] = {1.0f, 0.1f, 0.6f, 0.7f, 1.2f, 3.1f, -0.6f, -1.0f, 0.0f};
    int32_t reported = 0;
    for (int round = 0; round < 450; ++round) {
        const int32_t phonemes = std::uniform_int_distribution<int32_t>(1, 3)(rng);
        PackedGraphPtr g = random_graph(rng, phonemes, kWords, EpsilonWords::kSigned);
        const float beam = std::uniform_real_distribution<float>(0.0f, 12.0f)(rng);
        const int32_t caps[] = {1, 2, 4, 8, 64};
        const float scale = round % 2 == 0 ? scales[(round / 2) % std::size(scales)]
                                           : std::uniform_real_distribution<float>(-3.0f, 3.0f)(rng);
        ASSERT_NO_FATAL_FAILURE(decode_with_reference(rng, g.get(), phonemes, beam, caps[round % 5], scale, round, &reported));
    }
    EXPECT_GT(reported, 100);
}

// Graph files of 84 bytes whose epsilon cycle (0 -E1-> E1 -E2-> E1 E2
// -backoff-> 0) weighs 0 and rounds cheaper lap after lap at weight scale
// 0.6, from the blank's cost on: for 14,336, 57,344 and some 8.4 million laps
// (a float simulation of the laps found them), each lap two words. Followed,
// they took a second, twenty seconds and (by the square of the laps, as the
// guard walked the chain) days of one frame, and flushed twice as many words.
// Cut where the first lap closes, the start state keeps the blank's token,
// and nothing is flushed.
TEST(Decoder, ClosureEndsOnCyclesOfWeightZeroInGraphFiles) {
    struct Case {
        int32_t w1, w2, w3;
        int16_t blank;
    };
    const Case cases[] = {{6, 87, -93, 8185}, {59, 4, -63, 4082}, {31, 80, -111, 8185}};
    for (const Case &c : cases) {
        const std::vector<uint8_t> file = zv_test::epsilon_cycle_graph_file(c.w1, c.w2, c.w3);
        EXPECT_EQ(file.size(), 84u);
        zv_status_t status = ZV_STATUS_RUNTIME_ERROR;
        zv_test::GraphPtr g = zv_test::load_graph(file, &status);
        ASSERT_EQ(status, ZV_STATUS_SUCCESS) << c.w1;
        DecoderPtr d = make_decoder(g.get(), 16.0f, 64, 0.6f);
        Reference ref(g.get(), 16.0f, 64, 0.6f);
        const std::vector<int16_t> frame = {c.blank, INT16_MIN};
        auto words = [](const std::string &text) { return std::count(text.begin(), text.end(), 'E'); };
        EXPECT_EQ(words(process(d.get(), frame)), 0) << c.w1;
        EXPECT_EQ(words(flush(d.get())), 0) << c.w1;
        zv_node_t *start = nullptr;
        ASSERT_EQ(zv_map_find(d->active, 0, 1, &start), ZV_STATUS_SUCCESS);
        EXPECT_EQ(start->cost, static_cast<float>(-c.blank) * 0.0009765625f) << c.w1;
        EXPECT_EQ(start->parent->depth, 0) << c.w1;
        ref.process(frame);
        EXPECT_EQ(active(d.get()), ref.active_tokens()) << c.w1;
    }
}

namespace {

// The dictionary blob of v pronounced 1 and w pronounced p over a phone set
// of p phonemes, written field by field (a phone-set text of millions of
// lines would be needed otherwise): the trie root, 1, v's end, p, w's end.
std::vector<uint8_t> wide_dict_blob(int32_t p) {
    int32_t e = 0;
    while ((int64_t{1} << e) <= p) e += 1;
    const size_t lw = (5 * static_cast<size_t>(e) + 31) / 32;
    zv_test::ByteWriter out;
    out.i32(static_cast<int32_t>(20 + 4 * (lw + 1 + 1))).i32(p).i32(5).i32(e).i32(2);
    zv_test::pack_fields(out, {0, 1, 0, static_cast<uint32_t>(p), 0}, e, lw);
    zv_test::pack_fields(out, {0, 1}, 2, 1);  // the words of the two end nodes, 2 bits each
    std::vector<uint32_t> structure;
    for (char c : std::string("0001100111")) structure.push_back(c == '1');
    zv_test::pack_fields(out, structure, 1, 1);
    return out.take();
}

}  // namespace

// Input labels of 2^23 and more, beyond what an arc's label and weight packed
// in 32 bits hold: v is pronounced 1 and w the last phoneme P. The scores sit
// behind a guard zone of 2^23 entries as low as a score goes, so that a label
// read as a negative index lands there and shows. After a frame that favours
// P, w is the best path; the decode matches the reference frame by frame,
// through a graph packed from arcs and one loaded from a file.
TEST(Decoder, InputLabelsOfAnyWidthReadTheirOwnScores) {
    const size_t guard = size_t{1} << 23;
    for (const int32_t p : {1 << 23, 1 << 24}) {
        // 0 -1-> 4 -v-> 3, 0 -P-> 2 -w-> 1, with backoff arcs back to 0.
        const std::vector<PackedArc> arcs = {{0, p, 0, 0, 2}, {0, 1, 0, 4, 4}, {2, 0, 2, 3, 1},
                                             {4, 0, 1, 0, 3}, {1, 0, 0, -2, 0}, {3, 0, 0, 1, 0}};
        PackedGraphPtr packed = pack_graph(5, {1, 1, 0, 1, 0}, arcs, {"v", "w"}, p);
        std::vector<uint8_t> file = zv_test::lexicon_blob(zv_test::make_lexicon({"v", "w"}).get());
        const std::vector<uint8_t> dict = wide_dict_blob(p);
        const std::vector<uint8_t> lm = zv_test::lm_blob({{-1, -1, 127, 0}, {0, 0, 4, 0}, {0, 1, 3, 0}});
        file.insert(file.end(), dict.begin(), dict.end());
        file.insert(file.end(), lm.begin(), lm.end());
        zv_status_t status = ZV_STATUS_RUNTIME_ERROR;
        zv_test::GraphPtr loaded = zv_test::load_graph(file, &status);
        ASSERT_EQ(status, ZV_STATUS_SUCCESS) << p;
        ASSERT_EQ(zv_graph_num_states(loaded.get()), 5) << p;
        for (const zv_graph_t *g : {static_cast<const zv_graph_t *>(packed.get()), static_cast<const zv_graph_t *>(loaded.get())}) {
            std::vector<int16_t> block(guard + static_cast<size_t>(p) + 1, INT16_MIN);
            int16_t *scores = block.data() + guard;
            std::vector<int16_t> same(static_cast<size_t>(p) + 1, INT16_MIN);
            DecoderPtr d = make_decoder(g, 100.0f, 8);
            Reference ref(g, 100.0f, 8, 1.0f);
            const int16_t frames[][3] = {{INT16_MIN, INT16_MIN, 0}, {INT16_MIN, INT16_MIN, 0}, {0, INT16_MIN, INT16_MIN},
                                         {INT16_MIN, 0, INT16_MIN}, {INT16_MIN, -300, 0},        {-512, -1024, -26}};
            for (size_t f = 0; f < std::size(frames); ++f) {
                for (const size_t i : {size_t{0}, size_t{1}, static_cast<size_t>(p)}) {
                    scores[i] = same[i] = frames[f][i == 0 ? 0 : (i == 1 ? 1 : 2)];
                }
                char *text = nullptr;
                ASSERT_EQ(zv_decoder_process(d.get(), scores, &text), ZV_STATUS_SUCCESS);
                ASSERT_EQ(take(text), ref.process(same)) << p << " frame " << f;
                ASSERT_EQ(active(d.get()), ref.active_tokens()) << p << " frame " << f;
                ASSERT_EQ(flush(d.get()), ref.flush()) << p << " frame " << f;
                if (f == 0) {
                    EXPECT_EQ(flush(d.get()), "w") << p;
                }
            }
        }
    }
}
