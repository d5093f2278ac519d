#include "pronunciation/marbo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr int kW = ZV_MARBO_BEAM_WIDTH;

// Exact cost of a score: multiples of 1/1024 are exact in single precision.
float cost_of(int16_t score) { return -static_cast<float>(score) / 1024.0f; }

struct Result {
    float cost;
    std::vector<int32_t> phonemes;
};

std::vector<Result> take(zv_marbo_candidate_t *c, int32_t n) {
    std::vector<Result> out;
    for (int32_t i = 0; i < n; ++i) {
        out.push_back({c[i].cost, std::vector<int32_t>(c[i].phonemes, c[i].phonemes + c[i].length)});
    }
    zv_marbo_candidates_release(c, n);
    return out;
}

std::vector<Result> search(const std::vector<int16_t> &scores, int32_t frames, int32_t classes) {
    zv_marbo_candidate_t c[kW];
    int32_t n = -1;
    EXPECT_EQ(zv_marbo_search(scores.data(), frames, classes, c, &n), ZV_STATUS_SUCCESS);
    return take(c, n);
}

// A beam table built by hand: beam 0 holds the start entry.
struct Table {
    explicit Table(int32_t frames) : beams((frames + 1) * kW), counts(frames + 1, 0), frames(frames) {
        beams[0] = {0.0f, -1, -1};
        counts[0] = 1;
    }
    void add(int32_t t, float cost, int32_t phoneme, int32_t back) {
        beams[t * kW + counts[t]++] = {cost, phoneme, back};
    }
    std::vector<Result> decode() {
        zv_marbo_candidate_t c[kW];
        int32_t n = -1;
        EXPECT_EQ(zv_marbo_decode(beams.data(), counts.data(), frames, c, &n), ZV_STATUS_SUCCESS);
        return take(c, n);
    }
    std::vector<zv_marbo_entry_t> beams;
    std::vector<int32_t> counts;
    int32_t frames;
};

void expect_entry(const zv_marbo_entry_t &e, float cost, int32_t phoneme, int32_t back) {
    EXPECT_EQ(e.cost, cost);
    EXPECT_EQ(e.phoneme, phoneme);
    EXPECT_EQ(e.back, back);
}

TEST(MarboBeamStep, EntriesOutsideClassesInside) {
    const zv_marbo_entry_t prev[2] = {{0.0f, 1, 0}, {0.5f, 2, 0}};
    const int16_t scores[2] = {0, -256};
    zv_marbo_entry_t next[kW];
    ASSERT_EQ(zv_marbo_beam_step(prev, 2, scores, 2, next), 4);
    expect_entry(next[0], 0.0f, 0, 0);
    expect_entry(next[1], 0.25f, 1, 0);
    expect_entry(next[2], 0.5f, 0, 1);
    expect_entry(next[3], 0.75f, 1, 1);
}

TEST(MarboBeamStep, StrictPruningAgainstTheRunningBest) {
    const zv_marbo_entry_t start = {0.0f, -1, -1};
    zv_marbo_entry_t next[kW];
    {
        // A cost of exactly best + 1 is dropped; just below it is kept.
        const int16_t scores[3] = {0, -1024, -1023};
        ASSERT_EQ(zv_marbo_beam_step(&start, 1, scores, 3, next), 2);
        expect_entry(next[0], 0.0f, 0, 0);
        expect_entry(next[1], cost_of(-1023), 2, 0);
    }
    {
        // 3.0 is accepted while best is still at its start; it stays when
        // best then falls to 0, and 2.0 is judged against 0.
        const int16_t scores[3] = {-3072, 0, -2048};
        ASSERT_EQ(zv_marbo_beam_step(&start, 1, scores, 3, next), 2);
        expect_entry(next[0], 3.0f, 0, 0);
        expect_entry(next[1], 0.0f, 1, 0);
    }
    EXPECT_EQ(zv_marbo_beam_step(&start, 0, nullptr, 3, next), 0);
}

TEST(MarboBeamStep, FullBeamReplacesItsHighestCostLowestSlotFirst) {
    const zv_marbo_entry_t start = {0.0f, -1, -1};
    // Eight fill the beam; 0.8 replaces the first of the two 0.9 slots; a
    // second 0.9 equals the worst and is dropped; 0.2 replaces the other 0.9;
    // 1.1 passes the pruning (0.2 + 1) but is dearer than every slot.
    const std::vector<int16_t> s = {-512, -922, -922, -717, -614, -614, -614, -614,
                                    -819, -922, -205, -1126};
    zv_marbo_entry_t next[kW];
    ASSERT_EQ(zv_marbo_beam_step(&start, 1, s.data(), static_cast<int32_t>(s.size()), next), kW);
    const int32_t expected_class[kW] = {0, 8, 10, 3, 4, 5, 6, 7};
    for (int i = 0; i < kW; ++i) {
        expect_entry(next[i], cost_of(s[expected_class[i]]), expected_class[i], 0);
    }
}

TEST(MarboSearch, CollapseAcrossBlanks) {
    // Classes: 0 blank, 1 p, 2 q. Each row makes one class certain.
    struct Case {
        std::vector<int32_t> path;
        std::vector<int32_t> expected;
    };
    const std::vector<Case> cases = {
        {{1, 0, 1, 0}, {1}},       {{1, 2, 2, 0}, {1, 2}}, {{0, 0, 0, 0}, {}},
        {{2, 1, 0, 2}, {2, 1, 2}}, {{1, 1, 1, 1}, {1}},    {{0, 2, 0, 0}, {2}},
    };
    for (const Case &c : cases) {
        std::vector<int16_t> scores(c.path.size() * 3, -32768);
        for (size_t t = 0; t < c.path.size(); ++t) {
            scores[t * 3 + c.path[t]] = 0;
        }
        const std::vector<Result> r = search(scores, static_cast<int32_t>(c.path.size()), 3);
        if (c.expected.empty()) {
            EXPECT_TRUE(r.empty());
        } else {
            ASSERT_EQ(r.size(), 1u);
            EXPECT_EQ(r[0].phonemes, c.expected);
            EXPECT_EQ(r[0].cost, 0.0f);
        }
    }
}

