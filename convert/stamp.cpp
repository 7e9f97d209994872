#include "convert/stamp.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/hash.h"

namespace tolvek::convert {

const char* program_version() { return TOLVEK_VERSION; }

namespace {

std::string optional_text(const std::optional<double>& v) {
    char text[32] = "";
    if (v) std::snprintf(text, sizeof text, "%.9g", *v);
    return text;
}

std::string shape_fingerprint(const Options& o) {
    const Options d;
    std::string text;
    if (o.width != d.width) text += " width=" + std::to_string(o.width);
    if (o.height != d.height) text += " height=" + std::to_string(o.height);
    if (o.spectrum != d.spectrum)
        text += " fft=" + std::to_string(o.spectrum.frames) + ":" + std::to_string(static_cast<int>(o.spectrum.window));
    if (o.time != d.time) text += " time=" + optional_text(o.time.start_s) + ".." + optional_text(o.time.end_s);
    if (o.start_time) text += " start=" + iso_text(*o.start_time);
    if (o.freq != d.freq) text += " freq=" + optional_text(o.freq.low_hz) + ".." + optional_text(o.freq.high_hz);
    return text;
}

}  // namespace

std::string settings_fingerprint(const Options& o) {
    const bool jpeg = o.format == image::FileType::Jpeg;
    char text[256];
    std::snprintf(text, sizeof text,
                  "format=%s quality=%d grid=%d range=%s:%.9g:%.9g scale=%d frame=%d coverage=%d channels=%d",
                  jpeg ? "jpeg" : "png", jpeg ? o.quality : 0, o.grid ? 1 : 0, o.range.classic ? "classic" : "dbfs",
                  static_cast<double>(o.range.low_dbfs), static_cast<double>(o.range.high_dbfs),
                  static_cast<int>(o.scale), o.frame ? 1 : 0, static_cast<int>(o.coverage),
                  static_cast<int>(o.channels));
    std::uint64_t hash = fnv1a64(text);
    // The picture's shape joins the text only where it differs from the
    // default, so that pictures of default settings keep their fingerprint.
    if (const std::string shape = shape_fingerprint(o); !shape.empty()) hash = fnv1a64(shape, hash);
    if (o.palette)
        for (const auto* table : {&o.palette->red, &o.palette->green, &o.palette->blue})
            hash = fnv1a64({reinterpret_cast<const char*>(table->data()), table->size()}, hash);
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

Status stamp_for(const std::string& path, const Options& options, Stamp& out) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Status::fail(system_error_code(errno), std::strerror(errno));
    out.version = program_version();
    out.source_size = static_cast<std::uint64_t>(st.st_size);
    out.source_mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    out.fingerprint = settings_fingerprint(options);
    return Status::ok();
}

void add_stamp(const Stamp& s, image::Metadata& m) {
    m.emplace_back(kStampFormatKey, std::to_string(s.format));
    m.emplace_back(kStampVersionKey, s.version);
    m.emplace_back(kStampSizeKey, std::to_string(s.source_size));
    m.emplace_back(kStampMtimeKey, std::to_string(s.source_mtime_ns));
    m.emplace_back(kStampFingerprintKey, s.fingerprint);
}

std::optional<std::string> metadata_value(const image::Metadata& metadata, std::string_view key) {
    for (const auto& [k, v] : metadata)
        if (k == key) return v;
    return std::nullopt;
}

void add_picture_size(image::PictureSize size, image::Metadata& m) {
    m.emplace_back(kStampPictureSizeKey, std::to_string(size.width) + "x" + std::to_string(size.height));
}

std::optional<image::PictureSize> read_picture_size(const image::Metadata& m) {
    const auto text = metadata_value(m, kStampPictureSizeKey);
    image::PictureSize size;
    if (!text || std::sscanf(text->c_str(), "%9dx%9d", &size.width, &size.height) != 2) return std::nullopt;
    if (*text != std::to_string(size.width) + "x" + std::to_string(size.height)) return std::nullopt;
    return size;
}

std::optional<Stamp> read_stamp(const image::Metadata& m) {
    const auto version = metadata_value(m, kStampVersionKey), size = metadata_value(m, kStampSizeKey),
               mtime = metadata_value(m, kStampMtimeKey), fingerprint = metadata_value(m, kStampFingerprintKey);
    if (!version || !size || !mtime || !fingerprint) return std::nullopt;
    Stamp s;
    const auto format = metadata_value(m, kStampFormatKey);
    s.format = format ? std::atoi(format->c_str()) : 1;
    if (format && *format != std::to_string(s.format)) return std::nullopt;
    s.version = *version;
    s.fingerprint = *fingerprint;
    char* end = nullptr;
    errno = 0;
    s.source_size = std::strtoull(size->c_str(), &end, 10);
    if (errno || end == size->c_str() || *end) return std::nullopt;
    s.source_mtime_ns = std::strtoll(mtime->c_str(), &end, 10);
    if (errno || end == mtime->c_str() || *end) return std::nullopt;
    return s;
}

}  // namespace tolvek::convert
