#include "pronunciation/dict.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>

#include "foundation/bit_field.h"
#include "foundation/byte_reader.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/status.h"
#include "foundation/tree_bits.h"
#include "pronunciation/text_lines.h"

struct zv_dict_t {
    int32_t phoneme_set_size;      // P: ids run from 1 to P
    const zv_lexicon_t *lexicon;   // not owned
    int32_t num_words;             // L, the lexicon's size when the arrays were made
    int32_t *phonemes;             // ids of all pronunciations back to back
    int32_t *pron_offsets;         // N + 1 entries
    int32_t *word_offsets;         // L + 1 entries
};

namespace {

constexpr uint64_t kHeaderBytes = 20;

// A blob may spell out at most this many phoneme ids per byte of its total
// size. Pronunciations share trie paths, so the ids can grow quadratically
// with the blob (one chain of phoneme nodes with an end node at every
// level); the bound keeps the reader's memory and time proportional to its
// input. It can't refuse a real dictionary: every pronunciation owns its end
// node, whose label, word number and tree bits take about 3 bytes for a real
// phone set and lexicon, so 64 ids a byte needs pronunciations of some 190
// phonemes. A pronouncing dictionary holds about 1.3 ids a byte.
constexpr uint64_t kMaxIdsPerBlobByte = 64;
constexpr int32_t kLineBytes = 1024;  // the text reader's line buffer, terminator included

// Blocks of 0 bytes are real blocks: an empty dictionary is not a failed allocation.
void *allocate(uint64_t bytes, bool zeroed) {
    if (bytes > SIZE_MAX) return nullptr;
    const size_t n = bytes > 0 ? static_cast<size_t>(bytes) : 1;
    return zeroed ? calloc(n, 1) : malloc(n);
}

int32_t *allocate_ints(uint64_t count, bool zeroed) {
    if (count > UINT64_MAX / sizeof(int32_t)) return nullptr;
    return static_cast<int32_t *>(allocate(count * sizeof(int32_t), zeroed));
}

struct FreeDeleter {
    void operator()(void *block) const { free(block); }
};
template <typename T>
using Block = std::unique_ptr<T, FreeDeleter>;

struct DictDeleter {
    void operator()(zv_dict_t *dict) const { zv_dict_delete(dict); }
};
using DictPtr = std::unique_ptr<zv_dict_t, DictDeleter>;

struct FileCloser {
    void operator()(FILE *file) const { fclose(file); }
};

// Fewest bits that hold every value up to `value`: ceil(log2(value + 1)).
int32_t width_for(int64_t value) { return value < 1 ? 0 : zv_bit_field_width(static_cast<uint64_t>(value)); }

// Grows an int32 array so that it holds more than `needed` entries, doubling
// its room (a room of 0 becomes 1 first). false when out of memory.
bool ensure_room(int32_t **array, int64_t *room, int64_t needed) {
    if (needed < *room) return true;
    int64_t r = *room > 0 ? *room : 1;
    while (r <= needed) r *= 2;
    if (r > INT32_MAX) r = INT32_MAX;
    if (r <= needed) return false;
    int32_t *grown = static_cast<int32_t *>(realloc(*array, sizeof(int32_t) * static_cast<size_t>(r)));
    if (!grown) return false;
    *array = grown;
    *room = r;
    return true;
}

// strtok over one delimiter, without hidden state: skips leading delimiters,
// ends the token at the next one (overwritten with NUL) or at the end of the
// text, and leaves *rest after it.
char *next_token(char **rest, char delimiter) {
    char *p = *rest;
    while (*p == delimiter) ++p;
    if (*p == '\0') {
        *rest = p;
        return nullptr;
    }
    char *token = p;
    while (*p != '\0' && *p != delimiter) ++p;
    if (*p != '\0') *p++ = '\0';
    *rest = p;
    return token;
}

#if defined(_WIN32)
#define ZV_GETC _getc_nolock
#else
#define ZV_GETC getc_unlocked
#endif

// One line into buf (kLineBytes bytes), its newline dropped. SUCCESS with
// *got 0 at the end of the text. A line that doesn't fit the buffer whole
// (more than kLineBytes - 2 bytes before its newline; a last line without a
// newline may fill all kLineBytes - 1): RUNTIME_ERROR; a NUL byte in a line
// (it would cut the line short unseen): INVALID_ARGUMENT; a read error:
// IO_ERROR.
zv_status_t read_line(FILE *file, char *buf, int32_t *got) {
    *got = 0;
    int32_t n = 0;
    bool any = false;
    bool nul = false;
    for (;;) {
        const int c = ZV_GETC(file);
        if (c == EOF) {
            if (ferror(file)) return ZV_STATUS_IO_ERROR;
            break;
        }
        any = true;
        // The buffer is full: anything more, even the newline, overflows it.
        if (n == kLineBytes - 1) return ZV_STATUS_RUNTIME_ERROR;
        if (c == '\n') break;
        if (c == '\0') nul = true;
        buf[n++] = static_cast<char>(c);
    }
    if (nul) return ZV_STATUS_INVALID_ARGUMENT;
    buf[n] = '\0';
    *got = any ? 1 : 0;
    return ZV_STATUS_SUCCESS;
}

// The phone set: P names, read whole and kept for the duration of one call,
// with their line indices sorted by name (equal names by line), so that a
// name is found by binary search: a scan of every line for every phoneme of
// the text made a large phone set cost its size per phoneme read.
struct PhoneSet {
    Block<char> text;
    Block<char *> names;
    Block<int32_t> by_name;
    int32_t size = 0;

