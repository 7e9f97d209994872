// What a run did: each entry's outcome, counted in walk order, and the
// closing summary.
#pragma once

#include <string>

namespace tolvek::batch {

// What became of one entry of the run.
enum class Outcome {
    Written,           // its picture was written
    Damaged,           // its picture was written (or is up to date), but its audio holds a fault
    UpToDate,          // its picture was already up to date
    NotAudio,          // not recognised, no audio stream, unsupported
    Unreadable,        // could not be opened or decoded
    SaveError,         // its picture could not be written
    DuplicatePicture,  // its picture path was already made in this run
    Gone,              // removed since the walk listed it
    Skipped,           // nothing of it to draw (it ends before the time range)
};

struct RunTotals {
    int written = 0;
    int up_to_date = 0;
    int damaged = 0;    // pictures of audio that holds a fault, not counted as written
    int not_audio = 0;  // not recognised, no audio stream, unsupported
    int failed = 0;     // unreadable inputs and pictures not written
    int skipped = 0;    // passed over: nothing of them to draw
    bool save_failed = false;
    bool unreadable = false;
    double seconds = 0.0;
    // The run's exit status: 2 when a picture could not be written, else 3
    // when an input could not be read whole, else 0.
    int exit_status() const { return save_failed ? 2 : unreadable ? 3 : 0; }
};

// Adds one entry's outcome to `totals`.
void count(RunTotals& totals, Outcome outcome);

// "tolvek: 312 pictures written, 4 not audio, 1 failed, in 41.2 s", with
// the pictures up to date after those written when `update` is on, and
// "2 damaged" after those when there are any, and the files skipped after
// those failed when there are any.
std::string summary_line(const RunTotals& totals, bool update = false);

}  // namespace tolvek::batch
