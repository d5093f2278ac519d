// Lexicon and dictionary at the scale of a full English pronouncing
// dictionary: about 130,000 words, 135,000 pronunciations over 39 phonemes,
// generated. Building from text, writing and reading both blobs, and lookups.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dictionary_corpus.h"
#include "pronunciation/dict.h"
#include "pronunciation/lexicon.h"
#include "support/temp_dir.h"

namespace {

struct Fixture {
    zv_test::TempDir dir;
    std::string words_path, phones_path, prons_path;
    std::vector<std::string> words;
    zv_lexicon_t *lexicon = nullptr;
    zv_dict_t *dict = nullptr;
    std::vector<uint8_t> lexicon_blob, dict_blob;

    Fixture() {
        zv_bench::DictionaryCorpus corpus = zv_bench::make_dictionary_corpus();
        words = corpus.words;
        words_path = dir.write("words.txt", corpus.words_text);
        phones_path = dir.write("phones.txt", corpus.phones_text);
        prons_path = dir.write("prons.txt", corpus.prons_text);

        if (zv_lexicon_init(words_path.c_str(), &lexicon) != ZV_STATUS_SUCCESS) std::abort();
        if (zv_dict_init(phones_path.c_str(), prons_path.c_str(), lexicon, &dict) != ZV_STATUS_SUCCESS) std::abort();
        uint64_t size;
        void *blob;
        if (zv_lexicon_serialize(lexicon, &size, &blob) != ZV_STATUS_SUCCESS) std::abort();
        lexicon_blob.assign(static_cast<uint8_t *>(blob), static_cast<uint8_t *>(blob) + size);
        free(blob);
        if (zv_dict_serialize(dict, &size, &blob) != ZV_STATUS_SUCCESS) std::abort();
        dict_blob.assign(static_cast<uint8_t *>(blob), static_cast<uint8_t *>(blob) + size);
        free(blob);
    }
};

Fixture &fixture() {
    static Fixture *f = new Fixture();  // kept to the end of the process
    return *f;
}

void BM_LexiconFromText(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        zv_lexicon_t *lexicon = nullptr;
        if (zv_lexicon_init(f.words_path.c_str(), &lexicon) != ZV_STATUS_SUCCESS) state.SkipWithError("init");
        zv_lexicon_delete(lexicon);
    }
    state.counters["words"] = zv_lexicon_size(f.lexicon);
}
BENCHMARK(BM_LexiconFromText)->Unit(benchmark::kMillisecond);

void BM_DictFromText(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        zv_dict_t *dict = nullptr;
        if (zv_dict_init(f.phones_path.c_str(), f.prons_path.c_str(), f.lexicon, &dict) != ZV_STATUS_SUCCESS) {
            state.SkipWithError("init");
        }
        zv_dict_delete(dict);
    }
    int64_t prons = 0;
    for (int32_t w = 0; w < zv_lexicon_size(f.lexicon); ++w) prons += zv_dict_num_pronunciations(f.dict, w);
    state.counters["pronunciations"] = static_cast<double>(prons);
}
BENCHMARK(BM_DictFromText)->Unit(benchmark::kMillisecond);

