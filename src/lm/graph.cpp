#include "lm/graph.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <bit>
#include <memory>
#include <new>
#include <vector>

#include "foundation/bit_field.h"
#include "foundation/file.h"
#include "foundation/status.h"
#include "lm/graph_count.h"
#include "lm/graph_fields.h"
#include "lm/mgram.h"
#include "pronunciation/dict.h"
#include "pronunciation/lexicon.h"

namespace {

// States and arcs are numbered in fields of at most 31 bits, one bit wider
// than the count needs: 2^30 of either is the most a graph can hold.
constexpr int32_t kMaxCount = int32_t{1} << 30;
constexpr int32_t kMaxFieldBits = 31;

// A graph file may make the build look up at most this many arcs, and make
// at most this many states and arcs together, per byte of it, both counted
// before anything is built (as are the states passed in finding the backoff
// states), so that loading takes time and memory in proportion to the file.
// Pronunciation chains repeat under every language-model state that holds
// their word, so without a bound a few kilobytes build gigabytes: one word
// of P phonemes under a model that is a chain of N nodes, each with that
// word as its child, makes N * P states from about 2.5 N + 0.5 P bytes. Each
// state or arc made takes 24 to 32 bytes at the peak of a load, as the
// doubling arrays fall, so a file at the bound takes 2.3 to 3.1 KB of memory
// per byte. Real graphs make under 3 per byte (a bigram model over a
// 130,000-word dictionary) to 4.3 (a trigram model of 1.8 million words of
// English text). The variants of a grapheme-to-phoneme engine's N-best list
// add about 4.4 per byte for each variant of every word under a dense bigram
// model (and 3.8 lookups): ten variants make 44 per byte, with more than
// twice that as headroom, and twenty still load.
constexpr uint64_t kMaxBuiltPerByte = 96;

struct FreeDeleter {
    void operator()(void *block) const { free(block); }
};
template <typename T>
using Block = std::unique_ptr<T, FreeDeleter>;

struct GraphDeleter {
    void operator()(zv_graph_t *graph) const { zv_graph_delete(graph); }
};
struct LexiconDeleter {
    void operator()(zv_lexicon_t *lexicon) const { zv_lexicon_delete(lexicon); }
};
struct DictDeleter {
    void operator()(zv_dict_t *dict) const { zv_dict_delete(dict); }
};
struct MgramDeleter {
    void operator()(zv_mgram_t *mgram) const { zv_mgram_delete(mgram); }
};

int8_t saturate(int32_t x) {
    if (x >= 127) return 127;
    if (x <= -128) return -128;
    return static_cast<int8_t>(x);
}

// Grows an array to `capacity` entries; false (the array unchanged) when out
// of memory.
template <typename T>
bool grow(T **array, int32_t capacity) {
    T *grown = static_cast<T *>(realloc(*array, sizeof(T) * static_cast<size_t>(capacity)));
    if (!grown) return false;
    *array = grown;
    return true;
}

// The growable form the build works in.
struct Builder {
    int32_t num_states = 0;
    int32_t state_capacity = 0;
    uint8_t *final = nullptr;
    int32_t *first_arc = nullptr;  // -1: no arc

    int32_t num_arcs = 0;
    int32_t arc_capacity = 0;
    int32_t *input = nullptr;
    int32_t *output = nullptr;  // -1: none, else the word id
    int8_t *weight = nullptr;
    int32_t *target = nullptr;  // -1: not yet set
    int32_t *next = nullptr;    // -1: last of its state

    Builder() = default;
    Builder(const Builder &) = delete;
    Builder &operator=(const Builder &) = delete;
    ~Builder() {
        free(final);
        free(first_arc);
        free(input);
        free(output);
        free(weight);
        free(target);
        free(next);
    }

    zv_status_t init(int32_t num_lm_states) {
        state_capacity = num_lm_states;
        arc_capacity = num_lm_states;
        if (!grow(&final, state_capacity) || !grow(&first_arc, state_capacity) || !grow(&input, arc_capacity) ||
            !grow(&output, arc_capacity) || !grow(&weight, arc_capacity) || !grow(&target, arc_capacity) ||
            !grow(&next, arc_capacity)) {
            return ZV_STATUS_OUT_OF_MEMORY;
        }
        for (int32_t s = 0; s < num_lm_states; ++s) {
            final[s] = 1;
            first_arc[s] = -1;
        }
        num_states = num_lm_states;
        return ZV_STATUS_SUCCESS;
    }

