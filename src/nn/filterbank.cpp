// Pre-emphasis, power spectrum, triangular mel bands and their logarithms.
#include "nn/filterbank.h"

#include "nn/fixed_point.h"
#include "nn/stft.h"

struct zv_filterbank {
    zv_memory_t memory;
    int32_t frame_length;
    int16_t previous_sample;  // last input sample of the previous frame
    zv_stft_t *stft;
};

namespace {

constexpr int kBands = ZV_FILTERBANK_BANDS;
constexpr int kBins = 257;
constexpr float kPreEmphasis = 0.97f;
constexpr float kBandScale = 8589934592.0f;  // 2^33: band energies into Q63
constexpr float kInt64Limit = 9223372036854775808.0f;  // 2^63

// Band b rises over bins kEdges[b]..kEdges[b+1]-1 and falls over
// kEdges[b+1]..kEdges[b+2]-1.
constexpr int16_t kEdges[kBands + 2] = {
    0,  1,  3,  5,  6,  8,  10, 12, 14, 17, 19,  22,  25,  28,  31,  34,  38,  41,  45,  50,  54,
    59, 64, 70, 76, 82, 89, 96, 103, 111, 120, 129, 138, 148, 159, 171, 183, 196, 210, 225, 240, 257,
};

// 1 / (kEdges[b+1] - kEdges[b]) and 1 / (kEdges[b+2] - kEdges[b+1]), rounded to 7 decimals.
constexpr float kUp[kBands] = {
    1.0000000f, 0.5000000f, 0.5000000f, 1.0000000f, 0.5000000f, 0.5000000f, 0.5000000f, 0.5000000f,
    0.3333333f, 0.5000000f, 0.3333333f, 0.3333333f, 0.3333333f, 0.3333333f, 0.3333333f, 0.2500000f,
    0.3333333f, 0.2500000f, 0.2000000f, 0.2500000f, 0.2000000f, 0.2000000f, 0.1666667f, 0.1666667f,
    0.1666667f, 0.1428571f, 0.1428571f, 0.1428571f, 0.1250000f, 0.1111111f, 0.1111111f, 0.1111111f,
    0.1000000f, 0.0909091f, 0.0833333f, 0.0833333f, 0.0769231f, 0.0714286f, 0.0666667f, 0.0666667f,
};
constexpr float kDown[kBands] = {
    0.5000000f, 0.5000000f, 1.0000000f, 0.5000000f, 0.5000000f, 0.5000000f, 0.5000000f, 0.3333333f,
    0.5000000f, 0.3333333f, 0.3333333f, 0.3333333f, 0.3333333f, 0.3333333f, 0.2500000f, 0.3333333f,
    0.2500000f, 0.2000000f, 0.2500000f, 0.2000000f, 0.2000000f, 0.1666667f, 0.1666667f, 0.1666667f,
    0.1428571f, 0.1428571f, 0.1428571f, 0.1250000f, 0.1111111f, 0.1111111f, 0.1111111f, 0.1000000f,
    0.0909091f, 0.0833333f, 0.0833333f, 0.0769231f, 0.0714286f, 0.0666667f, 0.0666667f, 0.0588235f,
};

constexpr int16_t kDefaultMean[kBands] = {
    -8912, -8258, -8101, -7782, -7550, -7560, -7474, -7251, -7257, -7314, -7270, -7336, -7370, -7381,
    -7319, -7348, -7344, -7180, -7140, -7126, -7085, -7056, -7035, -7029, -6976, -6950, -6974, -6984,
    -6953, -6948, -6984, -7017, -7039, -7081, -7147, -7198, -7198, -7205, -7252, -7448,
};
constexpr int16_t kDefaultScale[kBands] = {
    735, 774, 735, 708, 715, 719, 702, 693, 693, 702, 712, 719, 728, 734, 741, 739, 740, 743, 739, 738,
    742, 746, 747, 742, 737, 739, 736, 738, 738, 735, 731, 724, 719, 713, 708, 707, 709, 711, 714, 714,
};

// A plain cast of a float at or beyond 2^63 is undefined (x86 gives INT64_MIN,
// which has no logarithm), so the conversion saturates explicitly.
int64_t saturate_to_int64(float v) {
    if (v >= kInt64Limit) return INT64_MAX;
    if (v <= -kInt64Limit) return INT64_MIN;
    if (v != v) return 0;
    return static_cast<int64_t>(v);
}

}  // namespace

