#include "frontend/run_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/file.h"
#include "report/format.h"
#include "report/index_page.h"
#include "walker/wildcard.h"

namespace tolvek::frontend {
namespace {

// Enough of a file to tell a report or an index page by how it begins.
constexpr std::size_t kRecogniseBytes = 4096;

// Where a path's file is or would be: an existing one by its device and
// inode, a new one by its folder's and its name.
struct Place {
    dev_t dev = 0;
    ino_t ino = 0;
    std::string new_name;  // empty for an existing file
    bool operator==(const Place&) const = default;
};

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::optional<Place> place_of(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return Place{st.st_dev, st.st_ino, {}};
    if (errno != ENOENT || ::stat(folder_of(path).c_str(), &st) != 0) return std::nullopt;
    return Place{st.st_dev, st.st_ino, name_of(path)};
}

bool is_ours(const RunFile& file, std::string_view start) {
    if (file.kind == RunFileKind::Index) return report::is_index_page_start(start);
    const auto format = report::format_for(file.path);
    return format && report::is_report_start(start, *format);
}

// Why what is at the file's path may not be replaced; nothing when the path
// is free, or holds an empty file or one this program wrote for it.
std::optional<std::string> occupied(const RunFile& file) {
    struct stat st;
    if (::lstat(file.path.c_str(), &st) != 0) return std::nullopt;  // free, or the write will say why
    if (S_ISLNK(st.st_mode)) return "a symbolic link is there";
    if (S_ISDIR(st.st_mode)) return "a directory is there";
    if (!S_ISREG(st.st_mode)) return "something that is not a regular file is there";
    if (st.st_size == 0) return std::nullopt;  // nothing to lose
    std::string start;
    if (const Status read = read_regular_file(file.path, start, kRecogniseBytes); !read)
        return "the file there cannot be read (" + read.message + ")";
    if (is_ours(file, start)) return std::nullopt;
    return file.kind == RunFileKind::Report ? "the file there is not a report written by tolvek"
                                            : "the file there is not an index page written by tolvek";
}

// The pattern that names or matches `path` as an input, if one does.
std::optional<std::string> input_pattern(const std::string& path, const Place& place,
                                         std::span<const std::string> patterns) {
    const std::optional<Place> folder = place_of(folder_of(path));
    for (const std::string& pattern : patterns) {
        const std::string_view last = walker::split_pattern(pattern).name;
        if (!walker::has_wildcards(last)) {
            if (place_of(pattern) == place) return pattern;
        } else if (folder && place_of(walker::listing_directory(pattern)) == Place{folder->dev, folder->ino, {}} &&
                   walker::wildcard_match(last, name_of(path))) {
            return pattern;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> refuse_run_files(std::span<const RunFile> files, std::span<const std::string> patterns) {
    std::vector<std::optional<Place>> places;
    for (const RunFile& file : files) {
        const std::string start = "tolvek: " + file.named + ": ";
        if (const auto why = occupied(file)) return start + *why + "; it is left alone";
        places.push_back(place_of(file.path));
        if (!places.back()) continue;  // no folder to write in: the write will say so
        if (const auto pattern = input_pattern(file.path, *places.back(), patterns))
            return start + "the file is one of the run's inputs (" + *pattern + ")";
        for (std::size_t other = 0; other + 1 < places.size(); ++other)
            if (places[other] == places.back()) return start + "the file is also " + files[other].named;
    }
    return std::nullopt;
}

}  // namespace tolvek::frontend
