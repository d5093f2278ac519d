// The beam-search decoder: turns a stream of per-frame phoneme scores into
// words by token passing over a decoding graph.
//
// Each zv_decoder_process call consumes one frame of int16 Q10 log scores
// (index 0 the blank, index n the phoneme with input label n; one entry for
// every input label of the graph). Tokens move along phone arcs, stay on
// their phoneme or on the blank, cross word and backoff arcs within the
// frame, and are pruned by a beam around the best cost and by a cap on their
// number. Costs are single-precision, lower is better: the sum of
// -score * 2^-10 over the frames plus weight_scale times the graph weights of
// the arcs passed.
//
// Words every surviving path agrees on come out as text after each frame;
// zv_decoder_flush gives the rest of the best complete path. Texts are heap
// blocks released with free. The graph is only read: decoders on different
// threads may share it; one decoder serves one thread at a time.
//
// A token lives while a token made from it does, so the surviving paths keep
// their whole history, back to the start of the stream: a token or two a
// frame (48 bytes each, in pages of 32 * max_active) and a word-tree branch a
// word, some 60 to 100 bytes a frame, until zv_decoder_reset releases them.
// That is the design (the flushed text is read from that history), not a
// leak; a stream of unbounded length is reset between utterances. What a
// frame costs in time does not grow with the history.
#ifndef ZV_LM_DECODER_H
#define ZV_LM_DECODER_H

#include <stdint.h>

#include "lm/containers.h"
#include "lm/graph.h"
#include "lm/word_tree.h"
#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_decoder_t {
    const zv_graph_t *graph;  // not owned
    float beam;               // width of the beam in cost units
    int32_t max_active;       // cap on the tokens kept after a frame
    float weight_scale;       // factor on every graph weight
    zv_pool_t *token_pool;    // 32 * max_active tokens per page
    zv_map_t *active;         // tokens by (state, flag); max_active buckets
    zv_stack_t *stack;        // work list of the epsilon closure
    zv_heap_t *heap;          // capacity max_active, for the cap
    zv_tree_t *tree;          // the paths' word histories
    int32_t frame;            // frames processed since creation or reset
} zv_decoder_t;

// *decoder is set to NULL first. INVALID_ARGUMENT for a NULL graph or out
// pointer, max_active below 1 or with a token page (32 * max_active) beyond
// int32, a NaN or negative beam, or a NaN or infinite weight scale (0 and
// negative scales are taken);
// OUT_OF_MEMORY when a member or the start token can't be made (nothing is
// left allocated). max_active should be a power of two for the map to use
// all its buckets. Beside its members a decoder keeps 2 bits per graph state
// (which states have an epsilon arc, learnt as the closure meets them), the
// closure's current path (16 bytes for each token of the longest chain of
// word and backoff arcs a frame has crossed, at least 16) and a table of the
// first arcs of states it expanded lately: 512 bytes for each of
// 2 * max_active states (at least 16, at most 8,192: 4 MB), filled as it goes.
// A graph whose phone set has 2^23 phonemes or more gets no table: its arcs
// are read from the graph each time (any label width decodes alike).
zv_status_t zv_decoder_init(const zv_graph_t *graph, float beam, int32_t max_active, float weight_scale,
                            zv_decoder_t **decoder);

// Advances by one frame. Within the frame, word and backoff arcs are
// followed from every token as long as they make a token cheaper, but for a
// step that comes back to a state already on its own path within the frame
// at a lower cost than that earlier visit (the float costs compared): a
// cycle that would make tokens cheaper lap after lap is cut where it first
// closes. Those are the cycles whose weights, summed and times the weight
// scale, come below 0 (under a negative scale, those of positive weight), and
// any other that rounding makes a little cheaper, such as one of weight 0; at
// a scale of 0 a lap costs exactly nothing and none is cut. Telling such a
// return costs the same however long the path. With a text pointer, *text is
// set to the words that became certain in this frame, each followed by one
// space ("" when none). OUT_OF_MEMORY leaves the frame unfinished (the frame
// counter advanced, *text NULL); then only zv_decoder_reset and
// zv_decoder_delete may follow.
zv_status_t zv_decoder_process(zv_decoder_t *decoder, const int16_t *scores, char **text);

// The words of the best token on a final state not yet reported, joined by
// single spaces ("" when there is none). Changes nothing.
zv_status_t zv_decoder_flush(const zv_decoder_t *decoder, char **text);

// Back to the state after zv_decoder_init, releasing every token (those a
// failed frame left on the closure's stack too). On failure the decoder may
// only be deleted (or reset again): process and flush then give INVALID_STATE.
zv_status_t zv_decoder_reset(zv_decoder_t *decoder);

// Releases every token and branch and the decoder; NULL is accepted.
void zv_decoder_delete(zv_decoder_t *decoder);

#ifdef __cplusplus
}
#endif

#endif
