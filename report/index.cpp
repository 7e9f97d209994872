#include "report/index.h"

#include <libdeflate.h>
#include <sys/stat.h>

#include <cerrno>
#include <algorithm>
#include <charconv>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "common/file.h"
#include "image/thumbnail.h"
#include "report/format.h"
#include "report/index_page.h"
#include "common/hash.h"

namespace tolvek::report {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the valid UTF-8 sequence at the start of `s`, or 0.
std::size_t utf8_length(std::string_view s) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const auto cont = [&](std::size_t i) { return i < s.size() && (b(i) & 0xC0) == 0x80; };
    const unsigned char c = b(0);
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (!cont(1) || !cont(2)) return 0;
        if (c == 0xE0 && b(1) < 0xA0) return 0;   // overlong
        if (c == 0xED && b(1) >= 0xA0) return 0;  // surrogates
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3)) return 0;
        if (c == 0xF0 && b(1) < 0x90) return 0;   // overlong
        if (c == 0xF4 && b(1) >= 0x90) return 0;  // beyond U+10FFFF
        return 4;
    }
    return 0;
}

std::filesystem::path absolute_normal(std::string_view path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path.empty() ? std::string_view(".") : path, ec);
    if (ec) p = std::filesystem::path(path);
    p = p.lexically_normal();
    // "/a/b/" and "/a/b" are the same folder.
    if (!p.has_filename() && p.has_relative_path()) p = p.parent_path();
    return p;
}

std::string folder_of(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ".";
    return slash == 0 ? "/" : std::string(path.substr(0, slash));
}

std::string number(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : "null";
}

// A JSON string safe inside a <script> element: no '<', '>' or '&' at all.
std::string script_string(std::string_view bytes) {
    const std::string json = json_string(valid_utf8(bytes));
    std::string out;
    out.reserve(json.size());
    for (char c : json) {
        if (c == '<') out += "\\u003c";
        else if (c == '>') out += "\\u003e";
        else if (c == '&') out += "\\u0026";
        else out += c;
    }
    return out;
}

template <typename T>
std::string optional_number(const std::optional<T>& v) {
    return v ? number(static_cast<double>(*v)) : "null";
}

std::string optional_string(const std::optional<std::string>& v) { return v ? script_string(*v) : "null"; }

// One row: [source, status, duration, rate, channels, codec, bitrate, peak,
// clipped, silence, cutoff, lossy, picture link, thumbnail link, reason,
// upsampled from, bit depth, effective bits, md5_ok, loudness, true peak].
std::string row_json(const Record& r, const std::string& page_dir, const std::optional<std::string>& thumb) {
    const auto link = [&](const std::optional<std::string>& target) {
        return target ? '"' + url_encode_path(relative_path(page_dir, *target)) + '"' : std::string("null");
    };
    std::string out = "[" + script_string(r.source) + ',' + script_string(r.status);
    for (const std::string& cell :
         {optional_number(r.duration_s), optional_number(r.rate_hz), optional_number(r.channels),
          optional_string(r.codec), optional_number(r.bitrate_kbps), optional_number(r.peak_dbfs),
          optional_number(r.clipped_samples), optional_number(r.silence_pct), optional_number(r.cutoff_hz),
          optional_string(r.lossy_origin), link(r.picture), link(thumb), optional_string(r.reason),
          optional_number(r.upsampled_from_hz), optional_string(r.bit_depth), optional_number(r.effective_bits),
          optional_string(r.md5_ok), optional_number(r.loudness_lufs), optional_number(r.true_peak_dbtp)})
        (out += ',') += cell;
    return out + ']';
}

bool is_regular_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The thumbnail's record of the picture it was made from.
constexpr const char* kMadeFromKey = "Tolvek-Made-From";

// The picture file as it stands: its size and CRC-32, so that a picture
// saved again with other pixels is told apart however soon it follows.
// Empty when it cannot be read.
std::string picture_identity(const std::string& path) {
    std::string bytes;
    if (!read_regular_file(path, bytes, image::kMaxReadFileBytes + 1)) return {};
    char text[48];
    std::snprintf(text, sizeof text, "%zu %08x", bytes.size(),
                  static_cast<unsigned>(libdeflate_crc32(0, bytes.data(), bytes.size())));
    return text;
}

// Whether the thumbnail at `path` was made from the picture as it stands.
bool made_from(const std::string& path, const std::string& identity) {
    image::Metadata metadata;
    if (identity.empty() || !image::read_metadata(path, metadata)) return false;
    for (const auto& [key, value] : metadata)
        if (key == kMadeFromKey) return value == identity;
    return false;
}

}  // namespace

std::string valid_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const std::size_t n = utf8_length(bytes);
        if (n == 0) out += kReplacement;
        else out.append(bytes.substr(0, n));
        bytes.remove_prefix(n == 0 ? 1 : n);
    }
    return out;
}

