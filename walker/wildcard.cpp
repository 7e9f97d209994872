#include "walker/wildcard.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace tolvek::walker {

bool wildcard_match(std::string_view pattern, std::string_view name) {
    if (!name.empty() && name.front() == '.' && (pattern.empty() || pattern.front() != '.')) return false;

    // Two pointers; on a mismatch go back to the last "*" and let it swallow
    // one more byte. Only the last "*" matters, so this never explodes.
    std::size_t p = 0, n = 0;
    std::size_t star = std::string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool has_wildcards(std::string_view text) { return text.find_first_of("*?") != std::string_view::npos; }

PatternParts split_pattern(std::string_view pattern) {
    const std::size_t slash = pattern.rfind('/');
    if (slash == std::string_view::npos) return {{}, pattern};
    return {pattern.substr(0, slash + 1), pattern.substr(slash + 1)};
}

std::string listing_directory(std::string_view pattern) {
    const std::string_view dir = split_pattern(pattern).dir;
    return dir.empty() ? std::string(".") : std::string(dir);
}

static bool is_dot_or_dotdot(std::string_view name) { return name == "." || name == ".."; }

static void fail(Listing& listing, std::string path) {
    listing.error_errno = errno;
    listing.error = std::strerror(errno);
    listing.error_path = std::move(path);
}

Listing list_matching(std::string_view pattern) {
    const PatternParts parts = split_pattern(pattern);
    Listing listing;

    if (!has_wildcards(parts.name)) {
        // No need to read the directory, which may not be readable at all.
        struct stat st;
        const std::string path(pattern);
        if (parts.name.empty() || is_dot_or_dotdot(parts.name)) return listing;
        if (lstat(path.c_str(), &st) == 0)
            listing.names.emplace_back(parts.name);
        else
            fail(listing, path);
        return listing;
    }

    std::string dir_path = listing_directory(pattern);
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(dir_path.c_str()), closedir);
    if (!dir) {
        // The directory part without its trailing "/" names the folder.
        if (dir_path.size() > 1 && dir_path.ends_with('/')) dir_path.pop_back();
        fail(listing, dir_path);
        return listing;
    }
    while (const dirent* entry = readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (!is_dot_or_dotdot(name) && wildcard_match(parts.name, name)) listing.names.emplace_back(name);
    }
    // Byte order, so every run visits entries the same way.
    std::sort(listing.names.begin(), listing.names.end());
    return listing;
}

}  // namespace tolvek::walker
