#include "foundation/base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string encode(const std::string &bytes) {
    char *text = reinterpret_cast<char *>(1);
    uint64_t length = 99;
    EXPECT_EQ(zv_base64_encode(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), &text, &length),
              ZV_STATUS_SUCCESS);
    if (!text) return "<null>";
    std::string s(text);
    EXPECT_EQ(length, s.size());
    free(text);
    return s;
}

struct Decoded {
    zv_status_t status;
    std::string bytes;
    bool null_data;
};

Decoded decode(const std::string &text) {
    uint8_t *data = reinterpret_cast<uint8_t *>(1);
    uint64_t size = 99;
    Decoded d;
    d.status = zv_base64_decode(text.data(), text.size(), &data, &size);
    d.null_data = data == nullptr;
    if (data && d.status == ZV_STATUS_SUCCESS) {
        d.bytes.assign(reinterpret_cast<char *>(data), size);
        free(data);
    }
    return d;
}

}  // namespace

TEST(Base64, EncodeVectors) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"},
        {"ab", "YWI="},     {"a", "YQ=="},
        {std::string("\x00\xff\xfe\x3e\x3f", 5), "AP/+Pj8="},
    };
    for (const auto &[bytes, text] : cases) EXPECT_EQ(encode(bytes), text);
}

TEST(Base64, RoundTripsRandomData) {
    std::mt19937 rng(7);
    for (size_t size = 0; size < 200; ++size) {
        std::string bytes(size, '\0');
        for (char &c : bytes) c = static_cast<char>(rng());
        const std::string text = encode(bytes);
        EXPECT_EQ(text.size(), 4 * ((size + 2) / 3));
        if (text.size() < 2) continue;
        const Decoded d = decode(text);
        ASSERT_EQ(d.status, ZV_STATUS_SUCCESS) << size;
        EXPECT_EQ(d.bytes, bytes) << size;
    }
}

TEST(Base64, DecodeAccepted) {
    const std::pair<std::string, std::string> cases[] = {
        {"YWJj", "abc"},
        {"YQ==", "a"},
        {"YWI=", "ab"},
        {"YWJj  \n", "abc"},           // spaces before a line break
        {"YWJj   ", "abc"},            // spaces at the end
        {"YWJj\r\n", "abc"},           // a final CR LF changes nothing
        {"YW\nJj", "abc"},             // a line break anywhere
        {"YW  \r\nJj\n", "abc"},
        {"Zm9v\r\nYmFy\r\n", "foobar"},
        {"YQ=\n=", "a"},
        {"\n\n", ""},                  // line breaks only: nothing to decode
    };
    for (const auto &[text, bytes] : cases) {
        const Decoded d = decode(text);
        EXPECT_EQ(d.status, ZV_STATUS_SUCCESS) << text;
        EXPECT_EQ(d.bytes, bytes) << text;
    }
}

TEST(Base64, DecodeRefused) {
    const char *cases[] = {
        "YW Jj",     // a space inside a line
        " YWJj",     // a space before the first character
        "YQ===",     // a third pad
        "YQ==Y",     // an alphabet character after a pad
        "YQ=j",
        "YW\rJj",    // a carriage return without its line feed
        "YW-j",      // outside the alphabet
        "YW\xc3\xa9", // bytes above 127
        "   ",       // only spaces
        // Incomplete final groups would silently drop their data.
        "YWJ",
        "YWJjY",
        "YWJjYW",
        "YQ=",
        "YWJj=",
        "==",
    };
    for (const char *text : cases) {
        const Decoded d = decode(text);
        EXPECT_EQ(d.status, ZV_STATUS_INVALID_ARGUMENT) << text;
        EXPECT_TRUE(d.null_data) << text;
    }
    const std::string with_nul("YW\0j", 4);
    EXPECT_EQ(decode(with_nul).status, ZV_STATUS_INVALID_ARGUMENT);
}

TEST(Base64, ShortTextLeavesOutputsUntouched) {
    uint8_t marker = 0;
    for (uint64_t length : {0u, 1u}) {
        uint8_t *data = &marker;
        uint64_t size = 42;
        EXPECT_EQ(zv_base64_decode("Y", length, &data, &size), ZV_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(data, &marker);
        EXPECT_EQ(size, 42u);
    }
}

// Only the given length is read: no terminator is needed.
TEST(Base64, DecodeReadsOnlyLength) {
    const char text[] = {'Y', 'W', 'J', 'j', 'Y', 'W'};
    uint8_t *data = nullptr;
    uint64_t size = 0;
    ASSERT_EQ(zv_base64_decode(text, 4, &data, &size), ZV_STATUS_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), size), "abc");
    free(data);
}