    zv_status_t add_state(int32_t *state) {
        if (num_states == state_capacity) {
            if (state_capacity >= kMaxCount) return ZV_STATUS_INVALID_ARGUMENT;
            const int32_t capacity = state_capacity > kMaxCount / 2 ? kMaxCount : 2 * state_capacity;
            if (!grow(&final, capacity) || !grow(&first_arc, capacity)) return ZV_STATUS_OUT_OF_MEMORY;
            state_capacity = capacity;
        }
        final[num_states] = 0;
        first_arc[num_states] = -1;
        *state = num_states++;
        return ZV_STATUS_SUCCESS;
    }

    // A new arc after `last`, the tail of the list of `state` (-1 when it has
    // no arc), without target or weight.
    zv_status_t add_arc(int32_t state, int32_t last, int32_t in, int32_t out, int32_t *arc) {
        if (num_arcs == arc_capacity) {
            if (arc_capacity >= kMaxCount) return ZV_STATUS_INVALID_ARGUMENT;
            const int32_t capacity = arc_capacity > kMaxCount / 2 ? kMaxCount : 2 * arc_capacity;
            if (!grow(&input, capacity) || !grow(&output, capacity) || !grow(&weight, capacity) ||
                !grow(&target, capacity) || !grow(&next, capacity)) {
                return ZV_STATUS_OUT_OF_MEMORY;
            }
            arc_capacity = capacity;
        }
        const int32_t a = num_arcs++;
        input[a] = in;
        output[a] = out;
        weight[a] = 0;
        target[a] = -1;
        next[a] = -1;
        if (last == -1) {
            first_arc[state] = a;
        } else {
            next[last] = a;
        }
        *arc = a;
        return ZV_STATUS_SUCCESS;
    }
};

// The long lists of one language-model state's build: their arcs by source,
// input and output, and their tails. Most lists are short and scanned, but
// scanning a long one would cost time quadratic in its length: U homophones
// put U word arcs on one phone state, and U words whose pronunciations start
// with U distinct phonemes put U phone arcs on the language-model state. So
// a list that grows past kScanned arcs is indexed from then on; phone sets
// of a few dozen phonemes and words of a few homophones keep real lists
// shorter, scanned as ever. Each lookup of a build is for the state itself,
// a phone state of its tree or one of its children (a backoff arc): their
// lists hold one arc at most when the build starts (a backoff arc, which no
// lookup of the build asks for), and only this build adds to them, so the
// index starts empty for each build.
class ArcIndex {
public:
    static constexpr int32_t kScanned = 64;

    ArcIndex() = default;
    ArcIndex(const ArcIndex &) = delete;
    ArcIndex &operator=(const ArcIndex &) = delete;
    ~ArcIndex() {
        free(heads_);
        free(entries_);
    }

    // Empties the index; one that never held an entry holds no memory.
    void reset() { count_ = 0; }

    // The arc of `source` with this input and output, or -1.
    int32_t find(int32_t source, int32_t in, int32_t out) const {
        const int32_t e = entry(source, label_of(in, out));
        return e == -1 ? -1 : entries_[e].arc;
    }

    // The tail of an indexed list.
    int32_t tail(int32_t source) const { return entries_[entry(source, kTail)].arc; }

    zv_status_t add(int32_t source, int32_t in, int32_t out, int32_t arc) {
        return add_entry(source, label_of(in, out), arc);
    }

    zv_status_t set_tail(int32_t source, int32_t arc) {
        const int32_t e = entry(source, kTail);
        if (e == -1) return add_entry(source, kTail, arc);
        entries_[e].arc = arc;
        return ZV_STATUS_SUCCESS;
    }

private:
    static constexpr uint64_t kFewestBuckets = 16;
    static constexpr uint64_t kLoad = 2;  // entries per bucket at most
    // No arc's label: word ids stay below INT32_MAX.
    static constexpr int32_t kTail = INT32_MIN;

