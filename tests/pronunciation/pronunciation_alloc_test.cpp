// Every allocation of the lexicon's and the dictionary's readers, writers
// and merges, and of the grapheme-to-phoneme block's loader and its
// pronouncing, fails in turn: each gives a failure status, leaks nothing,
// prints nothing, and a failed merge leaves the record as it was.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pronunciation/dict.h"
#include "pronunciation/lexicon.h"
#include "pronunciation/marbo.h"
#include "support/alloc_sweep.h"
#include "support/classifier_block.h"
#include "support/failing_alloc.h"
#include "support/model_writer.h"
#include "support/pronunciation_fixtures.h"
#include "support/temp_dir.h"

namespace {

using zv_test::sweep_fails_cleanly;

const std::vector<std::string> kWords = {"ANT", "ANTS", "BEE", "CAT"};
const zv_test::Pronunciations kProns = {{{1, 2}, {1, 3}}, {{1, 2, 4}}, {{2, 2}}, {{3, 1, 4}}};

// Reading and writing open files: an open that fails for want of memory (the
// C library allocates for it) is OUT_OF_MEMORY too, not IO_ERROR.
constexpr std::initializer_list<zv_status_t> kFileStatuses = {ZV_STATUS_OUT_OF_MEMORY};

TEST(PronunciationAlloc, LexiconReadersWritersAndMerge) {
    zv_test::TempDir dir;
    std::string text;
    for (const std::string &w : kWords) text += w + "\n";
    const std::string text_path = dir.write("words.txt", text);
    zv_test::LexiconPtr lexicon = zv_test::make_lexicon(kWords);
    const std::vector<uint8_t> blob = zv_test::lexicon_blob(lexicon.get());
    const std::string blob_path = dir.write("lexicon.bin", blob);

    const auto check = [&](zv_status_t status, zv_lexicon_t *made) {
        zv_failing_alloc_pause(1);  // the comparison's own blocks
        EXPECT_EQ(made != nullptr, status == ZV_STATUS_SUCCESS);
        if (made != nullptr) {
            EXPECT_EQ(zv_lexicon_is_equal(made, lexicon.get()), 1);
        }
        zv_failing_alloc_pause(0);
        zv_lexicon_delete(made);
        return status;
    };
    sweep_fails_cleanly("lexicon text", [&] {
        zv_lexicon_t *made = nullptr;
        const zv_status_t status = zv_lexicon_init(text_path.c_str(), &made);
        return check(status, made);
    }, kFileStatuses);
    sweep_fails_cleanly("lexicon blob", [&] {
        zv_lexicon_t *made = nullptr;
        const void *cursor = blob.data();
        const zv_status_t status = zv_lexicon_deserialize_bounded(&cursor, blob.size(), &made);
        return check(status, made);
    });
    sweep_fails_cleanly("lexicon load", [&] {
        zv_lexicon_t *made = nullptr;
        const zv_status_t status = zv_lexicon_load(blob_path.c_str(), &made);
        return check(status, made);
    }, kFileStatuses);
    sweep_fails_cleanly("lexicon serialize", [&] {
        uint64_t size = 0;
        void *written = nullptr;
        const zv_status_t status = zv_lexicon_serialize(lexicon.get(), &size, &written);
        EXPECT_EQ(written != nullptr, status == ZV_STATUS_SUCCESS);
        free(written);
        return status;
    });
    const std::string saved = dir.path("saved.bin");
    sweep_fails_cleanly("lexicon save", [&] { return zv_lexicon_save(lexicon.get(), saved.c_str()); }, kFileStatuses);

    const char *more[] = {"AN", "BEES", "DOG"};
    zv_test::LexiconPtr merged = zv_test::make_lexicon({"AN", "ANT", "ANTS", "BEE", "BEES", "CAT", "DOG"});
    sweep_fails_cleanly("lexicon add", [&] {
        zv_failing_alloc_pause(1);
        zv_lexicon_t *target = zv_test::make_lexicon(kWords).release();
        zv_failing_alloc_pause(0);
        const zv_status_t status = zv_lexicon_add(target, more, 3);
        zv_failing_alloc_pause(1);
        EXPECT_EQ(zv_lexicon_is_equal(target, status == ZV_STATUS_SUCCESS ? merged.get() : lexicon.get()), 1);
        zv_lexicon_delete(target);
        zv_failing_alloc_pause(0);
        return status;
    });
}

TEST(PronunciationAlloc, DictionaryReadersWritersAndMerge) {
    zv_test::TempDir dir;
    zv_test::LexiconPtr lexicon = zv_test::make_lexicon(kWords);
    zv_test::DictPtr dict = zv_test::make_dict(lexicon.get(), 4, kProns);
    const std::string phones_path = dir.write("phones.txt", std::string("P1\nP2\nP3\nP4\n"));
    const std::string prons_path =
        dir.write("prons.txt", std::string("ANT\tP1 P2\nANT\tP1 P3\nANTS\tP1 P2 P4\nBEE\tP2 P2\nCAT\tP3 P1 P4\n"));
    const std::vector<uint8_t> blob = zv_test::dict_blob(dict.get());
    const std::string blob_path = dir.write("dict.bin", blob);

    const auto check = [&](zv_status_t status, zv_dict_t *made) {
        zv_failing_alloc_pause(1);  // the comparison's own blocks
        EXPECT_EQ(made != nullptr, status == ZV_STATUS_SUCCESS);
        if (made != nullptr) {
            EXPECT_EQ(zv_dict_is_equal(made, dict.get()), 1);
        }
        zv_failing_alloc_pause(0);
        zv_dict_delete(made);
        return status;
    };
    sweep_fails_cleanly("dictionary text", [&] {
        zv_dict_t *made = nullptr;
        const zv_status_t status = zv_dict_init(phones_path.c_str(), prons_path.c_str(), lexicon.get(), &made);
        return check(status, made);
    }, kFileStatuses);
    sweep_fails_cleanly("dictionary blob", [&] {
        zv_dict_t *made = nullptr;
        const void *cursor = blob.data();
        const zv_status_t status = zv_dict_deserialize_bounded(lexicon.get(), &cursor, blob.size(), &made);
        return check(status, made);
    });
    sweep_fails_cleanly("dictionary load", [&] {
        zv_dict_t *made = nullptr;
        const zv_status_t status = zv_dict_load(lexicon.get(), blob_path.c_str(), &made);
        return check(status, made);
    }, kFileStatuses);
    sweep_fails_cleanly("dictionary serialize", [&] {
        uint64_t size = 0;
        void *written = nullptr;
        const zv_status_t status = zv_dict_serialize(dict.get(), &size, &written);
        EXPECT_EQ(written != nullptr, status == ZV_STATUS_SUCCESS);
        free(written);
        return status;
    });
    const std::string saved = dir.path("saved.bin");
    sweep_fails_cleanly("dictionary save", [&] { return zv_dict_save(dict.get(), saved.c_str()); }, kFileStatuses);

    // DOG joins with two pronunciations; the merged lexicon is installed on success.
    zv_test::LexiconPtr merged = zv_test::make_lexicon({"ANT", "ANTS", "BEE", "CAT", "DOG"});
    const char *words[] = {"DOG"};
    const int32_t num_prons[] = {2};
    const int32_t lengths[] = {2, 1};
    const int32_t dog1[] = {4, 3}, dog2[] = {1};
    const int32_t *prons[] = {dog1, dog2};
    sweep_fails_cleanly("dictionary add", [&] {
        zv_failing_alloc_pause(1);
        zv_dict_t *target = zv_test::make_dict(lexicon.get(), 4, kProns).release();
        zv_failing_alloc_pause(0);
        const zv_status_t status = zv_dict_add(target, merged.get(), 1, words, num_prons, lengths, prons);
        zv_failing_alloc_pause(1);
        if (status != ZV_STATUS_SUCCESS) {
            EXPECT_EQ(zv_dict_is_equal(target, dict.get()), 1);
        } else {
            EXPECT_EQ(zv_dict_num_pronunciations(target, 4), 2);
        }
        zv_dict_delete(target);
        zv_failing_alloc_pause(0);
        return status;
    });
}

TEST(PronunciationAlloc, ExpandingBlobsAreRefusedBeforeAnyAllocation) {
    const std::vector<uint8_t> words = zv_test::EncodeLexicon(zv_test::chain_words(2000));
    zv_test::LexiconPtr one = zv_test::make_lexicon({"A"});
    const std::vector<uint8_t> prons = zv_test::EncodeDict(1, 1, zv_test::chain_pronunciations(2000));
    zv_failing_alloc_fail_at(0);
    const void *cursor = words.data();
    zv_lexicon_t *lexicon = nullptr;
    EXPECT_EQ(zv_lexicon_deserialize_bounded(&cursor, words.size(), &lexicon), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_failing_alloc_calls(), 0);
    // The dictionary reader's only blocks before its walk: three per lexicon word.
    zv_failing_alloc_fail_at(0);
    cursor = prons.data();
    zv_dict_t *dict = nullptr;
    EXPECT_EQ(zv_dict_deserialize_bounded(one.get(), &cursor, prons.size(), &dict), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_LE(zv_failing_alloc_calls(), 3);
}

TEST(PronunciationAlloc, GraphemeToPhonemeBlockAndPronouncing) {
    const std::vector<uint8_t> block =
        zv_test::EncodeBlock(zv_test::RandomBlock("marbo", "1.0.0", 6865, 28, {8}, 40, 2, 24));
    sweep_fails_cleanly("marbo load", [&] {
        zv_failing_alloc_pause(1);
        FILE *f = zv_test::open_bytes(block);
        zv_failing_alloc_pause(0);
        zv_marbo_t *marbo = nullptr;
        const zv_status_t status = zv_marbo_init2(f, &marbo);
        EXPECT_EQ(marbo != nullptr, status == ZV_STATUS_SUCCESS);
        zv_marbo_delete(marbo);
        fclose(f);
        return status;
    }, kFileStatuses);

    FILE *f = zv_test::open_bytes(block);
    zv_marbo_t *marbo = nullptr;
    ASSERT_EQ(zv_marbo_init2(f, &marbo), ZV_STATUS_SUCCESS);
    fclose(f);
    sweep_fails_cleanly("marbo pronounce", [&] {
        int32_t num_prons = -1;
        int32_t *num_phones = nullptr;
        const char ***names = nullptr;
        float *probs = nullptr;
        const zv_status_t status = zv_marbo_pronounce(marbo, "hello", &num_prons, &num_phones, &names, &probs);
        if (status == ZV_STATUS_SUCCESS) {
            for (int32_t i = 0; i < num_prons; ++i) free(names[i]);
        } else {
            EXPECT_TRUE(names == nullptr && num_phones == nullptr && probs == nullptr);
        }
        free(names);
        free(num_phones);
        free(probs);
        return status;
    });
    zv_marbo_delete(marbo);
}

}  // namespace
