#include "audio/flac_frames.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

extern "C" {
#include <libavutil/crc.h>
}

namespace tolvek::audio {

namespace {

constexpr std::size_t kStreamInfoBytes = 34;
// Sync (2), block size, rate, channels and sample size (2), the number (up
// to 7), a block size and a rate that follow it (up to 2 each), CRC-8.
constexpr std::uint64_t kMaxHeaderBytes = 16;
// Bytes read at a time; a few frames of CD-quality audio.
constexpr std::uint64_t kReadBytes = 64 * 1024;

std::uint64_t read_be(std::span<const std::uint8_t> d, std::size_t at, std::size_t bytes) {
    std::uint64_t v = 0;
    for (std::size_t k = 0; k < bytes; ++k) v = (v << 8) | d[at + k];
    return v;
}

// CRC-16 (polynomial 0x8005, most significant bit first) sixteen bytes at
// a time: table k gives a byte's part followed by k zero bytes. Every frame
// handed to the decoder is checked: at the speed of FFmpeg's CRC (four
// bytes at a time, about 1 GB/s) that took 11 ms of converting a 180 s
// file of 28 MB; this is about four times as fast.
using Crc16Tables = std::array<std::array<std::uint16_t, 256>, 16>;
constexpr Crc16Tables make_crc16_tables() {
    Crc16Tables t{};
    for (unsigned i = 0; i < 256; ++i) {
        auto c = static_cast<std::uint16_t>(i << 8);
        for (int k = 0; k < 8; ++k) c = static_cast<std::uint16_t>(c & 0x8000 ? (c << 1) ^ 0x8005 : c << 1);
        t[0][i] = c;
    }
    for (std::size_t k = 1; k < t.size(); ++k)
        for (unsigned i = 0; i < 256; ++i)
            t[k][i] = static_cast<std::uint16_t>((t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 8]);
    return t;
}
constexpr Crc16Tables kCrc16 = make_crc16_tables();

// One stride of bytes at `b` into the CRC `c`: the first two bytes meet
// the CRC, every byte takes its own table.
template <std::size_t... K>
unsigned crc16_stride(const std::uint8_t* b, unsigned c, std::index_sequence<K...>) {
    constexpr std::size_t last = kCrc16.size() - 1;
    return kCrc16[last][b[0] ^ (c >> 8)] ^ kCrc16[last - 1][b[1] ^ (c & 0xff)] ^ (kCrc16[last - 2 - K][b[K + 2]] ^ ...);
}

}  // namespace

bool flac_crc16_checks(std::span<const std::uint8_t> frame) {
    constexpr std::size_t kStride = kCrc16.size();
    unsigned c = 0;
    std::size_t i = 0;
    for (; i + kStride <= frame.size(); i += kStride)
        c = crc16_stride(frame.data() + i, c, std::make_index_sequence<kStride - 2>{});
    for (; i < frame.size(); ++i) c = ((c << 8) & 0xffff) ^ kCrc16[0][(c >> 8) ^ frame[i]];
    // Taken over the whole frame, its own CRC-16 included, the CRC is 0.
    return c == 0;
}

std::optional<FlacStreamInfo> parse_flac_stream_info(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kStreamInfoBytes) return std::nullopt;
    FlacStreamInfo si;
    si.min_block = static_cast<std::int64_t>(read_be(bytes, 0, 2));
    si.max_block = static_cast<std::int64_t>(read_be(bytes, 2, 2));
    // Rate (20 bits), channels - 1 (3), bits per sample - 1 (5), total
    // frames (36).
    const std::uint64_t packed = read_be(bytes, 10, 8);
    si.rate = static_cast<std::uint32_t>(packed >> 44);
    si.channels = static_cast<int>((packed >> 41) & 0x7) + 1;
    si.bits = static_cast<int>((packed >> 36) & 0x1f) + 1;
    si.total = static_cast<std::int64_t>(packed & ((std::uint64_t{1} << 36) - 1));
    if (si.max_block < 16 || si.min_block > si.max_block || si.rate == 0) return std::nullopt;
    return si;
}

