#include "audio/spectrum.h"

#include <algorithm>
#include <cmath>
#include <numbers>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/tx.h>
}

namespace tolvek::audio {
namespace {

// Kaiser's shape parameter: side lobes about 70 dB down, between Hamming's
// and Blackman-Harris's.
constexpr double kKaiserBeta = 9.0;

// The cosine-sum windows' coefficients a0 - a1 cos + a2 cos 2x - a3 cos 3x;
// a0 is their coherent gain.
struct CosineSum {
    double a0, a1, a2, a3;
};
constexpr CosineSum cosine_sum(Window w) {
    switch (w) {
        case Window::Hann: return {0.5, 0.5, 0.0, 0.0};
        case Window::Hamming: return {0.54, 0.46, 0.0, 0.0};
        case Window::BlackmanHarris: return {0.35875, 0.48829, 0.14128, 0.01168};
        default: return {1.0, 0.0, 0.0, 0.0};
    }
}

}  // namespace

double window_weight(Window w, int n, int frames) {
    if (w == Window::Kaiser) {
        const double x = 2.0 * n / frames - 1.0;  // periodic: -1 at the start, the end left out
        return std::cyl_bessel_i(0.0, kKaiserBeta * std::sqrt(std::max(0.0, 1.0 - x * x))) /
               std::cyl_bessel_i(0.0, kKaiserBeta);
    }
    const CosineSum c = cosine_sum(w);
    const double x = 2.0 * std::numbers::pi * n / frames;
    return c.a0 - c.a1 * std::cos(x) + c.a2 * std::cos(2 * x) - c.a3 * std::cos(3 * x);
}

double coherent_gain(Window w, int frames) {
    if (w != Window::Kaiser) return cosine_sum(w).a0;
    double sum = 0.0;
    for (int n = 0; n < frames; ++n) sum += window_weight(w, n, frames);
    return sum / frames;
}

SpectrumAnalyzer::SpectrumAnalyzer(SpectrumShape shape) : shape_(shape) {
    if (!valid_spectrum_shape(shape_)) return;
    const int frames = shape_.frames;
    in_ = static_cast<float*>(av_malloc(sizeof(float) * frames));
    out_ = static_cast<float*>(av_malloc(sizeof(float) * 2 * (frames / 2 + 1)));
    window_ = static_cast<float*>(av_malloc(sizeof(float) * frames));
    if (!in_ || !out_ || !window_) return;
    // Periodic windows: the window repeats with the transform length, so no
    // bin leaks more than its neighbours.
    if (shape_.window == Window::Hann)
        for (int n = 0; n < frames; ++n)
            window_[n] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / frames));
    else
        for (int n = 0; n < frames; ++n) window_[n] = static_cast<float>(window_weight(shape_.window, n, frames));
    // Two-sided amplitude over twice the coherent gain: Hann's gain is 1/2,
    // so its factor is exactly 2 / N.
    norm_ = static_cast<float>(2.0 / frames * (0.5 / coherent_gain(shape_.window, frames)));
    const float scale = 1.0f;
    av_tx_fn fn = nullptr;
    if (av_tx_init(&tx_, &fn, AV_TX_FLOAT_RDFT, 0, frames, &scale, 0) < 0) {
        tx_ = nullptr;
        return;
    }
    fn_ = fn;
}

SpectrumAnalyzer::~SpectrumAnalyzer() {
    av_tx_uninit(&tx_);
    av_free(in_);
    av_free(out_);
    av_free(window_);
}

void SpectrumAnalyzer::analyze(std::span<const float> mono, std::span<float> out) {
    const int frames = shape_.frames, bins = shape_.bins();
    for (int n = 0; n < frames; ++n) in_[n] = mono[n] * window_[n];
    fn_(tx_, out_, in_, sizeof(float));
    for (int k = 0; k < bins; ++k) {
        const float re = out_[2 * k];
        const float im = out_[2 * k + 1];
        out[k] = std::sqrt(re * re + im * im) * norm_;
    }
}

}  // namespace tolvek::audio
