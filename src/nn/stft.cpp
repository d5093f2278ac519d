// Short-time power spectrum over a sliding 512-sample window.
#include "nn/stft.h"

#include <string.h>

#include "nn/fft.h"

struct zv_stft {
    zv_memory_t memory;
    int32_t hop;
    float *history;  // the last 512 - hop samples, oldest first; NULL when hop is 512
    zv_fft_t *fft;
};

namespace {

constexpr int kFrame = 512;
constexpr int kBins = 257;

// 0.5 - 0.5 cos(2 pi n / 511) rounded to 7 decimals, n = 0..255; the second
// half of the window mirrors the first.
constexpr float kWindow[256] = {
    0.0000000f, 0.0000378f, 0.0001512f, 0.0003401f, 0.0006046f, 0.0009446f, 0.0013601f, 0.0018509f,
    0.0024171f, 0.0030584f, 0.0037749f, 0.0045665f, 0.0054329f, 0.0063741f, 0.0073899f, 0.0084803f,
    0.0096449f, 0.0108836f, 0.0121963f, 0.0135828f, 0.0150428f, 0.0165761f, 0.0181825f, 0.0198617f,
    0.0216136f, 0.0234377f, 0.0253339f, 0.0273019f, 0.0293413f, 0.0314519f, 0.0336334f, 0.0358853f,
    0.0382074f, 0.0405993f, 0.0430607f, 0.0455912f, 0.0481903f, 0.0508578f, 0.0535932f, 0.0563961f,
    0.0592660f, 0.0622026f, 0.0652053f, 0.0682738f, 0.0714076f, 0.0746061f, 0.0778690f, 0.0811957f,
    0.0845857f, 0.0880385f, 0.0915536f, 0.0951304f, 0.0987685f, 0.1024672f, 0.1062260f, 0.1100444f,
    0.1139217f, 0.1178574f, 0.1218508f, 0.1259015f, 0.1300087f, 0.1341718f, 0.1383902f, 0.1426633f,
    0.1469904f, 0.1513709f, 0.1558041f, 0.1602894f, 0.1648260f, 0.1694132f, 0.1740505f, 0.1787370f,
    0.1834721f, 0.1882551f, 0.1930852f, 0.1979617f, 0.2028838f, 0.2078509f, 0.2128622f, 0.2179168f,
    0.2230141f, 0.2281533f, 0.2333336f, 0.2385542f, 0.2438143f, 0.2491131f, 0.2544499f, 0.2598238f,
    0.2652341f, 0.2706798f, 0.2761602f, 0.2816744f, 0.2872216f, 0.2928010f, 0.2984117f, 0.3040530f,
    0.3097238f, 0.3154234f, 0.3211509f, 0.3269054f, 0.3326861f, 0.3384921f, 0.3443226f, 0.3501765f,
    0.3560531f, 0.3619515f, 0.3678708f, 0.3738100f, 0.3797683f, 0.3857448f, 0.3917385f, 0.3977486f,
    0.4037742f, 0.4098143f, 0.4158681f, 0.4219346f, 0.4280129f, 0.4341020f, 0.4402012f, 0.4463093f,
    0.4524256f, 0.4585491f, 0.4646788f, 0.4708139f, 0.4769534f, 0.4830964f, 0.4892420f, 0.4953891f,
    0.5015370f, 0.5076846f, 0.5138311f, 0.5199755f, 0.5261168f, 0.5322542f, 0.5383868f, 0.5445135f,
    0.5506335f, 0.5567458f, 0.5628496f, 0.5689439f, 0.5750277f, 0.5811002f, 0.5871604f, 0.5932075f,
    0.5992405f, 0.6052584f, 0.6112605f, 0.6172457f, 0.6232132f, 0.6291621f, 0.6350914f, 0.6410003f,
    0.6468879f, 0.6527533f, 0.6585956f, 0.6644140f, 0.6702074f, 0.6759752f, 0.6817163f, 0.6874300f,
    0.6931153f, 0.6987714f, 0.7043975f, 0.7099927f, 0.7155561f, 0.7210869f, 0.7265843f, 0.7320475f,
    0.7374755f, 0.7428677f, 0.7482232f, 0.7535411f, 0.7588207f, 0.7640611f, 0.7692617f, 0.7744215f,
    0.7795398f, 0.7846159f, 0.7896489f, 0.7946382f, 0.7995829f, 0.8044823f, 0.8093357f, 0.8141423f,
    0.8189014f, 0.8236123f, 0.8282743f, 0.8328867f, 0.8374487f, 0.8419597f, 0.8464190f, 0.8508260f,
    0.8551798f, 0.8594800f, 0.8637259f, 0.8679167f, 0.8720520f, 0.8761310f, 0.8801531f, 0.8841177f,
    0.8880243f, 0.8918722f, 0.8956608f, 0.8993897f, 0.9030581f, 0.9066657f, 0.9102117f, 0.9136957f,
    0.9171172f, 0.9204756f, 0.9237705f, 0.9270012f, 0.9301675f, 0.9332686f, 0.9363043f, 0.9392740f,
    0.9421773f, 0.9450138f, 0.9477830f, 0.9504844f, 0.9531178f, 0.9556827f, 0.9581786f, 0.9606053f,
    0.9629624f, 0.9652495f, 0.9674662f, 0.9696122f, 0.9716873f, 0.9736910f, 0.9756232f, 0.9774834f,
    0.9792714f, 0.9809870f, 0.9826298f, 0.9841997f, 0.9856964f, 0.9871196f, 0.9884692f, 0.9897450f,
    0.9909467f, 0.9920742f, 0.9931273f, 0.9941058f, 0.9950097f, 0.9958387f, 0.9965927f, 0.9972716f,
    0.9978754f, 0.9984039f, 0.9988571f, 0.9992348f, 0.9995371f, 0.9997638f, 0.9999150f, 0.9999906f,
};

// The full symmetric window, mirrored from the half above.
struct FullWindow {
    float w[kFrame];
    constexpr FullWindow() : w() {
        for (int n = 0; n < kFrame; ++n) w[n] = n < kFrame / 2 ? kWindow[n] : kWindow[kFrame - 1 - n];
    }
};
constexpr FullWindow kFullWindow;

}  // namespace

