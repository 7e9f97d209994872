// Reading back the text entries Picture::save writes, without decoding a
// pixel: the PNG chunks before IDAT, the JPEG markers before SOS. The file may
// be anything a user left under a picture's name, so every length is checked
// against the file and every allocation against kMetadataLimitBytes.
#include <libdeflate.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/file.h"
#include "image/picture.h"

namespace tolvek::image {
namespace {

// More chunks or markers than any picture of ours holds before its pixels;
// a file of millions of empty chunks is cut short rather than walked.
constexpr int kMaxSegments = 100000;
constexpr std::array<std::uint8_t, 8> kPngSignature{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

// Reads at absolute offsets of an open file of known size.
class Reader {
public:
    Reader(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
    std::uint64_t size() const { return size_; }

    bool read(std::uint64_t offset, void* out, std::size_t bytes) const {
        if (offset > size_ || bytes > size_ - offset) return false;
        auto* p = static_cast<char*>(out);
        while (bytes > 0) {
            const ssize_t got = pread(fd_, p, bytes, static_cast<off_t>(offset));
            if (got <= 0) return false;
            p += got;
            offset += static_cast<std::uint64_t>(got);
            bytes -= static_cast<std::size_t>(got);
        }
        return true;
    }
    bool read_string(std::uint64_t offset, std::size_t bytes, std::string& out) const {
        out.resize(bytes);
        return read(offset, out.data(), bytes);
    }

private:
    int fd_;
    std::uint64_t size_;
};

std::uint32_t big_endian(const std::uint8_t* p, int bytes) {
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}

Status damaged(const std::string& path, const char* what) {
    return Status::fail(kMetadataDamaged, path + ": " + what);
}

// Adds the entry unless the text budget is spent.
Status take(std::string key, std::string value, std::size_t& budget, Metadata& out, const std::string& path) {
    if (key.size() + value.size() > budget) return Status::fail(kMetadataTooLarge, path + ": too much text before the picture data");
    budget -= key.size() + value.size();
    out.emplace_back(std::move(key), std::move(value));
    return Status::ok();
}

// An iTXt chunk: keyword NUL, compression flag, method, language NUL,
// translated keyword NUL, text. Compressed ones are not ours and are skipped.
Status parse_itxt(const std::string& data, std::size_t& budget, Metadata& out, const std::string& path) {
    const std::size_t key_end = data.find('\0');
    if (key_end == std::string::npos || key_end + 3 > data.size()) return damaged(path, "iTXt chunk cut short");
    if (data[key_end + 1] != 0) return Status::ok();
    const std::size_t lang_end = data.find('\0', key_end + 3);
    const std::size_t trans_end = lang_end == std::string::npos ? lang_end : data.find('\0', lang_end + 1);
    if (trans_end == std::string::npos) return damaged(path, "iTXt chunk cut short");
    return take(data.substr(0, key_end), data.substr(trans_end + 1), budget, out, path);
}

Status read_png_text(const Reader& file, Metadata& out, const std::string& path) {
    std::size_t budget = kMetadataLimitBytes;
    std::uint64_t offset = kPngSignature.size();
    for (int n = 0; n < kMaxSegments; ++n) {
        std::uint8_t head[8];
        if (!file.read(offset, head, sizeof head)) return damaged(path, "cut short before the picture data");
        const std::uint32_t length = big_endian(head, 4);
        const std::string_view type(reinterpret_cast<const char*>(head + 4), 4);
        if (type == "IDAT" || type == "IEND") return Status::ok();
        const std::uint64_t data_at = offset + sizeof head;
        if (length > file.size() || data_at + length + 4 > file.size()) return damaged(path, "a chunk runs past the end");
        if (type == "iTXt") {
            if (length > budget) return Status::fail(kMetadataTooLarge, path + ": too much text before the picture data");
            std::string data;
            if (!file.read_string(data_at, length, data)) return damaged(path, "cannot read a text chunk");
            if (Status s = parse_itxt(data, budget, out, path); !s) return s;
        }
        offset = data_at + length + 4;  // and the CRC
    }
    return damaged(path, "too many chunks before the picture data");
}

// Markers without a length: TEM, RST0..RST7 (and SOI, seen first).
bool standalone_marker(std::uint8_t m) { return m == 0x01 || (m >= 0xd0 && m <= 0xd7); }

Status read_jpeg_comments(const Reader& file, Metadata& out, const std::string& path) {
    constexpr std::uint8_t kSos = 0xda, kEoi = 0xd9, kCom = 0xfe;
    std::size_t budget = kMetadataLimitBytes;
    std::uint64_t offset = 2;
    for (int n = 0; n < kMaxSegments; ++n) {
        std::uint8_t head[2];
        if (!file.read(offset, head, sizeof head) || head[0] != 0xff) return damaged(path, "no marker where one belongs");
        if (head[1] == 0xff) {  // a fill byte
            ++offset;
            continue;
        }
        if (head[1] == kSos || head[1] == kEoi) return Status::ok();
        if (standalone_marker(head[1])) {
            offset += 2;
            continue;
        }
        std::uint8_t len[2];
        if (!file.read(offset + 2, len, sizeof len)) return damaged(path, "a marker cut short");
        const std::uint32_t length = big_endian(len, 2);
        if (length < 2) return damaged(path, "a marker with an impossible length");
        if (head[1] == kCom) {
            std::string text;
            if (!file.read_string(offset + 4, length - 2, text)) return damaged(path, "a comment cut short");
            const std::size_t eq = text.find('=');
            if (eq != std::string::npos)
                if (Status s = take(text.substr(0, eq), text.substr(eq + 1), budget, out, path); !s) return s;
        }
        offset += 2 + length;
    }
    return damaged(path, "too many markers before the picture data");
}

// A whole PNG in memory: IHDR first, every chunk's CRC right, IEND last.
Status whole_png(std::string_view b, PictureSize& out, const std::string& path) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(b.data());
    for (std::size_t at = kPngSignature.size();;) {
        if (b.size() - at < 12) return damaged(path, "cut short");
        const std::uint32_t length = big_endian(bytes + at, 4);
        if (length > b.size() - at - 12) return damaged(path, "a chunk runs past the end");
        const std::string_view type = b.substr(at + 4, 4);
        if (libdeflate_crc32(0, bytes + at + 4, length + 4) != big_endian(bytes + at + 8 + length, 4))
            return damaged(path, "a chunk's CRC does not match its data");
        if (at == kPngSignature.size()) {
            if (type != "IHDR" || length != 13) return damaged(path, "no IHDR chunk first");
            const std::uint32_t width = big_endian(bytes + at + 8, 4), height = big_endian(bytes + at + 12, 4);
            if (width > INT32_MAX || height > INT32_MAX) return damaged(path, "an impossible size");
            out = {static_cast<int>(width), static_cast<int>(height)};
        }
        at += 12 + std::size_t{length};
        if (type == "IEND") return at == b.size() ? Status::ok() : damaged(path, "data after IEND");
    }
}

// SOF0..SOF15 but DHT (C4), JPG (C8) and DAC (CC): the frame header.
bool frame_marker(std::uint8_t m) { return m >= 0xc0 && m <= 0xcf && m != 0xc4 && m != 0xc8 && m != 0xcc; }

// Past a scan's entropy-coded data from `at`: to the first marker that is
// not stuffing (FF 00), a fill byte or a restart (RST0..RST7).
std::size_t after_scan(std::string_view b, std::size_t at) {
    for (at = b.find('\xff', at); at != std::string_view::npos && at + 1 < b.size(); at = b.find('\xff', at)) {
        const auto next = static_cast<std::uint8_t>(b[at + 1]);
        if (next != 0x00 && next != 0xff && !(next >= 0xd0 && next <= 0xd7)) return at;
        at += next == 0xff ? 1 : 2;
    }
    return b.size();
}

// A whole JPEG in memory: markers, a frame header, scans, then EOI as the
// last two bytes.
Status whole_jpeg(std::string_view b, PictureSize& out, const std::string& path) {
    constexpr std::uint8_t kSos = 0xda, kEoi = 0xd9;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(b.data());
    bool framed = false;
    for (std::size_t at = 2;;) {
        if (b.size() - at < 2 || bytes[at] != 0xff) return damaged(path, "no marker where one belongs");
        const std::uint8_t m = bytes[at + 1];
        if (m == 0xff) {  // a fill byte
            ++at;
            continue;
        }
        if (m == kEoi) {
            if (!framed) return damaged(path, "no frame header");
            return at + 2 == b.size() ? Status::ok() : damaged(path, "data after EOI");
        }
        if (standalone_marker(m)) {
            at += 2;
            continue;
        }
        if (b.size() - at < 4) return damaged(path, "a marker cut short");
        const std::uint32_t length = big_endian(bytes + at + 2, 2);
        if (length < 2 || length > b.size() - at - 2) return damaged(path, "a marker runs past the end");
        if (frame_marker(m)) {
            if (length < 8) return damaged(path, "a frame header cut short");
            out = {static_cast<int>(big_endian(bytes + at + 7, 2)), static_cast<int>(big_endian(bytes + at + 5, 2))};
            framed = true;
        }
        at += 2 + length;
        if (m == kSos) at = after_scan(b, at);
    }
}

}  // namespace

Status whole_picture_size(const std::string& path, PictureSize& out) {
    out = {};
    RegularFile file;
    if (Status s = open_regular_file(path, file); !s) return s;
    if (file.size > kMaxWholeCheckBytes) return Status::fail(kMetadataTooLarge, path + ": larger than any picture of ours");
    std::string bytes;
    if (!Reader(file.fd.get(), file.size).read_string(0, static_cast<std::size_t>(file.size), bytes))
        return damaged(path, "cannot be read");
    const std::string_view b(bytes);
    if (b.starts_with(std::string_view(reinterpret_cast<const char*>(kPngSignature.data()), kPngSignature.size())))
        return whole_png(b, out, path);
    if (b.starts_with("\xff\xd8\xff")) return whole_jpeg(b, out, path);
    return Status::fail(kMetadataNotPicture, path + ": neither a PNG nor a JPEG picture");
}

Status read_metadata(const std::string& path, Metadata& out) {
    out.clear();
    RegularFile file;
    if (Status s = open_regular_file(path, file); !s) return s;
    const Reader reader(file.fd.get(), file.size);
    std::uint8_t magic[8] = {};
    if (reader.read(0, magic, sizeof magic) && std::memcmp(magic, kPngSignature.data(), sizeof magic) == 0)
        return read_png_text(reader, out, path);
    if (reader.read(0, magic, 3) && magic[0] == 0xff && magic[1] == 0xd8 && magic[2] == 0xff)
        return read_jpeg_comments(reader, out, path);
    return Status::fail(kMetadataNotPicture, path + ": neither a PNG nor a JPEG picture");
}

}  // namespace tolvek::image