    zv_status_t load(const char *path) {
        int32_t bytes = 0;
        void *data = nullptr;
        ZV_TRY(zv_file_load(path, &bytes, &data));
        text.reset(static_cast<char *>(data));
        ZV_TRY(zv_text_lines_split(text.get(), bytes, &size));
        names.reset(static_cast<char **>(allocate(sizeof(char *) * static_cast<uint64_t>(size), false)));
        if (!names) return ZV_STATUS_OUT_OF_MEMORY;
        ZV_TRY(zv_text_lines_index(text.get(), size, names.get()));
        by_name.reset(allocate_ints(static_cast<uint64_t>(size), false));
        if (!by_name) return ZV_STATUS_OUT_OF_MEMORY;
        for (int32_t i = 0; i < size; ++i) by_name.get()[i] = i;
        char *const *line = names.get();
        std::sort(by_name.get(), by_name.get() + size, [line](int32_t a, int32_t b) {
            const int order = strcmp(line[a], line[b]);
            return order != 0 ? order < 0 : a < b;
        });
        return ZV_STATUS_SUCCESS;
    }

    // Id of the first line equal to name, 0 for none.
    int32_t id(const char *name) const {
        const int32_t *first = by_name.get();
        char *const *line = names.get();
        const int32_t *found = std::lower_bound(first, first + size, name, [line](int32_t i, const char *key) {
            return strcmp(line[i], key) < 0;
        });
        return found != first + size && strcmp(line[*found], name) == 0 ? *found + 1 : 0;
    }
};

zv_status_t read_pronunciations(zv_dict_t *dict, const PhoneSet &phones, const char *path) {
    const int32_t words = dict->num_words;
    int64_t id_room = words;
    int64_t pron_room = static_cast<int64_t>(words) + 1;
    dict->phonemes = allocate_ints(static_cast<uint64_t>(id_room), true);
    dict->pron_offsets = allocate_ints(static_cast<uint64_t>(pron_room), true);
    dict->word_offsets = allocate_ints(static_cast<uint64_t>(words) + 1, true);
    if (!dict->phonemes || !dict->pron_offsets || !dict->word_offsets) return ZV_STATUS_OUT_OF_MEMORY;

    std::unique_ptr<FILE, FileCloser> file(fopen(path, "r"));
    if (!file) return zv_fopen_failure();

    char line[kLineBytes];
    int64_t ids = 0;
    int64_t prons = 0;
    int32_t groups = 0;
    int32_t previous = -1;
    for (;;) {
        int32_t got = 0;
        ZV_TRY(read_line(file.get(), line, &got));
        if (!got) break;
        char *rest = line;
        const char *word_text = next_token(&rest, '\t');
        if (!word_text) return ZV_STATUS_INVALID_ARGUMENT;
        const int32_t word = zv_lexicon_encode(dict->lexicon, word_text);
        if (word < 0) return ZV_STATUS_INVALID_ARGUMENT;
        // A line belongs to the word of its group: the same word as the line
        // before, or the next lexicon word, which opens the next group.
        const bool same_group = word == previous;
        if (!same_group && word != groups) return ZV_STATUS_INVALID_ARGUMENT;

        while (const char *name = next_token(&rest, ' ')) {
            const int32_t id = phones.id(name);
            if (id == 0) return ZV_STATUS_INVALID_ARGUMENT;
            if (!ensure_room(&dict->phonemes, &id_room, ids)) return ZV_STATUS_OUT_OF_MEMORY;
            dict->phonemes[ids++] = id;
        }
        if (!ensure_room(&dict->pron_offsets, &pron_room, prons + 1)) return ZV_STATUS_OUT_OF_MEMORY;
        prons += 1;
        dict->pron_offsets[prons] = static_cast<int32_t>(ids);

        if (same_group) {
            dict->word_offsets[groups] += 1;
        } else {
            groups += 1;
            dict->word_offsets[groups] = dict->word_offsets[groups - 1] + 1;
        }
        previous = word;
    }
    if (groups != words) return ZV_STATUS_INVALID_ARGUMENT;

    // Trim to the final sizes; a failed shrink keeps the larger block.
    if (int32_t *p = static_cast<int32_t *>(realloc(dict->phonemes, sizeof(int32_t) * static_cast<size_t>(ids > 0 ? ids : 1)))) {
        dict->phonemes = p;
    }
    if (int32_t *p = static_cast<int32_t *>(realloc(dict->pron_offsets, sizeof(int32_t) * static_cast<size_t>(prons + 1)))) {
        dict->pron_offsets = p;
    }
    return ZV_STATUS_SUCCESS;
}

// The trie of phoneme ids shared by the writer's pronunciations. A node is
// known among its siblings by (label, word): phoneme nodes carry the word -1,
// end nodes the label 0 and their word. Children stay in creation order on
// their sibling lists, which the preorder walk follows; finding a child goes
// through a hash table keyed by (parent, label, word), since the upper levels
// have tens of children each.
struct TrieNode {
    int32_t label;
    int32_t word;
    int32_t parent;
    int32_t first_child;
    int32_t next_sibling;
    int32_t last_child;
};

struct Trie {
    int32_t capacity = 0;  // nodes; fixed at creation
    int32_t count = 0;
    int32_t end_nodes = 0;
    uint64_t mask = 0;     // hash slots - 1
    Block<TrieNode> nodes;
    Block<int32_t> slots;  // node index + 1, 0 for an empty slot

