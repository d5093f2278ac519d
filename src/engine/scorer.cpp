#include "engine/scorer.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

struct zv_lumarin_decoder {
    int32_t *labels;  // labels[2k] = 0 (blank), labels[2k + 1] = phoneme k
    int32_t num_labels;
    // Per state s: 1 when state s may be entered from s - 2 (a phoneme that
    // differs from the phoneme before it), else 0.
    uint8_t *skips;
    // Per state s: the row's probability at labels[s], filled each step.
    double *row_probabilities;
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
    if (decoder->new_durations != NULL) {
        decoder->skips = static_cast<uint8_t *>(calloc(static_cast<size_t>(num_labels), 1));
    }
    if (decoder->skips != NULL) {
        for (int32_t s = 2; s < num_labels; ++s) {
            decoder->skips[s] = decoder->labels[s] != decoder->labels[s - 2] ? 1 : 0;
        }
        decoder->row_probabilities =
            static_cast<double *>(malloc(static_cast<size_t>(num_labels) * sizeof(double)));
    }
    if (decoder->row_probabilities == NULL) {
        zv_lumarin_decoder_delete(decoder);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    *out = decoder;
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_lumarin_decoder_advance(zv_lumarin_decoder_t *decoder, const int32_t *row,
                                           double *final_probability, int32_t *duration) {
    const int32_t num_labels = decoder->num_labels;
    const int32_t *labels = decoder->labels;
    const double *a = decoder->previous_probabilities;
    const int32_t *d = decoder->previous_durations;
    double *a_new = decoder->new_probabilities;
    int32_t *d_new = decoder->new_durations;

    // The row's probability for every state first (every blank reads the
    // same column), so that the main loop holds no division.
    double *p = decoder->row_probabilities;
    const double blank = static_cast<double>(row[0]) / 2147483647.0;
    for (int32_t s = 1; s < num_labels; s += 2) {
        p[s] = static_cast<double>(row[labels[s]]) / 2147483647.0;
    }
    for (int32_t s = 2; s < num_labels; s += 2) {
        p[s] = blank;
    }
    const uint8_t *skips = decoder->skips;
    // The outside state after the previous row: 1.0 minus that row's phrase
    // states, subtracted one at a time in state order. It is formed here,
    // when it is needed, rather than at the end of the previous step, so that
    // this chain of dependent subtractions overlaps the independent work on
    // states 2 and up below.
    double outside = 1.0;
    for (int32_t s = 1; s < num_labels; ++s) {
        outside = outside - a[s];
    }
    // States 2 and up, a blank (2k) and a phoneme (2k + 1) at a time. The most
    // probable predecessor is chosen without branches: a tie, or an unordered
    // comparison, keeps the state's own chain.
    for (int32_t s = 2; s < num_labels; s += 2) {
        // The blank before phoneme k: from itself or from phoneme k - 1.
        const double a_phoneme_before = a[s - 1], a_blank = a[s], a_phoneme = a[s + 1];
        const int32_t d_phoneme_before = d[s - 1], d_blank = d[s], d_phoneme = d[s + 1];
        const int32_t d_into_blank = a_phoneme_before > a_blank ? d_phoneme_before : d_blank;
        a_new[s] = (a_blank + a_phoneme_before) * p[s];
        d_new[s] = d_into_blank + (d_into_blank != kMaxDuration ? 1 : 0);
        // Phoneme k: from itself, from its blank, or over the blank from
        // phoneme k - 1 when the two phonemes differ (equal ones must pass
        // through the blank between them).
        const bool from_blank = a_blank > a_phoneme;
        const double a_best = from_blank ? a_blank : a_phoneme;
        int32_t d_into_phoneme = from_blank ? d_blank : d_phoneme;
        double sum = a_phoneme + a_blank;
        if (skips[s + 1]) {
            sum = sum + a_phoneme_before;
            d_into_phoneme = a_phoneme_before > a_best ? d_phoneme_before : d_into_phoneme;
        }
        a_new[s + 1] = sum * p[s + 1];
        d_new[s + 1] = d_into_phoneme + (d_into_phoneme != kMaxDuration ? 1 : 0);
    }
    // State 1 enters from the outside state, whose duration is always 1.
    const bool from_outside = outside > a[1];
    const int32_t first_duration = from_outside ? 1 : d[1];
    a_new[1] = (a[1] + outside) * p[1];
    d_new[1] = first_duration + (first_duration != kMaxDuration ? 1 : 0);
    // a_new[0] is formed by the next step, from a_new[1..].
    a_new[0] = 0.0;
    d_new[0] = 1;

    *final_probability = a_new[num_labels - 1];
    *duration = d_new[num_labels - 1];

    // The new arrays become the previous ones; the old ones are the next work arrays.
    decoder->previous_probabilities = a_new;
    decoder->new_probabilities = const_cast<double *>(a);
    decoder->previous_durations = d_new;
    decoder->new_durations = const_cast<int32_t *>(d);
}

extern "C" float zv_lumarin_decoder_score(const zv_lumarin_decoder_t *decoder, double final_probability) {
    if (final_probability == 0.0) {
        return -INFINITY;
    }
    // A negative or NaN probability gives NaN here.
    return static_cast<float>(log10(final_probability) / static_cast<double>(decoder->num_labels / 2));
}

extern "C" void zv_lumarin_decoder_process(zv_lumarin_decoder_t *decoder, const int32_t *row, float *score,
                                           int32_t *duration) {
    double final_probability = 0.0;
    zv_lumarin_decoder_advance(decoder, row, &final_probability, duration);
    *score = zv_lumarin_decoder_score(decoder, final_probability);
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
    free(decoder->skips);
    free(decoder->row_probabilities);
    free(decoder);
}
