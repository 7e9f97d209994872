// The run's status line on a terminal: files done of those found, the share
// of the audio's bytes done, the time elapsed and an estimate of the time
// left, and the failures so far, redrawn in place on standard error.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "batch/progress.h"

namespace tolvek::frontend {

// What the status line shows.
struct StatusCounts {
    int done = 0;            // entries settled
    int found = 0;           // entries found so far
    bool complete = false;   // the walk has finished: `found` is the total
    std::uint64_t done_bytes = 0, found_bytes = 0;
    int failed = 0;
    double elapsed_s = 0.0;
    int damaged = 0;         // said only once there is one
};

// The time left is estimated from the share of bytes done once this many
// files and seconds are behind: before, a first file's opening dominates.
inline constexpr int kEstimateAfterFiles = 3;
inline constexpr double kEstimateAfterSeconds = 5.0;

// "12 of 340 files, 3.5% of 1.2 GiB, 0:41 elapsed, about 18:02 left, 1
// failed"; "12 of 40 files found so far, walking..., 0:03 elapsed, 0 failed"
// before the walk has finished. Cut to `width` - 1 columns, so that it
// never reaches the last column, where a terminal would wrap.
std::string status_text(const StatusCounts& counts, int width);

// Draws the status line on standard error at most every kRedrawInterval
// (and whenever the walk finishes or the last entry settles), and clears it
// before anything else is written there. Every write of the console goes
// through print(), under one lock, so the line and the output never mix.
class StatusLine : public batch::Progress {
public:
    static constexpr std::chrono::milliseconds kRedrawInterval{200};

    // `flush_out`: standard output is a terminal and shown at once.
    explicit StatusLine(bool flush_out);
    ~StatusLine() override { close(); }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // Writes `text` to standard output or error, the status line out of
    // its way.
    void print(bool to_err, std::string_view text);
    void found(int files, std::uint64_t bytes, bool complete) override;
    void settled(std::uint64_t bytes, const batch::RunTotals& totals) override;
    // Clears the line; nothing is drawn after.
    void close();

private:
    void draw(bool force);  // with the lock held, as the others below
    void show();
    void erase();
    void write_err(std::string_view text) const;

    std::mutex mutex_;
    const bool flush_out_;
    // Standard output shares the terminal: the status goes on the row
    // below standard output's.
    const bool below_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point drawn_at_;
    StatusCounts counts_;
    std::string text_;  // as last drawn
    bool shown_ = false, closed_ = false;
};

}  // namespace tolvek::frontend
