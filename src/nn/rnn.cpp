#include "nn/rnn.h"

#include <stdlib.h>
#include <string.h>

#include <memory>

#include "nn/fixed_point.h"

struct zv_rnn {
    zv_memory_t memory;
    const zv_rnn_param_t *param;
    int32_t hidden;
    int16_t *h;  // hidden state (previous output), Q10
    int16_t *c;  // cell state, Q10
    zv_fc_t *input;
    zv_fc_t *recurrent;
};

namespace {

struct ParamDeleter {
    void operator()(zv_rnn_param_t *p) const { zv_rnn_param_delete(p); }
};
struct RnnDeleter {
    void operator()(zv_rnn_t *p) const { zv_rnn_delete(p); }
};

int16_t clamp16(int32_t v) {
    return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

}  // namespace

// The gates are sigmoid and tanh outputs, so every product below fits in 32
// bits; the forget factor is 32767 - i.
extern "C" void zv_rnn_cell(int32_t hidden, const int16_t *z, int16_t *c, int16_t *y) {
    const int16_t *gi = z;
    const int16_t *gg = z + hidden;
    const int16_t *go = z + 2 * static_cast<size_t>(hidden);
    for (int32_t j = 0; j < hidden; ++j) {
        const int32_t i = gi[j];
        const int32_t kept = ((32767 - i) * static_cast<int32_t>(c[j]) + (1 << 14)) >> 15;
        const int32_t added = (i * static_cast<int32_t>(gg[j]) + (1 << 19)) >> 20;
        c[j] = clamp16(kept + added);
    }
    zv_tanh(hidden, c, y);
    for (int32_t j = 0; j < hidden; ++j) {
        y[j] = static_cast<int16_t>((static_cast<int32_t>(go[j]) * static_cast<int32_t>(y[j]) + (1 << 19)) >> 20);
    }
}

extern "C" zv_status_t zv_rnn_param_load(FILE *file, zv_rnn_param_t **param) {
    *param = nullptr;
    std::unique_ptr<zv_rnn_param_t, ParamDeleter> result(
        static_cast<zv_rnn_param_t *>(calloc(1, sizeof(zv_rnn_param_t))));
    if (!result) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    ZV_TRY(zv_fc_param_load(file, &result->input));
    ZV_TRY(zv_fc_param_load(file, &result->recurrent));
    *param = result.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_rnn_param_delete(zv_rnn_param_t *param) {
    if (!param) {
        return;
    }
    zv_fc_param_delete(param->input);
    zv_fc_param_delete(param->recurrent);
    free(param);
}

extern "C" zv_status_t zv_rnn_param_serialize(const zv_rnn_param_t *param, FILE *file) {
    ZV_TRY(zv_fc_param_serialize(param->input, file));
    return zv_fc_param_serialize(param->recurrent, file);
}

extern "C" int32_t zv_rnn_param_hidden_width(const zv_rnn_param_t *param) { return param->recurrent->in; }

extern "C" int32_t zv_rnn_param_is_consistent(const zv_rnn_param_t *param) {
    if (!param || !param->input || !param->recurrent) {
        return 0;
    }
    const zv_fc_param_t *in = param->input;
    const zv_fc_param_t *rec = param->recurrent;
    if (in->in <= 0 || in->out <= 0 || rec->in <= 0 || rec->out <= 0) {
        return 0;
    }
    const int64_t gates = 3 * static_cast<int64_t>(rec->in);
    return in->out == gates && rec->out == gates ? 1 : 0;
}

extern "C" zv_status_t zv_rnn_init(zv_memory_t memory, const zv_rnn_param_t *param, zv_rnn_t **rnn) {
    *rnn = nullptr;
    if (!zv_rnn_param_is_consistent(param)) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    std::unique_ptr<zv_rnn_t, RnnDeleter> layer(static_cast<zv_rnn_t *>(zv_memory_allocate(memory, sizeof(zv_rnn_t), 1)));
    if (!layer) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    layer->memory = memory;
    layer->param = param;
    layer->hidden = param->recurrent->in;
    const uint64_t state_bytes = static_cast<uint64_t>(layer->hidden) * sizeof(int16_t);
    layer->h = static_cast<int16_t *>(zv_memory_allocate(memory, state_bytes, 1));
    layer->c = static_cast<int16_t *>(zv_memory_allocate(memory, state_bytes, 1));
    if (!layer->h || !layer->c) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    ZV_TRY(zv_fc_init(memory, param->input, 0, &layer->input));
    ZV_TRY(zv_fc_init(memory, param->recurrent, 1, &layer->recurrent));
    *rnn = layer.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_rnn_delete(zv_rnn_t *rnn) {
    if (!rnn) {
        return;
    }
    zv_fc_delete(rnn->recurrent);
    zv_fc_delete(rnn->input);
    zv_memory_free(rnn->memory, rnn->c);
    zv_memory_free(rnn->memory, rnn->h);
    zv_memory_free(rnn->memory, rnn);
}

extern "C" void zv_rnn_step(zv_rnn_t *rnn, int16_t *z, int16_t *y) {
    const int32_t hidden = rnn->hidden;
    zv_fc_process(rnn->recurrent, rnn->h, z);
    zv_sigmoid(hidden, z, z);
    zv_tanh(hidden, z + hidden, z + hidden);
    zv_sigmoid(hidden, z + 2 * static_cast<size_t>(hidden), z + 2 * static_cast<size_t>(hidden));
    zv_rnn_cell(hidden, z, rnn->c, rnn->h);
    memcpy(y, rnn->h, static_cast<size_t>(hidden) * sizeof(int16_t));
}

extern "C" zv_status_t zv_rnn_process(zv_rnn_t *rnn, const int16_t *x, int16_t *y) {
    const uint64_t work_bytes = 3u * static_cast<uint64_t>(rnn->hidden) * sizeof(int16_t);
    int16_t *z = static_cast<int16_t *>(zv_memory_allocate(rnn->memory, work_bytes, 1));
    if (!z) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    // x is consumed here, before y (which may be x) is written.
    zv_fc_process(rnn->input, x, z);
    zv_rnn_step(rnn, z, y);
    zv_memory_free(rnn->memory, z);
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_rnn_reset(zv_rnn_t *rnn) {
    const size_t bytes = static_cast<size_t>(rnn->hidden) * sizeof(int16_t);
    memset(rnn->h, 0, bytes);
    memset(rnn->c, 0, bytes);
}

extern "C" const zv_rnn_param_t *zv_rnn_param(const zv_rnn_t *rnn) { return rnn->param; }