// A phone set of n names (a wide input alphabet) and every name pronounced
// once, in another order, over lines of words W0000000, W0000001, ... (a line
// holds at most 1023 bytes): each name is looked up in the full set, so the
// time must grow as n log n, not n^2.
void BM_DictFromTextLargePhoneSet(benchmark::State &state) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    std::string phones, words_text, lines, line;
    int32_t words = 0;
    auto end_line = [&] {
        char word[16];
        std::snprintf(word, sizeof(word), "W%07d", words++);
        words_text += std::string(word) + "\n";
        lines += std::string(word) + "\t" + line + "\n";
        line.clear();
    };
    for (int32_t i = 0; i < n; ++i) {
        phones += "P" + std::to_string(i) + "\n";
        const std::string name = "P" + std::to_string((static_cast<int64_t>(i) * 7919) % n);
        if (line.size() + name.size() + 1 > 900) end_line();
        line += name + " ";
    }
    end_line();
    zv_test::TempDir dir;
    const std::string phones_path = dir.write("phones.txt", phones);
    const std::string words_path = dir.write("words.txt", words_text);
    const std::string lines_path = dir.write("lines.txt", lines);
    zv_lexicon_t *lexicon = nullptr;
    if (zv_lexicon_init(words_path.c_str(), &lexicon) != ZV_STATUS_SUCCESS) std::abort();
    for (auto _ : state) {
        zv_dict_t *dict = nullptr;
        if (zv_dict_init(phones_path.c_str(), lines_path.c_str(), lexicon, &dict) != ZV_STATUS_SUCCESS) {
            state.SkipWithError("init");
        }
        zv_dict_delete(dict);
    }
    zv_lexicon_delete(lexicon);
    state.counters["names"] = n;
}
BENCHMARK(BM_DictFromTextLargePhoneSet)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_LexiconSerialize(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        uint64_t size;
        void *blob;
        if (zv_lexicon_serialize(f.lexicon, &size, &blob) != ZV_STATUS_SUCCESS) state.SkipWithError("serialize");
        free(blob);
    }
    state.counters["bytes"] = static_cast<double>(f.lexicon_blob.size());
}
BENCHMARK(BM_LexiconSerialize)->Unit(benchmark::kMillisecond);

void BM_DictSerialize(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        uint64_t size;
        void *blob;
        if (zv_dict_serialize(f.dict, &size, &blob) != ZV_STATUS_SUCCESS) state.SkipWithError("serialize");
        free(blob);
    }
    state.counters["bytes"] = static_cast<double>(f.dict_blob.size());
}
BENCHMARK(BM_DictSerialize)->Unit(benchmark::kMillisecond);

void BM_LexiconDeserialize(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        const void *cursor = f.lexicon_blob.data();
        zv_lexicon_t *lexicon = nullptr;
        if (zv_lexicon_deserialize_bounded(&cursor, f.lexicon_blob.size(), &lexicon) != ZV_STATUS_SUCCESS) {
            state.SkipWithError("deserialize");
        }
        zv_lexicon_delete(lexicon);
    }
}
BENCHMARK(BM_LexiconDeserialize)->Unit(benchmark::kMillisecond);

void BM_DictDeserialize(benchmark::State &state) {
    Fixture &f = fixture();
    for (auto _ : state) {
        const void *cursor = f.dict_blob.data();
        zv_dict_t *dict = nullptr;
        if (zv_dict_deserialize_bounded(f.lexicon, &cursor, f.dict_blob.size(), &dict) != ZV_STATUS_SUCCESS) {
            state.SkipWithError("deserialize");
        }
        zv_dict_delete(dict);
    }
}
BENCHMARK(BM_DictDeserialize)->Unit(benchmark::kMillisecond);

// One lookup per word of the lexicon and as many misses, then the first
// pronunciation of each found word, as the phrase search takes it.
void BM_LookupWordAndPronunciation(benchmark::State &state) {
    Fixture &f = fixture();
    std::vector<std::string> queries;
    for (size_t i = 0; i < f.words.size(); i += 13) {
        queries.push_back(f.words[i]);
        queries.push_back(f.words[i] + "Q");
    }
    for (auto _ : state) {
        int64_t sum = 0;
        for (const std::string &q : queries) {
            const int32_t w = zv_lexicon_encode(f.lexicon, q.c_str());
            if (w < 0) continue;
            int32_t length;
            const int32_t *ids;
            zv_dict_pronunciation(f.dict, w, 0, &length, &ids);
            sum += length > 0 ? ids[0] : 0;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(queries.size()));
}
BENCHMARK(BM_LookupWordAndPronunciation)->Unit(benchmark::kMicrosecond);

}  // namespace
