// The stream's length where the container's own cannot be taken as it is:
// none at all, one that the file's bytes cannot hold, a Matroska Duration
// the demuxer could not use, or a chained Ogg file (the demuxer gives the
// last link's). The file is then read through once, packet by packet, and
// the frames a full decode gives are counted: by the packets' placing where
// it is exact (PCM, FLAC, MP3, Vorbis), by decoding elsewhere. Either way
// the work is bounded by the file's size, whatever its headers say.
#include <algorithm>
#include <string_view>

#include "audio/stream_impl.h"

namespace tolvek::audio {

namespace {

// No codec packs more frames into a byte: FLAC's largest block of one
// repeated value takes about 11 bytes for 65535 frames, an Opus packet of
// silence 1 byte for 5760.
constexpr double kMaxFramesPerByte = 65536.0;
// A stream that states its bit rate may fall this far below it (a nominal
// Vorbis rate over near silence) before a claimed length is doubted.
constexpr double kBitRateSlack = 64.0;
// A claim beyond the frames the file holds by no more than a second, or a
// hundredth of them where that is more, is not called wrong.
constexpr std::int64_t kClaimSlackDivisor = 100;

enum class Doubt { None, Unknown, Unbelievable, Chained };

// The most frames `bytes` of the file could hold.
double most_frames(const Source& s, std::uint64_t bytes) {
    double most = static_cast<double>(bytes) * kMaxFramesPerByte;
    const std::int64_t bit_rate = s.fmt->streams[s.index]->codecpar->bit_rate;
    if (bit_rate > 0)
        most = std::min(most, static_cast<double>(bytes) * 8.0 * s.info.rate / static_cast<double>(bit_rate) *
                                  kBitRateSlack);
    return most;
}

Doubt doubt_about(const Source& s, int fd, std::uint64_t size) {
    if (s.frames == 0) return Doubt::Unknown;
    if (static_cast<double>(s.frames) > most_frames(s, size)) return Doubt::Unbelievable;
    const std::string_view demuxer = s.fmt->iformat->name;
    // Matroska records its length; a guess from the bit rate means its
    // Duration was missing or unusable (infinite, not a number, huge).
    if (demuxer.starts_with("matroska") &&
        av_fmt_ctx_get_duration_estimation_method(s.fmt.get()) == AVFMT_DURATION_FROM_BITRATE)
        return Doubt::Unknown;
    if (demuxer == "ogg" && ogg_is_chained(read_at_descriptor(fd), size)) return Doubt::Chained;
    return Doubt::None;
}

}  // namespace

// Frames of a full decode as the packets are placed, or nothing where some
// packet could not be placed exactly.
std::optional<std::int64_t> Stream::Impl::placed_length() {
    if (skipping == Skipping::None) return std::nullopt;
    Packet p;
    while (read_packet(p))
        if (skipping == Skipping::None) return std::nullopt;
    return next_start;
}

void Stream::Impl::decode_every_packet(const std::function<void(const AVFrame&)>& take_frame) {
    AVCodecContext* dec = source.dec.get();
    const auto drain = [&] {
        while (avcodec_receive_frame(dec, frame.get()) == 0) {
            take_frame(*frame);
            av_frame_unref(frame.get());
        }
    };
    while (PacketPtr pkt = demux_next()) {
        drain();  // the decoder takes no input while output waits
        avcodec_send_packet(dec, pkt.get());  // a refused packet gives nothing, as in reading
        drain();
    }
    avcodec_send_packet(dec, nullptr);
    drain();
}

// Frames the decoder gives for the whole file.
std::int64_t Stream::Impl::decoded_length() {
    std::int64_t total = 0;
    decode_every_packet([&](const AVFrame& f) { total += f.nb_samples; });
    return total;
}

Status Stream::Impl::settle_length() {
    const Doubt doubt = doubt_about(source, file.fd.get(), file.size);
    if (doubt == Doubt::None) return Status::ok();
    const auto claimed = static_cast<std::int64_t>(std::min<std::uint64_t>(source.frames, INT64_MAX));
    std::optional<std::int64_t> counted = placed_length();
    if (!counted) {
        if (Status s = open_demuxer(); !s) return s;
        counted = decoded_length();
    }
    known_frames = static_cast<std::uint64_t>(std::max<std::int64_t>(0, *counted));
    const std::int64_t slack = std::max<std::int64_t>(source.info.rate, *counted / kClaimSlackDivisor);
    claimed_length_wrong = claimed_length_wrong || (doubt == Doubt::Unbelievable && claimed - slack > *counted);
    // The counts tell what the windows cost; the measuring is not theirs.
    read_count = sent_count = 0;
    return open_demuxer();
}

}  // namespace tolvek::audio
