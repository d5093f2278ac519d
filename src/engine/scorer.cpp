#include "engine/scorer.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "nn/fc.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define ZV_SCORER_X86 1
#endif

namespace {

// The states of one row: blank[k] is the blank before phoneme k (k >= 1;
// entry 0 unused), phoneme[k] phoneme k. In state order they run phoneme[0],
// blank[1], phoneme[1], blank[2], ...
struct States {
    double *blank;
    double *phoneme;
    int32_t *blank_duration;
    int32_t *phoneme_duration;
};

}  // namespace

struct zv_lumarin_decoder {
    int32_t n;  // phonemes
    // Per phoneme k >= 1: 1 when it may be entered straight from phoneme
    // k - 1 (the two differ), else 0.
    uint8_t *skips;
    // The same for the vector form: one bit per phoneme, four phonemes
    // from phoneme 1 per byte.
    uint8_t *skip_masks;
    States previous;
    States next;
    // The columns a row is read at: the blank's, then each phoneme's, then
    // the blank's again as padding for the vector form (num_columns in all); the
    // row's probabilities at them, filled by each scalar step.
    int32_t *columns;
    int32_t num_columns;
    double *row_probabilities;
    // Advances over rows; vector forms where the processor has them.
    void (*advance)(zv_lumarin_decoder_t *decoder, const int32_t *rows, int32_t count, size_t width,
                    double *final_probabilities, int32_t *durations);
};

