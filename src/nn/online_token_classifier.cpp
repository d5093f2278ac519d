// Online token classifier and its parameter block.
#include "nn/online_token_classifier.h"

#include <stdlib.h>
#include <string.h>

#include "foundation/file.h"
#include "nn/param_io.h"
#include "nn/softmax.h"

struct zv_online_token_classifier {
    zv_memory_t memory;
    const zv_online_token_classifier_param_t *param;
    zv_rnn_t **layers;
    zv_fc_t *output;
    zv_softmax_t *softmax;
    int32_t frame_width;  // the widest level's hidden width
};

namespace {

zv_status_t read_block(FILE *file, const char *name, const char *version, int32_t *extra,
                       zv_online_token_classifier_param_t *p) {
    ZV_TRY(zv_param_read_tag(file, name, 0));
    ZV_TRY(zv_param_read_tag(file, version, 1));
    ZV_TRY(zv_param_read_i32(file, extra));
    int32_t count = 0;
    ZV_TRY(zv_param_read_i32(file, &count));
    if (count <= 0) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    // The array grows as layers arrive, so that a hostile count in a short
    // block can't claim a huge allocation.
    int32_t capacity = 0;
    for (int32_t l = 0; l < count; ++l) {
        if (l == capacity) {
            const int32_t grown = capacity == 0 ? (count < 16 ? count : 16)
                                                : (capacity > count / 2 ? count : 2 * capacity);
            void *layers = realloc(p->layers, static_cast<size_t>(grown) * sizeof(zv_rnn_param_t *));
            if (layers == nullptr) {
                return ZV_STATUS_OUT_OF_MEMORY;
            }
            p->layers = static_cast<zv_rnn_param_t **>(layers);
            memset(p->layers + capacity, 0, static_cast<size_t>(grown - capacity) * sizeof(zv_rnn_param_t *));
            capacity = grown;
        }
        ZV_TRY(zv_rnn_param_load(file, &p->layers[l]));
        p->num_layers = l + 1;
    }
    ZV_TRY(zv_fc_param_load(file, &p->output));
    int32_t language = 0;
    ZV_TRY(zv_param_read_i32(file, &language));
    if (!zv_language_is_valid(language)) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    p->language = language;
    return ZV_STATUS_SUCCESS;
}

zv_status_t write_block(FILE *file, const zv_online_token_classifier_param_t *p, const char *name,
                        const char *version, int32_t extra) {
    ZV_TRY(zv_param_write(file, name, strlen(name)));
    ZV_TRY(zv_param_write(file, version, strlen(version)));
    ZV_TRY(zv_param_write_i32(file, extra));
    ZV_TRY(zv_param_write_i32(file, p->num_layers));
    for (int32_t l = 0; l < p->num_layers; ++l) {
        ZV_TRY(zv_rnn_param_serialize(p->layers[l], file));
    }
    // The language follows even when the output layer could not be written.
    const zv_status_t output = zv_fc_param_serialize(p->output, file);
    ZV_TRY(zv_param_write_i32(file, p->language));
    return output;
}

// Every count above zero and the widths chained: level l's gates are 3H_l,
// level l + 1 reads H_l values and the output layer reads the last level's.
bool widths_fit(const zv_online_token_classifier_param_t *p, int32_t *widest) {
    if (p->num_layers <= 0 || p->layers == nullptr || p->output == nullptr) {
        return false;
    }
    int32_t previous = 0;
    *widest = 0;
    for (int32_t l = 0; l < p->num_layers; ++l) {
        const zv_rnn_param_t *layer = p->layers[l];
        if (!zv_rnn_param_is_consistent(layer)) {
            return false;
        }
        if (l > 0 && layer->input->in != previous) {
            return false;
        }
        previous = zv_rnn_param_hidden_width(layer);
        if (previous > *widest) {
            *widest = previous;
        }
    }
    return p->output->in == previous && p->output->out > 0;
}

}  // namespace

