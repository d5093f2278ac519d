// The engine at realistic size: a phoneme classifier of 3 levels of 256
// units with random weights, a 130,000-word lexicon and dictionary.
// - creation from the model file;
// - indexing one hour of PCM on each kernel set this processor runs
//   (target: under 4.5 s on one core with AVX-512; the peak resident memory
//   of the process is reported as a counter, in MiB);
// - searching a one-hour index for a 10-phoneme phrase whose pronunciation
//   is already cached (target: within 1.5 times the floor below);
// - the search's floor: the chain of dependent operations no search can
//   shorten, run alone over as many rows.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/model_writer.h"
#include "support/temp_dir.h"
#include "nn/fc.h"
#include "zv_lumarin.h"

// The model writer of the tests, compiled into this benchmark.
#include "support/model_writer.cpp"

namespace {

constexpr int32_t kRowsPerHour = 3600 * 16000 / 512;  // 112,500
const char *const kPhrase = "BENCHMARKING";             // 10 phonemes in the dictionary

struct Fixture {
    zv_test::TempDir dir;
    std::string model_path;

    Fixture() {
        std::mt19937 random(7);
        std::uniform_int_distribution<int> letter('A', 'Z'), length(3, 11), phoneme(1, 39), count(3, 9);
        std::set<std::string> unique{kPhrase};
        while (unique.size() < 130000) {
            std::string word(static_cast<size_t>(length(random)), 'A');
            for (char &c : word) c = static_cast<char>(letter(random));
            unique.insert(word);
        }
        const std::vector<std::string> words(unique.begin(), unique.end());
        std::vector<std::vector<std::vector<int32_t>>> prons(words.size());
        for (size_t w = 0; w < words.size(); ++w) {
            std::vector<int32_t> pron(words[w] == kPhrase ? 10 : static_cast<size_t>(count(random)));
            for (int32_t &id : pron) id = phoneme(random);
            prons[w].push_back(pron);
        }
        zv_test::ModelWriter model;
        model.classifier =
            zv_test::EncodeBlock(zv_test::RandomBlock("lumarin", "1.1.0", 6865, 80, {256, 256, 256}, 40, 11, 6));
        model.marbo = zv_test::EncodeBlock(zv_test::RandomBlock("marbo", "1.0.0", 6865, 28, {64, 64}, 40, 12, 6));
        model.lexicon = zv_test::EncodeLexicon(words);
        model.dict = zv_test::EncodeDict(39, static_cast<int32_t>(words.size()), prons);
        model_path = model.write(dir.path("model.bin"));
    }
};

Fixture &GetFixture() {
    static Fixture fixture;
    return fixture;
}

zv_lumarin_t *CreateEngine() {
    zv_lumarin_t *engine = nullptr;
    if (zv_lumarin_init(GetFixture().model_path.c_str(), &engine) != ZV_STATUS_SUCCESS) std::abort();
    return engine;
}

double PeakMiB() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_EngineCreate(benchmark::State &state) {
    GetFixture();
    for (auto _ : state) {
        zv_lumarin_t *engine = CreateEngine();
        benchmark::DoNotOptimize(engine);
        zv_lumarin_delete(engine);
    }
}
BENCHMARK(BM_EngineCreate)->Unit(benchmark::kMillisecond);

void BM_IndexOneHour(benchmark::State &state, zv_fc_kernel_set_t set) {
    if (!zv_fc_kernel_set_is_available(set)) {
        state.SkipWithError("this processor lacks the instructions");
        for (auto _ : state) {
        }
        return;
    }
    zv_fc_kernel_set_limit(set);
    zv_lumarin_t *engine = CreateEngine();
    zv_fc_kernel_set_limit(ZV_FC_KERNELS_AVX512);
    std::mt19937 random(3);
    std::normal_distribution<float> noise(0.0f, 3000.0f);
    std::vector<int16_t> pcm(static_cast<size_t>(kRowsPerHour) * 512);
    for (int16_t &s : pcm) s = static_cast<int16_t>(std::max(-32768.0f, std::min(32767.0f, noise(random))));
    const double before = PeakMiB();
    for (auto _ : state) {
        int32_t *index = nullptr;
        int32_t size = 0;
        if (zv_lumarin_index(engine, pcm.data(), static_cast<int32_t>(pcm.size()), &index, &size) !=
            ZV_STATUS_SUCCESS) {
            std::abort();
        }
        benchmark::DoNotOptimize(index);
        free(index);
    }
    state.counters["peak_MiB"] = PeakMiB();
    state.counters["peak_above_pcm_MiB"] = PeakMiB() - before;
    zv_lumarin_delete(engine);
}
// The default set first: the peak counters are the whole process's, so only
// the first run's figure above the PCM is its own.
BENCHMARK_CAPTURE(BM_IndexOneHour, avx512, ZV_FC_KERNELS_AVX512)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(BM_IndexOneHour, avx2, ZV_FC_KERNELS_AVX2)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(BM_IndexOneHour, scalar, ZV_FC_KERNELS_SCALAR)->Unit(benchmark::kSecond)->Iterations(1);

// An hour of rows shaped like posteriors: a large blank and a few phonemes.
std::vector<int32_t> SearchIndex() {
    std::mt19937 random(5);
    std::uniform_int_distribution<int> column(1, 39);
    std::vector<int32_t> index(static_cast<size_t>(kRowsPerHour) * 40, 2147483647 / 400);
    for (int32_t r = 0; r < kRowsPerHour; ++r) {
        index[static_cast<size_t>(r) * 40] = 2147483647 / 2;
        index[static_cast<size_t>(r) * 40 + column(random)] = 2147483647 / 3;
    }
    return index;
}

void BM_SearchOneHour(benchmark::State &state) {
    zv_lumarin_t *engine = CreateEngine();
    const std::vector<int32_t> index = SearchIndex();
    const int32_t size = static_cast<int32_t>(index.size() * 4);
    zv_lumarin_match_t *matches = nullptr;
    int32_t count = 0;
    // The first search builds and caches the pronunciation.
    if (zv_lumarin_search(engine, index.data(), size, kPhrase, &matches, &count) != ZV_STATUS_SUCCESS) std::abort();
    free(matches);
    for (auto _ : state) {
        if (zv_lumarin_search(engine, index.data(), size, kPhrase, &matches, &count) != ZV_STATUS_SUCCESS) {
            std::abort();
        }
        benchmark::DoNotOptimize(matches);
        free(matches);
    }
    state.counters["matches"] = count;
    zv_lumarin_delete(engine);
}
BENCHMARK(BM_SearchOneHour)->Unit(benchmark::kMillisecond);

// The floor of that search: per row, the outside state is 1.0 less each of
// the 19 phrase states in turn, and the next row's first state is formed
// from it (an addition and a multiplication) before its own chain starts.
// Every other state and every row probability is ready beforehand here, so
// this is the dependent chain alone.
void BM_SearchChainFloor(benchmark::State &state) {
    constexpr int kStates = 20;  // 10 phonemes and their blanks
    const std::vector<int32_t> index = SearchIndex();
    std::vector<double> others(static_cast<size_t>(kRowsPerHour) * kStates);
    std::vector<double> first(static_cast<size_t>(kRowsPerHour));
    for (size_t r = 0; r < first.size(); ++r) {
        first[r] = static_cast<double>(index[r * 40 + 1]) / 2147483647.0;
        for (int s = 0; s < kStates; ++s) {
            others[r * kStates + static_cast<size_t>(s)] = static_cast<double>(index[r * 40 + static_cast<size_t>(s)]) * 1e-12;
        }
    }
    for (auto _ : state) {
        double outside = 1.0;
        double a1 = 0.0;
        for (size_t r = 0; r < first.size(); ++r) {
            a1 = (a1 + outside) * first[r];
            const double *a = others.data() + r * kStates;
            outside = 1.0 - a1;
            for (int s = 2; s < kStates; ++s) {
                outside = outside - a[s];
            }
        }
        benchmark::DoNotOptimize(outside);
    }
}
BENCHMARK(BM_SearchChainFloor)->Unit(benchmark::kMillisecond);

}  // namespace