namespace {

constexpr int32_t kMaxDuration = 2147483647;

inline int32_t next_duration(int32_t d) { return d + (d != kMaxDuration ? 1 : 0); }

// The outside state after the previous row: 1.0 minus that row's phrase
// states, subtracted one at a time in state order. Each row's first state
// starts from it, so this chain of dependent subtractions sets the pace;
// everything else in a row is independent of it and runs beside it.
inline double outside_of(const States &s, int32_t n, double first) {
    double outside = 1.0 - first;
#pragma GCC unroll 4
    for (int32_t k = 1; k < n; ++k) {
        outside = outside - s.blank[k];
        outside = outside - s.phoneme[k];
    }
    return outside;
}

// Phoneme 0 enters from the outside state, whose duration is always 1.
// first is phoneme 0's probability, as stored in s, passed by value so that
// the chain from row to row needn't go through memory; it becomes the new
// row's.
inline void first_phoneme(const States &s, States &t, double outside, double p, double &first) {
    const bool from_outside = outside > first;
    first = (first + outside) * p;
    t.phoneme[0] = first;
    t.phoneme_duration[0] = next_duration(from_outside ? 1 : s.phoneme_duration[0]);
}

// Blank k and phoneme k, k >= 1. The most probable predecessor is chosen
// without branches: a tie, or an unordered comparison, keeps the state's own
// chain.
inline void scalar_states(const uint8_t *skips, const States &s, States &t, int32_t n, double blank,
                          const double *p) {
    for (int32_t k = 1; k < n; ++k) {
        // The blank before phoneme k: from itself or from phoneme k - 1.
        const double a_phoneme_before = s.phoneme[k - 1], a_blank = s.blank[k], a_phoneme = s.phoneme[k];
        const int32_t d_phoneme_before = s.phoneme_duration[k - 1], d_blank = s.blank_duration[k],
                      d_phoneme = s.phoneme_duration[k];
        t.blank[k] = (a_blank + a_phoneme_before) * blank;
        t.blank_duration[k] = next_duration(a_phoneme_before > a_blank ? d_phoneme_before : d_blank);
        // Phoneme k: from itself, from its blank, or over the blank from
        // phoneme k - 1 when the two phonemes differ (equal ones must pass
        // through the blank between them).
        const bool from_blank = a_blank > a_phoneme;
        const double a_best = from_blank ? a_blank : a_phoneme;
        int32_t d_into_phoneme = from_blank ? d_blank : d_phoneme;
        double sum = a_phoneme + a_blank;
        if (skips[k]) {
            sum = sum + a_phoneme_before;
            d_into_phoneme = a_phoneme_before > a_best ? d_phoneme_before : d_into_phoneme;
        }
        t.phoneme[k] = sum * p[k + 1];
        t.phoneme_duration[k] = next_duration(d_into_phoneme);
    }
}

// The row loop shared by every form. Step(row, states, next states, phoneme
// 0's probability, final probability, duration) advances by one row.
template <class Step>
inline void advance_rows(zv_lumarin_decoder_t *decoder, const int32_t *rows, int32_t count, size_t width,
                         double *final_probabilities, int32_t *durations, Step step) {
    States s = decoder->previous;
    States t = decoder->next;
    double first = s.phoneme[0];
    for (int32_t r = 0; r < count; ++r) {
        step(rows + static_cast<size_t>(r) * width, s, t, first, final_probabilities + r, durations + r);
        const States old = s;
        s = t;
        t = old;
    }
    decoder->previous = s;
    decoder->next = t;
}

struct ScalarStep {
    const zv_lumarin_decoder_t *decoder;
    void operator()(const int32_t *row, const States &s, States &t, double &first, double *final_probability,
                    int32_t *duration) const {
        const int32_t n = decoder->n;
        double *p = decoder->row_probabilities;
        for (int32_t k = 0; k <= n; ++k) {
            p[k] = static_cast<double>(row[decoder->columns[k]]) / 2147483647.0;
        }
        const double outside = outside_of(s, n, first);
        scalar_states(decoder->skips, s, t, n, p[0], p);
        first_phoneme(s, t, outside, p[1], first);
        *final_probability = t.phoneme[n - 1];
        *duration = t.phoneme_duration[n - 1];
    }
};

__attribute__((flatten)) void advance_scalar(zv_lumarin_decoder_t *decoder, const int32_t *rows, int32_t count,
                                             size_t width, double *final_probabilities, int32_t *durations) {
    advance_rows(decoder, rows, count, width, final_probabilities, durations, ScalarStep{decoder});
}

#ifdef ZV_SCORER_X86

#define ZV_SCORER_AVX512 __attribute__((target("avx512f,avx512vl")))

// Blank k and phoneme k for four k at a time, exactly as scalar_states:
// the same operations on the same operands in the same order, lane by lane;
// IEEE division, addition and multiplication are correctly rounded in every
// lane, and the comparisons are the ordered ones, false when unordered.
// 256-bit vectors with the AVX-512 masks: 512-bit ones would slow the scalar
// chain of subtractions that sets the pace. Each row reads whole vectors
// exactly where the previous row stored them (phoneme k - 1 comes from
// shifting lanes in, not from a load one state off).
struct VectorStep {
    const zv_lumarin_decoder_t *decoder;

    // The row's probabilities at the four columns from columns[at].
    ZV_SCORER_AVX512 __m256d probabilities(const int32_t *row, int32_t at) const {
        const int32_t *c = decoder->columns + at;
        // Plain loads: a gather instruction is slower than four of them on some processors.
        const __m128i values = _mm_setr_epi32(row[c[0]], row[c[1]], row[c[2]], row[c[3]]);
        return _mm256_div_pd(_mm256_cvtepi32_pd(values), _mm256_set1_pd(2147483647.0));
    }

