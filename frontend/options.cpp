#include "frontend/options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cctype>

namespace tolvek::frontend {
namespace {

// The options that steer a run and have no settings key.
struct RunOption {
    char short_option;
    std::string_view name;
    std::string_view value_name;  // --config only
    std::string_view help;
    bool CommandLine::*flag;      // the others
};
constexpr std::array<RunOption, 5> kRunOptions{{
    {'c', "config", "FILE", "read the settings from FILE instead of ./Tolvek_Pre.ini", nullptr},
    {'q', "quiet", "", "print only warnings and errors", &CommandLine::quiet},
    {0, "formats", "", "list the audio formats that can be read, then exit", &CommandLine::formats},
    {'h', "help", "", "print this help, then exit", &CommandLine::help},
    {0, "version", "", "print the version, then exit", &CommandLine::version},
}};

std::string run_option_names(const RunOption& o) {
    return (o.short_option ? std::string("-") + o.short_option + ",--" : "--") + std::string(o.name);
}

std::string long_option(const SettingDef& def) { return "--" + std::string(def.option.empty() ? def.key : def.option); }

std::string lowered(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// What an option accepts, in words for a usage error.
std::string accepts(const SettingDef& def) {
    if (def.text && !def.choices.empty()) {
        std::string words;
        for (std::size_t i = 0; i < def.choices.size(); ++i)
            words += (i == 0 ? "" : i + 1 == def.choices.size() ? " or " : ", ") + std::string(def.choices[i]);
        return words;
    }
    if (!def.rule.empty()) return std::string(def.rule);
    if (def.valid) return std::string(def.value_name);
    if (def.text) return "a " + std::string(def.value_name) + " name";
    if (def.capped_by_cores) return "a whole number, " + std::to_string(def.min) + " or more";
    return "a whole number from " + std::to_string(def.min) + " to " + std::to_string(def.max);
}

// Stores the option's `value` in `out`; the usage error when it is not
// one the option accepts.
std::optional<std::string> take_value(const SettingDef& def, const std::string& value, Settings& out,
                                      std::vector<std::string>& warnings) {
    const std::string error = "tolvek: " + long_option(def) + " accepts " + accepts(def) + ", not '" + value + "'";
    if (def.text) {
        if (value.empty()) return error;
        if (!def.choices.empty() &&
            std::find(def.choices.begin(), def.choices.end(), lowered(value)) == def.choices.end())
            return error;
        if (def.valid && !def.valid(value)) return error;
        out.*def.text = def.choices.empty() ? value : lowered(value);
        return std::nullopt;
    }
    if (!is_whole_number(value)) return error;
    int n = read_int(value);
    if (n < def.min || (!def.capped_by_cores && n > def.max)) return error;
    if (def.capped_by_cores && n > max_jobs()) {
        n = max_jobs();
        warnings.push_back("tolvek: " + long_option(def) + " " + value + " is more than " +
                           std::to_string(kJobsPerCore) + " per processor core; using " + std::to_string(n));
    }
    out.*def.number = n;
    return std::nullopt;
}

// One setting's options as CLI11 sees them, and what they received.
struct Bound {
    const SettingDef* def = nullptr;
    CLI::Option* option = nullptr;   // the value option, or the flag pair
    CLI::Option* counted = nullptr;  // -v
    std::string value;
    bool on = false;
    int count = 0;
};

void bind(CLI::App& app, const SettingDef& def, Bound& b) {
    b.def = &def;
    const std::string short_name = def.short_option ? std::string("-") + def.short_option : "";
    if (def.kind == SettingKind::kFlag) {
        b.option = app.add_flag((short_name.empty() ? "" : short_name + ",") + long_option(def) + ",!--no-" +
                                    std::string(def.key),
                                b.on)
                       ->disable_flag_override();
        return;
    }
    if (def.short_counts) {
        b.counted = app.add_flag(short_name, b.count)->disable_flag_override();
        b.option = app.add_option(long_option(def), b.value);
        return;
    }
    b.option = app.add_option((short_name.empty() ? "" : short_name + ",") + long_option(def), b.value);
}

// -v and --verbose: the later one wins.
bool counted_last(const CLI::App& app, const Bound& b) {
    const std::vector<CLI::Option*>& order = app.parse_order();
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        if (*it == b.counted) return true;
        if (*it == b.option) return false;
    }
    return false;
}

// The settings given, from the bound options; a usage error if a value is bad.
std::optional<std::string> collect(const CLI::App& app, std::vector<Bound>& bound, CommandLine& cl) {
    for (Bound& b : bound) {
        const bool by_count = b.counted && b.counted->count() > 0;
        if (b.option->count() == 0 && !by_count) continue;
        Settings& values = cl.overrides.values;
        if (b.def->kind == SettingKind::kFlag) {
            values.*b.def->number = b.on ? 1 : 0;
        } else if (by_count && counted_last(app, b)) {
            values.*b.def->number = std::min(b.count, b.def->max);  // -vvv is as verbose as it gets
        } else if (auto error = take_value(*b.def, b.value, values, cl.warnings)) {
            return error;
        }
        cl.overrides.given.push_back(b.def);
    }
    finish_settings(cl.overrides.values);
    return std::nullopt;
}

// -o asks for a tree of pictures under DIR: it turns on local and
// recursive, and refuses an explicit --no-local or --no-recursive that
// would leave the pictures elsewhere or the tree's folders missing.
std::optional<std::string> imply_output_tree(Overrides& overrides) {
    if (!overrides.has("outdir")) return std::nullopt;
    std::vector<const SettingDef*> given;
    for (const SettingDef& def : setting_definitions()) {
        const bool implied = def.number == &Settings::local || def.number == &Settings::recursive;
        if (implied && overrides.has(def.key) && overrides.values.*def.number == 0)
            return "tolvek: -o/--output-dir turns on --local and --recursive (pictures in a tree under DIR, "
                   "folders made as needed); it cannot go with --no-" + std::string(def.key);
        if (implied) overrides.values.*def.number = 1;
        if (implied || overrides.has(def.key)) given.push_back(&def);
    }
    overrides.given = std::move(given);
    return std::nullopt;
}

// An option as the command line spells it, and whether it takes a value.
struct OptionName {
    std::string long_name;  // without "--"
    char short_name = 0;
    bool takes_value = false;
    const SettingDef* def = nullptr;  // nothing for --config and the run's flags
};

std::vector<OptionName> option_names() {
    std::vector<OptionName> names;
    for (const RunOption& o : kRunOptions) names.push_back({std::string(o.name), o.short_option, !o.flag});
    for (const SettingDef& def : setting_definitions()) {
        const bool flag = def.kind == SettingKind::kFlag;
        names.push_back({long_option(def).substr(2), flag || !def.short_counts ? def.short_option : '\0', !flag, &def});
        if (flag) names.push_back({"no-" + std::string(def.key), 0, false, &def});
        if (def.short_counts) names.push_back({"", def.short_option, false, &def});
    }
    return names;
}

// The unknown option's line, naming the nearest long option when it is a
// slip of a few edits away ("--fram" for --frame); the first of equals wins.
std::string unknown_option(const std::string& extra) {
    std::string message = "tolvek: unknown option " + extra;
    if (extra.starts_with("--") && extra.size() > 2) {
        const std::string_view typed = std::string_view(extra).substr(2, extra.find('=') - 2);
        std::size_t best = kSlipEdits + 1;
        std::string nearest;
        for (const OptionName& o : option_names()) {
            if (o.long_name.empty()) continue;
            const std::size_t edits = edit_distance(typed, o.long_name);
            if (edits < best) best = edits, nearest = o.long_name;
        }
        if (!nearest.empty()) message += " (did you mean --" + nearest + "?)";
    }
    return message + "; see tolvek --help";
}

// What CLI11 would take wrongly: "--index=" with nothing after "=" (it
// would take the next argument as the value, a source perhaps), "--grid="
// and "-u=1" (a flag given a value), "-o=out" (the value would be "=out").
std::optional<std::string> equals_mistake(int argc, const char* const* argv) {
    const std::vector<OptionName> names = option_names();
    const auto named = [&](auto is) {
        const auto it = std::find_if(names.begin(), names.end(), is);
        return it == names.end() ? nullptr : &*it;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") break;
        if (arg.starts_with("--")) {
            const std::size_t eq = arg.find('=');
            const std::string_view name = arg.substr(2, eq == std::string_view::npos ? eq : eq - 2);
            const OptionName* o = named([&](const OptionName& n) { return !name.empty() && n.long_name == name; });
            if (o && eq == std::string_view::npos && o->takes_value) ++i;  // the next argument is its value
            if (!o || eq == std::string_view::npos || eq + 1 < arg.size()) continue;
            if (!o->takes_value) return "tolvek: --" + o->long_name + " takes no value";
            return "tolvek: --" + o->long_name + " accepts " + (o->def ? accepts(*o->def) : "a FILE name") + ", not ''";
        }
        for (std::size_t k = 1; arg.starts_with('-') && k < arg.size(); ++k) {
            const OptionName* o = named([&](const OptionName& n) { return n.short_name && n.short_name == arg[k]; });
            if (!o) break;
            const bool equals = k + 1 < arg.size() && arg[k + 1] == '=';
            const std::string option = std::string("-") + arg[k];
            if (equals && !o->takes_value) return "tolvek: " + option + " takes no value";
            if (equals)
                return "tolvek: " + option + " takes its value as " + option + " VALUE or --" + o->long_name +
                       "=VALUE, not " + option + std::string(arg.substr(k + 1));
            if (o->takes_value) {
                if (k + 1 == arg.size()) ++i;  // the next argument is its value
                break;
            }
        }
    }
    return std::nullopt;
}

// CLI11's words for a missing value or a value given to a flag, in ours.
std::string usage_error(const CLI::ParseError& e, const std::vector<Bound>& bound) {
    const std::string what = e.what();
    for (const Bound& b : bound) {
        const std::string name = long_option(*b.def);
        if (b.def->kind != SettingKind::kFlag && what.starts_with(name + ":"))
            return "tolvek: " + name + " needs a value: " + accepts(*b.def);
    }
    if (what.starts_with("--config:")) return "tolvek: --config needs a value: a FILE name";
    if (const std::size_t at = what.find(" was given a disallowed flag override"); at != std::string::npos)
        return "tolvek: " + std::string(at > 1 ? "--" : "-") + what.substr(0, at) + " takes no value";
    return "tolvek: " + what + "; see tolvek --help";
}

constexpr std::size_t kHelpColumn = 27;

std::string pad(std::string s, std::size_t width) {
    s.resize(std::max(s.size() + 1, width), ' ');
    return s;
}

// "  quality=75                 --quality N" and the help lines under it.
std::string setting_help(const SettingDef& def, const Settings& defaults) {
    std::string names;
    if (def.kind == SettingKind::kFlag) {
        names = long_option(def) + ", --no-" + std::string(def.key);
    } else {
        if (def.short_option) names = std::string("-") + def.short_option + ", ";
        names += long_option(def) + (def.short_counts ? "=" : " ") + std::string(def.value_name);
    }
    std::string out = "  " + pad(std::string(def.key) + "=" + setting_value_text(defaults, def), kHelpColumn) + names + "\n";
    std::string_view help = def.help;
    const std::string first_prefix = def.kind == SettingKind::kFlag ? "1: " : "";
    for (bool first = true; !help.empty(); first = false) {
        const std::size_t end = help.find('\n');
        out += std::string(kHelpColumn + 2, ' ') + (first ? first_prefix : "") + std::string(help.substr(0, end)) + "\n";
        help = end == std::string_view::npos ? std::string_view{} : help.substr(end + 1);
    }
    return out;
}

}  // namespace

bool Overrides::has(std::string_view key) const {
    return std::any_of(given.begin(), given.end(), [&](const SettingDef* d) { return d->key == key; });
}

std::variant<CommandLine, UsageError> parse_command_line(int argc, const char* const* argv) {
    CommandLine cl;
    CLI::App app("", "tolvek");
    app.set_help_flag();  // ours, so --help prints help_text()
    app.allow_extras();   // an unknown option is reported below, by name
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    std::string config;
    CLI::Option* config_option = nullptr;
    for (const RunOption& o : kRunOptions) {
        if (o.flag) app.add_flag(run_option_names(o), cl.*o.flag)->disable_flag_override();
        else config_option = app.add_option(run_option_names(o), config);
    }
    std::vector<Bound> bound(setting_definitions().size());
    for (std::size_t i = 0; i < bound.size(); ++i) bind(app, setting_definitions()[i], bound[i]);
    app.add_option("patterns", cl.patterns);

    if (auto mistake = equals_mistake(argc, argv)) return UsageError{*mistake};
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return UsageError{usage_error(e, bound)};
    }
    // CLI11 keeps the "--" that ended the options among the leftovers.
    for (const std::string& extra : app.remaining())
        if (extra != "--") return UsageError{unknown_option(extra)};
    if (config_option->count() > 0) {
        if (config.empty()) return UsageError{"tolvek: --config accepts a FILE name, not ''"};
        cl.config = config;
    }
    if (auto error = collect(app, bound, cl)) return UsageError{*error};
    if (auto error = imply_output_tree(cl.overrides)) return UsageError{*error};
    return cl;
}