TEST(MarboSearch, NoFramesGiveNoCandidates) {
    EXPECT_TRUE(search({}, 0, 3).empty());
    zv_marbo_candidate_t c[kW];
    int32_t n = 7;
    EXPECT_EQ(zv_marbo_search(nullptr, 1, 3, c, &n), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(zv_marbo_search(nullptr, 0, 0, c, &n), ZV_STATUS_INVALID_ARGUMENT);
}

TEST(MarboDecode, DuplicateKeepsTheFirstSlotsCost) {
    Table table(2);
    table.add(1, 0.25f, 1, 0);  // p
    table.add(1, 0.125f, 0, 0);  // blank
    table.add(2, 0.5f, 1, 1);    // blank p
    table.add(2, 0.1875f, 0, 0);  // p blank: same sequence, cheaper, later slot
    table.add(2, 0.375f, 2, 1);  // blank q
    const std::vector<Result> r = table.decode();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].phonemes, std::vector<int32_t>{2});
    EXPECT_EQ(r[0].cost, 0.375f);
    EXPECT_EQ(r[1].phonemes, std::vector<int32_t>{1});
    EXPECT_EQ(r[1].cost, 0.5f);
}

TEST(MarboDecode, WindowIgnoresEmptySequencesAndIsStrict) {
    Table table(1);
    table.add(1, 0.0f, 0, 0);   // empty: no part in the window
    table.add(1, 0.5f, 1, 0);   // best non-empty
    table.add(1, 1.5f, 2, 0);   // exactly one decade worse: out
    table.add(1, 1.25f, 3, 0);  // in
    const std::vector<Result> r = table.decode();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].phonemes, std::vector<int32_t>{1});
    EXPECT_EQ(r[1].phonemes, std::vector<int32_t>{3});
    EXPECT_EQ(r[1].cost, 1.25f);
}

TEST(MarboDecode, SwapSelectionSortOrder) {
    // X, Y, Z in slot order with costs 1.5, 1.5, 1.0: the first swap gives
    // Z, Y, X and Y then stays ahead of X.
    Table table(1);
    table.add(1, 1.5f, 1, 0);
    table.add(1, 1.5f, 2, 0);
    table.add(1, 1.0f, 3, 0);
    const std::vector<Result> r = table.decode();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].phonemes, std::vector<int32_t>{3});
    EXPECT_EQ(r[1].phonemes, std::vector<int32_t>{2});
    EXPECT_EQ(r[2].phonemes, std::vector<int32_t>{1});
}

TEST(MarboDecode, BrokenBackPointerIsRefused) {
    Table table(1);
    table.add(1, 0.0f, 1, 3);
    zv_marbo_candidate_t c[kW];
    int32_t n = -1;
    EXPECT_EQ(zv_marbo_decode(table.beams.data(), table.counts.data(), 1, c, &n),
              ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(n, 0);
}

TEST(MarboSearch, RandomScoresKeepTheInvariants) {
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> score(-3000, 0);
    for (int round = 0; round < 200; ++round) {
        const int32_t frames = 1 + round % 12;
        const int32_t classes = 2 + round % 5;
        std::vector<int16_t> scores(static_cast<size_t>(frames) * classes);
        for (int16_t &s : scores) s = static_cast<int16_t>(score(rng));
        // The cheapest path takes the cheapest class of every row.
        std::vector<int32_t> greedy;
        float greedy_cost = 0.0f;
        for (int32_t t = 0; t < frames; ++t) {
            int32_t k = 0;
            for (int32_t j = 1; j < classes; ++j) {
                if (scores[t * classes + j] > scores[t * classes + k]) k = j;
            }
            greedy_cost -= static_cast<float>(scores[t * classes + k]) * 0.0009765625f;
            if (k != 0 && (greedy.empty() || greedy.back() != k)) {
                greedy.push_back(k);
            }
        }
        const std::vector<Result> r = search(scores, frames, classes);
        ASSERT_LE(r.size(), static_cast<size_t>(kW));
        for (size_t i = 0; i < r.size(); ++i) {
            ASSERT_FALSE(r[i].phonemes.empty());
            if (i > 0) {
                EXPECT_LE(r[i - 1].cost, r[i].cost);
            }
            EXPECT_GT(r[0].cost + 1.0f, r[i].cost);
            for (size_t j = 0; j < r[i].phonemes.size(); ++j) {
                EXPECT_GT(r[i].phonemes[j], 0);
                EXPECT_LT(r[i].phonemes[j], classes);
                if (j > 0) {
                    EXPECT_NE(r[i].phonemes[j], r[i].phonemes[j - 1]);
                }
            }
            for (size_t j = 0; j < i; ++j) EXPECT_NE(r[i].phonemes, r[j].phonemes);
        }
        // The cheapest path always survives, so its sequence is reported
        // (with the cost of the first slot giving it) and bounds the window.
        if (!greedy.empty()) {
            bool found = false;
            for (const Result &x : r) {
                found = found || x.phonemes == greedy;
                EXPECT_GT(greedy_cost + 1.0f, x.cost);
            }
            EXPECT_TRUE(found);
        }
    }
}

}  // namespace
