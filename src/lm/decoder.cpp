#include "lm/decoder.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "foundation/status.h"
#include "lm/graph_fields.h"
#include "lm/node.h"

namespace {

constexpr float kNoCost = 3.4028235e38f;        // the largest float: no cost found yet
constexpr float kScoreScale = 0.0009765625f;    // 2^-10: Q10 scores to log scores
constexpr int64_t kTokensPerActive = 32;        // token pool page: 32 * max_active

// The decoder handed out, with what it keeps beside its record: which states
// have an epsilon arc, learnt on the first visit (2 bits a state: 0 not yet
// known, 1 yes, 2 no, 3 yes and on the closure's current chain; see
// close_epsilon). Most tokens of a frame sit inside a pronunciation, on
// states with phone arcs only, and the closure would walk all their arcs to
// find none; the graph is fixed, so the answer holds for the decoder's life.
constexpr uint8_t kEpsilonUnknown = 0;
constexpr uint8_t kEpsilon = 1;
constexpr uint8_t kNoEpsilon = 2;
constexpr uint8_t kEpsilonOnChain = 3;

struct ArcEntry;
struct Batch;

// A token of the closure's current chain (see close_epsilon), kept by value:
// the token itself may be released while the entry stands, and is then only
// compared, never read. Its slot can't have gone to the parent that a popped
// token looks for: that parent was alive, beside every token on the path,
// when the path last grew, and has been since.
struct ChainEntry {
    const zv_node_t *token;
    int32_t state;
    bool marked;  // this entry set its state's cell to kEpsilonOnChain
};

constexpr int32_t kFirstChainCapacity = 16;

// Widest input label that an arc carries packed with its weight byte in one
// int32 (input << 8 | weight, kept positive). Graphs with wider labels (a
// phone set of 2^23 or more) take the plain path: the label alone, the weight
// read from the graph, and no arc table.
constexpr int32_t kPackedInputBits = 23;

struct DecoderRecord {
    zv_decoder_t decoder;  // first: the pointer handed out points here
    uint8_t *epsilon;      // ceil(states / 4) bytes
    // The first arcs of the states expanded lately (see expand), and the
    // expansion's work space; the table is NULL for a graph whose input
    // labels need more than kPackedInputBits bits.
    ArcEntry *arc_table;   // arc_table_mask + 1 entries, aligned in arc_table_block
    void *arc_table_block;
    int32_t arc_table_mask;
    Batch *batch;
    // The closure's current chain, root first; chain_root_* keep the root's
    // key and cost once its token may be gone.
    ChainEntry *chain;
    int32_t chain_size;
    int32_t chain_capacity;
    float chain_root_cost;
    uint8_t chain_root_flag;
};

inline DecoderRecord *record_of(zv_decoder_t *d) { return reinterpret_cast<DecoderRecord *>(d); }

inline uint8_t epsilon_cell(const DecoderRecord *rec, int32_t state) {
    return static_cast<uint8_t>((rec->epsilon[static_cast<uint32_t>(state) >> 2] >> ((state & 3) * 2)) & 3u);
}

inline void set_epsilon_cell(DecoderRecord *rec, int32_t state, uint8_t value) {
    uint8_t &cell = rec->epsilon[static_cast<uint32_t>(state) >> 2];
    const int shift = (state & 3) * 2;
    cell = static_cast<uint8_t>((cell & ~(3u << shift)) | static_cast<unsigned>(value) << shift);
}

bool has_epsilon_arc(zv_decoder_t *d, int32_t state) {
    DecoderRecord *rec = record_of(d);
    uint8_t known = epsilon_cell(rec, state);
    if (known == kEpsilonUnknown) {
        known = kNoEpsilon;
        for (int32_t a = zv_graph_first_arc_of(d->graph, state); a >= 0; a = zv_graph_next_arc_of(d->graph, a)) {
            if (zv_graph_input_of(d->graph, a) == 0) {
                known = kEpsilon;
                break;
            }
        }
        set_epsilon_cell(rec, state, known);
    }
    return known != kNoEpsilon;
}

inline float score_of(const int16_t *scores, int32_t label) {
    return static_cast<float>(scores[label]) * kScoreScale;
}

inline void raise_time(zv_branch_t *branch, int32_t frame) {
    if (branch->time < frame) branch->time = frame;
}

// The candidate (state, flag, cost) made from `parent` by `arc` in a frame
// step, kept in `next` unless a token there is at least as cheap.
zv_status_t relax(zv_decoder_t *d, zv_map_t *next, int32_t state, uint8_t flag, float cost, int32_t arc,
                  zv_node_t *parent) {
    zv_node_t *held = nullptr;
    const float bar = zv_map_find(next, state, flag, &held) == ZV_STATUS_SUCCESS ? held->cost : kNoCost;
    if (!(cost < bar)) return ZV_STATUS_SUCCESS;
    zv_branch_t *branch = parent->branch;
    raise_time(branch, d->frame);
    branch->reference_count += 1;
    zv_node_t *token = zv_node_init(d->token_pool, parent, arc, state, cost, branch, parent->depth + 1, flag);
    if (!token) {
        branch->reference_count -= 1;  // the parent still holds it
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    if (zv_map_insert(next, token) != ZV_STATUS_SUCCESS) {
        zv_node_delete(token);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    return ZV_STATUS_SUCCESS;
}

// Expansion walks tokens in batches. A state's arcs form a linked list
// spread over the whole graph, so walking one list is a chain of cache
// misses, each waiting for the last, and every arc's fields lie in four
// arrays more. The lists of a batch's tokens are walked side by side (their
// misses overlap) up to kArcsAhead arcs a token (a longer list goes on from
// where that stopped), and the arcs found are then expanded token by token
// in the map's order, as one walk would. The first kCachedArcs arcs of each
// state walked (enough for every arc of a state over a set of 39 phonemes,
// backoff arc included) are kept, fields together, in a table indexed by the
// state: tokens dwell on a state for frames, and the states near the roots
// of the pronunciation trees are visited over and over, so a batch mostly
// reads a state's arcs from a few adjacent cache lines.
constexpr int32_t kBatch = 64;
constexpr int32_t kArcsAhead = 41;
constexpr int32_t kCachedArcs = 41;
constexpr int32_t kCacheEntriesPerActive = 2;
constexpr int32_t kMostCacheEntries = 1 << 13;  // 4 MB
static_assert(kArcsAhead >= kCachedArcs, "an entry is filled from one gathering");

// An arc as the expansion reads it. kWide, in what follows: the graph's
// input labels need more than kPackedInputBits bits.
struct Arc {
    int32_t arc;
    int32_t target;
    int32_t label;  // input << 8 | the weight byte; with kWide the input alone
};

template <bool kWide>
inline Arc read_arc(const zv_graph_t *g, int32_t a) {
    const uint32_t input = static_cast<uint32_t>(zv_graph_input_of(g, a));
    if (kWide) return {a, zv_graph_target_of(g, a), static_cast<int32_t>(input)};
    return {a, zv_graph_target_of(g, a), static_cast<int32_t>(input << 8 | static_cast<uint8_t>(g->weights[a]))};
}

template <bool kWide>
inline int32_t input_of(const Arc &a) {
    return kWide ? a.label : a.label >> 8;
}

template <bool kWide>
inline int8_t weight_byte_of(const zv_graph_t *g, const Arc &a) {
    return kWide ? g->weights[a.arc] : static_cast<int8_t>(a.label & 0xff);
}

// A state's first arcs, as read_arc gives them.
struct alignas(64) ArcEntry {
    int32_t state_plus_one;  // 0: empty
    int32_t count;
    int32_t rest;            // the arc after the kept ones, -1 when they are all
    Arc arcs[kCachedArcs];
};

struct Batch {
    zv_node_t *tokens[kBatch];
    ArcEntry *entries[kBatch];
    int32_t known[kBatch];               // arcs taken from the entry; -1 when it held another state
    int32_t count[kBatch];               // arcs gathered
    int32_t rest[kBatch];                // the arc after the gathered ones, -1 at the end
    Arc arcs[kBatch][kArcsAhead];
};

inline void prefetch_arc(const zv_graph_t *g, int32_t arc) {
    __builtin_prefetch(zv_graph_field_word(g->input_labels, arc, g->input_bits));
    __builtin_prefetch(g->weights + arc);
    __builtin_prefetch(zv_graph_field_word(g->targets, arc, g->state_bits));
}

// Fills b's arcs for its n tokens, from the table where it has them.
template <bool kWide>
void gather(const zv_graph_t *g, ArcEntry *table, int32_t mask, Batch *b, int32_t n) {
    for (int32_t k = 0; k < n; ++k) {
        const zv_node_t *t = b->tokens[k];
        b->entries[k] = table ? table + (t->state & mask) : nullptr;
        if (table) __builtin_prefetch(b->entries[k]);
        if (t->flag == 0) __builtin_prefetch(zv_graph_field_word(g->input_labels, t->arc, g->input_bits));
    }
    for (int32_t k = 0; k < n; ++k) {
        const int32_t state = b->tokens[k]->state;
        const ArcEntry *e = b->entries[k];
        if (e && e->state_plus_one == state + 1) {
            memcpy(b->arcs[k], e->arcs, sizeof(Arc) * static_cast<size_t>(e->count));
            b->known[k] = b->count[k] = e->count;
            b->rest[k] = e->rest;
        } else {
            b->known[k] = -1;
            b->count[k] = 0;
            b->rest[k] = zv_graph_first_arc_of(g, state);
        }
    }
    for (bool open = true; open;) {
        open = false;
        for (int32_t k = 0; k < n; ++k) {
            const int32_t a = b->rest[k];
            if (a < 0 || b->count[k] == kArcsAhead) continue;
            b->arcs[k][b->count[k]++].arc = a;
            prefetch_arc(g, a);
            b->rest[k] = zv_graph_next_arc_of(g, a);
            open = true;
        }
    }
    for (int32_t k = 0; k < n; ++k) {
        for (int32_t i = b->known[k] < 0 ? 0 : b->known[k]; i < b->count[k]; ++i) {
            b->arcs[k][i] = read_arc<kWide>(g, b->arcs[k][i].arc);
        }
        ArcEntry *e = b->entries[k];
        if (!e || b->known[k] >= 0) continue;
        const int32_t kept = b->count[k] < kCachedArcs ? b->count[k] : kCachedArcs;
        e->state_plus_one = b->tokens[k]->state + 1;
        e->count = kept;
        e->rest = kept < b->count[k] ? b->arcs[k][kept].arc : b->rest[k];
        memcpy(e->arcs, b->arcs[k], sizeof(Arc) * static_cast<size_t>(kept));
    }
}

template <bool kWide>
struct Expansion {
    zv_decoder_t *d;
    const int16_t *scores;
    zv_map_t *next;
    float blank;
    float best;

    // The emitting arc a of token t.
    zv_status_t arc(zv_node_t *t, const Arc &a) {
        const int32_t input = input_of<kWide>(a);
        if (input == 0) return ZV_STATUS_SUCCESS;
        const float weight = static_cast<float>(weight_byte_of<kWide>(d->graph, a)) * 0.125f;
        const float c = (d->weight_scale * weight + t->cost) - score_of(scores, input);
        if (d->beam + best > c) {
            if (c < best) best = c;
            return relax(d, next, a.target, 0, c, a.arc, t);
        }
        return ZV_STATUS_SUCCESS;
    }

    zv_status_t token(const Batch &b, int32_t k) {
        zv_node_t *t = b.tokens[k];
        const float beam = d->beam;
        if (t->flag == 0) {
            const float c = t->cost - score_of(scores, zv_graph_input_of(d->graph, t->arc));
            if (beam + best > c) {
                if (c < best) best = c;
                ZV_TRY(relax(d, next, t->state, 0, c, t->arc, t));
            }
        }
        {
            const float c = t->cost - blank;
            if (beam + best > c) {
                if (c < best) best = c;
                ZV_TRY(relax(d, next, t->state, 1, c, t->arc, t));
            }
        }
        for (int32_t i = 0; i < b.count[k]; ++i) ZV_TRY(arc(t, b.arcs[k][i]));
        for (int32_t a = b.rest[k]; a >= 0; a = zv_graph_next_arc_of(d->graph, a)) ZV_TRY(arc(t, read_arc<kWide>(d->graph, a)));
        return ZV_STATUS_SUCCESS;
    }
};

// Every token of the active map moves one frame on into `next`.
template <bool kWide>
zv_status_t expand_tokens(zv_decoder_t *d, const int16_t *scores, zv_map_t *next) {
    DecoderRecord *rec = record_of(d);
    Expansion<kWide> e{d, scores, next, score_of(scores, 0), kNoCost};
    Batch &b = *rec->batch;
    zv_map_iterator_t it{};
    zv_map_start_iter(d->active, &it);
    bool more = true;
    while (more) {
        int32_t n = 0;
        do {
            b.tokens[n++] = it.cell->token;
            more = zv_map_next(d->active, &it) == ZV_STATUS_SUCCESS;
        } while (more && n < kBatch);
        gather<kWide>(d->graph, rec->arc_table, rec->arc_table_mask, &b, n);
        for (int32_t k = 0; k < n; ++k) ZV_TRY(e.token(b, k));
    }
    return ZV_STATUS_SUCCESS;
}

zv_status_t expand(zv_decoder_t *d, const int16_t *scores, zv_map_t *next) {
    if (zv_map_size(d->active) == 0) return ZV_STATUS_SUCCESS;  // every cost overflowed
    return d->graph->input_bits > kPackedInputBits ? expand_tokens<true>(d, scores, next)
                                                   : expand_tokens<false>(d, scores, next);
}

// The closure's cycle guard. A step that comes back to a state already on
// its own chain within the frame (the token it is made from and that token's
// parents of equal depth: epsilon steps keep the depth, frame steps add one),
// at a lower cost than that earlier visit, is not taken. A cycle that made
// tokens cheaper lap after lap would otherwise relax for ever: one of
// negative cost (a backoff arc of negative cost back to the state a
// pronunciation of length 0 leaves from), and one of weight 0 that rounding
// makes a little cheaper each lap, in single precision as the costs are.
//
// Walking the chain for every candidate made a frame quadratic in a long
// epsilon chain. The stack pops tokens depth first, so the chain of the
// token being expanded is kept as a path instead (rec->chain): the popped
// token's parent is on the path of the one expanded before it (or the token
// is a root, made by the frame step, and starts a path of its own), and the
// entries above the parent leave. Only tokens with epsilon arcs are expanded
// and so enter; no other token is a parent. An entry with flag 1 marks its
// state's cell kEpsilonOnChain while it stands.
//
// A return to a marked state is always cheaper than that visit: the closure
// only gets this far with a cost below the cheapest (state, 1) token in the
// map, and the map keeps the visit's key and only takes cheaper tokens for it
// within the frame. A chain holds one flag-1 token of a state at most (a
// second would have been such a return), and the root alone can have flag 0:
// its cost is compared.
inline bool returns_cheaper(const DecoderRecord *rec, int32_t state, float cost) {
    if (epsilon_cell(rec, state) == kEpsilonOnChain) return true;
    return rec->chain_size > 0 && rec->chain[0].state == state && rec->chain_root_flag == 0 &&
           cost < rec->chain_root_cost;
}

void leave_chain(DecoderRecord *rec) {
    const ChainEntry &e = rec->chain[--rec->chain_size];
    if (e.marked) set_epsilon_cell(rec, e.state, kEpsilon);
}

void leave_whole_chain(DecoderRecord *rec) {
    while (rec->chain_size > 0) leave_chain(rec);
}

// The path becomes the chain of t, a token with epsilon arcs about to be expanded.
zv_status_t enter_chain(DecoderRecord *rec, const zv_node_t *t) {
    const bool root = !t->parent || t->parent->depth != t->depth;
    while (rec->chain_size > 0 && (root || rec->chain[rec->chain_size - 1].token != t->parent)) leave_chain(rec);
    if (rec->chain_size == rec->chain_capacity) {
        if (rec->chain_capacity > INT32_MAX / 2) return ZV_STATUS_OUT_OF_MEMORY;
        const int32_t capacity = rec->chain_capacity * 2;
        ChainEntry *grown =
            static_cast<ChainEntry *>(realloc(rec->chain, sizeof(ChainEntry) * static_cast<size_t>(capacity)));
        if (!grown) return ZV_STATUS_OUT_OF_MEMORY;
        rec->chain = grown;
        rec->chain_capacity = capacity;
    }
    if (rec->chain_size == 0) {
        rec->chain_root_cost = t->cost;
        rec->chain_root_flag = t->flag;
    }
    const bool mark = t->flag == 1 && epsilon_cell(rec, t->state) != kEpsilonOnChain;
    if (mark) set_epsilon_cell(rec, t->state, kEpsilonOnChain);
    rec->chain[rec->chain_size++] = {t, t->state, mark};
    return ZV_STATUS_SUCCESS;
}

// Word and backoff arcs from every active token, within the frame.
zv_status_t close_tokens(zv_decoder_t *d) {
    DecoderRecord *rec = record_of(d);
    const zv_graph_t *g = d->graph;
    zv_map_t *map = d->active;
    float best = kNoCost;
    zv_map_iterator_t it{};
    zv_map_start_iter(map, &it);
    do {
        if (it.cell->token->cost < best) best = it.cell->token->cost;
        ZV_TRY(zv_stack_push(d->stack, it.cell->token));
    } while (zv_map_next(map, &it) == ZV_STATUS_SUCCESS);
    const float threshold = best + d->beam;

    while (d->stack->size > 0) {
        zv_node_t *t = nullptr;
        zv_stack_pop(d->stack, &t);
        if (t->reference_count == 0) {  // a cheaper token replaced it in the map
            zv_node_delete(t);
            continue;
        }
        if (!has_epsilon_arc(d, t->state)) continue;
        ZV_TRY(enter_chain(rec, t));
        for (int32_t a = zv_graph_first_arc_of(g, t->state); a >= 0; a = zv_graph_next_arc_of(g, a)) {
            if (zv_graph_input_of(g, a) != 0) continue;
            const float c = d->weight_scale * zv_graph_weight_of(g, a) + t->cost;
            if (!(threshold > c)) continue;
            const int32_t s = zv_graph_target_of(g, a);
            zv_node_t *held = nullptr;
            const float bar = zv_map_find(map, s, 1, &held) == ZV_STATUS_SUCCESS ? held->cost : kNoCost;
            if (!(bar > c)) continue;
            if (returns_cheaper(rec, s, c)) continue;
            zv_branch_t *branch = nullptr;
            const int32_t word = zv_graph_output_of(g, a);
            if (word != 0) {
                ZV_TRY(zv_tree_insert(d->tree, t->branch, word, d->frame, &branch));
            } else {
                branch = t->branch;
                raise_time(branch, d->frame);
                branch->reference_count += 1;
            }
            zv_node_t *token = zv_node_init(d->token_pool, t, a, s, c, branch, t->depth, 1);
            if (!token) {
                branch->reference_count -= 1;
                zv_branch_delete(branch);  // a word's new branch goes again
                return ZV_STATUS_OUT_OF_MEMORY;
            }
            if (zv_map_insert(map, token) != ZV_STATUS_SUCCESS) {
                zv_node_delete(token);
                return ZV_STATUS_OUT_OF_MEMORY;
            }
            ZV_TRY(zv_stack_push(d->stack, token));
        }
    }
    return ZV_STATUS_SUCCESS;
}

// The closure, its chain's marks cleared however it ends.
zv_status_t close_epsilon(zv_decoder_t *d) {
    const zv_status_t status = close_tokens(d);
    leave_whole_chain(record_of(d));
    return status;
}

// Keeps the max_active cheapest tokens, and every token as cheap as the
// max_active-th.
void cap(zv_decoder_t *d) {
    zv_map_t *map = d->active;
    // No more tokens than the cap: the heap would keep every cost and the
    // walk below remove none.
    if (zv_map_size(map) <= d->max_active) return;
    zv_map_iterator_t it{};
    zv_map_start_iter(map, &it);
    do {
        zv_heap_insert(d->heap, it.cell->token->cost);
    } while (zv_map_next(map, &it) == ZV_STATUS_SUCCESS);
    const float limit = d->heap->values[1];
    d->heap->count = 0;
    zv_map_start_iter(map, &it);
    for (;;) {
        const zv_status_t moved =
            it.cell->token->cost > limit ? zv_map_remove(map, &it) : zv_map_next(map, &it);
        if (moved != ZV_STATUS_SUCCESS) break;
    }
}

// The words' texts, each followed by `separator`, the last one too when
// `trailing`.
zv_status_t join_words(const zv_graph_t *g, const int32_t *labels, int32_t n, bool trailing, char **text) {
    size_t bytes = 1;
    for (int32_t i = 0; i < n; ++i) bytes += strlen(zv_graph_word(g, labels[i])) + 1;
    if (n > 0 && !trailing) bytes -= 1;
    char *out = static_cast<char *>(malloc(bytes));
    if (!out) return ZV_STATUS_OUT_OF_MEMORY;
    char *p = out;
    for (int32_t i = 0; i < n; ++i) {
        const char *word = zv_graph_word(g, labels[i]);
        const size_t len = strlen(word);
        memcpy(p, word, len);
        p += len;
        if (trailing || i + 1 < n) *p++ = ' ';
    }
    *p = '\0';
    *text = out;
    return ZV_STATUS_SUCCESS;
}

// The start token on the tree's root, taking the root's reference; when it
// can't be made the root goes too.
zv_status_t insert_start_token(zv_decoder_t *d) {
    zv_branch_t *root = zv_tree_root(d->tree);
    zv_node_t *start = zv_node_init(d->token_pool, nullptr, -1, zv_graph_start_state(d->graph), 0.0f, root, 0, 1);
    if (!start) {
        root->reference_count -= 1;
        zv_branch_delete(root);
    } else if (zv_map_insert(d->active, start) != ZV_STATUS_SUCCESS) {
        zv_node_delete(start);
    } else {
        return ZV_STATUS_SUCCESS;
    }
    d->tree->root = d->tree->current = nullptr;
    return ZV_STATUS_OUT_OF_MEMORY;
}

// Tokens left on the stack by a frame that failed part way hold references too.
void drain_stack(zv_stack_t *stack) {
    while (stack && stack->size > 0) {
        zv_node_t *t = nullptr;
        zv_stack_pop(stack, &t);
        zv_node_delete(t);
    }
}

// Releases every token (and through them every branch), their pool and the
// tree record: what a reset makes anew.
void release_tokens(zv_decoder_t *d) {
    drain_stack(d->stack);
    zv_map_delete(d->active);
    d->active = nullptr;
    zv_pool_delete(d->token_pool);
    d->token_pool = nullptr;
    zv_tree_delete(d->tree);
    d->tree = nullptr;
}

// The tokens, then the members a reset keeps.
void release_members(zv_decoder_t *d) {
    release_tokens(d);
    zv_stack_delete(d->stack);
    d->stack = nullptr;
    zv_heap_delete(d->heap);
    d->heap = nullptr;
}

// The epsilon bits, the arc table and the batch, all zero-filled, and the
// closure's chain; false when one can't be had.
bool make_side_tables(DecoderRecord *rec, const zv_graph_t *graph, int32_t max_active) {
    rec->epsilon = static_cast<uint8_t *>(calloc(static_cast<size_t>(zv_graph_num_states(graph)) / 4 + 1, 1));
    rec->batch = static_cast<Batch *>(calloc(1, sizeof(Batch)));
    rec->chain = static_cast<ChainEntry *>(malloc(sizeof(ChainEntry) * kFirstChainCapacity));
    if (!rec->epsilon || !rec->batch || !rec->chain) return false;
    rec->chain_capacity = kFirstChainCapacity;
    if (graph->input_bits > kPackedInputBits) return true;  // no table: every state read from the graph
    int32_t entries = 16;
    while (entries < kCacheEntriesPerActive * static_cast<int64_t>(max_active) && entries < kMostCacheEntries) entries *= 2;
    rec->arc_table_block = calloc(static_cast<size_t>(entries) * sizeof(ArcEntry) + alignof(ArcEntry), 1);
    if (!rec->arc_table_block) return false;
    const uintptr_t at = reinterpret_cast<uintptr_t>(rec->arc_table_block);
    rec->arc_table = reinterpret_cast<ArcEntry *>((at + alignof(ArcEntry) - 1) & ~static_cast<uintptr_t>(alignof(ArcEntry) - 1));
    rec->arc_table_mask = entries - 1;
    return true;
}

void free_side_tables(DecoderRecord *rec) {
    free(rec->epsilon);
    free(rec->batch);
    free(rec->chain);
    free(rec->arc_table_block);
}

}  // namespace

extern "C" zv_status_t zv_decoder_init(const zv_graph_t *graph, float beam, int32_t max_active, float weight_scale,
                                       zv_decoder_t **decoder) {
    if (!decoder) return ZV_STATUS_INVALID_ARGUMENT;
    *decoder = nullptr;
    if (!graph || max_active < 1 || kTokensPerActive * max_active > INT32_MAX || isnan(beam) || beam < 0.0f ||
        !isfinite(weight_scale)) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    DecoderRecord *rec = static_cast<DecoderRecord *>(calloc(1, sizeof(DecoderRecord)));
    if (!rec) return ZV_STATUS_OUT_OF_MEMORY;
    zv_decoder_t *d = &rec->decoder;
    d->graph = graph;
    d->beam = beam;
    d->max_active = max_active;
    d->weight_scale = weight_scale;
    zv_status_t status = make_side_tables(rec, graph, max_active) ? zv_pool_init(sizeof(zv_node_t),
                                                     static_cast<int32_t>(kTokensPerActive * max_active), &d->token_pool)
                                      : ZV_STATUS_OUT_OF_MEMORY;
    if (status == ZV_STATUS_SUCCESS) status = zv_map_init(max_active, &d->active);
    if (status == ZV_STATUS_SUCCESS) status = zv_stack_init(max_active, &d->stack);
    if (status == ZV_STATUS_SUCCESS) status = zv_heap_init(max_active, &d->heap);
    if (status == ZV_STATUS_SUCCESS) status = zv_tree_init(&d->tree);
    if (status == ZV_STATUS_SUCCESS) status = insert_start_token(d);
    if (status != ZV_STATUS_SUCCESS) {
        release_members(d);
        free_side_tables(rec);
        free(rec);
        return status;
    }
    *decoder = d;
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_decoder_delete(zv_decoder_t *decoder) {
    if (!decoder) return;
    release_members(decoder);
    free_side_tables(record_of(decoder));
    free(record_of(decoder));
}

extern "C" zv_status_t zv_decoder_reset(zv_decoder_t *d) {
    release_tokens(d);
    if (d->heap) d->heap->count = 0;
    d->frame = 0;
    ZV_TRY(zv_tree_init(&d->tree));
    zv_status_t status = zv_pool_init(sizeof(zv_node_t), static_cast<int32_t>(kTokensPerActive * d->max_active),
                                      &d->token_pool);
    if (status == ZV_STATUS_SUCCESS) status = zv_map_init(d->max_active, &d->active);
    if (status == ZV_STATUS_SUCCESS) return insert_start_token(d);
    // The new root has no token to hold it.
    zv_branch_t *root = zv_tree_root(d->tree);
    root->reference_count -= 1;
    zv_branch_delete(root);
    d->tree->root = d->tree->current = nullptr;
    return status;
}

extern "C" zv_status_t zv_decoder_process(zv_decoder_t *d, const int16_t *scores, char **text) {
    if (text) *text = nullptr;
    if (!d->active || !d->token_pool || !d->tree || !d->tree->root) return ZV_STATUS_INVALID_STATE;
    d->frame += 1;
    zv_map_t *next = nullptr;
    ZV_TRY(zv_map_init(d->max_active, &next));
    const zv_status_t expanded = expand(d, scores, next);
    if (expanded != ZV_STATUS_SUCCESS) {
        zv_map_delete(next);
        return expanded;
    }
    zv_map_delete(d->active);
    d->active = next;
    if (zv_map_size(next) > 0) {
        ZV_TRY(close_epsilon(d));
        cap(d);
    }
    if (!text) return ZV_STATUS_SUCCESS;
    int32_t n = 0;
    int32_t *labels = nullptr;
    ZV_TRY(zv_tree_partial_outputs(d->tree, d->frame, &n, &labels));
    const zv_status_t status = join_words(d->graph, labels, n, true, text);
    free(labels);
    return status;
}

extern "C" zv_status_t zv_decoder_flush(const zv_decoder_t *d, char **text) {
    *text = nullptr;
    if (!d->active || !d->tree || !d->tree->root) return ZV_STATUS_INVALID_STATE;
    const zv_graph_t *g = d->graph;
    const zv_node_t *best = nullptr;
    if (zv_map_size(d->active) > 0) {
        zv_map_iterator_t it{};
        zv_map_start_iter(d->active, &it);
        do {
            const zv_node_t *t = it.cell->token;
            if (zv_graph_is_final(g, t->state) && (!best || t->cost <= best->cost)) best = t;
        } while (zv_map_next(d->active, &it) == ZV_STATUS_SUCCESS);
    }
    // Labels from the best token back to the reported part, newest first;
    // self-loop and blank tokens repeat their parent's state and don't repeat its word.
    int32_t n = 0;
    int32_t *labels = nullptr;
    for (int pass = 0; pass < 2; ++pass) {
        int32_t found = 0;
        int32_t previous_state = 0;
        for (const zv_node_t *u = best; u && u->branch != d->tree->current; u = u->parent) {
            if (u->arc >= 0 && (u == best || u->state != previous_state)) {
                const int32_t word = zv_graph_output(g, u->arc);
                if (word > 0) {
                    if (labels) labels[n - 1 - found] = word;
                    found += 1;
                }
            }
            previous_state = u->state;
        }
        if (pass == 1 || found == 0) break;
        n = found;
        labels = static_cast<int32_t *>(malloc(sizeof(int32_t) * static_cast<size_t>(n)));
        if (!labels) return ZV_STATUS_OUT_OF_MEMORY;
    }
    const zv_status_t status = join_words(g, labels, n, false, text);
    free(labels);
    return status;
}
