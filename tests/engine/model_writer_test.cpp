// The model writer's own encoders, checked against blobs worked out by hand,
// so that engine tests built on them rest on known bytes.
#include "support/model_writer.h"

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
    zv_test::ByteWriter out;
    for (uint32_t w : words) out.u32(w);
    return out.take();
}

TEST(ModelWriter, LexiconBlobs) {
    // A: root, A, end node; bits 0 0 0 1 1 1.
    EXPECT_EQ(zv_test::EncodeLexicon({"A"}),
              (std::vector<uint8_t>{0x10, 0, 0, 0, 3, 0, 0, 0, 0x38, 0, 0, 0, 0x00, 0x41, 0x00, 0x00}));
    EXPECT_EQ(zv_test::EncodeLexicon({"AB", "AC"}),
              (std::vector<uint8_t>{0x14, 0, 0, 0, 6, 0, 0, 0, 0x30, 0x0f, 0, 0, 0x00, 0x41, 0x42, 0x00, 0x43, 0x00,
                                    0, 0}));
}

TEST(ModelWriter, DictionaryBlob) {
    // P = 3, ANT = 1 2, BEE = 1 3.
    EXPECT_EQ(zv_test::EncodeDict(3, 2, {{{1, 2}}, {{1, 3}}}),
              Words({0x20, 3, 6, 2, 2, 0x0324, 0x04, 0x0f30}));
}

TEST(ModelWriter, BlockLayoutAndHooks) {
    const zv_test::BlockSpec block = zv_test::ZeroBlock("marbo", "1.0.0", 6865, 28, {2}, std::vector<int8_t>(40, 3));
    const std::vector<uint8_t> bytes = zv_test::EncodeBlock(block);
    // name, version, extra, L, 2 x (input 28->6, recurrent 2->6), output 2->40, language
    const size_t expected = 5 + 5 + 4 + 4 + 2 * ((8 + 6 * 29) + (8 + 6 * 3)) + (8 + 40 * 3) + 4;
    ASSERT_EQ(bytes.size(), expected);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 10), "marbo1.0.0");
    EXPECT_EQ(bytes[bytes.size() - 4] | bytes[bytes.size() - 3] << 8, 6865);

    zv_test::ModelWriter model = zv_test::SmallModel();
    EXPECT_EQ(model.bytes().size(), model.trailer_offset());
    EXPECT_EQ(model.bytes(10).size(), 10u);
    const std::vector<uint8_t> patched = model.patched_u32(model.lexicon_offset(), 0x01020304u);
    EXPECT_EQ(patched[model.lexicon_offset()], 0x04);
    EXPECT_EQ(patched[model.lexicon_offset() + 3], 0x01);
}

}  // namespace
