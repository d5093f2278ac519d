// Shared by the gram set and the count tree: tries of heap nodes with a
// word, a child count and an exactly sized array of children ascending by
// word. Every walk here is iterative, so a trie's depth is bounded by memory
// alone, never by the call stack.
#ifndef ZV_LM_TRIE_H
#define ZV_LM_TRIE_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>

#include "foundation/bit_field.h"
#include "foundation/file.h"
#include "foundation/status.h"
#include "foundation/tree_bits.h"
#include "zv_lumarin.h"

namespace zv_trie {

struct FreeDeleter {
    void operator()(void *block) const { free(block); }
};
template <typename T>
using Block = std::unique_ptr<T, FreeDeleter>;

// Position of the first child whose word is not below `word`.
template <typename Node>
inline int32_t lower_bound(const Node *node, int32_t word) {
    int32_t lo = 0;
    int32_t hi = node->num_children;
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (node->children[mid]->word < word) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

template <typename Node>
inline Node *find(const Node *node, int32_t word) {
    const int32_t k = lower_bound(node, word);
    return (k < node->num_children && node->children[k]->word == word) ? node->children[k] : nullptr;
}

// Finds the child with `word` or inserts a new one (no children, zeroed
// values) at its sorted place, the array growing by exactly one slot. On
// failure the node keeps its children as they were.
template <typename Node>
zv_status_t find_or_insert(Node *node, int32_t word, Node **child) {
    const int32_t k = lower_bound(node, word);
    const int32_t n = node->num_children;
    if (k < n && node->children[k]->word == word) {
        *child = node->children[k];
        return ZV_STATUS_SUCCESS;
    }
    if (n == INT32_MAX) return ZV_STATUS_OUT_OF_MEMORY;
    Node *fresh = static_cast<Node *>(calloc(1, sizeof(Node)));
    if (!fresh) return ZV_STATUS_OUT_OF_MEMORY;
    fresh->word = word;
    Node **grown = static_cast<Node **>(realloc(node->children, sizeof(Node *) * static_cast<size_t>(n + 1)));
    if (!grown) {
        free(fresh);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    node->children = grown;
    memmove(node->children + k + 1, node->children + k, sizeof(Node *) * static_cast<size_t>(n - k));
    node->children[k] = fresh;
    node->num_children = n + 1;
    *child = fresh;
    return ZV_STATUS_SUCCESS;
}

// Gives back the spare slots a loader kept; a failed trim keeps the block.
template <typename Node>
void trim(Node *node, int32_t capacity) {
    if (capacity == node->num_children) return;
    if (node->num_children == 0) {
        free(node->children);
        node->children = nullptr;
        return;
    }
    Node **fitted = static_cast<Node **>(realloc(node->children, sizeof(Node *) * static_cast<size_t>(node->num_children)));
    if (fitted) node->children = fitted;
}

// Frees a node and its whole subtree without allocating: on the way down,
// the slot a child is taken from keeps the way back up.
template <typename Node>
void destroy(Node *root) {
    Node *node = root;
    Node *parent = nullptr;
    while (node) {
        if (node->num_children > 0) {
            const int32_t k = node->num_children - 1;
            Node *child = node->children[k];
            node->children[k] = parent;
            node->num_children = k;
            parent = node;
            node = child;
            continue;
        }
        Node *up = parent;
        free(node->children);
        free(node);
        node = up;
        parent = up ? up->children[up->num_children] : nullptr;
    }
}

// A counted node is sound when it counts at least 1 and at least what its
// children count together (a sum beyond int64 exceeds any count).
template <typename Node>
bool count_covers_children(const Node *node) {
    if (node->count < 1) return false;
    int64_t sum = 0;
    for (int32_t i = 0; i < node->num_children; ++i) {
        if (__builtin_add_overflow(sum, node->children[i]->count, &sum)) return false;
    }
    return sum <= node->count;
}

// A stack of walk frames: a few levels in place, deeper walks on the heap,
// sized once for the trie's depth so that a walk either runs whole or not
// at all.
template <typename Frame>
class Stack {
public:
    Stack() = default;
    Stack(const Stack &) = delete;
    Stack &operator=(const Stack &) = delete;
    ~Stack() {
        if (frames_ != local_) free(frames_);
    }
    // Room for `levels` frames; false when it can't be had.
    bool reserve(int64_t levels) {
        if (levels <= capacity_) return true;
        if (static_cast<uint64_t>(levels) > SIZE_MAX / sizeof(Frame)) return false;
        Frame *heap = static_cast<Frame *>(malloc(sizeof(Frame) * static_cast<size_t>(levels)));
        if (!heap) return false;
        memcpy(static_cast<void *>(heap), frames_, sizeof(Frame) * static_cast<size_t>(size_));
        if (frames_ != local_) free(frames_);
        frames_ = heap;
        capacity_ = levels;
        return true;
    }
    // Grows by doubling, for walks whose depth isn't known beforehand.
    bool push(const Frame &frame) {
        if (size_ == capacity_ && !reserve(2 * capacity_)) return false;
        frames_[size_++] = frame;
        return true;
    }
    Frame &top() { return frames_[size_ - 1]; }
    void pop() { --size_; }
    bool empty() const { return size_ == 0; }
    int64_t size() const { return size_; }

private:
    static constexpr int64_t kLocal = 32;
    Frame local_[kLocal];
    Frame *frames_ = local_;
    int64_t capacity_ = kLocal;
    int64_t size_ = 0;
};

// Depth-first walk from `root`: enter(node, depth) before a node's children
// returns 1 to go on into them (leave(node) follows after them), 0 to pass
// them by (no leave), -1 to end the walk with false. A stack that can't hold
// `depth_bound` + 1 levels ends the walk with false before anything is
// visited.
template <typename Node, typename Enter, typename Leave>
bool preorder(Node *root, int64_t depth_bound, Enter &&enter, Leave &&leave) {
    struct Frame {
        Node *node;
        int32_t next;
    };
    Stack<Frame> stack;
    if (!stack.reserve(depth_bound + 1)) return false;
    int32_t verdict = enter(root, int64_t{0});
    if (verdict < 0) return false;
    if (verdict == 0) return true;
    stack.push(Frame{root, 0});
    while (!stack.empty()) {
        Frame &frame = stack.top();
        if (frame.next < frame.node->num_children) {
            Node *child = frame.node->children[frame.next++];
            verdict = enter(child, stack.size());
            if (verdict < 0) return false;
            if (verdict > 0 && !stack.push(Frame{child, 0})) return false;
        } else {
            leave(frame.node);
            stack.pop();
        }
    }
    return true;
}

// Walks two tries together from their roots, children paired by position
// up to the shorter list: visit(a, b) for every pair (roots first) returns
// 1 to descend into the pair, 0 to pass it by, -1 to end the walk with
// false. False too when the stack can't be had.
template <typename A, typename B, typename Visit>
bool paired(A *a, B *b, int64_t depth_bound, Visit &&visit) {
    struct Frame {
        A *a;
        B *b;
        int32_t next;
    };
    Stack<Frame> stack;
    if (!stack.reserve(depth_bound + 1)) return false;
    int32_t verdict = visit(a, b);
    if (verdict < 0) return false;
    if (verdict == 0) return true;
    stack.push(Frame{a, b, 0});
    while (!stack.empty()) {
        Frame &frame = stack.top();
        const int32_t shorter =
            frame.a->num_children < frame.b->num_children ? frame.a->num_children : frame.b->num_children;
        if (frame.next >= shorter) {
            stack.pop();
            continue;
        }
        A *ca = frame.a->children[frame.next];
        B *cb = frame.b->children[frame.next];
        frame.next += 1;
        verdict = visit(ca, cb);
        if (verdict < 0) return false;
        if (verdict > 0 && !stack.push(Frame{ca, cb, 0})) return false;
    }
    return true;
}

// Appends the node `fresh` after the node's children, in file order;
// `capacity` tracks the array's slots and doubles. Sorting and merging wait
// for the node's end (normalize). On failure fresh is not linked.
template <typename Node>
zv_status_t attach(Node *node, Node *fresh, int32_t *capacity) {
    const int32_t n = node->num_children;
    if (n == INT32_MAX) return ZV_STATUS_OUT_OF_MEMORY;
    if (n >= *capacity) {
        const int64_t wanted = n < 4 ? 4 : 2 * static_cast<int64_t>(n);
        const int32_t slots = wanted > INT32_MAX ? INT32_MAX : static_cast<int32_t>(wanted);
        Node **grown = static_cast<Node **>(realloc(node->children, sizeof(Node *) * static_cast<size_t>(slots)));
        if (!grown) return ZV_STATUS_OUT_OF_MEMORY;
        node->children = grown;
        *capacity = slots;
    }
    node->children[n] = fresh;
    node->num_children = n + 1;
    return ZV_STATUS_SUCCESS;
}

// Appends a new child with `word` (no children, zeroed values), as attach.
template <typename Node>
zv_status_t append(Node *node, int32_t word, Node **child, int32_t *capacity) {
    Node *fresh = static_cast<Node *>(calloc(1, sizeof(Node)));
    if (!fresh) return ZV_STATUS_OUT_OF_MEMORY;
    fresh->word = word;
    const zv_status_t status = attach(node, fresh, capacity);
    if (status != ZV_STATUS_SUCCESS) {
        free(fresh);
        return status;
    }
    *child = fresh;
    return ZV_STATUS_SUCCESS;
}

// After a failure part way through a list: children [0, kept) are done,
// [next, count) untouched and the slots between stale. Closes the gap, so
// that every node is held exactly once and the tree can be deleted.
template <typename Node>
zv_status_t close_gap(Node *node, int32_t kept, int32_t next) {
    const int32_t rest = node->num_children - next;
    memmove(node->children + kept, node->children + next, sizeof(Node *) * static_cast<size_t>(rest));
    node->num_children = kept + rest;
    return ZV_STATUS_OUT_OF_MEMORY;
}

// Frees a node whose children went to another: its child array and itself.
struct FreeMerged {
    template <typename Node>
    void operator()(Node *from) const {
        free(from->children);
        free(from);
    }
};

// Brings the children of a node read from a file into shape: ascending by
// word, one node per word. Siblings that share a word become the first of
// them, taking the values of the last (absorb(into, from) in file order)
// and the children of all, which are then brought into shape in turn; the
// others go to release(from) once their children are taken. One sort per
// list, so a file listing its children in any order loads in n log n. On
// failure the tree can still be deleted.
template <typename Node, typename Absorb, typename Release = FreeMerged>
zv_status_t normalize(Node *top, int32_t capacity, Absorb &&absorb, Release &&release = Release{}) {
    struct Frame {
        Node *node;
        int32_t capacity;
    };
    Stack<Frame> work;
    work.push(Frame{top, capacity});
    while (!work.empty()) {
        const Frame frame = work.top();
        work.pop();
        Node *node = frame.node;
        Node **children = node->children;
        const int32_t k = node->num_children;
        bool ascending = true;
        for (int32_t i = 1; i < k && ascending; ++i) ascending = children[i - 1]->word < children[i]->word;
        if (!ascending) {
            // Stable, so that equal words stay in file order.
            std::stable_sort(children, children + k, [](const Node *a, const Node *b) { return a->word < b->word; });
            int32_t kept = 0;
            for (int32_t i = 0; i < k;) {
                int32_t j = i + 1;
                int64_t total = children[i]->num_children;
                while (j < k && children[j]->word == children[i]->word) total += children[j++]->num_children;
                if (j - i == 1) {
                    children[kept++] = children[i++];
                    continue;
                }
                Node *into = children[i];
                if (total > INT32_MAX) return close_gap(node, kept, i);
                Node **merged = total > 0 ? static_cast<Node **>(malloc(sizeof(Node *) * static_cast<size_t>(total)))
                                          : nullptr;
                if (total > 0 && !merged) return close_gap(node, kept, i);
                int32_t filled = 0;
                for (int32_t r = i; r < j; ++r) {
                    Node *from = children[r];
                    if (from->num_children > 0) {
                        memcpy(merged + filled, from->children, sizeof(Node *) * static_cast<size_t>(from->num_children));
                    }
                    filled += from->num_children;
                    if (r > i) {
                        absorb(into, from);
                        release(from);
                    }
                }
                free(into->children);
                into->children = merged;
                into->num_children = filled;
                children[kept++] = into;
                i = j;
                if (!work.push(Frame{into, filled})) return close_gap(node, kept, i);
            }
            node->num_children = kept;
        }
        trim(node, frame.capacity);
    }
    return ZV_STATUS_SUCCESS;
}

// Builds one node and its subtree from a checked structure string, as the
// file loaders do: `make(parent, capacity, &node)` reads the next node's
// values and makes it: a new root when parent is NULL, found or inserted
// under parent in its sorted place when capacity is NULL, else appended
// (capacity tracks the parent's spare room). Each node is brought into
// shape (normalize, absorb as there) when it ends. Stops when the first
// node is left; the structure cursor then stands after its closing bit.
template <typename Node, typename Make, typename Absorb>
zv_status_t load_subtree(Node *parent, const void *structure, int32_t *structure_cursor, Node **out, Make &&make,
                         Absorb &&absorb) {
    struct Frame {
        Node *node;
        int32_t capacity;
    };
    Node *first = nullptr;
    ZV_TRY(make(parent, static_cast<int32_t *>(nullptr), &first));
    Stack<Frame> stack;
    stack.push(Frame{first, first->num_children});
    // The caller vouches for the string, so the reader is set up mid-walk:
    // the node's opening bit is behind the cursor and a parent is open
    // above it, so that leaving the node ends the walk at depth 1.
    zv_tree_bits_reader_t reader;
    zv_tree_bits_reader_init(&reader, structure, UINT64_MAX >> 3, INT64_MAX);
    reader.position = static_cast<uint64_t>(*structure_cursor);
    reader.entered = 1;
    reader.node = 0;
    reader.depth = 2;
    zv_status_t status = ZV_STATUS_SUCCESS;
    int32_t event;
    while (!stack.empty() && (status = zv_tree_bits_next(&reader, &event)) == ZV_STATUS_SUCCESS) {
        Frame &frame = stack.top();
        if (event == ZV_TREE_BITS_LEAVE) {
            const Frame done = frame;
            stack.pop();
            status = normalize(done.node, done.capacity, absorb);
            if (status != ZV_STATUS_SUCCESS) break;
            continue;
        }
        Node *child = nullptr;
        status = make(frame.node, &frame.capacity, &child);
        if (status != ZV_STATUS_SUCCESS) break;
        if (!stack.push(Frame{child, child->num_children})) {
            status = ZV_STATUS_OUT_OF_MEMORY;
            break;
        }
    }
    *structure_cursor = static_cast<int32_t>(reader.position);
    if (status != ZV_STATUS_SUCCESS) {
        // Open nodes may hold spare slots and unsorted children; with a
        // parent given, the nodes read stay under it and go with its tree.
        if (!parent) destroy(first);
        return status;
    }
    *out = first;
    return ZV_STATUS_SUCCESS;
}

// The stored form shared by the gram and count files: a header, optional
// per-node values, the tree-structure string of n nodes, then n word fields
// of `bits` bits (word id + 1, the root's 0).

// Checks the structure string against the declared n and the bytes given
// (the bounded reader), and every word field: 0 at the root, 1 .. largest
// below it. *depth receives the deepest node's depth.
inline zv_status_t check_stored(const uint8_t *structure, uint64_t structure_bytes, int32_t n,
                                const uint8_t *word_fields, int32_t bits, uint32_t largest, int32_t *depth) {
    zv_tree_bits_reader_t reader;
    zv_tree_bits_reader_init(&reader, structure, structure_bytes, n);
    int64_t deepest = 0;
    int32_t event;
    zv_status_t status;
    while ((status = zv_tree_bits_next(&reader, &event)) == ZV_STATUS_SUCCESS) {
        if (event != ZV_TREE_BITS_ENTER) continue;
        const uint32_t v = zv_bit_field_read_bytes(word_fields, static_cast<uint64_t>(reader.node), bits);
        const bool fits = reader.node == 0 ? v == 0 : (v >= 1 && v <= largest);
        if (!fits) return ZV_STATUS_INVALID_ARGUMENT;
        if (reader.depth - 1 > deepest) deepest = reader.depth - 1;
    }
    if (status != ZV_STATUS_STOP_ITERATION) return status;
    *depth = static_cast<int32_t>(deepest);
    return ZV_STATUS_SUCCESS;
}

// Counts the nodes to store into *n and the largest word below the root
// into *largest (-1 for a lone root). A word outside lowest .. highest can't
// be stored: INVALID_ARGUMENT. Readers take at most 2^30 nodes (their bit
// cursors are 32-bit): OUT_OF_MEMORY for more, as for a walk that can't be had.
template <typename Node>
zv_status_t census(const Node *root, int64_t depth, int32_t lowest, int32_t highest, uint64_t *n, int32_t *largest) {
    uint64_t nodes = 0;
    int32_t top = -1;
    bool stray = false;
    const bool walked = preorder(
        root, depth,
        [&](const Node *node, int64_t level) {
            if (level > 0) {
                if (node->word < lowest || node->word > highest) {
                    stray = true;
                    return -1;
                }
                if (node->word > top) top = node->word;
            }
            nodes += 1;
            return 1;
        },
        [](const Node *) {});
    if (stray) return ZV_STATUS_INVALID_ARGUMENT;
    if (!walked || nodes > INT32_MAX / 2) return ZV_STATUS_OUT_OF_MEMORY;
    *n = nodes;
    *largest = top;
    return ZV_STATUS_SUCCESS;
}

// Writes the stored form of a trie of n nodes (see census) to path in one
// write: header(bytes) fills the first header_bytes, value(node, bytes)
// the node's value_bytes after them in preorder. A file of 2^31 bytes or
// more gives OUT_OF_MEMORY, a failed open, write or close IO_ERROR.
template <typename Node, typename Header, typename Value>
zv_status_t save_stored(const Node *root, int64_t depth, uint64_t n, int32_t bits, uint64_t header_bytes,
                        uint64_t value_bytes, Header &&header, Value &&value, const char *path) {
    const uint64_t values_bytes = value_bytes * n;
    const uint64_t structure_bytes = zv_tree_bits_size_bytes(n);
    const uint64_t word_words = zv_bit_field_size_uint32(n, bits);
    const uint64_t total = header_bytes + values_bytes + structure_bytes + 4 * word_words;
    if (total > INT32_MAX) return ZV_STATUS_OUT_OF_MEMORY;
    uint8_t *out = static_cast<uint8_t *>(calloc(static_cast<size_t>(total), 1));
    if (!out) return ZV_STATUS_OUT_OF_MEMORY;
    header(out);
    uint8_t *values = out + header_bytes;
    zv_tree_bits_writer_t structure;
    zv_tree_bits_writer_init(&structure, values + values_bytes);
    // The block comes from malloc and the fields start at a multiple of 4.
    uint32_t *word_fields = reinterpret_cast<uint32_t *>(values + values_bytes + structure_bytes);
    uint64_t index = 0;
    const bool written = preorder(
        root, depth,
        [&](const Node *node, int64_t) {
            value(node, values + value_bytes * index);
            zv_bit_field_write(word_fields, index, bits, static_cast<uint32_t>(node->word + 1));
            zv_tree_bits_writer_enter(&structure);
            index += 1;
            return 1;
        },
        [&](const Node *) { zv_tree_bits_writer_leave(&structure); });
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (uint64_t i = 0; i < word_words; ++i) word_fields[i] = __builtin_bswap32(word_fields[i]);
#endif
    const zv_status_t status = written ? zv_file_save(path, static_cast<int32_t>(total), out) : ZV_STATUS_OUT_OF_MEMORY;
    free(out);
    return status;
}

}  // namespace zv_trie

#endif
