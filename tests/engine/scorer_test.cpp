#include "engine/scorer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
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
