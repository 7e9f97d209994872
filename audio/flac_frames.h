// Where the frames of a raw FLAC stream lie, found from their headers, so
// that sampled reading can go to the frame a window needs without the
// demuxer and its parser packing every frame before it. A frame is only
// ever given once its whole extent checks: its header's CRC-8, the next
// header carrying the next number, and the frame's CRC-16 up to there. A
// false sync inside frame data fails one of these. Frames passed over are
// bounded by their headers alone (a scan for sync bytes, no CRC-16), so a
// missing header is noticed wherever it is. Anything that does not check (a
// damaged or truncated frame, a lost header, junk after the last frame)
// gets no answer, and the caller reads the file the ordinary way instead.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "audio/file_view.h"

namespace tolvek::audio {

// What of STREAMINFO the search needs.
struct FlacStreamInfo {
    std::int64_t min_block = 0;  // frames per block; equal in a stream of fixed block size
    std::int64_t max_block = 0;
    std::uint32_t rate = 0;
    int channels = 0;
    int bits = 0;
    std::int64_t total = 0;  // frames in the stream, 0 when unknown
};

// STREAMINFO's 34 bytes (as FFmpeg's extradata holds them), or nothing when
// they are not that.
std::optional<FlacStreamInfo> parse_flac_stream_info(std::span<const std::uint8_t> bytes);

// Whether the frame's CRC-16 (its last two bytes, over all before them)
// checks.
bool flac_crc16_checks(std::span<const std::uint8_t> frame);

// The first frame (sample) a frame's header gives, when `frame` opens with
// a header of this stream (CRC-8 checking, fields agreeing with `si`); -1
// otherwise, or where frame numbers do not count blocks of one size.
std::int64_t flac_frame_start(std::span<const std::uint8_t> frame, const FlacStreamInfo& si);

// The block size (frames) a frame's header gives, when `frame` opens with a
// header of this stream; -1 otherwise.
std::int64_t flac_frame_block(std::span<const std::uint8_t> frame, const FlacStreamInfo& si);

struct FlacFrame {
    std::uint64_t offset = 0;  // of its header
    std::uint64_t size = 0;    // bytes, header to CRC-16
    std::int64_t start = 0;    // its first frame (sample) in the stream
    std::int64_t frames = 0;   // its block size
    std::int64_t end() const { return start + frames; }
};

class FlacFrames {
public:
    // The audio data runs up to `data_end` (the file's size).
    FlacFrames(ReadAt read_at, const FlacStreamInfo& info, std::uint64_t data_end);

    // The frame whose header is at `offset` and which starts at `start`.
    std::optional<FlacFrame> at(std::uint64_t offset, std::int64_t start);
    // The frame that holds `sample`, reached from `from` (a frame given
    // before, starting at or before it) header by header.
    std::optional<FlacFrame> holding(std::int64_t sample, const FlacFrame& from);
    // True when `f` reaches the end of the audio data.
    bool is_last(const FlacFrame& f) const { return f.offset + f.size == data_end_; }
    // The bytes of `f`, read again if need be; empty when they cannot be.
    // Valid until the next call.
    std::span<const std::uint8_t> bytes(const FlacFrame& f);

    struct Header;  // a frame header's fields (flac_frames.cpp)

private:
    friend std::optional<std::int64_t> flac_stream_end(ReadAt read_at, FlacStreamInfo info, std::uint64_t data_end);
    // The end (in frames) of the last frame that checks in the data from
    // `from` on, counting a frame that follows it in order but does not
    // check (cut short, or followed by junk); nothing when none checks.
    std::optional<std::int64_t> end_after(std::uint64_t from);
    std::optional<Header> header_at(std::uint64_t offset);
    // The frame whose header is at `offset`, up to the next frame's header;
    // `check_crc`: its CRC-16 must check too.
    std::optional<FlacFrame> bound(std::uint64_t offset, bool check_crc);
    bool load(std::uint64_t from, std::uint64_t want);
    std::span<const std::uint8_t> loaded(std::uint64_t from) const;

    ReadAt read_at_;
    FlacStreamInfo info_;
    std::uint64_t data_end_;
    std::uint64_t frame_bytes_max_;  // no frame is larger, whatever its coding
    int blocking_ = -1;              // the stream's blocking-strategy bit, once a frame gave it
    std::vector<std::uint8_t> buf_;  // buf_size_ file bytes from buf_offset_
    std::uint64_t buf_offset_ = 0;
    std::uint64_t buf_size_ = 0;
    bool read_failed_ = false;
};

// Where the stream truly ends, in frames, as its last frames give it: what
// a STREAMINFO that says nothing (total 0, as a streamed encode writes) or
// claims more than the data holds is measured against. Found in the last
// two largest frames' worth of the data up to `data_end`, reaching further
// back (each time twice as far) only while no frame there checks; nothing
// when none checks anywhere, or where frame numbers do not count blocks of
// one size. `info.total` plays no part.
std::optional<std::int64_t> flac_stream_end(ReadAt read_at, FlacStreamInfo info, std::uint64_t data_end);

}  // namespace tolvek::audio
