#include "engine/scorer.h"
#include "nn/fc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <map>
#include <random>
#include <vector>

namespace {

constexpr int32_t kOne = 2147483647;
constexpr int32_t kMax = 2147483647;

// A row of width 10 (column 0 the blank) with the given columns set.
std::vector<int32_t> Row(std::map<int, int32_t> values) {
    std::vector<int32_t> row(10, 0);
    for (auto [column, value] : values) row[column] = value;
    return row;
}

struct Step {
    float score;
    int32_t duration;
};

std::vector<Step> Score(const std::vector<int32_t> &ids, const std::vector<std::vector<int32_t>> &rows) {
    zv_lumarin_decoder_t *decoder = nullptr;
    EXPECT_EQ(zv_lumarin_decoder_init(ids.data(), static_cast<int32_t>(ids.size()), &decoder), ZV_STATUS_SUCCESS);
    std::vector<Step> steps;
    if (decoder == nullptr) return steps;
    for (const auto &row : rows) {
        Step step{};
        zv_lumarin_decoder_process(decoder, row.data(), &step.score, &step.duration);
        steps.push_back(step);
    }
    zv_lumarin_decoder_delete(decoder);
    return steps;
}

TEST(Scorer, CertainPhonemeScoresZeroWithDurationTwo) {
    const auto steps = Score({5}, {Row({{5, kOne}}), Row({{5, kOne}})});
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].score, 0.0f);
    EXPECT_EQ(steps[0].duration, 2);
    // State 1 keeps the chain it already holds (1.0 against 0.0 outside).
    EXPECT_EQ(steps[1].score, 0.0f);
    EXPECT_EQ(steps[1].duration, 3);
}

TEST(Scorer, ZeroAtTheLastPhonemeIsMinusInfinity) {
    const auto steps = Score({5}, {Row({{0, kOne}})});
    EXPECT_TRUE(std::isinf(steps[0].score) && steps[0].score < 0);
}

TEST(Scorer, NegativeFinalProbabilityIsNaN) {
    // Values that indexing never produces, but a caller's array may hold.
    const auto steps = Score({5}, {Row({{5, -kOne}})});
    EXPECT_TRUE(std::isnan(steps[0].score));
    EXPECT_EQ(steps[0].duration, 2);
}

TEST(Scorer, FractionalRowsFollowDoublePrecisionRecursion) {
    const int32_t v1 = 1234567890, v2 = 987654321;
    const auto steps = Score({3}, {Row({{3, v1}, {0, 5}}), Row({{3, v2}})});
    const double p1 = static_cast<double>(v1) / 2147483647.0;
    const double p2 = static_cast<double>(v2) / 2147483647.0;
    const double a0 = 1.0 - p1;
    EXPECT_EQ(steps[0].score, static_cast<float>(std::log10(p1) / 1.0));
    EXPECT_EQ(steps[1].score, static_cast<float>(std::log10((p1 + a0) * p2) / 1.0));
    // Two phonemes: the score is spread over them.
    const auto two = Score({3, 4}, {Row({{3, v1}}), Row({{4, v2}})});
    EXPECT_EQ(two[1].score, static_cast<float>(std::log10((0.0 + 0.0 + p1) * p2) / 2.0));
    EXPECT_EQ(two[1].duration, 3);
}

TEST(Scorer, DistinctPhonemesMaySkipTheBlank) {
    const auto steps = Score({7, 8}, {Row({{7, kOne}}), Row({{8, kOne}})});
    EXPECT_TRUE(std::isinf(steps[0].score));
    EXPECT_EQ(steps[1].score, 0.0f);
    EXPECT_EQ(steps[1].duration, 3);
}

TEST(Scorer, RepeatedPhonemeMustPassThroughTheBlank) {
    // Without a blank row between them the two 7s never complete.
    const auto direct = Score({7, 7}, {Row({{7, kOne}}), Row({{7, kOne}}), Row({{7, kOne}})});
    for (const Step &step : direct) {
        EXPECT_TRUE(std::isinf(step.score) && step.score < 0);
    }
    const auto through = Score({7, 7}, {Row({{7, kOne}}), Row({{0, kOne}}), Row({{7, kOne}})});
    EXPECT_TRUE(std::isinf(through[1].score));
    EXPECT_EQ(through[2].score, 0.0f);
    EXPECT_EQ(through[2].duration, 4);
}

TEST(Scorer, TiesKeepTheStateOwnChainAndUnreachedDurationsSaturate) {
    // Rows of zeros leave every phrase state at 0.0: each compares equal to
    // its predecessor, keeps its own (saturated) duration, and never wraps.
    const auto steps = Score({5, 6}, {Row({}), Row({}), Row({{5, kOne}}), Row({{6, kOne}})});
    ASSERT_EQ(steps.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(steps[i].duration, kMax) << i;
        EXPECT_TRUE(std::isinf(steps[i].score)) << i;
    }
    EXPECT_EQ(steps[3].score, 0.0f);
    EXPECT_EQ(steps[3].duration, 3);
}

