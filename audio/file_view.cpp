#include "audio/file_view.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <unordered_set>

namespace tolvek::audio {

FileView FileView::whole(std::uint64_t size) {
    FileView v;
    v.size_ = size;
    return v;
}

FileView FileView::of(std::vector<Extent> extents) {
    FileView v;
    v.extents_ = std::move(extents);
    v.starts_.reserve(v.extents_.size());
    for (const Extent& e : v.extents_) {
        v.starts_.push_back(v.size_);
        v.size_ += e.length;
    }
    return v;
}

FileView::Extent FileView::locate(std::uint64_t pos) const {
    if (pos >= size_) return {pos, 0};
    if (is_whole()) return {pos, size_ - pos};
    const auto i = static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), pos) - starts_.begin()) - 1;
    const std::uint64_t within = pos - starts_[i];
    return {extents_[i].offset + within, extents_[i].length - within};
}

namespace {

// The page layout: "OggS", version, flags, granule (8), serial (4),
// sequence (4), checksum (4), segment count, then one length byte per
// segment; the body follows.
constexpr std::size_t kHeaderBytes = 27;
constexpr std::size_t kMaxSegments = 255;
constexpr std::size_t kSerialOffset = 14;
constexpr std::size_t kFlagsOffset = 5;
constexpr std::uint8_t kFirstPageFlag = 0x02;  // the stream's first page
constexpr std::uint8_t kLastPageFlag = 0x04;   // the stream's end-of-stream page
// A page is at most this long: header, 255 segments of 255 bytes.
constexpr std::size_t kMaxPageBytes = kHeaderBytes + kMaxSegments + kMaxSegments * 255;
// Enough of a first page's body to tell its codec and, for Vorbis, read the
// nominal bit rate (bytes 20..23 of its identification header).
constexpr std::size_t kBodyHeadBytes = 32;
constexpr std::size_t kVorbisBitrateOffset = 20;

struct Page {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;  // header, segment table and body; cut at the file's end
    bool cut = false;          // the file ends before the page does
    std::uint32_t serial = 0;
    bool first = false;
    bool last = false;         // the stream's end-of-stream page
    std::array<std::uint8_t, kBodyHeadBytes> head{};
    std::size_t head_size = 0;
};


std::optional<Page> read_page(const ReadAt& read_at, std::uint64_t offset, std::uint64_t size) {
    std::array<std::uint8_t, kHeaderBytes + kMaxSegments + kBodyHeadBytes> buf{};
    const long got = read_at(offset, buf);
    if (got < static_cast<long>(kHeaderBytes)) return std::nullopt;
    const auto n = static_cast<std::size_t>(got);
    if (std::string_view(reinterpret_cast<const char*>(buf.data()), 4) != "OggS" || buf[4] != 0) return std::nullopt;
    const std::size_t segments = buf[kHeaderBytes - 1];
    const std::size_t body_start = kHeaderBytes + segments;
    if (n < body_start) return std::nullopt;
    std::uint64_t body = 0;
    for (std::size_t i = 0; i < segments; ++i) body += buf[kHeaderBytes + i];
    Page p;
    p.offset = offset;
    p.length = std::min<std::uint64_t>(body_start + body, size - offset);
    p.cut = body_start + body > size - offset;
    p.serial = read_le32(&buf[kSerialOffset]);
    p.first = (buf[kFlagsOffset] & kFirstPageFlag) != 0;
    p.last = (buf[kFlagsOffset] & kLastPageFlag) != 0;
    p.head_size = static_cast<std::size_t>(std::min<std::uint64_t>({n - body_start, body, kBodyHeadBytes}));
    std::copy_n(buf.begin() + static_cast<std::ptrdiff_t>(body_start), p.head_size, p.head.begin());
    return p;
}

// What a stream's first packet says about it: audio with the bit rate the
// demuxer reads from it (only Vorbis headers carry one), not audio, or
// unknown.
struct Kind {
    bool known = false;
    bool audio = false;
    std::uint32_t bitrate = 0;
};

Kind kind_of(const Page& p) {
    const std::string_view head(reinterpret_cast<const char*>(p.head.data()), p.head_size);
    if (head.starts_with("\x01vorbis")) {
        if (head.size() < kVorbisBitrateOffset + 4) return {};
        return {true, true, read_le32(&p.head[kVorbisBitrateOffset])};
    }
    if (head.starts_with("OpusHead") || head.starts_with("\x7f" "FLAC")) return {true, true, 0};
    if (head.starts_with("\x80theora") || head.starts_with(std::string_view("fishead\0", 8))) return {true, false, 0};
    return {};
}

// The stream to keep of those starting together, as FFmpeg's choice by the
// headers alone goes: the highest bit rate, the first of equals.
std::optional<std::uint32_t> choose(const std::vector<Page>& firsts) {
    std::optional<std::uint32_t> chosen;
    std::uint32_t best = 0;
    for (const Page& p : firsts) {
        const Kind k = kind_of(p);
        if (!k.known) return std::nullopt;
        if (k.audio && (!chosen || k.bitrate > best)) {
            chosen = p.serial;
            best = k.bitrate;
        }
    }
    return chosen;
}

void keep(std::vector<FileView::Extent>& extents, const Page& p) {
    if (!extents.empty() && extents.back().offset + extents.back().length == p.offset)
        extents.back().length += p.length;
    else
        extents.push_back({p.offset, p.length});
}

}  // namespace

