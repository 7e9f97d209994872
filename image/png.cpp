#include "image/png.h"

#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <array>
#include <memory>
#include <optional>
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
constexpr std::uint8_t kColourTypeIndexed = 3;
constexpr std::uint8_t kBitDepth = 8;
constexpr std::size_t kMaxPaletteColours = 256;
// Open addressing over colours: a power of two, four times the palette.
constexpr std::uint32_t kColourSlots = 1024;
constexpr int kColourSlotBits = 10;
constexpr std::uint32_t kNoColour = 0xffffffff;

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

// A picture of at most 256 colours as a PNG palette (colours in order of
// first appearance, 3 bytes each) and rows of one index byte per pixel,
// each after its filter byte (0, none). A third of the RGB rows to
// compress, and the same pixels once decoded.
struct Indexed {
    std::vector<std::uint8_t> palette;
    std::vector<std::uint8_t> rows;
};

class ColourIndex {
public:
    ColourIndex() { keys_.fill(kNoColour); }
    // The colour's index, a new one for a new colour; nullopt past 256.
    std::optional<std::uint8_t> index(std::uint32_t rgb, std::vector<std::uint8_t>& palette) {
        for (std::uint32_t slot = (rgb * 0x9e3779b1u) >> (32 - kColourSlotBits);; slot = (slot + 1) & (kColourSlots - 1)) {
            if (keys_[slot] == rgb) return values_[slot];
            if (keys_[slot] != kNoColour) continue;
            const std::size_t count = palette.size() / 3;
            if (count == kMaxPaletteColours) return std::nullopt;
            palette.insert(palette.end(), {static_cast<std::uint8_t>(rgb >> 16), static_cast<std::uint8_t>(rgb >> 8),
                                           static_cast<std::uint8_t>(rgb)});
            keys_[slot] = rgb;
            values_[slot] = static_cast<std::uint8_t>(count);
            return values_[slot];
        }
    }

private:
    std::array<std::uint32_t, kColourSlots> keys_;
    std::array<std::uint8_t, kColourSlots> values_{};
};

// The indexed form of `picture`, or nullopt when it holds more than 256
// colours. Neighbouring pixels mostly repeat a colour, so the last one is
// kept at hand.
std::optional<Indexed> index_colours(const Picture& picture) {
    const std::size_t w = static_cast<std::size_t>(picture.width()), h = static_cast<std::size_t>(picture.height());
    const std::uint8_t* rgb_rows = picture.png_rows().data();
    Indexed out;
    out.rows.resize((w + 1) * h);
    ColourIndex colours;
    std::uint32_t last = kNoColour;
    std::uint8_t last_index = 0;
    for (std::size_t y = 0; y < h; ++y) {
        const std::uint8_t* px = rgb_rows + y * (3 * w + 1) + 1;
        std::uint8_t* row = out.rows.data() + y * (w + 1);
        row[0] = 0;
        for (std::size_t x = 0; x < w; ++x, px += 3) {
            const std::uint32_t rgb = std::uint32_t{px[0]} << 16 | std::uint32_t{px[1]} << 8 | px[2];
            if (rgb != last) {
                const std::optional<std::uint8_t> found = colours.index(rgb, out.palette);
                if (!found) return std::nullopt;
                last = rgb;
                last_index = *found;
            }
            row[x + 1] = last_index;
        }
    }
    return out;
}

bool put_all(std::FILE* out, const std::uint8_t* data, std::size_t size) {
    return std::fwrite(data, 1, size, out) == size;
}

// The compressed rows straight from the picture's buffer, written from an
// uninitialised buffer: zeroing megabytes per picture cost as much as
// compressing them.
Status put_pixels(std::FILE* out, std::span<const std::uint8_t> rows, int level) {
    const Compressor compressor(libdeflate_alloc_compressor(level));
    if (!compressor) return Status::fail(kSaveEncode, "out of memory");
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
    const std::optional<Indexed> indexed = index_colours(picture);
    std::vector<std::uint8_t> head(std::begin(kSignature), std::end(kSignature));
    std::vector<std::uint8_t> header;
    put_u32(header, static_cast<std::uint32_t>(w));
    put_u32(header, static_cast<std::uint32_t>(h));
    // Bit depth, colour type, compression, filter method, no interlace.
    header.insert(header.end(), {kBitDepth, indexed ? kColourTypeIndexed : kColourTypeRgb, 0, 0, 0});
    put_chunk(head, "IHDR", header.data(), header.size());
    for (const auto& [key, value] : metadata) {
        if (Status bad = put_text(head, key, value); !bad) return bad;
    }
    if (indexed) put_chunk(head, "PLTE", indexed->palette.data(), indexed->palette.size());
    if (!put_all(out, head.data(), head.size())) return Status::fail(kSaveWrite, std::strerror(errno));
    const std::span<const std::uint8_t> rows = indexed ? std::span<const std::uint8_t>(indexed->rows) : picture.png_rows();
    if (Status bad = put_pixels(out, rows, indexed ? kPngIndexedDeflateLevel : level); !bad) return bad;
    std::vector<std::uint8_t> end;
    put_chunk(end, "IEND", nullptr, 0);
    if (!put_all(out, end.data(), end.size())) return Status::fail(kSaveWrite, std::strerror(errno));
    return Status::ok();
}

}  // namespace tolvek::image
