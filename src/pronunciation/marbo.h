// The grapheme-to-phoneme engine `marbo`: spells a word into input frames,
// runs them through an offline token classifier whose classes are the blank
// and the phonemes of one language, and turns the per-frame probabilities into
// up to eight candidate pronunciations by a beam search of width 8.
#ifndef ZV_PRONUNCIATION_MARBO_H
#define ZV_PRONUNCIATION_MARBO_H

#include <stdint.h>
#include <stdio.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_marbo zv_marbo_t;

// Creates an engine from a file whose first bytes are a "marbo" "1.0.0" block.
zv_status_t zv_marbo_init(const char *path, zv_marbo_t **marbo);

// Creates an engine from an open file positioned at the start of a "marbo"
// block; on success the file stands on the first byte after the block. A
// block whose network does not take 28 values per frame, does not give the
// language's phoneme count + 1 classes, or whose language has no phonemes is
// refused with INVALID_ARGUMENT.
zv_status_t zv_marbo_init2(FILE *file, zv_marbo_t **marbo);

// Deletes the classifier, its parameters and the record; NULL is ignored.
void zv_marbo_delete(zv_marbo_t *marbo);

// Pronounces a word of the letters a-z, A-Z and the apostrophe. On success:
// *num_prons = N (0 to 8); *num_phones, *prons and *probs are new heap blocks
// of N entries, best candidate first; (*prons)[i] is a new heap block of
// (*num_phones)[i] static phoneme names. The caller releases with free() the
// N name arrays, then *prons, *num_phones and *probs (never the names). On
// failure nothing is handed out.
zv_status_t zv_marbo_pronounce(zv_marbo_t *marbo, const char *word, int32_t *num_prons,
                               int32_t **num_phones, const char ****prons, float **probs);

// "1.0.0".
const char *zv_marbo_version(void);

// ---- The beam search, apart from the network (used by the engine above and
// tested on its own) ----

#define ZV_MARBO_BEAM_WIDTH 8

// One beam slot. cost is in decades (10^-cost is the path's probability);
// phoneme is the class (0 the blank), back the slot in the previous beam.
typedef struct {
    float cost;
    int32_t phoneme;
    int32_t back;
} zv_marbo_entry_t;

// One candidate: a collapsed class sequence (ids 1..K-1, no blanks) with its
// cost. phonemes is a heap block (NULL when length is 0).
typedef struct {
    float cost;
    int32_t length;
    int32_t *phonemes;
} zv_marbo_candidate_t;

// Builds the next beam from prev (prev_count entries) and one row of
// num_classes scores (Q10 log10 class probabilities). Returns the new count.
int32_t zv_marbo_beam_step(const zv_marbo_entry_t *prev, int32_t prev_count, const int16_t *scores,
                           int32_t num_classes, zv_marbo_entry_t next[ZV_MARBO_BEAM_WIDTH]);

// Collapses, windows, de-duplicates and sorts the final beam of a beam table:
// beams[t * 8 + s] is slot s of beam t (t = 0..num_frames), counts[t] its
// count. Delivers up to 8 candidates, cheapest first. OUT_OF_MEMORY leaves
// nothing allocated and *num_candidates 0.
zv_status_t zv_marbo_decode(const zv_marbo_entry_t *beams, const int32_t *counts, int32_t num_frames,
                            zv_marbo_candidate_t candidates[ZV_MARBO_BEAM_WIDTH],
                            int32_t *num_candidates);

// The whole search over num_frames rows of num_classes scores (row-major).
// 0 frames give 0 candidates.
zv_status_t zv_marbo_search(const int16_t *scores, int32_t num_frames, int32_t num_classes,
                            zv_marbo_candidate_t candidates[ZV_MARBO_BEAM_WIDTH],
                            int32_t *num_candidates);

// Frees the phoneme blocks of n candidates.
void zv_marbo_candidates_release(zv_marbo_candidate_t *candidates, int32_t n);

#ifdef __cplusplus
}
#endif

#endif