FileView ogg_single_stream_view(const ReadAt& read_at, std::uint64_t size) {
    const FileView whole = FileView::whole(size);
    std::vector<Page> firsts;  // the first pages that open the file
    std::unordered_set<std::uint32_t> serials;  // theirs
    std::optional<std::uint32_t> chosen;
    std::vector<FileView::Extent> extents;
    for (std::uint64_t offset = 0; offset < size;) {
        const std::optional<Page> page = read_page(read_at, offset, size);
        if (!page) return whole;
        if (!chosen) {
            if (page->first) {
                if (!serials.insert(page->serial).second) return whole;
                firsts.push_back(*page);
                offset += page->length;
                continue;
            }
            // The streams that start together have all started.
            if (firsts.size() < 2 || !(chosen = choose(firsts))) return whole;
            for (const Page& f : firsts)
                if (f.serial == *chosen) keep(extents, f);
        }
        if (page->first) return whole;  // a stream starting later: read as FFmpeg always did
        if (!serials.contains(page->serial)) return whole;
        if (page->serial == *chosen) keep(extents, *page);
        offset += page->length;
    }
    if (!chosen) return whole;  // nothing but first pages: too little to be worth choosing
    return FileView::of(std::move(extents));
}

bool ogg_is_chained(const ReadAt& read_at, std::uint64_t size) {
    bool streams_begun = false;  // a page that is no stream's first has been seen
    for (std::uint64_t offset = 0; offset < size;) {
        const std::optional<Page> page = read_page(read_at, offset, size);
        if (!page || page->length == 0) return false;
        if (page->first && streams_begun) return true;
        streams_begun = streams_begun || !page->first;
        offset += page->length;
    }
    return false;
}

OggEnd ogg_end(const ReadAt& read_at, std::uint64_t size) {
    const std::uint64_t from = size > kMaxPageBytes ? size - kMaxPageBytes : 0;
    std::vector<std::uint8_t> tail(static_cast<std::size_t>(size - from));
    if (read_at(from, tail) != static_cast<long>(tail.size())) return OggEnd::Unknown;
    const std::string_view text(reinterpret_cast<const char*>(tail.data()), tail.size());
    for (std::size_t at = text.rfind("OggS"); at != std::string_view::npos;
         at = at ? text.rfind("OggS", at - 1) : std::string_view::npos) {
        if (at + 4 < tail.size() && tail[at + 4] != 0) continue;  // not a page's version
        const std::optional<Page> page = read_page(read_at, from + at, size);
        if (!page || page->cut) return OggEnd::PartialPage;
        return page->last ? OggEnd::Whole : OggEnd::NoEndPage;
    }
    return OggEnd::Unknown;
}

}  // namespace tolvek::audio
