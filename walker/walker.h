// The input walker: finds every regular file that matches a pattern, and
// everything below every matching directory, and builds for each file the
// output path that mirrors its place under the output directory. What
// happens to the files is the batch run's business (batch/run.h).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string_view>
#include <string>
#include <utility>
#include <vector>

namespace tolvek::walker {

// What a walk finds, in walk order.
class Visitor {
public:
    virtual ~Visitor() = default;
    // A line of the walk itself for standard output ("Processing ...").
    virtual void line(std::string text) = 0;
    // A regular file, its output path and its size in bytes.
    virtual void file(std::string path, std::string outpath, std::uint64_t bytes) = 0;
    // An entry that exists but cannot be read or listed, or a named
    // pattern that names nothing, with the system's reason.
    virtual void unreadable(std::string path, std::string reason) = 0;
};

struct WalkOptions {
    bool recursive = false;     // create the mirror directories
    int verbose = 0;            // 1: no-match and skipped-directory lines
    std::string outdir = ".";  // the root of the mirrored tree
    bool local = false;         // pictures go into the mirrored tree
    // Files and folders this run writes besides pictures (its report, its
    // index page and the page's thumbnails): passed over wherever met.
    std::vector<std::string> own_outputs;
};

// One run's walks. Every directory is entered at most once per run, however
// many links or patterns lead to it: the first path in walk order wins.
class Walker {
public:
    Walker(WalkOptions options, Visitor& visitor);
    // Walks `pattern`: a file, or a directory part plus a last component
    // that may hold "*" and "?".
    void walk(const std::string& pattern);

private:
    using DirId = std::pair<dev_t, ino_t>;
    void walk_level(const std::string& outdir, const std::string& pattern, bool named);
    bool may_enter(const std::string& path, const DirId& id);
    bool is_own_output(const std::string& path, std::string_view name, const DirId& id) const;

    WalkOptions options_;
    Visitor& visitor_;
    std::set<DirId> entered_;      // every directory walked in this run
    std::vector<DirId> descent_;   // the directories above the current one
    std::vector<DirId> out_root_;  // the mirrored tree's root, when pictures go there
    // own_outputs by what they are where they exist, by absolute path
    // where they are yet to be written.
    std::vector<DirId> own_ids_;
    std::vector<std::filesystem::path> own_paths_;
};

}  // namespace tolvek::walker