    bool create(int32_t wanted) {
        // At most two thirds of the slots in use. The node array is never
        // touched beyond the nodes made, so its bound costs no memory.
        uint64_t n = 1;
        while (2 * n < 3 * static_cast<uint64_t>(wanted)) n *= 2;
        nodes.reset(static_cast<TrieNode *>(allocate(sizeof(TrieNode) * static_cast<uint64_t>(wanted), false)));
        slots.reset(allocate_ints(n, true));
        if (!nodes || !slots) return false;
        capacity = wanted;
        mask = n - 1;
        return add(-1, 0, -1, 0) == 0;  // the root
    }

    static uint64_t hash(int32_t parent, int32_t l, int32_t w) {
        uint64_t h = static_cast<uint32_t>(parent) * 0x9E3779B97F4A7C15ull;
        h ^= (static_cast<uint64_t>(static_cast<uint32_t>(l)) << 32 | static_cast<uint32_t>(w)) * 0xC2B2AE3D27D4EB4Full;
        return h ^ (h >> 29);
    }

    int32_t add(int32_t parent, int32_t l, int32_t w, uint64_t slot) {
        if (count == capacity) return -1;
        const int32_t node = count++;
        TrieNode *const all = nodes.get();
        all[node] = TrieNode{l, w, parent, -1, -1, -1};
        if (l == 0 && w >= 0) end_nodes += 1;
        if (parent >= 0) {
            const int32_t last = all[parent].last_child;
            if (last < 0) all[parent].first_child = node;
            else all[last].next_sibling = node;
            all[parent].last_child = node;
            slots.get()[slot] = node + 1;
        }
        return node;
    }

    // The child of parent with (l, w), appended if missing; -1 when full.
    int32_t child(int32_t parent, int32_t l, int32_t w) {
        const TrieNode *const all = nodes.get();
        uint64_t slot = hash(parent, l, w) & mask;
        for (;; slot = (slot + 1) & mask) {
            const int32_t entry = slots.get()[slot];
            if (entry == 0) return add(parent, l, w, slot);
            const TrieNode &c = all[entry - 1];
            if (c.parent == parent && c.label == l && c.word == w) return entry - 1;
        }
    }
};

}  // namespace

