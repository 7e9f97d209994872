// What a picture records about how it was made (inside the file, as text
// metadata): the program's version, its source's size and modification time
// and a fingerprint of every setting that changes pixels. A later run in
// update mode compares it with the source and its settings and skips a
// picture that is up to date without opening the source.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/status.h"
#include "convert/convert.h"
#include "image/picture.h"

namespace tolvek::convert {

// What a picture holds and means, numbered: raised whenever that changes
// (its record's fields, its outcomes, new settings), so that no update run
// takes a picture of another number as up to date. Pictures without the
// number are of format 1.
inline constexpr int kStampFormat = 2;

struct Stamp {
    int format = kStampFormat;
    std::string version;
    std::uint64_t source_size = 0;
    std::int64_t source_mtime_ns = 0;
    std::string fingerprint;
    friend bool operator==(const Stamp&, const Stamp&) = default;
};

inline constexpr const char* kStampFormatKey = "Tolvek-Format";
inline constexpr const char* kStampVersionKey = "Tolvek-Version";
inline constexpr const char* kStampSizeKey = "Tolvek-Source-Size";
inline constexpr const char* kStampMtimeKey = "Tolvek-Source-Mtime-Ns";
inline constexpr const char* kStampFingerprintKey = "Tolvek-Fingerprint";
// The picture's own width and height, "WIDTHxHEIGHT": a picture whose file
// says otherwise is not the one that was saved.
inline constexpr const char* kStampPictureSizeKey = "Tolvek-Picture-Size";

// The program's version, from the project's version.
const char* program_version();

// 16 hex digits over every setting that changes a picture's pixels or bytes
// (format, JPEG quality, grid, range, scale, frame, coverage, channels and the palette's
// colours), so changing any of them makes every picture out of date.
std::string settings_fingerprint(const Options& options);

// The stamp a picture of `path` made now with `options` carries; the source
// as the file system shows it.
Status stamp_for(const std::string& path, const Options& options, Stamp& out);

void add_stamp(const Stamp& stamp, image::Metadata& metadata);
// The stamp recorded in a picture's metadata, when it holds a whole one.
std::optional<Stamp> read_stamp(const image::Metadata& metadata);

void add_picture_size(image::PictureSize size, image::Metadata& metadata);
std::optional<image::PictureSize> read_picture_size(const image::Metadata& metadata);

// A value of `metadata` by key.
std::optional<std::string> metadata_value(const image::Metadata& metadata, std::string_view key);

}  // namespace tolvek::convert
