// A generated pronouncing dictionary at the scale of a full English one:
// 130,000 words of 2 to 14 letters (and the odd apostrophe), unique and in
// byte order, with 135,000 pronunciations over 39 phonemes, as the texts the
// lexicon and dictionary readers take.
#ifndef ZV_BENCH_DICTIONARY_CORPUS_H
#define ZV_BENCH_DICTIONARY_CORPUS_H

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace zv_bench {

constexpr int kCorpusWords = 130000;
constexpr int kCorpusExtraPronunciations = 5000;

inline const char *const kCorpusPhones[39] = {
    "AA", "AE", "AH", "AO", "AW", "AY", "B",  "CH", "D", "DH", "EH", "ER", "EY", "F",  "G",  "HH", "IH", "IY", "JH", "K",
    "L",  "M",  "N",  "NG", "OW", "OY", "P",  "R",  "S", "SH", "T",  "TH", "UH", "UW", "V",  "W",  "Y",  "Z",  "ZH"};

struct DictionaryCorpus {
    std::vector<std::string> words;
    std::string words_text;   // one word per line
    std::string phones_text;  // one phoneme name per line
    std::string prons_text;   // "word<TAB>names" lines
};

inline DictionaryCorpus make_dictionary_corpus() {
    DictionaryCorpus c;
    std::mt19937 rng(12345);
    std::vector<std::string> all;
    while (static_cast<int>(all.size()) < kCorpusWords + kCorpusWords / 20) {
        const int len = 2 + static_cast<int>(rng() % 7) + static_cast<int>(rng() % 7);
        std::string w;
        for (int i = 0; i < len; ++i) w += rng() % 40 == 0 ? '\'' : static_cast<char>('A' + rng() % 26);
        all.push_back(w);
    }
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    all.resize(kCorpusWords);
    c.words = all;
    for (const std::string &w : c.words) c.words_text += w + "\n";
    for (const char *p : kCorpusPhones) c.phones_text += std::string(p) + "\n";
    auto pron = [&](const std::string &w) {
        c.prons_text += w + "\t";
        const int len = 2 + static_cast<int>(w.size() * 3 / 4) + static_cast<int>(rng() % 3);
        for (int i = 0; i < len; ++i) {
            c.prons_text += std::string(kCorpusPhones[rng() % 39]) + (i + 1 < len ? " " : "");
        }
        c.prons_text += "\n";
    };
    for (int i = 0; i < kCorpusWords; ++i) {
        pron(c.words[i]);
        if (i % (kCorpusWords / kCorpusExtraPronunciations) == 0) pron(c.words[i]);
    }
    return c;
}

}  // namespace zv_bench

#endif
