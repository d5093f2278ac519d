// Shared by the gram set and the count tree: tries of heap nodes with a
// word, a child count and an exactly sized array of children ascending by
// word. Every walk here is iterative, so a trie's depth is bounded by memory
// alone, never by the call stack.
#ifndef ZV_LM_TRIE_H
#define ZV_LM_TRIE_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "foundation/status.h"
#include "foundation/tree_bits.h"
#include "zv_lumarin.h"

namespace zv_trie {

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
// values) at its sorted place. `capacity` is the array's slots (the child
// count unless a loader keeps spare room); it grows by one slot when no room
// is spare. On failure the node keeps its children as they were.
template <typename Node>
zv_status_t find_or_insert(Node *node, int32_t word, Node **child, int32_t *capacity = nullptr) {
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
    const int32_t slots = capacity ? *capacity : n;
    if (n >= slots) {
        // A loader doubles (and trims when the node is closed); everyone else grows by one.
        const int64_t wanted = capacity ? (n < 4 ? 4 : 2 * static_cast<int64_t>(n)) : n + 1;
        const int32_t grown_slots = wanted > INT32_MAX ? INT32_MAX : static_cast<int32_t>(wanted);
        Node **grown = static_cast<Node **>(realloc(node->children, sizeof(Node *) * static_cast<size_t>(grown_slots)));
        if (!grown) {
            free(fresh);
            return ZV_STATUS_OUT_OF_MEMORY;
        }
        node->children = grown;
        if (capacity) *capacity = grown_slots;
    }
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

// Builds one node and its subtree from a checked structure string, as the
// file loaders do: `make(parent, &node)` reads the next node's values and
// finds or inserts it under parent (a new root when parent is NULL; the
// capacity pointer tracks the parent's spare room). Stops when the node is
// left; the structure cursor then stands after its closing bit.
template <typename Node, typename Make>
zv_status_t load_subtree(Node *parent, const void *structure, int32_t *structure_cursor, Node **out, Make &&make) {
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
            trim(frame.node, frame.capacity);
            stack.pop();
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
        // Open nodes may hold spare slots; that harms nothing but a trim.
        while (!stack.empty()) {
            trim(stack.top().node, stack.top().capacity);
            stack.pop();
        }
        if (!parent) destroy(first);
        return status;
    }
    *out = first;
    return ZV_STATUS_SUCCESS;
}

}  // namespace zv_trie

#endif
