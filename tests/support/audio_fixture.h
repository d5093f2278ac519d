// Paths of the audio fixtures in tests/data/audio, and small file helpers
// for the audio reader tests.
#ifndef ZV_TESTS_SUPPORT_AUDIO_FIXTURE_H
#define ZV_TESTS_SUPPORT_AUDIO_FIXTURE_H

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace zv_test {

inline std::string audio_fixture(const std::string &name) {
    return std::string(ZV_TEST_DATA_DIR) + "/audio/" + name;
}

inline std::vector<uint8_t> read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The bytes of several files one after another, as `cat` joins them.
inline std::vector<uint8_t> joined_bytes(const std::vector<std::string> &paths) {
    std::vector<uint8_t> out;
    for (const std::string &path : paths) {
        const std::vector<uint8_t> bytes = read_bytes(path);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

// A 16-bit PCM WAV file of the given (interleaved) samples.
inline std::vector<uint8_t> wav_bytes(const std::vector<int16_t> &samples, uint32_t rate, uint16_t channels = 1) {
    const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
    std::vector<uint8_t> b(44 + data, 0);
    size_t at = 0;
    auto put = [&b, &at](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) b[at++] = static_cast<uint8_t>(v >> (8 * i));
    };
    auto text = [&b, &at](const char *s) {
        for (int i = 0; i < 4; ++i) b[at++] = static_cast<uint8_t>(s[i]);
    };
    text("RIFF"); put(36 + data, 4); text("WAVE");
    text("fmt "); put(16, 4); put(1, 2); put(channels, 2); put(rate, 4); put(rate * 2 * channels, 4);
    put(2 * channels, 2); put(16, 2);
    text("data"); put(data, 4);
    for (int16_t v : samples) put(static_cast<uint16_t>(v), 2);
    return b;
}

}  // namespace zv_test

#endif
