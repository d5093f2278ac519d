// Indexing: 16 kHz PCM into one row of phoneme posteriors per 512 samples.
#include <stdlib.h>

#include "engine/engine.h"

namespace {

constexpr int32_t kBlock = 512;
constexpr int32_t kFrame = 256;
constexpr int32_t kBands = 40;

// The engine's own normalisation of its log-mel features (not the
// filterbank's defaults, and not read from the model).
constexpr int16_t kMean[kBands] = {-9080, -8419, -8244, -7911, -7659, -7664, -7586, -7361, -7360, -7405,
                                   -7356, -7427, -7467, -7484, -7424, -7454, -7449, -7282, -7241, -7229,
                                   -7186, -7157, -7140, -7136, -7090, -7070, -7098, -7105, -7074, -7072,
                                   -7110, -7149, -7175, -7215, -7277, -7328, -7330, -7336, -7384, -7589};
constexpr int16_t kScale[kBands] = {728, 770, 737, 712, 718, 719, 703, 695, 695, 701, 709, 717, 727, 733,
                                    739, 739, 741, 744, 741, 740, 743, 746, 748, 745, 741, 742, 740, 743,
                                    743, 742, 737, 733, 729, 722, 714, 712, 714, 716, 718, 718};

zv_status_t compute_features(zv_lumarin_t *engine, const int16_t *pcm, int32_t rows, int16_t *features) {
    for (int32_t r = 0; r < rows; ++r) {
        int16_t *row = features + static_cast<size_t>(r) * 2 * kBands;
        const int16_t *block = pcm + static_cast<size_t>(r) * kBlock;
        ZV_TRY(zv_filterbank_compute(engine->filterbank, block, row));
        ZV_TRY(zv_filterbank_compute(engine->filterbank, block + kFrame, row + kBands));
        zv_filterbank_normalize(row, kMean, kScale);
        zv_filterbank_normalize(row + kBands, kMean, kScale);
    }
    return ZV_STATUS_SUCCESS;
}

}  // namespace

extern "C" ZV_API zv_status_t zv_lumarin_index(zv_lumarin_t *engine, const int16_t *pcm, int32_t num_samples,
                                               int32_t **index, int32_t *index_size) {
    if (index == NULL || index_size == NULL || pcm == NULL || num_samples <= 0 || engine == NULL) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *index = NULL;
    const int32_t rows = num_samples >> 9;  // samples after the last whole block are ignored
    // Zero rows allocate one byte: a zero-byte request may give NULL, which
    // is not a failure, and the caller always gets a block to free.
    int16_t *features = static_cast<int16_t *>(malloc(rows > 0 ? static_cast<size_t>(rows) * 2 * kBands * 2 : 1));
    if (features == NULL) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    const int32_t width = zv_lumarin_num_phonemes(engine) + 1;
    // num_samples < 2^31 bounds rows * 53 * 4 well inside int32.
    const int32_t size = rows * width * 4;
    int32_t *out = static_cast<int32_t *>(malloc(size > 0 ? static_cast<size_t>(size) : 1));
    if (out == NULL) {
        free(features);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    zv_status_t status = compute_features(engine, pcm, rows, features);
    zv_filterbank_reset(engine->filterbank);  // the next call starts afresh, after a failure too
    if (status == ZV_STATUS_SUCCESS) {
        status = zv_offline_token_classifier_process(engine->classifier, features, rows, out);
    }
    free(features);
    if (status != ZV_STATUS_SUCCESS) {
        free(out);
        return status;
    }
    *index = out;
    *index_size = size;
    return ZV_STATUS_SUCCESS;
}
