#include "foundation/strings.h"

#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <charconv>
#include <limits>

#if defined(_WIN32)
#include "foundation/win32.h"
#endif

extern "C" char *zv_string_vformat(const char *format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int n = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    // A negative length is a formatting error, not a size.
    if (n < 0) {
        return nullptr;
    }
    char *text = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
    if (!text) {
        return nullptr;
    }
    va_list write;
    va_copy(write, args);
    const int written = vsnprintf(text, static_cast<size_t>(n) + 1, format, write);
    va_end(write);
    if (written != n) {
        free(text);
        return nullptr;
    }
    return text;
}

extern "C" char *zv_string_format(const char *format, ...) {
    va_list args;
    va_start(args, format);
    char *text = zv_string_vformat(format, args);
    va_end(args);
    return text;
}

extern "C" char *zv_string_concatenate(const char *first, const char *second) {
    const size_t a = strlen(first);
    const size_t b = strlen(second);
    char *text = static_cast<char *>(malloc(a + b + 1));
    if (!text) {
        return nullptr;
    }
    memcpy(text, first, a);
    memcpy(text + a, second, b);
    text[a + b] = '\0';
    return text;
}

extern "C" int32_t zv_string_starts_with(const char *text, const char *prefix) {
    for (; *prefix; ++prefix, ++text) {
        // A shorter text differs here at its NUL, so it is never read past.
        if (*text != *prefix) {
            return 0;
        }
    }
    return 1;
}