    ZV_SCORER_AVX512 void operator()(const int32_t *row, const States &s, States &t, double &first,
                                     double *final_probability, int32_t *duration) const {
        const int32_t n = decoder->n;
        const double p_first = static_cast<double>(row[decoder->columns[1]]) / 2147483647.0;
        const __m256d blank = _mm256_set1_pd(static_cast<double>(row[0]) / 2147483647.0);
        const double outside = outside_of(s, n, first);
        const __m128i one = _mm_set1_epi32(1);
        const __m128i longest = _mm_set1_epi32(kMaxDuration);
        __m256d a_last = _mm256_set1_pd(first);
        __m128i d_last = _mm_set1_epi32(s.phoneme_duration[0]);
        for (int32_t k = 1, c = 1; k < n; k += 4, ++c) {
            // Lanes past phoneme n - 1 compute on padding and are never read.
            const __mmask8 skip = decoder->skip_masks[c - 1];
            // Phonemes k..k + 3 read columns[k + 1..k + 4].
            const __m256d p = probabilities(row, k + 1);
            const __m256d a_blank = _mm256_loadu_pd(s.blank + k);
            const __m256d a_phoneme = _mm256_loadu_pd(s.phoneme + k);
            const __m128i d_blank = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s.blank_duration + k));
            const __m128i d_phoneme = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s.phoneme_duration + k));
            const __m256d a_before = _mm256_castsi256_pd(
                _mm256_alignr_epi64(_mm256_castpd_si256(a_phoneme), _mm256_castpd_si256(a_last), 3));
            const __m128i d_before = _mm_alignr_epi32(d_phoneme, d_last, 3);

            const __m256d new_blank = _mm256_mul_pd(_mm256_add_pd(a_blank, a_before), blank);
            __m128i d_new_blank =
                _mm_mask_blend_epi32(_mm256_cmp_pd_mask(a_before, a_blank, _CMP_GT_OQ), d_blank, d_before);

            const __mmask8 from_blank = _mm256_cmp_pd_mask(a_blank, a_phoneme, _CMP_GT_OQ);
            const __m256d a_best = _mm256_mask_blend_pd(from_blank, a_phoneme, a_blank);
            __m128i d_new_phoneme = _mm_mask_blend_epi32(from_blank, d_phoneme, d_blank);
            __m256d sum = _mm256_add_pd(a_phoneme, a_blank);
            sum = _mm256_mask_add_pd(sum, skip, sum, a_before);
            const __mmask8 over = _mm256_mask_cmp_pd_mask(skip, a_before, a_best, _CMP_GT_OQ);
            d_new_phoneme = _mm_mask_blend_epi32(over, d_new_phoneme, d_before);
            const __m256d new_phoneme = _mm256_mul_pd(sum, p);

            // One row more, held at the largest duration: durations are at
            // least 1, so d + 1 exceeds it, unsigned, only when d is it.
            d_new_blank = _mm_min_epu32(_mm_add_epi32(d_new_blank, one), longest);
            d_new_phoneme = _mm_min_epu32(_mm_add_epi32(d_new_phoneme, one), longest);
            _mm256_storeu_pd(t.blank + k, new_blank);
            _mm256_storeu_pd(t.phoneme + k, new_phoneme);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(t.blank_duration + k), d_new_blank);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(t.phoneme_duration + k), d_new_phoneme);
            a_last = a_phoneme;
            d_last = d_phoneme;
        }
        first_phoneme(s, t, outside, p_first, first);
        *final_probability = t.phoneme[n - 1];
        *duration = t.phoneme_duration[n - 1];
    }
};

// Flattened, so that the row loop and its steps are compiled for AVX-512 in one piece.
__attribute__((target("avx512f,avx512vl"), flatten)) void advance_avx512(zv_lumarin_decoder_t *decoder,
                                                                         const int32_t *rows, int32_t count,
                                                                         size_t width, double *final_probabilities,
                                                                         int32_t *durations) {
    advance_rows(decoder, rows, count, width, final_probabilities, durations, VectorStep{decoder});
}

#endif