extern "C" zv_status_t zv_dict_init(const char *phone_set_path, const char *pronunciation_path,
                                    const zv_lexicon_t *lexicon, zv_dict_t **dict) {
    *dict = nullptr;
    DictPtr rec(static_cast<zv_dict_t *>(calloc(1, sizeof(zv_dict_t))));
    if (!rec) return ZV_STATUS_OUT_OF_MEMORY;
    PhoneSet phones;
    ZV_TRY(phones.load(phone_set_path));
    rec->phoneme_set_size = phones.size;
    rec->lexicon = lexicon;
    rec->num_words = zv_lexicon_size(lexicon);
    ZV_TRY(read_pronunciations(rec.get(), phones, pronunciation_path));
    *dict = rec.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" void zv_dict_delete(zv_dict_t *dict) {
    if (!dict) return;
    free(dict->phonemes);
    free(dict->pron_offsets);
    free(dict->word_offsets);
    free(dict);
}

extern "C" int32_t zv_dict_phoneme_set_size(const zv_dict_t *dict) { return dict->phoneme_set_size; }

extern "C" int32_t zv_dict_num_pronunciations(const zv_dict_t *dict, int32_t word) {
    if (word < 0 || word >= dict->num_words) return 0;
    return dict->word_offsets[word + 1] - dict->word_offsets[word];
}

extern "C" void zv_dict_pronunciation(const zv_dict_t *dict, int32_t word, int32_t k, int32_t *length,
                                      const int32_t **ids) {
    if (k < 0 || k >= zv_dict_num_pronunciations(dict, word)) {
        *length = 0;
        *ids = nullptr;
        return;
    }
    const int32_t j = dict->word_offsets[word] + k;
    *length = dict->pron_offsets[j + 1] - dict->pron_offsets[j];
    *ids = dict->phonemes + dict->pron_offsets[j];
}

extern "C" zv_status_t zv_dict_add(zv_dict_t *dict, const zv_lexicon_t *lexicon, int32_t count,
                                   const char *const *words, const int32_t *num_prons,
                                   const int32_t *pron_lengths, const int32_t *const *prons) {
    if (count < 0) return ZV_STATUS_INVALID_ARGUMENT;
    const int32_t old_words = dict->num_words;
    const int32_t old_prons = dict->word_offsets[old_words];
    const int32_t old_ids = dict->pron_offsets[old_prons];
    int64_t new_words = old_words;
    int64_t new_prons = old_prons;
    int64_t new_ids = old_ids;
    int64_t entry = 0;  // next entry of pron_lengths / prons
    for (int32_t j = 0; j < count; ++j) {
        if (zv_lexicon_encode(dict->lexicon, words[j]) >= 0) continue;
        if (num_prons[j] < 0) return ZV_STATUS_INVALID_ARGUMENT;
        new_words += 1;
        new_prons += num_prons[j];
        for (int32_t k = 0; k < num_prons[j]; ++k) {
            if (pron_lengths[entry] < 0) return ZV_STATUS_INVALID_ARGUMENT;
            new_ids += pron_lengths[entry++];
        }
        if (new_ids > INT32_MAX || new_prons >= INT32_MAX || new_words >= INT32_MAX) return ZV_STATUS_OUT_OF_MEMORY;
    }
    Block<int32_t> phonemes(allocate_ints(static_cast<uint64_t>(new_ids), true));
    Block<int32_t> pron_offsets(allocate_ints(static_cast<uint64_t>(new_prons) + 1, true));
    Block<int32_t> word_offsets(allocate_ints(static_cast<uint64_t>(new_words) + 1, true));
    if (!phonemes || !pron_offsets || !word_offsets) return ZV_STATUS_OUT_OF_MEMORY;

    int32_t w = 0;  // next word slot
    int32_t p = 0;  // next pronunciation number
    int32_t n = 0;  // ids placed
    auto put = [&](const int32_t *ids, int32_t length) {
        if (length > 0) memcpy(phonemes.get() + n, ids, sizeof(int32_t) * static_cast<size_t>(length));
        n += length;
        pron_offsets.get()[++p] = n;
    };
    auto copy_current = [&](int32_t i) {
        for (int32_t k = 0; k < zv_dict_num_pronunciations(dict, i); ++k) {
            int32_t length;
            const int32_t *ids;
            zv_dict_pronunciation(dict, i, k, &length, &ids);
            put(ids, length);
        }
        word_offsets.get()[++w] = p;
    };
    entry = 0;
    auto fill_given = [&](int32_t j) {
        for (int32_t k = 0; k < num_prons[j]; ++k, ++entry) put(prons[entry], pron_lengths[entry]);
        word_offsets.get()[++w] = p;
    };
    int32_t i = 0;
    int32_t j = 0;
    while (i < old_words && j < count) {
        const int c = strcmp(zv_lexicon_decode(dict->lexicon, i), words[j]);
        if (c == 0) j++;
        else if (c < 0) copy_current(i++);
        else fill_given(j++);
    }
    while (i < old_words) copy_current(i++);
    while (j < count) fill_given(j++);

    free(dict->phonemes);
    free(dict->pron_offsets);
    free(dict->word_offsets);
    dict->phonemes = phonemes.release();
    dict->pron_offsets = pron_offsets.release();
    dict->word_offsets = word_offsets.release();
    dict->num_words = w;
    dict->lexicon = lexicon;
    return ZV_STATUS_SUCCESS;
}

