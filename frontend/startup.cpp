#include "frontend/startup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "audio/audio.h"
#include "audio/formats.h"
#include "convert/convert.h"
#include "convert/grid.h"
#include "frontend/options.h"
#include "frontend/settings.h"
#include "palette/shipped.h"
#include "batch/shard.h"
#include "palette/palette.h"
#include "frontend/console.h"
#include "frontend/run_files.h"
#include "report/format.h"
#include "batch/run.h"

namespace tolvek::frontend {
namespace {

constexpr const char* kBanner = "Tolvek v" TOLVEK_RELEASE "\n";

struct PluginFormat {
    audio::DecoderFamily family;
    const char* suffix;
};
constexpr std::array<PluginFormat, 3> kPlugins{{
    {audio::DecoderFamily::Wma, ", wma"},
    {audio::DecoderFamily::Ape, ", ape"},
    {audio::DecoderFamily::Flac, ", flac"},
}};

bool is_directory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The argument as a walker pattern: an existing directory lists all it holds.
std::string make_pattern(const char* argument) {
    std::string pattern = argument ? argument : "./";
    if (is_directory(pattern)) {
        if (!pattern.ends_with('/')) pattern += '/';
        pattern += '*';
    }
    return pattern;
}

}  // namespace

int worker_count(int jobs, int cores) {
    cores = std::max(1, cores);
    if (jobs == 0) return cores;
    return std::clamp(jobs, 1, kJobsPerCore * cores);
}

AudioBackend default_audio_backend() {
    return {&audio::start, &audio::has_decoders};
}

namespace {

void print_banner(const AudioBackend& audio, Console& console) {
    std::string banner = std::string(kBanner) + "Supported formats: mp3, ogg, wav, aiff, mp2, mp1";
    for (const PluginFormat& plugin : kPlugins)
        if (audio.has_decoders(plugin.family)) banner += plugin.suffix;
    console.out(banner + "\n");
}

void print_summary(const Settings& settings, Console& console) {
    console.out(std::string("Output: ") + (settings.format == image::FileType::Jpeg ? "JPEG" : "PNG") + " " +
                std::to_string(settings.quality) + "%, with" + (settings.grid ? "" : "out") +
                " grid, palette: " + without_controls(settings.palette) + "\n");
}

// A message line on standard error, its control characters shown as "?"
// like those of names: values from the settings file and the command line
// could otherwise move the cursor or retitle the window.
void say(Console& console, const std::string& line) { console.err(without_controls(line) + "\n"); }

// The settings the run uses and where the file gave each.
struct GatheredSettings {
    Settings settings;
    SettingLines lines;
};

// How messages name the value of `key`: "--shard 1/0" when the command line
// gave it, else "FILE:LINE: shard=1/0".
std::string named_value(const CommandLine& cl, const GatheredSettings& g, std::string_view key) {
    const SettingDef& def = *find_setting(key);
    if (!cl.overrides.has(key)) return file_origin(g.lines, def, g.settings);
    return "--" + std::string(def.option.empty() ? def.key : def.option) + " " + setting_value_text(g.settings, def);
}

// The shard a run converts, when it is one of several; false (with the
// message said) on a value that is no shard.
bool choose_shard(const CommandLine& cl, const GatheredSettings& g, std::optional<batch::Shard>& shard,
                  Console& console) {
    if (g.settings.shard.empty()) return true;
    batch::Shard s;
    if (const Status parsed = batch::parse_shard(g.settings.shard, batch::process_env, s); !parsed) {
        say(console, "tolvek: " + named_value(cl, g, "shard") + ": " + parsed.message);
        return false;
    }
    shard = s;
    return true;
}

// The report's and the index page's paths, once they are known to be
// writable without harm; false (with the message said) when one is not.
// The command line refused a bad report name already; the file's is
// refused here.
bool choose_run_files(const CommandLine& cl, const GatheredSettings& g, const std::optional<batch::Shard>& shard,
                      batch::RunSettings& run, Console& console) {
    const Settings& s = g.settings;
    if (!s.report.empty() && !report::format_for(s.report)) {
        say(console, "tolvek: " + named_value(cl, g, "report") + ": not " + std::string(find_setting("report")->rule));
        return false;
    }
    std::vector<RunFile> files;
    const auto add = [&](RunFileKind kind, const std::string& value, std::string_view key, std::string& path) {
        if (value.empty()) return;
        path = batch::expand_name(value, shard.value_or(batch::Shard{}));
        files.push_back({kind, path, named_value(cl, g, key) + (path == value ? "" : " (" + path + ")")});
    };
    add(RunFileKind::Report, s.report, "report", run.report_path);
    add(RunFileKind::Index, s.index, "index", run.index_path);
    if (const auto refused = refuse_run_files(files, cl.patterns)) {
        say(console, *refused);
        return false;
    }
    return true;
}

// False (with the message said) when the pictures the settings ask for
// would be too large: the widest picture of the largest number of panes.
bool check_picture_size(const CommandLine& cl, const GatheredSettings& g, Console& console) {
    const Settings& s = g.settings;
    const int panes = convert::parse_channels(s.channels) == convert::Channels::Split ? convert::kMaxPanes : 1;
    const auto refused = convert::picture_size_refusal(convert::parse_width(s.width).value_or(0), s.height, panes,
                                                       s.frame != 0, s.format == image::FileType::Jpeg);
    if (!refused) return true;
    say(console, "tolvek: " + named_value(cl, g, "width") + ", " + named_value(cl, g, "height") + ": " + *refused);
    return false;
}

void fill_run_settings(const Settings& settings, const palette::Colours& colours, std::vector<std::string> patterns,
                       batch::RunSettings& run) {
    convert::Options& c = run.conversion;
    c.format = settings.format;
    c.quality = settings.quality;
    c.grid = settings.grid != 0;
    c.local = settings.local != 0;
    c.verbose = settings.verbose;
    c.palette = &colours;
    c.range = convert::parse_range(settings.range).value_or(convert::Range{});
    c.scale = convert::parse_scale(settings.scale).value_or(convert::Scale::Linear);
    c.frame = settings.frame != 0;
    c.coverage = convert::parse_coverage(settings.coverage).value_or(convert::Coverage::Sampled);
    c.channels = convert::parse_channels(settings.channels).value_or(convert::Channels::Mix);
    c.width = convert::parse_width(settings.width).value_or(0);
    c.height = settings.height;
    c.spectrum = {convert::parse_fft(settings.fft).value_or(audio::kWindowFrames),
                  convert::parse_window(settings.window).value_or(audio::Window::Hann)};
    c.time = convert::parse_time_span(settings.time).value_or(convert::TimeSpan{});
    c.freq = convert::parse_frequency_span(settings.freq).value_or(convert::FrequencySpan{});
    c.data = settings.data == "npz";
    c.start_time = convert::parse_iso_time(settings.start_time);
    run.walk.recursive = settings.recursive != 0;
    run.walk.verbose = settings.verbose;
    run.walk.local = settings.local != 0;
    run.walk.outdir = settings.outdir;
    run.jobs = worker_count(settings.jobs, usable_cores());
    run.patterns = std::move(patterns);
    run.update = settings.update != 0;
}

}  // namespace

namespace {

// readable=1: its values for the keys neither the command line nor the
// settings file gives.
void apply_readable(const CommandLine& cl, GatheredSettings& g) {
    for (const ReadableValue& v : kReadableValues) {
        const SettingDef& def = *find_setting(v.key);
        if (cl.overrides.has(v.key) || g.lines.line.contains(&def)) continue;
        if (def.text) g.settings.*def.text = std::string(v.value);
        else g.settings.*def.number = read_int(v.value);
    }
}

// The settings the run uses: the file's (or --config's), then the command
// line's over them. Warnings go to standard error; false on a usage error.
bool gather_settings(const CommandLine& cl, GatheredSettings& gathered, Console& console) {
    std::vector<std::string> warnings = cl.warnings;
    Settings from_file;
    if (cl.config) {
        if (const Status s = read_config_file(*cl.config, from_file, &warnings, &gathered.lines); !s) {
            say(console, s.message);
            return false;
        }
    } else {
        from_file = read_settings(kSettingsFile, &warnings, &gathered.lines);
    }
    gathered.settings = apply_overrides(from_file, cl.overrides);
    if (gathered.settings.readable) apply_readable(cl, gathered);
    if (!cl.overrides.has("outdir"))
        if (auto unused = unused_outdir_warning(gathered.settings, gathered.lines)) warnings.push_back(*unused);
    for (const std::string& w : warnings) say(console, w);
    return true;
}

// The palette tables from the palette setting: a file, a shipped palette's
// name, or the built-in colours.
void prepare_palette(const CommandLine& cl, const Settings& settings, palette::Colours& colours, Console& console) {
    const std::string path = palette::resolve_palette(settings.palette);
    const bool named = cl.overrides.has("palette") || settings.palette != Settings{}.palette;
    if (const auto warning = palette_warning(settings.palette, path, named)) say(console, *warning);
    palette::load_palette_file(path.c_str(), colours);
}

// Whether the run shows its status line: on a terminal unless the setting
// says otherwise, never with --quiet.
bool shows_status(const CommandLine& cl, const Settings& settings) {
    if (cl.quiet) return false;
    return settings.progress < 0 ? isatty(STDERR_FILENO) != 0 : settings.progress != 0;
}

// What reads audio: the containers with their file name endings, then the
// decoders, each line under its heading and indented by two spaces.
void print_formats() {
    std::printf("Containers:\n");
    for (const std::string& line : audio::readable_containers()) std::printf("  %s\n", line.c_str());
    std::printf("Audio decoders:\n");
    for (const std::string& line : audio::audio_decoders()) std::printf("  %s\n", line.c_str());
}

}  // namespace

int run_tolvek(int argc, char** argv, const AudioBackend& audio) {
    const auto parsed = parse_command_line(argc, argv);
    if (const auto* usage = std::get_if<UsageError>(&parsed)) {
        std::fprintf(stderr, "%s\n", without_controls(usage->message).c_str());
        return kUsageStatus;
    }
    const CommandLine& cl = std::get<CommandLine>(parsed);
    if (cl.help || cl.version) {
        std::fputs(cl.help ? help_text().c_str() : kBanner, stdout);
        return 0;
    }
    if (cl.formats) {
        print_formats();
        return 0;
    }

    // The settings are read before the first line so that a usage error in
    // them leaves standard output empty; what it shows is unchanged.
    Console console(cl.quiet);
    GatheredSettings gathered;
    std::optional<batch::Shard> shard;
    batch::RunSettings run;
    if (!gather_settings(cl, gathered, console) || !choose_shard(cl, gathered, shard, console) ||
        !choose_run_files(cl, gathered, shard, run, console) || !check_picture_size(cl, gathered, console))
        return kUsageStatus;
    const Settings& settings = gathered.settings;
    console.out("Initializing\r");

    palette::Colours colours;
    prepare_palette(cl, settings, colours, console);
    convert::fill_blend_weights();

    if (const Status started = audio.start(); !started) {
        console.err("Cannot initialize the audio library: Error " + std::to_string(started.code.value()) + "\n");
        return 1;
    }

    std::vector<std::string> patterns;
    for (const std::string& p : cl.patterns) patterns.push_back(make_pattern(p.c_str()));
    if (patterns.empty()) patterns.push_back(make_pattern(nullptr));
    fill_run_settings(settings, colours, std::move(patterns), run);
    run.shard = shard;
    print_banner(audio, console);
    print_summary(settings, console);
    if (settings.local && settings.outdir != ".") {
        // The mirrored tree's root is made when missing; if it cannot be,
        // every save below it fails and says why.
        std::error_code ignored;
        std::filesystem::create_directories(settings.outdir, ignored);
    }

    batch::Progress* progress = shows_status(cl, settings) ? &console.start_status() : nullptr;
    const batch::RunTotals totals = batch::run_batch(std::move(run), console, progress);
    console.end_status();
    if (!cl.quiet) console.err(batch::summary_line(totals, settings.update != 0));
    return totals.exit_status();
}

}  // namespace tolvek::frontend