TEST(Scorer, DurationGrowsByOneRowPerRowHeld) {
    const auto steps = Score({5}, std::vector<std::vector<int32_t>>(50, Row({{5, kOne}})));
    EXPECT_EQ(steps.back().duration, 51);
    EXPECT_EQ(steps.back().score, 0.0f);
}

// The recursion written out literally, one state at a time, to check the
// scorer's arrangement of it on many random rows.
std::vector<Step> Literal(const std::vector<int32_t> &ids, const std::vector<std::vector<int32_t>> &rows) {
    const int32_t n = static_cast<int32_t>(ids.size()), num_labels = 2 * n;
    std::vector<int32_t> labels(num_labels, 0);
    for (int32_t k = 0; k < n; ++k) labels[2 * k + 1] = ids[k];
    std::vector<double> a(num_labels, 0.0), a_new(num_labels);
    std::vector<int32_t> d(num_labels, kMax), d_new(num_labels);
    a[0] = 1.0;
    d[0] = 1;
    std::vector<Step> steps;
    for (const auto &row : rows) {
        a_new[0] = 1.0;
        d_new[0] = 1;
        for (int32_t s = 1; s < num_labels; ++s) {
            const double p = static_cast<double>(row[labels[s]]) / 2147483647.0;
            int32_t best = a[s - 1] > a[s] ? s - 1 : s;
            double sum = a[s] + a[s - 1];
            if (s >= 2 && labels[s] != labels[s - 2]) {
                sum = sum + a[s - 2];
                if (a[s - 2] > a[best]) best = s - 2;
            }
            a_new[s] = sum * p;
            a_new[0] = a_new[0] - a_new[s];
            d_new[s] = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(d[best]) + 1, kMax));
        }
        const double final_probability = a_new[num_labels - 1];
        const float score = final_probability == 0.0 ? -INFINITY
                                                     : static_cast<float>(std::log10(final_probability) / n);
        steps.push_back(Step{score, d_new[num_labels - 1]});
        a = a_new;
        d = d_new;
    }
    return steps;
}

// On the scalar form and on the vector form where the processor has it (the
// decoder follows the kernel set in force when it is made).
TEST(Scorer, MatchesTheLiteralRecursionOnRandomRows) {
    for (zv_fc_kernel_set_t set : {ZV_FC_KERNELS_SCALAR, ZV_FC_KERNELS_AVX512}) {
        zv_fc_kernel_set_limit(set);
        std::mt19937 random(11);
        // Values from a small set make ties and exact zeros common; a few are
        // negative, as a caller's array may hold.
        const int32_t values[] = {0, 0, 1, 1000, 123456789, 1073741824, kOne, kOne, -5, -kOne};
        std::uniform_int_distribution<int> pick(0, 9), column(1, 9), length(1, 12), any(0, kOne);
        for (int trial = 0; trial < 200; ++trial) {
            std::vector<int32_t> ids(static_cast<size_t>(length(random)));
            for (int32_t &id : ids) id = column(random) % (trial % 3 == 0 ? 2 : 9) + 1;  // repeats too
            std::vector<std::vector<int32_t>> rows(60, std::vector<int32_t>(10));
            for (auto &row : rows) {
                for (int32_t &v : row) v = trial % 2 == 0 ? values[pick(random)] : any(random);
            }
            const auto got = Score(ids, rows), want = Literal(ids, rows);
            ASSERT_EQ(got.size(), want.size());
            for (size_t i = 0; i < got.size(); ++i) {
                ASSERT_EQ(got[i].duration, want[i].duration) << trial << " row " << i;
                if (std::isnan(want[i].score)) {
                    ASSERT_TRUE(std::isnan(got[i].score)) << trial << " row " << i;
                } else {
                    ASSERT_EQ(got[i].score, want[i].score) << trial << " row " << i << " set " << set;
                }
            }
        }
    }
    zv_fc_kernel_set_limit(ZV_FC_KERNELS_AVX512);
}

TEST(Scorer, InitRefusesEmptySequencesAndCopiesIds) {
    zv_lumarin_decoder_t *decoder = reinterpret_cast<zv_lumarin_decoder_t *>(1);
    const int32_t id = 5;
    EXPECT_EQ(zv_lumarin_decoder_init(&id, 0, &decoder), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(decoder, nullptr);
    EXPECT_EQ(zv_lumarin_decoder_init(&id, -1, &decoder), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_lumarin_decoder_init(nullptr, 1, &decoder), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_lumarin_decoder_init(&id, 1, nullptr), ZV_STATUS_INVALID_ARGUMENT);

    int32_t ids[1] = {5};
    ASSERT_EQ(zv_lumarin_decoder_init(ids, 1, &decoder), ZV_STATUS_SUCCESS);
    ids[0] = 6;  // the scorer holds its own copy
    const auto row = Row({{5, kOne}});
    float score = 1.0f;
    int32_t duration = 0;
    zv_lumarin_decoder_process(decoder, row.data(), &score, &duration);
    EXPECT_EQ(score, 0.0f);
    zv_lumarin_decoder_delete(decoder);
    zv_lumarin_decoder_delete(nullptr);
}

}  // namespace
