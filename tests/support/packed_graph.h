// Decoding graphs for tests packed straight from a list of arcs, for shapes
// that no language model builds (or before one is at hand): each state's arcs
// keep the order of the list. The record is filled as the loader fills it and
// released with zv_graph_delete.
#ifndef ZV_TESTS_SUPPORT_PACKED_GRAPH_H
#define ZV_TESTS_SUPPORT_PACKED_GRAPH_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "foundation/bit_field.h"
#include "lm/graph.h"
#include "support/pronunciation_fixtures.h"

namespace zv_test {

struct PackedArc {
    int32_t source;
    int32_t input;   // phoneme id, 0 for epsilon
    int32_t output;  // word label (word id + 1), 0 for none
    int8_t weight;   // eighths of a decade
    int32_t target;
};

struct PackedGraphDeleter {
    void operator()(zv_graph_t *graph) const { zv_graph_delete(graph); }
};
using PackedGraphPtr = std::unique_ptr<zv_graph_t, PackedGraphDeleter>;

// States 0 to num_states - 1, final where `finals` says 1; words are the
// lexicon (sorted strictly increasing) whose labels the arcs carry.
inline PackedGraphPtr pack_graph(int32_t num_states, const std::vector<uint8_t> &finals,
                                 const std::vector<PackedArc> &arcs, const std::vector<std::string> &words,
                                 int32_t phoneme_set_size) {
    auto width = [](int64_t n) { return static_cast<int32_t>(std::ceil(std::log2(static_cast<double>(n)) + 1.0)); };
    auto exact = [](int64_t n) { return std::max(1, static_cast<int32_t>(std::ceil(std::log2(static_cast<double>(n) + 1.0)))); };
    auto fields = [](int64_t n, int32_t bits) {
        return static_cast<uint32_t *>(std::calloc(static_cast<size_t>(zv_bit_field_size_uint32(static_cast<uint64_t>(n), bits)) + 1, 4));
    };
    const int32_t a = static_cast<int32_t>(arcs.size());
    zv_graph_t *g = static_cast<zv_graph_t *>(std::calloc(1, sizeof(zv_graph_t)));
    g->state_bits = width(num_states);
    g->arc_bits = a > 0 ? width(a) : 1;
    g->num_states = num_states;
    g->num_arcs = a;
    g->input_bits = exact(phoneme_set_size);
    g->output_bits = exact(static_cast<int64_t>(words.size()));
    g->final_flags = fields(num_states, 1);
    g->first_arc = fields(num_states, g->arc_bits);
    g->input_labels = fields(a, g->input_bits);
    g->output_labels = fields(a, g->output_bits);
    g->weights = static_cast<int8_t *>(std::calloc(static_cast<size_t>(a) + 1, 1));
    g->targets = fields(a, g->state_bits);
    g->next_arc = fields(a, g->arc_bits);
    g->lexicon = make_lexicon(words).release();
    for (int32_t s = 0; s < num_states; ++s) zv_bit_field_write(g->final_flags, static_cast<uint64_t>(s), 1, finals[static_cast<size_t>(s)]);
    std::vector<int32_t> last(static_cast<size_t>(num_states), -1);
    for (int32_t i = 0; i < a; ++i) {
        const PackedArc &arc = arcs[static_cast<size_t>(i)];
        zv_bit_field_write(g->input_labels, static_cast<uint64_t>(i), g->input_bits, static_cast<uint32_t>(arc.input));
        zv_bit_field_write(g->output_labels, static_cast<uint64_t>(i), g->output_bits, static_cast<uint32_t>(arc.output));
        g->weights[i] = arc.weight;
        zv_bit_field_write(g->targets, static_cast<uint64_t>(i), g->state_bits, static_cast<uint32_t>(arc.target));
        int32_t &tail = last[static_cast<size_t>(arc.source)];
        if (tail < 0) {
            zv_bit_field_write(g->first_arc, static_cast<uint64_t>(arc.source), g->arc_bits, static_cast<uint32_t>(i + 1));
        } else {
            zv_bit_field_write(g->next_arc, static_cast<uint64_t>(tail), g->arc_bits, static_cast<uint32_t>(i + 1));
        }
        tail = i;
    }
    return PackedGraphPtr(g);
}

}  // namespace zv_test

#endif
