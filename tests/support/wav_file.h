// WAV files for tests: writes canonical RIFF/WAVE files (16-bit PCM or IEEE
// float) and reads back the interleaved samples of a 16-bit PCM file by
// walking its chunks, without the library's readers.
#ifndef ZV_TESTS_SUPPORT_WAV_FILE_H
#define ZV_TESTS_SUPPORT_WAV_FILE_H

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "byte_writer.h"

namespace zv_test {

// format 1: PCM, format 3: IEEE float; bits per sample of one value.
inline std::vector<uint8_t> wav_bytes(uint16_t format, uint16_t channels, uint32_t rate, uint16_t bits,
                                      const std::vector<uint8_t> &data) {
    const uint16_t block = static_cast<uint16_t>(channels * bits / 8);
    ByteWriter w;
    w.text("RIFF").u32(0).text("WAVE");
    w.text("fmt ").u32(format == 1 ? 16 : 18).u16(format).u16(channels).u32(rate).u32(rate * block).u16(block).u16(bits);
    if (format != 1) {
        w.u16(0);
        w.text("fact").u32(4).u32(block ? static_cast<uint32_t>(data.size() / block) : 0);
    }
    w.text("data").u32(static_cast<uint32_t>(data.size())).bytes(data);
    if (data.size() % 2) w.u8(0);
    w.patch_u32(4, static_cast<uint32_t>(w.size() - 8));
    return w.take();
}

inline std::vector<uint8_t> wav_pcm16(uint16_t channels, uint32_t rate, const std::vector<int16_t> &interleaved) {
    ByteWriter data;
    data.array_i16(interleaved);
    return wav_bytes(1, channels, rate, 16, data.data());
}

inline std::vector<uint8_t> wav_float32(uint16_t channels, uint32_t rate, const std::vector<float> &interleaved) {
    ByteWriter data;
    for (float v : interleaved) data.f32(v);
    return wav_bytes(3, channels, rate, 32, data.data());
}

inline std::vector<uint8_t> wav_float64(uint16_t channels, uint32_t rate, const std::vector<double> &interleaved) {
    ByteWriter data;
    for (double v : interleaved) {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        data.u64(bits);
    }
    return wav_bytes(3, channels, rate, 64, data.data());
}

inline std::vector<uint8_t> file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct WavPcm16 {
    int channels = 0;
    std::vector<int16_t> samples;  // interleaved
};

// The samples of a 16-bit PCM WAV file; channels 0 when the file isn't one.
inline WavPcm16 read_wav_pcm16(const std::string &path) {
    const std::vector<uint8_t> b = file_bytes(path);
    WavPcm16 out;
    auto u32 = [&](size_t at) { return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24; };
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0) return out;
    int channels = 0;
    for (size_t at = 12; at + 8 <= b.size();) {
        const uint32_t size = u32(at + 4);
        if (std::memcmp(&b[at], "fmt ", 4) == 0 && at + 24 <= b.size()) {
            channels = b[at + 10] | b[at + 11] << 8;
            if ((b[at + 22] | b[at + 23] << 8) != 16) return out;
        } else if (std::memcmp(&b[at], "data", 4) == 0) {
            const size_t n = std::min<size_t>(size, b.size() - at - 8) / 2;
            out.samples.resize(n);
            for (size_t i = 0; i < n; ++i) out.samples[i] = static_cast<int16_t>(b[at + 8 + 2 * i] | b[at + 9 + 2 * i] << 8);
            out.channels = channels;
            return out;
        }
        at += 8 + size + (size & 1);
    }
    return out;
}

// Mono samples as the readers give them: a stereo pair averaged, truncated toward zero.
inline std::vector<int16_t> mono_of(const WavPcm16 &wav) {
    if (wav.channels == 1) return wav.samples;
    std::vector<int16_t> mono(wav.samples.size() / 2);
    for (size_t i = 0; i < mono.size(); ++i) mono[i] = static_cast<int16_t>((wav.samples[2 * i] + wav.samples[2 * i + 1]) / 2);
    return mono;
}

}  // namespace zv_test

#endif