    struct Entry {
        int32_t source;
        int32_t label;
        int32_t arc;
        int32_t chain;  // the next entry in its bucket, -1 for none
    };

    // Input and output in one number: word arcs have input 0, the others no
    // output, so the word's complement, or the input, tells them apart.
    static int32_t label_of(int32_t in, int32_t out) { return out >= 0 ? ~out : in; }

    int32_t entry(int32_t source, int32_t label) const {
        if (count_ == 0) return -1;
        for (int32_t e = heads_[home(source, label)]; e != -1; e = entries_[e].chain) {
            if (entries_[e].source == source && entries_[e].label == label) return e;
        }
        return -1;
    }

    zv_status_t add_entry(int32_t source, int32_t label, int32_t arc) {
        if (count_ == 0) ZV_TRY(use_buckets(kFewestBuckets));
        if (count_ == room_) {
            // Arcs stop at kMaxCount, so entries stay below INT32_MAX.
            const int32_t room = room_ == 0 ? static_cast<int32_t>(kFewestBuckets)
                                 : room_ <= INT32_MAX / 2 ? 2 * room_
                                                          : INT32_MAX;
            if (room == room_ || !grow(&entries_, room)) return ZV_STATUS_OUT_OF_MEMORY;
            room_ = room;
        }
        const uint64_t h = home(source, label);
        entries_[count_] = Entry{source, label, arc, heads_[h]};
        heads_[h] = count_;
        count_ += 1;
        if (static_cast<uint64_t>(count_) <= kLoad * (mask_ + 1)) return ZV_STATUS_SUCCESS;
        // Chains longer than kLoad on average: twice the buckets, refilled.
        ZV_TRY(use_buckets(2 * (mask_ + 1)));
        for (int32_t e = 0; e < count_; ++e) {
            const uint64_t b = home(entries_[e].source, entries_[e].label);
            entries_[e].chain = heads_[b];
            heads_[b] = e;
        }
        return ZV_STATUS_SUCCESS;
    }

    // `buckets` (a power of two) empty buckets.
    zv_status_t use_buckets(uint64_t buckets) {
        if (buckets > heads_room_) {
            free(heads_);
            heads_room_ = 0;
            heads_ = static_cast<int32_t *>(malloc(sizeof(int32_t) * static_cast<size_t>(buckets)));
            if (!heads_) return ZV_STATUS_OUT_OF_MEMORY;
            heads_room_ = buckets;
        }
        memset(heads_, 0xff, sizeof(int32_t) * static_cast<size_t>(buckets));
        mask_ = buckets - 1;
        shift_ = 64 - std::countr_zero(buckets);
        return ZV_STATUS_SUCCESS;
    }

    // The bucket: the top bits of a multiplicative hash.
    uint64_t home(int32_t source, int32_t label) const {
        const uint64_t x = (static_cast<uint64_t>(static_cast<uint32_t>(source)) << 32) | static_cast<uint32_t>(label);
        return (x * 0x9E3779B97F4A7C15ull) >> shift_;
    }