struct FlacFrames::Header {
    std::uint64_t bytes = 0;
    bool variable = false;   // numbered by sample, not by frame
    std::int64_t number = 0;
    std::int64_t block = 0;
};

namespace {

// The header at the start of `d`, when it is one of this stream's: every
// field valid and agreeing with STREAMINFO, its CRC-8 checking.
std::optional<FlacFrames::Header> parse_header(std::span<const std::uint8_t> d, const FlacStreamInfo& si) {
    if (d.size() < 6 || d[0] != 0xff || (d[1] & 0xfe) != 0xf8 || (d[3] & 0x01) != 0) return std::nullopt;
    FlacFrames::Header h;
    h.variable = (d[1] & 0x01) != 0;
    const int block_code = d[2] >> 4, rate_code = d[2] & 0x0f;
    const int channel_code = d[3] >> 4, bits_code = (d[3] >> 1) & 0x07;
    if (block_code == 0 || rate_code == 15 || channel_code > 10 || bits_code == 3) return std::nullopt;
    const int channels = channel_code < 8 ? channel_code + 1 : 2;
    static constexpr int kBits[] = {0, 8, 12, 0, 16, 20, 24, 32};
    if (channels != si.channels || (bits_code != 0 && kBits[bits_code] != si.bits)) return std::nullopt;
    // The number, coded as UTF-8 is, up to 36 bits in 7 bytes.
    const std::uint8_t lead = d[4];
    int ones = 0;
    while (ones < 8 && (lead & (0x80 >> ones))) ++ones;
    if (ones == 1 || ones == 8) return std::nullopt;
    const std::size_t extra = ones == 0 ? 0 : static_cast<std::size_t>(ones - 1);
    std::size_t at = 5 + extra;
    if (d.size() < at + 5) return std::nullopt;  // the longest tail: block 2, rate 2, CRC-8
    std::int64_t number = ones == 0 ? lead : (lead & (0x7f >> ones));
    for (std::size_t k = 0; k < extra; ++k) {
        if ((d[5 + k] & 0xc0) != 0x80) return std::nullopt;
        number = (number << 6) | (d[5 + k] & 0x3f);
    }
    if (!h.variable && ones > 6) return std::nullopt;  // frame numbers have 31 bits
    h.number = number;
    if (block_code == 1) h.block = 192;
    else if (block_code <= 5) h.block = std::int64_t{576} << (block_code - 2);
    else if (block_code == 6) h.block = d[at++] + 1;
    else if (block_code == 7) h.block = static_cast<std::int64_t>(read_be(d, (at += 2) - 2, 2)) + 1;
    else h.block = std::int64_t{256} << (block_code - 8);
    if (h.block > si.max_block) return std::nullopt;
    static constexpr std::uint32_t kRates[] = {0, 88200, 176400, 192000, 8000, 16000, 22050, 24000,
                                               32000, 44100, 48000, 96000};
    std::uint32_t rate = 0;
    if (rate_code == 0) rate = si.rate;
    else if (rate_code < 12) rate = kRates[rate_code];
    else if (rate_code == 12) rate = d[at++] * 1000u;
    else rate = static_cast<std::uint32_t>(read_be(d, (at += 2) - 2, 2)) * (rate_code == 14 ? 10u : 1u);
    if (rate != si.rate) return std::nullopt;
    if (av_crc(av_crc_get_table(AV_CRC_8_ATM), 0, d.data(), at) != d[at]) return std::nullopt;
    h.bytes = at + 1;
    return h;
}

}  // namespace

std::int64_t flac_frame_start(std::span<const std::uint8_t> frame, const FlacStreamInfo& si) {
    const std::optional<FlacFrames::Header> h = parse_header(frame, si);
    if (!h) return -1;
    if (h->variable) return h->number;
    return si.min_block == si.max_block ? h->number * si.max_block : -1;
}

