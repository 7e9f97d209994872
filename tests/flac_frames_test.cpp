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

}  // namespace
}  // namespace tolvek::audio
