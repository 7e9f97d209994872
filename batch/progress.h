// What a run tells of its progress as a whole, for a status line: the files
// it has found and how many bytes they hold, and each entry as it settles.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "batch/shard.h"
#include "batch/tally.h"
#include "walker/walker.h"

namespace tolvek::batch {

// Called from the run's threads, one call at a time for each function but
// the two functions at once: a listener locks what they share.
class Progress {
public:
    virtual ~Progress() = default;
    // The run has found `files` entries so far (files of its shard and
    // entries that cannot be read), holding `bytes`; `complete` when the
    // walk has finished, so that they are all.
    virtual void found(int files, std::uint64_t bytes, bool complete) = 0;
    // An entry of `bytes` has settled, in walk order; `totals` are the run's
    // counts so far.
    virtual void settled(std::uint64_t bytes, const RunTotals& totals) = 0;
};

// A walk of the run's patterns on a thread of its own, ahead of the run's
// walk, that only counts and tells `progress` what it finds. The run's walk
// waits for the conversions (each file in turn with one job, a few files
// ahead with several), so without this the total would be known only at
// the end. It makes no folders and prints nothing. The destructor waits for
// it; without a thread it does nothing.
class LookAhead {
public:
    LookAhead(const walker::WalkOptions& walk, std::vector<std::string> patterns, std::optional<Shard> shard,
              Progress& progress);
    ~LookAhead();
    LookAhead(const LookAhead&) = delete;
    LookAhead& operator=(const LookAhead&) = delete;

private:
    std::thread thread_;
};

}  // namespace tolvek::batch
