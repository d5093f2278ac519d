#include "lm/graph_count.h"

#include <stdlib.h>
#include <string.h>

#include "foundation/status.h"

namespace {

// Grows an array to `capacity` entries; false (the array unchanged) when out
// of memory.
template <typename T>
bool grow(T **array, size_t capacity) {
    if (capacity > SIZE_MAX / sizeof(T)) return false;
    T *grown = static_cast<T *>(realloc(*array, sizeof(T) * capacity));
    if (!grown) return false;
    *array = grown;
    return true;
}

// The distinct prefixes of the pronunciations walked so far, as a tree:
// prefix i > 0 is prefix parent(i) followed by one phoneme, prefix 0 the
// empty one. A table addressed by (parent, phoneme) finds each extension in
// constant time. Beside each prefix: the last model node under which it was
// counted, and the last word with a pronunciation ending there.
class Prefixes {
public:
    Prefixes() = default;
    Prefixes(const Prefixes &) = delete;
    Prefixes &operator=(const Prefixes &) = delete;
    ~Prefixes() {
        free(parent_);
        free(label_);
        free(node_);
        free(word_);
        free(slots_);
    }

    zv_status_t init() {
        if (!reserve(kFewest) || !use_slots(2 * kFewest)) return ZV_STATUS_OUT_OF_MEMORY;
        place(-1, 0);
        return ZV_STATUS_SUCCESS;
    }

    // The prefix followed by `label`, added when new.
    zv_status_t extend(int32_t prefix, int32_t label, int32_t *out) {
        uint64_t s = home(prefix, label);
        for (; slots_[s] != -1; s = (s + 1) & mask_) {
            const int32_t i = slots_[s];
            if (parent_[i] == prefix && label_[i] == label) {
                *out = i;
                return ZV_STATUS_SUCCESS;
            }
        }
        // Fewer prefixes than dictionary nodes, themselves a 32-bit count.
        if (size_ == INT32_MAX) return ZV_STATUS_OUT_OF_MEMORY;
        if (static_cast<size_t>(size_) == capacity_ && !reserve(2 * capacity_)) return ZV_STATUS_OUT_OF_MEMORY;
        *out = place(prefix, label);
        slots_[s] = *out;
        // At most half the slots in use, so that probes stay short.
        if (2 * static_cast<uint64_t>(size_) <= mask_ + 1) return ZV_STATUS_SUCCESS;
        if (!use_slots(2 * (mask_ + 1))) return ZV_STATUS_OUT_OF_MEMORY;
        for (int32_t i = 1; i < size_; ++i) {
            uint64_t t = home(parent_[i], label_[i]);
            while (slots_[t] != -1) t = (t + 1) & mask_;
            slots_[t] = i;
        }
        return ZV_STATUS_SUCCESS;
    }

    int32_t parent(int32_t i) const { return parent_[i]; }
    int32_t &node(int32_t i) { return node_[i]; }
    int32_t &word(int32_t i) { return word_[i]; }

private:
    static constexpr size_t kFewest = 64;

    uint64_t home(int32_t prefix, int32_t label) const {
        const uint64_t key = (static_cast<uint64_t>(static_cast<uint32_t>(prefix)) << 32) | static_cast<uint32_t>(label);
        return (key * 0x9E3779B97F4A7C15ull) >> shift_;
    }

    bool reserve(size_t capacity) {
        if (!grow(&parent_, capacity) || !grow(&label_, capacity) || !grow(&node_, capacity) ||
            !grow(&word_, capacity)) {
            return false;
        }
        capacity_ = capacity;
        return true;
    }

    // `count` (a power of two) empty slots.
    bool use_slots(uint64_t count) {
        if (count > SIZE_MAX / sizeof(int32_t)) return false;
        int32_t *slots = static_cast<int32_t *>(malloc(sizeof(int32_t) * static_cast<size_t>(count)));
        if (!slots) return false;
        memset(slots, 0xff, sizeof(int32_t) * static_cast<size_t>(count));
        free(slots_);
        slots_ = slots;
        mask_ = count - 1;
        int32_t bits = 0;
        while ((uint64_t{1} << bits) < count) bits += 1;
        shift_ = 64 - bits;
        return true;
    }

    int32_t place(int32_t prefix, int32_t label) {
        const int32_t i = size_++;
        parent_[i] = prefix;
        label_[i] = label;
        node_[i] = -1;
        word_[i] = -1;
        return i;
    }