#if defined(_WIN32)
#define ZV_DICT_GREEN(text) text
#else
#define ZV_DICT_GREEN(text) ZV_LOG_GREEN text ZV_LOG_RESET
#endif

extern "C" void zv_dict_print(const zv_dict_t *dict) {
    for (int32_t w = 0; w < dict->num_words; ++w) {
        zv_log(ZV_DICT_GREEN("%s >>> "), zv_lexicon_decode(dict->lexicon, w));
        for (int32_t k = 0; k < zv_dict_num_pronunciations(dict, w); ++k) {
            int32_t length;
            const int32_t *ids;
            zv_dict_pronunciation(dict, w, k, &length, &ids);
            zv_log(ZV_DICT_GREEN("[ "));
            for (int32_t m = 0; m < length; ++m) zv_log(ZV_DICT_GREEN("%d "), ids[m]);
            zv_log(ZV_DICT_GREEN("] "));
        }
        zv_log(ZV_DICT_GREEN("\n"));
    }
}

extern "C" int32_t zv_dict_is_equal(const zv_dict_t *a, const zv_dict_t *b) {
    if (!zv_lexicon_is_equal(a->lexicon, b->lexicon) || a->num_words != b->num_words) return 0;
    int32_t most = 0;
    for (int32_t w = 0; w < a->num_words; ++w) {
        const int32_t count = zv_dict_num_pronunciations(a, w);
        if (count != zv_dict_num_pronunciations(b, w)) return 0;
        if (count > most) most = count;
    }
    Block<uint8_t> flags(static_cast<uint8_t *>(allocate(static_cast<uint64_t>(most), false)));
    if (!flags) return 0;
    for (int32_t w = 0; w < a->num_words; ++w) {
        const int32_t count = zv_dict_num_pronunciations(b, w);
        memset(flags.get(), 0, static_cast<size_t>(count));
        // Each of a's pronunciations marks every still unmarked equal one of b's.
        for (int32_t ka = 0; ka < count; ++ka) {
            int32_t la;
            const int32_t *ia;
            zv_dict_pronunciation(a, w, ka, &la, &ia);
            for (int32_t kb = 0; kb < count; ++kb) {
                if (flags.get()[kb]) continue;
                int32_t lb;
                const int32_t *ib;
                zv_dict_pronunciation(b, w, kb, &lb, &ib);
                if (la == lb && (la == 0 || memcmp(ia, ib, sizeof(int32_t) * static_cast<size_t>(la)) == 0)) {
                    flags.get()[kb] = 1;
                }
            }
        }
        for (int32_t kb = 0; kb < count; ++kb) {
            if (!flags.get()[kb]) return 0;
        }
    }
    return 1;
}

