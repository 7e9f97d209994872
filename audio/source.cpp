#include "audio/source.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <string_view>

extern "C" {
#include <libavutil/mem.h>
}

namespace tolvek::audio {

namespace {

// What FFmpeg asks for at a time; its own file protocol uses the same.
constexpr int kIoBufferBytes = 32 * 1024;

int read_descriptor(void* opaque, std::uint8_t* buf, int size) {
    auto& r = *static_cast<DescriptorReader*>(opaque);
    if (r.error != 0) return AVERROR(EIO);
    // One piece of the view at a time: FFmpeg asks again for the rest.
    const FileView::Extent at = r.view->locate(static_cast<std::uint64_t>(r.position));
    if (at.length == 0) return AVERROR_EOF;
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(size), at.length));
    for (;;) {
        const ssize_t n = ::pread(r.fd, buf, wanted, static_cast<off_t>(at.offset));
        if (n > 0) {
            r.position += n;
            return static_cast<int>(n);
        }
        if (n == 0) return AVERROR_EOF;
        if (errno == EINTR) continue;
        // A "regular" file that has nothing yet (such as /proc/kmsg) answers
        // EAGAIN on our non-blocking descriptor. Handed on as EAGAIN, the
        // stream-info probe would ask again for ever: it becomes a read
        // error, kept for the report.
        r.error = errno;
        return AVERROR(EIO);
    }
}

std::int64_t seek_descriptor(void* opaque, std::int64_t offset, int whence) {
    auto& r = *static_cast<DescriptorReader*>(opaque);
    const auto size = static_cast<std::int64_t>(r.view->size());
    switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE: return size;
        case SEEK_SET: break;
        case SEEK_CUR: offset += r.position; break;
        case SEEK_END: offset += size; break;
        default: return AVERROR(EINVAL);
    }
    if (offset < 0) return AVERROR(EINVAL);
    r.position = offset;
    return offset;
}

// Playlist and concatenation demuxers (hls, concat, dash, image sequences)
// open the other files or addresses a source names through this. A source file never
// makes us open anything else: every such open is refused.
int refuse_nested_open(AVFormatContext* f, AVIOContext**, const char*, int, AVDictionary**) {
    if (f->opaque) static_cast<DescriptorReader*>(f->opaque)->nested_refused = true;
    return AVERROR(EPERM);
}

// Demuxers of synthesised music (tracker modules, console tunes): they open,
// but they are not recorded streams.
bool is_synthesised(const AVInputFormat* f) {
    const std::string_view name = f->name;
    return name == "libopenmpt" || name == "libgme" || name == "libmodplug";
}

Status open_container(Source& s, const std::string& name) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
    if (!buffer) return Status::fail(kErrorMemory, "cannot allocate the read buffer");
    s.io.reset(avio_alloc_context(buffer, kIoBufferBytes, 0, s.reader.get(), read_descriptor, nullptr,
                                  seek_descriptor));
    if (!s.io) {
        av_free(buffer);
        return Status::fail(kErrorMemory, "cannot allocate the read context");
    }
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) return Status::fail(kErrorMemory, "cannot allocate the demuxer");
    raw->pb = s.io.get();  // ours: the demuxer neither opens nor closes it
    raw->opaque = s.reader.get();
    raw->io_open = refuse_nested_open;
    // Some demuxers open their own inner demuxer, which inherits only the
    // protocol list, not io_open: a list naming no protocol refuses there.
    raw->protocol_whitelist = av_strdup("none");
    if (!raw->protocol_whitelist) {
        avformat_free_context(raw);
        return Status::fail(kErrorMemory, "cannot allocate the demuxer");
    }
    // The name is only a hint for the format probe; nothing opens it.
    const int err = avformat_open_input(&raw, name.c_str(), nullptr, nullptr);  // frees raw on failure
    if (err >= 0) {
        s.fmt.reset(raw);
        return Status::ok();
    }
    if (Status read = read_status(*s.reader); !read) return read;
    if (s.reader->nested_refused) return Status::fail(kErrorFormat, "the file refers to other files, which are not opened");
    // Everything else (an empty file included) means no demuxer knows it.
    return Status::fail(err == AVERROR(ENOMEM) ? kErrorMemory : kErrorFormat, av_text(err));
}

