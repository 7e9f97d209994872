#include "audio/audio.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <deque>
#include <optional>
#include <cstring>
#include <mutex>
#include <vector>

#include "audio/spectrum.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/vorbis_parser.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

namespace tolvek::audio {

namespace {

// Per thread, so conversions running side by side keep their own.
thread_local int t_last_error = 0;
thread_local std::string t_last_text;

void set_error(int code, std::string text) {
    t_last_error = code;
    t_last_text = std::move(text);
}

std::string av_text(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

std::once_flag g_start_once;

struct FormatCloser {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecCloser {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct SwrFree {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFree>;

// Owns an AVChannelLayout. Zero-initialised first: av_channel_layout_copy()
// frees its destination before copying into it.
struct Layout {
    AVChannelLayout l{};
    Layout() = default;
    Layout(const Layout&) = delete;
    Layout& operator=(const Layout&) = delete;
    ~Layout() { av_channel_layout_uninit(&l); }
    void set(const AVChannelLayout& from) {
        av_channel_layout_uninit(&l);
        av_channel_layout_copy(&l, &from);
    }
    // As set(), but a layout without a channel order becomes the default
    // order for its count, which the converter accepts.
    void set_convertible(const AVChannelLayout& from) {
        av_channel_layout_uninit(&l);
        if (from.order == AV_CHANNEL_ORDER_UNSPEC || av_channel_layout_check(&from) == 0)
            av_channel_layout_default(&l, from.nb_channels);
        else
            av_channel_layout_copy(&l, &from);
    }
};

// Demuxers of synthesised music (tracker modules, console tunes): they open,
// but they are not recorded streams.
bool is_synthesised(const AVInputFormat* f) {
    const std::string_view name = f->name;
    return name == "libopenmpt" || name == "libgme" || name == "libmodplug";
}

}  // namespace

bool start() {
    std::call_once(g_start_once, [] {
        // The libraries would otherwise print their own diagnostics between
        // our report lines; failures reach the caller through last_error().
        av_log_set_level(AV_LOG_QUIET);
        // A header may claim any size: a 60-byte WAV whose INFO chunk says
        // 1 GiB would have the demuxer allocate and clear 1 GiB. No single
        // block that decoding audio needs comes near this cap (a large
        // cover picture, the index of a many-hour file).
        av_max_alloc(64 << 20);
    });
    return true;
}

void stop() {}

bool load_plugin(const char* name) {
    struct Plugin {
        const char* file;
        std::array<AVCodecID, 3> codecs;
    };
    static constexpr Plugin kPlugins[] = {
        {"basswma.dll", {AV_CODEC_ID_WMAV1, AV_CODEC_ID_WMAV2, AV_CODEC_ID_WMAPRO}},
        {"bass_ape.dll", {AV_CODEC_ID_APE, AV_CODEC_ID_APE, AV_CODEC_ID_APE}},
        {"bassflac.dll", {AV_CODEC_ID_FLAC, AV_CODEC_ID_FLAC, AV_CODEC_ID_FLAC}},
    };
    start();
    for (const Plugin& p : kPlugins) {
        if (name == nullptr || std::strcmp(name, p.file) != 0) continue;
        const bool present = std::all_of(p.codecs.begin(), p.codecs.end(),
                                         [](AVCodecID id) { return avcodec_find_decoder(id) != nullptr; });
        if (!present) set_error(kErrorPlugin, std::string("decoders for ") + p.file + " are not available");
        return present;
    }
    set_error(kErrorPlugin, std::string("unknown plug-in ") + (name ? name : "(null)"));
    return false;
}

int last_error() { return t_last_error; }
std::string last_error_text() { return t_last_text; }

const char* error_name(int code) {
    switch (code) {
        case kErrorStart: return "the audio libraries cannot be used";
        case kErrorFileOpen: return "the file cannot be read";
        case kErrorFormat: return "the file format is not recognised";
        case kErrorNoAudio: return "the file holds no audio stream";
        case kErrorCodec: return "no decoder for the audio stream";
        case kErrorDecode: return "decoding failed";
        case kErrorMemory: return "out of memory";
        case kErrorPlugin: return "plug-in not available";
        case kErrorHandle: return "no stream";
        default: return "unknown error";
    }
}

namespace {

// How a codec's packets may be left out of decoding, and how much of the
// past a packet needs after the decoder was flushed, so that every window
// is still exactly what a full decode gives.
enum class Skipping {
    None,         // unknown to us: every packet is decoded
    Independent,  // PCM, FLAC: each packet stands alone
    Mp3,          // the packet before (overlap) and 511 bytes of payload before that (bit reservoir)
    Vorbis,       // the packet before; the first packet after a flush gives no samples
};

Skipping skipping_for(AVCodecID id) {
    switch (id) {
        case AV_CODEC_ID_PCM_S16LE: case AV_CODEC_ID_PCM_S16BE: case AV_CODEC_ID_PCM_U8:
        case AV_CODEC_ID_PCM_S8: case AV_CODEC_ID_PCM_S24LE: case AV_CODEC_ID_PCM_S24BE:
        case AV_CODEC_ID_PCM_S32LE: case AV_CODEC_ID_PCM_S32BE: case AV_CODEC_ID_PCM_F32LE:
        case AV_CODEC_ID_PCM_F32BE: case AV_CODEC_ID_PCM_F64LE: case AV_CODEC_ID_PCM_F64BE:
        case AV_CODEC_ID_PCM_ALAW: case AV_CODEC_ID_PCM_MULAW: case AV_CODEC_ID_FLAC:
            return Skipping::Independent;
        case AV_CODEC_ID_MP3:
            return Skipping::Mp3;
        case AV_CODEC_ID_VORBIS:
            return Skipping::Vorbis;
        default:
            return Skipping::None;
    }
}

struct VorbisParserFree {
    void operator()(AVVorbisParseContext* p) const { av_vorbis_parse_free(&p); }
};

// A packet read from the file, with the frames of a full decode it gives:
// [start, start + frames).
struct Packet {
    PacketPtr data;
    std::int64_t index = 0;
    std::int64_t start = 0;
    std::int64_t frames = 0;
    bool required = false;  // must be decoded whatever the windows need
};

}  // namespace

struct Stream::Impl {
    std::string path;
    std::uint64_t size = 0;

    FormatPtr fmt;
    CodecPtr dec;
    int index = -1;
    StreamInfo si;
    std::uint64_t frames = 0;  // measured length in frames

    // Reading. Packets are read in order, each placed by its duration; only
    // those a window needs are decoded, each run of them preceded by the
    // packets its codec needs to start exactly (its pre-roll).
    Skipping skipping = Skipping::None;
    std::unique_ptr<AVVorbisParseContext, VorbisParserFree> vorbis;
    std::deque<Packet> history;     // read and not decoded, newest last
    std::optional<Packet> pending;  // read, but after the window being filled
    std::int64_t next_index = 0;    // of the next packet read
    std::int64_t next_start = 0;    // its first frame
    std::int64_t skip_carry = 0;    // start trimming that runs on into later packets
    std::int64_t last_sent = -1;    // index of the last packet decoded
    bool run_active = false;        // the decoder holds packets up to last_sent
    bool output_done = false;       // nothing more will come
    std::uint64_t sent_count = 0;

    FramePtr frame{av_frame_alloc()};
    std::int64_t decoded = 0;   // frame index of the decoder's next output
    std::int64_t position = 0;  // frame of the current position
    std::vector<float> mono;    // frames [mono_start, mono_start + size) mixed to mono
    std::int64_t mono_start = 0;

    SwrPtr swr;
    Layout swr_layout;
    int swr_format = -1;
    int swr_rate = 0;
    std::vector<std::int16_t> pcm;

    SpectrumAnalyzer fft;
    std::array<float, kWindowFrames> window{};

    bool open_demuxer();
    bool read_packet(Packet& out);
    std::vector<Packet*> preroll_for(const Packet& p);
    void start_run(const Packet& p);
    void send(Packet& p);
    void receive();
    void finish();
    void decode_until(std::int64_t end);
    void take(const AVFrame& f);
    bool to_s16(const AVFrame& f);
};

bool Stream::Impl::open_demuxer() {
    // "file:" keeps every name a plain local file: a name such as
    // "http:..." or "pipe:1" is never taken for another protocol.
    const std::string url = "file:" + path;
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "protocol_whitelist", "file", 0);
    AVFormatContext* raw = nullptr;
    int err = avformat_open_input(&raw, url.c_str(), nullptr, &opts);
    av_dict_free(&opts);
    if (err < 0) {
        // The system's own refusals mean an unreadable file; everything else
        // (an empty file included) means no demuxer knows it.
        const bool unreadable = err == AVERROR(ENOENT) || err == AVERROR(EACCES) || err == AVERROR(EPERM) ||
                                err == AVERROR(EISDIR);
        set_error(err == AVERROR(ENOMEM) ? kErrorMemory : unreadable ? kErrorFileOpen : kErrorFormat, av_text(err));
        return false;
    }
    fmt.reset(raw);
    // Best effort: some files are usable even when not every stream could
    // be probed.
    avformat_find_stream_info(fmt.get(), nullptr);

    const AVCodec* codec = nullptr;
    err = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (err == AVERROR_STREAM_NOT_FOUND) {
        set_error(kErrorNoAudio, "no audio stream");
        return false;
    }
    if (err < 0 || codec == nullptr) {
        set_error(kErrorCodec, err < 0 ? av_text(err) : "no decoder");
        return false;
    }
    index = err;
    AVStream* st = fmt->streams[index];
    // Only our stream's packets are wanted; the demuxer may drop the rest.
    for (unsigned i = 0; i < fmt->nb_streams; ++i)
        if (static_cast<int>(i) != index) fmt->streams[i]->discard = AVDISCARD_ALL;

    dec.reset(avcodec_alloc_context3(codec));
    if (!dec) {
        set_error(kErrorMemory, "cannot allocate the decoder");
        return false;
    }
    if ((err = avcodec_parameters_to_context(dec.get(), st->codecpar)) < 0) {
        set_error(kErrorCodec, av_text(err));
        return false;
    }
    dec->pkt_timebase = st->time_base;
    dec->thread_count = 1;  // one conversion is one thread; files run in parallel instead
    if ((err = avcodec_open2(dec.get(), codec, nullptr)) < 0) {
        set_error(kErrorCodec, av_text(err));
        return false;
    }

    si.rate = static_cast<std::uint32_t>(std::max(st->codecpar->sample_rate, dec->sample_rate));
    si.channels = static_cast<std::uint32_t>(std::max(st->codecpar->ch_layout.nb_channels, dec->ch_layout.nb_channels));
    if (si.rate == 0 || si.channels == 0) {
        set_error(kErrorCodec, "the audio stream has no sample rate or channel count");
        return false;
    }
    si.type = is_synthesised(fmt->iformat) ? 0 : kTypeStream;
    if (std::string_view(fmt->iformat->name) == "wav") si.type |= kTypeWav;

    // The length as the container records it (exact for WAV, AIFF, FLAC and
    // Ogg), otherwise the demuxer's estimate; never by decoding the file.
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
        frames = static_cast<std::uint64_t>(av_rescale_q(st->duration, st->time_base, AVRational{1, static_cast<int>(si.rate)}));
    else if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0)
        frames = static_cast<std::uint64_t>(av_rescale(fmt->duration, si.rate, AV_TIME_BASE));
    else
        frames = 0;

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
    return true;
}

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
    const float scale = 1.0f / (32768.0f * static_cast<float>(channels));
    for (std::int64_t k = skip; k < count; ++k) {
        int sum = 0;
        if (k < got) {
            const std::int16_t* smp = &pcm[static_cast<std::size_t>(k) * channels];
            for (int c = 0; c < channels; ++c) sum += smp[c];
        }
        mono.push_back(static_cast<float>(sum) * scale);
    }
}

// Reads the next packet of our stream and places it. False at the end of
// the file (or of what can be read of it).
bool Stream::Impl::read_packet(Packet& out) {
    PacketPtr pkt(av_packet_alloc());
    if (!pkt) return false;
    do {
        av_packet_unref(pkt.get());
        if (av_read_frame(fmt.get(), pkt.get()) < 0) return false;
    } while (pkt->stream_index != index);

    const AVStream* st = fmt->streams[index];
    std::int64_t nominal = -1;
    if (skipping == Skipping::Vorbis) {
        // The demuxer's durations are not always right for Vorbis; the
        // block sizes in the packets are.
        nominal = av_vorbis_parse_frame(vorbis.get(), pkt->data, pkt->size);
        // The decoder gives nothing for the very first packet, whatever its
        // block size.
        if (next_index == 0 && nominal > 0) nominal = 0;
    } else if (pkt->duration > 0) {
        nominal = av_rescale_q(pkt->duration, st->time_base, AVRational{1, static_cast<int>(si.rate)});
    } else {
        nominal = av_get_audio_frame_duration2(st->codecpar, pkt->size);
        if (nominal == 0) nominal = -1;
    }

    if (nominal < 0) {
        // A packet we cannot place: from here on every packet is decoded
        // and counted by what the decoder gives.
        skipping = Skipping::None;
        nominal = 0;
    }
    // Trimming the decoder applies: encoder delay at the start, padding at
    // the end, whole packets flagged for discarding.
    const std::int64_t carried = skip_carry;
    std::int64_t skip_start = carried, skip_end = 0;
    std::size_t sd_size = 0;
    if (const std::uint8_t* sd = av_packet_get_side_data(pkt.get(), AV_PKT_DATA_SKIP_SAMPLES, &sd_size); sd && sd_size >= 10) {
        skip_start += AV_RL32(sd);
        skip_end = AV_RL32(sd + 4);
    }
    // Trimming that spans packets is only done alike when the decoder sees
    // every packet it spans.
    out.required = carried > 0 || skip_start > nominal;
    skip_carry = std::max<std::int64_t>(0, skip_start - nominal);
    out.frames = (pkt->flags & AV_PKT_FLAG_DISCARD) ? 0 : std::max<std::int64_t>(0, nominal - skip_start - skip_end);
    out.index = next_index++;
    out.start = next_start;
    next_start += out.frames;
    out.data = std::move(pkt);
    return true;
}

// The packets that must be decoded before `p` after a flush, oldest first,
// taken from the history of packets left out.
std::vector<Packet*> Stream::Impl::preroll_for(const Packet& p) {
    std::vector<Packet*> chosen;
    if (skipping == Skipping::Independent || history.empty() || history.back().index != p.index - 1) return chosen;
    if (skipping == Skipping::Mp3) {
        // The frame before gives the overlap; the frames before that must
        // hold the 511 bytes of payload its bit reservoir may reach back to.
        chosen.push_back(&history.back());
        int payload = 0;
        for (auto it = std::next(history.rbegin()); it != history.rend() && payload < 511; ++it) {
            if (it->index != chosen.back()->index - 1) break;
            chosen.push_back(&*it);
            payload += std::max(0, it->data->size - 38);  // less header, side information and CRC
        }
    } else {
        chosen.push_back(&history.back());
    }
    std::reverse(chosen.begin(), chosen.end());
    return chosen;
}

void Stream::Impl::send(Packet& p) {
    receive();  // the decoder takes no input while output waits
    // A damaged packet is refused by the decoder and simply left out, as a
    // player would.
    avcodec_send_packet(dec.get(), p.data.get());
    // `p` may be the history's own front: keep its index before popping.
    last_sent = p.index;
    ++sent_count;
    while (!history.empty() && history.front().index <= last_sent) history.pop_front();
}

// Gets the decoder ready for `p`: a run that is already under way goes on
// (through the few packets in between when that is no dearer than a
// pre-roll); otherwise the decoder starts afresh with the pre-roll.
void Stream::Impl::start_run(const Packet& p) {
    if (run_active && last_sent == p.index - 1) return;
    std::vector<Packet*> preroll = preroll_for(p);
    if (run_active && !history.empty() && history.front().index == last_sent + 1 &&
        p.index - last_sent - 1 <= static_cast<std::int64_t>(preroll.size())) {
        while (!history.empty() && history.front().index < p.index) send(history.front());
        return;
    }
    avcodec_flush_buffers(dec.get());
    const Packet& first = preroll.empty() ? p : *preroll.front();
    // After a flush the Vorbis decoder gives nothing for its first packet.
    decoded = first.start + (skipping == Skipping::Vorbis ? first.frames : 0);
    if (!mono.empty() && mono_start + static_cast<std::int64_t>(mono.size()) != decoded) mono.clear();
    run_active = true;
    for (Packet* q : preroll) send(*q);
}

// Takes every frame the decoder has ready.
void Stream::Impl::receive() {
    if (!run_active) return;
    int err;
    while ((err = avcodec_receive_frame(dec.get(), frame.get())) == 0) {
        take(*frame);
        av_frame_unref(frame.get());
    }
    // Any other answer than "more input" or "the end" is a damaged stretch:
    // decoding goes on with the next packet.
    if (err == AVERROR_EOF) run_active = false;
}

// The file has no more packets: drain the decoder.
void Stream::Impl::finish() {
    if (run_active) {
        avcodec_send_packet(dec.get(), nullptr);
        receive();
    }
    run_active = false;
    output_done = true;
}

// Decodes until every frame before `end` is in hand or the stream ends.
void Stream::Impl::decode_until(std::int64_t end) {
    while (!output_done) {
        receive();
        if (run_active && decoded >= end) return;
        Packet p;
        if (pending) {
            p = std::move(*pending);
            pending.reset();
        } else if (!read_packet(p)) {
            finish();
            return;
        }
        if (skipping != Skipping::None && p.start >= end && !p.required) {
            pending = std::move(p);
            return;
        }
        const bool needed = skipping == Skipping::None || p.required || p.start + p.frames > position;
        if (!needed) {
            history.push_back(std::move(p));
            // Only a pre-roll's worth of the past is kept.
            if (history.size() > 64) history.pop_front();
            continue;
        }
        start_run(p);
        send(p);
    }
}

Stream::Stream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Stream::~Stream() = default;

std::unique_ptr<Stream> Stream::open(const std::string& path) {
    start();
    // Only regular files: a FIFO or a device would block or never end.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        set_error(kErrorFileOpen, std::strerror(errno));
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        set_error(kErrorFileOpen, "not a regular file");
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    if (!impl->frame || !impl->fft.ok()) {
        set_error(kErrorMemory, "cannot allocate the decoder state");
        return nullptr;
    }
    impl->path = path;
    impl->size = static_cast<std::uint64_t>(st.st_size);
    if (!impl->open_demuxer()) return nullptr;
    return std::unique_ptr<Stream>(new Stream(std::move(impl)));
}

std::uint64_t Stream::length_bytes() const { return impl_->frames * impl_->si.channels * 2; }

float Stream::bytes_to_seconds(std::uint64_t bytes) const {
    const double frames = static_cast<double>(bytes / (impl_->si.channels * 2ULL));
    return static_cast<float>(frames / impl_->si.rate);
}

StreamInfo Stream::info() const { return impl_->si; }
std::uint64_t Stream::packets_read() const { return static_cast<std::uint64_t>(impl_->next_index); }
std::uint64_t Stream::packets_decoded() const { return impl_->sent_count; }
std::uint64_t Stream::file_size() const { return impl_->size; }

bool Stream::seek(std::uint64_t pos) {
    Impl& s = *impl_;
    const auto target = static_cast<std::int64_t>(pos / (s.si.channels * 2ULL));
    if (target < s.position) {
        // Behind what is buffered: decode again from the start. Reopening
        // gives exactly the frames of the first decode.
        s.fmt.reset();
        s.dec.reset();
        s.swr.reset();
        s.position = target;
        if (!s.open_demuxer()) return false;
        return true;
    }
    // Forget the buffered frames before the new position.
    const std::int64_t drop = std::min<std::int64_t>(target - s.mono_start, static_cast<std::int64_t>(s.mono.size()));
    if (drop > 0) {
        s.mono.erase(s.mono.begin(), s.mono.begin() + drop);
        s.mono_start += drop;
    }
    s.position = target;
    return true;
}

bool Stream::read_spectrum(std::span<float, kSpectrumBins> out) {
    Impl& s = *impl_;
    if (!s.dec) {
        set_error(kErrorHandle, "the stream could not be reopened");
        return false;
    }
    s.decode_until(s.position + kWindowFrames);
    // The 2048 frames from the position; zeros past the end of the stream.
    for (std::int64_t k = 0; k < kWindowFrames; ++k) {
        const std::int64_t i = s.position + k - s.mono_start;
        s.window[k] = (i >= 0 && i < static_cast<std::int64_t>(s.mono.size())) ? s.mono[i] : 0.0f;
    }
    s.fft.analyze(s.window, out);
    return true;
}

}  // namespace tolvek::audio