Settings apply_overrides(Settings from_file, const Overrides& overrides) {
    for (const SettingDef* def : overrides.given) {
        if (def->text) from_file.*def->text = overrides.values.*def->text;
        else from_file.*def->number = overrides.values.*def->number;
    }
    finish_settings(from_file);
    return from_file;
}

std::string help_text() {
    std::string out =
        "Usage: tolvek [OPTION]... [PATTERN]...\n"
        "\n"
        "Converts audio files into spectrogram pictures (song.mp3 gives song.mp3.png).\n"
        "A PATTERN is a file, a directory (everything below it is converted) or a\n"
        "wildcard pattern whose last part may hold \"*\" and \"?\" (quote it for the\n"
        "shell). Without PATTERN the working directory is converted. \"--\" ends the\n"
        "options, so a pattern after it may start with \"-\".\n"
        "\n"
        "Settings: Tolvek_Pre.ini in the working directory (or the --config file),\n"
        "section [general], key=default; the option after each wins over the file.\n";
    const Settings defaults;
    for (const SettingDef& def : setting_definitions()) out += setting_help(def, defaults);
    out += "\nOther options:\n";
    for (const RunOption& o : kRunOptions) {
        std::string names = o.short_option ? std::string("-") + o.short_option + ", --" : "    --";
        names += std::string(o.name) + (o.value_name.empty() ? "" : " " + std::string(o.value_name));
        out += "  " + pad(names, kHelpColumn) + std::string(o.help) + "\n";
    }
    out +=
        "\n"
        "Palette file: lines \"index,red,green,blue\" (each 0..255); colours between\n"
        "the lines are interpolated, other lines are ignored.\n"
        "\n"
        "Exit status: 0 done, 1 the audio libraries cannot be used, 2 a picture or\n"
        "report could not be written, 3 an input exists but could not be read whole\n"
        "(damaged, unreadable) or a named pattern matched nothing, 64 usage error.\n";
    return out;
}

}  // namespace tolvek::frontend