// Picks the stream to convert. The best audio stream by what the headers
// already say is taken before the stream-info probe and every other stream
// discarded, so the demuxer drops their packets from then on. The probe
// itself still looks at every stream (it opens their decoders whatever the
// discard setting), which is why a many-stream Ogg file is shown only its
// chosen stream (file_view.h). Where the headers name no usable audio
// stream, the best one is chosen after the probe, as before.
Status choose_stream(Source& s, const AVCodec*& codec) {
    AVFormatContext* f = s.fmt.get();
    const int early = av_find_best_stream(f, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (early >= 0)
        for (unsigned i = 0; i < f->nb_streams; ++i)
            if (static_cast<int>(i) != early) f->streams[i]->discard = AVDISCARD_ALL;
    // Best effort: some files are usable even when not every stream could
    // be probed.
    avformat_find_stream_info(f, nullptr);
    codec = nullptr;
    const int err = av_find_best_stream(f, AVMEDIA_TYPE_AUDIO, early, -1, &codec, 0);
    if (Status read = read_status(*s.reader); !read) return read;
    // A demuxer that took the file on its name alone, not its content, and
    // found no usable audio stream in it did not recognise it.
    if (err == AVERROR_STREAM_NOT_FOUND && f->probe_score <= AVPROBE_SCORE_RETRY)
        return Status::fail(kErrorFormat, "not recognised as any format");
    if (err == AVERROR_STREAM_NOT_FOUND) return Status::fail(kErrorNoAudio, "no audio stream");
    if (err < 0 || codec == nullptr) return Status::fail(kErrorCodec, err < 0 ? av_text(err) : "no decoder");
    s.index = err;
    // Only our stream's packets are wanted; the demuxer may drop the rest.
    for (unsigned i = 0; i < f->nb_streams; ++i)
        if (static_cast<int>(i) != s.index) f->streams[i]->discard = AVDISCARD_ALL;
    return Status::ok();
}

Status open_decoder(Source& s, const AVCodec* codec) {
    const AVStream* st = s.fmt->streams[s.index];
    s.dec.reset(avcodec_alloc_context3(codec));
    if (!s.dec) return Status::fail(kErrorMemory, "cannot allocate the decoder");
    int err = avcodec_parameters_to_context(s.dec.get(), st->codecpar);
    if (err < 0) return Status::fail(kErrorCodec, av_text(err));
    s.dec->pkt_timebase = st->time_base;
    s.dec->thread_count = 1;  // one conversion is one thread; files run in parallel instead
    if ((err = avcodec_open2(s.dec.get(), codec, nullptr)) < 0) return Status::fail(kErrorCodec, av_text(err));
    return Status::ok();
}

// Rate, channels, type bits and length, without decoding the file.
Status describe(Source& s) {
    const AVStream* st = s.fmt->streams[s.index];
    StreamInfo& si = s.info;
    si.rate = static_cast<std::uint32_t>(std::max(st->codecpar->sample_rate, s.dec->sample_rate));
    si.channels = static_cast<std::uint32_t>(std::max(st->codecpar->ch_layout.nb_channels, s.dec->ch_layout.nb_channels));
    if (si.rate == 0 || si.channels == 0)
        return Status::fail(kErrorCodec, "the audio stream has no sample rate or channel count");
    si.type = is_synthesised(s.fmt->iformat) ? 0 : kTypeStream;
    if (std::string_view(s.fmt->iformat->name) == "wav") si.type |= kTypeWav;
    s.codec.name = avcodec_get_name(st->codecpar->codec_id);
    // The stream's own rate where it states one (CBR MP3, PCM), else the
    // container's average over the whole file (FLAC, VBR).
    const std::int64_t bit_rate = st->codecpar->bit_rate > 0 ? st->codecpar->bit_rate : s.fmt->bit_rate;
    s.codec.bitrate_kbps = bit_rate > 0 ? static_cast<std::uint32_t>((bit_rate + 500) / 1000) : 0;

    // The length as the container records it (exact for WAV, AIFF, FLAC and
    // Ogg), otherwise the demuxer's estimate.
    const AVRational per_frame{1, static_cast<int>(si.rate)};
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
        s.frames = static_cast<std::uint64_t>(av_rescale_q(st->duration, st->time_base, per_frame));
    else if (s.fmt->duration != AV_NOPTS_VALUE && s.fmt->duration > 0)
        s.frames = static_cast<std::uint64_t>(av_rescale(s.fmt->duration, si.rate, AV_TIME_BASE));
    else
        s.frames = 0;
    return Status::ok();
}

}  // namespace

Status read_status(const DescriptorReader& reader) {
    if (reader.error == 0) return Status::ok();
    return Status::fail(kErrorFileOpen, std::strerror(reader.error));
}

namespace {

long pread_retrying(int fd, std::span<std::uint8_t> out, std::uint64_t offset) {
    for (;;) {
        const ssize_t n = ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset));
        if (n >= 0 || errno != EINTR) return static_cast<long>(n);
    }
}

}  // namespace

ReadAt read_at_descriptor(int fd) {
    return [fd](std::uint64_t offset, std::span<std::uint8_t> out) { return pread_retrying(fd, out, offset); };
}

FileView view_for(int fd, std::uint64_t size) { return ogg_single_stream_view(read_at_descriptor(fd), size); }

ReadAt view_reader(int fd, const FileView& view) {
    return [fd, &view](std::uint64_t pos, std::span<std::uint8_t> out) -> long {
        const FileView::Extent at = view.locate(pos);
        if (at.length == 0) return 0;
        return pread_retrying(fd, out.first(static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), at.length))),
                              at.offset);
    };
}

Status open_source(int fd, const FileView& view, const std::string& name, Source& out) {
    out.reader = std::make_unique<DescriptorReader>();
    out.reader->fd = fd;
    out.reader->view = &view;
    if (Status s = open_container(out, name); !s) return s;
    const AVCodec* codec = nullptr;
    if (Status s = choose_stream(out, codec); !s) return s;
    if (Status s = open_decoder(out, codec); !s) return s;
    return describe(out);
}

}  // namespace tolvek::audio
