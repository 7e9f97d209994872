#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "audio/flac_frames.h"

namespace tolvek::audio {
namespace {

// CRCs as FLAC defines them, bit by bit.
std::uint8_t crc8(const std::string& b) {
    std::uint8_t c = 0;
    for (const char ch : b) {
        c ^= static_cast<std::uint8_t>(ch);
        for (int k = 0; k < 8; ++k) c = static_cast<std::uint8_t>(c & 0x80 ? (c << 1) ^ 0x07 : c << 1);
    }
    return c;
}
std::uint16_t crc16(const std::string& b) {
    std::uint16_t c = 0;
    for (const char ch : b) {
        c ^= static_cast<std::uint16_t>(static_cast<std::uint8_t>(ch) << 8);
        for (int k = 0; k < 8; ++k) c = static_cast<std::uint16_t>(c & 0x8000 ? (c << 1) ^ 0x8005 : c << 1);
    }
    return c;
}

constexpr std::int64_t kBlock = 1024;
const FlacStreamInfo kFixed{kBlock, kBlock, 44100, 2, 16, 0};

// A frame header: stereo, 16 bits and the rate of STREAMINFO, the block
// size given after the number; `number` counts frames, or samples when
// `variable`.
std::string header(std::int64_t number, std::int64_t block, bool variable) {
    std::string h = {'\xff', static_cast<char>(variable ? 0xf9 : 0xf8), '\x70', '\x18'};
    if (number < 0x80) {
        h += static_cast<char>(number);
    } else {  // two or three bytes of UTF-8
        const bool three = number >= 0x800;
        h += static_cast<char>(three ? 0xe0 | (number >> 12) : 0xc0 | (number >> 6));
        if (three) h += static_cast<char>(0x80 | ((number >> 6) & 0x3f));
        h += static_cast<char>(0x80 | (number & 0x3f));
    }
    h += static_cast<char>((block - 1) >> 8);
    h += static_cast<char>((block - 1) & 0xff);
    return h + static_cast<char>(crc8(h));
}

// A whole frame: header, `payload`, CRC-16.
std::string frame(std::int64_t number, std::int64_t block, bool variable, const std::string& payload) {
    std::string f = header(number, block, variable) + payload;
    const std::uint16_t c = crc16(f);
    return f + static_cast<char>(c >> 8) + static_cast<char>(c & 0xff);
}

std::string noise(std::size_t n, std::uint32_t seed) {
    std::string s(n, '\0');
    for (char& c : s) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    return s;
}

struct Built {
    std::string bytes;
    std::vector<FlacFrame> frames;  // where each one truly is
};

// Frames of the given block sizes after `lead` bytes; frame 3's payload is
// passed through `inside` first.
Built build(const std::vector<std::int64_t>& blocks, bool variable, const std::string& lead,
            const std::function<std::string(std::string)>& inside) {
    Built b{lead, {}};
    std::int64_t start = 0;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        std::string payload = noise(600 + 37 * i, static_cast<std::uint32_t>(i + 1));
        if (i == 3 && inside) payload = inside(payload);
        const std::string f = frame(variable ? start : static_cast<std::int64_t>(i), blocks[i], variable, payload);
        b.frames.push_back({b.bytes.size(), f.size(), start, blocks[i]});
        b.bytes += f;
        start += blocks[i];
    }
    return b;
}

struct LocatorCase {
    const char* name;
    std::vector<std::int64_t> blocks;
    bool variable;
    std::string lead;                                  // before the first frame
    std::function<std::string(std::string)> inside;    // frame 3's payload
    std::function<void(Built&)> edit;                  // of the stream once built
    std::size_t readable;                              // frames given in order before a refusal
    bool ends;                                         // the last one given is the last of the data
    std::size_t lost_from, lost_to;                    // frames a search from the first cannot give
};

TEST(FlacFrames, FindsExactExtentsOrRefuses) {
    const std::vector<std::int64_t> ten(10, kBlock);
    std::vector<std::int64_t> short_last = ten;
    short_last.back() = 300;
    const std::vector<std::int64_t> varied = {1024, 512, 1024, 256, 1024, 1024, 512, 1024};
    // A header for frame 4 (CRC-8 and all) in frame 3's data: only CRC-16
    // tells it from the real one.
    const auto false_sync = [](std::string p) { return p.replace(200, 8, header(4, kBlock, false)); };
    const auto flip = [](Built& b) { b.bytes[b.frames[5].offset + 100] ^= 0x10; };
    const auto lost_header = [](Built& b) { b.bytes[b.frames[6].offset + 7] ^= 0x01; };  // its CRC-8
    const auto cut = [](Built& b) { b.bytes.resize(b.bytes.size() - 10); };
    const auto junk_after = [](Built& b) { b.bytes += std::string("\xff\xf8junk", 6); };
    const LocatorCase cases[] = {
        {"fixed", ten, false, "", nullptr, nullptr, 10, true, 0, 0},
        {"short_last", short_last, false, "", nullptr, nullptr, 10, true, 0, 0},
        {"variable", varied, true, "", nullptr, nullptr, 8, true, 0, 0},
        {"false_sync", ten, false, "", false_sync, nullptr, 10, true, 0, 0},
        // Frames after a damaged one are still found; not those after a
        // lost header, where the demuxer would join two frames.
        {"crc16_mismatch", ten, false, "", nullptr, flip, 5, false, 5, 6},
        {"lost_header", ten, false, "", nullptr, lost_header, 5, false, 5, 10},
        {"truncated_last", ten, false, "", nullptr, cut, 9, false, 9, 10},
        {"junk_before", ten, false, std::string("fLaC\xff\xf8\x70\x18\x00junk", 13), nullptr, nullptr, 10, true, 0, 0},
        {"junk_after", ten, false, "", nullptr, junk_after, 9, false, 9, 10},
    };
    for (const LocatorCase& c : cases) {
        SCOPED_TRACE(c.name);
        Built b = build(c.blocks, c.variable, c.lead, c.inside);
        if (c.edit) c.edit(b);
        std::int64_t total = 0;
        for (const std::int64_t n : c.blocks) total += n;
        FlacStreamInfo info = kFixed;
        info.min_block = c.variable ? 256 : kBlock;
        info.total = total;
        int reads = 0;
        const ReadAt read_at = [&](std::uint64_t at, std::span<std::uint8_t> out) -> long {
            ++reads;
            if (at >= b.bytes.size()) return 0;
            const std::size_t n = std::min(out.size(), b.bytes.size() - at);
            std::memcpy(out.data(), b.bytes.data() + at, n);
            return static_cast<long>(n);
        };
        FlacFrames frames(read_at, info, b.bytes.size());

        // In order, each frame where it truly is, with its own bytes.
        std::size_t given = 0;
        std::optional<FlacFrame> f = frames.at(b.frames[0].offset, 0);
        for (; f && given < b.frames.size(); ++given) {
            const FlacFrame& want = b.frames[given];
            ASSERT_EQ(f->offset, want.offset);
            ASSERT_EQ(f->size, want.size);
            ASSERT_EQ(f->start, want.start);
            ASSERT_EQ(f->frames, want.frames);
            const std::span<const std::uint8_t> bytes = frames.bytes(*f);
            ASSERT_EQ(std::string(bytes.begin(), bytes.end()), b.bytes.substr(want.offset, want.size));
            if (frames.is_last(*f)) break;
            f = frames.at(f->offset + f->size, f->end());
        }
        EXPECT_EQ(given + (f ? 1 : 0), c.readable);
        EXPECT_EQ(f && frames.is_last(*f), c.ends);
        EXPECT_LE(reads, 4) << "reads a buffer at a time";

        // Straight to the frame holding a sample, from the first one.
        const FlacFrame first = b.frames[0];
        for (std::size_t i = 1; i < b.frames.size(); ++i) {
            const FlacFrame& want = b.frames[i];
            const std::optional<FlacFrame> h = frames.holding(want.start + want.frames / 2, first);
            if (i < c.lost_from || i >= c.lost_to) {
                ASSERT_TRUE(h) << "frame " << i;
                EXPECT_EQ(h->offset, want.offset) << "frame " << i;
                EXPECT_EQ(h->size, want.size) << "frame " << i;
            } else {
                EXPECT_FALSE(h) << "frame " << i;
            }
        }
    }
}

TEST(FlacFrames, ReadsStreamInfo) {
    // Blocks 4096, frame sizes, 44100 Hz, 2 channels, 16 bits, 1,000,000 frames, MD5.
    std::string si("\x10\x00\x10\x00\x00\x00\x10\x00\x20\x00\x0a\xc4\x42\xf0\x00\x0f\x42\x40", 18);
    si += std::string(16, '\0');
    const auto* p = reinterpret_cast<const std::uint8_t*>(si.data());
    const std::optional<FlacStreamInfo> info = parse_flac_stream_info({p, si.size()});
    ASSERT_TRUE(info);
    EXPECT_EQ(info->min_block, 4096);
    EXPECT_EQ(info->max_block, 4096);
    EXPECT_EQ(info->rate, 44100u);
    EXPECT_EQ(info->channels, 2);
    EXPECT_EQ(info->bits, 16);
    EXPECT_EQ(info->total, 1000000);
    EXPECT_FALSE(parse_flac_stream_info({p, si.size() - 1}));
}

}  // namespace
}  // namespace tolvek::audio
