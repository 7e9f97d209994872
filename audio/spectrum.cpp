#include "audio/spectrum.h"

#include <cmath>
#include <numbers>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/tx.h>
}

namespace tolvek::audio {

SpectrumAnalyzer::SpectrumAnalyzer() {
    in_ = static_cast<float*>(av_malloc(sizeof(float) * kWindowFrames));
    out_ = static_cast<float*>(av_malloc(sizeof(float) * 2 * (kWindowFrames / 2 + 1)));
    window_ = static_cast<float*>(av_malloc(sizeof(float) * kWindowFrames));
    if (!in_ || !out_ || !window_) return;
    // Periodic Hann: the window repeats with the transform length, so no bin
    // leaks more than its neighbours.
    for (int n = 0; n < kWindowFrames; ++n)
        window_[n] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / kWindowFrames));
    const float scale = 1.0f;
    av_tx_fn fn = nullptr;
    if (av_tx_init(&tx_, &fn, AV_TX_FLOAT_RDFT, 0, kWindowFrames, &scale, 0) < 0) {
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

void SpectrumAnalyzer::analyze(std::span<const float, kWindowFrames> mono, std::span<float, kSpectrumBins> out) {
    for (int n = 0; n < kWindowFrames; ++n) in_[n] = mono[n] * window_[n];
    fn_(tx_, out_, in_, sizeof(float));
    // Two-sided amplitude: a full-scale sine at a bin centre peaks at 0.5
    // (the Hann window's coherent gain).
    constexpr float norm = 2.0f / kWindowFrames;
    for (int k = 0; k < kSpectrumBins; ++k) {
        const float re = out_[2 * k];
        const float im = out_[2 * k + 1];
        out[k] = std::sqrt(re * re + im * im) * norm;
    }
}

}  // namespace tolvek::audio
