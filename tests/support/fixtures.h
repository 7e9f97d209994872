// Test fixtures made in code: temporary directories, WAV files, other formats
// made from them with the ffmpeg tool, runs of the built program, pictures
// read back, palettes and a log callback that records what it is given.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "convert/convert.h"

namespace tolvek::test {

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Debian's shared FFmpeg opens tracker modules (through libopenmpt) as
// synthesised music; the lean build of scripts/build-ffmpeg.sh reads only
// the audio file endings and refuses a module when it opens it.
inline constexpr bool kModulesOpen = TOLVEK_LEAN_FFMPEG == 0;

// Interleaved 16-bit samples.
using Samples = std::vector<std::int16_t>;

Samples sine(int rate, int channels, double seconds, double hz, double amplitude = 0.5);
Samples silence(int rate, int channels, double seconds);
// Deterministic music-like signal: a chord, a sweep and some noise.
Samples music(int rate, int channels, double seconds, std::uint32_t seed = 1);

void write_wav(const std::string& path, int rate, int channels, std::span<const std::int16_t> samples);
void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool exists(const std::string& path);

// Runs the ffmpeg tool quietly: ffmpeg -i in <args> out. True on success.
bool ffmpeg_convert(const std::string& in, const std::string& out, const std::string& args = "");

// A FLAC file's bytes with STREAMINFO's total frames set to `total` (36 bits).
std::string with_flac_total(std::string flac, std::uint64_t total);
// A Matroska file with its Duration element (as the ffmpeg tool writes it:
// an 8-byte float, in milliseconds) set to `ms`.
std::string with_matroska_duration(std::string mka, double ms);
// An Ogg file whose last page claims granule position `granule`, its
// checksum made to match.
std::string with_last_ogg_granule(std::string ogg, std::uint64_t granule);

// A tiny ProTracker module with one sample and one note.
std::string tracker_module();

struct RunResult {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
    long peak_kib = 0;  // peak resident memory of the program and what it waited for
    std::string terminal;  // what the pseudo-terminal received (run_on_terminal)
};
// Runs `argv` (no shell) in `cwd`, capturing both output streams.
RunResult run(const std::vector<std::string>& argv, const std::string& cwd);
// Which streams go to a pseudo-terminal of `columns` columns; the others to
// pipes, as with run().
struct Terminal {
    bool out = true, err = true;
    std::uint16_t columns = 200;
};
// Runs `argv` like run() on a new pseudo-terminal, its input too.
RunResult run_on_terminal(const std::vector<std::string>& argv, const std::string& cwd, const Terminal& terminal);
// True when a run's standard error holds nothing but its closing summary.
bool only_summary(const std::string& err);
// The built command-line program.
std::string program_path();

// A working directory for end-to-end runs: sources and settings go below
// it, and the built program runs in it, bounded by `timeout 60`.
class Workspace {
public:
    std::string path(const std::string& rel = "") const { return rel.empty() ? dir_.path() : dir_.file(rel); }
    bool has(const std::string& rel) const { return exists(path(rel)); }
    // Tolvek_Pre.ini with section [general] and `body`.
    void ini(const std::string& body) const;
    void folders(const std::string& rel) const;
    void file(const std::string& rel, const std::string& bytes) const;
    void symlink(const std::string& target, const std::string& rel) const;
    // A sine WAV, and a second of 440 Hz at 8 kHz mono.
    void tone(const std::string& rel, int rate, int channels, double seconds, double hz) const;
    void wav(const std::string& rel) const { tone(rel, 8000, 1, 1.0, 440); }
    RunResult tolvek(const std::vector<std::string>& args) const;
    RunResult tolvek_on_terminal(const std::vector<std::string>& args, const Terminal& terminal) const;
    // Gives every file below the same modification time, which pictures
    // record, so two workspaces made alike give pictures alike to the byte.
    void settle_times() const;

private:
    TempDir dir_;
};

// A picture read back from disk. at(x, y) counts y from the bottom row.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // top row first
    struct Px {
        int r, g, b;
    };
    Px at(int x, int y) const {
        const std::uint8_t* p = &rgb[(static_cast<std::size_t>(height - 1 - y) * width + x) * 3];
        return {p[0], p[1], p[2]};
    }
};
bool read_png(const std::string& path, Image& out);
bool read_jpeg(const std::string& path, Image& out);

// A palette built in code; tables() is what _process_file takes.
struct TestPalette : palette::Colours {
    unsigned char* ptrs[3] = {};
    // The three tables as the C interface takes them; refreshed on each
    // call, so copies stay right.
    unsigned char** tables() {
        ptrs[0] = red.data();
        ptrs[1] = green.data();
        ptrs[2] = blue.data();
        return ptrs;
    }
    static TestPalette grey();  // entry i = (i, i, i)
};

// A LogFn that appends everything to captured_log().
void capture_log(const char* format, ...);
std::string& captured_log();

}  // namespace tolvek::test
