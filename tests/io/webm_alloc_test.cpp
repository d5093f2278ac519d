// What the WebM reader allocates for a file that lies about its sizes.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "io/webm_reader.h"
#include "support/failing_alloc.h"
#include "support/temp_dir.h"

namespace {

// An 8-byte element size.
void put_size(uint64_t value, std::vector<uint8_t> *bytes) {
    bytes->push_back(0x01);
    for (int shift = 48; shift >= 0; shift -= 8) bytes->push_back(static_cast<uint8_t>(value >> shift));
}

// A file of some 70 bytes whose one track's codec-private data claims 256 MiB
// (the tracks and the entry claim more still, so that the claim fits them):
// the parser would make room for all of it before reading a byte. It is cut
// there, as a file that ends inside its headers is, and nothing near that
// size is asked for.
TEST(WebmAlloc, AValueLongerThanTheFileTakesNoMemoryForIt) {
    const uint64_t claim = uint64_t{1} << 28;
    std::vector<uint8_t> b = {0x1A, 0x45, 0xDF, 0xA3, 0x87, 0x42, 0x82, 0x84, 'w', 'e', 'b', 'm',
                              0x18, 0x53, 0x80, 0x67, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                              0x16, 0x54, 0xAE, 0x6B};
    put_size(claim + 4096, &b);
    b.push_back(0xAE);
    put_size(claim + 2048, &b);
    const uint8_t entry[] = {0xD7, 0x81, 0x01, 0x83, 0x81, 0x02, 0x86, 0x88, 'A', '_', 'V',
                             'O',  'R',  'B',  'I',  'S',  0x63, 0xA2};
    b.insert(b.end(), entry, entry + sizeof(entry));
    put_size(claim, &b);
    b.insert(b.end(), {0x02, 0x01, 0x01});
    zv_test::TempDir dir;
    const std::string path = dir.write("claims.webm", b);

    zv_failing_alloc_fail_at(0);  // only measures
    zv_webm_t *webm = reinterpret_cast<zv_webm_t *>(1);
    EXPECT_EQ(zv_webm_init(path.c_str(), &webm), ZV_STATUS_INVALID_STATE);
    EXPECT_EQ(webm, nullptr);
    EXPECT_LT(zv_failing_alloc_largest(), uint64_t{1} << 20);
}

}  // namespace
