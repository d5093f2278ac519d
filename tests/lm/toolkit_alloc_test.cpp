// Every allocation of the toolkit's loaders, writers, estimation and graph
// build fails in turn: each gives a failure status, leaks nothing, prints
// nothing, and a failed change leaves the model as it was. (The decoder's
// frames are swept in decoder_alloc_test.cpp.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "lm/count.h"
#include "lm/gram.h"
#include "lm/graph.h"
#include "lm/kgram.h"
#include "lm/mgram.h"
#include "lm/ngram.h"
#include "support/alloc_sweep.h"
#include "support/failing_alloc.h"
#include "support/graph_file.h"
#include "support/lm_fixtures.h"
#include "support/temp_dir.h"

namespace {

using zv_test::sweep_fails_cleanly;

// Files opened by the operation: an open that fails for want of memory (the
// C library allocates for it) is OUT_OF_MEMORY too, not IO_ERROR.
constexpr std::initializer_list<zv_status_t> kFileStatuses = {ZV_STATUS_OUT_OF_MEMORY};

const zv_test::Sequences kSentences = {{0, 1, 2}, {1, 2, 3}, {0, 1, 4}, {5, 6}, {2, 3, 0}, {7}, {0, 1, 2}, {8, 9}};

class ToolkitAlloc : public ::testing::Test {
protected:
    void SetUp() override {
        lexicon_ = zv_test::lexicon_of_size(12);
        gram_ = zv_test::make_gram(3, lexicon_.get(), kSentences);
        count_ = zv_test::make_count(gram_.get(), kSentences);
        ASSERT_EQ(zv_gram_save(gram_.get(), gram_path_.c_str()), ZV_STATUS_SUCCESS);
        ASSERT_EQ(zv_count_save(count_.get(), count_path_.c_str()), ZV_STATUS_SUCCESS);
        zv_ngram_t *model = nullptr;
        ASSERT_EQ(zv_ngram_init(count_path_.c_str(), lexicon_.get(), &model), ZV_STATUS_SUCCESS);
        ASSERT_EQ(zv_ngram_add_singletons(model), ZV_STATUS_SUCCESS);
        ASSERT_EQ(zv_ngram_save(model, blob_path_.c_str()), ZV_STATUS_SUCCESS);
        zv_ngram_delete(model);
        blob_ = zv_test::file_bytes(blob_path_);
    }

