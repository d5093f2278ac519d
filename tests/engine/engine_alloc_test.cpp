// Every allocation of engine creation, indexing (of PCM and of a file of each
// format) and search fails in turn: each gives a failure status, leaks
// nothing, prints nothing, and leaves the engine as it was.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/alloc_sweep.h"
#include "support/failing_alloc.h"
#include "support/model_writer.h"
#include "support/temp_dir.h"
#include "zv_lumarin.h"

namespace {

using zv_test::sweep_fails_cleanly;

class EngineAlloc : public ::testing::Test {
protected:
    void SetUp() override {
        model_path_ = zv_test::SmallModel().write(dir_.path("model.bin"));
        ASSERT_EQ(zv_lumarin_init(model_path_.c_str(), &engine_), ZV_STATUS_SUCCESS);
        pcm_.resize(6000);
        for (size_t i = 0; i < pcm_.size(); ++i) pcm_[i] = static_cast<int16_t>(6000.0 * std::sin(i * 0.07));
        expected_index_ = index(engine_, pcm_);
    }

    // The engine's index of the PCM; empty when indexing fails.
    static std::vector<int32_t> index(zv_lumarin_t *engine, const std::vector<int16_t> &pcm,
                                      zv_status_t *status = nullptr) {
        int32_t *block = reinterpret_cast<int32_t *>(8);
        int32_t size = -1;
        const zv_status_t s = zv_lumarin_index(engine, pcm.data(), static_cast<int32_t>(pcm.size()), &block, &size);
        if (status != nullptr) *status = s;
        zv_failing_alloc_pause(1);  // the test's own blocks
        EXPECT_EQ(block != nullptr, s == ZV_STATUS_SUCCESS);
        if (s != ZV_STATUS_SUCCESS) {
            EXPECT_EQ(size, -1);  // a failure sets *index to NULL and leaves *index_size
        }
        std::vector<int32_t> out(block, block + (block != nullptr ? size / 4 : 0));
        zv_failing_alloc_pause(0);
        free(block);
        return out;
    }
    void TearDown() override { zv_lumarin_delete(engine_); }

