#include "lm/ngram.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <new>
#include <vector>

#include "foundation/bit_field.h"
#include "foundation/file.h"
#include "foundation/status.h"
#include "foundation/strings.h"
#include "foundation/tree_bits.h"
#include "lm/count.h"
#include "lm/lm_blob.h"
#include "lm/lm_blob_save.h"
#include "lm/trie.h"

// Nodes live in blocks that the model owns, so that deleting the model is a
// pass over the blocks rather than a walk of the tree. A node removed by
// pruning, or merged into an earlier sibling of the same word while the file
// was read, stays in its block with num_children -1 until the model goes.
struct zv_ngram_pool_t {
    struct Block {
        Block *next;
        size_t used;
        zv_ngram_node_t nodes[1024];
    };
    Block *head;
};

namespace {

constexpr int32_t kRemoved = -1;  // num_children of a node no longer in the tree

zv_ngram_node_t *new_node(zv_ngram_pool_t *pool, int32_t word, int64_t count) {
    using Block = zv_ngram_pool_t::Block;
    Block *block = pool->head;
    if (!block || block->used == sizeof(block->nodes) / sizeof(block->nodes[0])) {
        block = static_cast<Block *>(malloc(sizeof(Block)));
        if (!block) return nullptr;
        block->next = pool->head;
        block->used = 0;
        pool->head = block;
    }
    zv_ngram_node_t *node = &block->nodes[block->used++];
    node->word = word;
    node->num_children = 0;
    node->count = count;
    node->probability = 0.0;
    node->backoff = 1.0;
    node->children = nullptr;
    return node;
}

void delete_pool(zv_ngram_pool_t *pool) {
    if (!pool) return;
    for (zv_ngram_pool_t::Block *block = pool->head; block;) {
        for (size_t i = 0; i < block->used; ++i) free(block->nodes[i].children);
        zv_ngram_pool_t::Block *next = block->next;
        free(block);
        block = next;
    }
    free(pool);
}

// Nodes ever made: a bound on the nodes in the tree.
size_t pool_size(const zv_ngram_pool_t *pool) {
    size_t n = 0;
    for (const zv_ngram_pool_t::Block *block = pool->head; block; block = block->next) n += block->used;
    return n;
}

using zv_trie::lower_bound;

// The tree level by level, each level in preorder (its nodes ordered by
// their paths), with every entry's parent as an index into the level above
// and the entry of its first child in the level below.
struct Levels {
    struct Entry {
        const zv_ngram_node_t *node;
        int64_t parent;
        int64_t first;  // entry of node->children[0]
    };
    std::vector<Entry> entries;
    std::vector<int64_t> start;  // level d is entries[start[d] .. start[d + 1])

    int32_t depth() const { return static_cast<int32_t>(start.size()) - 1; }
    int64_t size(int32_t d) const { return d < depth() ? start[d + 1] - start[d] : 0; }

