// Sample bits, the FLAC MD5 check and the frames a loudness meter follows,
// from decoded frames in their own sample format.
#include "audio/sample_facts.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "audio/stream_impl.h"

extern "C" {
#include <libavutil/dict.h>
}

namespace tolvek::audio {
namespace {

// STREAMINFO (34 bytes) holds the MD5 of the unencoded samples in its last
// 16; all zero when the encoder computed none.
constexpr std::size_t kStreamInfoBytes = 34;
constexpr std::size_t kMd5Offset = 18;

// Calls fn(value) for frames [from, nb_samples) of `f`, frame by frame and
// channel by channel, with each sample in its own type.
template <class T, class Fn>
void visit_typed(const AVFrame& f, bool planar, int from, Fn& fn) {
    const int channels = f.ch_layout.nb_channels;
    for (int i = from; i < f.nb_samples; ++i)
        for (int c = 0; c < channels; ++c) {
            const auto* plane = reinterpret_cast<const T*>(f.extended_data[planar ? c : 0]);
            fn(plane[planar ? i : static_cast<std::ptrdiff_t>(i) * channels + c]);
        }
}

template <class Fn>
void visit_samples(const AVFrame& f, int from, Fn&& fn) {
    const auto format = static_cast<AVSampleFormat>(f.format);
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    switch (av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_U8: visit_typed<std::uint8_t>(f, planar, from, fn); break;
        case AV_SAMPLE_FMT_S16: visit_typed<std::int16_t>(f, planar, from, fn); break;
        case AV_SAMPLE_FMT_S32: visit_typed<std::int32_t>(f, planar, from, fn); break;
        case AV_SAMPLE_FMT_S64: visit_typed<std::int64_t>(f, planar, from, fn); break;
        case AV_SAMPLE_FMT_FLT: visit_typed<float>(f, planar, from, fn); break;
        case AV_SAMPLE_FMT_DBL: visit_typed<double>(f, planar, from, fn); break;
        default: break;
    }
}

// The OR of every integer sample of `f`, each shifted right by `shift`:
// order does not matter, so each plane is one run the compiler vectorises.
template <class T>
std::uint32_t or_of_plane(const std::uint8_t* data, std::size_t count, int shift) {
    const auto* v = reinterpret_cast<const T*>(data);
    std::make_unsigned_t<T> bits = 0, offset = 0;
    if constexpr (std::is_same_v<T, std::uint8_t>) offset = 0x80;  // 8-bit PCM is offset by 128
    for (std::size_t i = 0; i < count; ++i) bits |= static_cast<std::make_unsigned_t<T>>(v[i] ^ offset);
    return static_cast<std::uint32_t>(bits >> shift);
}

std::uint32_t or_of_samples(const AVFrame& f, int shift) {
    const auto format = static_cast<AVSampleFormat>(f.format);
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    const int channels = f.ch_layout.nb_channels, planes = planar ? channels : 1;
    const std::size_t count = static_cast<std::size_t>(f.nb_samples) * static_cast<std::size_t>(planar ? 1 : channels);
    std::uint32_t bits = 0;
    for (int p = 0; p < planes; ++p) {
        const std::uint8_t* data = f.extended_data[p];
        switch (av_get_packed_sample_fmt(format)) {
            case AV_SAMPLE_FMT_U8: bits |= or_of_plane<std::uint8_t>(data, count, shift); break;
            case AV_SAMPLE_FMT_S16: bits |= or_of_plane<std::int16_t>(data, count, shift); break;
            case AV_SAMPLE_FMT_S32: bits |= or_of_plane<std::int32_t>(data, count, shift); break;
            default: break;
        }
    }
    return bits;
}

// An integer sample as a signed value (8-bit PCM is stored offset by 128).
template <class T>
std::int64_t signed_value(T v) {
    if constexpr (std::is_same_v<T, std::uint8_t>) return static_cast<std::int64_t>(v) - 128;
    else return static_cast<std::int64_t>(v);
}

}  // namespace

std::optional<int> SampleBits::effective() const {
    if (floating || stored <= 0 || !read) return std::nullopt;
    if (used == 0) return 0;
    return stored - std::countr_zero(used);
}

void SampleTap::setup(const AVCodecParameters& par, const AVCodecContext& dec) {
    const int exact = av_get_exact_bits_per_sample(par.codec_id);
    const auto format = static_cast<AVSampleFormat>(dec.sample_fmt);
    const AVSampleFormat packed = av_get_packed_sample_fmt(format);
    bits_.floating = packed == AV_SAMPLE_FMT_FLT || packed == AV_SAMPLE_FMT_DBL;
    bits_.stored = par.bits_per_raw_sample > 0 ? par.bits_per_raw_sample : exact;
    expected_md5_.reset();
    if (par.codec_id == AV_CODEC_ID_FLAC && par.extradata && par.extradata_size >= static_cast<int>(kStreamInfoBytes)) {
        Md5Digest digest;
        std::memcpy(digest.data(), par.extradata + kMd5Offset, digest.size());
        if (std::any_of(digest.begin(), digest.end(), [](std::uint8_t b) { return b != 0; })) expected_md5_ = digest;
    }
}

void SampleTap::follow(FrameSink* sink) {
    following_ = true;
    sink_ = sink;
    if (expected_md5_ && !md5_) md5_.reset(av_md5_alloc());
    restart();
}

void SampleTap::restart() {
    next_ = 0;
    broken_ = false;
    if (md5_) av_md5_init(md5_.get());
    if (sink_) sink_->restart();
}

void SampleTap::take(const AVFrame& f, std::int64_t first) {
    const auto format = static_cast<AVSampleFormat>(f.format);
    container_bits_ = av_get_bytes_per_sample(format) * 8;
    if (!bits_.floating) raw_or_ |= or_of_samples(f, 0);
    bits_.read = bits_.read || f.nb_samples > 0;
    if (!following_ || broken_ || first + f.nb_samples <= next_) return;
    if (first > next_) {
        broken_ = true;  // frames the followers needed were never decoded
        return;
    }
    follow_frame(f, static_cast<int>(next_ - first));
    next_ = first + f.nb_samples;
}

// FLAC's MD5 is over the samples interleaved, little-endian, each in the
// whole bytes its stored width needs.
void SampleTap::follow_frame(const AVFrame& f, int from) {
    const int channels = f.ch_layout.nb_channels;
    const std::size_t count = static_cast<std::size_t>(f.nb_samples - from) * static_cast<std::size_t>(channels);
    const double scale = container_bits_ > 0 ? std::ldexp(1.0, -(container_bits_ - 1)) : 1.0;
    if (sink_) {
        floats_.clear();
        floats_.reserve(count);
        visit_samples(f, from, [&](auto v) {
            if constexpr (std::is_integral_v<decltype(v)>) floats_.push_back(static_cast<float>(signed_value(v) * scale));
            else floats_.push_back(static_cast<float>(v));
        });
        sink_->frames(floats_);
    }
    if (!md5_ || bits_.floating || bits_.stored <= 0) return;
    const int shift = std::max(0, container_bits_ - bits_.stored), width = (bits_.stored + 7) / 8;
    bytes_.clear();
    bytes_.reserve(count * static_cast<std::size_t>(width));
    visit_samples(f, from, [&](auto v) {
        if constexpr (std::is_integral_v<decltype(v)>) {
            const std::int64_t value = signed_value(v) >> shift;
            for (int b = 0; b < width; ++b) bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * b)));
        }
    });
    av_md5_update(md5_.get(), bytes_.data(), bytes_.size());
}

