#include "foundation/language.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// Decodes UTF-8 into code points; an empty result marks a malformed text.
std::vector<uint32_t> code_points(const char *text) {
    std::vector<uint32_t> out;
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (*p) {
        int extra = 0;
        uint32_t cp = *p;
        if (cp >= 0xF0) { extra = 3; cp &= 0x07; }
        else if (cp >= 0xE0) { extra = 2; cp &= 0x0F; }
        else if (cp >= 0xC0) { extra = 1; cp &= 0x1F; }
        else if (cp >= 0x80) { return {}; }
        ++p;
        for (int i = 0; i < extra; ++i, ++p) {
            if ((*p & 0xC0) != 0x80) return {};
            cp = (cp << 6) | (*p & 0x3F);
        }
        out.push_back(cp);
    }
    return out;
}

struct Expected {
    zv_language_t language;
    const char *name;
    int32_t count;
};

constexpr Expected kLanguages[] = {
    {ZV_LANGUAGE_EN, "en", 39},
    {ZV_LANGUAGE_DE, "de", 52},
    {ZV_LANGUAGE_FR, "fr", 36},
    {ZV_LANGUAGE_ES, "es", 32},
};

}  // namespace

TEST(Language, CodesAndNames) {
    EXPECT_EQ(ZV_LANGUAGE_NONE, 6864);
    EXPECT_EQ(ZV_LANGUAGE_INVALID, 6869);
    zv_language_t language = 0;
    ASSERT_EQ(zv_language_from_string("--", &language), ZV_STATUS_SUCCESS);
    EXPECT_EQ(language, ZV_LANGUAGE_NONE);
    EXPECT_STREQ(zv_language_to_string(ZV_LANGUAGE_NONE), "--");
    EXPECT_TRUE(zv_language_is_valid(ZV_LANGUAGE_NONE));
    EXPECT_EQ(zv_language_num_phonemes(ZV_LANGUAGE_NONE), -1);
    for (const Expected &e : kLanguages) {
        EXPECT_TRUE(zv_language_is_valid(e.language));
        EXPECT_STREQ(zv_language_to_string(e.language), e.name);
        language = 0;
        EXPECT_EQ(zv_language_from_string(e.name, &language), ZV_STATUS_SUCCESS);
        EXPECT_EQ(language, e.language);
        EXPECT_EQ(zv_language_num_phonemes(e.language), e.count);
    }
    for (zv_language_t bad : {6863, 6869, 0, -1, INT32_MAX, INT32_MIN}) {
        EXPECT_FALSE(zv_language_is_valid(bad)) << bad;
        EXPECT_EQ(zv_language_to_string(bad), nullptr) << bad;
        EXPECT_EQ(zv_language_num_phonemes(bad), -1) << bad;
    }
    for (const char *bad : {"EN", "en ", "e", "", "Fr", "-", "---", "xx"}) {
        language = 0;
        EXPECT_EQ(zv_language_from_string(bad, &language), ZV_STATUS_INVALID_ARGUMENT) << bad;
        EXPECT_EQ(language, ZV_LANGUAGE_INVALID) << bad;
    }
}

// Every id names a distinct, well-formed phoneme whose lookup gives the id back.
TEST(Language, EveryIdRoundTrips) {
    for (const Expected &e : kLanguages) {
        std::set<std::string> seen;
        for (int32_t id = 1; id <= e.count; ++id) {
            const char *name = nullptr;
            ASSERT_EQ(zv_language_phoneme_to_string(e.language, id, &name), ZV_STATUS_SUCCESS);
            ASSERT_NE(name, nullptr);
            EXPECT_FALSE(code_points(name).empty()) << e.name << " " << id;
            EXPECT_TRUE(seen.insert(name).second) << e.name << " duplicate " << name;
            int32_t back = 0;
            EXPECT_EQ(zv_language_phoneme_from_string(e.language, name, &back), ZV_STATUS_SUCCESS);
            EXPECT_EQ(back, id) << e.name << " " << name;
        }
        for (int32_t bad : {0, -1, e.count + 1, INT32_MAX, INT32_MIN}) {
            const char *name = "unchanged";
            EXPECT_EQ(zv_language_phoneme_to_string(e.language, bad, &name), ZV_STATUS_INVALID_ARGUMENT);
            EXPECT_EQ(name, nullptr);
        }
    }
}

