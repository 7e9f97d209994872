// The settings file: section [general] of Tolvek_Pre.ini in the working
// directory. Read by a small reader of our own so that its rules are exactly
// these: names compared without regard to case; blanks trimmed around names
// and values and inside the section brackets; a trailing carriage return
// dropped; lines starting with ";" or "#" are comments; a value in matching
// double quotes loses them; the first occurrence of a key counts; integers
// read like atoi; an empty value, or a missing file, section or key, gives
// the default.
#pragma once

#include <string>
#include <string_view>

#include "convert/convert.h"

namespace tolvek::frontend {

inline constexpr const char* kSettingsFile = "Tolvek_Pre.ini";

struct Settings {
    int quality = 75;                       // clamped to 10..100
    int recursive = 0;                      // 0 or 1
    int grid = 1;                           // 0 or 1
    int local = 0;                          // 0 or 1
    int verbose = 0;                        // as read
    std::string output = "png";             // at most 4 characters
    std::string palette = "tolvek_color.pal";
    OutputFormat format = TOLVEK_FORMAT_PNG;  // JPEG for output "jpeg" or "jpg"
    int jobs = 1;                           // as read; see worker_count()
};

// The settings in `text`, the contents of a settings file.
Settings parse_settings(std::string_view text);

// The settings in the file at `path`; defaults when it cannot be read.
Settings read_settings(const std::string& path);

// atoi's reading: leading blanks, an optional sign, the digits that follow;
// the rest is ignored and no digits read 0. Saturates instead of overflowing.
int read_int(std::string_view text);

}  // namespace tolvek::frontend
