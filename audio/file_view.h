// What the demuxer is shown of a source: the whole file, or, for an Ogg file
// that multiplexes several logical streams, only the pages of the one that is
// converted.
//
// FFmpeg's Ogg demuxer sets up every logical stream it meets (about 130 KB
// each) and its stream-info probe opens a decoder for each, whatever their
// discard setting: a 4 MB file of a thousand streams took 17 s and 247 MB to
// convert one. Shown only one stream's pages, it reads one.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace tolvek::audio {

class FileView {
public:
    // Bytes [offset, offset + length) of the file.
    struct Extent {
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
        bool operator==(const Extent&) const = default;
    };

    // The whole file of `size` bytes.
    static FileView whole(std::uint64_t size);
    // The extents, in file order, read one after the other as one file.
    static FileView of(std::vector<Extent> extents);

    std::uint64_t size() const { return size_; }
    bool is_whole() const { return extents_.empty(); }
    const std::vector<Extent>& extents() const { return extents_; }

    // Where position `pos` of the view lies in the file, and how many bytes
    // from there follow on in one piece; a length of 0 at or past the end.
    Extent locate(std::uint64_t pos) const;

private:
    std::vector<Extent> extents_;      // empty: the whole file
    std::vector<std::uint64_t> starts_;  // each extent's first position in the view
    std::uint64_t size_ = 0;
};

// The little-endian 32-bit number at `p`, as RIFF and Ogg headers hold them.
inline std::uint32_t read_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Reads up to out.size() bytes at `offset` of the source; the count read
// (less at the end of the file), or a negative number when the read failed.
using ReadAt = std::function<long(std::uint64_t offset, std::span<std::uint8_t> out)>;

// The view of an Ogg file (of `size` bytes) that holds only the pages of the
// audio stream FFmpeg would pick from its headers: of the Vorbis, Opus and
// FLAC streams that start together at the file's beginning, the one of the
// highest nominal bit rate, the first of equals. The whole file wherever
// anything is out of the ordinary, so that FFmpeg reads it as it always did:
// a file that is not Ogg or holds one stream, a stream of a kind not named
// above, streams starting later (a chained file), a page that does not
// follow on from the one before, or a failed read.
FileView ogg_single_stream_view(const ReadAt& read_at, std::uint64_t size);

// True when the Ogg file (of `size` bytes) is chained: a stream starts after
// another one's pages, as in files joined end to end or stream recordings.
// Pages are walked by their headers, one read each, up to the first such
// start, or to a page that does not follow on from the one before.
bool ogg_is_chained(const ReadAt& read_at, std::uint64_t size);

// How an Ogg file of `size` bytes ends: on a whole end-of-stream page, on a
// whole page of another kind, on a page cut short, or unknown (no page
// found in its last page's length, or a failed read).
enum class OggEnd { Whole, NoEndPage, PartialPage, Unknown };
OggEnd ogg_end(const ReadAt& read_at, std::uint64_t size);

}  // namespace tolvek::audio