bool allocate_states(size_t n, States *s) {
    s->blank = static_cast<double *>(calloc(n, sizeof(double)));
    s->phoneme = static_cast<double *>(calloc(n, sizeof(double)));
    s->blank_duration = static_cast<int32_t *>(malloc(n * sizeof(int32_t)));
    s->phoneme_duration = static_cast<int32_t *>(malloc(n * sizeof(int32_t)));
    if (s->blank == NULL || s->phoneme == NULL || s->blank_duration == NULL || s->phoneme_duration == NULL) {
        return false;
    }
    // No state is reached before the first row.
    for (size_t k = 0; k < n; ++k) {
        s->blank_duration[k] = kMaxDuration;
        s->phoneme_duration[k] = kMaxDuration;
    }
    return true;
}

void free_states(const States &s) {
    free(s.blank);
    free(s.phoneme);
    free(s.blank_duration);
    free(s.phoneme_duration);
}

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
    zv_lumarin_decoder_t *decoder = static_cast<zv_lumarin_decoder_t *>(calloc(1, sizeof(*decoder)));
    if (decoder == NULL) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    const size_t count = static_cast<size_t>(n);
    decoder->n = n;
    // Room for the vector form's last four columns, from columns[k + 1] for
    // the last k = 1 + 4j below n.
    decoder->num_columns = n + 1 > (n + 2) / 4 * 4 + 2 ? n + 1 : (n + 2) / 4 * 4 + 2;
    decoder->skips = static_cast<uint8_t *>(calloc(count, 1));
    decoder->skip_masks = static_cast<uint8_t *>(calloc(count / 4 + 1, 1));
    decoder->columns = static_cast<int32_t *>(calloc(static_cast<size_t>(decoder->num_columns), sizeof(int32_t)));
    decoder->row_probabilities =
        static_cast<double *>(malloc(static_cast<size_t>(decoder->num_columns) * sizeof(double)));
    // Eight entries past the states, for the vector form's whole vectors.
    const bool states =
        allocate_states(count + 8, &decoder->previous) && allocate_states(count + 8, &decoder->next);
    if (!states || decoder->skips == NULL || decoder->skip_masks == NULL || decoder->columns == NULL ||
        decoder->row_probabilities == NULL) {
        zv_lumarin_decoder_delete(decoder);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    memcpy(decoder->columns + 1, ids, count * sizeof(int32_t));
    for (int32_t k = 1; k < n; ++k) {
        if (ids[k] != ids[k - 1]) {
            decoder->skips[k] = 1;
            decoder->skip_masks[(k - 1) / 4] =
                static_cast<uint8_t>(decoder->skip_masks[(k - 1) / 4] | (1u << ((k - 1) % 4)));
        }
    }
    decoder->advance = advance_scalar;
#ifdef ZV_SCORER_X86
    // The scalar form stays in use where the kernels are held below
    // AVX-512, so that it is tested on any processor. That set is current
    // only where the processor has AVX-512 F and VL (and more).
    if (zv_fc_kernel_set_current() == ZV_FC_KERNELS_AVX512) {
        decoder->advance = advance_avx512;
    }
#endif
    *out = decoder;
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_lumarin_decoder_advance_rows(zv_lumarin_decoder_t *decoder, const int32_t *rows, int32_t count,
                                                int32_t width, double *final_probabilities, int32_t *durations) {
    decoder->advance(decoder, rows, count, static_cast<size_t>(width), final_probabilities, durations);
}

extern "C" void zv_lumarin_decoder_advance(zv_lumarin_decoder_t *decoder, const int32_t *row,
                                           double *final_probability, int32_t *duration) {
    decoder->advance(decoder, row, 1, 0, final_probability, duration);
}

extern "C" float zv_lumarin_decoder_score(const zv_lumarin_decoder_t *decoder, double final_probability) {
    if (final_probability == 0.0) {
        return -INFINITY;
    }
    // A negative or NaN probability gives NaN here.
    return static_cast<float>(log10(final_probability) / static_cast<double>(decoder->n));
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
    free(decoder->skips);
    free(decoder->skip_masks);
    free_states(decoder->previous);
    free_states(decoder->next);
    free(decoder->columns);
    free(decoder->row_probabilities);
    free(decoder);
}