    // The ids of the path of the entry at depth d into words[0 .. d - 1].
    void path(int64_t entry, int32_t d, int32_t *words) const {
        for (int32_t i = d - 1; i >= 0; --i) {
            words[i] = entries[entry].node->word;
            entry = entries[entry].parent;
        }
    }
};

// `bound`, when given, is room for the entries to reserve at once.
zv_status_t build_levels(const zv_ngram_node_t *root, Levels *levels, size_t bound = 0) {
    try {
        levels->entries.reserve(bound);
        levels->entries.push_back({root, -1, 1});
        levels->start = {0, 1};
        for (;;) {
            const int64_t begin = levels->start[levels->start.size() - 2];
            const int64_t end = levels->start.back();
            for (int64_t e = begin; e < end; ++e) {
                const zv_ngram_node_t *node = levels->entries[e].node;
                levels->entries[e].first = static_cast<int64_t>(levels->entries.size());
                for (int32_t i = 0; i < node->num_children; ++i) levels->entries.push_back({node->children[i], e, 0});
            }
            if (static_cast<int64_t>(levels->entries.size()) == end) break;
            levels->start.push_back(static_cast<int64_t>(levels->entries.size()));
        }
    } catch (const std::bad_alloc &) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    return ZV_STATUS_SUCCESS;
}

// The tree breadth first (Levels), each node with its backoff history: the
// node of the longest proper suffix of its n-gram that the tree holds (the
// root for a unigram, none for the root).
//
// The histories that a backed-off probability after a node's n-gram without
// its first word passes through, the proper suffixes of that n-gram from the
// longest to the empty one, are then found without walking to any that the
// tree doesn't hold: the ones it holds are the node's backoff history, that
// one's, and so on to the root. And a child's backoff history comes from
// the same walk: with the child's word w, the first history on its parent's
// chain that has a child w gives that child, else the root. Along one path
// each walk starts at most one level deeper than the last one ended, so a
// chain costs time linear in its length. Not every tree does: where many
// n-grams each back off through many held histories (a chain of one word
// with a leaf of another word at every level), each probability multiplies
// the weights of all of them, one by one in the order of the suffixes,
// which no probability can share with another without changing its bits.
struct Histories {
    Levels levels;
    std::vector<int64_t> suffix;  // per entry, that of its backoff history; -1 for the root
    // Every walk that finds nothing sooner ends at the root, whose children
    // are many: their positions by word (-1 for none) take the place of a
    // search there, where the words are dense enough for the table to stay
    // within a few words per unigram (empty otherwise).
    std::vector<int32_t> unigram;

    // The node of entry e, which estimation and pruning change.
    zv_ngram_node_t *node(int64_t e) const { return const_cast<zv_ngram_node_t *>(levels.entries[e].node); }
    int64_t first(int64_t e) const { return levels.entries[e].first; }