    int32_t *parent_ = nullptr;
    int32_t *label_ = nullptr;
    int32_t *node_ = nullptr;
    int32_t *word_ = nullptr;
    int32_t size_ = 0;
    size_t capacity_ = 0;
    int32_t *slots_ = nullptr;  // prefix numbers, -1 for none
    uint64_t mask_ = 0;
    int32_t shift_ = 64;
};

// Each word's distinct pronunciations as the prefixes they end at, found at
// the word's first use: the build walks every pronunciation of a child's
// word under every node, but repeats of one add nothing.
class WordEnds {
public:
    WordEnds() = default;
    WordEnds(const WordEnds &) = delete;
    WordEnds &operator=(const WordEnds &) = delete;
    ~WordEnds() {
        free(first_);
        free(count_);
        free(ends_);
    }

    // Words 0 to num_words - 1.
    zv_status_t init(int32_t num_words) {
        const size_t n = num_words > 0 ? static_cast<size_t>(num_words) : 1;
        if (!grow(&first_, n) || !grow(&count_, n)) return ZV_STATUS_OUT_OF_MEMORY;
        for (size_t w = 0; w < n; ++w) first_[w] = -1;
        return ZV_STATUS_SUCCESS;
    }

    // The ends of word w's pronunciations at *ends, valid until the next call.
    zv_status_t of(const zv_dict_t *dict, Prefixes &prefixes, int32_t w, const int32_t **ends, int32_t *count) {
        if (first_[w] == -1) {
            const int32_t first = size_;
            const int32_t k = zv_dict_num_pronunciations(dict, w);
            for (int32_t p = 0; p < k; ++p) {
                int32_t length = 0;
                const int32_t *ids = nullptr;
                zv_dict_pronunciation(dict, w, p, &length, &ids);
                int32_t x = 0;
                for (int32_t j = 0; j < length; ++j) ZV_TRY(prefixes.extend(x, ids[j], &x));
                if (prefixes.word(x) == w) continue;  // a repeat
                prefixes.word(x) = w;
                // At most one end a dictionary pronunciation, a 32-bit count.
                if (static_cast<size_t>(size_) == capacity_) {
                    const size_t capacity = capacity_ == 0 ? 16 : 2 * capacity_;
                    if (!grow(&ends_, capacity)) return ZV_STATUS_OUT_OF_MEMORY;
                    capacity_ = capacity;
                }
                ends_[size_++] = x;
            }
            first_[w] = first;
            count_[w] = size_ - first;
        }
        *ends = ends_ + first_[w];
        *count = count_[w];
        return ZV_STATUS_SUCCESS;
    }

private:
    int32_t *first_ = nullptr;  // per word, -1 before its first use
    int32_t *count_ = nullptr;
    int32_t *ends_ = nullptr;
    int32_t size_ = 0;
    size_t capacity_ = 0;
};

zv_status_t count_built(const zv_mgram_t *mgram, const zv_dict_t *dict, uint64_t limit, uint64_t *count) {
    const int32_t num_nodes = zv_mgram_size(mgram);
    int32_t num_words = 0;
    for (int32_t n = 1; n < num_nodes; ++n) {
        const int32_t w = zv_mgram_word(mgram, n);
        if (w >= num_words) num_words = w + 1;
    }
    Prefixes prefixes;
    ZV_TRY(prefixes.init());
    WordEnds words;
    ZV_TRY(words.init(num_words));
    // Under node n, its children's pronunciations form a prefix tree: a
    // phone state and arc for each prefix first met under n, marked with n
    // on the way up from each end; a word arc for each end; a backoff arc for
    // each child.
    uint64_t built = static_cast<uint64_t>(num_nodes);
    for (int32_t n = 0; n < num_nodes && built <= limit; ++n) {
        const int32_t num_children = zv_mgram_num_children(mgram, n);
        const int32_t *children = zv_mgram_children(mgram, n);
        for (int32_t i = 0; i < num_children && built <= limit; ++i) {
            const int32_t w = zv_mgram_word(mgram, children[i]);
            if (w < 0) continue;  // no word, no pronunciation
            const int32_t *ends = nullptr;
            int32_t num_ends = 0;
            ZV_TRY(words.of(dict, prefixes, w, &ends, &num_ends));
            if (num_ends == 0) continue;
            built += 1 + static_cast<uint64_t>(num_ends);
            for (int32_t e = 0; e < num_ends; ++e) {
                for (int32_t x = ends[e]; x != 0 && prefixes.node(x) != n; x = prefixes.parent(x)) {
                    prefixes.node(x) = n;
                    built += 2;
                }
            }
        }
    }
    *count = built;
    return ZV_STATUS_SUCCESS;
}

}  // namespace

extern "C" zv_status_t zv_graph_count_built(const zv_mgram_t *mgram, const zv_dict_t *dict, uint64_t limit,
                                            uint64_t *count) {
    *count = 0;
    return count_built(mgram, dict, limit, count);
}
