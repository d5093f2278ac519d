#include "nn/offline_token_classifier.h"

#include <stdlib.h>
#include <string.h>

#include <memory>

#include "foundation/file.h"
#include "nn/param_io.h"
#include "nn/softmax.h"

struct zv_offline_token_classifier {
    zv_memory_t memory;
    const zv_offline_token_classifier_param_t *param;
    int32_t num_layers;
    zv_rnn_t **forward;
    zv_rnn_t **backward;
    zv_fc_t *output;
    zv_softmax_t *softmax;
    int32_t max_hidden;  // widest level, for the backward scratch
};

namespace {

// Frames whose input-layer products are computed together: enough to reuse
// every weight row several times, few enough to stay in the cache.
constexpr size_t kChunk = 32;

struct ParamDeleter {
    void operator()(zv_offline_token_classifier_param_t *p) const { zv_offline_token_classifier_param_delete(p); }
};
struct ClassifierDeleter {
    void operator()(zv_offline_token_classifier_t *p) const { zv_offline_token_classifier_delete(p); }
};
struct FreeDeleter {
    void operator()(void *p) const { free(p); }
};
using Buffer = std::unique_ptr<int16_t, FreeDeleter>;

// A new heap buffer of count int16 values; count > 0.
int16_t *allocate_values(uint64_t count) {
    if (count > SIZE_MAX / sizeof(int16_t)) {
        return nullptr;
    }
    return static_cast<int16_t *>(malloc(static_cast<size_t>(count) * sizeof(int16_t)));
}

// Resets every layer when the call ends, however it ends.
struct ResetGuard {
    zv_offline_token_classifier_t *classifier;
    ~ResetGuard() {
        for (int32_t l = 0; l < classifier->num_layers; ++l) {
            zv_rnn_reset(classifier->forward[l]);
            zv_rnn_reset(classifier->backward[l]);
        }
    }
};

}  // namespace

