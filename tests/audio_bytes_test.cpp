// The parsers that read bytes of a container without FFmpeg: MP3 frame
// headers and walks over them, and the view of an Ogg file that shows the
// demuxer one stream. Files are built in memory and read through ReadAt.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "audio/file_view.h"
#include "audio/mp3_frames.h"

namespace tolvek::audio {
namespace {

// Reads `file` (which must outlive the reader) at most `most_bytes` at a
// time, so short reads are tried too.
ReadAt reader_of(const std::string& file, std::size_t most_bytes = std::numeric_limits<std::size_t>::max()) {
    return [&file, most_bytes](std::uint64_t offset, std::span<std::uint8_t> out) -> long {
        if (offset >= file.size()) return 0;
        const std::size_t n = std::min<std::size_t>({out.size(), file.size() - offset, most_bytes});
        std::memcpy(out.data(), file.data() + offset, n);
        return static_cast<long>(n);
    };
}

// ---- MP3 frame headers and walks ----------------------------------------

// A Layer III frame header: MPEG version bits (3: MPEG-1, 2: MPEG-2, 0:
// MPEG-2.5), bit rate and rate indexes, padding.
std::string mp3_header(int version, int bitrate_index, int rate_index, bool padding) {
    return {static_cast<char>(0xff), static_cast<char>(0xe0 | (version << 3) | (1 << 1) | 1),
            static_cast<char>((bitrate_index << 4) | (rate_index << 2) | (padding ? 2 : 0)), static_cast<char>(0xc4)};
}

// A header's rate, frame size and samples per frame (MPEG-1, 2 and 2.5),
// and the headers that give no frame size or are no Layer III.
TEST(Mp3Frames, HeadersGiveRateSizeAndSamples) {
    const auto layer = [](std::string h, int code) { return h[1] = static_cast<char>((h[1] & ~0x06) | code << 1), h; };
    const struct {
        std::string header;
        int rate_hz, frame_bytes, samples;  // rate 0: refused
    } cases[] = {
        {mp3_header(3, 9, 0, false), 44100, 417, 1152},
        {mp3_header(3, 9, 0, true), 44100, 418, 1152},
        {mp3_header(3, 14, 1, false), 48000, 960, 1152},
        {mp3_header(3, 1, 2, false), 32000, 144, 1152},
        {mp3_header(2, 8, 0, false), 22050, 208, 576},
        {mp3_header(2, 14, 1, false), 24000, 480, 576},
        {mp3_header(2, 13, 2, true), 16000, 649, 576},
        {mp3_header(0, 1, 2, false), 8000, 72, 576},
        {mp3_header(0, 5, 0, false), 11025, 261, 576},
        {mp3_header(0, 9, 1, false), 12000, 480, 576},
        {mp3_header(1, 9, 0, false), 0, 0, 0},   // reserved version
        {mp3_header(3, 15, 0, false), 0, 0, 0},  // bad bit rate
        {mp3_header(3, 0, 0, false), 0, 0, 0},   // free format: no size
        {mp3_header(3, 9, 3, false), 0, 0, 0},   // reserved rate
        {layer(mp3_header(3, 9, 0, false), 2), 0, 0, 0},  // Layer II
        {layer(mp3_header(3, 9, 0, false), 3), 0, 0, 0},  // Layer I
        {layer(mp3_header(3, 9, 0, false), 0), 0, 0, 0},  // reserved layer
        {"\xff\xfb\x90", 0, 0, 0},                     // cut short
        {"\xfe\xfb\x90\xc4", 0, 0, 0},                // no sync
    };
    for (const auto& c : cases) {
        const auto h = parse_mp3_header(std::span(reinterpret_cast<const std::uint8_t*>(c.header.data()), c.header.size()));
        EXPECT_EQ(h ? h->rate_hz : 0, c.rate_hz) << c.rate_hz << " " << c.frame_bytes;
        EXPECT_EQ(h ? h->frame_bytes : 0, c.frame_bytes) << c.rate_hz << " " << c.frame_bytes;
        EXPECT_EQ(h ? h->samples : 0, c.samples) << c.rate_hz << " " << c.frame_bytes;
    }
}

// A walk reaches the frame it was asked for only over frames of one stream
// that follow on without a gap; anything else stops it.
TEST(Mp3Frames, WalksOnlyOverUnbrokenFrames) {
    const std::string a = mp3_header(3, 9, 0, false), b = mp3_header(3, 9, 0, true);  // 417 and 418 bytes
    auto frame = [](const std::string& header, int bytes) { return header + std::string(bytes - 4, '\x55'); };
    std::string stream;
    std::vector<std::uint64_t> starts;
    for (int k = 0; k < 40; ++k) {
        starts.push_back(stream.size());
        stream += k % 3 ? frame(a, 417) : frame(b, 418);
    }
    const struct {
        const char* what;
        std::function<std::string(std::string)> edit;
        std::int64_t count;
        std::size_t keep, kept;  // kept 0: the walk stops
        std::uint64_t first_kept;
    } cases[] = {
        {"the last frames before the one reached", nullptr, 30, 4, 5, starts[26]},
        {"fewer where the walk began later", nullptr, 2, 4, 3, starts[0]},
        {"reaching the last frame", nullptr, 39, 0, 1, starts[39]},
        {"past the end", nullptr, 40, 4, 0, 0},
        {"junk between frames", [&](std::string s) { return s.insert(starts[10], "junk"); }, 30, 4, 0, 0},
        {"junk after the frame reached", [&](std::string s) { return s.insert(starts[12], "junk"); }, 11, 4, 5, starts[7]},
        // Whole frames that follow on, of another stream.
        {"a frame of another rate",
         [&](std::string s) { return s.replace(starts[20], 417, frame(mp3_header(3, 9, 1, false), 384)); }, 30, 4, 0, 0},
        {"a frame of another version",
         [&](std::string s) { return s.replace(starts[20], 417, frame(mp3_header(2, 12, 0, false), 417)); }, 30, 4, 0, 0},
        {"a tag", [&](std::string s) { return s.replace(starts[5], 3, "TAG"); }, 30, 4, 0, 0},
        {"a free-format frame (no size)",
         [&](std::string s) { return s.replace(starts[8], 4, mp3_header(3, 0, 0, false)); }, 30, 4, 0, 0},
    };
    for (const auto& c : cases) {
        const std::string file = c.edit ? c.edit(stream) : stream;
        const ReadAt read_at = reader_of(file, 1000);
        const auto like = parse_mp3_header(std::span(reinterpret_cast<const std::uint8_t*>(a.data()), 4));
        const std::vector<Mp3Frame> walked = walk_mp3_frames(read_at, 0, *like, c.count, c.keep);
        ASSERT_EQ(walked.size(), c.kept) << c.what;
        if (walked.empty()) continue;
        EXPECT_EQ(walked.front().pos, c.first_kept) << c.what;
        for (std::size_t k = 1; k < walked.size(); ++k)
            EXPECT_EQ(walked[k].pos, walked[k - 1].pos + static_cast<std::uint64_t>(walked[k - 1].bytes)) << c.what;
    }
}

// ---- Ogg: the one stream the demuxer is shown ---------------------------

// An Ogg page: the 27-byte header (checksum left zero: the view does not
// check it), one segment per 255 bytes of `body`, then the body.
std::string ogg_page(std::uint32_t serial, bool first, const std::string& body) {
    std::string p = "OggS";
    p += '\0';
    p += static_cast<char>(first ? 0x02 : 0x00);
    p += std::string(8, '\0');  // granule
    for (int k = 0; k < 4; ++k) p += static_cast<char>((serial >> (8 * k)) & 0xff);
    p += std::string(8, '\0');  // sequence, checksum
    std::string segments(body.size() / 255, '\xff');
    segments += static_cast<char>(body.size() % 255);
    p += static_cast<char>(segments.size());
    return p + segments + body;
}

std::string vorbis_head(std::uint32_t nominal_bitrate) {
    std::string h = std::string("\x01vorbis", 7) + std::string(13, '\0');
    for (int k = 0; k < 4; ++k) h += static_cast<char>((nominal_bitrate >> (8 * k)) & 0xff);
    return h + std::string(6, '\0');
}

// Which pages of a file the demuxer is shown. Pages are named by letters;
// the expectation lists the letters shown, or "whole".
TEST(FileView, OggShowsOnlyTheChosenStream) {
    const std::string opus = "OpusHead" + std::string(11, '\0');
    const std::string theora = "\x80theora" + std::string(20, '\0');
    const std::string data(300, 'd');
    struct Page {
        char name;
        std::uint32_t serial;
        bool first;
        std::string body;
    };
    struct Case {
        const char* what;
        std::vector<Page> pages;
        const char* shown;
        std::string tail = {};  // bytes after the last page
    };
    const std::vector<Case> cases = {
        {"one stream", {{'a', 1, true, vorbis_head(0)}, {'b', 1, false, data}}, "whole"},
        {"equal bit rates: the first",
         {{'a', 1, true, vorbis_head(0)}, {'b', 2, true, vorbis_head(0)}, {'c', 1, false, data}, {'d', 2, false, data}},
         "ac"},
        {"the higher bit rate",
         {{'a', 1, true, vorbis_head(96000)}, {'b', 2, true, vorbis_head(128000)}, {'c', 1, false, data},
          {'d', 2, false, data}, {'e', 2, false, data}},
         "bde"},
        {"video is passed over",
         {{'a', 7, true, theora}, {'b', 8, true, opus}, {'c', 7, false, data}, {'d', 8, false, data}},
         "bd"},
        {"a stream of another kind", {{'a', 1, true, vorbis_head(0)}, {'b', 2, true, "Speex   "}, {'c', 1, false, data}},
         "whole"},
        {"no audio", {{'a', 7, true, theora}, {'b', 8, true, theora}, {'c', 7, false, data}}, "whole"},
        {"a stream starting later (chained)",
         {{'a', 1, true, opus}, {'b', 2, true, opus}, {'c', 1, false, data}, {'d', 3, true, opus}}, "whole"},
        {"a page of no stream that started",
         {{'a', 1, true, opus}, {'b', 2, true, opus}, {'c', 5, false, data}}, "whole"},
        {"a serial starting twice", {{'a', 1, true, opus}, {'b', 1, true, opus}, {'c', 1, false, data}}, "whole"},
        {"bytes between pages",
         {{'a', 1, true, opus}, {'b', 2, true, opus}, {'c', 1, false, data}}, "whole", "junk that is no page at all"},
        {"a cut last page is shown as far as it goes",
         {{'a', 1, true, opus}, {'b', 2, true, opus}, {'c', 1, false, data}, {'d', 1, false, data}}, "acd", "cut"},
    };
    for (const Case& c : cases) {
        std::string file;
        std::map<char, FileView::Extent> where;
        for (const Page& p : c.pages) {
            const std::string bytes = ogg_page(p.serial, p.first, p.body);
            where[p.name] = {file.size(), bytes.size()};
            file += bytes;
        }
        if (c.tail == "cut") {
            file.resize(file.size() - 100);
            where[c.pages.back().name].length -= 100;
        } else {
            file += c.tail;
        }
        const FileView view = ogg_single_stream_view(reader_of(file), file.size());
        if (std::string_view(c.shown) == "whole") {
            EXPECT_TRUE(view.is_whole()) << c.what;
            EXPECT_EQ(view.size(), file.size()) << c.what;
            continue;
        }
        // The view reads back as the chosen pages, one after the other.
        std::string shown, expected;
        for (const char* n = c.shown; *n; ++n) expected += file.substr(where[*n].offset, where[*n].length);
        for (std::uint64_t pos = 0;;) {
            const FileView::Extent at = view.locate(pos);
            if (at.length == 0) break;
            const std::uint64_t n = std::min<std::uint64_t>(at.length, 7);  // small reads cross extents
            shown += file.substr(at.offset, n);
            pos += n;
        }
        EXPECT_EQ(shown, expected) << c.what;
        EXPECT_EQ(view.size(), expected.size()) << c.what;
    }
}

}  // namespace
}  // namespace tolvek::audio