    zv_test::TempDir dir_;
    std::string model_path_;
    zv_lumarin_t *engine_ = nullptr;
    std::vector<int16_t> pcm_;
    std::vector<int32_t> expected_index_;
};

// Each failed allocation gives OUT_OF_MEMORY, but for the one the header
// names as IO_ERROR: the buffer of the lexicon and dictionary.
TEST_F(EngineAlloc, Creation) {
    int io_errors = 0;
    EXPECT_GT(sweep_fails_cleanly("init",
                                  [&] {
                                      zv_lumarin_t *engine = nullptr;
                                      zv_status_t status = zv_lumarin_init(model_path_.c_str(), &engine);
                                      io_errors += status == ZV_STATUS_IO_ERROR;
                                      EXPECT_EQ(engine != nullptr, status == ZV_STATUS_SUCCESS);
                                      if (engine != nullptr) {
                                          zv_failing_alloc_pause(1);  // the check itself never fails
                                          EXPECT_EQ(index(engine, pcm_), expected_index_);
                                          zv_failing_alloc_pause(0);
                                      }
                                      zv_lumarin_delete(engine);
                                      return status;
                                  },
                                  {ZV_STATUS_OUT_OF_MEMORY, ZV_STATUS_IO_ERROR}),
              0);
    EXPECT_EQ(io_errors, 1);
}

TEST_F(EngineAlloc, IndexingAndSearch) {
    sweep_fails_cleanly("index", [&] {
        zv_status_t status;
        const std::vector<int32_t> made = index(engine_, pcm_, &status);
        zv_failing_alloc_pause(1);
        // Success or not, the engine indexes as before.
        EXPECT_EQ(status == ZV_STATUS_SUCCESS ? made : index(engine_, pcm_), expected_index_);
        zv_failing_alloc_pause(0);
        return status;
    });

    // An index made by hand: the grapheme-to-phoneme network of the small
    // model pronounces any word not in the dictionary as phoneme 1, certain
    // in rows 0, 20 and 40: three matches of "zebra".
    const int32_t width = 40;
    std::vector<int32_t> rows(60 * width, 0);
    for (int32_t row : {0, 20, 40}) rows[static_cast<size_t>(row) * width + 1] = INT32_MAX;
    const int32_t *index = rows.data();
    const int32_t size = static_cast<int32_t>(rows.size() * sizeof(int32_t));
    // Each run searches with an engine of its own, made and deleted with the
    // allocator paused, so that the phrase cache it keeps can't count as a
    // leak: the cached run finds the phrase already in it, the other doesn't.
    // After a failure the engine must still find the same matches.
    const auto matches_of = [&](zv_lumarin_t *engine, const char *phrase, zv_status_t *status) {
        zv_lumarin_match_t *const unset = reinterpret_cast<zv_lumarin_match_t *>(8);
        zv_lumarin_match_t *matches = unset;
        int32_t num_matches = -1;
        *status = zv_lumarin_search(engine, index, size, phrase, &matches, &num_matches);
        zv_failing_alloc_pause(1);  // the test's own blocks
        if (*status != ZV_STATUS_SUCCESS) {
            // Failing while building the pronunciation leaves the outputs;
            // failing while scoring sets them to NULL and 0.
            EXPECT_TRUE((matches == unset && num_matches == -1) || (matches == nullptr && num_matches == 0))
                << matches << " " << num_matches;
            matches = nullptr;
            num_matches = 0;
        }
        std::vector<float> found;
        for (int32_t i = 0; i < num_matches; ++i) {
            found.insert(found.end(), {matches[i].start_sec, matches[i].end_sec, matches[i].probability});
        }
        free(matches);
        zv_failing_alloc_pause(0);
        return found;
    };
    zv_status_t status;
    const std::vector<float> expected = matches_of(engine_, "zebra", &status);
    ASSERT_EQ(status, ZV_STATUS_SUCCESS);
    ASSERT_EQ(expected.size(), 9u);
    for (const bool cached : {true, false}) {
        sweep_fails_cleanly(cached ? "search, cached phrase" : "search, new phrase", [&] {
            zv_failing_alloc_pause(1);
            zv_lumarin_t *engine = nullptr;
            EXPECT_EQ(zv_lumarin_init(model_path_.c_str(), &engine), ZV_STATUS_SUCCESS);
            zv_status_t ignored;
            if (cached) matches_of(engine, "zebra", &ignored);
            zv_failing_alloc_pause(0);
            zv_status_t result;
            const std::vector<float> found = matches_of(engine, "zebra", &result);
            zv_failing_alloc_pause(1);
            if (result == ZV_STATUS_SUCCESS) {
                EXPECT_EQ(found, expected);
            }
            zv_status_t again;
            EXPECT_EQ(matches_of(engine, "zebra", &again), expected);
            EXPECT_EQ(again, ZV_STATUS_SUCCESS);
            zv_lumarin_delete(engine);
            zv_failing_alloc_pause(0);
            return result;
        });
    }
}

// Every allocation of indexing a file fails in turn, for files of each
// format (at 16 kHz, and through the downsampler and the stereo mix): each
// run gives OUT_OF_MEMORY or, where a library falls back (the C library's
// stream buffer), SUCCESS with the very index of a run without failures;
// never a status that blames the file or a decoder, and no exception. The
// failing allocator leaves some calls unfailed, as their library crashes on
// a failed allocation of its own that it never checks: libsndfile's sf_open
// (but for its first allocation, which it checks), and libvorbis's
// vorbis_synthesis_headerin, vorbis_synthesis_init and vorbis_synthesis.
TEST_F(EngineAlloc, IndexingAFileOfEachFormatRunsOutOfMemoryAsSuch) {
    // Outcomes beside the statuses.
    constexpr zv_status_t kOtherIndex = ZV_STATUS_RUNTIME_ERROR + 1;  // SUCCESS, but not the index
    constexpr zv_status_t kThrew = ZV_STATUS_RUNTIME_ERROR + 2;
    const auto name_of = [&](zv_status_t s) -> std::string {
        return s == kOtherIndex ? "SUCCESS with another index" : s == kThrew ? "an exception" : zv_status_to_string(s);
    };
    struct Case {
        const char *name;
        const char *fixture;
    };
    const Case cases[] = {
        {"wav", "wav_stereo_44k.wav"},
        {"wav_16k", "wav_mono_16k.wav"},
        {"flac", "flac_streamed_44k.flac"},  // no total in its header: counted by decoding
        {"flac_16k", "flac_mono_16k.flac"},
        {"mp3", "mp3_stereo_44k.mp3"},
        {"mp3_16k", "mp3_mono_16k.mp3"},
        {"ogg_opus", "audio/opus_mono_48k.opus"},
        {"ogg_opus_16k", "audio/opus_from_16k.opus"},
        {"ogg_vorbis", "audio/vorbis_stereo_44k.ogg"},
        {"ogg_vorbis_16k", "audio/vorbis_mono_16k.ogg"},
        {"webm_opus", "audio/webm_opus.webm"},
        {"webm_vorbis", "audio/webm_vorbis.webm"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fixture);
        const std::string path = std::string(ZV_TEST_DATA_DIR) + "/" + c.fixture;
        const auto index_of = [&](zv_status_t *status) {
            int32_t *block = reinterpret_cast<int32_t *>(8);
            int32_t size = -1;
            try {
                *status = zv_lumarin_index_file(engine_, path.c_str(), &block, &size);
            } catch (...) {  // what a C caller would get as the end of the process
                *status = kThrew;
                return std::vector<int32_t>();
            }
            zv_failing_alloc_pause(1);  // the test's own blocks
            EXPECT_EQ(block != nullptr, *status == ZV_STATUS_SUCCESS);
            if (*status != ZV_STATUS_SUCCESS) {
                EXPECT_EQ(size, -1);
            }
            std::vector<int32_t> out(block, block + (block != nullptr ? size / 4 : 0));
            zv_failing_alloc_pause(0);
            free(block);
            return out;
        };
        zv_status_t status;
        const std::vector<int32_t> expected = index_of(&status);
        ASSERT_EQ(status, ZV_STATUS_SUCCESS);
        ASSERT_FALSE(expected.empty());
        // How often each status came, for the record; the first few runs that
        // went wrong in full.
        int64_t counts[kThrew + 1] = {};
        int64_t wrong = 0;
        int64_t live = 0;
        zv_alloc_sweep(
            [&] {
                live = zv_failing_alloc_live();
                std::vector<int32_t> made = index_of(&status);
                zv_failing_alloc_pause(1);
                const bool same = status != ZV_STATUS_SUCCESS || made == expected;
                made = std::vector<int32_t>();
                zv_failing_alloc_pause(0);
                return same ? status : kOtherIndex;
            },
            [&](int64_t n, zv_status_t s, bool fired) {
                const int64_t left = zv_failing_alloc_live() - live;
                const bool right = left == 0 && (s == ZV_STATUS_SUCCESS || (fired && s == ZV_STATUS_OUT_OF_MEMORY));
                if (fired && s >= 0 && s <= kThrew) ++counts[s];
                if (!right && ++wrong <= 5) {
                    ADD_FAILURE() << c.name << ", allocation " << n << " failing: " << name_of(s) << ", " << left
                                  << " blocks left";
                }
            });
        EXPECT_EQ(wrong, 0) << c.name << ": runs that went wrong";
        std::string record;
        for (zv_status_t s = 0; s <= kThrew; ++s) {
            if (counts[s] > 0) record += (record.empty() ? "" : ", ") + std::to_string(counts[s]) + " " + name_of(s);
        }
        RecordProperty(std::string("sweep_") + c.name, record);
    }
}

}  // namespace
