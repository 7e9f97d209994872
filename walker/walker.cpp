#include "walker/walker.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "walker/wildcard.h"

namespace tolvek::walker {

Walker::Walker(WalkOptions options, Visitor& visitor) : options_(std::move(options)), visitor_(visitor) {
    // With pictures saved into the mirrored tree, a walk that reaches that
    // tree by another path would mirror it again, one level deeper every run.
    struct stat st;
    if (options_.local && stat(options_.outdir.c_str(), &st) == 0) out_root_.push_back({st.st_dev, st.st_ino});
    for (const std::string& own : options_.own_outputs) {
        if (own.empty()) continue;
        if (stat(own.c_str(), &st) == 0) own_ids_.push_back({st.st_dev, st.st_ino});
        std::error_code ec;
        own_paths_.push_back(std::filesystem::absolute(own, ec).lexically_normal());
    }
}

bool Walker::is_own_output(const std::string& path, std::string_view name, const DirId& id) const {
    if (std::find(own_ids_.begin(), own_ids_.end(), id) != own_ids_.end()) return true;
    for (const std::filesystem::path& own : own_paths_) {
        if (own.filename() != name) continue;
        std::error_code ec;
        if (std::filesystem::absolute(path, ec).lexically_normal() == own) return true;
    }
    return false;
}

void Walker::walk(const std::string& pattern) {
    descent_.clear();
    // The directory the walk starts in counts as being walked; a pattern
    // that lists a whole directory enters it.
    struct stat st;
    if (stat(listing_directory(pattern).c_str(), &st) == 0) {
        const DirId id{st.st_dev, st.st_ino};
        if (split_pattern(pattern).name == "*") {
            if (entered_.contains(id)) {
                if (options_.verbose > 0) visitor_.line("Skipping " + pattern + ": already walked\n");
                return;
            }
            entered_.insert(id);
        }
        descent_.push_back(id);
    }
    walk_level(options_.outdir, pattern, true);
}

bool Walker::may_enter(const std::string& path, const DirId& id) {
    const char* why = nullptr;
    if (std::find(descent_.begin(), descent_.end(), id) != descent_.end())
        why = "already being walked (directory loop)";
    else if (entered_.contains(id))
        why = "already walked";
    else if (std::find(out_root_.begin(), out_root_.end(), id) != out_root_.end())
        why = "it holds this run's pictures";
    if (why == nullptr) return true;
    if (options_.verbose > 0) visitor_.line("Skipping " + path + ": " + why + "\n");
    return false;
}

void Walker::walk_level(const std::string& outdir, const std::string& pattern, bool named) {
    const Listing listing = list_matching(pattern);

    if (options_.recursive) {
        visitor_.line("Creating directory " + outdir + "\n");
        mkdir(outdir.c_str(), 0777);  // it may exist already: fine
    }
    if (!listing.error.empty()) {
        // A pattern named on the command line that names nothing, or a
        // directory that exists but cannot be read.
        if (listing.error_errno != ENOENT || named) visitor_.unreadable(listing.error_path, listing.error);
    }
    if (listing.names.empty()) {
        if (options_.verbose > 0) visitor_.line("Error. No files matching " + pattern + "\n");
        return;
    }

    const std::string dir(split_pattern(pattern).dir);
    for (const std::string& name : listing.names) {
        const std::string full = dir + name;
        struct stat st;
        if (stat(full.c_str(), &st) != 0) {
            // Gone since the listing, or a broken link: nothing to say.
            // Anything else (no search permission, a path too long) is an
            // input we would lose without a word.
            if (errno != ENOENT && errno != ELOOP) visitor_.unreadable(full, std::strerror(errno));
            continue;
        }
        const std::string outpath = outdir + "/" + name;
        if (is_own_output(full, name, {st.st_dev, st.st_ino})) {
            if (options_.verbose > 0) visitor_.line("Skipping " + full + ": written by this program\n");
        } else if (S_ISREG(st.st_mode)) {
            visitor_.file(full, outpath, static_cast<std::uint64_t>(st.st_size));
        } else if (S_ISDIR(st.st_mode)) {
            const DirId id{st.st_dev, st.st_ino};
            if (!may_enter(full, id)) continue;
            const std::string sub = dir + name + "/*";
            visitor_.line("Processing " + sub + "\n");
            entered_.insert(id);
            descent_.push_back(id);
            walk_level(outpath, sub, false);
            descent_.pop_back();
        }
    }
}

}  // namespace tolvek::walker