    // Position of the child with the word among the children of entry s
    // (node): where it has none, a position holding another word, or the
    // child count. Positions hold while the children are as the table found
    // them, or pruned in place until their parent closes up.
    int32_t position(int64_t s, const zv_ngram_node_t *node, int32_t word) const {
        if (s != 0 || unigram.empty()) return lower_bound(node, word);
        const int32_t i = word >= 0 && static_cast<size_t>(word) < unigram.size() ? unigram[word] : -1;
        return i < 0 ? node->num_children : i;
    }
};

// Only the root's backoff history is known; each other node's is set by
// link_children or estimate from its parent's.
zv_status_t build_histories(zv_ngram_node_t *root, size_t bound, Histories *h) {
    ZV_TRY(build_levels(root, &h->levels, bound));
    try {
        h->suffix.assign(h->levels.entries.size(), -1);
        const int32_t k = root->num_children;
        if (k > 0 && root->children[0]->word >= 0 &&
            static_cast<int64_t>(root->children[k - 1]->word) < 8 * static_cast<int64_t>(k)) {
            h->unigram.assign(static_cast<size_t>(root->children[k - 1]->word) + 1, -1);
            for (int32_t i = 0; i < k; ++i) h->unigram[root->children[i]->word] = i;
        }
    } catch (const std::bad_alloc &) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    return ZV_STATUS_SUCCESS;
}

// P(w_1 ... w_k-1, word) for entry e's n-gram w_0 ... w_k-1 (1/V for the
// root): each backoff history of e in turn, longest first; one with the word
// as a child gives x times that child's probability, else x takes its
// backoff weight; after the root, x / V. A history that pruning took out is
// passed by, leaving x as it is. The histories come in the order of the
// suffixes and the product is formed in that order, so the result is the
// one a walk of every suffix from the root gives, to the bit. *found, when
// given, receives the entry of the child found (the root's when none was):
// valid while the children are as the table was built.
double backed_off(const Histories &h, int64_t e, int32_t word, double V, int64_t *found) {
    double x = 1.0;
    for (int64_t s = h.suffix[e]; s >= 0; s = h.suffix[s]) {
        const zv_ngram_node_t *history = h.node(s);
        if (history->num_children == kRemoved) continue;
        const int32_t i = h.position(s, history, word);
        if (i < history->num_children) {
            const zv_ngram_node_t *child = history->children[i];
            if (child->word == word && child->num_children != kRemoved) {
                if (found) *found = h.first(s) + i;
                return x * child->probability;
            }
        }
        x = x * history->backoff;
    }
    if (found) *found = 0;
    return x / V;
}

// The backoff histories of every node, parents before children.
void link_children(Histories &h, double V) {
    for (int64_t e = 0; e < static_cast<int64_t>(h.suffix.size()); ++e) {
        const zv_ngram_node_t *node = h.node(e);
        for (int32_t n = 0; n < node->num_children; ++n) {
            backed_off(h, e, node->children[n]->word, V, &h.suffix[h.first(e) + n]);
        }
    }
}

// Probabilities of the children of every history at depths 0 .. order - 1
// and the histories' backoff weights, lower orders first: a history's
// backoff needs the lower-order probabilities of its children's words, and
// those come from shallower nodes only.
zv_status_t estimate(zv_ngram_t *model) {
    Histories h;
    ZV_TRY(build_histories(model->root, pool_size(model->pool), &h));
    const double V = static_cast<double>(zv_lexicon_size(model->lexicon));
    for (int32_t i = 0; i < model->order; ++i) {
        for (int64_t e = h.levels.start[i]; e < h.levels.start[i + 1]; ++e) {
            zv_ngram_node_t *c = h.node(e);
            const double T = static_cast<double>(c->count);
            int64_t child_counts = 0;
            double lower = 0.0;
            for (int32_t n = 0; n < c->num_children; ++n) {
                zv_ngram_node_t *x = c->children[n];
                x->probability = static_cast<double>(x->count) / T;
                child_counts += x->count;
                // The lower-order n-gram of x, found on c's chain, is also
                // where x's own chain starts.
                lower += backed_off(h, e, x->word, V, &h.suffix[h.first(e) + n]);
            }
            const double b = 1.0 - lower;
            if (b <= 1e-8) {
                c->backoff = 0.001;
            } else {
                const double leftover = (T - static_cast<double>(child_counts)) / T;
                c->backoff = (leftover == 0.0 || b == 0.0) ? 0.001 : leftover / b;
            }
        }
    }
    return ZV_STATUS_SUCCESS;
}

struct OpenNode {
    zv_ngram_node_t *node;
    int32_t capacity;  // slots of node->children while it is open
};

// Builds the tree of a checked count file in preorder; the order is the
// greatest depth reached. Children are appended in file order and brought
// into shape when their parent ends (sorted, a word repeated under one
// parent merged into one node with the last count and all the children), so
// that a file listing them in any order reads in n log n.
zv_status_t build_tree(const zv_count_file_t *file, int32_t num_words, zv_ngram_pool_t *pool,
                       zv_ngram_node_t **root, int32_t *order) {
    zv_tree_bits_reader_t reader;
    zv_tree_bits_reader_init(&reader, file->structure, file->structure_bytes, file->num_nodes);
    std::vector<OpenNode> open;
    try {
        open.reserve(static_cast<size_t>(file->depth) + 1);
    } catch (const std::bad_alloc &) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    auto absorb = [](zv_ngram_node_t *into, const zv_ngram_node_t *from) { into->count = from->count; };
    // A merged node stays in the pool, out of the tree.
    auto release = [](zv_ngram_node_t *from) {
        free(from->children);
        from->children = nullptr;
        from->num_children = kRemoved;
    };
    *order = 0;
    for (;;) {
        int32_t event = 0;
        const zv_status_t status = zv_tree_bits_next(&reader, &event);
        if (status == ZV_STATUS_STOP_ITERATION) break;
        ZV_TRY(status);
        if (event == ZV_TREE_BITS_LEAVE) {
            if (open.empty()) return ZV_STATUS_INVALID_ARGUMENT;
            const OpenNode top = open.back();
            open.pop_back();
            ZV_TRY(zv_trie::normalize(top.node, top.capacity, absorb, release));
            continue;
        }
        const int32_t word = zv_count_file_word(file, reader.node);
        const int64_t count = zv_count_file_count(file, reader.node);
        zv_ngram_node_t *node = nullptr;
        if (reader.node == 0) {
            node = new_node(pool, -1, count);
            if (!node) return ZV_STATUS_OUT_OF_MEMORY;
            *root = node;
        } else {
            // An id past the lexicon would be looked up beyond it by the ARPA
            // writer and overflow the blob's word fields.
            if (open.empty() || word < 0 || word >= num_words) return ZV_STATUS_INVALID_ARGUMENT;
            node = new_node(pool, word, count);
            if (!node) return ZV_STATUS_OUT_OF_MEMORY;
            ZV_TRY(zv_trie::attach(open.back().node, node, &open.back().capacity));
        }
        if (open.size() == open.capacity()) return ZV_STATUS_INVALID_ARGUMENT;  // deeper than the file said
        open.push_back({node, 0});
        if (static_cast<int32_t>(open.size()) - 1 > *order) *order = static_cast<int32_t>(open.size()) - 1;
    }
    return open.empty() ? ZV_STATUS_SUCCESS : ZV_STATUS_INVALID_ARGUMENT;
}

// Every node of a freshly built tree passes the count check.
bool counts_are_consistent(const zv_ngram_pool_t *pool) {
    for (const zv_ngram_pool_t::Block *block = pool->head; block; block = block->next) {
        for (size_t i = 0; i < block->used; ++i) {
            const zv_ngram_node_t *node = &block->nodes[i];
            if (node->num_children != kRemoved && !zv_trie::count_covers_children(node)) return false;
        }
    }
    return true;
}

struct ModelDeleter {
    void operator()(zv_ngram_t *model) const { zv_ngram_delete(model); }
};
using ModelPtr = std::unique_ptr<zv_ngram_t, ModelDeleter>;

struct FreeDeleter {
    void operator()(void *block) const { free(block); }
};

double cost(double v) { return v <= 0.0 ? 16.0 : -log10(v); }

// Closes a text file, reporting a write that failed anywhere on the way.
zv_status_t close_text(FILE *file) {
    const bool written = ferror(file) == 0;
    const bool closed = fclose(file) == 0;
    return written && closed ? ZV_STATUS_SUCCESS : ZV_STATUS_IO_ERROR;
}

}  // namespace

