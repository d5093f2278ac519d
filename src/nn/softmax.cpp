#include "nn/softmax.h"

#include "nn/fixed_point.h"

struct zv_softmax {
    zv_memory_t memory;
    int32_t n;
};

extern "C" zv_status_t zv_softmax_init(zv_memory_t memory, int32_t n, zv_softmax_t **softmax) {
    *softmax = nullptr;
    // The normalisation divides by the sum of at least one exponential.
    if (n < 1) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    zv_softmax_t *s = static_cast<zv_softmax_t *>(zv_memory_allocate(memory, sizeof(zv_softmax_t), 1));
    if (!s) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    s->memory = memory;
    s->n = n;
    *softmax = s;
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_softmax_delete(zv_softmax_t *softmax) {
    if (softmax) {
        zv_memory_free(softmax->memory, softmax);
    }
}

extern "C" void zv_softmax_process(const zv_softmax_t *softmax, const int16_t *x, int32_t *p) {
    const int32_t n = softmax->n;
    int32_t m = -32768;
    for (int32_t i = 0; i < n; ++i) {
        if (x[i] > m) {
            m = x[i];
        }
    }
    int64_t sum = 0;
    for (int32_t i = 0; i < n; ++i) {
        int32_t d = static_cast<int32_t>(x[i]) - m;
        if (d < -32768) {
            d = -32768;
        }
        p[i] = zv_exp(static_cast<int16_t>(d));
        sum += p[i];
    }
    // sum >= zv_exp(0) > 0, as the maximum contributes one.
    int64_t k = (int64_t{1} << 62) / sum;
    if (k > INT32_MAX) {
        k = INT32_MAX;
    } else if (k < INT32_MIN) {
        k = INT32_MIN;
    }
    for (int32_t i = 0; i < n; ++i) {
        int64_t v = (k * static_cast<int64_t>(p[i]) + (int64_t{1} << 30)) >> 31;
        if (v > INT32_MAX) {
            v = INT32_MAX;
        }
        p[i] = static_cast<int32_t>(v);
    }
}

extern "C" int32_t zv_softmax_width(const zv_softmax_t *softmax) { return softmax->n; }
