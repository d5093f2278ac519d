// Softmax over one frame of int16 Q10 logits, giving int32 Q31 probabilities
// with integer arithmetic only.
#ifndef ZV_NN_SOFTMAX_H
#define ZV_NN_SOFTMAX_H

#include <stdint.h>

#include "foundation/status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_softmax zv_softmax_t;

// A softmax over n classes; n below 1 gives INVALID_ARGUMENT.
zv_status_t zv_softmax_init(zv_memory_t memory, int32_t n, zv_softmax_t **softmax);
void zv_softmax_delete(zv_softmax_t *softmax);
// x: n Q10 logits (unchanged); p: n Q31 probabilities summing to about 2^31.
void zv_softmax_process(const zv_softmax_t *softmax, const int16_t *x, int32_t *p);
int32_t zv_softmax_width(const zv_softmax_t *softmax);

#ifdef __cplusplus
}
#endif

#endif
