// Which packets a window needs: packets are read in order and placed by
// their durations; a packet is decoded only when its frames reach into a
// window, after the pre-roll its codec needs to start exactly where a full
// decode would be.
#include <algorithm>
#include <iterator>

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
    if (pkt.duration > 0)
        return av_rescale_q(pkt.duration, st->time_base, AVRational{1, static_cast<int>(source.info.rate)});
    const std::int64_t n = av_get_audio_frame_duration2(st->codecpar, pkt.size);
    return n == 0 ? -1 : n;
}

// Reads the next packet of our stream and places it. False at the end of
// the file (or of what can be read of it).
bool Stream::Impl::read_packet(Packet& out) {
    PacketPtr pkt(av_packet_alloc());
    if (!pkt) return false;
    do {
        av_packet_unref(pkt.get());
        if (av_read_frame(source.fmt.get(), pkt.get()) < 0) return false;
    } while (pkt->stream_index != source.index);

    std::int64_t nominal = nominal_frames(*pkt);
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
    if (const std::uint8_t* sd = av_packet_get_side_data(pkt.get(), AV_PKT_DATA_SKIP_SAMPLES, &sd_size);
        sd && sd_size >= kSkipSamplesBytes) {
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

// Keeps the first decoder failure of the window, in FFmpeg's words.
void Stream::Impl::note_decode_failure(int err) {
    if (decode_status) decode_status = Status::fail(kErrorDecode, av_text(err));
}

void Stream::Impl::send(Packet& p) {
    receive();  // the decoder takes no input while output waits
    // A damaged packet is refused by the decoder and left out, as a player
    // would; the window reports it.
    if (const int err = avcodec_send_packet(source.dec.get(), p.data.get()); err < 0) note_decode_failure(err);
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
    if (!mono.empty() && mono.start + static_cast<std::int64_t>(mono.size()) != decoded) mono.clear();
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
    else if (err != AVERROR(EAGAIN)) note_decode_failure(err);
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
            if (history.size() > kHistoryPackets) history.pop_front();
            continue;
        }
        start_run(p);
        send(p);
    }
}

}  // namespace tolvek::audio
