#include "lm/ngram.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <new>
#include <vector>

#include "foundation/file.h"
#include "foundation/status.h"
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

using zv_trie::lower_bound;

// The child with the word, NULL when absent (or already pruned away).
zv_ngram_node_t *find_child(const zv_ngram_node_t *node, int32_t word) {
    const int32_t i = lower_bound(node, word);
    if (i == node->num_children) return nullptr;
    zv_ngram_node_t *child = node->children[i];
    return (child->word == word && child->num_children != kRemoved) ? child : nullptr;
}

const zv_ngram_node_t *walk(const zv_ngram_node_t *root, const int32_t *words, int32_t n) {
    const zv_ngram_node_t *node = root;
    for (int32_t i = 0; i < n && node; ++i) node = find_child(node, words[i]);
    return node;
}

// P(w_0 ... w_k-1): the probability of the last id after the others, backing
// off through every shorter history that is a path of the tree.
double backed_off(const zv_ngram_node_t *root, double V, const int32_t *words, int32_t k) {
    if (k == 0) return 1.0 / V;
    double x = 1.0;
    const int32_t w = words[k - 1];
    for (int32_t j = 0; j < k; ++j) {
        const zv_ngram_node_t *h = walk(root, words + j, k - 1 - j);
        if (!h) continue;
        const zv_ngram_node_t *child = find_child(h, w);
        if (child) return x * child->probability;
        x = x * h->backoff;
    }
    return x / V;
}

// The tree level by level, each level in preorder (its nodes ordered by
// their paths), with every entry's parent as an index into the level above.
struct Levels {
    struct Entry {
        const zv_ngram_node_t *node;
        int64_t parent;
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

zv_status_t build_levels(const zv_ngram_node_t *root, Levels *levels) {
    try {
        levels->entries.push_back({root, -1});
        levels->start = {0, 1};
        for (;;) {
            const int64_t begin = levels->start[levels->start.size() - 2];
            const int64_t end = levels->start.back();
            for (int64_t e = begin; e < end; ++e) {
                const zv_ngram_node_t *node = levels->entries[e].node;
                for (int32_t i = 0; i < node->num_children; ++i) levels->entries.push_back({node->children[i], e});
            }
            if (static_cast<int64_t>(levels->entries.size()) == end) break;
            levels->start.push_back(static_cast<int64_t>(levels->entries.size()));
        }
    } catch (const std::bad_alloc &) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    return ZV_STATUS_SUCCESS;
}

// Probabilities of the children of every history at depths 0 .. order - 1
// and the histories' backoff weights, lower orders first: a history's
// backoff needs the lower-order probabilities of its children's words.
zv_status_t estimate(zv_ngram_t *model) {
    Levels levels;
    ZV_TRY(build_levels(model->root, &levels));
    const double V = static_cast<double>(zv_lexicon_size(model->lexicon));
    std::vector<int32_t> path;
    try {
        path.resize(static_cast<size_t>(model->order) + 1);
    } catch (const std::bad_alloc &) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    for (int32_t i = 0; i < model->order; ++i) {
        for (int64_t e = levels.start[i]; e < levels.start[i + 1]; ++e) {
            zv_ngram_node_t *c = const_cast<zv_ngram_node_t *>(levels.entries[e].node);
            const double T = static_cast<double>(c->count);
            // path = w_1 .. w_i-1 then the child's word: the lower-order n-gram.
            if (i > 0) levels.path(e, i, path.data());
            int64_t child_counts = 0;
            double lower = 0.0;
            for (int32_t n = 0; n < c->num_children; ++n) {
                zv_ngram_node_t *x = c->children[n];
                x->probability = static_cast<double>(x->count) / T;
                child_counts += x->count;
                if (i == 0) {
                    lower += 1.0 / V;
                } else {
                    path[i] = x->word;
                    lower += backed_off(model->root, V, path.data() + 1, i);
                }
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
    struct Frame {
        zv_ngram_node_t *node;
        int32_t next;  // child handled now, counting down
    };
    std::vector<Frame> stack;
    std::vector<int32_t> path;  // w_0 .. w_d of the node judged
    // A leaf x under c (depth d, x's word w_d): kept when its own probability
    // beats the backed-off one by enough, weighted by its share of the data.
    auto judge = [&](zv_ngram_node_t *c, zv_ngram_node_t *x, int32_t d) {
        x->backoff = 1.0;
        const double lp = log10(x->probability);
        const double lb = log10(backed_off(model->root, V, path.data() + 1, d) * c->backoff);
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
    try {
        stack.reserve(static_cast<size_t>(model->order) + 1);
        path.resize(static_cast<size_t>(model->order) + 1);
        stack.push_back({model->root, model->root->num_children - 1});
        while (!stack.empty()) {
            Frame &top = stack.back();
            const int32_t d = static_cast<int32_t>(stack.size()) - 1;
            if (top.next < 0) {
                zv_ngram_node_t *done = top.node;
                close_up(done);
                stack.pop_back();
                if (stack.empty()) break;
                Frame &parent = stack.back();
                if (done->num_children == 0) judge(parent.node, done, d - 1);
                parent.next -= 1;
                continue;
            }
            zv_ngram_node_t *x = top.node->children[top.next];
            if (static_cast<size_t>(d) >= path.size()) path.resize(static_cast<size_t>(d) + 1);
            path[d] = x->word;
            if (x->num_children > 0) {
                stack.push_back({x, x->num_children - 1});
            } else {
                judge(top.node, x, d);
                top.next -= 1;
            }
        }
    } catch (const std::bad_alloc &) {
        // Only the stack can fail to grow; stop with what is judged, the
        // tree closed up wherever the walk stands.
        for (Frame &frame : stack) close_up(frame.node);
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
    if (!file) return ZV_STATUS_IO_ERROR;
    for (int32_t i = 0; i <= model->order; ++i) {
        if (i < levels.depth()) {
            for (int64_t e = levels.start[i]; e < levels.start[i + 1]; ++e) {
                const zv_ngram_node_t *node = levels.entries[e].node;
                fprintf(file, "%.3f %.3f ", cost(node->probability), cost(node->backoff));
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
    if (!file) return ZV_STATUS_IO_ERROR;
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
            fprintf(file, "%f\t", log10(node->probability));
            for (int32_t k = 0; k + 1 < i; ++k) fprintf(file, "%s ", zv_lexicon_decode(model->lexicon, words[k]));
            fputs(zv_lexicon_decode(model->lexicon, words[i - 1]), file);
            if (i < model->order && node->backoff < 1.0) fprintf(file, "\t%f", log10(node->backoff));
            fputs("\n", file);
        }
        if (i == 1) {
            const double unseen = log10(root->backoff / static_cast<double>(V));
            for_each_missing([&](int32_t w) { fprintf(file, "%f\t%s\n", unseen, zv_lexicon_decode(model->lexicon, w)); });
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
                                  zv_lm_blob_word_bits(static_cast<uint64_t>(zv_lexicon_size(model->lexicon)))));
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