extern "C" zv_status_t zv_filterbank_init(zv_memory_t memory, int32_t frame_length, zv_filterbank_t **filterbank) {
    if (filterbank == nullptr) return ZV_STATUS_INVALID_ARGUMENT;
    *filterbank = nullptr;
    // The pre-emphasis carries the last sample of each frame to the next.
    if (frame_length < 1) return ZV_STATUS_INVALID_ARGUMENT;
    zv_filterbank_t *record =
        static_cast<zv_filterbank_t *>(zv_memory_allocate(memory, sizeof(zv_filterbank_t), 1));
    if (record == nullptr) return ZV_STATUS_OUT_OF_MEMORY;
    record->memory = memory;
    record->frame_length = frame_length;
    record->previous_sample = 0;
    const zv_status_t status = zv_stft_init(memory, frame_length, &record->stft);
    if (status != ZV_STATUS_SUCCESS) {
        zv_filterbank_delete(record);
        return status;
    }
    *filterbank = record;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_filterbank_compute(zv_filterbank_t *filterbank, const int16_t *pcm, int16_t *features) {
    if (filterbank == nullptr || pcm == nullptr || features == nullptr) return ZV_STATUS_INVALID_ARGUMENT;
    const int32_t length = filterbank->frame_length;
    float *emphasised =
        static_cast<float *>(zv_memory_allocate(filterbank->memory, static_cast<uint64_t>(length) * sizeof(float), 0));
    if (emphasised == nullptr) return ZV_STATUS_OUT_OF_MEMORY;
    emphasised[0] = static_cast<float>(pcm[0]) - static_cast<float>(filterbank->previous_sample) * kPreEmphasis;
    for (int32_t n = 1; n < length; ++n) {
        emphasised[n] = static_cast<float>(pcm[n]) - static_cast<float>(pcm[n - 1]) * kPreEmphasis;
    }
    // Moves on even if a later step fails.
    filterbank->previous_sample = pcm[length - 1];

    float *power = static_cast<float *>(zv_memory_allocate(filterbank->memory, kBins * sizeof(float), 0));
    if (power == nullptr) {
        zv_memory_free(filterbank->memory, emphasised);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    const zv_status_t status = zv_stft_compute(filterbank->stft, emphasised, power);
    if (status == ZV_STATUS_SUCCESS) {
        for (int b = 0; b < kBands; ++b) {
            // Weights by repeated addition, as the stored features were made.
            float w = 0.0f;
            float sum = 0.0f;
            for (int j = kEdges[b]; j < kEdges[b + 1]; ++j) {
                sum = sum + power[j] * w;
                w = w + kUp[b];
            }
            for (int j = kEdges[b + 1]; j < kEdges[b + 2]; ++j) {
                sum = sum + power[j] * w;
                w = w - kDown[b];
            }
            features[b] = zv_log10(saturate_to_int64(sum * kBandScale));
        }
    }
    zv_memory_free(filterbank->memory, emphasised);
    zv_memory_free(filterbank->memory, power);
    return status;
}

extern "C" void zv_filterbank_reset(zv_filterbank_t *filterbank) {
    if (filterbank == nullptr) return;
    filterbank->previous_sample = 0;
    zv_stft_reset(filterbank->stft);
}

extern "C" void zv_filterbank_normalize(int16_t *features, const int16_t *mean, const int16_t *scale) {
    if (features == nullptr) return;
    if (mean == nullptr) mean = kDefaultMean;
    if (scale == nullptr) scale = kDefaultScale;
    for (int b = 0; b < kBands; ++b) {
        int32_t v = ((static_cast<int32_t>(features[b]) - mean[b]) * scale[b]) >> 10;
        if (v < -32768) v = -32768;
        if (v > 32767) v = 32767;
        features[b] = static_cast<int16_t>(v);
    }
}

extern "C" void zv_filterbank_delete(zv_filterbank_t *filterbank) {
    if (filterbank == nullptr) return;
    zv_stft_delete(filterbank->stft);
    zv_memory_free(filterbank->memory, filterbank);
}