extern "C" zv_status_t zv_stft_init(zv_memory_t memory, int32_t hop, zv_stft_t **stft) {
    if (stft == nullptr) return ZV_STATUS_INVALID_ARGUMENT;
    *stft = nullptr;
    // Outside 1..512 there is no frame of 512 samples to form from the input.
    if (hop <= 0 || hop > kFrame) return ZV_STATUS_INVALID_ARGUMENT;
    zv_stft_t *record = static_cast<zv_stft_t *>(zv_memory_allocate(memory, sizeof(zv_stft_t), 1));
    if (record == nullptr) return ZV_STATUS_OUT_OF_MEMORY;
    record->memory = memory;
    record->hop = hop;
    if (hop < kFrame) {
        record->history = static_cast<float *>(
            zv_memory_allocate(memory, static_cast<uint64_t>(kFrame - hop) * sizeof(float), 1));
        if (record->history == nullptr) {
            zv_stft_delete(record);
            return ZV_STATUS_OUT_OF_MEMORY;
        }
    }
    const zv_status_t status = zv_fft_init(memory, &record->fft);
    if (status != ZV_STATUS_SUCCESS) {
        zv_stft_delete(record);
        return status;
    }
    *stft = record;
    return ZV_STATUS_SUCCESS;
}

extern "C" zv_status_t zv_stft_compute(zv_stft_t *stft, const float *in, float *power) {
    if (stft == nullptr || in == nullptr || power == nullptr) return ZV_STATUS_INVALID_ARGUMENT;
    float *frame = static_cast<float *>(zv_memory_allocate(stft->memory, kFrame * sizeof(float), 0));
    float *spectrum = static_cast<float *>(zv_memory_allocate(stft->memory, 2 * kBins * sizeof(float), 0));
    if (frame == nullptr || spectrum == nullptr) {
        zv_memory_free(stft->memory, frame);
        zv_memory_free(stft->memory, spectrum);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    const int hop = stft->hop;
    const int n = kFrame - hop;
    if (n > 0) memcpy(frame, stft->history, static_cast<size_t>(n) * sizeof(float));
    memcpy(frame + n, in, static_cast<size_t>(hop) * sizeof(float));
    if (n > 0) {
        // The history becomes the last n samples of this frame.
        memcpy(stft->history, frame + hop, static_cast<size_t>(n) * sizeof(float));
    }
    for (int i = 0; i < kFrame; ++i) frame[i] = frame[i] * kFullWindow.w[i];
    const zv_status_t status = zv_fft_compute(stft->fft, frame, spectrum);
    if (status == ZV_STATUS_SUCCESS) {
        for (int k = 0; k < kBins; ++k) {
            const float re = spectrum[2 * k];
            const float im = spectrum[2 * k + 1];
            power[k] = re * re + im * im;
        }
    }
    zv_memory_free(stft->memory, frame);
    zv_memory_free(stft->memory, spectrum);
    return status;
}

extern "C" void zv_stft_reset(zv_stft_t *stft) {
    if (stft != nullptr && stft->history != nullptr) {
        memset(stft->history, 0, static_cast<size_t>(kFrame - stft->hop) * sizeof(float));
    }
}

extern "C" void zv_stft_delete(zv_stft_t *stft) {
    if (stft == nullptr) return;
    zv_fft_delete(stft->fft);
    zv_memory_free(stft->memory, stft->history);
    zv_memory_free(stft->memory, stft);
}
