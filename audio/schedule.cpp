// Which packets a window needs: packets are read in order and placed by
// the frames they give (their codec's count where the container's time base
// cannot count frames exactly); a packet is decoded only when its frames reach into a
// window, after the pre-roll its codec needs to start exactly where a full
// decode would be. Where packets stand alone and a seek's landing can be
// checked (PCM in WAV or AIFF), a long gap is passed over by a seek.
// FLAC in its own container is read by our own search over frame headers
// (flac_frames.h) once the demuxer's first packet agrees with it: frames
// come by their extents, and any gap of a frame or more is passed over.
// FLAC the search cannot read is read through by the demuxer from its
// start, its packets placed by their headers' numbers.
#include <algorithm>
#include <utility>
#include <iterator>
#include <span>
#include <string_view>

#include "audio/stream_impl.h"

extern "C" {
#include <libavutil/intreadwrite.h>
}

namespace tolvek::audio {

namespace {

// An MP3 frame's bit reservoir may reach back this far into the main data
// of the frames before it (the 9-bit main_data_begin field).
constexpr int kMp3ReservoirBytes = 511;
// What an MP3 frame holds besides main data, at most: the 4-byte header,
// 2 bytes of CRC and 32 bytes of side information (MPEG-1 stereo).
constexpr int kMp3OverheadBytes = 38;
// Packets left out that are kept for a later pre-roll; far more than any
// pre-roll reaches back.
constexpr std::size_t kHistoryPackets = 64;
// Size of the skip-samples side data: start and end counts (32 bits each),
// then two reason bytes.
constexpr std::size_t kSkipSamplesBytes = 10;
// Gaps between windows that are passed over by a seek rather than read
// through (doc/reading.md, Seeks; 44.1 kHz stereo music, 1000
// columns). A PCM seek costs about one refill of the demuxer's 32 KiB read
// buffer and saves making a packet of every 4 KiB passed over: gaps from
// one packet up already paid, and a 600 s WAV's windows took 20 ms instead
// of 50. The demuxer's FLAC seeks are never used: where its frame parser
// starts in damaged data decides how it cuts the frames there, so readers
// that seek would see other packets than one that reads through, and a
// seek over a large gap of lost data may not end at all.
constexpr std::int64_t kPcmSeekGapBytes = 8 * 1024;
// MP3 frames in a gap from which they are walked over rather than read: a
// walk and a seek cost about as much as reading this many.
constexpr std::int64_t kMp3PassGapFrames = 16;
// MP3 frames kept from a walk for the pre-roll to choose from: 511 bytes of
// main data lie within 16 frames even at 8 kbps (72-byte frames, of which
// we count all but kMp3OverheadBytes).
constexpr std::size_t kMp3WalkKeptFrames = 24;
// Vorbis blocks are at most 8192 frames long; a packet gives half of one.
constexpr std::int64_t kVorbisLargestBlock = 8192;
// STREAMINFO, as FLAC extradata holds it.
std::optional<FlacStreamInfo> flac_stream_info(const AVCodecParameters& par) {
    if (!par.extradata) return std::nullopt;
    return parse_flac_stream_info({par.extradata, static_cast<std::size_t>(par.extradata_size)});
}

// STREAMINFO's bytes, where they open the extradata: Matroska's may go on
// with further metadata blocks.
constexpr std::size_t kFlacStreamInfoBytes = 34;

// Frames a packet gives before trimming, as its codec tells them: PCM by its
// size, FLAC and MP3 by the frame header; -1 where the codec does not say.
// Containers may round durations (Matroska to the millisecond, 46 ms for a
// 46.44 ms FLAC frame); codecs never do.
std::int64_t codec_frames(AVCodecParameters& par, const AVPacket& pkt) {
    if (!pkt.data || pkt.size <= 0) return -1;
    const std::span<const std::uint8_t> data(pkt.data, static_cast<std::size_t>(pkt.size));
    if (av_get_exact_bits_per_sample(par.codec_id) > 0) {
        const int n = av_get_audio_frame_duration2(&par, pkt.size);
        return n > 0 ? n : -1;
    }
    if (par.codec_id == AV_CODEC_ID_FLAC && par.extradata && par.extradata_size >= static_cast<int>(kFlacStreamInfoBytes)) {
        const std::optional<FlacStreamInfo> si = parse_flac_stream_info({par.extradata, kFlacStreamInfoBytes});
        return si ? flac_frame_block(data, *si) : -1;
    }
    if (par.codec_id == AV_CODEC_ID_MP3) {
        const std::optional<Mp3Header> h = parse_mp3_header(data);
        return h ? h->samples : -1;
    }
    return -1;
}

// A Vorbis header packet's type (0 identification, 1 comment, 2 setup), -1
// for any other packet.
int vorbis_header_type(const AVPacket& pkt) {
    constexpr std::string_view kMagic = "vorbis";
    if (pkt.size < 1 + static_cast<int>(kMagic.size()) || (pkt.data[0] & 1) == 0 || pkt.data[0] > 5 ||
        std::string_view(reinterpret_cast<const char*>(pkt.data) + 1, kMagic.size()) != kMagic)
        return -1;
    return pkt.data[0] >> 1;
}

}  // namespace

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

// A FLAC file in its own container is measured by its last frames where
// STREAMINFO gives no length or more than the data holds: otherwise a file
// claiming hours for seconds of data would be drawn over hours, every
// column past the data looked for in vain.
void Stream::Impl::measure_flac_length() {
    const AVCodecParameters& par = *source.fmt->streams[source.index]->codecpar;
    if (par.codec_id != AV_CODEC_ID_FLAC || std::string_view(source.fmt->iformat->name) != "flac" ||
        !view->is_whole())
        return;
    const std::optional<FlacStreamInfo> info = flac_stream_info(par);
    if (!info) return;
    const std::optional<std::int64_t> end = flac_stream_end(read_at_descriptor(file.fd.get()), *info, file.size);
    if (!end || (info->total > 0 && *end >= info->total)) return;
    known_frames = static_cast<std::uint64_t>(*end);
    claimed_length_wrong = info->total > 0;
    source.frames = *known_frames;
    // The container's average rate, as the demuxer reckons it from a length
    // it knows: the file's bits over its duration.
    if (*end > 0)
        source.codec.bitrate_kbps = static_cast<std::uint32_t>(
            (static_cast<double>(file.size) * 8.0 * source.info.rate / static_cast<double>(*end) + 500.0) / 1000.0);
}

// Places the demuxer's next packet of FLAC in its own container at the
// first frame its header gives, where that is not just after the packet
// before.
void Stream::Impl::place_by_number(const AVPacket& pkt) {
    const AVCodecParameters& par = *source.fmt->streams[source.index]->codecpar;
    if (par.codec_id != AV_CODEC_ID_FLAC || std::string_view(source.fmt->iformat->name) != "flac") return;
    const std::optional<FlacStreamInfo> si = flac_stream_info(par);
    const std::int64_t start = si ? flac_frame_start({pkt.data, static_cast<std::size_t>(pkt.size)}, *si) : -1;
    if (next_index == 0) flac_numbered = start == 0;
    if (!flac_numbered || start < 0 || start == next_start) return;
    // A gap in the numbering: the decoder's run does not go on across it.
    if (start > next_start) note_damage(Damage::Kind::FramesMissing, next_start);
    history.clear();
    ++next_index;
    next_start = start;
}

// Frames a packet gives before trimming, or -1 when we cannot tell.
std::int64_t Stream::Impl::nominal_frames(const AVPacket& pkt) {
    const AVStream* st = source.fmt->streams[source.index];
    if (skipping == Skipping::Vorbis) {
        // The demuxer's durations are not always right for Vorbis; the
        // block sizes in the packets are. The decoder gives nothing for the
        // very first packet, whatever its block size.
        const std::int64_t n = av_vorbis_parse_frame(vorbis.get(), pkt.data, pkt.size);
        return next_index == 0 && n > 0 ? 0 : n;
    }
    // A time base of whole frames counts them exactly; a coarser one (the
    // Matroska millisecond) is not trusted while the codec says.
    const bool exact = st->time_base.num == 1 && st->time_base.den % static_cast<int>(source.info.rate) == 0;
    if (const std::int64_t n = exact ? -1 : codec_frames(*st->codecpar, pkt); n > 0) return n;
    if (pkt.duration > 0)
        return av_rescale_q(pkt.duration, st->time_base, AVRational{1, static_cast<int>(source.info.rate)});
    const std::int64_t n = av_get_audio_frame_duration2(st->codecpar, pkt.size);
    return n == 0 ? -1 : n;
}

// The next packet of our stream, nullptr at the end of the file (or of
// what can be read of it).
PacketPtr Stream::Impl::demux_next() {
    PacketPtr pkt(av_packet_alloc());
    if (!pkt) return nullptr;
    do {
        av_packet_unref(pkt.get());
        if (const int err = av_read_frame(source.fmt.get(), pkt.get()); err < 0) {
            // What cannot be read on is the end of what is there.
            if (err != AVERROR_EOF) note_damage(Damage::Kind::CorruptPacket, next_start);
            return nullptr;
        }
    } while (pkt->stream_index != source.index);
    ++read_count;
    note_lost_pages(*pkt);
    last_read = {pkt->pos, pkt->pts, pkt->duration, pkt->size};
    return pkt;
}

// An Ogg page the demuxer dropped (its CRC failed) shows as a jump in the
// Vorbis packets' timestamps, which count frames: the frames it held are
// missing. A new link of a chained file starts its count again, backwards.
void Stream::Impl::note_lost_pages(const AVPacket& pkt) {
    const AVStream* st = source.fmt->streams[source.index];
    const PtsMark seen = std::exchange(pts_seen, PtsMark{pkt.pts, pkt.duration});
    if (skipping != Skipping::Vorbis || st->time_base.num != 1 || st->time_base.den != static_cast<int>(source.info.rate) ||
        pkt.pts == AV_NOPTS_VALUE || seen.pts == AV_NOPTS_VALUE || seen.duration <= 0)
        return;
    if (pkt.pts - seen.pts > seen.duration + std::max<std::int64_t>(largest_packet, kVorbisLargestBlock))
        note_damage(Damage::Kind::FramesMissing, next_start);
}

// Reads the next packet of our stream and places it. False at the end of
// the file (or of what can be read of it).
bool Stream::Impl::read_packet(Packet& out) {
    if (flac) {
        if (flac->is_last(*flac_last)) return false;
        const std::optional<FlacFrame> f = flac->at(flac_last->offset + flac_last->size, flac_last->end());
        if (PacketPtr pkt = f ? flac_packet(*f) : nullptr) {
            flac_last = f;
            place(std::move(pkt), out);
            return true;
        }
        refuse_flac();
        if (output_done) return false;
    }
    PacketPtr pkt = demux_next();
    if (!pkt) return false;
    place_by_number(*pkt);
    if (next_index == 0) {
        // Where frame 0 is, for seeks to be checked against.
        if (pkt->pts == AV_NOPTS_VALUE) seek_gap_frames = 0;
        origin_pts = pkt->pts;
        origin_pos = pkt->pos;
        if (skipping == Skipping::Mp3 && seek_gap_frames > 0) {
            mp3_first = parse_mp3_header({pkt->data, static_cast<std::size_t>(pkt->size)});
            seek_gap_frames = mp3_first ? kMp3PassGapFrames * mp3_first->samples : 0;
        }
        start_flac_frames(*pkt);
    }
    place(std::move(pkt), out);
    return true;
}

// Takes over from the demuxer after its first packet when the stream is
// FLAC in its own container and that packet is the very frame the frame
// search finds there. Frames are then read by their extents, and any gap
// of a frame or more is passed over; otherwise the demuxer reads every
// packet.
void Stream::Impl::start_flac_frames(const AVPacket& first) {
    const AVCodecParameters& par = *source.fmt->streams[source.index]->codecpar;
    if (par.codec_id != AV_CODEC_ID_FLAC) return;
    // A seek gap for FLAC means the "flac" demuxer, STREAMINFO, timestamps
    // that count frames and a first packet that has one.
    const bool searchable = !flac_refused && seek_gap_frames > 0 && view->is_whole() && first.pos >= 0;
    seek_gap_frames = 0;
    if (!searchable) return;
    std::optional<FlacStreamInfo> info = flac_stream_info(par);
    if (!info) return;
    if (known_frames) info->total = static_cast<std::int64_t>(*known_frames);
    auto frames = std::make_unique<FlacFrames>(read_at_descriptor(file.fd.get()), *info, file.size);
    const std::optional<FlacFrame> f = frames->at(static_cast<std::uint64_t>(first.pos), 0);
    if (!f || f->size != static_cast<std::uint64_t>(first.size) || f->frames != first.duration) {
        flac_refused = true;
        return;
    }
    flac = std::move(frames);
    flac_last = f;
    seek_gap_frames = info->max_block;
}

// A packet of the frame's bytes, stamped as the demuxer stamps its own.
PacketPtr Stream::Impl::flac_packet(const FlacFrame& f) {
    const std::span<const std::uint8_t> bytes = flac->bytes(f);
    PacketPtr pkt(av_packet_alloc());
    if (bytes.empty() || !pkt || av_new_packet(pkt.get(), static_cast<int>(bytes.size())) < 0) return nullptr;
    std::copy(bytes.begin(), bytes.end(), pkt->data);
    pkt->pts = pkt->dts = origin_pts + f.start;
    pkt->duration = f.frames;
    pkt->pos = static_cast<std::int64_t>(f.offset);
    pkt->stream_index = source.index;
    pkt->flags = AV_PKT_FLAG_KEY;
    ++read_count;
    return pkt;
}

// Goes to the frame that holds `target`, and places it in `pending`.
bool Stream::Impl::jump_flac(std::int64_t target) {
    const std::optional<FlacFrame> f = flac->holding(target, *flac_last);
    PacketPtr pkt = f ? flac_packet(*f) : nullptr;
    if (!pkt) return false;
    flac_last = f;
    land(std::move(pkt), f->start);
    return true;
}

// A frame did not check: the demuxer, opened afresh, reads the stream
// from its start, as it reads any FLAC file the search cannot, so that
// every reader sees the packets it cuts from the damaged data alike.
void Stream::Impl::refuse_flac() {
    flac_refused = true;
    reopen();
}

// The demuxer opened afresh, reading on from the start.
void Stream::Impl::reopen() {
    if (Status reopened = open_demuxer(); !reopened) {
        if (decode_status) decode_status = std::move(reopened);
        run_active = false;
        output_done = true;
    }
}

// Takes a Vorbis header packet: the next link of a chained Ogg file opens
// with its three headers, which the decoder sets itself up anew from, and
// the link's block sizes are read by them. False for any other packet.
bool Stream::Impl::take_vorbis_header(const AVPacket& pkt) {
    const int type = vorbis_header_type(pkt);
    if (type < 0) return false;
    auto& header = vorbis_headers[static_cast<std::size_t>(type)];
    header.assign(pkt.data, pkt.data + pkt.size);
    if (type < 2) return true;
    // The three as extradata: 2, the first two's sizes in Xiph lacing, then
    // all three.
    std::vector<std::uint8_t> extradata{2};
    for (std::size_t k = 0; k < 2; ++k) {
        std::size_t n = vorbis_headers[k].size();
        for (; n >= 255; n -= 255) extradata.push_back(255);
        extradata.push_back(static_cast<std::uint8_t>(n));
    }
    for (const auto& h : vorbis_headers) extradata.insert(extradata.end(), h.begin(), h.end());
    extradata.resize(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    vorbis.reset(av_vorbis_parse_init(extradata.data(), static_cast<int>(extradata.size() - AV_INPUT_BUFFER_PADDING_SIZE)));
    // Headers that do not parse: block sizes are unknown from here on.
    if (!vorbis) skipping = Skipping::None;
    return true;
}

// Places a packet just read at next_start.
void Stream::Impl::place(PacketPtr pkt, Packet& out) {
    // A link's headers give no frames; the decoder must see them.
    const bool header = skipping == Skipping::Vorbis && take_vorbis_header(*pkt);
    std::int64_t nominal = header ? 0 : nominal_frames(*pkt);
    if (nominal < 0) {
        // A packet we cannot place: from here on every packet is decoded
        // and counted by what the decoder gives.
        skipping = Skipping::None;
        seek_gap_frames = 0;
        nominal = 0;
    }
    // Trimming the decoder applies: encoder delay at the start, padding at
    // the end, whole packets flagged for discarding.
    const std::int64_t carried = skip_carry;
    std::int64_t skip_start = carried, skip_end = 0;
    std::size_t sd_size = 0;
    if (const std::uint8_t* sd = av_packet_get_side_data(pkt.get(), AV_PKT_DATA_SKIP_SAMPLES, &sd_size);
        sd && sd_size >= kSkipSamplesBytes) {
        skip_start += AV_RL32(sd);
        skip_end = AV_RL32(sd + 4);
    }
    // Trimming that spans packets is only done alike when the decoder sees
    // every packet it spans.
    out.required = header || carried > 0 || skip_start > nominal;
    skip_carry = std::max<std::int64_t>(0, skip_start - nominal);
    out.frames = (pkt->flags & AV_PKT_FLAG_DISCARD) ? 0 : std::max<std::int64_t>(0, nominal - skip_start - skip_end);
    out.index = next_index++;
    out.start = next_start;
    last_packet_start = next_start;
    largest_packet = std::max(largest_packet, nominal);
    next_start += out.frames;
    out.data = std::move(pkt);
}

// The gap in frames from which packets are passed over by a seek, 0 when
// the demuxer's seeks cannot be checked to land exactly. They can be for
// PCM in WAV or AIFF, where a seek goes to the byte position of a frame.
// Timestamps must count frames. MP3 frames are walked over instead, FLAC
// frames passed over by the frame search; their gaps are set once the
// first frame is read.
std::int64_t Stream::Impl::exact_seek_gap() const {
    if (skipping == Skipping::Mp3) return std::string_view(source.fmt->iformat->name) == "mp3" ? 1 : 0;
    if (skipping != Skipping::Independent) return 0;
    const AVStream* st = source.fmt->streams[source.index];
    if (st->time_base.num != 1 || st->time_base.den != static_cast<int>(source.info.rate)) return 0;
    const std::string_view demuxer = source.fmt->iformat->name;
    const AVCodecParameters& par = *st->codecpar;
    // FLAC: frames are passed over by the frame search, if it takes over
    // (start_flac_frames), never by the demuxer.
    if (par.codec_id == AV_CODEC_ID_FLAC) return demuxer == "flac" && flac_stream_info(par) ? 1 : 0;
    if ((demuxer != "wav" && demuxer != "aiff") || par.block_align <= 0) return 0;
    return std::max<std::int64_t>(1, kPcmSeekGapBytes / par.block_align);
}

// The frame a packet read just after a seek starts at, checked against
// what the packet itself says; -1 when it cannot be trusted.
std::int64_t Stream::Impl::verified_start(const AVPacket& pkt) const {
    if (pkt.pts == AV_NOPTS_VALUE) return -1;
    const std::int64_t start = pkt.pts - origin_pts;
    const AVCodecParameters& par = *source.fmt->streams[source.index]->codecpar;
    // PCM: the packet lies where its first frame is, counted from the first
    // packet's position.
    return origin_pos >= 0 && pkt.pos >= 0 && pkt.pos - origin_pos == start * par.block_align ? start : -1;
}

// Moves the demuxer to the packet that holds frame `target`, and places that
// packet in `pending`. False when the seek failed or did not land exactly:
// the demuxer is then somewhere unknown.
bool Stream::Impl::seek_demuxer(std::int64_t target) {
    if (av_seek_frame(source.fmt.get(), source.index, origin_pts + target, AVSEEK_FLAG_BACKWARD) < 0) return false;
    pts_seen = {};  // the jump is the seek's
    PacketPtr pkt = demux_next();
    if (!pkt) return false;
    const std::int64_t start = verified_start(*pkt);
    if (start < 0 || start > target) return false;
    land(std::move(pkt), start);
    return true;
}

// Places the packet a seek landed on, starting at frame `start`, in `pending`.
void Stream::Impl::land(PacketPtr pkt, std::int64_t start) {
    history.clear();
    // A gap in the numbering: the decoder's run does not go on across it.
    ++next_index;
    next_start = start;
    Packet p;
    place(std::move(pkt), p);
    pending = std::move(p);
}

// Passes MP3 frames before the position by walking their headers, then
// seeks the demuxer to the first frame the pre-roll may need: a place its
// index is given, which it seeks to exactly, counting time on from the
// timestamp given with it, so that the end is still trimmed as in a read
// from the start. NotWorthIt where it would save too little; Failed where
// the walk stopped or the demuxer did not land on the walked frame.
Stream::Impl::Pass Stream::Impl::pass_over_mp3_frames() {
    AVStream* st = source.fmt->streams[source.index];
    const std::int64_t samples = mp3_first->samples;
    if (last_read.pos < 0 || last_read.pts == AV_NOPTS_VALUE ||
        av_rescale_q(last_read.duration, st->time_base, AVRational{1, static_cast<int>(source.info.rate)}) != samples)
        return Pass::NotWorthIt;
    // Frames on from the first unread one to the one holding the position.
    const std::int64_t target = (position - next_start) / samples;
    const std::vector<Mp3Frame> walked =
        walk_mp3_frames(view_reader(file.fd.get(), *view), static_cast<std::uint64_t>(last_read.pos + last_read.size),
                        *mp3_first, target, kMp3WalkKeptFrames);
    // Bytes that are not frames (damage, or the end passed): the file is
    // read from its start, as before, rather than trusting the parser to
    // cut them alike when it starts reading elsewhere.
    if (walked.empty()) return Pass::Failed;
    if (walked.size() < 3) return Pass::NotWorthIt;
    // As preroll_for() chooses: the frame before the target, then frames
    // before that until they hold a reservoir's main data; one more to spare.
    std::size_t first = walked.size() - 2;
    for (int main_data = 0; first > 0 && main_data < kMp3ReservoirBytes;)
        main_data += std::max(0, walked[--first].bytes - kMp3OverheadBytes);
    if (first == 0) return Pass::NotWorthIt;  // the walk began too late to hold the whole pre-roll
    --first;
    const std::int64_t skipped = target - static_cast<std::int64_t>(walked.size() - 1 - first);
    if (skipped < kMp3PassGapFrames) return Pass::NotWorthIt;
    const Mp3Frame& to = walked[first];
    const std::int64_t pts = last_read.pts + (skipped + 1) * last_read.duration;
    // The frame after it too, so that the seek finds the landing inside the
    // index rather than reading on from its last entry.
    if (av_add_index_entry(st, static_cast<std::int64_t>(to.pos), pts, to.bytes, 0, AVINDEX_KEYFRAME) < 0 ||
        av_add_index_entry(st, static_cast<std::int64_t>(walked[first + 1].pos), pts + last_read.duration,
                           walked[first + 1].bytes, 0, AVINDEX_KEYFRAME) < 0 ||
        av_seek_frame(source.fmt.get(), source.index, pts, AVSEEK_FLAG_BACKWARD) < 0)
        return Pass::Failed;
    PacketPtr pkt = demux_next();
    if (!pkt || pkt->pos != static_cast<std::int64_t>(to.pos) || pkt->pts != pts || pkt->size != to.bytes ||
        (pkt->flags & AV_PKT_FLAG_DISCARD) || av_packet_get_side_data(pkt.get(), AV_PKT_DATA_SKIP_SAMPLES, nullptr))
        return Pass::Failed;
    // Not trimmed, so neither was any frame passed over: each gives all its
    // samples.
    next_index += skipped;
    land(std::move(pkt), next_start + skipped * samples);
    return Pass::Done;
}

// Passes over the packets before the position by a seek when they are
// many. A seek that proves inexact is not tried again: the demuxer is
// opened afresh and read on from the start, as without seeking.
void Stream::Impl::skip_ahead() {
    // Frame 0's timestamp and place are known once the first packet is read.
    if (seek_gap_frames == 0 || seek_refused || next_index == 0 || skip_carry > 0) return;
    if (skipping != Skipping::Independent && !(skipping == Skipping::Mp3 && mp3_first)) return;
    const std::int64_t next = pending ? pending->start : next_start;
    const std::int64_t target = position;
    if (target - next < seek_gap_frames || target >= static_cast<std::int64_t>(source.frames)) return;
    if (flac) {
        if (!jump_flac(target)) refuse_flac();
        return;
    }
    if (skipping == Skipping::Mp3) {
        // A walk not taken is not tried again for the same window: reading
        // on, each packet would walk the same frames again.
        if (position == mp3_pass_declined_at) return;
        const Pass pass = pass_over_mp3_frames();
        if (pass == Pass::NotWorthIt) mp3_pass_declined_at = position;
        if (pass != Pass::Failed) return;
    } else if (seek_demuxer(target)) {
        return;
    }
    seek_refused = true;
    reopen();
}

// The packets that must be decoded before `p` after a flush, oldest first,
// taken from the history of packets left out.
std::vector<Packet*> Stream::Impl::preroll_for(const Packet& p) {
    std::vector<Packet*> chosen;
    if (skipping == Skipping::Independent || history.empty() || history.back().index != p.index - 1) return chosen;
    chosen.push_back(&history.back());
    if (skipping == Skipping::Mp3) {
        // The frame before gives the overlap; the frames before that must
        // hold the main data its bit reservoir may reach back to.
        int main_data = 0;
        for (auto it = std::next(history.rbegin()); it != history.rend() && main_data < kMp3ReservoirBytes; ++it) {
            if (it->index != chosen.back()->index - 1) break;
            chosen.push_back(&*it);
            main_data += std::max(0, it->data->size - kMp3OverheadBytes);
        }
    }
    std::reverse(chosen.begin(), chosen.end());
    return chosen;
}

// Keeps the first decoder failure of the window, in FFmpeg's words. A
// packet that stands alone gave nothing: the run ends, so that the next
// packet's frames are counted from where it is placed, not from where the
// lost one began.
void Stream::Impl::note_decode_failure(int err, std::int64_t frame) {
    note_damage(Damage::Kind::CorruptPacket, frame);
    if (decode_status) decode_status = Status::fail(kErrorDecode, av_text(err));
    if (skipping == Skipping::Independent) run_active = false;
}

void Stream::Impl::send(Packet& p) {
    receive();  // the decoder takes no input while output waits
    // A damaged packet is refused by the decoder and left out, as a player
    // would; the window reports it.
    // FLAC frames the frame search did not find are checked here; the
    // decoder's own check would drop them and change the picture.
    if (!flac && source.dec->codec_id == AV_CODEC_ID_FLAC && p.data &&
        !flac_crc16_checks({p.data->data, static_cast<std::size_t>(p.data->size)}))
        note_damage(Damage::Kind::CrcMismatch, p.start);
    if (const int err = avcodec_send_packet(source.dec.get(), p.data.get()); err < 0) note_decode_failure(err, p.start);
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
    avcodec_flush_buffers(source.dec.get());
    const Packet& first = preroll.empty() ? p : *preroll.front();
    // After a flush the Vorbis decoder gives nothing for its first packet.
    decoded = first.start + (skipping == Skipping::Vorbis ? first.frames : 0);
    // Frames lost before the run (a gap in a damaged file) are silence, so
    // that a window over the gap keeps what it has on either side.
    if (!mono.empty() && decoded > mono.end() && decoded - mono.end() < window_frames()) mono.pad(decoded - mono.end());
    if (!mono.empty() && mono.end() != decoded) mono.clear();
    run_active = true;
    for (Packet* q : preroll) send(*q);
}

// Takes every frame the decoder has ready.
void Stream::Impl::receive() {
    if (!run_active) return;
    int err;
    while ((err = avcodec_receive_frame(source.dec.get(), frame.get())) == 0) {
        take(*frame);
        av_frame_unref(frame.get());
    }
    if (err == AVERROR_EOF) run_active = false;
    // Any other answer than "more input" or "the end" is a damaged stretch:
    // decoding goes on with the next packet.
    else if (err != AVERROR(EAGAIN)) note_decode_failure(err, decoded);
}

// The file has no more packets: drain the decoder.
void Stream::Impl::finish() {
    if (run_active) {
        avcodec_send_packet(source.dec.get(), nullptr);
        receive();
    }
    run_active = false;
    output_done = true;
}

// Decodes until every frame before `end` is in hand or the stream ends.
// Packets are read on in order unless `may_seek` and a seek pays.
void Stream::Impl::decode_until(std::int64_t end, bool may_seek) {
    while (!output_done) {
        receive();
        if (run_active && decoded >= end) return;
        if (may_seek) skip_ahead();
        Packet p;
        if (pending) {
            p = std::move(*pending);
            pending.reset();
        } else if (!read_packet(p)) {
            finish();
            note_stream_end();
            return;
        }
        if (skipping != Skipping::None && p.start >= end && !p.required) {
            pending = std::move(p);
            return;
        }
        const bool needed = skipping == Skipping::None || p.required || p.start + p.frames > position;
        if (!needed) {
            history.push_back(std::move(p));
            if (history.size() > kHistoryPackets) history.pop_front();
            continue;
        }
        start_run(p);
        send(p);
    }
}

}  // namespace tolvek::audio
