// One batch run: the walks of its patterns feed one queue; each file's fate
// is decided first, files to convert go to `jobs` workers, every line is
// printed whole and in walk order, and the outcomes are counted and
// recorded.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "batch/output.h"
#include "batch/progress.h"
#include "batch/shard.h"
#include "batch/tally.h"
#include "convert/convert.h"
#include "walker/walker.h"

namespace tolvek::batch {

struct RunSettings {
    convert::Options conversion;
    walker::WalkOptions walk;
    int jobs = 1;                       // files converted at once
    std::vector<std::string> patterns;  // walked in this order
    // Skip a source whose picture records that it is up to date.
    bool update = false;
    // Convert only the files of this shard.
    std::optional<Shard> shard;
    // Write a record of every file here when the run ends (.csv or .jsonl).
    std::string report_path;
    // Write a browsable page of every file and its picture here.
    std::string index_path;
};

// Walks every pattern of `settings` in order and converts what it finds.
// `settings.conversion.describe` is the run's own: it stores each
// picture's report record in the picture. `progress`, when given, hears
// what the run finds and settles.
RunTotals run_batch(RunSettings settings, Output& output, Progress* progress = nullptr);

}  // namespace tolvek::batch