TEST(Language, EnglishInventoryInOrder) {
    const char *expected =
        "AA AE AH AO AW AY B CH D DH EH ER EY F G HH IH IY JH K L M N NG OW OY P R S SH T TH UH UW "
        "V W Y Z ZH";
    std::string joined;
    for (int32_t id = 1; id <= 39; ++id) {
        const char *name = nullptr;
        ASSERT_EQ(zv_language_phoneme_to_string(ZV_LANGUAGE_EN, id, &name), ZV_STATUS_SUCCESS);
        joined += (id > 1 ? " " : "") + std::string(name);
    }
    EXPECT_EQ(joined, expected);
}

// The exact code points of the names that aren't plain ASCII, and the ASCII
// names of the other languages in between.
TEST(Language, CodePointsOfNonAsciiNames) {
    struct Case {
        zv_language_t language;
        int32_t id;
        std::vector<uint32_t> cps;
    };
    const Case cases[] = {
        {ZV_LANGUAGE_DE, 1, {0x61}},           {ZV_LANGUAGE_DE, 2, {0x61, 0x26A}},
        {ZV_LANGUAGE_DE, 3, {0x61, 0x28A}},    {ZV_LANGUAGE_DE, 4, {0x61, 0x303}},
        {ZV_LANGUAGE_DE, 15, {0x6C, 0x329}},   {ZV_LANGUAGE_DE, 17, {0x6D, 0x329}},
        {ZV_LANGUAGE_DE, 19, {0x6E, 0x329}},   {ZV_LANGUAGE_DE, 21, {0x6F, 0x303}},
        {ZV_LANGUAGE_DE, 23, {'p', 'f'}},      {ZV_LANGUAGE_DE, 33, {0xE7}},
        {ZV_LANGUAGE_DE, 34, {0xF8}},          {ZV_LANGUAGE_DE, 35, {0xF8, 0x303}},
        {ZV_LANGUAGE_DE, 36, {0x14B}},         {ZV_LANGUAGE_DE, 37, {0x153}},
        {ZV_LANGUAGE_DE, 38, {0x250}},         {ZV_LANGUAGE_DE, 39, {0x254}},
        {ZV_LANGUAGE_DE, 40, {0x254, 0x69}},   {ZV_LANGUAGE_DE, 41, {0x259}},
        {ZV_LANGUAGE_DE, 42, {0x25B}},         {ZV_LANGUAGE_DE, 43, {0x25B, 0x2D0}},
        {ZV_LANGUAGE_DE, 44, {0x25B, 0x303}},  {ZV_LANGUAGE_DE, 45, {0x26A}},
        {ZV_LANGUAGE_DE, 46, {0x283}},         {ZV_LANGUAGE_DE, 47, {0x28A}},
        {ZV_LANGUAGE_DE, 48, {0x28F}},         {ZV_LANGUAGE_DE, 49, {0x292}},
        {ZV_LANGUAGE_DE, 50, {0x2A4}},         {ZV_LANGUAGE_DE, 51, {0x2A6}},
        {ZV_LANGUAGE_DE, 52, {0x2A7}},
        {ZV_LANGUAGE_FR, 2, {0x61, 0x303}},    {ZV_LANGUAGE_FR, 15, {0x6F, 0x303}},
        {ZV_LANGUAGE_FR, 23, {'z'}},           {ZV_LANGUAGE_FR, 24, {0xF8}},
        {ZV_LANGUAGE_FR, 25, {0x14B}},         {ZV_LANGUAGE_FR, 26, {0x153}},
        {ZV_LANGUAGE_FR, 27, {0x153, 0x303}},  {ZV_LANGUAGE_FR, 28, {0x254}},
        {ZV_LANGUAGE_FR, 29, {0x259}},         {ZV_LANGUAGE_FR, 30, {0x25B}},
        {ZV_LANGUAGE_FR, 31, {0x25B, 0x303}},  {ZV_LANGUAGE_FR, 32, {0x265}},
        {ZV_LANGUAGE_FR, 33, {0x272}},         {ZV_LANGUAGE_FR, 34, {0x281}},
        {ZV_LANGUAGE_FR, 35, {0x283}},         {ZV_LANGUAGE_FR, 36, {0x292}},
        {ZV_LANGUAGE_ES, 21, {'z'}},           {ZV_LANGUAGE_ES, 22, {0xF0}},
        {ZV_LANGUAGE_ES, 23, {0x14B}},         {ZV_LANGUAGE_ES, 24, {0x263}},
        {ZV_LANGUAGE_ES, 25, {0x271}},         {ZV_LANGUAGE_ES, 26, {0x272}},
        {ZV_LANGUAGE_ES, 27, {0x27E}},         {ZV_LANGUAGE_ES, 28, {0x28E}},
        {ZV_LANGUAGE_ES, 29, {0x29D}},         {ZV_LANGUAGE_ES, 30, {0x2A7}},
        {ZV_LANGUAGE_ES, 31, {0x3B2}},         {ZV_LANGUAGE_ES, 32, {0x3B8}},
    };
    for (const Case &c : cases) {
        const char *name = nullptr;
        ASSERT_EQ(zv_language_phoneme_to_string(c.language, c.id, &name), ZV_STATUS_SUCCESS);
        EXPECT_EQ(code_points(name), c.cps) << c.language << " " << c.id;
    }
    // The other ids of de, fr and es are plain ASCII.
    for (const Expected &e : kLanguages) {
        int ascii = 0;
        for (int32_t id = 1; id <= e.count; ++id) {
            const char *name = nullptr;
            ASSERT_EQ(zv_language_phoneme_to_string(e.language, id, &name), ZV_STATUS_SUCCESS);
            bool plain = true;
            for (const char *p = name; *p; ++p) plain = plain && static_cast<unsigned char>(*p) < 0x80;
            ascii += plain;
        }
        const int expected_ascii[] = {39, 52 - 27, 36 - 15, 32 - 11};
        EXPECT_EQ(ascii, expected_ascii[&e - kLanguages]) << e.name;
    }
}

