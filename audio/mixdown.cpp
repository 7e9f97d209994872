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

void MonoBuffers::drop_front(std::int64_t n) {
    n = std::min<std::int64_t>(n, static_cast<std::int64_t>(size()));
    if (n <= 0) return;
    for (std::vector<float>& d : data) d.erase(d.begin(), d.begin() + n);
    samples.erase(samples.begin(), samples.begin() + n * static_cast<std::int64_t>(channels));
    start += n;
}

void MonoBuffers::pad(std::int64_t n) {
    if (n <= 0) return;
    for (std::vector<float>& d : data) d.resize(d.size() + static_cast<std::size_t>(n), 0.0f);
    samples.resize(samples.size() + static_cast<std::size_t>(n) * channels, 0);
}

namespace {

// Appends frames [skip, count) of `pcm` (`got` of them converted) to `out`
// as the mean of the group's channels, as floats in [-1, 1].
void mix_group(const std::vector<std::int16_t>& pcm, int channels, ChannelGroup group, std::int64_t skip,
               std::int64_t count, std::int64_t got, std::vector<float>& out) {
    const int lo = static_cast<int>(std::min<std::uint64_t>(group.first, channels));
    const int hi = static_cast<int>(std::min<std::uint64_t>(std::uint64_t{group.first} + group.count, channels));
    const float scale = hi > lo ? 1.0f / (kS16FullScale * static_cast<float>(hi - lo)) : 0.0f;
    for (std::int64_t k = skip; k < count; ++k) {
        int sum = 0;
        if (k < got) {
            const std::int16_t* smp = &pcm[static_cast<std::size_t>(k) * channels];
            for (int c = lo; c < hi; ++c) sum += smp[c];
        }
        out.push_back(static_cast<float>(sum) * scale);
    }
}

}  // namespace

// Appends the part of a decoded frame that lies at or after the current
// position; frames wholly before it are only counted.
void Stream::Impl::take(const AVFrame& f) {
    const std::int64_t first = decoded;
    const std::int64_t count = f.nb_samples;
    decoded += count;
    tap.take(f, first);
    if (decoded <= position || count <= 0) return;
    const std::int64_t skip = std::max<std::int64_t>(0, position - first);
    if (mono.empty()) mono.start = first + skip;
    const int channels = f.ch_layout.nb_channels;
    if (channels <= 0 || !to_s16(f)) {
        // Keep the frame count right even when a frame cannot be converted.
        for (std::vector<float>& d : mono.data) d.insert(d.end(), static_cast<std::size_t>(count - skip), 0.0f);
        mono.samples.resize(mono.samples.size() + static_cast<std::size_t>(count - skip) * mono.channels, 0);
        return;
    }
    const std::int64_t got = std::min<std::int64_t>(count, static_cast<std::int64_t>(pcm.size()) / channels);
    for (std::size_t g = 0; g < mono.groups.size(); ++g)
        mix_group(pcm, channels, mono.groups[g], skip, count, got, mono.data[g]);
    take_samples(channels, skip, count, got);
}

// Keeps frames [skip, count) of `pcm` (`got` of them converted, the rest
// silence) with mono.channels samples a frame: a frame of other channels
// than the stream's is cut or padded with silence.
void Stream::Impl::take_samples(int channels, std::int64_t skip, std::int64_t count, std::int64_t got) {
    const std::size_t width = mono.channels, have = static_cast<std::size_t>(channels);
    const std::int64_t end = std::max(got, skip);
    if (have == width) {
        mono.samples.insert(mono.samples.end(), pcm.begin() + static_cast<std::ptrdiff_t>(skip * channels),
                            pcm.begin() + static_cast<std::ptrdiff_t>(end * channels));
    } else {
        for (std::int64_t k = skip; k < end; ++k) {
            const auto frame = pcm.begin() + static_cast<std::ptrdiff_t>(k * channels);
            mono.samples.insert(mono.samples.end(), frame, frame + static_cast<std::ptrdiff_t>(std::min(have, width)));
            mono.samples.resize(mono.samples.size() + (width - std::min(have, width)), 0);
        }
    }
    mono.samples.resize(mono.samples.size() + static_cast<std::size_t>(count - end) * width, 0);
}

void Stream::Impl::add_levels(std::int64_t from, std::int64_t to, Levels& out) const {
    from = std::max(from, mono.start);
    to = std::min(to, mono.start + static_cast<std::int64_t>(mono.size()));
    if (from >= to) return;
    const std::span<const std::int16_t> frames(mono.samples.data() + (from - mono.start) * mono.channels,
                                               static_cast<std::size_t>(to - from) * mono.channels);
    // Blocks of a fixed length, which the compiler vectorises at -O2 (a
    // plain pass over all samples it does not): three times as fast.
    constexpr std::size_t kBlock = 64;
    std::int32_t peak = 0;
    std::uint64_t clipped = 0, squares = 0;
    const auto magnitude = [](std::int32_t s) { return s < 0 ? -s : s; };
    std::size_t i = 0;
    for (; i + kBlock <= frames.size(); i += kBlock) {
        const std::span<const std::int16_t, kBlock> block = frames.subspan(i).first<kBlock>();
        std::int32_t block_peak = 0, block_clipped = 0;
        for (const std::int16_t s : block) {
            block_peak = std::max(block_peak, magnitude(s));
            block_clipped += magnitude(s) >= Levels::kClippedSample;
        }
        std::uint64_t block_squares = 0;
        for (const std::int16_t s : block) block_squares += static_cast<std::uint32_t>(s * s);
        peak = std::max(peak, block_peak);
        clipped += static_cast<std::uint64_t>(block_clipped);
        squares += block_squares;
    }
    for (const std::int16_t s : frames.subspan(i)) {
        peak = std::max(peak, magnitude(s));
        clipped += magnitude(s) >= Levels::kClippedSample ? 1 : 0;
        squares += static_cast<std::uint32_t>(s * s);
    }
    out.peak = std::max(out.peak, peak);
    out.clipped += clipped;
    out.sum_squares += static_cast<double>(squares) / (double{kS16FullScale} * kS16FullScale);
    out.samples += frames.size();
}

void Levels::add(const Levels& other) {
    peak = std::max(peak, other.peak);
    clipped += other.clipped;
    sum_squares += other.sum_squares;
    samples += other.samples;
}

// The window's frames of `group` from the position; zeros past the end
// of the stream.
void Stream::Impl::fill_window(std::size_t group) {
    const std::vector<float>& d = mono.data[group];
    for (std::int64_t k = 0; k < window_frames(); ++k) {
        const std::int64_t i = position + k - mono.start;
        window[k] = (i >= 0 && i < static_cast<std::int64_t>(d.size())) ? d[i] : 0.0f;
    }
}

void Stream::Impl::analyze_window(std::size_t group, std::span<float> out) {
    fill_window(group);
    fft->analyze(window, out);
}

}  // namespace tolvek::audio