extern "C" zv_status_t zv_online_token_classifier_param_load2(FILE *file, const char *name, const char *version,
                                                              int32_t *extra,
                                                              zv_online_token_classifier_param_t **param) {
    if (param == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *param = nullptr;
    if (file == nullptr || name == nullptr || version == nullptr || extra == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    zv_online_token_classifier_param_t *p =
        static_cast<zv_online_token_classifier_param_t *>(calloc(1, sizeof(zv_online_token_classifier_param_t)));
    if (p == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    const zv_status_t status = read_block(file, name, version, extra, p);
    if (status != ZV_STATUS_SUCCESS) {
        zv_online_token_classifier_param_delete(p);
        return status;
    }
    *param = p;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_online_token_classifier_param_load(const char *path, const char *name,
                                                             const char *version, int32_t *extra,
                                                             zv_online_token_classifier_param_t **param) {
    if (param == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *param = nullptr;
    if (path == nullptr || name == nullptr || version == nullptr || extra == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    FILE *file = zv_fopen(path, "rb");
    if (file == nullptr) {
        return zv_fopen_failure();
    }
    const zv_status_t status = zv_online_token_classifier_param_load2(file, name, version, extra, param);
    fclose(file);
    return status;
}

extern "C" void zv_online_token_classifier_param_delete(zv_online_token_classifier_param_t *param) {
    if (param == nullptr) {
        return;
    }
    zv_fc_param_delete(param->output);
    if (param->layers != nullptr) {
        for (int32_t l = param->num_layers - 1; l >= 0; --l) {
            zv_rnn_param_delete(param->layers[l]);
        }
    }
    free(param->layers);
    free(param);
}

extern "C" zv_status_t zv_online_token_classifier_param_serialize(const zv_online_token_classifier_param_t *param,
                                                                  const char *name, const char *version,
                                                                  int32_t extra, const char *path) {
    if (param == nullptr || name == nullptr || version == nullptr || path == nullptr ||
        param->num_layers <= 0 || param->layers == nullptr || param->output == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    for (int32_t l = 0; l < param->num_layers; ++l) {
        const zv_rnn_param_t *layer = param->layers[l];
        if (layer == nullptr || layer->input == nullptr || layer->recurrent == nullptr) {
            return ZV_STATUS_INVALID_ARGUMENT;
        }
    }
    FILE *file = zv_fopen(path, "wb");
    if (file == nullptr) {
        return zv_fopen_failure();
    }
    zv_status_t status = write_block(file, param, name, version, extra);
    // A failed close may have lost buffered bytes.
    if (fclose(file) != 0 && status == ZV_STATUS_SUCCESS) {
        status = ZV_STATUS_IO_ERROR;
    }
    return status;
}

extern "C" zv_status_t zv_online_token_classifier_init(zv_memory_t memory,
                                                       const zv_online_token_classifier_param_t *param,
                                                       zv_online_token_classifier_t **classifier) {
    if (classifier == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *classifier = nullptr;
    int32_t widest = 0;
    if (param == nullptr || !widths_fit(param, &widest)) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    zv_online_token_classifier_t *c = static_cast<zv_online_token_classifier_t *>(
        zv_memory_allocate(memory, sizeof(zv_online_token_classifier_t), 1));
    if (c == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    c->memory = memory;
    c->param = param;
    c->frame_width = widest;
    c->layers = static_cast<zv_rnn_t **>(
        zv_memory_allocate(memory, static_cast<uint64_t>(param->num_layers) * sizeof(zv_rnn_t *), 1));
    zv_status_t status = c->layers != nullptr ? ZV_STATUS_SUCCESS : ZV_STATUS_OUT_OF_MEMORY;
    for (int32_t l = 0; l < param->num_layers && status == ZV_STATUS_SUCCESS; ++l) {
        status = zv_rnn_init(memory, param->layers[l], &c->layers[l]);
    }
    if (status == ZV_STATUS_SUCCESS) {
        status = zv_fc_init(memory, param->output, 0, &c->output);
    }
    if (status == ZV_STATUS_SUCCESS) {
        status = zv_softmax_init(memory, param->output->out, &c->softmax);
    }
    if (status != ZV_STATUS_SUCCESS) {
        zv_online_token_classifier_delete(c);
        return status;
    }
    *classifier = c;
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_online_token_classifier_delete(zv_online_token_classifier_t *classifier) {
    if (classifier == nullptr) {
        return;
    }
    zv_softmax_delete(classifier->softmax);
    zv_fc_delete(classifier->output);
    if (classifier->layers != nullptr) {
        for (int32_t l = classifier->param->num_layers - 1; l >= 0; --l) {
            zv_rnn_delete(classifier->layers[l]);
        }
    }
    zv_memory_free(classifier->memory, classifier->layers);
    zv_memory_free(classifier->memory, classifier);
}

extern "C" zv_status_t zv_online_token_classifier_process(zv_online_token_classifier_t *classifier,
                                                          const int16_t *frame, int32_t *probabilities) {
    if (classifier == nullptr || frame == nullptr || probabilities == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const zv_memory_t memory = classifier->memory;
    // One buffer carries every level's output in turn, so it holds the
    // widest level.
    int16_t *buffer = static_cast<int16_t *>(
        zv_memory_allocate(memory, static_cast<uint64_t>(classifier->frame_width) * sizeof(int16_t), 0));
    if (buffer == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    const int32_t levels = classifier->param->num_layers;
    for (int32_t l = 0; l < levels; ++l) {
        const zv_status_t status = zv_rnn_process(classifier->layers[l], l == 0 ? frame : buffer, buffer);
        if (status != ZV_STATUS_SUCCESS) {
            zv_memory_free(memory, buffer);
            return status;
        }
    }
    int16_t *row = static_cast<int16_t *>(
        zv_memory_allocate(memory, static_cast<uint64_t>(classifier->param->output->out) * sizeof(int16_t), 0));
    if (row == nullptr) {
        zv_memory_free(memory, buffer);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    zv_fc_process(classifier->output, buffer, row);
    zv_softmax_process(classifier->softmax, row, probabilities);
    zv_memory_free(memory, row);
    zv_memory_free(memory, buffer);
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_online_token_classifier_reset(zv_online_token_classifier_t *classifier) {
    if (classifier == nullptr) {
        return;
    }
    for (int32_t l = 0; l < classifier->param->num_layers; ++l) {
        zv_rnn_reset(classifier->layers[l]);
    }
}

extern "C" zv_language_t zv_online_token_classifier_language(const zv_online_token_classifier_t *classifier) {
    return classifier->param->language;
}