SampleBits SampleTap::bits(const AVCodecContext* dec) const {
    SampleBits out = bits_;
    if (out.stored <= 0 && dec && dec->bits_per_raw_sample > 0) out.stored = dec->bits_per_raw_sample;
    if (out.stored <= 0) out.stored = container_bits_;
    if (out.floating || out.stored <= 0 || container_bits_ <= 0) return out;
    // Decoders put a narrower width in the top bits of their format.
    const int shift = std::max(0, container_bits_ - out.stored);
    const std::uint32_t mask = out.stored >= 32 ? ~0u : (1u << out.stored) - 1u;
    out.used = (raw_or_ >> shift) & mask;
    return out;
}

std::optional<bool> SampleTap::md5_matches() const {
    if (!expected_md5_ || !md5_ || broken_) return std::nullopt;
    // av_md5_final would end the running sum: finish a copy.
    std::unique_ptr<AVMD5, Md5Free> copy(av_md5_alloc());
    if (!copy) return std::nullopt;
    std::memcpy(copy.get(), md5_.get(), av_md5_size);
    Md5Digest digest;
    av_md5_final(copy.get(), digest.data());
    return digest == *expected_md5_;
}

// Every frame of the stream, decoded in order from its first packet, to the
// tap alone: the windows' buffers are left alone.
void Stream::Impl::decode_whole_for_tap() {
    std::int64_t at = 0;
    decode_every_packet([&](const AVFrame& f) {
        tap.take(f, at);
        at += f.nb_samples;
    });
}

SampleBits Stream::sample_bits() const { return impl_->tap.bits(impl_->source.dec.get()); }

Tags Stream::tags() const {
    Tags tags;
    const Source& s = impl_->source;
    if (!s.fmt) return tags;
    const auto find = [&](const char* key) -> std::string {
        for (const AVDictionary* d : {static_cast<const AVDictionary*>(s.fmt->metadata),
                                      static_cast<const AVDictionary*>(s.fmt->streams[s.index]->metadata)})
            if (const AVDictionaryEntry* e = av_dict_get(d, key, nullptr, 0); e && e->value && *e->value) return e->value;
        return {};
    };
    tags.artist = find("artist");
    tags.album = find("album");
    tags.title = find("title");
    return tags;
}

void Stream::follow_whole(FrameSink* sink) { impl_->tap.follow(sink); }

std::optional<bool> Stream::finish_whole() {
    Impl& s = *impl_;
    if (!s.tap.following()) return std::nullopt;
    if (!s.tap.complete(s.output_done ? s.decoded : INT64_MAX)) {
        // A plain decode of every frame, in order, for the followers only;
        // the frames they already had are decoded but not given again.
        s.position = 0;
        if (!s.open_demuxer()) return std::nullopt;
        if (s.tap.broken()) s.tap.restart();
        // Faults were found as the columns read; this pass places nothing.
        const std::optional<Damage> found = s.damage;
        s.decode_whole_for_tap();
        s.damage = found;
        s.position = 0;
        if (!s.open_demuxer()) return std::nullopt;
    }
    return s.tap.md5_matches();
}

}  // namespace tolvek::audio
