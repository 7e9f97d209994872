// The layer's entry points: start-up, decoder families, and Stream's public
// face over the parts in source.cpp, schedule.cpp and mixdown.cpp.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <array>
#include <span>
#include <string>

#include "audio/stream_impl.h"
#include "audio/versions.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

namespace tolvek::audio {

namespace {

// A header may claim any size: a 60-byte WAV whose INFO chunk says 1 GiB
// would have the demuxer allocate and clear 1 GiB. No single block that
// decoding audio needs comes near this cap (a large cover picture, the
// index of a many-hour file).
constexpr std::size_t kMaxAllocationBytes = 64 << 20;

}  // namespace

Status check_versions(std::span<const LibraryVersion> libraries) {
    for (const LibraryVersion& l : libraries)
        if (l.built != l.found)
            return Status::fail(kErrorStart, std::string(l.name) + " " + std::to_string(l.built) +
                                                 " was built against, " + std::to_string(l.found) + " found");
    return Status::ok();
}

Status start() {
    // The program was built against these; a library of another major
    // version has another binary interface and cannot be used.
    const std::array<LibraryVersion, 4> libraries{{
        {"libavformat", LIBAVFORMAT_VERSION_MAJOR, AV_VERSION_MAJOR(avformat_version())},
        {"libavcodec", LIBAVCODEC_VERSION_MAJOR, AV_VERSION_MAJOR(avcodec_version())},
        {"libavutil", LIBAVUTIL_VERSION_MAJOR, AV_VERSION_MAJOR(avutil_version())},
        {"libswresample", LIBSWRESAMPLE_VERSION_MAJOR, AV_VERSION_MAJOR(swresample_version())},
    }};
    if (Status s = check_versions(libraries); !s) return s;
    // Once per process; include/tolvek/tolvek.h tells library callers.
    static const bool settings_made = [] {
        // The libraries would otherwise print their own diagnostics between
        // our report lines; failures reach the caller as statuses.
        av_log_set_level(AV_LOG_QUIET);
        av_max_alloc(kMaxAllocationBytes);
        return true;
    }();
    static_cast<void>(settings_made);
    return Status::ok();
}

bool has_decoders(DecoderFamily family) {
    static constexpr AVCodecID kWma[] = {AV_CODEC_ID_WMAV1, AV_CODEC_ID_WMAV2, AV_CODEC_ID_WMAPRO};
    static constexpr AVCodecID kApe[] = {AV_CODEC_ID_APE};
    static constexpr AVCodecID kFlac[] = {AV_CODEC_ID_FLAC};
    std::span<const AVCodecID> ids;
    switch (family) {
        case DecoderFamily::Wma: ids = kWma; break;
        case DecoderFamily::Ape: ids = kApe; break;
        case DecoderFamily::Flac: ids = kFlac; break;
    }
    return !ids.empty() &&
           std::all_of(ids.begin(), ids.end(), [](AVCodecID id) { return avcodec_find_decoder(id) != nullptr; });
}

Status Stream::Impl::open_demuxer() {
    source.close();
    if (Status s = audio::open_source(file.fd.get(), *view, name, source); !s) {
        source.close();
        return s;
    }
    if (known_frames) source.frames = *known_frames;
    const AVStream* st = source.fmt->streams[source.index];
    skipping = skipping_for(st->codecpar->codec_id);
    vorbis.reset();
    vorbis_headers = {};
    if (skipping == Skipping::Vorbis) {
        vorbis.reset(av_vorbis_parse_init(st->codecpar->extradata, st->codecpar->extradata_size));
        if (!vorbis) skipping = Skipping::None;
    }
    tap.setup(*st->codecpar, *source.dec);
    seek_gap_frames = exact_seek_gap();
    flac.reset();
    flac_last.reset();
    flac_numbered = false;
    origin_pts = 0;
    origin_pos = -1;
    last_read = {};
    pts_seen = {};
    mp3_first.reset();
    mp3_pass_declined_at = -1;
    history.clear();
    pending.reset();
    next_index = next_start = skip_carry = 0;
    last_sent = -1;
    run_active = output_done = false;
    decoded = 0;
    mono.clear();
    mono.channels = std::max<std::size_t>(1, source.info.channels);
    mono.start = 0;
    return Status::ok();
}

Stream::Stream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Stream::~Stream() = default;

std::unique_ptr<Stream> Stream::open(const std::string& path, Status& status) {
    if (status = start(); !status) return nullptr;
    auto impl = std::make_unique<Impl>();
    if (!impl->frame || !impl->fft->ok()) {
        status = Status::fail(kErrorMemory, "cannot allocate the decoder state");
        return nullptr;
    }
    // The one open of the path: a FIFO, device or directory is refused here
    // (a FIFO swapped in later cannot block us, nothing opens the path again).
    if (Status s = open_regular_file(path, impl->file); !s) {
        status = Status::fail(kErrorFileOpen, std::move(s.message));
        return nullptr;
    }
    impl->name = path;
    impl->view = std::make_shared<const FileView>(view_for(impl->file.fd.get(), impl->file.size));
    if (status = impl->open_demuxer(); !status) return nullptr;
    const auto claimed = static_cast<std::int64_t>(std::min<std::uint64_t>(impl->source.frames, INT64_MAX));
    if (av_fmt_ctx_get_duration_estimation_method(impl->source.fmt.get()) != AVFMT_DURATION_FROM_BITRATE)
        impl->announced_frames = claimed;
    impl->measure_flac_length();
    if (status = impl->settle_length(); !status) return nullptr;
    impl->check_ends(claimed);
    return std::unique_ptr<Stream>(new Stream(std::move(impl)));
}

std::unique_ptr<Stream> Stream::sibling(Status& status) const {
    auto impl = std::make_unique<Impl>();
    if (!impl->frame || !impl->fft->ok()) {
        status = Status::fail(kErrorMemory, "cannot allocate the decoder state");
        return nullptr;
    }
    // A descriptor of its own on the same open file: reads are pread()s at
    // each reader's own position, so the two never disturb each other.
    impl->file.fd = FileDescriptor(::fcntl(impl_->file.fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!impl->file.fd) {
        status = Status::fail(kErrorFileOpen, std::strerror(errno));
        return nullptr;
    }
    impl->file.size = impl_->file.size;
    impl->view = impl_->view;
    impl->name = impl_->name;
    impl->known_frames = impl_->known_frames;
    impl->claimed_length_wrong = impl_->claimed_length_wrong;
    impl->announced_frames = impl_->announced_frames;
    impl->largest_packet = impl_->largest_packet;
    impl->damage = impl_->damage;
    if (status = impl->open_demuxer(); !status) return nullptr;
    auto stream = std::unique_ptr<Stream>(new Stream(std::move(impl)));
    if (status = stream->set_channel_groups(impl_->mono.groups); !status) return nullptr;
    if (status = stream->set_spectrum(impl_->fft->shape()); !status) return nullptr;
    return stream;
}

std::uint64_t Stream::length_bytes() const { return impl_->source.frames * impl_->source.info.channels * 2; }
bool Stream::claimed_length_wrong() const { return impl_->claimed_length_wrong; }

float Stream::bytes_to_seconds(std::uint64_t bytes) const {
    const StreamInfo& si = impl_->source.info;
    const double frames = static_cast<double>(bytes / (si.channels * 2ULL));
    return static_cast<float>(frames / si.rate);
}

StreamInfo Stream::info() const { return impl_->source.info; }
std::uint64_t Stream::packets_read() const { return impl_->read_count; }
std::uint64_t Stream::packets_decoded() const { return impl_->sent_count; }
std::uint64_t Stream::file_size() const { return impl_->file.size; }

Status Stream::seek(std::uint64_t pos) {
    Impl& s = *impl_;
    const auto target = static_cast<std::int64_t>(pos / (s.source.info.channels * 2ULL));
    if (target < s.position) {
        // Behind what is buffered: decode again from the start, over the
        // same descriptor. Reopening gives exactly the frames of the first
        // decode.
        s.position = target;
        return s.open_demuxer();
    }
    // Forget the buffered frames before the new position.
    s.mono.drop_front(target - s.mono.start);
    s.position = target;
    return Status::ok();
}

Status Stream::read_spectrum(std::span<float, kSpectrumBins> out, Levels* levels, std::uint64_t levels_end_pos) {
    return read_spectra(std::span<float>(out.data(), out.size()), levels, levels_end_pos);
}

namespace {

std::span<float> group_bins(std::span<float> out, std::size_t group, std::size_t bins) {
    return out.subspan(group * bins, bins);
}

std::int64_t frame_of(std::uint64_t pos, std::uint64_t frame_bytes) {
    return static_cast<std::int64_t>(std::min<std::uint64_t>(pos / frame_bytes, INT64_MAX));
}

// The spectra (and levels) of the window at the position. `may_seek`: the
// packets before it may be passed over by a seek (windows far apart).
Status read_window(Stream::Impl& s, std::span<float> out, Levels* levels, std::uint64_t levels_end_pos,
                   bool may_seek) {
    if (!s.source.dec) return Status::fail(kErrorHandle, "the stream could not be reopened");
    const auto bins = static_cast<std::size_t>(s.bins());
    if (out.size() < s.mono.groups.size() * bins)
        return Status::fail(kErrorHandle, "no room for a spectrum of every channel group");
    s.decode_status = Status::ok();
    s.decode_until(s.position + s.window_frames(), may_seek);
    for (std::size_t g = 0; g < s.mono.groups.size(); ++g) s.analyze_window(g, group_bins(out, g, bins));
    if (levels) {
        const std::int64_t end = frame_of(levels_end_pos, s.source.info.channels * 2ULL);
        s.add_levels(s.position, std::min(end, s.position + s.window_frames()), *levels);
    }
    if (!s.decode_status) return std::move(s.decode_status);
    if (!s.source.reader) return Status::fail(kErrorHandle, "the stream could not be reopened");
    return read_status(*s.source.reader);
}

}  // namespace

Status Stream::read_spectra(std::span<float> out, Levels* levels, std::uint64_t levels_end_pos) {
    return read_window(*impl_, out, levels, levels_end_pos, true);
}

Status Stream::read_max_spectra(std::uint64_t begin_pos, std::uint64_t end_pos, std::span<float> out,
                                Levels* levels) {
    Impl& s = *impl_;
    const std::int64_t end = frame_of(end_pos, s.source.info.channels * 2ULL);
    const auto bins = static_cast<std::size_t>(s.bins());
    const std::int64_t hop = s.fft->shape().hop(), frames = s.window_frames();
    if (out.size() < s.mono.groups.size() * bins)
        return Status::fail(kErrorHandle, "no room for a spectrum of every channel group");
    // A stretch is read whole: only what lies before it may be passed over
    // by a seek (a second reader starting mid-file).
    Status first = seek(begin_pos);
    // Each window's levels are those of the frames up to the next window's
    // start (or the stretch's end): windows overlap, frames count once.
    const auto window_levels = [&](std::int64_t at, std::int64_t upto) {
        if (levels) s.add_levels(at, std::min(upto, end), *levels);
    };
    if (first) first = read_window(s, out, nullptr, UINT64_MAX, true);
    if (!s.source.dec) return first;
    std::int64_t previous = s.position;
    for (std::int64_t at = s.position + hop; at < end; at += hop) {
        window_levels(previous, at);
        previous = at;
        s.position = at;
        s.mono.drop_front(at - s.mono.start);
        s.decode_status = Status::ok();
        s.decode_until(at + frames, false);
        // The stream ended before this window: no frame of it is left to show.
        if (s.output_done && at >= s.mono.start + static_cast<std::int64_t>(s.mono.size())) break;
        for (std::size_t g = 0; g < s.mono.groups.size(); ++g) {
            s.analyze_window(g, s.scratch);
            const std::span<float> group = group_bins(out, g, bins);
            for (std::size_t k = 0; k < bins; ++k) group[k] = std::max(group[k], s.scratch[k]);
        }
        if (first && !s.decode_status) first = std::move(s.decode_status);
    }
    window_levels(previous, previous + frames);
    if (first) first = read_status(*s.source.reader);
    return first;
}

Status Stream::set_channel_groups(std::span<const ChannelGroup> groups) {
    Impl& s = *impl_;
    if (groups.empty()) return Status::fail(kErrorHandle, "no channel group to read");
    s.mono.groups.assign(groups.begin(), groups.end());
    s.mono.data.assign(groups.size(), {});
    s.mono.start = 0;
    if (s.next_index == 0) return Status::ok();
    // Frames already taken were mixed for the old groups: read them again.
    s.position = 0;
    return s.open_demuxer();
}

std::size_t Stream::channel_groups() const { return impl_->mono.groups.size(); }

Status Stream::set_spectrum(SpectrumShape shape) {
    Impl& s = *impl_;
    if (!valid_spectrum_shape(shape)) return Status::fail(kErrorHandle, "no transform of that size");
    if (shape == s.fft->shape()) return Status::ok();
    auto fft = std::make_unique<SpectrumAnalyzer>(shape);
    if (!fft->ok()) return Status::fail(kErrorMemory, "cannot prepare the transform");
    s.fft = std::move(fft);
    s.window.assign(static_cast<std::size_t>(shape.frames), 0.0f);
    s.scratch.assign(static_cast<std::size_t>(shape.bins()), 0.0f);
    return Status::ok();
}

int Stream::spectrum_bins() const { return impl_->bins(); }

CodecInfo Stream::codec() const { return impl_->source.codec; }

bool Stream::stores_plain_samples() const {
    const Source& s = impl_->source;
    return s.fmt && av_get_bits_per_sample(s.fmt->streams[s.index]->codecpar->codec_id) > 0;
}

std::string Stream::channel_name(std::uint32_t index) const {
    const AVCodecContext* dec = impl_->source.dec.get();
    if (dec && dec->ch_layout.order == AV_CHANNEL_ORDER_NATIVE) {
        const AVChannel ch = av_channel_layout_channel_from_index(&dec->ch_layout, index);
        std::array<char, 32> name{};
        if (ch >= 0 && av_channel_name(name.data(), name.size(), ch) > 0) return name.data();
    }
    return "Channel " + std::to_string(index + 1);
}

}  // namespace tolvek::audio