std::string html_escape(std::string_view bytes) {
    std::string out;
    for (char c : valid_utf8(bytes)) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string url_encode_path(std::string_view path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.' || c == '_' || c == '~' || c == '/';
        if (keep) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string relative_path(std::string_view from_dir, std::string_view target) {
    const std::filesystem::path base = absolute_normal(from_dir);
    const std::filesystem::path to = absolute_normal(target);
    const std::filesystem::path rel = to.lexically_relative(base);
    return rel.empty() ? to.string() : rel.string();
}

std::string thumbnail_folder(std::string_view page_path) {
    const std::size_t slash = page_path.rfind('/');
    const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    const std::size_t dot = page_path.rfind('.');
    // A leading dot is part of the name, not an extension.
    const std::size_t end = (dot == std::string_view::npos || dot <= start) ? page_path.size() : dot;
    return std::string(page_path.substr(0, end)) + "_files";
}

std::string thumbnail_name(std::string_view picture_path) {
    char name[32];
    std::snprintf(name, sizeof name, "%016llx.jpg",
                  static_cast<unsigned long long>(fnv1a64(absolute_normal(picture_path).string())));
    return name;
}

std::string run_title(std::string_view walked, const std::vector<Record>& records, std::string_view date) {
    std::vector<std::pair<std::string, int>> counts;  // by status, in order of first sight
    for (const Record& r : records) {
        auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == r.status; });
        if (it == counts.end()) counts.emplace_back(r.status, 1);
        else ++it->second;
    }
    std::string title = std::string(walked) + (walked.empty() ? "" : " \xE2\x80\x94 ") + std::to_string(records.size()) +
                        (records.size() == 1 ? " file" : " files");
    for (std::size_t i = 0; i < counts.size(); ++i)
        title += (i == 0 ? ": " : ", ") + std::to_string(counts[i].second) + " " + counts[i].first;
    return title + (date.empty() ? "" : ", " + std::string(date));
}

std::string render_index(std::string_view page_path, const std::vector<Record>& records,
                         const std::vector<bool>& has_thumbnail, std::string_view title) {
    const std::string page_dir = folder_of(page_path);
    const std::string folder = thumbnail_folder(page_path);
    std::string rows = "[";
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Record& r = records[i];
        std::optional<std::string> thumb;
        if (r.picture && i < has_thumbnail.size() && has_thumbnail[i])
            thumb = folder + '/' + thumbnail_name(*r.picture);
        if (i) rows += ",\n";
        rows += row_json(r, page_dir, thumb);
    }
    rows += "]";
    const std::string_view name = page_path.substr(page_path.rfind('/') + 1);
    return page_text(html_escape(title.empty() ? name : title), rows);
}

IndexWriter::IndexWriter(std::string page_path, std::string walked)
    : page_path_(std::move(page_path)), folder_(thumbnail_folder(page_path_)), walked_(std::move(walked)) {}

std::string IndexWriter::thumbnail_path(const Record& record) const {
    return folder_ + '/' + thumbnail_name(record.picture.value_or(""));
}

Status IndexWriter::add_thumbnail(const Record& record, const image::Picture& picture) const {
    if (!record.picture) return Status::ok();
    // Several workers may get here at once; EEXIST is the others' success.
    if (::mkdir(folder_.c_str(), 0777) != 0 && errno != EEXIST)
        return Status::fail(kErrorIo, "cannot create " + folder_ + ": " + std::strerror(errno));
    const std::string path = thumbnail_path(record);
    // Called once the picture is saved: the thumbnail names that file.
    image::Metadata made;
    if (std::string identity = picture_identity(*record.picture); !identity.empty())
        made.emplace_back(kMadeFromKey, std::move(identity));
    if (Status saved = image::thumbnail(picture, kThumbnailWidthPx).save(path, image::FileType::Jpeg, made); !saved)
        return Status::fail(kErrorIo, std::move(saved.message));
    return Status::ok();
}

Status IndexWriter::keep_thumbnail(const Record& record) const {
    if (!record.picture || made_from(thumbnail_path(record), picture_identity(*record.picture))) return Status::ok();
    image::Picture picture(0, 0);
    if (Status s = image::read_picture(*record.picture, picture); !s) return s;
    return add_thumbnail(record, picture);
}

Status IndexWriter::finish(const std::vector<Record>& records) const {
    std::vector<bool> has_thumbnail(records.size());
    for (std::size_t i = 0; i < records.size(); ++i)
        has_thumbnail[i] = records[i].picture && is_regular_file(thumbnail_path(records[i]));
    char date[16] = "";
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (gmtime_r(&now, &utc)) std::strftime(date, sizeof date, "%Y-%m-%d", &utc);
    const std::string title = run_title(walked_, records, date);
    Status s = write_text_atomically(page_path_, render_index(page_path_, records, has_thumbnail, title),
                                     "cannot write the index");
    if (!s) return Status::fail(kErrorIo, s.message);
    return Status::ok();
}

}  // namespace tolvek::report
