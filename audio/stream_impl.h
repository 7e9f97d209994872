// The state behind a Stream, shared by the layer's parts: the source
// (source.cpp), the packet scheduler (schedule.cpp) and the mix-down
// (mixdown.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "audio/flac_frames.h"
#include "audio/libav.h"
#include "audio/mp3_frames.h"
#include "audio/sample_facts.h"
#include "audio/source.h"
#include "audio/spectrum.h"
#include "common/file.h"

extern "C" {
#include <libavcodec/vorbis_parser.h>
}

namespace tolvek::audio {

// How a codec's packets may be left out of decoding, and how much of the
// past a packet needs after the decoder was flushed, so that every window
// is still exactly what a full decode gives.
enum class Skipping {
    None,         // unknown to us: every packet is decoded
    Independent,  // PCM, FLAC: each packet stands alone
    Mp3,          // the packet before (overlap) and kMp3ReservoirBytes of main data before that
    Vorbis,       // the packet before; the first packet after a flush gives no samples
};

Skipping skipping_for(AVCodecID id);

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

// Frames [start, start + size()) of the stream, each channel group mixed to
// mono in its own buffer, and every channel of them as decoded (16-bit,
// interleaved, `channels` a frame), for the levels of just the frames a read
// counts; all buffers hold the same frames.
struct MonoBuffers {
    std::vector<ChannelGroup> groups{ChannelGroup{}};
    std::vector<std::vector<float>> data = std::vector<std::vector<float>>(1);
    std::vector<std::int16_t> samples;
    std::size_t channels = 1;
    std::int64_t start = 0;

    std::size_t size() const { return data.front().size(); }
    bool empty() const { return data.front().empty(); }
    std::int64_t end() const { return start + static_cast<std::int64_t>(size()); }
    // Appends `n` frames of silence.
    void pad(std::int64_t n);
    void clear() {
        for (std::vector<float>& d : data) d.clear();
        samples.clear();
    }
    // Forgets the first `n` frames (at most all of them).
    void drop_front(std::int64_t n);
};

struct Stream::Impl {
    RegularFile file;  // opened once; every demuxer reads this descriptor
    // What of it the demuxers are shown; made once, shared with siblings.
    std::shared_ptr<const FileView> view;
    std::string name;  // only a hint at the format, never opened again
    Source source;
    // What the file holds, where the container's length could not be taken:
    // a FLAC file's last frame that checks (schedule.cpp), else what a full
    // decode gives (length.cpp). Found once, it stands for the container's
    // on every open, siblings' included.
    std::optional<std::uint64_t> known_frames;
    bool claimed_length_wrong = false;  // the container claimed more than the file holds
    // Faults (damage.cpp): the first found, by where it lies.
    std::optional<Damage> damage;
    // The length the container states, where it states one rather than
    // estimating it from the bit rate; 0 otherwise.
    std::int64_t announced_frames = 0;
    std::int64_t largest_packet = 0;      // frames of the largest packet placed
    std::int64_t last_packet_start = 0;   // where the last packet read begins

    // Reading. Packets are read in order, each placed by the frames it
    // gives; only those a window needs are decoded, each run of them
    // preceded by the packets its codec needs to start exactly (its
    // pre-roll). Packets that stand alone may be passed over by a seek
    // checked to land exactly.
    Skipping skipping = Skipping::None;
    std::unique_ptr<AVVorbisParseContext, VorbisParserFree> vorbis;
    std::array<std::vector<std::uint8_t>, 3> vorbis_headers;  // of a chained link, as they come
    // Packets far before the position are passed over by moving the
    // demuxer, where its landing can be checked (schedule.cpp).
    std::int64_t seek_gap_frames = 0;  // gaps from this long are sought; 0: never
    bool seek_refused = false;     // a seek proved inexact: never again for this stream
    // FLAC frames found by their headers rather than by the demuxer, once
    // the first packet checked against them and for as long as every frame
    // does (schedule.cpp); a frame that does not check hands the stream
    // back to the demuxer for good.
    std::unique_ptr<FlacFrames> flac;
    std::optional<FlacFrame> flac_last;  // the frame read last from it
    bool flac_refused = false;
    // FLAC packets the demuxer gives are placed by their headers' numbers
    // (a stream numbered from 0), not one after another: across a gap of
    // lost frames every reader then puts the frames after it in one place,
    // however it got there.
    bool flac_numbered = false;
    std::int64_t origin_pts = 0;   // timestamp of frame 0
    std::int64_t origin_pos = -1;  // file position of the first packet, -1 before it is read
    // The last packet read, where a walk over the frames after it starts.
    struct ReadMark {
        std::int64_t pos = -1;
        std::int64_t pts = AV_NOPTS_VALUE;
        std::int64_t duration = 0;
        int size = 0;
    } last_read;
    // MP3: the first frame's header; its frames are passed over by walking
    // their headers (mp3_frames.h).
    std::optional<Mp3Header> mp3_first;
    std::int64_t mp3_pass_declined_at = -1;  // the position a walk was last not taken for
    std::uint64_t read_count = 0;  // packets read from the file
    std::deque<Packet> history;     // read and not decoded, newest last
    std::optional<Packet> pending;  // read, but after the window being filled
    std::int64_t next_index = 0;    // of the next packet read
    std::int64_t next_start = 0;    // its first frame
    std::int64_t skip_carry = 0;    // start trimming that runs on into later packets
    std::int64_t last_sent = -1;    // index of the last packet decoded
    bool run_active = false;        // the decoder holds packets up to last_sent
    bool output_done = false;       // nothing more will come
    std::uint64_t sent_count = 0;
    Status decode_status;           // the first decoder failure of the window being filled