std::int64_t flac_frame_block(std::span<const std::uint8_t> frame, const FlacStreamInfo& si) {
    const std::optional<FlacFrames::Header> h = parse_header(frame, si);
    return h ? h->block : -1;
}

FlacFrames::FlacFrames(ReadAt read_at, const FlacStreamInfo& info, std::uint64_t data_end)
    : read_at_(std::move(read_at)), info_(info), data_end_(data_end) {
    const auto block = static_cast<std::uint64_t>(info.max_block), channels = static_cast<std::uint64_t>(info.channels);
    // Verbatim samples, one bit more in a side channel, and each subframe's
    // header and wasted-bits count; then frame header and CRC-16.
    frame_bytes_max_ = block * channels * static_cast<std::uint64_t>(info.bits + 1) / 8 + channels * 8 + 32;
}

bool FlacFrames::load(std::uint64_t from, std::uint64_t want) {
    if (from >= data_end_) return false;
    want = std::min(want, data_end_ - from);
    if (from >= buf_offset_ && from + want <= buf_offset_ + buf_size_) return true;
    const std::uint64_t size = std::min(std::max(want, kReadBytes), data_end_ - from);
    // Grown only, never shrunk: a read does not clear what it overwrites.
    if (buf_.size() < size) buf_.resize(size);
    std::uint64_t got = 0;
    while (got < size) {
        const long n = read_at_(from + got, std::span<std::uint8_t>(buf_).subspan(got, size - got));
        if (n < 0) read_failed_ = true;
        if (n <= 0) break;
        got += static_cast<std::uint64_t>(n);
    }
    buf_offset_ = from;
    buf_size_ = got;
    return got >= want;
}

std::span<const std::uint8_t> FlacFrames::loaded(std::uint64_t from) const {
    return std::span<const std::uint8_t>(buf_).subspan(from - buf_offset_, buf_size_ - (from - buf_offset_));
}

std::span<const std::uint8_t> FlacFrames::bytes(const FlacFrame& f) {
    if (!load(f.offset, f.size)) return {};
    return loaded(f.offset).first(f.size);
}

std::optional<FlacFrames::Header> FlacFrames::header_at(std::uint64_t offset) {
    if (offset >= data_end_) return std::nullopt;
    load(offset, kMaxHeaderBytes);
    std::optional<Header> h = parse_header(loaded(offset), info_);
    if (h && blocking_ >= 0 && h->variable != (blocking_ == 1)) return std::nullopt;
    return h;
}

std::optional<FlacFrame> FlacFrames::bound(std::uint64_t offset, bool check_crc) {
    const std::optional<Header> h = header_at(offset);
    // Frame numbers count blocks of one size only.
    if (!h || (!h->variable && info_.min_block != info_.max_block)) return std::nullopt;
    const FlacFrame frame{offset, 0, h->variable ? h->number : h->number * info_.max_block, h->block};
    // Only the last block may be short; with the total unknown, any may be the last.
    const bool last = info_.total <= 0 || frame.end() >= info_.total;
    if (!h->variable && h->block != info_.max_block && !last) return std::nullopt;
    const auto start_of = [&](const Header& next) { return next.variable ? next.number : next.number * info_.max_block; };
    const std::uint64_t limit = std::min(data_end_, offset + frame_bytes_max_);
    // The frame ends where the header of the next frame begins.
    std::uint64_t q = offset + h->bytes;
    for (;;) {
        const std::span<const std::uint8_t> d = loaded(offset);
        const std::uint64_t have = offset + d.size();
        // A candidate needs its whole header in hand, unless the data ends.
        const std::uint64_t scan_end =
            std::min(limit, have >= data_end_ ? have : have - std::min(have - offset, kMaxHeaderBytes));
        while (q < scan_end) {
            const auto* hit = static_cast<const std::uint8_t*>(std::memchr(d.data() + (q - offset), 0xff, scan_end - q));
            if (!hit) {
                q = scan_end;
                break;
            }
            q = offset + static_cast<std::uint64_t>(hit - d.data());
            const std::optional<Header> next = parse_header(d.subspan(q - offset), info_);
            if (next && next->variable == h->variable && start_of(*next) == frame.end() &&
                (!check_crc || flac_crc16_checks(d.first(q - offset))))
                return FlacFrame{offset, q - offset, frame.start, frame.frames};
            ++q;
        }
        if (q >= limit || have >= data_end_) break;
        if (!load(offset, std::min(limit + kMaxHeaderBytes - offset, 2 * (have - offset)))) return std::nullopt;
    }
    // No next header: the last frame, running to the end of the data.
    if (limit == data_end_ && (info_.total == 0 || frame.end() == info_.total) && load(offset, data_end_ - offset) &&
        (!check_crc || flac_crc16_checks(loaded(offset).first(data_end_ - offset))))
        return FlacFrame{offset, data_end_ - offset, frame.start, frame.frames};
    return std::nullopt;
}

