#include "lm/graph_dot.h"

#include <stdlib.h>

#include <new>
#include <vector>

#include "foundation/file.h"
#include "foundation/status.h"
#include "foundation/strings.h"
#include "pronunciation/lexicon.h"

namespace {

// The root's label in a neighbourhood drawn from a word sequence.
constexpr const char *kRootLabel = "پدر";

// Closes the file and reports whether everything written reached it.
// A buffered write to a full disk may fail only at the close.
zv_status_t finish(FILE *file, zv_status_t status) {
    const bool failed = ferror(file) != 0;
    const bool closed = fclose(file) == 0;
    if (status != ZV_STATUS_SUCCESS) return status;
    return failed || !closed ? ZV_STATUS_IO_ERROR : ZV_STATUS_SUCCESS;
}

void node_line(FILE *file, int32_t state, const char *label) {
    if (label) {
        fprintf(file, "    s%d [label=\"%s\"]\n", state, label);
    } else {
        fprintf(file, "    s%d [label=\"%d\"]\n", state, state);
    }
}

// One state's neighbourhood in preorder: each arc, then below a phone state
// its own neighbourhood, below a final state nothing but its node line. The
// walk keeps, per open phone state, the arc it is at: a pronunciation may be
// of any length.
zv_status_t write_neighbourhood(const zv_graph_t *graph, FILE *file, const char *const *names, int32_t state,
                                const char *label) {
    struct Frame {
        int32_t state;
        int32_t arc;  // last arc written, -1 before the first
    };
    std::vector<Frame> stack;
    node_line(file, state, label);
    stack.push_back({state, -1});
    while (!stack.empty()) {
        Frame &top = stack.back();
        const int32_t a = zv_graph_state_arc(graph, top.state, top.arc);
        if (a == -1) {
            stack.pop_back();
            continue;
        }
        top.arc = a;
        const int32_t s = top.state;
        const int32_t t = zv_graph_state(graph, a);
        const int32_t n = zv_graph_input(graph, a);
        const char *text = n >= 1 ? names[n - 1] : "";
        const float x = zv_graph_weight(graph, a);
        if (x != 0.0f) {
            fprintf(file, "    s%d->s%d [label=\"%s/%s\"]\n", s, t, text, zv_fixed_text(x, 1).text);
        } else {
            fprintf(file, "    s%d->s%d [label=\"%s\"]\n", s, t, text);
        }
        if (!zv_graph_is_final(graph, t)) {
            node_line(file, t, "");
            stack.push_back({t, -1});
            continue;
        }
        const int32_t o = zv_graph_output(graph, a);
        node_line(file, t, o >= 1 ? zv_graph_word(graph, o) : nullptr);
    }
    return ferror(file) ? ZV_STATUS_IO_ERROR : ZV_STATUS_SUCCESS;
}

// A whole file of one state's neighbourhood.
zv_status_t write_focal(const zv_graph_t *graph, const char *path, const char *const *names, int32_t state,
                        const char *label) {
    FILE *file = fopen(path, "w");
    if (!file) return zv_fopen_failure();
    fputs("digraph zv_graph {\n", file);
    zv_status_t status = zv_graph_create_focal_dot_helper(graph, file, names, state, label);
    if (status == ZV_STATUS_SUCCESS) fputs("}\n", file);
    return finish(file, status);
}

bool valid_state(const zv_graph_t *graph, int32_t state) {
    return state >= 0 && state < zv_graph_num_states(graph);
}

}  // namespace

extern "C" zv_status_t zv_graph_create_dot(const zv_graph_t *graph, const char *path) {
    if (!graph || !path) return ZV_STATUS_INVALID_ARGUMENT;
    FILE *file = zv_fopen(path, "w");
    if (!file) return zv_fopen_failure();
    fputs("digraph zv_graph {\n", file);
    const int32_t num_states = zv_graph_num_states(graph);
    for (int32_t i = 0; i < num_states; ++i) {
        fprintf(file, "s%d [label=\"%s\"]\n", i, zv_graph_is_final(graph, i) ? "F" : "");
        for (int32_t a = zv_graph_state_arc(graph, i, -1); a != -1; a = zv_graph_state_arc(graph, i, a)) {
            const int32_t t = zv_graph_state(graph, a);
            const int32_t n = zv_graph_input(graph, a);
            const int32_t o = zv_graph_output(graph, a);
            const float w = zv_graph_weight(graph, a);
            if (w != 0.0f) {
                fprintf(file, "   s%d->s%d [label=\"%d/%s/%s\"]\n", i, t, n, o >= 1 ? zv_graph_word(graph, o) : "",
                        zv_fixed_text(w, 1).text);
            } else {
                fprintf(file, "   s%d->s%d [label=\"%d/\"]\n", i, t, n);
            }
        }
    }
    fputs("}\n", file);
    return finish(file, ZV_STATUS_SUCCESS);
}

extern "C" zv_status_t zv_graph_create_focal_dot(const zv_graph_t *graph, const char *path, const zv_mgram_t *mgram,
                                                 const char *const *names, const char *const *words, int32_t count) {
    if (!graph || !path || !mgram || !names || (count > 0 && !words)) return ZV_STATUS_INVALID_ARGUMENT;
    int32_t state = 0;
    if (count > 0) {
        try {
            std::vector<int32_t> ids(static_cast<size_t>(count));
            for (int32_t i = 0; i < count; ++i) {
                if (!words[i]) return ZV_STATUS_INVALID_ARGUMENT;
                ids[static_cast<size_t>(i)] = zv_lexicon_encode(graph->lexicon, words[i]);
                if (ids[static_cast<size_t>(i)] < 0) return ZV_STATUS_INVALID_ARGUMENT;
            }
            state = zv_mgram_index(mgram, ids.data(), count);
        } catch (const std::bad_alloc &) {
            return ZV_STATUS_OUT_OF_MEMORY;
        }
    }
    // Not a path of the model, or a model other than the graph's.
    if (!valid_state(graph, state)) return ZV_STATUS_INVALID_ARGUMENT;
    return write_focal(graph, path, names, state, kRootLabel);
}

extern "C" zv_status_t zv_graph_create_focal_dot_from_state(const zv_graph_t *graph, const char *path, const void *,
                                                            const char *const *names, int32_t state) {
    if (!graph || !path || !names || !valid_state(graph, state)) return ZV_STATUS_INVALID_ARGUMENT;
    return write_focal(graph, path, names, state, nullptr);
}

extern "C" zv_status_t zv_graph_create_focal_dot_helper(const zv_graph_t *graph, FILE *file, const char *const *names,
                                                        int32_t state, const char *label) {
    if (!graph || !file || !names || !valid_state(graph, state)) return ZV_STATUS_INVALID_ARGUMENT;
    try {
        return write_neighbourhood(graph, file, names, state, label);
    } catch (const std::bad_alloc &) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
}
