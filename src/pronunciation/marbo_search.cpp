// The beam search of the grapheme-to-phoneme engine, over a matrix of Q10
// log10 class scores. All of its arithmetic is single precision, in a fixed
// order, so that every platform keeps the same candidates.
#include <float.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "pronunciation/marbo.h"

namespace {

constexpr int32_t kWidth = ZV_MARBO_BEAM_WIDTH;

// The step cost of a score, -s / 1024 in decades, is subtracted from the
// parent's cost.
inline float extend(float parent, int16_t score) {
    return parent - static_cast<float>(score) * 0.0009765625f;
}

// Reads the class path ending at slot `slot` of beam `t` backwards, dropping
// blanks and merging runs of equal phonemes (a blank between two equal
// phonemes does not separate them). Writes the sequence first phoneme first
// and returns its length, or -1 for a broken back-pointer chain.
int32_t collapse(const zv_marbo_entry_t *beams, const int32_t *counts, int32_t t, int32_t slot,
                 int32_t *out) {
    int32_t length = 0;
    int32_t last = -1;
    for (; t >= 1; --t) {
        if (slot < 0 || slot >= counts[t]) {
            return -1;
        }
        const zv_marbo_entry_t &e = beams[static_cast<size_t>(t) * kWidth + slot];
        if (e.phoneme != 0 && e.phoneme != last) {
            out[length++] = e.phoneme;
            last = e.phoneme;
        }
        slot = e.back;
    }
    if (slot < 0 || slot >= counts[0]) {
        return -1;
    }
    for (int32_t i = 0, j = length - 1; i < j; ++i, --j) {
        const int32_t tmp = out[i];
        out[i] = out[j];
        out[j] = tmp;
    }
    return length;
}

}  // namespace

extern "C" int32_t zv_marbo_beam_step(const zv_marbo_entry_t *prev, int32_t prev_count,
                                      const int16_t *scores, int32_t num_classes,
                                      zv_marbo_entry_t next[ZV_MARBO_BEAM_WIDTH]) {
    int32_t count = 0;
    // The lowest cost accepted so far in this frame: each candidate is judged
    // against the ones examined before it, and an accepted entry stays even
    // when the best later falls further.
    float best = FLT_MAX;
    for (int32_t j = 0; j < prev_count; ++j) {
        const float parent = prev[j].cost;
        for (int32_t k = 0; k < num_classes; ++k) {
            const float cost = extend(parent, scores[k]);
            if (!(best + 1.0f > cost)) {
                continue;
            }
            if (count < kWidth) {
                next[count++] = zv_marbo_entry_t{cost, k, j};
            } else {
                int32_t worst = 0;
                for (int32_t s = 1; s < kWidth; ++s) {
                    if (next[s].cost > next[worst].cost) {
                        worst = s;
                    }
                }
                if (!(next[worst].cost > cost)) {
                    continue;
                }
                next[worst] = zv_marbo_entry_t{cost, k, j};
            }
            best = fminf(best, cost);
        }
    }
    return count;
}

extern "C" void zv_marbo_candidates_release(zv_marbo_candidate_t *candidates, int32_t n) {
    if (candidates == nullptr) {
        return;
    }
    for (int32_t i = 0; i < n; ++i) {
        free(candidates[i].phonemes);
        candidates[i].phonemes = nullptr;
        candidates[i].length = 0;
    }
}