    zv_test::TempDir dir_;
    const std::string gram_path_ = dir_.path("grams");
    const std::string count_path_ = dir_.path("counts");
    const std::string blob_path_ = dir_.path("model.blob");
    const std::string out_path_ = dir_.path("written");
    zv_test::LexiconPtr lexicon_;
    zv_test::GramPtr gram_;
    zv_test::CountPtr count_;
    std::vector<uint8_t> blob_;
};

TEST_F(ToolkitAlloc, GramAndCountFiles) {
    sweep_fails_cleanly("gram init and insert", [&] {
        zv_gram_t *gram = nullptr;
        zv_status_t status = zv_gram_init(3, lexicon_.get(), &gram);
        for (size_t i = 0; status == ZV_STATUS_SUCCESS && i < kSentences.size(); ++i) {
            status = zv_gram_insert(gram, kSentences[i].data(), static_cast<int32_t>(kSentences[i].size()));
        }
        zv_gram_delete(gram);
        return status;
    });
    sweep_fails_cleanly("gram load", [&] {
        zv_gram_t *gram = nullptr;
        const zv_status_t status = zv_gram_load(gram_path_.c_str(), lexicon_.get(), &gram);
        zv_failing_alloc_pause(1);
        EXPECT_EQ(gram != nullptr, status == ZV_STATUS_SUCCESS);
        if (gram != nullptr) {
            EXPECT_TRUE(zv_gram_is_equal(gram, gram_.get()));
        }
        zv_failing_alloc_pause(0);
        zv_gram_delete(gram);
        return status;
    }, kFileStatuses);
    sweep_fails_cleanly("gram save", [&] { return zv_gram_save(gram_.get(), out_path_.c_str()); }, kFileStatuses);

    sweep_fails_cleanly("count init", [&] {
        zv_count_t *count = nullptr;
        const zv_status_t status = zv_count_init(gram_.get(), &count);
        EXPECT_EQ(count != nullptr, status == ZV_STATUS_SUCCESS);
        zv_count_delete(count);
        return status;
    });
    sweep_fails_cleanly("count load", [&] {
        zv_count_t *count = nullptr;
        const zv_status_t status = zv_count_load(count_path_.c_str(), &count);
        zv_failing_alloc_pause(1);
        EXPECT_EQ(count != nullptr, status == ZV_STATUS_SUCCESS);
        if (count != nullptr) {
            EXPECT_TRUE(zv_count_is_equal(count, count_.get()));
        }
        zv_failing_alloc_pause(0);
        zv_count_delete(count);
        return status;
    }, kFileStatuses);
    sweep_fails_cleanly("count save", [&] { return zv_count_save(count_.get(), out_path_.c_str()); }, kFileStatuses);
}

TEST_F(ToolkitAlloc, EstimationAndItsWriters) {
    sweep_fails_cleanly("estimation", [&] {
        zv_ngram_t *model = nullptr;
        zv_status_t status = zv_ngram_init(count_path_.c_str(), lexicon_.get(), &model);
        if (status == ZV_STATUS_SUCCESS) {
            zv_ngram_prune(model, 0.1);
            status = zv_ngram_add_singletons(model);
        }
        zv_ngram_delete(model);
        return status;
    }, kFileStatuses);
    zv_ngram_t *model = nullptr;
    ASSERT_EQ(zv_ngram_init(count_path_.c_str(), lexicon_.get(), &model), ZV_STATUS_SUCCESS);
    ASSERT_EQ(zv_ngram_add_singletons(model), ZV_STATUS_SUCCESS);
    sweep_fails_cleanly("blob", [&] { return zv_ngram_save(model, out_path_.c_str()); }, kFileStatuses);
    sweep_fails_cleanly("ARPA text", [&] { return zv_ngram_save_arpa(model, out_path_.c_str()); }, kFileStatuses);
    sweep_fails_cleanly("weights text", [&] { return zv_ngram_save_weights(model, out_path_.c_str()); },
                        kFileStatuses);
    zv_ngram_delete(model);
}

TEST_F(ToolkitAlloc, CompactAndEditableModels) {
    sweep_fails_cleanly("compact model by cursor", [&] {
        const void *cursor = blob_.data();
        zv_mgram_t *mgram = nullptr;
        const zv_status_t status = zv_mgram_deserialize_bounded(&cursor, blob_.size(), &mgram);
        EXPECT_EQ(mgram != nullptr, status == ZV_STATUS_SUCCESS);
        zv_mgram_delete(mgram);
        return status;
    });
    sweep_fails_cleanly("compact model by path", [&] {
        zv_mgram_t *mgram = nullptr;
        const zv_status_t status = zv_mgram_load(blob_path_.c_str(), &mgram);
        EXPECT_EQ(mgram != nullptr, status == ZV_STATUS_SUCCESS);
        zv_mgram_delete(mgram);
        return status;
    }, kFileStatuses);
    zv_mgram_t *mgram = nullptr;
    ASSERT_EQ(zv_mgram_load(blob_path_.c_str(), &mgram), ZV_STATUS_SUCCESS);
    sweep_fails_cleanly("compact model serialize", [&] {
        uint64_t size = 0;
        void *blob = nullptr;
        const zv_status_t status = zv_mgram_serialize(mgram, &size, &blob);
        EXPECT_EQ(blob != nullptr, status == ZV_STATUS_SUCCESS);
        free(blob);
        return status;
    });
    sweep_fails_cleanly("compact model save", [&] { return zv_mgram_save(mgram, out_path_.c_str()); },
                        kFileStatuses);
    zv_mgram_delete(mgram);

    sweep_fails_cleanly("editable model load", [&] {
        zv_kgram_t *model = nullptr;
        const zv_status_t status = zv_kgram_load(blob_path_.c_str(), &model);
        EXPECT_EQ(model != nullptr, status == ZV_STATUS_SUCCESS);
        zv_kgram_delete(model);
        return status;
    }, kFileStatuses);
    zv_kgram_t *loaded = nullptr;
    ASSERT_EQ(zv_kgram_load(blob_path_.c_str(), &loaded), ZV_STATUS_SUCCESS);
    sweep_fails_cleanly("editable model save", [&] { return zv_kgram_save(loaded, out_path_.c_str()); },
                        kFileStatuses);
    // Three new words: a failure leaves the model as it was.
    zv_test::LexiconPtr larger = zv_test::lexicon_of_size(15);
    sweep_fails_cleanly("editable model add words", [&] {
        zv_failing_alloc_pause(1);
        zv_kgram_t *model = nullptr;
        EXPECT_EQ(zv_kgram_load(blob_path_.c_str(), &model), ZV_STATUS_SUCCESS);
        zv_failing_alloc_pause(0);
        const zv_status_t status = zv_kgram_add_words(model, lexicon_.get(), larger.get());
        zv_failing_alloc_pause(1);
        if (status != ZV_STATUS_SUCCESS) {
            EXPECT_TRUE(zv_kgram_is_equal(model, loaded));
        }
        zv_kgram_delete(model);
        zv_failing_alloc_pause(0);
        return status;
    });
    zv_kgram_delete(loaded);
}

TEST_F(ToolkitAlloc, GraphBuild) {
    const std::string path = dir_.write("graph.bin", zv_test::trigram_example().file());
    sweep_fails_cleanly("graph", [&] {
        zv_graph_t *graph = nullptr;
        const zv_status_t status = zv_graph_init(path.c_str(), &graph);
        EXPECT_EQ(graph != nullptr, status == ZV_STATUS_SUCCESS);
        if (graph != nullptr) {
            EXPECT_EQ(zv_graph_num_states(graph), 11);
            EXPECT_EQ(zv_graph_num_arcs(graph), 15);
        }
        zv_graph_delete(graph);
        return status;
    }, kFileStatuses);
}

// 200 homophones: their phone state's list grows long enough to be indexed.
TEST_F(ToolkitAlloc, GraphBuildWithALongList) {
    zv_test::GraphSources homophones{{}, 2, {}, {{-1, -1, 127, 0}}};
    for (int32_t w = 0; w < 200; ++w) {
        homophones.words.push_back("W" + std::to_string(100 + w));
        homophones.prons.push_back({{1, 2}});
        homophones.nodes.push_back({0, w, 5, 0});
    }
    const std::string path = dir_.write("homophones.bin", homophones.file());
    sweep_fails_cleanly("graph", [&] {
        zv_graph_t *graph = nullptr;
        const zv_status_t status = zv_graph_init(path.c_str(), &graph);
        EXPECT_EQ(graph != nullptr, status == ZV_STATUS_SUCCESS);
        if (graph != nullptr) {
            EXPECT_EQ(zv_graph_num_arcs(graph), 2 + 200 + 200);
        }
        zv_graph_delete(graph);
        return status;
    }, kFileStatuses);
}

// Pronunciations that share most of their phonemes under a chain of nodes:
// counted apart they would pass the bound, so what they share is counted
// before the build.
TEST_F(ToolkitAlloc, GraphBuildCountedWithSharedPrefixes) {
    const std::string path = dir_.write("variants.bin", zv_test::chain_graph_file(200, 20, 8));
    sweep_fails_cleanly("graph", [&] {
        zv_graph_t *graph = nullptr;
        const zv_status_t status = zv_graph_init(path.c_str(), &graph);
        EXPECT_EQ(graph != nullptr, status == ZV_STATUS_SUCCESS);
        if (graph != nullptr) {
            EXPECT_EQ(zv_graph_num_states(graph), 1 + 200 + 200 * (19 + 8));
        }
        zv_graph_delete(graph);
        return status;
    }, kFileStatuses);
}

// A file that would build a million phone states from 3 KB is refused with
// nothing allocated but the readers' own blocks, each a few times the file;
// building it would take megabytes. So is one just past the bound, whose
// shared prefixes are counted first.
TEST_F(ToolkitAlloc, GraphTooLargeForItsFileIsRefusedBeforeBuilding) {
    for (const int32_t phonemes : {1000, 120}) {
        const std::vector<uint8_t> bytes = zv_test::chain_graph_file(1000, phonemes);
        const std::string path = dir_.write("chain.bin", bytes);
        zv_graph_t *graph = nullptr;
        zv_failing_alloc_fail_at(0);
        EXPECT_EQ(zv_graph_init(path.c_str(), &graph), ZV_STATUS_INVALID_ARGUMENT) << phonemes;
        EXPECT_EQ(graph, nullptr);
        EXPECT_LE(zv_failing_alloc_largest(), 8 * bytes.size()) << phonemes;
    }
}

}  // namespace
