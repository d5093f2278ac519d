#include "engine/scorer.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

struct zv_lumarin_decoder {
    int32_t *labels;  // labels[2k] = 0 (blank), labels[2k + 1] = phoneme k
    int32_t num_labels;
    double *previous_probabilities;
    int32_t *previous_durations;
    double *new_probabilities;
    int32_t *new_durations;
};

namespace {

constexpr int32_t kMaxDuration = 2147483647;

}  // namespace

extern "C" zv_status_t zv_lumarin_decoder_init(const int32_t *ids, int32_t n, zv_lumarin_decoder_t **out) {
    if (out == NULL) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *out = NULL;
    // The recursion needs at least one phoneme; 2n states must fit an int32.
    if (ids == NULL || n < 1 || n > INT32_MAX / 2) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const int32_t num_labels = 2 * n;
    zv_lumarin_decoder_t *decoder = static_cast<zv_lumarin_decoder_t *>(calloc(1, sizeof(*decoder)));
    if (decoder == NULL) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    decoder->num_labels = num_labels;
    decoder->labels = static_cast<int32_t *>(calloc(static_cast<size_t>(num_labels), sizeof(int32_t)));
    if (decoder->labels != NULL) {
        for (int32_t k = 0; k < n; ++k) {
            decoder->labels[2 * k + 1] = ids[k];
        }
        decoder->previous_probabilities =
            static_cast<double *>(calloc(static_cast<size_t>(num_labels), sizeof(double)));
    }
    if (decoder->previous_probabilities != NULL) {
        decoder->previous_probabilities[0] = 1.0;
        decoder->previous_durations =
            static_cast<int32_t *>(malloc(static_cast<size_t>(num_labels) * sizeof(int32_t)));
    }
    if (decoder->previous_durations != NULL) {
        decoder->previous_durations[0] = 1;
        for (int32_t s = 1; s < num_labels; ++s) {
            decoder->previous_durations[s] = kMaxDuration;
        }
        decoder->new_probabilities =
            static_cast<double *>(malloc(static_cast<size_t>(num_labels) * sizeof(double)));
    }
    if (decoder->new_probabilities != NULL) {
        decoder->new_durations = static_cast<int32_t *>(malloc(static_cast<size_t>(num_labels) * sizeof(int32_t)));
    }
    if (decoder->new_durations == NULL) {
        zv_lumarin_decoder_delete(decoder);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    *out = decoder;
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_lumarin_decoder_process(zv_lumarin_decoder_t *decoder, const int32_t *row, float *score,
                                           int32_t *duration) {
    const int32_t num_labels = decoder->num_labels;
    const int32_t *labels = decoder->labels;
    const double *a = decoder->previous_probabilities;
    const int32_t *d = decoder->previous_durations;
    double *a_new = decoder->new_probabilities;
    int32_t *d_new = decoder->new_durations;

    // Every blank state reads the same column: divide once.
    const double blank = static_cast<double>(row[0]) / 2147483647.0;
    double outside = 1.0;
    d_new[0] = 1;
    for (int32_t s = 1; s < num_labels; ++s) {
        const int32_t label = labels[s];
        const double p = label == 0 ? blank : static_cast<double>(row[label]) / 2147483647.0;
        // A tie, or an unordered comparison, keeps the state's own chain.
        int32_t best = a[s - 1] > a[s] ? s - 1 : s;
        double sum = a[s] + a[s - 1];
        // The skip over a blank: never into a blank, never between two equal
        // phonemes (those must pass through the blank between them).
        if (s >= 2 && label != labels[s - 2]) {
            sum = sum + a[s - 2];
            if (a[s - 2] > a[best]) {
                best = s - 2;
            }
        }
        a_new[s] = sum * p;
        outside = outside - a_new[s];
        const int64_t extended = static_cast<int64_t>(d[best]) + 1;
        d_new[s] = extended > kMaxDuration ? kMaxDuration : static_cast<int32_t>(extended);
    }
    a_new[0] = outside;

    const double final_probability = a_new[num_labels - 1];
    if (final_probability == 0.0) {
        *score = -INFINITY;
    } else {
        *score = static_cast<float>(log10(final_probability) / static_cast<double>(num_labels / 2));
    }
    *duration = d_new[num_labels - 1];

    // The new arrays become the previous ones; the old ones are the next work arrays.
    decoder->previous_probabilities = a_new;
    decoder->new_probabilities = const_cast<double *>(a);
    decoder->previous_durations = d_new;
    decoder->new_durations = const_cast<int32_t *>(d);
}

extern "C" void zv_lumarin_decoder_delete(zv_lumarin_decoder_t *decoder) {
    if (decoder == NULL) {
        return;
    }
    free(decoder->labels);
    free(decoder->previous_probabilities);
    free(decoder->previous_durations);
    free(decoder->new_probabilities);
    free(decoder->new_durations);
    free(decoder);
}