TEST(Language, NameLookupIsBytewise) {
    int32_t id = 0;
    EXPECT_EQ(zv_language_phoneme_from_string(ZV_LANGUAGE_DE, "\xc9\x94i", &id), ZV_STATUS_SUCCESS);
    EXPECT_EQ(id, 40);
    EXPECT_EQ(zv_language_phoneme_from_string(ZV_LANGUAGE_DE, "\xc9\x94", &id), ZV_STATUS_SUCCESS);
    EXPECT_EQ(id, 39);
    // The precomposed form of a + combining tilde is a different name.
    id = 77;
    EXPECT_EQ(zv_language_phoneme_from_string(ZV_LANGUAGE_DE, "\xc3\xa3", &id), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(id, 77);
    EXPECT_EQ(zv_language_phoneme_from_string(ZV_LANGUAGE_FR, "a\xcc\x83", &id), ZV_STATUS_SUCCESS);
    EXPECT_EQ(id, 2);
    // Case matters; English names are upper case.
    id = 77;
    EXPECT_EQ(zv_language_phoneme_from_string(ZV_LANGUAGE_EN, "zh", &id), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_language_phoneme_from_string(ZV_LANGUAGE_EN, "", &id), ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(id, 77);
    // A language without phonemes stores -1.
    for (zv_language_t language : {zv_language_t{ZV_LANGUAGE_NONE}, zv_language_t{ZV_LANGUAGE_INVALID}, 0}) {
        id = 77;
        EXPECT_EQ(zv_language_phoneme_from_string(language, "a", &id), ZV_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(id, -1);
        const char *name = "unchanged";
        EXPECT_EQ(zv_language_phoneme_to_string(language, 1, &name), ZV_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(name, nullptr);
    }
}
