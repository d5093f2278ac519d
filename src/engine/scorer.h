// The phrase scorer: a forward pass over the index rows for one phoneme
// sequence, with a blank before every phoneme and an outside-the-phrase state
// that takes whatever probability the phrase states don't, so that the phrase
// may begin at any row. After each row it reports the per-phoneme log10 score
// of the phrase ending there and the rows its best path has lasted.
#ifndef ZV_ENGINE_SCORER_H
#define ZV_ENGINE_SCORER_H

#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_lumarin_decoder zv_lumarin_decoder_t;

// ids: n phoneme ids (copied), each a column of the rows fed later (1..P).
// n below 1 (or too large for 2n states) gives INVALID_ARGUMENT. The decoder
// runs a vector form where the processor has AVX-512 and the network's
// kernel set in force when it is made (nn/fc.h) allows it, else the scalar
// form; the two give the same results.
zv_status_t zv_lumarin_decoder_init(const int32_t *ids, int32_t n, zv_lumarin_decoder_t **out);

// Consumes one index row (P + 1 Q31 probabilities, column 0 the blank).
// score: log10 of the probability that the rows so far end inside the last
// phoneme, divided by n (-inf when it is 0, NaN when it came out negative).
// duration: rows of the most probable chain into the last state.
void zv_lumarin_decoder_process(zv_lumarin_decoder_t *decoder, const int32_t *row, float *score,
                                int32_t *duration);

// The two halves of a step, for callers that need the score only for some
// rows: advance gives the final state's probability and the duration, score
// turns that probability into the score process gives.
void zv_lumarin_decoder_advance(zv_lumarin_decoder_t *decoder, const int32_t *row, double *final_probability,
                                int32_t *duration);
float zv_lumarin_decoder_score(const zv_lumarin_decoder_t *decoder, double final_probability);
// count rows at once, row r at rows + r * width: exactly count calls of
// advance, final_probabilities[r] and durations[r] receiving row r's.
void zv_lumarin_decoder_advance_rows(zv_lumarin_decoder_t *decoder, const int32_t *rows, int32_t count,
                                     int32_t width, double *final_probabilities, int32_t *durations);

void zv_lumarin_decoder_delete(zv_lumarin_decoder_t *decoder);

#ifdef __cplusplus
}
#endif

#endif
