// The 2048-point magnitude spectrum behind every column: one transform plan,
// made once and reused for every window.
#pragma once

#include <cstddef>
#include <span>

#include "audio/audio.h"

struct AVTXContext;

namespace tolvek::audio {

class SpectrumAnalyzer {
public:
    SpectrumAnalyzer();
    ~SpectrumAnalyzer();
    SpectrumAnalyzer(const SpectrumAnalyzer&) = delete;
    SpectrumAnalyzer& operator=(const SpectrumAnalyzer&) = delete;

    bool ok() const { return tx_ != nullptr; }

    // mono: 2048 samples in [-1, 1]. Applies the periodic Hann window and
    // writes |X_k| × 2 / 2048 for k = 0..1023.
    void analyze(std::span<const float, kWindowFrames> mono, std::span<float, kSpectrumBins> out);

private:
    AVTXContext* tx_ = nullptr;
    void (*fn_)(AVTXContext*, void*, void*, std::ptrdiff_t) = nullptr;
    float* in_ = nullptr;    // av_malloc'd: the transform wants aligned buffers
    float* out_ = nullptr;   // 1025 complex values
    float* window_ = nullptr;
};

}  // namespace tolvek::audio
