#include "io/ogg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/audio_fixture.h"
#include "support/temp_dir.h"

namespace {

using zv_test::audio_fixture;

struct Packet {
    std::vector<uint8_t> bytes;
    bool operator==(const Packet &) const = default;
};

// Every packet up to the first failing page read, and that page's status.
std::vector<Packet> read_all(zv_ogg_t *ogg, zv_status_t *last) {
    std::vector<Packet> packets;
    ogg_packet p;
    for (;;) {
        while (zv_ogg_stream_packetout(ogg, &p) == 1) {
            packets.push_back({std::vector<uint8_t>(p.packet, p.packet + p.bytes)});
        }
        *last = zv_ogg_read_ogg_page(ogg);
        if (*last != ZV_STATUS_SUCCESS) return packets;
    }
}

TEST(OggTest, MissingFileGivesIoErrorAndNoReader) {
    zv_ogg_t *ogg = reinterpret_cast<zv_ogg_t *>(1);
    EXPECT_EQ(zv_ogg_init("/nonexistent/file.ogg", &ogg), ZV_STATUS_IO_ERROR);
    EXPECT_EQ(ogg, nullptr);
    zv_ogg_delete(nullptr);
}

TEST(OggTest, EmptyFileOpensAndEndsAtTheFirstPage) {
    zv_test::TempDir dir;
    zv_ogg_t *ogg = nullptr;
    ASSERT_EQ(zv_ogg_init(dir.write("empty.ogg", std::vector<uint8_t>{}).c_str(), &ogg), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_ogg_read_ogg_page(ogg), ZV_STATUS_IO_ERROR);
    zv_ogg_delete(ogg);
}

TEST(OggTest, ResetBeforeAnyPageIsInvalidState) {
    zv_ogg_t *ogg = nullptr;
    ASSERT_EQ(zv_ogg_init(audio_fixture("opus_mono_48k.opus").c_str(), &ogg), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_ogg_reset(ogg), ZV_STATUS_INVALID_STATE);
    zv_ogg_delete(ogg);
}

TEST(OggTest, ResetAfterTheEndGivesTheSamePacketsAgain) {
    zv_ogg_t *ogg = nullptr;
    ASSERT_EQ(zv_ogg_init(audio_fixture("opus_mono_48k.opus").c_str(), &ogg), ZV_STATUS_SUCCESS);
    zv_status_t last;
    const std::vector<Packet> first = read_all(ogg, &last);
    EXPECT_EQ(last, ZV_STATUS_IO_ERROR);
    ASSERT_GT(first.size(), 3u);
    EXPECT_EQ(std::memcmp(first[0].bytes.data(), "OpusHead", 8), 0);
    // Each reset initialises the stream state again; none of its buffers may
    // leak (the sanitizer build checks).
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(zv_ogg_reset(ogg), ZV_STATUS_SUCCESS);
        EXPECT_EQ(read_all(ogg, &last), first);
        EXPECT_EQ(last, ZV_STATUS_IO_ERROR);
    }
    zv_ogg_delete(ogg);
}

TEST(OggTest, CutLastPageGivesThePagesBeforeItThenIoError) {
    std::vector<uint8_t> bytes = zv_test::read_bytes(audio_fixture("opus_mono_48k.opus"));
    zv_ogg_t *whole = nullptr;
    ASSERT_EQ(zv_ogg_init(audio_fixture("opus_mono_48k.opus").c_str(), &whole), ZV_STATUS_SUCCESS);
    zv_status_t last;
    const std::vector<Packet> all = read_all(whole, &last);
    zv_ogg_delete(whole);

    bytes.resize(bytes.size() - 10);
    zv_test::TempDir dir;
    zv_ogg_t *ogg = nullptr;
    ASSERT_EQ(zv_ogg_init(dir.write("cut.opus", bytes).c_str(), &ogg), ZV_STATUS_SUCCESS);
    const std::vector<Packet> cut = read_all(ogg, &last);
    EXPECT_EQ(last, ZV_STATUS_IO_ERROR);
    ASSERT_LT(cut.size(), all.size());
    ASSERT_GT(cut.size(), 2u);
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), all.begin()));
    zv_ogg_delete(ogg);
}

TEST(OggTest, SecondStreamTakesOverAndTheFirstStreamsPageIsRefused) {
    zv_ogg_t *ogg = nullptr;
    ASSERT_EQ(zv_ogg_init(audio_fixture("two_streams.ogg").c_str(), &ogg), ZV_STATUS_SUCCESS);
    // Pages: first stream's beginning, second stream's beginning, then the
    // first stream's next page.
    ASSERT_EQ(zv_ogg_read_ogg_page(ogg), ZV_STATUS_SUCCESS);
    const int first_serial = ogg_page_serialno(ogg->page);
    ASSERT_EQ(zv_ogg_read_ogg_page(ogg), ZV_STATUS_SUCCESS);
    EXPECT_NE(ogg_page_serialno(ogg->page), first_serial);
    ogg_packet p;
    ASSERT_EQ(zv_ogg_stream_packetout(ogg, &p), 1);  // the second stream's header
    EXPECT_EQ(std::memcmp(p.packet, "OpusHead", 8), 0);
    EXPECT_EQ(zv_ogg_read_ogg_page(ogg), ZV_STATUS_INVALID_STATE);
    EXPECT_EQ(ogg_page_serialno(ogg->page), first_serial);
    // Still fit for a reset, which starts with the first stream again.
    EXPECT_EQ(zv_ogg_reset(ogg), ZV_STATUS_SUCCESS);
    EXPECT_EQ(ogg_page_serialno(ogg->page), first_serial);
    zv_ogg_delete(ogg);
}

TEST(OggTest, BytesThatAreNotOggEndTheDataWithIoError) {
    zv_test::TempDir dir;
    zv_ogg_t *ogg = nullptr;
    ASSERT_EQ(zv_ogg_init(dir.write("junk.ogg", std::string(10000, 'x')).c_str(), &ogg), ZV_STATUS_SUCCESS);
    EXPECT_EQ(zv_ogg_read_ogg_page(ogg), ZV_STATUS_IO_ERROR);
    zv_ogg_delete(ogg);
}

}  // namespace
