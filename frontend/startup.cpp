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

#include "audio/audio.h"
#include "convert/convert.h"
#include "convert/grid.h"
#include "frontend/settings.h"
#include "palette/palette.h"
#include "walker/walker.h"

namespace tolvek::frontend {
namespace {

constexpr const char* kBanner = "Tolvek v0.9b\n";

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

int worker_count(int jobs) {
    if (jobs == 0) return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    return std::max(jobs, 1);
}

AudioBackend default_audio_backend() {
    return {&audio::start, &audio::has_decoders};
}

void print_log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    // A progress line ends in "\r", which line buffering would hold back
    // until the file is done; on a terminal it is shown at once.
    static const bool terminal = isatty(fileno(stdout)) != 0;
    if (terminal) std::fflush(stdout);
}

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

    std::fputs("Initializing\r", stdout);
    const Settings settings = read_settings(kSettingsFile);

    std::array<std::array<unsigned char, 256>, 3> tables{};
    unsigned char* palette[3] = {tables[0].data(), tables[1].data(), tables[2].data()};
    load_palette(settings.palette.c_str(), palette);
    convert::fill_blend_weights();

    if (const Status started = audio.start(); !started) {
        std::fprintf(stderr, "Cannot initialize the audio library: Error %d\n", started.code);
        return 1;
    }

    const std::string pattern = make_pattern(argument);

    std::fputs(kBanner, stdout);
    std::fputs("Supported formats: mp3, ogg, wav, aiff, mp2, mp1", stdout);
    for (const PluginFormat& plugin : kPlugins)
        if (audio.has_decoders(plugin.family)) std::fputs(plugin.suffix, stdout);
    std::fputs("\n", stdout);

    std::printf("Output: %s %d%%, with%s grid, palette: %s\n",
                settings.format == TOLVEK_FORMAT_JPEG ? "JPEG" : "PNG", settings.quality,
                settings.grid ? "" : "out", settings.palette.c_str());

    const int status = walker::walk_directory(settings.recursive, ".", pattern.c_str(), settings.format,
                                              settings.quality, settings.grid, settings.local, settings.verbose,
                                              palette, print_log, worker_count(settings.jobs));
    return status == TOLVEK_STATUS_SAVE_ERROR ? 2 : 0;
}

}  // namespace tolvek::frontend
