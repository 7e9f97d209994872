// The magnitude spectrum behind every column: one transform plan, made once
// and reused for every window.
#pragma once

#include <cstddef>
#include <span>

#include "audio/audio.h"

struct AVTXContext;

namespace tolvek::audio {

// The window's shape as a column's magnitudes are computed: `frames` samples
// (a power of two), weighted by `window`.
class SpectrumAnalyzer {
public:
    explicit SpectrumAnalyzer(SpectrumShape shape = {});
    ~SpectrumAnalyzer();
    SpectrumAnalyzer(const SpectrumAnalyzer&) = delete;
    SpectrumAnalyzer& operator=(const SpectrumAnalyzer&) = delete;

    bool ok() const { return tx_ != nullptr; }
    const SpectrumShape& shape() const { return shape_; }

    // mono: shape().frames samples in [-1, 1]; out: shape().bins() values.
    // Applies the periodic window and writes |X_k| × 2 / N divided by twice
    // the window's coherent gain for k = 0..N/2 - 1: a full-scale sine at a
    // bin centre peaks at 0.5 under every window (for Hann, whose coherent
    // gain is 1/2, that is |X_k| × 2 / N).
    void analyze(std::span<const float> mono, std::span<float> out);

private:
    SpectrumShape shape_;
    AVTXContext* tx_ = nullptr;
    void (*fn_)(AVTXContext*, void*, void*, std::ptrdiff_t) = nullptr;
    float* in_ = nullptr;    // av_malloc'd: the transform wants aligned buffers
    float* out_ = nullptr;   // N/2 + 1 complex values
    float* window_ = nullptr;
    float norm_ = 0.0f;
};

// Window `w`'s weight at sample n of a periodic window of `frames` samples,
// and its coherent gain (the mean weight).
double window_weight(Window w, int n, int frames);
double coherent_gain(Window w, int frames);

}  // namespace tolvek::audio
