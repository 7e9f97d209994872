#include "frontend/console.h"

#include <unistd.h>

#include <cstdio>

#include "convert/plan.h"

namespace tolvek::frontend {

std::string without_controls(std::string_view name) {
    const std::string s(name);
    std::string shown;
    shown.reserve(s.size());
    for (std::size_t pos = 0; pos < s.size();) {
        const std::size_t len = convert::utf8_char_length(s, pos);
        const auto lead = static_cast<unsigned char>(s[pos]);
        const auto next = len == 2 ? static_cast<unsigned char>(s[pos + 1]) : 0;
        const bool c0 = len == 1 && (lead < 0x20 || lead == 0x7F);
        const bool stray_c1 = len == 1 && lead >= 0x80 && lead <= 0x9F;
        const bool c1 = lead == 0xC2 && next >= 0x80 && next <= 0x9F;
        if (c0 || stray_c1 || c1)
            shown += '?';
        else
            shown.append(s, pos, len);
        pos += len;
    }
    return shown;
}

Console::Console(bool quiet) : quiet_(quiet), terminal_(isatty(STDOUT_FILENO) != 0) {}

void Console::out(std::string_view text) {
    if (quiet_ || text.empty()) return;
    if (status_) return status_->print(false, text);
    // A failed write (a closed pipe, a full disk) is not the conversion's
    // concern; the descriptors 0..2 are always open, so it never reaches a
    // picture.
    std::fwrite(text.data(), 1, text.size(), stdout);
    // A progress line ends in "\r", which buffering would hold back until
    // the file is done; on a terminal it is shown at once.
    if (terminal_) std::fflush(stdout);
}

void Console::err(std::string_view text) {
    if (text.empty()) return;
    if (status_) return status_->print(true, text);
    std::fflush(stdout);  // keep the order the lines were made in
    std::fwrite(text.data(), 1, text.size(), stderr);
}

batch::Progress& Console::start_status() {
    status_ = std::make_unique<StatusLine>(terminal_);
    return *status_;
}

}  // namespace tolvek::frontend
