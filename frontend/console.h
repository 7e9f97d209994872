// The program's console: standard output and standard error, with names
// made safe to show on a terminal.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "batch/run.h"
#include "frontend/progress.h"

namespace tolvek::frontend {

// `name` with every control character shown as "?": bytes 0x01..0x1F and
// 0x7F, the C1 controls U+0080..U+009F, and stray bytes 0x80..0x9F that an
// 8-bit terminal would take for them. A file name could otherwise move the
// cursor, retitle the window or worse.
std::string without_controls(std::string_view name);

class Console : public batch::Output {
public:
    // `quiet`: nothing on standard output.
    explicit Console(bool quiet = false);
    void out(std::string_view text) override;
    void err(std::string_view text) override;
    std::string shown(std::string_view name) const override { return without_controls(name); }

    // Starts a run's status line on standard error (frontend/progress.h);
    // the run tells it what it finds and settles. Only while no other
    // thread writes.
    batch::Progress& start_status();
    // Clears the status line for good.
    void end_status() { status_.reset(); }

private:
    bool quiet_;
    bool terminal_;
    std::unique_ptr<StatusLine> status_;
};

}  // namespace tolvek::frontend
