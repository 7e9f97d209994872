#include "image/png.h"

#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <span>
#include <vector>
#include <string>
#include <string_view>

namespace tolvek::image {
namespace {

// libpng's default limit on either side; pictures beyond it never occur.
constexpr int kMaxSidePixels = 1'000'000;
// A chunk's length field holds at most 2^31 - 1.
constexpr std::size_t kMaxChunkBytes = 0x7fffffff;
constexpr std::size_t kChunkFrameBytes = 12;  // length, type and CRC
constexpr std::uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr std::uint8_t kColourTypeRgb = 2;
constexpr std::uint8_t kBitDepth = 8;

struct CompressorFree {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, CompressorFree>;

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    const std::uint8_t bytes[] = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                                  static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    out.insert(out.end(), bytes, bytes + 4);
}

// Length, type, data, and the CRC of type and data.
void put_chunk(std::vector<std::uint8_t>& out, const char (&type)[5], const std::uint8_t* data, std::size_t size) {
    put_u32(out, static_cast<std::uint32_t>(size));
    const std::size_t crc_from = out.size();
    out.insert(out.end(), type, type + 4);
    if (size) out.insert(out.end(), data, data + size);
    put_u32(out, libdeflate_crc32(0, out.data() + crc_from, out.size() - crc_from));
}

// What libpng makes of a keyword before writing it: no leading or trailing
// spaces, runs of spaces as one. Keys reach here as printable ASCII.
std::string tidy_keyword(std::string_view key) {
    std::string tidy;
    for (char c : key) {
        if (c != ' ' || (!tidy.empty() && tidy.back() != ' ')) tidy += c;
    }
    if (!tidy.empty() && tidy.back() == ' ') tidy.pop_back();
    return tidy;
}

// Uncompressed iTXt: keyword, NUL, compression flag and method 0, empty
// language tag and translated keyword (each NUL-ended), the UTF-8 text.
Status put_text(std::vector<std::uint8_t>& out, const std::string& key, const std::string& value) {
    const std::string keyword = tidy_keyword(key);
    if (keyword.empty()) return Status::fail(kSaveEncode, "iTXt: invalid keyword");
    std::string data = keyword;
    data.append(5, '\0');
    data += value;
    put_chunk(out, "iTXt", reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    return Status::ok();
}

bool put_all(std::FILE* out, const std::uint8_t* data, std::size_t size) {
    return std::fwrite(data, 1, size, out) == size;
}

// The compressed rows straight from the picture's buffer, written from an
// uninitialised buffer: zeroing megabytes per picture cost as much as
// compressing them.
Status put_pixels(std::FILE* out, const Picture& picture, int level) {
    const Compressor compressor(libdeflate_alloc_compressor(level));
    if (!compressor) return Status::fail(kSaveEncode, "out of memory");
    const std::span<const std::uint8_t> rows = picture.png_rows();
    const std::size_t bound = libdeflate_zlib_compress_bound(compressor.get(), rows.size());
    const auto packed = std::make_unique_for_overwrite<std::uint8_t[]>(bound);
    const std::size_t size = libdeflate_zlib_compress(compressor.get(), rows.data(), rows.size(), packed.get(), bound);
    if (size == 0) return Status::fail(kSaveEncode, "compression failed");
    for (std::size_t at = 0; at < size; at += kMaxChunkBytes) {
        const std::size_t part = std::min(kMaxChunkBytes, size - at);
        std::vector<std::uint8_t> head;
        put_u32(head, static_cast<std::uint32_t>(part));
        head.insert(head.end(), {'I', 'D', 'A', 'T'});
        std::vector<std::uint8_t> tail;
        put_u32(tail, libdeflate_crc32(libdeflate_crc32(0, head.data() + 4, 4), packed.get() + at, part));
        if (!put_all(out, head.data(), head.size()) || !put_all(out, packed.get() + at, part) ||
            !put_all(out, tail.data(), tail.size()))
            return Status::fail(kSaveWrite, std::strerror(errno));
    }
    return Status::ok();
}

}  // namespace

Status write_png(const Picture& picture, const Metadata& metadata, std::FILE* out, int level) {
    const int w = picture.width(), h = picture.height();
    if (w < 1 || h < 1 || w > kMaxSidePixels || h > kMaxSidePixels)
        return Status::fail(kSaveEncode, "a picture of " + std::to_string(w) + "x" + std::to_string(h) +
                                             " pixels cannot be a PNG");
    std::vector<std::uint8_t> head(std::begin(kSignature), std::end(kSignature));
    std::vector<std::uint8_t> header;
    put_u32(header, static_cast<std::uint32_t>(w));
    put_u32(header, static_cast<std::uint32_t>(h));
    // Bit depth, colour type, compression, filter method, no interlace.
    header.insert(header.end(), {kBitDepth, kColourTypeRgb, 0, 0, 0});
    put_chunk(head, "IHDR", header.data(), header.size());
    for (const auto& [key, value] : metadata) {
        if (Status bad = put_text(head, key, value); !bad) return bad;
    }
    if (!put_all(out, head.data(), head.size())) return Status::fail(kSaveWrite, std::strerror(errno));
    if (Status bad = put_pixels(out, picture, level); !bad) return bad;
    std::vector<std::uint8_t> end;
    put_chunk(end, "IEND", nullptr, 0);
    if (!put_all(out, end.data(), end.size())) return Status::fail(kSaveWrite, std::strerror(errno));
    return Status::ok();
}

}  // namespace tolvek::image
