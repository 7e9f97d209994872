#include "image/png.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace tolvek::image {
namespace {

// libpng's default limit on either side; pictures beyond it never occur.
constexpr int kMaxSidePixels = 1'000'000;
// A chunk's length field holds at most 2^31 - 1.
constexpr std::size_t kMaxChunkBytes = 0x7fffffff;
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

// The rows as PNG stores them unfiltered: a 0 byte before each.
std::vector<std::uint8_t> filtered_rows(const Picture& picture) {
    const std::size_t row_bytes = static_cast<std::size_t>(picture.width()) * 3;
    std::vector<std::uint8_t> rows((row_bytes + 1) * picture.height());
    std::uint8_t* at = rows.data();
    for (int y = 0; y < picture.height(); ++y) {
        *at++ = 0;
        std::memcpy(at, picture.row(y), row_bytes);
        at += row_bytes;
    }
    return rows;
}

Status put_pixels(std::vector<std::uint8_t>& out, const Picture& picture, int level) {
    const Compressor compressor(libdeflate_alloc_compressor(level));
    if (!compressor) return Status::fail(kSaveEncode, "out of memory");
    const std::vector<std::uint8_t> rows = filtered_rows(picture);
    std::vector<std::uint8_t> packed(libdeflate_zlib_compress_bound(compressor.get(), rows.size()));
    const std::size_t size =
        libdeflate_zlib_compress(compressor.get(), rows.data(), rows.size(), packed.data(), packed.size());
    if (size == 0) return Status::fail(kSaveEncode, "compression failed");
    for (std::size_t at = 0; at < size; at += kMaxChunkBytes)
        put_chunk(out, "IDAT", packed.data() + at, std::min(kMaxChunkBytes, size - at));
    return Status::ok();
}

}  // namespace

Status encode_png(const Picture& picture, const Metadata& metadata, std::vector<std::uint8_t>& out, int level) {
    const int w = picture.width(), h = picture.height();
    if (w < 1 || h < 1 || w > kMaxSidePixels || h > kMaxSidePixels)
        return Status::fail(kSaveEncode, "a picture of " + std::to_string(w) + "x" + std::to_string(h) +
                                             " pixels cannot be a PNG");
    out.insert(out.end(), std::begin(kSignature), std::end(kSignature));
    std::vector<std::uint8_t> header;
    put_u32(header, static_cast<std::uint32_t>(w));
    put_u32(header, static_cast<std::uint32_t>(h));
    // Bit depth, colour type, compression, filter method, no interlace.
    header.insert(header.end(), {kBitDepth, kColourTypeRgb, 0, 0, 0});
    put_chunk(out, "IHDR", header.data(), header.size());
    for (const auto& [key, value] : metadata) {
        if (Status bad = put_text(out, key, value); !bad) return bad;
    }
    if (Status bad = put_pixels(out, picture, level); !bad) return bad;
    put_chunk(out, "IEND", nullptr, 0);
    return Status::ok();
}

}  // namespace tolvek::image
