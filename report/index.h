// A browsable index of a run: one self-contained HTML page (its style and
// script inline, nothing fetched from the network) with a row per file, a
// thumbnail linking to each picture, sortable columns, a filter on the path
// and a switch for suspected files and failures. Thumbnails live in a folder
// beside the page ("index.html" -> "index_files/"), so the page, that folder
// and the pictures' tree can be moved together or served by any web server.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "image/picture.h"
#include "report/record.h"

namespace tolvek::report {

// Thumbnails are this many pixels wide, their height in proportion.
constexpr int kThumbnailWidthPx = 200;

// Text for HTML content and attribute values: & < > " ' become references,
// and bytes that are not valid UTF-8 become U+FFFD each.
std::string html_escape(std::string_view bytes);

// `bytes` with each byte that is not valid UTF-8 replaced by U+FFFD.
std::string valid_utf8(std::string_view bytes);

// A path for a URL: every byte but A-Z a-z 0-9 - . _ ~ and '/' as %XX, so
// '#', '?', '%', spaces and non-ASCII bytes name the file and nothing else.
std::string url_encode_path(std::string_view path);

// The path of `target` relative to the folder `from_dir`, both taken
// lexically (symbolic links are not followed); relative paths are taken
// from the current folder. Not encoded.
std::string relative_path(std::string_view from_dir, std::string_view target);

// The thumbnails' folder of a page: its name without the extension, plus
// "_files" ("run/index.html" -> "run/index_files").
std::string thumbnail_folder(std::string_view page_path);

// The thumbnail's file name for a picture: 16 hex digits of FNV-1a over the
// picture's absolute, normalised path, plus ".jpg". Re-runs overwrite it;
// two pictures never share it short of a 64-bit collision.
std::string thumbnail_name(std::string_view picture_path);

// The page's whole text for `records` in their order. A thumbnail is linked
// only when `has_thumbnail(record)` says it is on disk.
// The page's title: what was walked, how many files and how each fared, and
// the date ("music/* — 12 files: 10 written, 2 unreadable, 2026-12-09").
std::string run_title(std::string_view walked, const std::vector<Record>& records, std::string_view date);

std::string render_index(std::string_view page_path, const std::vector<Record>& records,
                         const std::vector<bool>& has_thumbnail,
                         std::string_view title = {});

// Makes the thumbnails while a run goes on and writes the page at its end.
// add_thumbnail and keep_thumbnail touch no member state and may be called
// from several workers at once for different pictures.
class IndexWriter {
public:
    // `walked`: what the run walked, for the page's title.
    explicit IndexWriter(std::string page_path, std::string walked = {});

    // Right after a picture was written: its thumbnail from the painted
    // pixels, written atomically under thumbnail_name(record.picture), with
    // the picture file's size and CRC-32 in its metadata.
    Status add_thumbnail(const Record& record, const image::Picture& picture) const;

    // For a picture that was already up to date: the thumbnail is kept when
    // it was made from the picture file as it stands, else made again from
    // the picture on disk (image::kErrorPictureData when that cannot be
    // decoded).
    Status keep_thumbnail(const Record& record) const;

    // Writes the page atomically (a temporary beside it, then renamed).
    Status finish(const std::vector<Record>& records) const;

    const std::string& page_path() const { return page_path_; }

private:
    std::string thumbnail_path(const Record& record) const;

    std::string page_path_;
    std::string folder_;
    std::string walked_;
};

}  // namespace tolvek::report
