#include "walker/walker.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "walker/batch.h"
#include "walker/wildcard.h"

namespace tolvek::walker {
namespace {

// A directory's identity, whatever path reached it.
struct DirId {
    dev_t dev;
    ino_t ino;
    bool operator==(const DirId&) const = default;
};

// A line of the walker: straight out, or in turn behind the files still
// converting.
void say(Batch* batch, const std::string& text) {
    if (batch)
        batch->line(text);
    else
        std::fputs(text.c_str(), stdout);
}

int walk_level(int recursive, const std::string& outdir, const std::string& pattern, const Conversion& c,
               std::vector<DirId>& descent, Batch* batch) {
    const std::vector<std::string> names = list_matching(pattern);

    if (recursive) {
        say(batch, "Creating directory " + outdir + "\n");
        mkdir(outdir.c_str(), 0777);  // it may exist already: fine
    }

    if (names.empty()) {
        if (c.verbose > 0) say(batch, "Error. No files matching " + pattern + "\n");
        return 0;
    }

    const std::string dir(split_pattern(pattern).dir);
    int last = TOLVEK_STATUS_OK;
    bool save_failed = false;
    for (const std::string& name : names) {
        const std::string full = dir + name;
        struct stat st;
        if (stat(full.c_str(), &st) != 0) continue;
        const std::string outpath = outdir + "/" + name;

        if (S_ISREG(st.st_mode) && batch) {
            batch->convert(full, outpath);
        } else if (S_ISREG(st.st_mode)) {
            last = _process_file(full.c_str(), c.format, c.quality, c.grid, c.local, c.verbose, c.palette,
                                 c.log, outpath.c_str());
            if (last == TOLVEK_STATUS_SAVE_ERROR) save_failed = true;
        } else if (S_ISDIR(st.st_mode)) {
            const DirId id{st.st_dev, st.st_ino};
            if (std::find(descent.begin(), descent.end(), id) != descent.end()) {
                if (c.verbose > 0) say(batch, "Skipping " + full + ": already being walked (directory loop)\n");
                continue;
            }
            const std::string sub = dir + name + "/*";
            say(batch, "Processing " + sub + "\n");
            descent.push_back(id);
            if (walk_level(recursive, outpath, sub, c, descent, batch) == TOLVEK_STATUS_SAVE_ERROR) save_failed = true;
            descent.pop_back();
        }
    }
    return save_failed ? TOLVEK_STATUS_SAVE_ERROR : last;
}

}  // namespace

int walk_directory(int recursive, const char* outdir, const char* pattern, OutputFormat format, int quality,
                   int grid, int local, int verbose, Palette palette, LogFn log, int jobs) {
    const std::string pat = pattern ? pattern : "";
    const Conversion c{format, quality, grid, local, verbose, palette, log};

    // The directory the walk starts in counts as being walked.
    std::vector<DirId> descent;
    struct stat st;
    if (stat(listing_directory(pat).c_str(), &st) == 0) descent.push_back({st.st_dev, st.st_ino});

    if (jobs <= 1) return walk_level(recursive, outdir ? outdir : "", pat, c, descent, nullptr);
    Batch batch(jobs, c);
    walk_level(recursive, outdir ? outdir : "", pat, c, descent, &batch);
    return batch.finish();
}

}  // namespace tolvek::walker
