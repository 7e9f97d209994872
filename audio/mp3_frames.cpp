#include "audio/mp3_frames.h"

namespace tolvek::audio {

namespace {

constexpr std::size_t kHeaderBytes = 4;
// Read at a time while walking: about a hundred frames of 192 kbps.
constexpr std::size_t kWalkReadBytes = 64 * 1024;
// Sync, version, layer and rate index: the bits FFmpeg's parser takes to
// tell frames of one stream from anything else.
constexpr std::uint32_t kSameStreamMask = 0xfffe0c00;

constexpr int kMpeg1Kbps[15] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr int kMpeg2Kbps[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
constexpr int kMpeg1RateHz[3] = {44100, 48000, 32000};

}  // namespace

std::optional<Mp3Header> parse_mp3_header(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderBytes) return std::nullopt;
    const std::uint32_t h = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                            (std::uint32_t{bytes[2]} << 8) | bytes[3];
    const int version = (h >> 19) & 3;  // 0: MPEG-2.5, 1: reserved, 2: MPEG-2, 3: MPEG-1
    const int layer = (h >> 17) & 3;    // 1: Layer III
    const int bitrate_index = (h >> 12) & 15;
    const int rate_index = (h >> 10) & 3;
    if ((h & 0xffe00000) != 0xffe00000 || version == 1 || layer != 1 || bitrate_index == 0 || bitrate_index == 15 ||
        rate_index == 3)
        return std::nullopt;
    const bool mpeg1 = version == 3;
    Mp3Header out;
    out.same_stream_bits = h & kSameStreamMask;
    out.rate_hz = kMpeg1RateHz[rate_index] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    out.samples = mpeg1 ? 1152 : 576;
    // A frame holds samples / 8 bytes per bit per second of its rate, plus
    // the padding byte when the header says so.
    const int kbps = (mpeg1 ? kMpeg1Kbps : kMpeg2Kbps)[bitrate_index];
    out.frame_bytes = out.samples / 8 * kbps * 1000 / out.rate_hz + static_cast<int>((h >> 9) & 1);
    return out;
}

std::vector<Mp3Frame> walk_mp3_frames(const ReadAt& read_at, std::uint64_t pos, const Mp3Header& like,
                                      std::int64_t count, std::size_t keep) {
    std::vector<std::uint8_t> buffer(kWalkReadBytes);
    std::uint64_t buffer_pos = 0;
    std::size_t buffered = 0;
    std::vector<Mp3Frame> kept;
    const std::int64_t first_kept = count - static_cast<std::int64_t>(keep);
    for (std::int64_t k = 0;; ++k) {
        if (pos < buffer_pos || pos + kHeaderBytes > buffer_pos + buffered) {
            const long n = read_at(pos, buffer);
            if (n < static_cast<long>(kHeaderBytes)) return {};
            buffer_pos = pos;
            buffered = static_cast<std::size_t>(n);
        }
        const auto header = parse_mp3_header(std::span(buffer).subspan(pos - buffer_pos, kHeaderBytes));
        if (!header || header->same_stream_bits != like.same_stream_bits) return {};
        if (k >= first_kept) kept.push_back({pos, header->frame_bytes});
        if (k == count) return kept;
        pos += static_cast<std::uint64_t>(header->frame_bytes);
    }
}

}  // namespace tolvek::audio
