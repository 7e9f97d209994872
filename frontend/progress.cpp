#include "frontend/progress.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <optional>

namespace tolvek::frontend {
namespace {

constexpr int kUnknownWidthColumns = 80;

// "512 B", "47.0 KiB", "1.2 GiB".
std::string size_text(std::uint64_t bytes) {
    constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    for (; value >= 1024 && unit + 1 < std::size(kUnits); ++unit) value /= 1024;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

// "0:41", "1:02:05".
std::string clock_text(double seconds) {
    const long whole = std::lround(std::floor(std::max(0.0, seconds)));
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

// The share of bytes done, rounded down so that 100% means all of them.
std::string share_text(std::uint64_t done, std::uint64_t total) {
    const double tenths = std::floor(std::min(1.0, static_cast<double>(done) / static_cast<double>(total)) * 1000);
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", tenths / 10);
    return text;
}

// The time left at the pace so far, once enough is behind to tell it.
std::optional<double> time_left(const StatusCounts& c) {
    if (!c.complete || c.done < kEstimateAfterFiles || c.elapsed_s < kEstimateAfterSeconds || c.done >= c.found ||
        c.done_bytes == 0 || c.done_bytes >= c.found_bytes)
        return std::nullopt;
    return c.elapsed_s * static_cast<double>(c.found_bytes - c.done_bytes) / static_cast<double>(c.done_bytes);
}

int terminal_width() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return kUnknownWidthColumns;
    return size.ws_col;
}

// Standard output and error are one terminal.
bool one_terminal() {
    struct stat out, err;
    return isatty(STDOUT_FILENO) && isatty(STDERR_FILENO) && fstat(STDOUT_FILENO, &out) == 0 &&
           fstat(STDERR_FILENO, &err) == 0 && out.st_rdev == err.st_rdev;
}

}  // namespace

std::string status_text(const StatusCounts& c, int width) {
    std::string line = std::to_string(c.done) + " of " + std::to_string(c.found) + " files";
    if (!c.complete)
        line += " found so far, walking...";
    else if (c.found_bytes > 0)
        line += ", " + share_text(c.done_bytes, c.found_bytes) + " of " + size_text(c.found_bytes);
    line += ", " + clock_text(c.elapsed_s) + " elapsed";
    if (const auto left = time_left(c)) line += ", about " + clock_text(*left) + " left";
    line += ", " + std::to_string(c.failed) + " failed";
    if (c.damaged > 0) line += ", " + std::to_string(c.damaged) + " damaged";
    line.resize(std::min(line.size(), static_cast<std::size_t>(std::max(width - 1, 0))));
    return line;
}

StatusLine::StatusLine(bool flush_out) : flush_out_(flush_out), below_(one_terminal()) {}

void StatusLine::print(bool to_err, std::string_view text) {
    std::lock_guard lock(mutex_);
    // A line of standard error, or a line of standard output on the same
    // terminal, would land on the status line: it goes first, and comes
    // back below. A file's progress line, which ends in "\r", is written on
    // its own row above the status line.
    const bool on_terminal = to_err || below_;
    const bool in_the_way = shown_ && on_terminal && (to_err || text.find('\n') != std::string_view::npos);
    const bool above = shown_ && on_terminal && !in_the_way;
    if (in_the_way) erase();
    if (above) write_err("\033[A\r");
    if (to_err) {
        std::fflush(stdout);  // keep the order the lines were made in
        write_err(text);
    } else {
        std::fwrite(text.data(), 1, text.size(), stdout);
        if (flush_out_) std::fflush(stdout);
    }
    if (above) write_err("\033[B");
    if (in_the_way) show();
    else if (!to_err) draw(false);  // a file's progress: the time goes on
}

void StatusLine::found(int files, std::uint64_t bytes, bool complete) {
    std::lock_guard lock(mutex_);
    const bool news = complete && (!counts_.complete || files != counts_.found || bytes != counts_.found_bytes);
    counts_.found = files;
    counts_.found_bytes = bytes;
    counts_.complete = counts_.complete || complete;
    draw(news);
}

void StatusLine::settled(std::uint64_t bytes, const batch::RunTotals& totals) {
    std::lock_guard lock(mutex_);
    ++counts_.done;
    counts_.done_bytes += bytes;
    counts_.failed = totals.failed;
    counts_.damaged = totals.damaged;
    draw(counts_.complete && counts_.done == counts_.found);
}

void StatusLine::close() {
    std::lock_guard lock(mutex_);
    if (shown_) erase();
    closed_ = true;
}

void StatusLine::draw(bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (closed_ || (!force && shown_ && now - drawn_at_ < kRedrawInterval)) return;
    counts_.elapsed_s = std::chrono::duration<double>(now - start_).count();
    text_ = status_text(counts_, terminal_width());
    drawn_at_ = now;
    show();
}

// Below standard output's row the status line starts a row of its own;
// the cursor stays on the status line, so whatever ends the program leaves
// it whole.
void StatusLine::show() {
    if (closed_) return;
    write_err((below_ && !shown_ ? "\n\r\033[K" : "\r\033[K") + text_);
    shown_ = true;
}

// Back to standard output's row, when the status is below it.
void StatusLine::erase() {
    write_err(below_ ? "\r\033[K\033[A" : "\r\033[K");
    shown_ = false;
}

void StatusLine::write_err(std::string_view text) const { std::fwrite(text.data(), 1, text.size(), stderr); }

}  // namespace tolvek::frontend
