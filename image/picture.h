// The picture a conversion paints: 24-bit RGB, held top row first so that a
// row of the buffer is a row of the saved file, and encoded as PNG or JPEG.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/status.h"

namespace tolvek::image {

enum class FileType { Jpeg = 3, Png = 4 };

// Text entries stored in a picture: (key, value), UTF-8. A key is 1..79
// printable ASCII characters without '=' (PNG's limit for a keyword; '='
// separates key and value in a JPEG comment).
using Metadata = std::vector<std::pair<std::string, std::string>>;

// The image layer's error codes.
enum class Error {
    // Picture::save
    kSaveCreate = 1,   // no temporary file could be made beside the picture
    kSaveWrite,        // a write failed (full disk, file-size limit, ...)
    kSaveEncode,       // the encoder refused (e.g. an empty picture)
    kSaveReplace,      // the finished file could not be put in place
    kSaveBadMetadata,  // a key or value that cannot be stored
    kSaveCannotLink,   // the file system cannot name an unnamed file
    // read_metadata and whole_picture_size, besides open_regular_file's own
    kMetadataNotPicture,  // neither PNG nor JPEG
    kMetadataDamaged,     // cut short or inconsistent before the pixel data
    kMetadataTooLarge,    // more text than a picture of ours ever holds
    // read_picture
    kErrorPictureData,  // not a PNG or JPEG we can decode
    kErrorPictureIo,    // the file could not be read
    // text
    kFontError,  // no font, or the font libraries failed
};
using enum Error;
inline const LayerErrors kImageErrors{"image"};
inline std::error_code make_error_code(Error e) { return {static_cast<int>(e), kImageErrors}; }

// The text entries of a PNG or JPEG written by save(), read without decoding
// a pixel (PNG: chunks up to IDAT; JPEG: markers up to SOS). Bounded: at most
// kMetadataLimitBytes of text and a fixed number of chunks or markers.
// Entries found before a fault are left in `out`.
inline constexpr std::size_t kMetadataLimitBytes = 1 << 20;
Status read_metadata(const std::string& path, Metadata& out);

// A picture's size in pixels.
struct PictureSize {
    int width = 0, height = 0;
    friend bool operator==(const PictureSize&, const PictureSize&) = default;
};

// The size of the PNG or JPEG at `path` when the file is whole, without
// decoding a pixel: a PNG's chunks, IHDR first, each with its CRC right (so
// changed pixel data shows too), up to IEND as the file's last bytes; a
// JPEG's markers, its scans' data and EOI as the file's last two bytes.
// Anything else gives kMetadataDamaged (kMetadataTooLarge past
// kMaxWholeCheckBytes, kMetadataNotPicture for other files).
inline constexpr std::uint64_t kMaxWholeCheckBytes = std::uint64_t{64} << 20;
Status whole_picture_size(const std::string& path, PictureSize& out);

// Unlinks every temporary file a save has named and not yet put in place.
// Async-signal-safe (only atomics and unlinkat), for a signal handler that
// ends the process: see frontend/signals.h. The library never installs one.
void remove_unfinished_saves() noexcept;

// Writes the file at `path` as pictures are saved: through `write` into a
// file beside it that becomes `path` only once whole, so that `path` is
// the old file or the whole new one, never a part.
Status save_file(const std::string& path, const std::function<Status(FILE*)>& write);

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

class Picture {
public:
    // A black picture of width × height.
    Picture(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }

    void set_jpeg_quality(std::uint8_t quality) { jpeg_quality_ = quality; }
    std::uint8_t jpeg_quality() const { return jpeg_quality_; }

    // y = 0 is the bottom row of the saved picture. No bounds check: the
    // conversion sets about a million pixels per file.
    void set_pixel(int x, int y, Rgb c) {
        std::uint8_t* p = &pixels_[row_start(height_ - 1 - y) + static_cast<std::size_t>(x) * 3];
        p[0] = c.r;
        p[1] = c.g;
        p[2] = c.b;
    }
    Rgb pixel(int x, int y) const {
        const std::uint8_t* p = &pixels_[row_start(height_ - 1 - y) + static_cast<std::size_t>(x) * 3];
        return {p[0], p[1], p[2]};
    }

    // Writes the whole picture to `path` or nothing at all: the file is
    // written beside it as an unnamed (or, where the file system cannot, a
    // hidden temporary) file and renamed over `path` only when complete, so
    // an older picture stays as it was when the save fails. `metadata` goes
    // into the file as text (PNG iTXt chunks, JPEG COM markers "key=value");
    // it never changes a pixel. Codes: the kSave* errors.
    Status save(const std::string& path, FileType type, const Metadata& metadata = {}) const;

    // Rows top first, 3 bytes per pixel.
    const std::uint8_t* row(int top_row) const { return &pixels_[row_start(top_row)]; }

    // All rows top first, each after one 0 byte: PNG's unfiltered rows, which
    // the PNG writer compresses as they are, without a copy of the picture.
    // (1 + 3 × width) × height bytes.
    std::span<const std::uint8_t> png_rows() const { return pixels_; }

private:
    std::size_t row_start(int top_row) const {
        return static_cast<std::size_t>(top_row) * (static_cast<std::size_t>(width_) * 3 + 1) + 1;
    }

    int width_;
    int height_;
    std::uint8_t jpeg_quality_ = 75;
    std::vector<std::uint8_t> pixels_;
};

}  // namespace tolvek::image

template <>
struct std::is_error_code_enum<tolvek::image::Error> : std::true_type {};
