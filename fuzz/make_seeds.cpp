// Writes the seeds of the fuzz targets that start from the test writers
// (model files, blobs, texts, parameter blocks, an index), one directory per
// target under the given corpus directory. fuzz/make_seeds.sh runs it and
// adds the audio seeds from the test fixtures.
//
//   zv_fuzz_make_seeds CORPUS_DIR
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lm/count.h"
#include "lm/gram.h"
#include "lm/ngram.h"
#include "support/classifier_block.h"
#include "support/graph_file.h"
#include "support/model_writer.h"
#include "support/ngram_fixtures.h"
#include "support/pronunciation_fixtures.h"
#include "zv_lumarin.h"

namespace {

std::string g_corpus;

void seed(const std::string &target, const std::string &name, const std::vector<uint8_t> &bytes) {
    const std::filesystem::path dir = std::filesystem::path(g_corpus) / target;
    std::filesystem::create_directories(dir);
    std::ofstream(dir / ("seed_" + name), std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void seed(const std::string &target, const std::string &name, const std::string &text) {
    seed(target, name, std::vector<uint8_t>(text.begin(), text.end()));
}

void append_int16(std::vector<uint8_t> &out, int16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

void append_float(std::vector<uint8_t> &out, float v) {
    uint8_t bytes[sizeof v];
    memcpy(bytes, &v, sizeof v);
    out.insert(out.end(), bytes, bytes + sizeof v);
}

std::vector<uint8_t> join(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The index the engine makes of half a second of a warbling tone.
std::vector<uint8_t> small_index(const zv_test::ModelWriter &model) {
    const std::string path = (std::filesystem::temp_directory_path() / "zv_make_seeds_model.bin").string();
    model.write(path);
    zv_lumarin_t *engine = nullptr;
    if (zv_lumarin_init(path.c_str(), &engine) != ZV_STATUS_SUCCESS) exit(1);
    std::filesystem::remove(path);
    std::vector<int16_t> pcm(8000);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<int16_t>(8000.0 * std::sin(i * 0.05));
    int32_t *index = nullptr;
    int32_t size = 0;
    if (zv_lumarin_index(engine, pcm.data(), static_cast<int32_t>(pcm.size()), &index, &size) != ZV_STATUS_SUCCESS) {
        exit(1);
    }
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(index);
    std::vector<uint8_t> out(bytes, bytes + size);
    free(index);
    zv_lumarin_delete(engine);
    return out;
}

}  // namespace

// ---- the toolkit's seeds, over the 20-word lexicon the toolkit targets read against ----
namespace {

void toolkit_seeds() {
    std::vector<std::string> words;
    for (int i = 0; i < 20; ++i) {
        char word[8];
        snprintf(word, sizeof(word), "W%02d", i);
        words.push_back(word);
    }
    zv_test::LexiconPtr lexicon = zv_test::make_lexicon(words);
    const std::vector<std::vector<int32_t>> sentences = {
        {0, 1, 2}, {1, 2, 3}, {0, 1, 4}, {5, 6}, {2, 3, 0}, {7}, {0, 1, 2}, {8, 9, 10}, {1, 2, 3}};
    const std::filesystem::path dir = std::filesystem::path(g_corpus);
    for (const char *target : {"gram_file", "count_file", "lm_blob_cursor", "lm_blob_path", "kgram", "graph_file"}) {
        std::filesystem::create_directories(dir / target);
    }
    zv_gram_t *gram = nullptr;
    if (zv_gram_init(3, lexicon.get(), &gram) != ZV_STATUS_SUCCESS) exit(1);
    for (const auto &s : sentences) zv_gram_insert(gram, s.data(), static_cast<int32_t>(s.size()));
    if (zv_gram_save(gram, (dir / "gram_file" / "seed_small").c_str()) != ZV_STATUS_SUCCESS) exit(1);
    zv_count_t *count = nullptr;
    if (zv_count_init(gram, &count) != ZV_STATUS_SUCCESS) exit(1);
    for (const auto &s : sentences) zv_count_insert(count, s.data(), static_cast<int32_t>(s.size()));
    const std::string count_path = (dir / "count_file" / "seed_small").string();
    if (zv_count_save(count, count_path.c_str()) != ZV_STATUS_SUCCESS) exit(1);
    zv_count_delete(count);
    zv_gram_delete(gram);
    // A small tree listed as no writer here lists one: siblings descending,
    // and words repeated under one parent with a stale count first.
    seed("count_file", "shuffled",
         zv_test::count_file({{0, -1, 10}, {1, 2, 2}, {1, 1, 9}, {2, 0, 2}, {1, 0, 1}, {2, 2, 1}, {2, 1, 7},
                              {3, 3, 1}, {1, 0, 4}, {2, 1, 3}, {3, 3, 1}, {1, 1, 3}}));

    zv_ngram_t *model = nullptr;
    if (zv_ngram_init(count_path.c_str(), lexicon.get(), &model) != ZV_STATUS_SUCCESS) exit(1);
    if (zv_ngram_add_singletons(model) != ZV_STATUS_SUCCESS) exit(1);
    const std::string blob_path = (dir / "lm_blob_path" / "seed_small").string();
    if (zv_ngram_save(model, blob_path.c_str()) != ZV_STATUS_SUCCESS) exit(1);
    zv_ngram_delete(model);
    std::ifstream in(blob_path, std::ios::binary);
    const std::vector<uint8_t> blob((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    seed("lm_blob_cursor", "small", blob);
    seed("kgram", "small", blob);

    // Each word pronounced with two or three of five phonemes.
    zv_test::Pronunciations prons;
    for (int i = 0; i < 20; ++i) {
        prons.push_back({{1 + i % 5, 1 + (i / 5) % 5}});
        if (i % 3 == 0) prons.back().push_back({1 + i % 5, 1 + (i / 5) % 5, 1 + (i + 2) % 5});
    }
    zv_test::DictPtr dict = zv_test::make_dict(lexicon.get(), 5, prons);
    seed("graph_file", "small", join(join(zv_test::lexicon_blob(lexicon.get()), zv_test::dict_blob(dict.get())), blob));
    // Nine million phone states from 9 KB: refused.
    seed("graph_file", "chain_3000", zv_test::chain_graph_file(3000, 3000));
    // Variants sharing all but their last phoneme under a chain: loaded once
    // their shared prefixes are counted; with thirty, refused for the
    // lookups of the prefixes they share.
    seed("graph_file", "variants_8", zv_test::chain_graph_file(200, 20, 8));
    seed("graph_file", "variants_30", zv_test::chain_graph_file(200, 40, 30));

    // The decoder's input: a mode byte (0: the fixed graph), a beam byte, a
    // token-cap byte, the weight scale as stored, then frames of 6 int16
    // scores (labels 0..5 for 5 phonemes), each frame sure of one label: W00
    // (1 1), W01 (2 1), blanks between.
    std::vector<uint8_t> frames = {0, 16, 5};
    append_float(frames, 1.0f);
    for (int label : {1, 1, 0, 1, 0, 2, 2, 0, 1, 0, 0}) {
        for (int k = 0; k < 6; ++k) append_int16(frames, k == label ? 0 : -6000);
    }
    seed("decoder", "two_words", frames);
    // Graph files of an epsilon cycle of weight 0 that rounding makes cheaper
    // lap after lap (mode 1: the graph from the input), at scale 0.6, beam
    // 16 and cap 64, one frame sure of the blank.
    struct Cycle {
        int32_t w1, w2, w3;
        int16_t blank;
    };
    for (const Cycle &c : {Cycle{6, 87, -93, 8185}, Cycle{59, 4, -63, 4082}, Cycle{31, 80, -111, 8185}}) {
        const std::vector<uint8_t> file = zv_test::epsilon_cycle_graph_file(c.w1, c.w2, c.w3);
        std::vector<uint8_t> input = {1, 16, 6};
        append_float(input, 0.6f);
        input.push_back(static_cast<uint8_t>(file.size() & 0xFF));
        input.push_back(static_cast<uint8_t>(file.size() >> 8));
        input.insert(input.end(), file.begin(), file.end());
        append_int16(input, c.blank);
        append_int16(input, INT16_MIN);
        seed("decoder", "cycle_" + std::to_string(c.w1) + "_" + std::to_string(c.w2) + "_" + std::to_string(-c.w3), input);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 1;
    }
    g_corpus = argv[1];
    const zv_test::ModelWriter model = zv_test::SmallModel();
    seed("model", "small", model.bytes());

    const std::vector<uint8_t> index = small_index(model);
    seed("search", "cat", join({'C', 'A', 'T', 0}, index));
    seed("search", "two_words_unknown", join({'t', 'w', 'o', ' ', 'z', 'e', 'b', 'r', 'a', 0}, index));

    seed("lexicon_blob", "small", model.lexicon);
    seed("lexicon_blob", "chain", zv_test::EncodeLexicon({"A", "AB", "ABC", "B", "BA"}));
    // Chains whose text and ids grow with the square of their size: refused.
    seed("lexicon_blob", "chain_400", zv_test::EncodeLexicon(zv_test::chain_words(400)));
    seed("dict_blob", "chain_200",
         join(zv_test::EncodeLexicon({"A"}), zv_test::EncodeDict(1, 1, zv_test::chain_pronunciations(200))));
    seed("dict_blob", "small", join(model.lexicon, model.dict));
    seed("dict_blob", "shared",
         join(zv_test::EncodeLexicon({"AB", "ABC", "B"}), zv_test::EncodeDict(5, 3, {{{1, 2}, {1}}, {{1, 2, 3}}, {{}}})));

    seed("lexicon_text", "words", "A\nAB\nB\nCAT\n");
    seed("lexicon_text", "nul_end", std::string("A\nB\n") + '\0');
    const std::string nul(1, '\0');
    seed("dict_text", "small",
         "CAT\nDOG\nTWO\n" + nul + "K\nAE\nT\nD\nAO\nG\nUW\n" + nul + "CAT\tK AE T\nDOG\tD AO G\nTWO\tT UW\nTWO\tT AO\n");

    const zv_test::ClassifierBlock offline = zv_test::random_classifier(6, {3}, 40, 1);
    seed("offline_block", "small", zv_test::offline_block("lumarin", "1.1.0", offline));
    const zv_test::ClassifierBlock online = zv_test::random_classifier(6, {3, 2}, 5, 2, 6865, true);
    seed("online_block", "small", zv_test::online_block("lumarin", "1.1.0", online));
    seed("marbo_block", "small", zv_test::EncodeBlock(zv_test::RandomBlock("marbo", "1.0.0", 6865, 28, {4}, 40, 2, 24)));

    seed("base64", "text", "aGVsbG8gd29ybGQ=");
    seed("base64", "padded", "YQ==");
    seed("foundation", "tree", std::vector<uint8_t>{0, 3, 0, 0x0b, 0, 0, 0});
    seed("foundation", "language", "\x01" "en");
    seed("foundation", "phoneme", "\x02" "AH");
    seed("foundation", "split", "\x03" " a b  c ");
    seed("foundation", "number", "\x03" " -1.17549431e-38");
    seed("foundation", "number_hex", "\x03" "+0x1.000001p-150");
    toolkit_seeds();
    return 0;
}