    int32_t *heads_ = nullptr;  // per bucket: its newest entry, -1 for none
    uint64_t heads_room_ = 0;
    uint64_t mask_ = 0;   // buckets - 1
    int32_t shift_ = 64;  // 64 - log2(buckets)
    int32_t count_ = 0;
    int32_t room_ = 0;
    Entry *entries_ = nullptr;
};

// The child of language-model node s with word w, -1 when it has none (its
// children ascend by word).
int32_t child_with_word(const zv_mgram_t *mgram, int32_t s, int32_t w) {
    const int32_t *children = zv_mgram_children(mgram, s);
    int32_t lo = 0;
    int32_t hi = zv_mgram_num_children(mgram, s) - 1;
    while (lo <= hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        const int32_t word = zv_mgram_word(mgram, children[mid]);
        if (word == w) return children[mid];
        if (word < w) {
            lo = mid + 1;
        } else {
            hi = mid - 1;
        }
    }
    return -1;
}

// The state each node's backoff arc leads to: the node of the longest
// proper suffix of its n-gram that the model holds. For a child with word w
// of node n, those suffixes are w after the proper suffixes of n's n-gram
// that the model holds, and those, longest first, are n's backoff state, its
// backoff state, and so on to the root; so the first of them with a child w
// gives the answer, without walking every suffix from the root. The chain
// holds only shallower nodes, so the nodes are taken breadth first. When not
// even w alone is a unigram, the shorter history is the empty one, state 0.
//
// In a model that holds the suffixes of its n-grams, as estimation makes
// them, the first state of the chain has the child; a pruned one passes at
// most its order. But a file may ask for far more: the children of the end
// of a long path of one word, each word a unigram only, each walk the whole
// path. So the walk stops after `budget` states, giving false.
bool backoff_states(const zv_mgram_t *mgram, uint64_t budget, std::vector<int32_t> &backoff_of) {
    const int32_t num_nodes = zv_mgram_size(mgram);
    backoff_of.assign(static_cast<size_t>(num_nodes), 0);
    std::vector<int32_t> queue;
    queue.reserve(static_cast<size_t>(num_nodes));
    queue.push_back(0);
    uint64_t steps = 0;
    for (size_t next = 0; next < queue.size(); ++next) {
        const int32_t n = queue[next];
        const int32_t count = zv_mgram_num_children(mgram, n);
        const int32_t *children = zv_mgram_children(mgram, n);
        for (int32_t i = 0; i < count; ++i) {
            const int32_t c = children[i];
            queue.push_back(c);
            if (n == 0) continue;  // a unigram's shorter history is the empty one
            const int32_t w = zv_mgram_word(mgram, c);
            for (int32_t s = backoff_of[static_cast<size_t>(n)];; s = backoff_of[static_cast<size_t>(s)]) {
                if (++steps > budget) return false;
                const int32_t x = child_with_word(mgram, s, w);
                if (x >= 0) {
                    backoff_of[static_cast<size_t>(c)] = x;
                    break;
                }
                if (s == 0) break;
            }
        }
    }
    return true;
}

// The arcs from language-model state n for each of its children: a
// pronunciation chain per pronunciation of the child's word, the word arc at
// its end, and the child's backoff arc. Each arc is looked up first and made
// at the tail of its source's list when missing.
zv_status_t build_children(Builder &b, ArcIndex &index, const zv_mgram_t *mgram, const zv_dict_t *dict, int32_t n,
                           const std::vector<int32_t> &backoff_of) {
    const int32_t count = zv_mgram_num_children(mgram, n);
    if (count == 0) return ZV_STATUS_SUCCESS;
    const int32_t *children = zv_mgram_children(mgram, n);
    index.reset();
    const int32_t first = b.num_arcs;  // the arcs of this build are numbered from here
    const auto arc_of = [&](int32_t s, int32_t in, int32_t out, int32_t *arc) -> zv_status_t {
        int32_t a = b.first_arc[s];
        if (a == -1) return b.add_arc(s, -1, in, out, arc);
        for (int32_t seen = 1;; ++seen, a = b.next[a]) {
            if (b.input[a] == in && b.output[a] == out) {
                *arc = a;
                return ZV_STATUS_SUCCESS;
            }
            if (b.next[a] == -1) {
                // None among `seen` arcs: past kScanned, the list joins the index.
                ZV_TRY(b.add_arc(s, a, in, out, arc));
                if (seen < ArcIndex::kScanned) return ZV_STATUS_SUCCESS;
                for (int32_t e = b.first_arc[s]; e != -1; e = b.next[e]) {
                    if (e >= first) ZV_TRY(index.add(s, b.input[e], b.output[e], e));
                }
                return index.set_tail(s, *arc);
            }
            if (seen == ArcIndex::kScanned) break;
        }
        // A long list: every arc of it this build made is indexed.
        *arc = index.find(s, in, out);
        if (*arc != -1) return ZV_STATUS_SUCCESS;
        ZV_TRY(b.add_arc(s, index.tail(s), in, out, arc));
        ZV_TRY(index.add(s, in, out, *arc));
        return index.set_tail(s, *arc);
    };
    for (int32_t i = 0; i < count; ++i) {
        const int32_t c = children[i];
        const int32_t w = zv_mgram_word(mgram, c);
        const int32_t k = zv_dict_num_pronunciations(dict, w);
        const int32_t backoff_target = backoff_of[static_cast<size_t>(c)];
        for (int32_t p = 0; p < k; ++p) {
            int32_t length = 0;
            const int32_t *ids = nullptr;
            zv_dict_pronunciation(dict, w, p, &length, &ids);
            int32_t s = n;
            for (int32_t j = 0; j < length; ++j) {
                int32_t a = -1;
                ZV_TRY(arc_of(s, ids[j], -1, &a));
                b.weight[a] = 0;
                if (b.target[a] == -1) {
                    int32_t state = -1;
                    ZV_TRY(b.add_state(&state));
                    b.target[a] = state;
                }
                s = b.target[a];
            }
            int32_t word_arc = -1;
            ZV_TRY(arc_of(s, 0, w, &word_arc));
            b.weight[word_arc] = static_cast<int8_t>(zv_mgram_forward(mgram, c) & 0xff);
            b.target[word_arc] = c;
            int32_t backoff_arc = -1;
            ZV_TRY(arc_of(c, 0, -1, &backoff_arc));
            b.weight[backoff_arc] = static_cast<int8_t>(zv_mgram_backoff(mgram, c) & 0xff);
            b.target[backoff_arc] = backoff_target;
        }
    }
    return ZV_STATUS_SUCCESS;
}

// Every language-model node's children, node by node in preorder (the
// model's numbering), so that a parent is built before its children, and
// without recursion: the model's depth comes from the file.
zv_status_t build_arcs(Builder &b, const zv_mgram_t *mgram, const zv_dict_t *dict,
                       const std::vector<int32_t> &backoff_of) {
    const int32_t num_nodes = zv_mgram_size(mgram);
    ArcIndex index;
    for (int32_t n = 0; n < num_nodes; ++n) ZV_TRY(build_children(b, index, mgram, dict, n, backoff_of));
    return ZV_STATUS_SUCCESS;
}

struct PushFrame {
    int32_t arc;   // the arc being pushed
    int32_t next;  // next arc of its target to visit
    int32_t min;   // smallest result so far (phone states)
    bool final;    // its target is final
};

// Weight pushing from one arc: moves into each phone arc the smallest cost
// below it, leaving the differences further down; nothing moves across a
// final state, but the trees hanging from the final states that the pass
// reaches are pushed in turn. The pass runs on an explicit stack, since a
// pronunciation may be of any length.
//
// A language-model state that several word arcs reach is pushed at its first
// arrival only: a second pass over its trees would find minima of 0 and
// change nothing, and repeating it multiplies the passes by the number of
// pronunciations of every word on the way. pushed[] marks those done.
void push(Builder &b, int32_t e0, std::vector<PushFrame> &stack, std::vector<uint8_t> &pushed) {
    const auto enter = [&](int32_t e) -> bool {
        // true when the arc needs a frame; otherwise its result is final.
        const int32_t t = b.target[e];
        if (b.first_arc[t] == -1) {
            if (!b.final[t]) b.weight[e] = saturate(b.weight[e] + 127);
            return false;
        }
        if (b.final[t]) {
            if (pushed[static_cast<size_t>(t)]) return false;
            pushed[static_cast<size_t>(t)] = 1;
        }
        stack.push_back({e, b.first_arc[t], 127, b.final[t] != 0});
        return true;
    };
    // The result of an arc that needed no frame, or of a frame just closed,
    // goes to the phone state above it.
    const auto deliver = [&](int32_t result) {
        if (!stack.empty() && !stack.back().final && result < stack.back().min) stack.back().min = result;
    };
    stack.clear();
    if (!enter(e0)) return;
    while (!stack.empty()) {
        PushFrame &top = stack.back();
        if (top.final) {
            while (top.next != -1 && b.final[b.target[top.next]]) top.next = b.next[top.next];
            if (top.next == -1) {
                const int32_t e = top.arc;
                stack.pop_back();  // a final target's pass leaves the arc as it is
                deliver(b.weight[e]);
                continue;
            }
            const int32_t f = top.next;
            top.next = b.next[f];
            enter(f);  // its result is not used
            continue;
        }
        if (top.next != -1) {
            const int32_t f = top.next;
            top.next = b.next[f];
            if (!enter(f)) deliver(b.weight[f]);
            continue;
        }
        const int32_t e = top.arc;
        const int32_t m = top.min;
        for (int32_t f = b.first_arc[b.target[e]]; f != -1; f = b.next[f]) b.weight[f] = saturate(b.weight[f] - m);
        b.weight[e] = saturate(b.weight[e] + m);
        stack.pop_back();
        deliver(b.weight[e]);
    }
}

void push_weights(Builder &b, int32_t num_lm_states) {
    std::vector<PushFrame> stack;
    std::vector<uint8_t> pushed(static_cast<size_t>(num_lm_states), 0);
    for (int32_t e = b.first_arc[0]; e != -1; e = b.next[e]) push(b, e, stack, pushed);
}

// ceil(log2(count) + 1) in double precision; 1 for a count of 0, which the
// formula leaves undefined (a graph without arcs).
int32_t numbering_bits(int32_t count) {
    if (count <= 0) return 1;
    return static_cast<int32_t>(ceil(log2(static_cast<double>(count)) + 1.0));
}

// A zeroed bit-field array of count fields, one word longer than the
// fields need, so that a field is read from the two words it may straddle
// in one 64-bit load.
uint32_t *new_fields(int32_t count, int32_t bits) {
    const uint64_t words = zv_bit_field_size_uint32(static_cast<uint64_t>(count), bits) + 1;
    return static_cast<uint32_t *>(calloc(static_cast<size_t>(words), sizeof(uint32_t)));
}

// Fills a new bit-field array with value(i) for each index and releases the
// builder array it came from.
template <typename T, typename Value>
zv_status_t pack(uint32_t **out, int32_t count, int32_t bits, T **source, Value value) {
    *out = new_fields(count, bits);
    if (!*out) return ZV_STATUS_OUT_OF_MEMORY;
    for (int32_t i = 0; i < count; ++i) {
        const uint32_t v = value((*source)[i]);
        if (v != 0) zv_bit_field_write(*out, static_cast<uint64_t>(i), bits, v);
    }
    free(*source);
    *source = nullptr;
    return ZV_STATUS_SUCCESS;
}

zv_status_t pack_graph(Builder &b, int32_t num_phonemes, zv_graph_t *g) {
    const int32_t num_words = zv_lexicon_size(g->lexicon);
    g->num_states = b.num_states;
    g->num_arcs = b.num_arcs;
    g->state_bits = numbering_bits(b.num_states);
    g->arc_bits = numbering_bits(b.num_arcs);
    g->input_bits = zv_bit_field_width(static_cast<uint64_t>(num_phonemes));
    g->output_bits = zv_bit_field_width(static_cast<uint64_t>(num_words));
    if (g->state_bits > kMaxFieldBits || g->arc_bits > kMaxFieldBits || g->input_bits > kMaxFieldBits ||
        g->output_bits > kMaxFieldBits) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    const auto same = [](int32_t v) { return static_cast<uint32_t>(v); };
    const auto plus_one = [](int32_t v) { return static_cast<uint32_t>(v + 1); };
    ZV_TRY(pack(&g->final_flags, b.num_states, 1, &b.final, [](uint8_t v) { return static_cast<uint32_t>(v); }));
    ZV_TRY(pack(&g->first_arc, b.num_states, g->arc_bits, &b.first_arc, plus_one));
    ZV_TRY(pack(&g->input_labels, b.num_arcs, g->input_bits, &b.input, same));
    ZV_TRY(pack(&g->output_labels, b.num_arcs, g->output_bits, &b.output, plus_one));
    // The weights stay bytes, trimmed to the arcs made.
    int8_t *weights = static_cast<int8_t *>(realloc(b.weight, b.num_arcs > 0 ? static_cast<size_t>(b.num_arcs) : 1));
    if (!weights) return ZV_STATUS_OUT_OF_MEMORY;
    g->weights = weights;
    b.weight = nullptr;
    ZV_TRY(pack(&g->targets, b.num_arcs, g->state_bits, &b.target, same));
    ZV_TRY(pack(&g->next_arc, b.num_arcs, g->arc_bits, &b.next, plus_one));
    return ZV_STATUS_SUCCESS;
}

// The rest of the file from its current position, whole.
zv_status_t read_rest(FILE *file, Block<uint8_t> *data, uint64_t *size) {
    const int64_t start = zv_file_tell(file);
    if (start < 0 || zv_file_seek(file, 0, SEEK_END) != 0) return ZV_STATUS_IO_ERROR;
    const int64_t end = zv_file_tell(file);
    if (end < 0 || end - start <= 0) return ZV_STATUS_IO_ERROR;
    if (zv_file_seek(file, start, SEEK_SET) != 0) return ZV_STATUS_IO_ERROR;
    const uint64_t n = static_cast<uint64_t>(end - start);
    if (n > SIZE_MAX) return ZV_STATUS_OUT_OF_MEMORY;
    data->reset(static_cast<uint8_t *>(malloc(static_cast<size_t>(n))));
    if (!*data) return ZV_STATUS_OUT_OF_MEMORY;
    if (fread(data->get(), 1, static_cast<size_t>(n), file) != static_cast<size_t>(n)) return ZV_STATUS_IO_ERROR;
    *size = n;
    return ZV_STATUS_SUCCESS;
}

zv_status_t load(FILE *file, zv_graph_t **out) {
    std::unique_ptr<zv_graph_t, GraphDeleter> graph(static_cast<zv_graph_t *>(calloc(1, sizeof(zv_graph_t))));
    if (!graph) return ZV_STATUS_OUT_OF_MEMORY;
    std::unique_ptr<zv_dict_t, DictDeleter> dict;
    std::unique_ptr<zv_mgram_t, MgramDeleter> mgram;
    uint64_t size = 0;
    {
        Block<uint8_t> data;
        ZV_TRY(read_rest(file, &data, &size));
        const uint8_t *const end = data.get() + size;
        const void *cursor = data.get();
        const auto left = [&] { return static_cast<uint64_t>(end - static_cast<const uint8_t *>(cursor)); };
        zv_lexicon_t *lexicon = nullptr;
        ZV_TRY(zv_lexicon_deserialize_bounded(&cursor, left(), &lexicon));
        graph->lexicon = lexicon;
        zv_dict_t *d = nullptr;
        const zv_status_t dict_status = zv_dict_deserialize_bounded(lexicon, &cursor, left(), &d);
        dict.reset(d);
        ZV_TRY(dict_status);
        zv_mgram_t *m = nullptr;
        const zv_status_t mgram_status = zv_mgram_deserialize_bounded(&cursor, left(), &m);
        mgram.reset(m);
        ZV_TRY(mgram_status);
    }
    // Output labels index the lexicon: every word below the root must be
    // one of its words. And the build's cost is bounded first
    // (kMaxBuiltPerByte). It looks up L + 2 arcs for each pronunciation of L
    // phonemes of each node's word (its phone arcs, its word arc and the
    // node's backoff arc), whether or not it then makes them. What it makes,
    // counted as if no two pronunciations shared a prefix, is at most a state
    // per node, and for each node below the root a phone state and a phone
    // arc per phoneme and a word arc per pronunciation of its word, and a
    // backoff arc when it has any; only when that passes the limit are
    // shared prefixes counted, as the build shares them. Each pronunciation
    // counts at least two lookups, so the first count stops within `limit`
    // steps; the second stops once past the limit too, and so does the walk
    // that finds the backoff states.
    const int32_t num_nodes = zv_mgram_size(mgram.get());
    if (num_nodes > kMaxCount) return ZV_STATUS_INVALID_ARGUMENT;  // more states than fields can number
    const int32_t num_words = zv_lexicon_size(graph->lexicon);
    const uint64_t limit = kMaxBuiltPerByte * size;
    uint64_t lookups = 0;
    uint64_t most = static_cast<uint64_t>(num_nodes);
    for (int32_t node = 1; node < num_nodes && lookups <= limit; ++node) {
        const int32_t w = zv_mgram_word(mgram.get(), node);
        if (w < 0 || w >= num_words) return ZV_STATUS_INVALID_ARGUMENT;
        const int32_t k = zv_dict_num_pronunciations(dict.get(), w);
        most += k > 0 ? 1 : 0;
        for (int32_t p = 0; p < k && lookups <= limit; ++p) {
            int32_t length = 0;
            const int32_t *ids = nullptr;
            zv_dict_pronunciation(dict.get(), w, p, &length, &ids);
            lookups += static_cast<uint64_t>(length) + 2;
            most += 2 * static_cast<uint64_t>(length) + 1;
        }
    }
    if (lookups > limit) return ZV_STATUS_INVALID_ARGUMENT;
    if (most > limit) {
        uint64_t built = 0;
        ZV_TRY(zv_graph_count_built(mgram.get(), dict.get(), limit, &built));
        if (built > limit) return ZV_STATUS_INVALID_ARGUMENT;
    }

    std::vector<int32_t> backoff_of;
    if (!backoff_states(mgram.get(), limit, backoff_of)) return ZV_STATUS_INVALID_ARGUMENT;

    Builder b;
    ZV_TRY(b.init(num_nodes));
    ZV_TRY(build_arcs(b, mgram.get(), dict.get(), backoff_of));
    std::vector<int32_t>().swap(backoff_of);
    const int32_t num_phonemes = zv_dict_phoneme_set_size(dict.get());
    mgram.reset();
    dict.reset();
    push_weights(b, num_nodes);
    ZV_TRY(pack_graph(b, num_phonemes, graph.get()));
    *out = graph.release();
    return ZV_STATUS_SUCCESS;
}

}  // namespace

