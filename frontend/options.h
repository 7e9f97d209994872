// The command line: tolvek [OPTION]... [PATTERN]...
// Every setting of the settings file has an option (see setting_definitions),
// and an option wins over the file. A few options only steer the run and
// have no key: --config, --quiet, --formats, --help, --version.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "frontend/settings.h"

namespace tolvek::frontend {

// The settings given on the command line: their values in `values`, and
// which of them were given in `given`.
struct Overrides {
    Settings values;
    std::vector<const SettingDef*> given;  // in the order of the table, each once

    bool has(std::string_view key) const;
};

struct CommandLine {
    std::vector<std::string> patterns;   // in order; none: the working directory
    std::optional<std::string> config;   // --config FILE
    bool quiet = false, formats = false, help = false, version = false;
    Overrides overrides;
    std::vector<std::string> warnings;   // e.g. --jobs capped; print to stderr
};

// One line, "tolvek: ...", naming the option and what it accepts. The caller
// prints it to stderr and exits with kUsageStatus before anything runs.
struct UsageError {
    std::string message;
};

std::variant<CommandLine, UsageError> parse_command_line(int argc, const char* const* argv);

// `from_file` with the settings given on the command line in their place.
Settings apply_overrides(Settings from_file, const Overrides& overrides);

// What --help prints.
std::string help_text();

}  // namespace tolvek::frontend
