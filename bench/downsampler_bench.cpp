// Throughput of the downsampler at 48000 -> 16000 and 44100 -> 16000, in
// input samples per second, fed in blocks of 1024 samples as the audio file
// reader does. Where libsamplerate or libsoxr is installed, the same run
// measures them at a comparable quality on the same input. Each benchmark
// also reports, as counters, the SNR in dB of 1031 Hz and 4111 Hz tones after
// conversion (the residual after a least-squares fit of the tone) and the
// level in dB of a 10 kHz tone, which lies above the output's Nyquist frequency.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "io/downsampler.h"

#if defined(ZV_BENCH_HAVE_SAMPLERATE)
#include <samplerate.h>
#endif
#if defined(ZV_BENCH_HAVE_SOXR)
#include <soxr.h>
#endif

namespace {

constexpr int kBlock = 1024;
constexpr int kOutRate = 16000;

// Turns a block of input into output; returns the number of output samples.
using Convert = std::function<int(const int16_t *in, int n, int16_t *out)>;

std::vector<int16_t> noise(int n) {
    std::mt19937 rng(1);
    std::normal_distribution<float> g(0.0f, 4000.0f);
    std::vector<int16_t> x(n);
    for (auto &v : x) v = static_cast<int16_t>(std::max(-32768.0f, std::min(32767.0f, g(rng))));
    return x;
}

std::vector<int16_t> tone(int rate, double hz, int n) {
    std::vector<int16_t> x(n);
    for (int i = 0; i < n; ++i) x[i] = static_cast<int16_t>(std::lrint(16000.0 * std::sin(2 * M_PI * hz * i / rate)));
    return x;
}

std::vector<int16_t> run(const Convert &convert, const std::vector<int16_t> &x) {
    std::vector<int16_t> out(x.size() + 4096);
    size_t produced = 0;
    for (size_t pos = 0; pos < x.size(); pos += kBlock) {
        const int n = static_cast<int>(std::min<size_t>(kBlock, x.size() - pos));
        produced += convert(x.data() + pos, n, out.data() + produced);
    }
    out.resize(produced);
    return out;
}

// Least-squares fit of a + b sin + c cos at the tone's frequency, skipping the
// start-up; returns 10 log10(tone power / residual power).
double snr_db(const std::vector<int16_t> &y, double hz) {
    const size_t skip = 400;
    if (y.size() < skip + 1000) return 0;
    double s[3][3] = {}, rhs[3] = {};
    for (size_t i = skip; i < y.size(); ++i) {
        const double w = 2 * M_PI * hz * i / kOutRate;
        const double basis[3] = {1.0, std::sin(w), std::cos(w)};
        for (int a = 0; a < 3; ++a) {
            rhs[a] += basis[a] * y[i];
            for (int b = 0; b < 3; ++b) s[a][b] += basis[a] * basis[b];
        }
    }
    // Gaussian elimination on the 3 x 3 normal equations.
    for (int p = 0; p < 3; ++p) {
        for (int r = p + 1; r < 3; ++r) {
            const double f = s[r][p] / s[p][p];
            for (int c = p; c < 3; ++c) s[r][c] -= f * s[p][c];
            rhs[r] -= f * rhs[p];
        }
    }
    double coef[3];
    for (int p = 2; p >= 0; --p) {
        double v = rhs[p];
        for (int c = p + 1; c < 3; ++c) v -= s[p][c] * coef[c];
        coef[p] = v / s[p][p];
    }
    double signal = 0, residual = 0;
    for (size_t i = skip; i < y.size(); ++i) {
        const double w = 2 * M_PI * hz * i / kOutRate;
        const double fit = coef[0] + coef[1] * std::sin(w) + coef[2] * std::cos(w);
        signal += (fit - coef[0]) * (fit - coef[0]);
        residual += (y[i] - fit) * (y[i] - fit);
    }
    return 10 * std::log10(signal / std::max(residual, 1e-9));
}

// RMS level of the output relative to the input tone's, in dB.
double level_db(const std::vector<int16_t> &y, const std::vector<int16_t> &x) {
    const size_t skip = 400;
    double py = 0, px = 0;
    for (size_t i = skip; i < y.size(); ++i) py += double(y[i]) * y[i];
    for (size_t i = 0; i < x.size(); ++i) px += double(x[i]) * x[i];
    py /= std::max<size_t>(1, y.size() - skip);
    px /= x.size();
    return 10 * std::log10(std::max(py, 1e-9) / px);
}

// Runs the timing loop and the quality figures for one converter; `reset`
// brings it back to a fresh stream.
void measure(benchmark::State &state, int in_rate, const Convert &convert, const std::function<void()> &reset) {
    const std::vector<int16_t> x = noise(in_rate);  // one second
    std::vector<int16_t> out(x.size() + 4096);
    for (auto _ : state) {
        for (size_t pos = 0; pos < x.size(); pos += kBlock) {
            const int n = static_cast<int>(std::min<size_t>(kBlock, x.size() - pos));
            benchmark::DoNotOptimize(convert(x.data() + pos, n, out.data()));
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(x.size()));
    reset();
    state.counters["snr_1k_db"] = snr_db(run(convert, tone(in_rate, 1031, in_rate)), 1031);
    reset();
    state.counters["snr_4k_db"] = snr_db(run(convert, tone(in_rate, 4111, in_rate)), 4111);
    reset();
    const std::vector<int16_t> alias = tone(in_rate, 10000, in_rate);
    state.counters["alias_10k_db"] = level_db(run(convert, alias), alias);
    reset();
}

void BM_Downsampler(benchmark::State &state, bool scalar) {
    const int in_rate = static_cast<int>(state.range(0));
    zv_downsampler_t *d = nullptr;
    if (zv_downsampler_init(in_rate, kOutRate, 50, &d) != ZV_STATUS_SUCCESS) {
        state.SkipWithError("init failed");
        return;
    }
    zv_downsampler_force_scalar(d, scalar ? 1 : 0);
    measure(
        state, in_rate, [d](const int16_t *in, int n, int16_t *out) { return zv_downsampler_process(d, in, n, out); },
        [d] { zv_downsampler_reset(d); });
    zv_downsampler_delete(d);
}
void BM_Downsampler_Order50(benchmark::State &state) { BM_Downsampler(state, false); }
void BM_Downsampler_Order50_Scalar(benchmark::State &state) { BM_Downsampler(state, true); }
BENCHMARK(BM_Downsampler_Order50)->Arg(48000)->Arg(44100);
BENCHMARK(BM_Downsampler_Order50_Scalar)->Arg(48000)->Arg(44100);

#if defined(ZV_BENCH_HAVE_SAMPLERATE)
void BM_Samplerate(benchmark::State &state, int converter) {
    const int in_rate = static_cast<int>(state.range(0));
    int error = 0;
    SRC_STATE *src = src_new(converter, 1, &error);
    if (src == nullptr) {
        state.SkipWithError("src_new failed");
        return;
    }
    std::vector<float> fin(kBlock), fout(kBlock + 64);
    const double ratio = static_cast<double>(kOutRate) / in_rate;
    measure(
        state, in_rate,
        [&](const int16_t *in, int n, int16_t *out) {
            src_short_to_float_array(in, fin.data(), n);
            SRC_DATA data = {};
            data.data_in = fin.data();
            data.input_frames = n;
            data.data_out = fout.data();
            data.output_frames = static_cast<long>(fout.size());
            data.src_ratio = ratio;
            src_process(src, &data);
            src_float_to_short_array(fout.data(), out, static_cast<int>(data.output_frames_gen));
            return static_cast<int>(data.output_frames_gen);
        },
        [&] { src_reset(src); });
    src_delete(src);
}
void BM_Samplerate_SincFastest(benchmark::State &state) { BM_Samplerate(state, SRC_SINC_FASTEST); }
void BM_Samplerate_Linear(benchmark::State &state) { BM_Samplerate(state, SRC_LINEAR); }
BENCHMARK(BM_Samplerate_SincFastest)->Arg(48000)->Arg(44100);
BENCHMARK(BM_Samplerate_Linear)->Arg(48000)->Arg(44100);
#endif

#if defined(ZV_BENCH_HAVE_SOXR)
void BM_Soxr(benchmark::State &state, unsigned long quality) {
    const int in_rate = static_cast<int>(state.range(0));
    soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    soxr_quality_spec_t q = soxr_quality_spec(quality, 0);
    soxr_error_t error = nullptr;
    soxr_t soxr = soxr_create(in_rate, kOutRate, 1, &error, &io, &q, nullptr);
    if (error != nullptr) {
        state.SkipWithError("soxr_create failed");
        return;
    }
    measure(
        state, in_rate,
        [&](const int16_t *in, int n, int16_t *out) {
            size_t done_in = 0, done_out = 0;
            soxr_process(soxr, in, n, &done_in, out, kBlock + 64, &done_out);
            return static_cast<int>(done_out);
        },
        [&] { soxr_clear(soxr); });
    soxr_delete(soxr);
}
void BM_Soxr_Quick(benchmark::State &state) { BM_Soxr(state, SOXR_QQ); }
void BM_Soxr_Low(benchmark::State &state) { BM_Soxr(state, SOXR_LQ); }
void BM_Soxr_Medium(benchmark::State &state) { BM_Soxr(state, SOXR_MQ); }
BENCHMARK(BM_Soxr_Quick)->Arg(48000)->Arg(44100);
BENCHMARK(BM_Soxr_Low)->Arg(48000)->Arg(44100);
BENCHMARK(BM_Soxr_Medium)->Arg(48000)->Arg(44100);
#endif

}  // namespace
