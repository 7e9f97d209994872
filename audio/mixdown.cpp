// Decoded frames to the mono window the transform reads: every sample format
// first made 16-bit (each window is defined on 16-bit samples), then the
// channels averaged.
#include <algorithm>

#include "audio/stream_impl.h"

namespace tolvek::audio {

namespace {

constexpr float kS16FullScale = 32768.0f;

}  // namespace

bool Stream::Impl::to_s16(const AVFrame& f) {
    const int channels = f.ch_layout.nb_channels;
    if (!swr || swr_format != f.format || swr_rate != f.sample_rate ||
        av_channel_layout_compare(&swr_layout.l, &f.ch_layout) != 0) {
        swr.reset();
        swr_format = -1;
        Layout layout;
        layout.set_convertible(f.ch_layout);
        SwrContext* raw = nullptr;
        // Same rate and layout in and out: only the sample format changes.
        if (swr_alloc_set_opts2(&raw, &layout.l, AV_SAMPLE_FMT_S16, f.sample_rate, &layout.l,
                                static_cast<AVSampleFormat>(f.format), f.sample_rate, 0, nullptr) < 0 ||
            swr_init(raw) < 0) {
            swr_free(&raw);
            return false;
        }
        swr.reset(raw);
        swr_format = f.format;
        swr_rate = f.sample_rate;
        swr_layout.set(f.ch_layout);
    }
    pcm.resize(static_cast<std::size_t>(f.nb_samples) * channels);
    std::uint8_t* out = reinterpret_cast<std::uint8_t*>(pcm.data());
    const int n = swr_convert(swr.get(), &out, f.nb_samples, const_cast<const std::uint8_t**>(f.extended_data), f.nb_samples);
    if (n < 0) return false;
    pcm.resize(static_cast<std::size_t>(n) * channels);
    return true;
}

// Appends the part of a decoded frame that lies at or after the current
// position; frames wholly before it are only counted.
void Stream::Impl::take(const AVFrame& f) {
    const std::int64_t first = decoded;
    const std::int64_t count = f.nb_samples;
    decoded += count;
    if (decoded <= position || count <= 0) return;
    const std::int64_t skip = std::max<std::int64_t>(0, position - first);
    if (mono.empty()) mono_start = first + skip;
    const int channels = f.ch_layout.nb_channels;
    if (channels <= 0 || !to_s16(f)) {
        // Keep the frame count right even when a frame cannot be converted.
        mono.insert(mono.end(), static_cast<std::size_t>(count - skip), 0.0f);
        return;
    }
    const std::int64_t got = std::min<std::int64_t>(count, static_cast<std::int64_t>(pcm.size()) / channels);
    // Mean of the channels of the 16-bit frame, as floats in [-1, 1].
    const float scale = 1.0f / (kS16FullScale * static_cast<float>(channels));
    for (std::int64_t k = skip; k < count; ++k) {
        int sum = 0;
        if (k < got) {
            const std::int16_t* smp = &pcm[static_cast<std::size_t>(k) * channels];
            for (int c = 0; c < channels; ++c) sum += smp[c];
        }
        mono.push_back(static_cast<float>(sum) * scale);
    }
}

// The kWindowFrames frames from the position; zeros past the end of the
// stream.
void Stream::Impl::fill_window() {
    for (std::int64_t k = 0; k < kWindowFrames; ++k) {
        const std::int64_t i = position + k - mono_start;
        window[k] = (i >= 0 && i < static_cast<std::int64_t>(mono.size())) ? mono[i] : 0.0f;
    }
}

}  // namespace tolvek::audio