extern "C" zv_status_t zv_ngram_init(const char *path, const zv_lexicon_t *lexicon, zv_ngram_t **model) {
    if (!model) return ZV_STATUS_INVALID_ARGUMENT;
    *model = nullptr;
    if (!path || !lexicon) return ZV_STATUS_INVALID_ARGUMENT;
    int32_t size = 0;
    void *data = nullptr;
    ZV_TRY(zv_file_load(path, &size, &data));
    std::unique_ptr<void, FreeDeleter> image(data);
    zv_count_file_t file;
    ZV_TRY(zv_count_file_parse(data, static_cast<uint64_t>(size), &file));

    ModelPtr rec(static_cast<zv_ngram_t *>(calloc(1, sizeof(zv_ngram_t))));
    if (!rec) return ZV_STATUS_OUT_OF_MEMORY;
    rec->pool = static_cast<zv_ngram_pool_t *>(calloc(1, sizeof(zv_ngram_pool_t)));
    if (!rec->pool) return ZV_STATUS_OUT_OF_MEMORY;
    rec->lexicon = lexicon;
    ZV_TRY(build_tree(&file, zv_lexicon_size(lexicon), rec->pool, &rec->root, &rec->order));
    image.reset();
    if (!counts_are_consistent(rec->pool)) return ZV_STATUS_INVALID_ARGUMENT;
    ZV_TRY(estimate(rec.get()));
    *model = rec.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_ngram_delete(zv_ngram_t *model) {
    if (!model) return;
    delete_pool(model->pool);
    free(model);
}

extern "C" void zv_ngram_prune(zv_ngram_t *model, double threshold) {
    if (!model || !model->root) return;
    const double V = static_cast<double>(zv_lexicon_size(model->lexicon));
    const double total = static_cast<double>(model->root->count);
    // The backoff histories of the tree as it stands (completion or an
    // earlier pruning may have changed it since the estimate). Everything
    // the walk needs is had before it starts: where it can't be, the model
    // stays as it is.
    Histories h;
    if (build_histories(model->root, pool_size(model->pool), &h) != ZV_STATUS_SUCCESS) return;
    link_children(h, V);
    struct Frame {
        zv_ngram_node_t *node;
        int64_t entry;
        int32_t next;  // child handled now, counting down
    };
    zv_trie::Stack<Frame> stack;
    if (!stack.reserve(h.levels.depth())) return;
    // A leaf x under the node of entry c: kept when its own probability
    // beats the backed-off one by enough, weighted by its share of the data.
    auto judge = [&](int64_t c, zv_ngram_node_t *x) {
        x->backoff = 1.0;
        const double lp = log10(x->probability);
        const double lb = log10(backed_off(h, c, x->word, V, nullptr) * h.node(c)->backoff);
        if (lb >= lp || threshold > fabs(lb - lp) * static_cast<double>(x->count) / total) {
            // Kept in the array, invisible to lookups, until c's children are
            // all judged: then the array closes up in one pass.
            free(x->children);
            x->children = nullptr;
            x->num_children = kRemoved;
        }
    };
    auto close_up = [](zv_ngram_node_t *c) {
        int32_t kept = 0;
        for (int32_t i = 0; i < c->num_children; ++i) {
            if (c->children[i]->num_children != kRemoved) c->children[kept++] = c->children[i];
        }
        const int32_t had = c->num_children;
        c->num_children = kept;
        zv_trie::trim(c, had);
    };
    stack.push({model->root, 0, model->root->num_children - 1});
    while (!stack.empty()) {
        Frame &top = stack.top();
        if (top.next < 0) {
            zv_ngram_node_t *done = top.node;
            close_up(done);
            stack.pop();
            if (stack.empty()) break;
            Frame &parent = stack.top();
            if (done->num_children == 0) judge(parent.entry, done);
            parent.next -= 1;
            continue;
        }
        zv_ngram_node_t *x = top.node->children[top.next];
        if (x->num_children > 0) {
            // Positions hold until the node closes up, after all its children.
            stack.push({x, h.first(top.entry) + top.next, x->num_children - 1});
        } else {
            judge(top.entry, x);
            top.next -= 1;
        }
    }
}

extern "C" zv_status_t zv_ngram_add_singletons(zv_ngram_t *model) {
    if (!model) return ZV_STATUS_INVALID_ARGUMENT;
    zv_ngram_node_t *root = model->root;
    const int32_t V = zv_lexicon_size(model->lexicon);
    const double share = root->backoff / static_cast<double>(V);
    // One merge of the sorted children with the ids 0 .. V - 1.
    int32_t missing = 0;
    {
        int32_t i = 0;
        for (int32_t w = 0; w < V; ++w) {
            while (i < root->num_children && root->children[i]->word < w) ++i;
            if (i == root->num_children || root->children[i]->word != w) ++missing;
        }
    }
    // Words below `reached` have their unigram; on a failed allocation the
    // ones added before stay, and so do their probabilities.
    int32_t reached = V;
    zv_status_t status = ZV_STATUS_SUCCESS;
    if (missing > 0) {
        const size_t slots = static_cast<size_t>(root->num_children) + static_cast<size_t>(missing);
        zv_ngram_node_t **merged = static_cast<zv_ngram_node_t **>(malloc(sizeof(zv_ngram_node_t *) * slots));
        if (!merged) return ZV_STATUS_OUT_OF_MEMORY;
        int32_t i = 0;
        int32_t n = 0;
        for (int32_t w = 0; w < V; ++w) {
            while (i < root->num_children && root->children[i]->word < w) merged[n++] = root->children[i++];
            if (i < root->num_children && root->children[i]->word == w) {
                merged[n++] = root->children[i++];
                continue;
            }
            zv_ngram_node_t *node = new_node(model->pool, w, 0);
            if (!node) {
                status = ZV_STATUS_OUT_OF_MEMORY;
                reached = w;
                break;
            }
            merged[n++] = node;
        }
        while (i < root->num_children) merged[n++] = root->children[i++];
        free(root->children);
        root->children = merged;
        root->num_children = n;
        if (status != ZV_STATUS_SUCCESS) zv_trie::trim(root, static_cast<int32_t>(slots));
    }
    for (int32_t i = 0; i < root->num_children; ++i) {
        zv_ngram_node_t *child = root->children[i];
        if (child->word >= 0 && child->word < reached && child->probability == 0.0) {
            child->backoff = 1.0;
            child->probability = share;
        }
    }
    if (model->order == 0 && root->num_children > 0) model->order = 1;
    return status;
}

extern "C" zv_status_t zv_ngram_save_weights(const zv_ngram_t *model, const char *path) {
    if (!model || !path) return ZV_STATUS_INVALID_ARGUMENT;
    Levels levels;
    ZV_TRY(build_levels(model->root, &levels));
    FILE *file = zv_fopen(path, "w");
    if (!file) return zv_fopen_failure();
    for (int32_t i = 0; i <= model->order; ++i) {
        if (i < levels.depth()) {
            for (int64_t e = levels.start[i]; e < levels.start[i + 1]; ++e) {
                const zv_ngram_node_t *node = levels.entries[e].node;
                fprintf(file, "%s %s ", zv_fixed_text(cost(node->probability), 3).text,
                        zv_fixed_text(cost(node->backoff), 3).text);
            }
        }
        fputs("\n", file);
    }
    return close_text(file);
}

extern "C" zv_status_t zv_ngram_save_arpa(const zv_ngram_t *model, const char *path) {
    if (!model || !path) return ZV_STATUS_INVALID_ARGUMENT;
    Levels levels;
    ZV_TRY(build_levels(model->root, &levels));
    std::vector<int32_t> words;
    try {
        words.resize(static_cast<size_t>(model->order) + 1);
    } catch (const std::bad_alloc &) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    const zv_ngram_node_t *root = model->root;
    const int32_t V = zv_lexicon_size(model->lexicon);
    // Lexicon words that are no unigram of the tree, merged against the
    // sorted children.
    auto for_each_missing = [&](auto visit) {
        int32_t i = 0;
        for (int32_t w = 0; w < V; ++w) {
            while (i < root->num_children && root->children[i]->word < w) ++i;
            if (i == root->num_children || root->children[i]->word != w) visit(w);
        }
    };
    int64_t missing = 0;
    for_each_missing([&](int32_t) { ++missing; });

    FILE *file = zv_fopen(path, "w");
    if (!file) return zv_fopen_failure();
    fputs("\n\\data\\\n", file);
    for (int32_t i = 1; i <= model->order; ++i) {
        const int64_t lines = i == 1 ? root->num_children + missing : levels.size(i);
        fprintf(file, "ngram %d=%d\n", i, static_cast<int32_t>(lines));
    }
    fputs("\n", file);
    for (int32_t i = 1; i <= model->order; ++i) {
        fprintf(file, "\\%d-grams:\n", i);
        const int64_t first = i < levels.depth() ? levels.start[i] : 0;
        const int64_t end = first + levels.size(i);
        for (int64_t e = first; e < end; ++e) {
            const zv_ngram_node_t *node = levels.entries[e].node;
            levels.path(e, i, words.data());
            fprintf(file, "%s\t", zv_fixed_text(log10(node->probability), 6).text);
            for (int32_t k = 0; k + 1 < i; ++k) fprintf(file, "%s ", zv_lexicon_decode(model->lexicon, words[k]));
            fputs(zv_lexicon_decode(model->lexicon, words[i - 1]), file);
            if (i < model->order && node->backoff < 1.0) {
                fprintf(file, "\t%s", zv_fixed_text(log10(node->backoff), 6).text);
            }
            fputs("\n", file);
        }
        if (i == 1) {
            const zv_fixed_text unseen(log10(root->backoff / static_cast<double>(V)), 6);
            for_each_missing(
                [&](int32_t w) { fprintf(file, "%s\t%s\n", unseen.text, zv_lexicon_decode(model->lexicon, w)); });
        }
        fputs("\n", file);
    }
    fputs("\\end\\\n", file);
    return close_text(file);
}

extern "C" zv_status_t zv_ngram_save(const zv_ngram_t *model, const char *path) {
    if (!model || !path) return ZV_STATUS_INVALID_ARGUMENT;
    const zv_ngram_node_t *root = model->root;
    int64_t nodes = 0;
    int64_t leaves = 0;
    const bool counted = zv_trie::preorder(
        root, model->order,
        [&](const zv_ngram_node_t *node, int64_t) {
            nodes += 1;
            leaves += node->num_children == 0;
            return 1;
        },
        [](const zv_ngram_node_t *) {});
    if (!counted) return ZV_STATUS_OUT_OF_MEMORY;
    zv_lm_blob_writer_t writer;
    ZV_TRY(zv_lm_blob_writer_init(&writer, nodes, leaves,
                                  zv_bit_field_width(static_cast<uint64_t>(zv_lexicon_size(model->lexicon)))));
    const bool written = zv_trie::preorder(
        root, model->order,
        [&](const zv_ngram_node_t *node, int64_t) {
            zv_lm_blob_writer_enter(&writer, node->word, zv_lm_cost_from_probability(node->probability),
                                    node->num_children > 0, zv_lm_cost_from_probability(node->backoff));
            return 1;
        },
        [&](const zv_ngram_node_t *) { zv_lm_blob_writer_leave(&writer); });
    if (!written) {
        zv_lm_blob_writer_discard(&writer);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    return zv_lm_blob_writer_save(&writer, path);
}

extern "C" bool zv_ngram_cost_matches(double value, uint8_t cost) {
    const int8_t c = static_cast<int8_t>(cost);
    if (value == 0.0) return c == 127;
    const float decades = static_cast<float>(c) * 0.125f;
    return fabs(static_cast<double>(decades) + log10(value)) <= 0.125;
}

extern "C" bool zv_mgram_is_equivalent(const zv_mgram_t *mgram, const zv_ngram_t *ngram) {
    if (!mgram || !ngram) return false;
    struct Frame {
        const zv_ngram_node_t *node;
        int32_t index;  // the compact model's node
        int32_t next;
    };
    auto same = [&](const zv_ngram_node_t *node, int32_t index) {
        return zv_mgram_word(mgram, index) == node->word &&
               zv_ngram_cost_matches(node->probability, static_cast<uint8_t>(zv_mgram_forward(mgram, index))) &&
               zv_ngram_cost_matches(node->backoff, static_cast<uint8_t>(zv_mgram_backoff(mgram, index))) &&
               zv_mgram_num_children(mgram, index) == node->num_children;
    };
    try {
        std::vector<Frame> stack;
        if (!same(ngram->root, 0)) return false;
        stack.push_back({ngram->root, 0, 0});
        while (!stack.empty()) {
            Frame &top = stack.back();
            if (top.next == top.node->num_children) {
                stack.pop_back();
                continue;
            }
            const zv_ngram_node_t *child = top.node->children[top.next];
            const int32_t index = zv_mgram_children(mgram, top.index)[top.next];
            top.next += 1;
            if (!same(child, index)) return false;
            stack.push_back({child, index, 0});
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}
