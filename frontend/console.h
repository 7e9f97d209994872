// The program's console: standard output and standard error, with names
// made safe to show on a terminal.
#pragma once

#include <string>
#include <string_view>

#include "batch/run.h"

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

private:
    bool quiet_;
    bool terminal_;
};

}  // namespace tolvek::frontend