extern "C" zv_status_t zv_dict_serialize(const zv_dict_t *dict, uint64_t *size, void **blob) {
    *size = 0;
    *blob = nullptr;
    // No trie holds more nodes than the root, every id and one end node per
    // pronunciation: sized once, it never grows.
    const int64_t bound = 1 + static_cast<int64_t>(dict->pron_offsets[dict->word_offsets[dict->num_words]]) +
                          dict->word_offsets[dict->num_words];
    if (bound > INT32_MAX) return ZV_STATUS_OUT_OF_MEMORY;
    Trie trie;
    if (!trie.create(static_cast<int32_t>(bound))) return ZV_STATUS_OUT_OF_MEMORY;
    uint64_t stored_ids = 0;  // ids of the pronunciations stored (a repeated one once)
    for (int32_t w = 0; w < dict->num_words; ++w) {
        for (int32_t k = 0; k < zv_dict_num_pronunciations(dict, w); ++k) {
            int32_t length;
            const int32_t *ids;
            zv_dict_pronunciation(dict, w, k, &length, &ids);
            int32_t node = 0;
            for (int32_t m = 0; m < length && node >= 0; ++m) node = trie.child(node, ids[m], -1);
            const int64_t end_nodes = trie.end_nodes;
            if (node >= 0) node = trie.child(node, 0, w);
            if (node < 0) return ZV_STATUS_OUT_OF_MEMORY;
            if (trie.end_nodes > end_nodes) stored_ids += static_cast<uint64_t>(length);
        }
    }

    const uint64_t d = static_cast<uint64_t>(trie.count);
    const int32_t e = width_for(dict->phoneme_set_size);
    const int32_t b = width_for(dict->num_words);
    const uint64_t n = static_cast<uint64_t>(trie.end_nodes);  // a repeated pronunciation is stored once
    if (e < 1 || e > 31) return ZV_STATUS_INVALID_ARGUMENT;
    const uint64_t lw = zv_bit_field_size_uint32(d, e);
    const uint64_t ww = n > 0 ? zv_bit_field_size_uint32(n, b) : 0;
    const uint64_t sw = zv_bit_field_size_uint32(2 * d, 1);
    const uint64_t total = kHeaderBytes + 4 * (lw + ww + sw);
    if (total > INT32_MAX) return ZV_STATUS_OUT_OF_MEMORY;  // can't be recorded in the header
    // What the reader would refuse: fewer stored pronunciations than words (a
    // word without any, or a repeated one, beside the others), or more ids
    // than its bound.
    if (n < static_cast<uint64_t>(dict->num_words) || stored_ids > kMaxIdsPerBlobByte * total) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }

    Block<uint8_t> out(static_cast<uint8_t *>(allocate(total, true)));
    Block<int32_t> stack(allocate_ints(d, false));
    if (!out || !stack) return ZV_STATUS_OUT_OF_MEMORY;
    uint8_t *const base = out.get();
    zv_store_u32le(base, static_cast<uint32_t>(total));
    zv_store_u32le(base + 4, static_cast<uint32_t>(dict->phoneme_set_size));
    zv_store_u32le(base + 8, static_cast<uint32_t>(d));
    zv_store_u32le(base + 12, static_cast<uint32_t>(e));
    zv_store_u32le(base + 16, static_cast<uint32_t>(n));
    // The block comes from malloc and every array starts at a multiple of 4.
    uint32_t *labels = reinterpret_cast<uint32_t *>(base + kHeaderBytes);
    uint32_t *word_fields = labels + lw;
    zv_tree_bits_writer_t bits;
    zv_tree_bits_writer_init(&bits, word_fields + ww);

    zv_tree_preorder_t walk;
    static_assert(sizeof(TrieNode) % sizeof(int32_t) == 0, "links are read in int32 steps");
    const TrieNode *const all = trie.nodes.get();
    zv_tree_preorder_init_strided(&walk, &all[0].first_child, &all[0].next_sibling,
                                  sizeof(TrieNode) / sizeof(int32_t), trie.count, stack.get());
    uint64_t label_index = 0;
    uint64_t word_index = 0;
    int32_t event;
    int32_t node;
    zv_status_t status;
    while ((status = zv_tree_preorder_next(&walk, &event, &node)) == ZV_STATUS_SUCCESS) {
        if (event == ZV_TREE_BITS_LEAVE) {
            zv_tree_bits_writer_leave(&bits);
            continue;
        }
        const int32_t label = all[node].label;
        zv_bit_field_write(labels, label_index++, e, static_cast<uint32_t>(label));
        if (label == 0 && all[node].word >= 0) {
            zv_bit_field_write(word_fields, word_index++, b, static_cast<uint32_t>(all[node].word));
        }
        zv_tree_bits_writer_enter(&bits);
    }
    if (status != ZV_STATUS_STOP_ITERATION) return status;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (uint64_t i = 0; i < lw + ww; ++i) labels[i] = __builtin_bswap32(labels[i]);
