#include "frontend/startup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "audio/audio.h"
#include "convert/convert.h"
#include "tolvek/tolvek.h"
#include "convert/grid.h"
#include "frontend/settings.h"
#include "palette/palette.h"
#include "frontend/console.h"
#include "walker/run.h"

namespace tolvek::frontend {
namespace {

constexpr const char* kBanner = "Tolvek v0.9b\n";
// More workers than this per core only cost memory.
constexpr int kMaxJobsPerCore = 4;

constexpr const char* kHelp =
    "Usage: tolvek [PATTERN]\n"
    "       tolvek -h | --help\n"
    "       tolvek --version\n"
    "\n"
    "Converts audio files into spectrogram pictures (song.mp3 gives song.mp3.png).\n"
    "PATTERN is a file, a directory (everything below it is converted) or a\n"
    "wildcard pattern whose last part may hold \"*\" and \"?\" (quote it for the\n"
    "shell). Without PATTERN the working directory is converted.\n"
    "\n"
    "Settings: Tolvek_Pre.ini in the working directory, section [general]:\n"
    "  quality=75                JPEG quality, 10..100\n"
    "  recursive=0               1: create the mirrored folders under the working directory\n"
    "  grid=1                    1: mark every 10 s, 60 s, 1 kHz and 5 kHz\n"
    "  local=0                   1: save pictures in the mirrored tree, not beside the sources\n"
    "  verbose=0                 1: report skipped files and patterns that match nothing,\n"
    "                            2: also unreadable stretches of audio\n"
    "  output=png                png, or jpg/jpeg for JPEG pictures\n"
    "  palette=tolvek_color.pal  palette file\n"
    "  jobs=1                    files converted at once; 0: one per processor core\n"
    "\n"
    "Palette file: lines \"index,red,green,blue\" (each 0..255); colours between\n"
    "the lines are interpolated, other lines are ignored.\n"
    "\n"
    "Exit status: 0 done, 1 the audio layer cannot start, 2 a picture could not be written.\n";

struct PluginFormat {
    const char* file;
    const char* suffix;
};
constexpr std::array<PluginFormat, 3> kPlugins{{
    {"basswma.dll", ", wma"},
    {"bass_ape.dll", ", ape"},
    {"bassflac.dll", ", flac"},
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

int worker_count(int jobs) {
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    if (jobs == 0) return cores;
    return std::clamp(jobs, 1, kMaxJobsPerCore * cores);
}

AudioBackend default_audio_backend() {
    return {&audio::start, &audio::stop, &audio::load_plugin, &audio::last_error};
}

namespace {

void print_banner(const AudioBackend& audio, Console& console) {
    std::string banner = std::string(kBanner) + "Supported formats: mp3, ogg, wav, aiff, mp2, mp1";
    for (const PluginFormat& plugin : kPlugins)
        if (audio.load_plugin(plugin.file)) banner += plugin.suffix;
    console.out(banner + "\n");
}

void print_summary(const Settings& settings, Console& console) {
    console.out(std::string("Output: ") + (settings.format == TOLVEK_FORMAT_JPEG ? "JPEG" : "PNG") + " " +
                std::to_string(settings.quality) + "%, with" + (settings.grid ? "" : "out") +
                " grid, palette: " + settings.palette + "\n");
}

walker::RunSettings run_settings(const Settings& settings, const Palette palette, std::vector<std::string> patterns) {
    walker::RunSettings run;
    convert::Options& c = run.conversion;
    c.format = settings.format == TOLVEK_FORMAT_JPEG ? image::FileType::Jpeg : image::FileType::Png;
    c.quality = settings.quality;
    c.grid = settings.grid != 0;
    c.local = settings.local != 0;
    c.verbose = settings.verbose;
    c.palette = palette;
    run.walk.recursive = settings.recursive != 0;
    run.walk.verbose = settings.verbose;
    run.walk.local = settings.local != 0;
    run.jobs = worker_count(settings.jobs);
    run.patterns = std::move(patterns);
    return run;
}

}  // namespace

int run_tolvek(int argc, char** argv, const AudioBackend& audio) {
    const char* argument = argc > 1 ? argv[1] : nullptr;
    if (argument) {
        const std::string_view a = argument;
        if (a == "-h" || a == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (a == "--version") {
            std::fputs(kBanner, stdout);
            return 0;
        }
    }

    Console console;
    console.out("Initializing\r");
    const Settings settings = read_settings(kSettingsFile);

    std::array<std::array<unsigned char, 256>, 3> tables{};
    unsigned char* palette[3] = {tables[0].data(), tables[1].data(), tables[2].data()};
    load_palette(settings.palette.c_str(), palette);
    convert::fill_blend_weights();

    if (!audio.start()) {
        console.err("Cannot initialize the audio library: Error " + std::to_string(audio.last_error()) + "\n");
        return 1;
    }

    std::vector<std::string> patterns{make_pattern(argument)};
    print_banner(audio, console);
    print_summary(settings, console);

    const walker::RunTotals totals = walker::walk_directory(run_settings(settings, palette, std::move(patterns)), console);
    audio.stop();
    console.err(walker::summary_line(totals));
    return totals.exit_status();
}

}  // namespace tolvek::frontend
