// Faults in the audio a stream reads: those the file's ends show as it is
// opened (a FLAC, WAV or Ogg file cut short), and those met while reading
// (a packet the demuxer or decoder rejects, a FLAC frame whose CRC fails,
// frames missing, a stream that ends before the length its header
// announces). The first, by where it lies, is kept.
#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "audio/stream_impl.h"

namespace tolvek::audio {

namespace {

constexpr std::size_t kFlacStreamInfoBytes = 34;  // where the extradata opens with STREAMINFO
constexpr std::int64_t kEndSlackPackets = 3;

// RIFF/WAVE: the "fmt " chunk's block alignment and the "data" chunk's
// place and stated size.
struct WavData {
    std::uint64_t offset = 0;
    std::uint64_t stated_bytes = 0;
    std::uint32_t block_align = 0;
};

// Chunk headers are looked for in the file's first bytes only: "data" comes
// after a few small chunks in every WAV file that matters here.
constexpr std::size_t kWavHeadBytes = 64 * 1024;
// A "data" size of all ones means "unknown" (streamed WAV, RF64).
constexpr std::uint32_t kWavSizeUnknown = 0xffffffffu;

std::optional<WavData> wav_data(const ReadAt& read_at) {
    std::vector<std::uint8_t> head(kWavHeadBytes);
    const long got = read_at(0, head);
    if (got < 12 || std::string_view(reinterpret_cast<const char*>(head.data()), 4) != "RIFF" ||
        std::string_view(reinterpret_cast<const char*>(head.data() + 8), 4) != "WAVE")
        return std::nullopt;
    const auto n = static_cast<std::uint64_t>(got);
    WavData out;
    for (std::uint64_t at = 12; at + 8 <= n;) {
        const std::string_view id(reinterpret_cast<const char*>(head.data() + at), 4);
        const std::uint32_t size = read_le32(head.data() + at + 4);
        if (id == "fmt " && at + 8 + 14 <= n) out.block_align = head[at + 8 + 12] | head[at + 8 + 13] << 8;
        if (id == "data") {
            if (size == kWavSizeUnknown || out.block_align == 0) return std::nullopt;
            out.offset = at + 8;
            out.stated_bytes = size;
            return out;
        }
        at += 8 + size + (size & 1);
    }
    return std::nullopt;
}

}  // namespace

std::optional<Damage> earlier(const std::optional<Damage>& a, const std::optional<Damage>& b) {
    if (!a) return b;
    if (!b) return a;
    return b->frame < a->frame ? b : a;
}

void Stream::Impl::note_damage(Damage::Kind kind, std::int64_t frame, std::int64_t announced) {
    damage = earlier(damage, Damage{kind, static_cast<std::uint64_t>(std::max<std::int64_t>(0, frame)),
                                    static_cast<std::uint64_t>(std::max<std::int64_t>(0, announced))});
}

// Where the file's ends show it cut short. FLAC and streams whose claimed
// length could not be believed were measured as they were opened.
void Stream::Impl::check_ends(std::int64_t claimed_frames) {
    const std::int64_t present = static_cast<std::int64_t>(source.frames);
    // A stream may fall short of its claim by less than one packet: a last
    // frame that is cut or padded.
    if (claimed_length_wrong && claimed_frames - present >= std::max<std::int64_t>(1, largest_packet_frames()))
        note_damage(Damage::Kind::Truncated, present, claimed_frames);
    const std::string_view demuxer = source.fmt->iformat->name;
    const ReadAt read_at = read_at_descriptor(file.fd.get());
    if (demuxer == "wav") {
        const std::optional<WavData> wav = wav_data(read_at);
        if (wav && wav->offset + wav->stated_bytes >= file.size + wav->block_align) {
            const std::uint64_t held = file.size > wav->offset ? (file.size - wav->offset) / wav->block_align : 0;
            note_damage(Damage::Kind::Truncated, static_cast<std::int64_t>(held),
                        static_cast<std::int64_t>(wav->stated_bytes / wav->block_align));
        }
    } else if (demuxer == "ogg" && view->is_whole()) {
        const OggEnd end = ogg_end(read_at, file.size);
        if (end == OggEnd::NoEndPage) note_damage(Damage::Kind::NoEndPage, present);
        if (end == OggEnd::PartialPage) note_damage(Damage::Kind::PartialPage, present);
    }
}

// The frames a packet of this stream may hold at most, where the stream
// says: FLAC's largest block; otherwise the largest packet read so far.
std::int64_t Stream::Impl::largest_packet_frames() const {
    const AVCodecParameters& par = *source.fmt->streams[source.index]->codecpar;
    if (par.codec_id == AV_CODEC_ID_FLAC && par.extradata)
        if (const std::optional<FlacStreamInfo> info =
                parse_flac_stream_info({par.extradata, std::min<std::size_t>(par.extradata_size, kFlacStreamInfoBytes)}))
            return info->max_block;
    return largest_packet;
}

// The demuxer has no more packets: a stream that ends before the length its
// header announces was cut short, and a fault in its last packet is a cut
// or padded last frame, not damage.
void Stream::Impl::note_stream_end() {
    // Headers may count frames before the decoder's trimming (an MP3
    // encoder's delay and padding, up to about two packets): a stream that
    // ends less than kEndSlackPackets short of its header is whole, and a
    // fault there is junk after its last frame.
    const std::int64_t slack = kEndSlackPackets * std::max<std::int64_t>(1, largest_packet_frames());
    if (damage && (damage->kind == Damage::Kind::CorruptPacket || damage->kind == Damage::Kind::CrcMismatch)) {
        const auto at = static_cast<std::int64_t>(damage->frame);
        if (at >= last_packet_start || (announced_frames > 0 && at + slack >= announced_frames)) damage.reset();
    }
    const std::int64_t present = std::max(next_start, decoded);
    if (announced_frames > 0 && announced_frames - present >= slack)
        note_damage(Damage::Kind::Truncated, present, announced_frames);
}

std::optional<Damage> Stream::damage() const { return impl_->damage; }

void Stream::check_end() {
    Impl& s = *impl_;
    if (s.output_done) return;
    const auto end = static_cast<std::int64_t>(s.source.frames);
    const std::int64_t from = std::max<std::int64_t>(s.position, end - kWindowFrames);
    if (!seek(static_cast<std::uint64_t>(from) * s.source.info.channels * 2)) return;
    s.decode_until(end + 1, true);
}

}  // namespace tolvek::audio
