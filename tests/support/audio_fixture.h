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

// A mono 16-bit PCM WAV file of the given samples.
inline std::vector<uint8_t> wav_bytes(const std::vector<int16_t> &samples, uint32_t rate, uint16_t channels = 1) {
    const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
    std::vector<uint8_t> b;
    auto u32 = [&b](uint32_t v) { for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i))); };
    auto u16 = [&b](uint16_t v) { b.push_back(static_cast<uint8_t>(v)); b.push_back(static_cast<uint8_t>(v >> 8)); };
    auto text = [&b](const char *s) { b.insert(b.end(), s, s + 4); };
    text("RIFF"); u32(36 + data); text("WAVE");
    text("fmt "); u32(16); u16(1); u16(channels); u32(rate); u32(rate * 2 * channels); u16(2 * channels); u16(16);
    text("data"); u32(data);
    for (int16_t s : samples) u16(static_cast<uint16_t>(s));
    return b;
}

}  // namespace zv_test

#endif