extern "C" zv_status_t zv_string_split(char **cursor, char separator, char **token) {
    const char *start = *cursor;
    if (*start == '\0') {
        *token = nullptr;
        return ZV_STATUS_SUCCESS;
    }
    size_t len = 0;
    while (start[len] != '\0' && start[len] != separator) {
        ++len;
    }
    char *copy = static_cast<char *>(malloc(len + 1));
    if (!copy) {
        *token = nullptr;
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    memcpy(copy, start, len);
    copy[len] = '\0';
    *token = copy;
    *cursor += start[len] == separator && separator != '\0' ? len + 1 : len;
    return ZV_STATUS_SUCCESS;
}

extern "C" int64_t zv_time(void) {
#if defined(_WIN32)
    return _time64(nullptr);
#else
    return static_cast<int64_t>(time(nullptr));
#endif
}

extern "C" int32_t zv_ascii_toupper(int32_t c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

extern "C" int32_t zv_ascii_isspace(int32_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

extern "C" int32_t zv_ascii_isdigit(int32_t c) { return c >= '0' && c <= '9'; }

extern "C" int32_t zv_string_fixed(double value, int32_t precision, char *buffer, size_t size) {
    if (size == 0) {
        return -1;
    }
    // to_chars gives printf's digits, rounding and special values without
    // ever looking at the locale.
    const std::to_chars_result written =
        precision >= 0 ? std::to_chars(buffer, buffer + size - 1, value, std::chars_format::fixed, precision)
                       : std::to_chars_result{buffer, std::errc::invalid_argument};
    if (written.ec != std::errc() || written.ptr - buffer > INT32_MAX) {
        buffer[0] = '\0';
        return -1;
    }
    *written.ptr = '\0';
    return static_cast<int32_t>(written.ptr - buffer);
}

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Starts with word, in either case (word in lower case).
bool starts_with_word(const char *text, const char *word) {
    for (; *word; ++word, ++text) {
        if ((*text | 0x20) != *word) return false;  // a shorter text differs at its NUL
    }
    return true;
}

// The exact value of a number's text, for comparisons: digits with an
// optional point, then an optional exponent (e, a power of 10; for hex
// digits p, a power of 2), as 0.u1 u2 u3 ... times base^exponent, u1 the
// first non-zero unit. A unit is a decimal digit, or one bit of a hex digit
// (base 2). No digit is copied: the text is walked again by next().
class ExactNumber {
public:
    ExactNumber(const char *begin, const char *end, bool hex) : hex_(hex) {
        const char *m = begin;
        while (m < end && (*m | 0x20) != (hex ? 'p' : 'e')) ++m;
        end_ = m;
        int64_t index = 0;     // units seen
        int64_t integer = -1;  // units before the point
        for (const char *p = begin; p < end_; ++p) {
            if (*p == '.') {
                integer = index;
                continue;
            }
            const int digit = hex_digit(*p);
            for (int bit = hex ? 3 : 0; bit >= 0; --bit, ++index) {
                const int unit = hex ? (digit >> bit) & 1 : digit;
                if (unit != 0 && next_ == nullptr) {
                    next_ = p;
                    bit_ = bit;
                    exponent_ = -index;
                }
            }
        }
        exponent_ += (integer < 0 ? index : integer) + (m < end ? scale(m + 1, end) : 0);
    }

    // -1, 0 or 1 as this is below, equal to or above other (neither zero, both
    // of the same base).
    int compare(ExactNumber other) {
        if (exponent_ != other.exponent_) return exponent_ < other.exponent_ ? -1 : 1;
        for (;;) {
            const int a = next();
            const int b = other.next();
            // Past the end of one, what is left of the other decides:
            // trailing zeros add nothing.
            if (a < 0 && b < 0) return 0;
            if (a < 0) return b != 0 || !other.rest_zero() ? -1 : 0;
            if (b < 0) return a != 0 || !rest_zero() ? 1 : 0;
            if (a != b) return a < b ? -1 : 1;
        }
    }

private:
    // The exponent's value, saturated far beyond any float's range.
    static int64_t scale(const char *p, const char *end) {
        const bool negative = p < end && *p == '-';
        if (p < end && (*p == '-' || *p == '+')) ++p;
        int64_t e = 0;
        for (; p < end; ++p) e = e < 1000000000000 ? e * 10 + (*p - '0') : e;
        return negative ? -e : e;
    }

    // The next unit, -1 after the last.
    int next() {
        if (next_ != nullptr && next_ < end_ && *next_ == '.') ++next_;
        if (next_ == nullptr || next_ >= end_) return -1;
        const int digit = hex_digit(*next_);
        if (!hex_) {
            ++next_;
            return digit;
        }
        const int unit = (digit >> bit_) & 1;
        if (--bit_ < 0) {
            bit_ = 3;
            ++next_;
        }
        return unit;
    }

    bool rest_zero() {
        for (int u = next(); u >= 0; u = next()) {
            if (u != 0) return false;
        }
        return true;
    }

    bool hex_;
    const char *end_ = nullptr;   // end of the digits
    const char *next_ = nullptr;  // digit of the next unit; NULL for a zero number
    int bit_ = 0;                 // the next unit's bit in a hex digit
    int64_t exponent_ = 0;
};

// The exact value of x in the same base as text of that base.
int compare_with(ExactNumber number, double x, bool hex) {
    char text[256];
    const std::to_chars_result written =
        hex ? std::to_chars(text, text + sizeof text, x, std::chars_format::hex)
            : std::to_chars(text, text + sizeof text, x, std::chars_format::scientific, 200);
    return number.compare(ExactNumber(text, written.ptr, hex));
}

}  // namespace

extern "C" int32_t zv_string_to_float(const char *text, float *value) {
    const char *p = text;
    while (zv_ascii_isspace(static_cast<unsigned char>(*p))) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    // strtof falls back to the 0 alone when no hex digit follows 0x.
    const bool hex = p[0] == '0' && (p[1] | 0x20) == 'x' &&
                     (hex_digit(p[2]) >= 0 || (p[2] == '.' && hex_digit(p[3]) >= 0));
    const char *digits = hex ? p + 2 : p;
    float magnitude = 0.0f;
    int32_t in_range = 1;
    if (hex || zv_ascii_isdigit(static_cast<unsigned char>(*p)) ||
        (*p == '.' && zv_ascii_isdigit(static_cast<unsigned char>(p[1])))) {
        const char *end = digits + strlen(digits);
        const std::from_chars_result read = std::from_chars(
            digits, end, magnitude, hex ? std::chars_format::hex : std::chars_format::general);
        const ExactNumber number(digits, read.ptr, hex);
        // strtof's range errors: an overflow, and (tininess taken after
        // rounding, as on x86-64) a result below the normal range that
        // isn't exact. Just below the least normal float, rounding to 24
        // bits still gives a tiny value where the subnormal rounding gives
        // the least normal one: an error too. (glibc's hex reading drops the
        // 25th bit of a subnormal, and so can round it the wrong way or miss
        // that it is inexact; here it reads as its decimal form does.)
        constexpr float kLeastNormal = std::numeric_limits<float>::min();
        constexpr double kTinyBelow = 0x1p-126 - 0x1p-151;
        if (read.ec == std::errc::result_out_of_range) {
            magnitude = compare_with(number, 1.0, hex) > 0 ? HUGE_VALF : 0.0f;
            in_range = 0;
        } else if (read.ec != std::errc()) {
            magnitude = 0.0f;  // not reached: the first digit was checked
        } else if (magnitude != 0.0f && magnitude < kLeastNormal) {
            in_range = compare_with(number, static_cast<double>(magnitude), hex) == 0;
        } else if (magnitude == kLeastNormal) {
            in_range = compare_with(number, kTinyBelow, hex) >= 0;
        }
    } else if (starts_with_word(p, "inf")) {
        magnitude = std::numeric_limits<float>::infinity();
    } else if (starts_with_word(p, "nan")) {
        magnitude = std::numeric_limits<float>::quiet_NaN();
    } else {
        *value = 0.0f;  // nothing converts, not even the sign
        return 1;
    }
    *value = negative ? -magnitude : magnitude;
    return in_range;
}

extern "C" int32_t zv_string_to_long(const char *text, long *value) {
    const char *p = text;
    while (zv_ascii_isspace(static_cast<unsigned char>(*p))) ++p;
    const bool negative = *p == '-';
    const char *digits = *p == '-' || *p == '+' ? p + 1 : p;
    if (!zv_ascii_isdigit(static_cast<unsigned char>(*digits))) {
        *value = 0;
        return 1;
    }
    // from_chars takes the minus sign itself, and no plus sign.
    const char *start = negative ? p : digits;
    long result = 0;
    const std::from_chars_result read = std::from_chars(start, start + strlen(start), result, 10);
    if (read.ec == std::errc::result_out_of_range) {
        *value = negative ? LONG_MIN : LONG_MAX;
        return 0;
    }
    *value = result;
    return 1;
}