extern "C" zv_status_t zv_offline_token_classifier_param_load2(FILE *file, const char *name, const char *version,
                                                               int32_t *extra,
                                                               zv_offline_token_classifier_param_t **param) {
    if (!param) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *param = nullptr;
    if (!file || !name || !version || !extra) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    std::unique_ptr<zv_offline_token_classifier_param_t, ParamDeleter> result(
        static_cast<zv_offline_token_classifier_param_t *>(calloc(1, sizeof(zv_offline_token_classifier_param_t))));
    if (!result) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    ZV_TRY(zv_param_read_tag(file, name, 0));
    ZV_TRY(zv_param_read_tag(file, version, 0));
    ZV_TRY(zv_param_read_i32(file, extra));
    int32_t levels = 0;
    ZV_TRY(zv_param_read_i32(file, &levels));
    if (levels <= 0) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    // The forward array grows as layers arrive, so that a hostile level count
    // in a short block can't claim a huge allocation, and the layers are read
    // in order until one fails (a bad count in a layer is refused as such,
    // whatever the level count claims). Once L forward layers were read, the
    // backward array of L entries is small against the bytes they took.
    int32_t capacity = 0;
    for (int32_t l = 0; l < levels; ++l) {
        if (l == capacity) {
            const int32_t grown = capacity == 0 ? (levels < 16 ? levels : 16)
                                                : (capacity > levels / 2 ? levels : 2 * capacity);
            void *grown_array = realloc(result->forward, static_cast<size_t>(grown) * sizeof(zv_rnn_param_t *));
            if (!grown_array) {
                return ZV_STATUS_OUT_OF_MEMORY;
            }
            result->forward = static_cast<zv_rnn_param_t **>(grown_array);
            memset(result->forward + capacity, 0, static_cast<size_t>(grown - capacity) * sizeof(zv_rnn_param_t *));
            capacity = grown;
        }
        ZV_TRY(zv_rnn_param_load(file, &result->forward[l]));
        result->num_layers = l + 1;
    }
    result->backward = static_cast<zv_rnn_param_t **>(calloc(static_cast<size_t>(levels), sizeof(zv_rnn_param_t *)));
    if (!result->backward) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    for (int32_t l = 0; l < levels; ++l) {
        ZV_TRY(zv_rnn_param_load(file, &result->backward[l]));
    }
    ZV_TRY(zv_fc_param_load(file, &result->output));
    int32_t language = 0;
    ZV_TRY(zv_param_read_i32(file, &language));
    if (!zv_language_is_valid(language)) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    result->language = language;
    *param = result.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_offline_token_classifier_param_load(const char *path, const char *name,
                                                              const char *version, int32_t *extra,
                                                              zv_offline_token_classifier_param_t **param) {
    if (!param) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *param = nullptr;
    if (!path || !name || !version || !extra) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    FILE *file = zv_fopen(path, "rb");
    if (!file) {
        return zv_fopen_failure();
    }
    const zv_status_t status = zv_offline_token_classifier_param_load2(file, name, version, extra, param);
    fclose(file);
    return status;
}

extern "C" void zv_offline_token_classifier_param_delete(zv_offline_token_classifier_param_t *param) {
    if (!param) {
        return;
    }
    zv_fc_param_delete(param->output);
    if (param->backward) {
        for (int32_t l = param->num_layers - 1; l >= 0; --l) {
            zv_rnn_param_delete(param->backward[l]);
        }
    }
    if (param->forward) {
        for (int32_t l = param->num_layers - 1; l >= 0; --l) {
            zv_rnn_param_delete(param->forward[l]);
        }
    }
    free(param->backward);
    free(param->forward);
    free(param);
}

namespace {

zv_status_t write_block(const zv_offline_token_classifier_param_t *param, const char *name, const char *version,
                        int32_t extra, FILE *file) {
    ZV_TRY(zv_param_write(file, name, strlen(name)));
    ZV_TRY(zv_param_write(file, version, strlen(version)));
    ZV_TRY(zv_param_write_i32(file, extra));
    ZV_TRY(zv_param_write_i32(file, param->num_layers));
    for (int32_t l = 0; l < param->num_layers; ++l) {
        ZV_TRY(zv_rnn_param_serialize(param->forward[l], file));
    }
    for (int32_t l = 0; l < param->num_layers; ++l) {
        ZV_TRY(zv_rnn_param_serialize(param->backward[l], file));
    }
    // The language follows whatever became of the output layer.
    const zv_status_t output = zv_fc_param_serialize(param->output, file);
    ZV_TRY(zv_param_write_i32(file, param->language));
    return output;
}

}  // namespace

extern "C" zv_status_t zv_offline_token_classifier_param_serialize(const zv_offline_token_classifier_param_t *param,
                                                                   const char *name, const char *version,
                                                                   int32_t extra, const char *path) {
    if (!param || !name || !version || !path) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    FILE *file = zv_fopen(path, "wb");
    if (!file) {
        return zv_fopen_failure();
    }
    zv_status_t status = write_block(param, name, version, extra, file);
    // Buffered bytes that can't be flushed are a failed write too.
    if (fclose(file) != 0 && status == ZV_STATUS_SUCCESS) {
        status = ZV_STATUS_IO_ERROR;
    }
    return status;
}

extern "C" int32_t zv_offline_token_classifier_param_input_width(const zv_offline_token_classifier_param_t *param) {
    return param->forward[0]->input->in;
}

extern "C" int32_t zv_offline_token_classifier_param_output_width(const zv_offline_token_classifier_param_t *param) {
    return param->output->out;
}

namespace {

// The widths fit together: each level's two layers alike and well formed,
// each level fed by the previous one's width, the output layer by the last.
bool widths_fit(const zv_offline_token_classifier_param_t *param, int32_t *max_hidden) {
    if (!param || param->num_layers <= 0 || !param->forward || !param->backward || !param->output) {
        return false;
    }
    int32_t previous = 0;
    int32_t widest = 0;
    for (int32_t l = 0; l < param->num_layers; ++l) {
        const zv_rnn_param_t *f = param->forward[l];
        const zv_rnn_param_t *b = param->backward[l];
        if (!zv_rnn_param_is_consistent(f) || !zv_rnn_param_is_consistent(b)) {
            return false;
        }
        const int32_t hidden = f->recurrent->in;
        if (b->recurrent->in != hidden || b->input->in != f->input->in) {
            return false;
        }
        if (l > 0 && f->input->in != previous) {
            return false;
        }
        previous = hidden;
        if (hidden > widest) {
            widest = hidden;
        }
    }
    const zv_fc_param_t *out = param->output;
    if (out->in != previous || out->out <= 0 || !out->weights || !out->bias) {
        return false;
    }
    *max_hidden = widest;
    return true;
}

}  // namespace

extern "C" zv_status_t zv_offline_token_classifier_init(zv_memory_t memory,
                                                        const zv_offline_token_classifier_param_t *param,
                                                        zv_offline_token_classifier_t **classifier) {
    if (!classifier) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *classifier = nullptr;
    int32_t max_hidden = 0;
    if (!widths_fit(param, &max_hidden)) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    std::unique_ptr<zv_offline_token_classifier_t, ClassifierDeleter> result(static_cast<zv_offline_token_classifier_t *>(
        zv_memory_allocate(memory, sizeof(zv_offline_token_classifier_t), 1)));
    if (!result) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    const int32_t levels = param->num_layers;
    const uint64_t array_bytes = static_cast<uint64_t>(levels) * sizeof(zv_rnn_t *);
    result->memory = memory;
    result->param = param;
    result->max_hidden = max_hidden;
    result->num_layers = levels;
    result->forward = static_cast<zv_rnn_t **>(zv_memory_allocate(memory, array_bytes, 1));
    if (!result->forward) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    for (int32_t l = 0; l < levels; ++l) {
        ZV_TRY(zv_rnn_init(memory, param->forward[l], &result->forward[l]));
    }
    result->backward = static_cast<zv_rnn_t **>(zv_memory_allocate(memory, array_bytes, 1));
    if (!result->backward) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    for (int32_t l = 0; l < levels; ++l) {
        ZV_TRY(zv_rnn_init(memory, param->backward[l], &result->backward[l]));
    }
    ZV_TRY(zv_fc_init(memory, param->output, 0, &result->output));
    ZV_TRY(zv_softmax_init(memory, param->output->out, &result->softmax));
    *classifier = result.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_offline_token_classifier_delete(zv_offline_token_classifier_t *classifier) {
    if (!classifier) {
        return;
    }
    const zv_memory_t memory = classifier->memory;
    zv_softmax_delete(classifier->softmax);
    zv_fc_delete(classifier->output);
    if (classifier->backward) {
        for (int32_t l = classifier->num_layers - 1; l >= 0; --l) {
            zv_rnn_delete(classifier->backward[l]);
        }
        zv_memory_free(memory, classifier->backward);
    }
    if (classifier->forward) {
        for (int32_t l = classifier->num_layers - 1; l >= 0; --l) {
            zv_rnn_delete(classifier->forward[l]);
        }
        zv_memory_free(memory, classifier->forward);
    }
    zv_memory_free(memory, classifier);
}

extern "C" zv_status_t zv_offline_token_classifier_process(zv_offline_token_classifier_t *classifier,
                                                           const int16_t *features, int32_t T,
                                                           int32_t *probabilities) {
    if (!classifier || T < 0 || (T > 0 && (!features || !probabilities))) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    if (T == 0) {
        return ZV_STATUS_SUCCESS;
    }
    ResetGuard reset{classifier};
    const zv_offline_token_classifier_param_t *param = classifier->param;
    const size_t frames = static_cast<size_t>(T);
    const size_t widest = static_cast<size_t>(classifier->max_hidden);
    const size_t classes = static_cast<size_t>(param->output->out);

    // Input-layer products of a chunk of frames (then the steps' work
    // vectors), the backward scratch and a chunk of output rows.
    Buffer z(allocate_values(static_cast<uint64_t>(kChunk) * 3u * widest));
    Buffer scratch(allocate_values(widest));
    Buffer rows(allocate_values(static_cast<uint64_t>(kChunk) * classes));
    if (!z || !scratch || !rows) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }

    Buffer previous;  // the previous level's output; the caller's features are never freed
    const int16_t *in_rows = features;
    size_t in_width = static_cast<size_t>(param->forward[0]->input->in);
    for (int32_t l = 0; l < classifier->num_layers; ++l) {
        const zv_fc_t *fwd_in = zv_rnn_input_layer(classifier->forward[l]);
        const zv_fc_t *bwd_in = zv_rnn_input_layer(classifier->backward[l]);
        const size_t hidden = static_cast<size_t>(param->forward[l]->recurrent->in);
        const size_t gates = 3 * hidden;
        Buffer out(allocate_values(static_cast<uint64_t>(frames) * hidden));
        if (!out) {
            return ZV_STATUS_OUT_OF_MEMORY;
        }
        int16_t *out_rows = out.get();

        for (size_t t0 = 0; t0 < frames; t0 += kChunk) {
            const size_t n = frames - t0 < kChunk ? frames - t0 : kChunk;
            zv_fc_process_batch(fwd_in, n, in_rows + t0 * in_width, in_width, z.get(), gates);
            for (size_t k = 0; k < n; ++k) {
                zv_rnn_step(classifier->forward[l], z.get() + k * gates, out_rows + (t0 + k) * hidden);
            }
        }
        for (size_t t1 = frames; t1 > 0;) {
            const size_t n = t1 < kChunk ? t1 : kChunk;
            const size_t t0 = t1 - n;
            zv_fc_process_batch(bwd_in, n, in_rows + t0 * in_width, in_width, z.get(), gates);
            for (size_t k = n; k-- > 0;) {
                zv_rnn_step(classifier->backward[l], z.get() + k * gates, scratch.get());
                int16_t *row = out_rows + (t0 + k) * hidden;
                for (size_t j = 0; j < hidden; ++j) {
                    const int32_t sum = static_cast<int32_t>(row[j]) + scratch.get()[j];
                    row[j] = static_cast<int16_t>(sum > 32767 ? 32767 : (sum < -32768 ? -32768 : sum));
                }
            }
            t1 = t0;
        }
        previous = std::move(out);
        in_rows = previous.get();
        in_width = hidden;
    }

    for (size_t t0 = 0; t0 < frames; t0 += kChunk) {
        const size_t n = frames - t0 < kChunk ? frames - t0 : kChunk;
        zv_fc_process_batch(classifier->output, n, in_rows + t0 * in_width, in_width, rows.get(), classes);
        for (size_t k = 0; k < n; ++k) {
            zv_softmax_process(classifier->softmax, rows.get() + k * classes, probabilities + (t0 + k) * classes);
        }
    }
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_language_t zv_offline_token_classifier_language(const zv_offline_token_classifier_t *classifier) {
    return classifier->param->language;
}