extern "C" zv_status_t zv_graph_init(const char *path, zv_graph_t **graph) {
    if (!graph) return ZV_STATUS_INVALID_ARGUMENT;
    *graph = nullptr;
    if (!path) return ZV_STATUS_INVALID_ARGUMENT;
    FILE *file = zv_fopen(path, "rb");
    if (!file) return zv_fopen_failure();
    const zv_status_t status = zv_graph_load(file, graph);
    fclose(file);
    return status;
}

extern "C" zv_status_t zv_graph_load(FILE *file, zv_graph_t **graph) {
    if (!graph) return ZV_STATUS_INVALID_ARGUMENT;
    *graph = nullptr;
    if (!file) return ZV_STATUS_INVALID_ARGUMENT;
    try {
        return load(file, graph);
    } catch (const std::bad_alloc &) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
}

extern "C" void zv_graph_delete(zv_graph_t *graph) {
    if (!graph) return;
    free(graph->final_flags);
    free(graph->first_arc);
    free(graph->input_labels);
    free(graph->output_labels);
    free(graph->weights);
    free(graph->targets);
    free(graph->next_arc);
    zv_lexicon_delete(graph->lexicon);
    free(graph);
}

extern "C" const char *zv_graph_word(const zv_graph_t *graph, int32_t label) {
    return zv_lexicon_decode(graph->lexicon, label - 1);
}