    FramePtr frame{av_frame_alloc()};
    std::int64_t decoded = 0;   // frame index of the decoder's next output
    std::int64_t position = 0;  // frame of the current position
    MonoBuffers mono;           // frames from mono.start, each channel group mixed to mono
    SampleTap tap;              // every decoded frame in its own format (sample_facts.cpp)

    SwrPtr swr;
    Layout swr_layout;
    int swr_format = -1;
    int swr_rate = 0;
    std::vector<std::int16_t> pcm;

    std::unique_ptr<SpectrumAnalyzer> fft = std::make_unique<SpectrumAnalyzer>();
    std::vector<float> window = std::vector<float>(kWindowFrames);
    std::vector<float> scratch = std::vector<float>(kSpectrumBins);  // a window's spectrum before it joins the maximum
    int window_frames() const { return fft->shape().frames; }
    int bins() const { return fft->shape().bins(); }

    // A fresh demuxer and decoder over `file` (source.cpp), with the reading
    // state reset to the start of the stream.
    Status open_demuxer();

    // length.cpp: measures the length where the container's is doubtful,
    // then reopens the demuxer.
    Status settle_length();
    std::optional<std::int64_t> placed_length();
    std::int64_t decoded_length();
    // Every packet from the demuxer's place on, through the decoder, each
    // frame it gives handed to `take_frame`; refused packets give nothing.
    void decode_every_packet(const std::function<void(const AVFrame&)>& take_frame);

    // schedule.cpp
    void measure_flac_length();
    void place_by_number(const AVPacket& pkt);
    std::int64_t nominal_frames(const AVPacket& pkt);
    bool read_packet(Packet& out);
    PacketPtr demux_next();
    // The packet read last by the demuxer since it was opened or moved:
    // where lost Ogg pages show as a jump (note_lost_pages).
    struct PtsMark {
        std::int64_t pts = AV_NOPTS_VALUE;
        std::int64_t duration = 0;
    } pts_seen;
    void note_lost_pages(const AVPacket& pkt);
    void place(PacketPtr pkt, Packet& out);
    bool take_vorbis_header(const AVPacket& pkt);
    std::vector<Packet*> preroll_for(const Packet& p);
    void start_run(const Packet& p);
    void send(Packet& p);
    void receive();
    void finish();
    // `may_seek`: packets before the position may be passed over by a seek.
    void decode_until(std::int64_t end, bool may_seek);
    std::int64_t exact_seek_gap() const;
    std::int64_t verified_start(const AVPacket& pkt) const;
    bool seek_demuxer(std::int64_t target);
    enum class Pass { Done, NotWorthIt, Failed };
    Pass pass_over_mp3_frames();
    void land(PacketPtr pkt, std::int64_t start);
    void start_flac_frames(const AVPacket& first);
    PacketPtr flac_packet(const FlacFrame& f);
    bool jump_flac(std::int64_t target);
    void refuse_flac();
    void reopen();
    void skip_ahead();
    void note_decode_failure(int err, std::int64_t frame);

    // damage.cpp
    void note_damage(Damage::Kind kind, std::int64_t frame, std::int64_t announced = 0);
    // As the stream is opened, with the length the container first claimed.
    void check_ends(std::int64_t claimed_frames);
    std::int64_t largest_packet_frames() const;
    void note_stream_end();

    // sample_facts.cpp: every frame, in order, to the tap alone.
    void decode_whole_for_tap();

    // mixdown.cpp
    void take(const AVFrame& f);
    bool to_s16(const AVFrame& f);
    void fill_window(std::size_t group);
    void take_samples(int channels, std::int64_t skip, std::int64_t count, std::int64_t got);
    // Adds the levels of the buffered frames in [from, to).
    void add_levels(std::int64_t from, std::int64_t to, Levels& out) const;
    // The spectrum of `group` over the window at the current position.
    void analyze_window(std::size_t group, std::span<float> out);
};

}  // namespace tolvek::audio