std::optional<FlacFrame> FlacFrames::at(std::uint64_t offset, std::int64_t start) {
    std::optional<FlacFrame> f = bound(offset, true);
    if (!f || f->start != start) return std::nullopt;
    if (blocking_ < 0) {
        const std::optional<Header> h = header_at(offset);
        blocking_ = h && h->variable ? 1 : 0;
    }
    return f;
}

std::optional<FlacFrame> FlacFrames::holding(std::int64_t sample, const FlacFrame& from) {
    if (sample < from.start) return std::nullopt;
    // Every frame passed over is bounded by its header and the next one's:
    // a damaged or lost header on the way, which would have the demuxer
    // join frames into one packet, is caught here rather than skipped. A
    // false sync can mislead this quick walk; walking again with every
    // CRC-16 checked cannot be.
    for (const bool check_crc : {false, true}) {
        FlacFrame f = from;
        while (sample >= f.end() && !is_last(f)) {
            const std::optional<FlacFrame> next = bound(f.offset + f.size, check_crc);
            if (!next || next->start != f.end()) break;
            f = *next;
        }
        if (sample >= f.end()) continue;
        if (f.offset == from.offset) return f;
        if (std::optional<FlacFrame> checked = bound(f.offset, true); checked && checked->start == f.start) return checked;
    }
    return std::nullopt;
}

std::optional<std::int64_t> FlacFrames::end_after(std::uint64_t from) {
    std::optional<FlacFrame> last;
    for (std::uint64_t q = from; q < data_end_;) {
        load(q, kMaxHeaderBytes);
        const std::span<const std::uint8_t> d = loaded(q);
        if (d.empty()) break;  // unreadable
        const auto* hit = static_cast<const std::uint8_t*>(std::memchr(d.data(), 0xff, d.size()));
        if (!hit) {
            q += d.size();
            continue;
        }
        q += static_cast<std::uint64_t>(hit - d.data());
        // Frames found go on from their ends: only the first of the tail
        // costs a scan of every byte.
        if (std::optional<FlacFrame> f = bound(q, true)) {
            last = f;
            q = f->offset + f->size;
        } else {
            ++q;
        }
    }
    if (!last) return std::nullopt;
    const std::optional<Header> lh = header_at(last->offset);
    const std::optional<Header> h = is_last(*last) ? std::nullopt : header_at(last->offset + last->size);
    if (lh && h && h->variable == lh->variable && (h->variable ? h->number : h->number * info_.max_block) == last->end())
        return last->end() + h->block;
    return last->end();
}

std::optional<std::int64_t> flac_stream_end(ReadAt read_at, FlacStreamInfo info, std::uint64_t data_end) {
    info.total = 0;
    FlacFrames frames(std::move(read_at), info, data_end);
    // A whole frame and the next one's header, wherever the data ends.
    std::uint64_t span = 2 * frames.frame_bytes_max_ + kMaxHeaderBytes;
    for (;;) {
        const std::uint64_t from = data_end > span ? data_end - span : 0;
        if (const std::optional<std::int64_t> end = frames.end_after(from)) return end;
        if (from == 0) return std::nullopt;
        span *= 2;
    }
}

}  // namespace tolvek::audio