#endif
    *size = total;
    *blob = out.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_dict_deserialize_bounded(const zv_lexicon_t *lexicon, const void **cursor,
                                                   uint64_t available, zv_dict_t **dict) {
    const uint8_t *const start = static_cast<const uint8_t *>(*cursor);
    if (available < kHeaderBytes) return ZV_STATUS_INVALID_ARGUMENT;
    const int32_t total = zv_load_i32le(start);
    const int32_t p = zv_load_i32le(start + 4);
    const int32_t d = zv_load_i32le(start + 8);
    const int32_t e = zv_load_i32le(start + 12);
    const int32_t n = zv_load_i32le(start + 16);
    const int32_t words = zv_lexicon_size(lexicon);
    if (total <= static_cast<int32_t>(kHeaderBytes) || d <= 0 || e < 1 || e > 31 || p < 1) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    if (n < words || n > d) return ZV_STATUS_INVALID_ARGUMENT;
    if (static_cast<uint64_t>(total) > available) return ZV_STATUS_INVALID_ARGUMENT;
    const int32_t b = width_for(words);
    if (n > 0 && (b < 1 || b > 31)) return ZV_STATUS_INVALID_ARGUMENT;  // words stored, none to name
    const uint64_t lw = zv_bit_field_size_uint32(static_cast<uint64_t>(d), e);
    const uint64_t ww = n > 0 ? zv_bit_field_size_uint32(static_cast<uint64_t>(n), b) : 0;
    const uint64_t sw = zv_bit_field_size_uint32(2 * static_cast<uint64_t>(d), 1);
    if (kHeaderBytes + 4 * (lw + ww + sw) > static_cast<uint64_t>(total)) return ZV_STATUS_INVALID_ARGUMENT;
    const uint8_t *const labels = start + kHeaderBytes;
    const uint8_t *const word_fields = labels + 4 * lw;
    const uint8_t *const bits = word_fields + 4 * ww;

    // Per word: its pronunciation count (becoming the word offsets) and where
    // its ids begin.
    Block<int32_t> word_offsets(allocate_ints(static_cast<uint64_t>(words) + 1, true));
    Block<int32_t> id_next(allocate_ints(static_cast<uint64_t>(words) + 1, true));
    Block<int32_t> pron_next(allocate_ints(static_cast<uint64_t>(words) + 1, false));
    if (!word_offsets || !id_next || !pron_next) return ZV_STATUS_OUT_OF_MEMORY;

    // First walk: check the shape (end nodes are leaves, leaves are end
    // nodes, labels within 1..P, exactly N end nodes, each with a word of the
    // lexicon) and count.
    int64_t ids = 0;
    int64_t max_depth = 0;
    {
        zv_tree_bits_reader_t reader;
        zv_tree_bits_reader_init(&reader, bits, 4 * sw, d);
        int32_t event;
        int32_t previous = ZV_TREE_BITS_LEAVE;
        uint32_t previous_label = 0;
        int64_t previous_node = -1;
        int64_t ends = 0;
        zv_status_t status;
        while ((status = zv_tree_bits_next(&reader, &event)) == ZV_STATUS_SUCCESS) {
            const bool after_enter = previous == ZV_TREE_BITS_ENTER && previous_node > 0;
            previous = event;
            if (event == ZV_TREE_BITS_LEAVE) {
                if (after_enter && previous_label != 0) return ZV_STATUS_INVALID_ARGUMENT;  // a path without end
                continue;
            }
            if (after_enter && previous_label == 0) return ZV_STATUS_INVALID_ARGUMENT;  // an end node with children
            previous_node = reader.node;
            if (reader.node == 0) continue;  // the root's label is not used
            const uint32_t label = zv_bit_field_read_bytes(labels, static_cast<uint64_t>(reader.node), e);
            previous_label = label;
            if (label > static_cast<uint32_t>(p)) return ZV_STATUS_INVALID_ARGUMENT;
            if (reader.depth > max_depth) max_depth = reader.depth;
            if (label != 0) continue;
            if (ends >= n) return ZV_STATUS_INVALID_ARGUMENT;  // more end nodes than recorded
            const uint32_t word = zv_bit_field_read_bytes(word_fields, static_cast<uint64_t>(ends++), b);
            if (word >= static_cast<uint32_t>(words)) return ZV_STATUS_INVALID_ARGUMENT;
            const int64_t length = reader.depth - 2;  // phoneme nodes between the root and the end node
            ids += length;
            if (ids > INT32_MAX) return ZV_STATUS_INVALID_ARGUMENT;  // beyond what the offsets can hold
            word_offsets.get()[word + 1] += 1;
            id_next.get()[word + 1] += static_cast<int32_t>(length);
        }
        if (status != ZV_STATUS_STOP_ITERATION) return status;
        if (ends != n) return ZV_STATUS_INVALID_ARGUMENT;  // fewer end nodes than recorded
    }
    if (static_cast<uint64_t>(ids) > kMaxIdsPerBlobByte * static_cast<uint64_t>(total)) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }

    *dict = nullptr;
    DictPtr rec(static_cast<zv_dict_t *>(calloc(1, sizeof(zv_dict_t))));
    if (!rec) return ZV_STATUS_OUT_OF_MEMORY;
    rec->phoneme_set_size = p;
    rec->lexicon = lexicon;
    rec->num_words = words;
    rec->phonemes = allocate_ints(static_cast<uint64_t>(ids), true);
    rec->pron_offsets = allocate_ints(static_cast<uint64_t>(n) + 1, true);
    Block<int32_t> path(allocate_ints(static_cast<uint64_t>(max_depth), false));
    if (!rec->phonemes || !rec->pron_offsets || !path) return ZV_STATUS_OUT_OF_MEMORY;

    // Running sums: a stable counting sort by word, in walk order.
    for (int32_t w = 0; w < words; ++w) {
        word_offsets.get()[w + 1] += word_offsets.get()[w];
        id_next.get()[w + 1] += id_next.get()[w];
        pron_next.get()[w] = word_offsets.get()[w];
    }

    // Second walk: copy each pronunciation to its word's next free place.
    // path[depth - 2] holds the label of the node at that depth.
    zv_tree_bits_reader_t reader;
    zv_tree_bits_reader_init(&reader, bits, 4 * sw, d);
    int32_t event;
    uint64_t ends = 0;
    int32_t *const lengths = rec->pron_offsets + 1;
    while (zv_tree_bits_next(&reader, &event) == ZV_STATUS_SUCCESS) {
        if (event != ZV_TREE_BITS_ENTER || reader.node == 0) continue;
        const int32_t depth = static_cast<int32_t>(reader.depth);
        const uint32_t label = zv_bit_field_read_bytes(labels, static_cast<uint64_t>(reader.node), e);
        if (label != 0) {
            path.get()[depth - 2] = static_cast<int32_t>(label);
            continue;
        }
        const uint32_t word = zv_bit_field_read_bytes(word_fields, ends++, b);
        const int32_t length = depth - 2;
        if (length > 0) {
            memcpy(rec->phonemes + id_next.get()[word], path.get(), sizeof(int32_t) * static_cast<size_t>(length));
        }
        id_next.get()[word] += length;
        lengths[pron_next.get()[word]++] = length;
    }
    for (int32_t j = 0; j < n; ++j) rec->pron_offsets[j + 1] += rec->pron_offsets[j];
    rec->word_offsets = word_offsets.release();

    *cursor = start + total;
    *dict = rec.release();
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_dict_deserialize(const zv_lexicon_t *lexicon, const void **cursor, zv_dict_t **dict) {
    // The caller vouches for the bytes the blob declares; no more are read.
    const uint32_t total = zv_load_u32le(*cursor);
    return zv_dict_deserialize_bounded(lexicon, cursor, total, dict);
}

extern "C" zv_status_t zv_dict_save(const zv_dict_t *dict, const char *path) {
    uint64_t size = 0;
    void *blob = nullptr;
    ZV_TRY(zv_dict_serialize(dict, &size, &blob));
    // The writer refuses blobs of 2^31 bytes or more, so the size fits.
    const zv_status_t status = zv_file_save(path, static_cast<int32_t>(size), blob);
    free(blob);
    return status;
}

extern "C" zv_status_t zv_dict_load(const zv_lexicon_t *lexicon, const char *path, zv_dict_t **dict) {
    int32_t size = 0;
    void *data = nullptr;
    ZV_TRY(zv_file_load(path, &size, &data));
    const void *cursor = data;
    const zv_status_t status = zv_dict_deserialize_bounded(lexicon, &cursor, static_cast<uint64_t>(size), dict);
    free(data);
    return status;
}