extern "C" zv_status_t zv_marbo_decode(const zv_marbo_entry_t *beams, const int32_t *counts,
                                       int32_t num_frames,
                                       zv_marbo_candidate_t candidates[ZV_MARBO_BEAM_WIDTH],
                                       int32_t *num_candidates) {
    if (num_candidates == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *num_candidates = 0;
    if (beams == nullptr || counts == nullptr || candidates == nullptr || num_frames < 0) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const int32_t n = counts[num_frames];
    if (n < 0 || n > kWidth) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    for (int32_t t = 0; t <= num_frames; ++t) {
        if (counts[t] < 0 || counts[t] > kWidth) {
            return ZV_STATUS_INVALID_ARGUMENT;
        }
    }

    // A collapsed sequence is never longer than the number of frames.
    const size_t stride = num_frames > 0 ? static_cast<size_t>(num_frames) : 1;
    int32_t *sequences = static_cast<int32_t *>(malloc(stride * kWidth * sizeof(int32_t)));
    if (sequences == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    int32_t lengths[kWidth] = {};
    const zv_marbo_entry_t *final_beam = beams + static_cast<size_t>(num_frames) * kWidth;
    float best_final = FLT_MAX;
    for (int32_t s = 0; s < n; ++s) {
        lengths[s] = collapse(beams, counts, num_frames, s, sequences + stride * s);
        if (lengths[s] < 0) {
            free(sequences);
            return ZV_STATUS_INVALID_ARGUMENT;
        }
        if (lengths[s] > 0) {
            best_final = fminf(best_final, final_beam[s].cost);
        }
    }

    // Within one decade of the best non-empty sequence.
    bool within[kWidth] = {};
    for (int32_t s = 0; s < n; ++s) {
        within[s] = lengths[s] > 0 && best_final + 1.0f > final_beam[s].cost;
    }

    // Each distinct sequence once, with the cost of its first slot.
    int32_t kept = 0;
    zv_status_t status = ZV_STATUS_SUCCESS;
    for (int32_t s = 0; s < n && status == ZV_STATUS_SUCCESS; ++s) {
        if (!within[s]) {
            continue;
        }
        bool repeat = false;
        for (int32_t r = 0; r < s && !repeat; ++r) {
            repeat = within[r] && lengths[r] == lengths[s] &&
                     memcmp(sequences + stride * r, sequences + stride * s,
                            static_cast<size_t>(lengths[s]) * sizeof(int32_t)) == 0;
        }
        if (repeat) {
            continue;
        }
        const size_t bytes = static_cast<size_t>(lengths[s]) * sizeof(int32_t);
        int32_t *phonemes = static_cast<int32_t *>(malloc(bytes));
        if (phonemes == nullptr) {
            status = ZV_STATUS_OUT_OF_MEMORY;
            break;
        }
        memcpy(phonemes, sequences + stride * s, bytes);
        candidates[kept++] = zv_marbo_candidate_t{final_beam[s].cost, lengths[s], phonemes};
    }
    free(sequences);
    if (status != ZV_STATUS_SUCCESS) {
        zv_marbo_candidates_release(candidates, kept);
        return status;
    }

    // Selection sort by ascending cost, swapping: a later candidate displaces
    // the current choice only when strictly cheaper.
    for (int32_t i = 0; i < kept; ++i) {
        int32_t m = i;
        for (int32_t j = i + 1; j < kept; ++j) {
            if (candidates[j].cost < candidates[m].cost) {
                m = j;
            }
        }
        if (m != i) {
            const zv_marbo_candidate_t tmp = candidates[i];
            candidates[i] = candidates[m];
            candidates[m] = tmp;
        }
    }
    *num_candidates = kept;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_marbo_search(const int16_t *scores, int32_t num_frames, int32_t num_classes,
                                       zv_marbo_candidate_t candidates[ZV_MARBO_BEAM_WIDTH],
                                       int32_t *num_candidates) {
    if (num_candidates == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *num_candidates = 0;
    if (candidates == nullptr || num_frames < 0 || num_classes < 1 ||
        (scores == nullptr && num_frames > 0)) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const size_t num_beams = static_cast<size_t>(num_frames) + 1;
    zv_marbo_entry_t *beams =
        static_cast<zv_marbo_entry_t *>(malloc(num_beams * kWidth * sizeof(zv_marbo_entry_t)));
    int32_t *counts = static_cast<int32_t *>(malloc(num_beams * sizeof(int32_t)));
    if (beams == nullptr || counts == nullptr) {
        free(beams);
        free(counts);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    beams[0] = zv_marbo_entry_t{0.0f, -1, -1};
    counts[0] = 1;
    for (size_t t = 1; t < num_beams; ++t) {
        counts[t] = zv_marbo_beam_step(beams + (t - 1) * kWidth, counts[t - 1],
                                       scores + (t - 1) * static_cast<size_t>(num_classes),
                                       num_classes, beams + t * kWidth);
    }
    const zv_status_t status = zv_marbo_decode(beams, counts, num_frames, candidates, num_candidates);
    free(beams);
    free(counts);
    return status;
}