extern "C" int32_t zv_graph_start_state(const zv_graph_t *) { return 0; }

extern "C" int32_t zv_graph_state_arc(const zv_graph_t *graph, int32_t state, int32_t arc) {
    return arc == -1 ? zv_graph_first_arc_of(graph, state) : zv_graph_next_arc_of(graph, arc);
}

extern "C" int32_t zv_graph_input(const zv_graph_t *graph, int32_t arc) { return zv_graph_input_of(graph, arc); }

extern "C" int32_t zv_graph_output(const zv_graph_t *graph, int32_t arc) { return zv_graph_output_of(graph, arc); }

extern "C" float zv_graph_weight(const zv_graph_t *graph, int32_t arc) { return zv_graph_weight_of(graph, arc); }

extern "C" int32_t zv_graph_state(const zv_graph_t *graph, int32_t arc) { return zv_graph_target_of(graph, arc); }

extern "C" bool zv_graph_is_final(const zv_graph_t *graph, int32_t state) {
    return zv_graph_field(graph->final_flags, state, 1) != 0;
}

extern "C" int32_t zv_graph_num_words(const zv_graph_t *graph) { return zv_lexicon_size(graph->lexicon); }

extern "C" int32_t zv_graph_num_states(const zv_graph_t *graph) { return graph->num_states; }

extern "C" int32_t zv_graph_num_arcs(const zv_graph_t *graph) { return graph->num_arcs; }
