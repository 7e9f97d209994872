// One run: the walks of its patterns feed a single loop that decides what
// happens to each file (converted now, by `jobs` workers), prints every line
// whole and in walk order, and counts the outcomes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "convert/convert.h"
#include "report/shard.h"
#include "walker/walker.h"

namespace tolvek::walker {

// Where a run's text goes: the console, or a test.
class Output {
public:
    virtual ~Output() = default;
    virtual void out(std::string_view text) = 0;  // standard output
    virtual void err(std::string_view text) = 0;  // standard error
    // A name as the lines show it.
    virtual std::string shown(std::string_view name) const { return std::string(name); }
};

struct RunSettings {
    convert::Options conversion;
    WalkOptions walk;
    int jobs = 1;                       // files converted at once
    std::vector<std::string> patterns;  // walked in this order
    // Skip a source whose picture records that it is up to date.
    bool update = false;
    // Convert only the files of this shard.
    std::optional<report::Shard> shard;
    // Write a record of every file here when the run ends (.csv or .jsonl).
    std::string report_path;
    // Write a browsable page of every file and its picture here.
    std::string index_path;
};

// What a run did.
struct RunTotals {
    int written = 0;
    int up_to_date = 0;
    int not_audio = 0;    // not recognised, no audio stream, unsupported
    int failed = 0;       // unreadable inputs and pictures not written
    bool save_failed = false;
    bool unreadable = false;
    double seconds = 0.0;
    // The run's exit status: 2 when a picture could not be written, else 3
    // when an input could not be read, else 0.
    int exit_status() const { return save_failed ? 2 : unreadable ? 3 : 0; }
};

// Walks every pattern of `settings` in order and converts what it finds.
// `settings.conversion.describe` is the run's own: it records each
// picture's report record in the picture.
RunTotals walk_directory(RunSettings settings, Output& output);

// "tolvek: 312 pictures written, 4 not audio, 1 failed, in 41.2 s", with
// the pictures up to date after those written when `update` is on.
std::string summary_line(const RunTotals& totals, bool update = false);

}  // namespace tolvek::walker
