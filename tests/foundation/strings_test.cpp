#include "foundation/strings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

// Splits the whole text, checking every status; NULL tokens end the list.
std::vector<std::string> split_all(const char *text, char separator) {
    std::vector<std::string> tokens;
    char *cursor = const_cast<char *>(text);
    for (int guard = 0; guard < 100; ++guard) {
        char *token = reinterpret_cast<char *>(1);
        EXPECT_EQ(zv_string_split(&cursor, separator, &token), ZV_STATUS_SUCCESS);
        if (!token) break;
        tokens.emplace_back(token);
        free(token);
    }
    return tokens;
}

std::string take(char *text) {
    EXPECT_NE(text, nullptr);
    std::string s = text ? text : "<null>";
    free(text);
    return s;
}

}  // namespace

TEST(Strings, Format) {
    EXPECT_EQ(take(zv_string_format("%s/%s.dmp", "dir", "name")), "dir/name.dmp");
    EXPECT_EQ(take(zv_string_format("%d|%5.2f|%c", -42, 3.14159, 'z')), "-42| 3.14|z");
    EXPECT_EQ(take(zv_string_format("%s", "")), "");
    const std::string long_text = take(zv_string_format("%1000d", 7));
    EXPECT_EQ(long_text.size(), 1000u);
    EXPECT_EQ(long_text.back(), '7');
}

// A formatting error gives a negative length from vsnprintf: NULL, not a
// wild allocation. A wide character with no single-byte form in the C locale
// is such an error.
TEST(Strings, FormatErrorGivesNull) {
    const wchar_t wide[] = {0x00e9, 0};
    EXPECT_EQ(zv_string_format("x%lsy", wide), nullptr);
}

TEST(Strings, Concatenate) {
    EXPECT_EQ(take(zv_string_concatenate("", "")), "");
    EXPECT_EQ(take(zv_string_concatenate("ab", "")), "ab");
    EXPECT_EQ(take(zv_string_concatenate("", "cd")), "cd");
    EXPECT_EQ(take(zv_string_concatenate("ab", "cde")), "abcde");
}

TEST(Strings, StartsWith) {
    struct Case {
        const char *text, *prefix;
        int32_t expected;
    } cases[] = {
        {"", "", 1},      {"abc", "", 1},     {"abc", "a", 1},   {"abc", "abc", 1},
        {"ab", "abc", 0}, {"abc", "abd", 0},  {"", "a", 0},      {"abc", "B", 0},
        {"\xc9\x94i", "\xc9\x94", 1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(zv_string_starts_with(c.text, c.prefix), c.expected) << c.text << " / " << c.prefix;
    }
}

TEST(Strings, Split) {
    using V = std::vector<std::string>;
    EXPECT_EQ(split_all("ab,,c", ','), (V{"ab", "", "c"}));
    EXPECT_EQ(split_all("ab,", ','), (V{"ab"}));  // no empty last token
    EXPECT_EQ(split_all("", ','), V{});
    EXPECT_EQ(split_all(",", ','), (V{""}));
    EXPECT_EQ(split_all(",,x", ','), (V{"", "", "x"}));
    EXPECT_EQ(split_all("no separator", ','), (V{"no separator"}));
    EXPECT_EQ(split_all("a b  c", ' '), (V{"a", "b", "", "c"}));
    // A NUL separator never steps over the terminator.
    EXPECT_EQ(split_all("abc", '\0'), (V{"abc"}));
}

TEST(Strings, SplitLeavesTextAndMovesCursor) {
    char text[] = "one;two";
    char *cursor = text;
    char *token = nullptr;
    ASSERT_EQ(zv_string_split(&cursor, ';', &token), ZV_STATUS_SUCCESS);
    EXPECT_STREQ(token, "one");
    EXPECT_EQ(cursor, text + 4);
    free(token);
    ASSERT_EQ(zv_string_split(&cursor, ';', &token), ZV_STATUS_SUCCESS);
    EXPECT_STREQ(token, "two");
    EXPECT_EQ(cursor, text + 7);  // at the terminator
    free(token);
    EXPECT_EQ(std::string(text, sizeof text - 1), "one;two");
}

TEST(Strings, TimeIsTheWallClock) {
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    const int64_t now = zv_time();
    const int64_t after = static_cast<int64_t>(std::time(nullptr));
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
    EXPECT_GT(now, INT64_C(1600000000));  // after September 2020
}
