#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>

#include "audio/flac_frames.h"

namespace tolvek::audio {
namespace {

// FLAC's CRCs bit by bit: CRC-8 (0x07) of a header, CRC-16 (0x8005) of a frame.
unsigned crc(const std::string& b, int bits, unsigned poly) {
    unsigned c = 0;
    for (const char ch : b) {
        c ^= static_cast<unsigned>(static_cast<std::uint8_t>(ch)) << (bits - 8);
        for (int k = 0; k < 8; ++k) c = (c >> (bits - 1) & 1 ? (c << 1) ^ poly : c << 1) & ((1u << bits) - 1);
    }
    return c;
}

// A header of a stereo 16-bit frame, the block size after the number (one
// to three bytes of UTF-8): frame number, or sample number if `variable`.
std::string header(std::int64_t n, std::int64_t block, bool variable) {
    std::string h = {'\xff', variable ? '\xf9' : '\xf8', '\x70', '\x18'};
    if (n < 0x80) h += static_cast<char>(n);
    else if (n < 0x800) h += {static_cast<char>(0xc0 | n >> 6), static_cast<char>(0x80 | (n & 0x3f))};
    else h += {static_cast<char>(0xe0 | n >> 12), static_cast<char>(0x80 | (n >> 6 & 0x3f)), static_cast<char>(0x80 | (n & 0x3f))};
    h += {static_cast<char>((block - 1) >> 8), static_cast<char>((block - 1) & 0xff)};
    return h + static_cast<char>(crc(h, 8, 0x07));
}

struct Built {
    std::string bytes;
    std::vector<FlacFrame> frames;  // where each one truly is
};

struct LocatorCase {
    const char* name;
    std::vector<std::int64_t> blocks;
    bool variable;
    std::string lead;                                        // bytes before the first frame
    std::function<void(std::size_t, std::string&)> payload;  // of each frame, before its CRC-16
    std::function<void(Built&)> edit;                        // of the stream once built
    std::size_t readable;         // frames given in order before a refusal
    std::size_t lost_from, lost_to;  // frames a search from the first cannot give
    std::int64_t end = -1;           // of the stream, as its last frames give it; -1: unknown
};

TEST(FlacFrames, FindsExactExtentsOrRefuses) {
    const std::vector<std::int64_t> ten(10, 1024), varied = {1024, 512, 1024, 256, 1024, 1024, 512, 1024};
    std::vector<std::int64_t> short_last = ten;
    short_last.back() = 300;
    // Frame 4's header (CRC-8 and all) inside frame 3: only CRC-16 tells it.
    const auto false_sync = [](std::size_t i, std::string& p) {
        if (i == 3) p.replace(200, 8, header(4, 1024, false));
    };
    const LocatorCase cases[] = {
        {"fixed", ten, false, "", nullptr, nullptr, 10, 0, 0, 10240},
        {"short_last", short_last, false, "", nullptr, nullptr, 10, 0, 0, 9516},
        {"variable", varied, true, "", nullptr, nullptr, 8, 0, 0, 6400},
        {"false_sync", ten, false, "", false_sync, nullptr, 10, 0, 0, 10240},
        {"junk_before", ten, false, std::string("fLaC\xff\xf8\x70\x18\x00junk", 13), nullptr, nullptr, 10, 0, 0, 10240},
        // Frames after a damaged one are still found; not those after a
        // lost header, where the demuxer would join two frames.
        {"crc16_mismatch", ten, false, "", nullptr, [](Built& b) { b.bytes[b.frames[5].offset + 100] ^= 0x10; }, 5, 5, 6,
         10240},
        {"lost_header", ten, false, "", nullptr, [](Built& b) { b.bytes[b.frames[6].offset + 7] ^= 0x01; }, 5, 5, 10,
         10240},
        // A last frame cut short or followed by junk still counts: its
        // header follows the last frame that checks, in order.
        {"truncated_last", ten, false, "", nullptr, [](Built& b) { b.bytes.resize(b.bytes.size() - 10); }, 9, 9, 10,
         10240},
        {"junk_after", ten, false, "", nullptr, [](Built& b) { b.bytes += "\xff\xf8junk"; }, 9, 9, 10, 10240},
        // The data ends inside frame 6 of ten: the stream ends with it.
        {"cut_after_six", ten, false, "", nullptr, [](Built& b) { b.bytes.resize(b.frames[6].offset + 100); }, 6, 6, 10,
         7168},
        // Not one frame checks: the end is unknown, whatever was searched.
        {"nothing_checks", ten, false, "", nullptr,
         [](Built& b) {
             for (const FlacFrame& f : b.frames) b.bytes[f.offset + 100] ^= 0x10;
         },
         0, 0, 10, -1},
    };
    for (const LocatorCase& c : cases) {
        SCOPED_TRACE(c.name);
        Built b{c.lead, {}};
        std::int64_t start = 0;
        for (std::size_t i = 0; i < c.blocks.size(); ++i) {
            std::string f = header(c.variable ? start : static_cast<std::int64_t>(i), c.blocks[i], c.variable);
            for (std::size_t k = 0; k < 600 + 37 * i; ++k) f += static_cast<char>((k * 131 + i * 7) & 0xff);
            if (c.payload) c.payload(i, f);
            const unsigned crc16 = crc(f, 16, 0x8005);
            f += {static_cast<char>(crc16 >> 8), static_cast<char>(crc16 & 0xff)};
            b.frames.push_back({b.bytes.size(), f.size(), start, c.blocks[i]});
            b.bytes += f;
            start += c.blocks[i];
        }
        if (c.edit) c.edit(b);
        int reads = 0;
        const ReadAt read_at = [&](std::uint64_t at, std::span<std::uint8_t> out) -> long {
            ++reads;
            const std::size_t n = at >= b.bytes.size() ? 0 : std::min(out.size(), b.bytes.size() - at);
            std::memcpy(out.data(), b.bytes.data() + at, n);
            return static_cast<long>(n);
        };
        const FlacStreamInfo info{c.variable ? 256 : 1024, 1024, 44100, 2, 16, start};
        // The claimed total plays no part.
        for (const std::int64_t claimed : {start, std::int64_t{0}, std::int64_t{1} << 35})
            EXPECT_EQ(flac_stream_end(read_at, {info.min_block, info.max_block, info.rate, info.channels, info.bits, claimed},
                                      b.bytes.size())
                          .value_or(-1),
                      c.end)
                << "claimed " << claimed;
        reads = 0;
        FlacFrames frames(read_at, info, b.bytes.size());

        // In order, each frame where it truly is, with its own bytes.
        std::size_t given = 0;
        bool ended = false;
        for (std::optional<FlacFrame> f = frames.at(b.frames[0].offset, 0); f; ++given) {
            const FlacFrame& want = b.frames[given];
            ASSERT_EQ(std::tie(f->offset, f->size, f->start, f->frames),
                      std::tie(want.offset, want.size, want.start, want.frames));
            const std::span<const std::uint8_t> bytes = frames.bytes(*f);
            ASSERT_EQ(std::string(bytes.begin(), bytes.end()), b.bytes.substr(want.offset, want.size));
            ended = frames.is_last(*f);
            f = ended ? std::nullopt : frames.at(f->offset + f->size, f->end());
        }
        EXPECT_EQ(given, c.readable);
        EXPECT_EQ(ended, given == c.blocks.size());
        EXPECT_LE(reads, 4) << "reads a buffer at a time";

        // Straight to the frame holding a sample, from the first one.
        for (std::size_t i = 1; i < b.frames.size(); ++i) {
            const std::optional<FlacFrame> h = frames.holding(b.frames[i].start + 100, b.frames[0]);
            EXPECT_EQ(h ? h->offset : 0, i < c.lost_from || i >= c.lost_to ? b.frames[i].offset : 0) << "frame " << i;
        }
    }
}

// STREAMINFO's 34 bytes: block sizes, frame sizes (left zero), then rate,
// channels, bits and total frames packed into 64 bits, then the MD5.
std::string stream_info(std::uint64_t min_block, std::uint64_t max_block, std::uint64_t rate, std::uint64_t channels,
                        std::uint64_t bits, std::uint64_t total) {
    std::string b = {static_cast<char>(min_block >> 8), static_cast<char>(min_block), static_cast<char>(max_block >> 8),
                     static_cast<char>(max_block)};
    b += std::string(6, '\0');
    const std::uint64_t packed = rate << 44 | (channels - 1) << 41 | (bits - 1) << 36 | total;
    for (int k = 7; k >= 0; --k) b += static_cast<char>(packed >> (8 * k));
    return b + std::string(16, '\x11');
}

TEST(FlacFrames, StreamInfoReadOrRefused) {
    const auto parse = [](const std::string& b) {
        return parse_flac_stream_info(std::span(reinterpret_cast<const std::uint8_t*>(b.data()), b.size()));
    };
    const auto si = parse(stream_info(4096, 4608, 655359, 8, 32, (std::uint64_t{1} << 36) - 1));
    ASSERT_TRUE(si);
    EXPECT_EQ(std::tie(si->min_block, si->max_block, si->rate, si->channels, si->bits, si->total),
              std::make_tuple(std::int64_t{4096}, std::int64_t{4608}, 655359u, 8, 32, (std::int64_t{1} << 36) - 1));
    EXPECT_TRUE(parse(stream_info(16, 16, 1, 1, 4, 0)));
    for (const std::string& bad : {stream_info(15, 15, 44100, 2, 16, 0), stream_info(4609, 4608, 44100, 2, 16, 0),
                                   stream_info(4608, 4608, 0, 2, 16, 0), stream_info(4608, 4608, 44100, 2, 16, 0) + "x",
                                   stream_info(4608, 4608, 44100, 2, 16, 0).substr(1)})
        EXPECT_FALSE(parse(bad)) << bad.size();
}

// A variable-blocking header of sample 0, stereo, 16 bits, with these
// block-size and rate codes and the bytes they call for after the number.
std::string coded_header(int block_code, int rate_code, const std::string& tail) {
    std::string h = {'\xff', '\xf9', static_cast<char>(block_code << 4 | rate_code), '\x18', '\0'};
    h += tail;
    return h + static_cast<char>(crc(h, 8, 0x07));
}

// Every block-size and rate code, as the one frame of a stream: its block
// size as the header gives it, or nothing where the header does not agree
// with STREAMINFO's rate.
TEST(FlacFrames, EveryBlockSizeAndRateCode) {
    const struct {
        int block_code, rate_code;
        std::string tail;
        std::uint32_t rate;  // STREAMINFO's
        std::int64_t block;  // 0: refused
    } cases[] = {
        {1, 9, "", 44100, 192},
        {2, 9, "", 44100, 576},
        {3, 9, "", 44100, 1152},
        {4, 9, "", 44100, 2304},
        {5, 9, "", 44100, 4608},
        {6, 9, "\xc7", 44100, 200},
        {7, 9, "\x01\x2b", 44100, 300},
        {8, 9, "", 44100, 256},
        {12, 9, "", 44100, 4096},
        {15, 9, "", 44100, 32768},
        {5, 0, "", 37800, 4608},
        {5, 1, "", 88200, 4608},
        {5, 2, "", 176400, 4608},
        {5, 3, "", 192000, 4608},
        {5, 4, "", 8000, 4608},
        {5, 5, "", 16000, 4608},
        {5, 6, "", 22050, 4608},
        {5, 7, "", 24000, 4608},
        {5, 8, "", 32000, 4608},
        {5, 10, "", 48000, 4608},
        {5, 11, "", 96000, 4608},
        {5, 12, "\x0b", 11000, 4608},
        {5, 13, "\x2b\x11", 11025, 4608},
        {5, 14, "\x0e\xc4", 37800, 4608},
        {6, 12, std::string("\xc7\x0b"), 11000, 200},
        {5, 9, "", 48000, 0},
        {5, 12, "\x0c", 11000, 0},
        {5, 14, "\x0e\xc5", 37800, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.block_code) + "/" + std::to_string(c.rate_code));
        std::string b = coded_header(c.block_code, c.rate_code, c.tail) + std::string(400, '\x5a');
        const unsigned crc16 = crc(b, 16, 0x8005);
        b += {static_cast<char>(crc16 >> 8), static_cast<char>(crc16 & 0xff)};
        const ReadAt read_at = [&](std::uint64_t at, std::span<std::uint8_t> out) -> long {
            const std::size_t n = at >= b.size() ? 0 : std::min(out.size(), b.size() - at);
            std::memcpy(out.data(), b.data() + at, n);
            return static_cast<long>(n);
        };
        const std::int64_t total = c.block ? c.block : 4608;
        FlacFrames frames(read_at, {16, 65535, c.rate, 2, 16, total}, b.size());
        const std::optional<FlacFrame> f = frames.at(0, 0);
        EXPECT_EQ(f ? f->frames : 0, c.block);
        EXPECT_EQ(f ? f->size : 0, c.block ? b.size() : 0);
    }
}

}  // namespace
}  // namespace tolvek::audio
