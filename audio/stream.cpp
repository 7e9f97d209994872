// The layer's entry points: start-up, decoder families, and Stream's public
// face over the parts in source.cpp, schedule.cpp and mixdown.cpp.
#include <algorithm>
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
    if (Status s = audio::open_source(file.fd.get(), file.size, name, source); !s) {
        source.close();
        return s;
    }
    const AVStream* st = source.fmt->streams[source.index];
    skipping = skipping_for(st->codecpar->codec_id);
    vorbis.reset();
    if (skipping == Skipping::Vorbis) {
        vorbis.reset(av_vorbis_parse_init(st->codecpar->extradata, st->codecpar->extradata_size));
        if (!vorbis) skipping = Skipping::None;
    }
    history.clear();
    pending.reset();
    next_index = next_start = skip_carry = 0;
    last_sent = -1;
    run_active = output_done = false;
    decoded = 0;
    mono.clear();
    mono_start = 0;
    return Status::ok();
}

Stream::Stream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Stream::~Stream() = default;

std::unique_ptr<Stream> Stream::open(const std::string& path, Status& status) {
    if (status = start(); !status) return nullptr;
    auto impl = std::make_unique<Impl>();
    if (!impl->frame || !impl->fft.ok()) {
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
    if (status = impl->open_demuxer(); !status) return nullptr;
    return std::unique_ptr<Stream>(new Stream(std::move(impl)));
}

std::uint64_t Stream::length_bytes() const { return impl_->source.frames * impl_->source.info.channels * 2; }

float Stream::bytes_to_seconds(std::uint64_t bytes) const {
    const StreamInfo& si = impl_->source.info;
    const double frames = static_cast<double>(bytes / (si.channels * 2ULL));
    return static_cast<float>(frames / si.rate);
}

StreamInfo Stream::info() const { return impl_->source.info; }
std::uint64_t Stream::packets_read() const { return static_cast<std::uint64_t>(impl_->next_index); }
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
    const std::int64_t drop = std::min<std::int64_t>(target - s.mono_start, static_cast<std::int64_t>(s.mono.size()));
    if (drop > 0) {
        s.mono.erase(s.mono.begin(), s.mono.begin() + drop);
        s.mono_start += drop;
    }
    s.position = target;
    return Status::ok();
}

Status Stream::read_spectrum(std::span<float, kSpectrumBins> out) {
    Impl& s = *impl_;
    if (!s.source.dec) return Status::fail(kErrorHandle, "the stream could not be reopened");
    s.decode_status = Status::ok();
    s.decode_until(s.position + kWindowFrames);
    s.fill_window();
    s.fft.analyze(s.window, out);
    if (!s.decode_status) return std::move(s.decode_status);
    return read_status(*s.source.reader);
}

}  // namespace tolvek::audio
