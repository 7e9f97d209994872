// The built program run end to end in a temporary working directory.
#include <gtest/gtest.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "audio/formats.h"
#include "image/picture.h"
#include "report/index.h"
#include "support/fixtures.h"

using tolvek::test::exists;
using tolvek::test::RunResult;
using tolvek::test::TempDir;
using tolvek::test::write_file;

namespace {

const std::string kDefaultSummary = "Output: PNG 75%, with grid, palette: tolvek_color.pal\n";

// The banner as the program prints it with the audio layer in use here.
std::string header(const std::string& summary = kDefaultSummary) {
    std::string plugins;
    using tolvek::audio::DecoderFamily;
    if (tolvek::audio::has_decoders(DecoderFamily::Wma)) plugins += ", wma";
    if (tolvek::audio::has_decoders(DecoderFamily::Ape)) plugins += ", ape";
    if (tolvek::audio::has_decoders(DecoderFamily::Flac)) plugins += ", flac";
    return "Initializing\rTolvek v0.9b\nSupported formats: mp3, ogg, wav, aiff, mp2, mp1" + plugins + "\n" + summary;
}

// The display name a conversion line starts with: its first 33 columns
// without the padding.
std::string display_name(const std::string& line) {
    std::string name = line.substr(0, 33);
    name.erase(name.find_last_not_of(' ') + 1);
    return name;
}

// Standard output with the conversion's own lines condensed: progress lines
// are dropped, a saving line becomes "<saved NAME>" and a save error line
// "<save error NAME>". A saving line that did not follow its file's progress
// up to 100% says so, so the order of the lines is still checked.
std::string condense(const std::string& out) {
    const std::string saving = ". Saving file\n";
    std::string result, last_progress;
    std::size_t start = 0;
    while (start < out.size()) {
        const std::size_t end = out.find_first_of("\r\n", start);
        const std::string line = out.substr(start, end == std::string::npos ? end : end + 1 - start);
        start = end == std::string::npos ? out.size() : end + 1;
        if (line.ends_with("%]\r")) {
            last_progress = line;
        } else if (line.ends_with(saving)) {
            const std::string label = line.substr(0, line.size() - saving.size());
            const bool done = last_progress == label + " [100.0%]\r";
            result += "<saved " + display_name(line) + (done ? "" : " without progress") + ">\n";
            last_progress.clear();
        } else if (line.ends_with(", Save error\n")) {
            result += "<save error " + display_name(line) + ">\n";
        } else {
            result += line;
        }
    }
    return result;
}

using Work = tolvek::test::Workspace;

// song.wav, music/a.wav, music/b.WAV, music/live/c.wav
void library(const Work& w) {
    w.wav("song.wav");
    w.folders("music/live");
    w.wav("music/a.wav");
    w.wav("music/b.WAV");
    w.wav("music/live/c.wav");
}

TEST(Cli, DefaultsSummary) {
    Work w;
    w.folders("empty");
    const RunResult r = w.tolvek({"empty"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, header());
    EXPECT_TRUE(r.err.starts_with("tolvek: 0 pictures written, 0 not audio, 0 failed, in ")) << r.err;
}

TEST(Cli, SummaryFollowsTheSettings) {
    struct Case {
        const char* ini;
        const char* summary;
    };
    for (const Case& c : {
             Case{"quality=5\n", "Output: PNG 10%, with grid, palette: tolvek_color.pal\n"},
             Case{"quality=500\n", "Output: PNG 100%, with grid, palette: tolvek_color.pal\n"},
             Case{"grid=0\n", "Output: PNG 75%, without grid, palette: tolvek_color.pal\n"},
             Case{"output=JPG\n", "Output: JPEG 75%, with grid, palette: tolvek_color.pal\n"},
             Case{"output=Jpeg\n", "Output: JPEG 75%, with grid, palette: tolvek_color.pal\n"},
             Case{"output=jpeg2000\n", "Output: JPEG 75%, with grid, palette: tolvek_color.pal\n"},
             Case{"output=bmp\n", "Output: PNG 75%, with grid, palette: tolvek_color.pal\n"},
             Case{"palette=\"my colours.pal\"\nquality=90\n", "Output: PNG 90%, with grid, palette: my colours.pal\n"},
         }) {
        SCOPED_TRACE(c.ini);
        Work w;
        w.folders("empty");
        w.ini(c.ini);
        const RunResult r = w.tolvek({"empty"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, header(c.summary));
    }
}

TEST(Cli, JpegSelectionWritesJpegPictures) {
    Work w;
    w.wav("song.wav");
    w.ini("output=jpg\n");
    const RunResult r = w.tolvek({"song.wav"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(condense(r.out), header("Output: JPEG 75%, with grid, palette: tolvek_color.pal\n") + "<saved ./song.wav>\n");
    EXPECT_TRUE(w.has("song.wav.jpg"));
    EXPECT_FALSE(w.has("song.wav.png"));
}

TEST(Cli, PatternsFromTheArgument) {
    struct Case {
        std::vector<std::string> args;
        std::string walk;
        std::vector<std::string> pictures;
    };
    const std::string in_music = "<saved ./a.wav>\n<saved ./b.WAV>\nProcessing music/live/*\n<saved ./live/c.wav>\n";
    for (const Case& c : {
             Case{{},
                  "Processing ./music/*\n<saved ./music/a.wav>\n<saved ./music/b.WAV>\n"
                  "Processing ./music/live/*\n<saved ./music/live/c.wav>\n<saved ./song.wav>\n",
                  {"song.wav.png", "music/a.wav.png", "music/b.WAV.png", "music/live/c.wav.png"}},
             Case{{"music"}, in_music, {"music/a.wav.png", "music/b.WAV.png", "music/live/c.wav.png"}},
             Case{{"music/"}, in_music, {"music/a.wav.png", "music/b.WAV.png", "music/live/c.wav.png"}},
             Case{{"music/*.wav"}, "<saved ./a.wav>\n", {"music/a.wav.png"}},
             Case{{"music/?.*"}, "<saved ./a.wav>\n<saved ./b.WAV>\n", {"music/a.wav.png", "music/b.WAV.png"}},
             Case{{"music/l*"}, "Processing music/live/*\n<saved ./live/c.wav>\n", {"music/live/c.wav.png"}},
             Case{{"music/a.wav"}, "<saved ./a.wav>\n", {"music/a.wav.png"}},
             Case{{"./song.wav"}, "<saved ./song.wav>\n", {"song.wav.png"}},
             // Several patterns: walked in the order given, in one run.
             Case{{"song.wav", "music/*.wav"}, "<saved ./song.wav>\n<saved ./a.wav>\n",
                  {"song.wav.png", "music/a.wav.png"}},
             Case{{"-v", "--", "music/l*"}, "Processing music/live/*\n<saved ./live/c.wav>\n", {"music/live/c.wav.png"}},
         }) {
        SCOPED_TRACE(c.args.empty() ? "(no argument)" : c.args.back());
        Work w;
        library(w);
        const RunResult r = w.tolvek(c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(condense(r.out), header() + c.walk);
        EXPECT_TRUE(tolvek::test::only_summary(r.err)) << r.err;
        for (const std::string& p : c.pictures) EXPECT_TRUE(w.has(p)) << p;
    }
}

TEST(Cli, AbsoluteDirectoryArgument) {
    Work w;
    library(w);
    const std::string music = w.path("music");
    const RunResult r = w.tolvek({music});
    EXPECT_EQ(condense(r.out), header() + "<saved ./a.wav>\n<saved ./b.WAV>\nProcessing " + music +
                                   "/live/*\n<saved ./live/c.wav>\n");
}

TEST(Cli, RecursiveAndLocal) {
    struct Case {
        const char* ini;
        std::vector<std::string> args;
        int status;
        std::string walk;
        std::vector<std::string> present, absent;
        std::string err = "";  // standard error without the summary line
    };
    const std::string mirrored = "Creating directory .\n<saved ./a.wav>\n<saved ./b.WAV>\n"
                                 "Processing music/live/*\nCreating directory ./live\n<saved ./live/c.wav>\n";
    for (const Case& c : {
             Case{"recursive=1\nlocal=1\n", {"music"}, 0, mirrored,
                  {"a.wav.png", "b.WAV.png", "live/c.wav.png"}, {"music/a.wav.png"}},
             Case{"recursive=1\nlocal=0\n", {"music"}, 0, mirrored,
                  {"music/a.wav.png", "music/b.WAV.png", "music/live/c.wav.png", "live"},
                  {"a.wav.png", "live/c.wav.png"}},
             Case{"local=1\n", {"music/a.wav"}, 0, "<saved ./a.wav>\n", {"a.wav.png"}, {"music/a.wav.png"}},
             // Without recursive nobody makes ./live, so that picture is lost.
             Case{"local=1\n", {"music"}, 2,
                  "<saved ./a.wav>\n<saved ./b.WAV>\nProcessing music/live/*\n<saved ./live/c.wav>\n"
                  "<save error ./live/c.wav>\n",
                  {"a.wav.png", "b.WAV.png"}, {"live", "music/live/c.wav.png"},
                  "tolvek: ./live/c.wav.png: cannot create a file beside ./live/c.wav.png: No such file or directory "
                  "(use --recursive to create folders)\n"},
             // -o makes the tree under out whatever the file says; none beside the sources.
             Case{"local=0\nrecursive=0\n", {"-o", "out", "music"}, 0,
                  "Creating directory out\n<saved out/a.wav>\n<saved out/b.WAV>\nProcessing music/live/*\n"
                  "Creating directory out/live\n<saved out/live/c.wav>\n",
                  {"out/a.wav.png", "out/b.WAV.png", "out/live/c.wav.png"},
                  {"music/a.wav.png", "music/b.WAV.png", "music/live/c.wav.png", "a.wav.png", "live"}},
             // The file's outdir without local=1 leaves the pictures beside the sources, with a word.
             Case{"grid=1\noutdir=out\n", {"music/a.wav"}, 0, "<saved out/a.wav>\n", {"music/a.wav.png"},
                  {"out", "a.wav.png"},
                  "tolvek: Tolvek_Pre.ini:3: outdir=out is used only with local=1; the pictures go beside the "
                  "sources (-o DIR puts them under DIR)\n"},
         }) {
        SCOPED_TRACE(std::string(c.ini) + c.args.back());
        Work w;
        library(w);
        w.ini(c.ini);
        const RunResult r = w.tolvek(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(condense(r.out), header() + c.walk);
        const std::size_t summary = r.err.rfind('\n', r.err.size() - 2);  // the last line is the summary
        EXPECT_EQ(summary == std::string::npos ? "" : r.err.substr(0, summary + 1), c.err);
        for (const std::string& p : c.present) EXPECT_TRUE(w.has(p)) << p;
        for (const std::string& p : c.absent) EXPECT_FALSE(w.has(p)) << p;
    }
}

TEST(Cli, PatternThatMatchesNothing) {
    struct Case {
        const char* ini;
        const char* arg;
        const char* walk;
    };
    for (const Case& c : {
             Case{"verbose=0\n", "nothing*.wav", ""},
             Case{"verbose=1\n", "nothing*.wav", "Error. No files matching nothing*.wav\n"},
             Case{"verbose=1\n", "missing", "Error. No files matching missing\n"},
             Case{"verbose=1\nrecursive=1\n", "nothing*.wav",
                  "Creating directory .\nError. No files matching nothing*.wav\n"},
             Case{"verbose=1\n", "empty", "Error. No files matching empty/*\n"},
             Case{"verbose=1\n", "empty/", "Error. No files matching empty/*\n"},
             Case{"verbose=0\n", "empty", ""},
             Case{"verbose=1\n", "outer", "Processing outer/empty/*\nError. No files matching outer/empty/*\n"},
         }) {
        SCOPED_TRACE(std::string(c.ini) + c.arg);
        Work w;
        w.folders("empty");
        w.folders("outer");
        w.folders("outer/empty");
        w.ini(c.ini);
        const RunResult r = w.tolvek({c.arg});
        // A name without wildcards that names nothing is an error of its own.
        const bool named = std::string_view(c.arg) == "missing";
        EXPECT_EQ(r.status, named ? 3 : 0);
        EXPECT_EQ(r.out, header() + c.walk);
        EXPECT_EQ(r.err.starts_with("tolvek: missing: No such file or directory\n"), named) << r.err;
    }
}

TEST(Cli, SymlinkLoopsEnd) {
    for (const int verbose : {0, 1}) {
        SCOPED_TRACE(verbose);
        Work w;
        w.folders("music");
        w.folders("music/live");
        w.wav("music/a.wav");
        w.wav("music/live/c.wav");
        w.symlink(".", "music/loop");        // the starting directory
        w.symlink("..", "music/live/up");    // back up to it
        w.symlink(".", "music/live/self");   // a directory into itself
        w.symlink("nowhere", "music/broken");  // dangling: skipped without a word
        w.ini("verbose=" + std::to_string(verbose) + "\n");
        const RunResult r = w.tolvek({"music"});
        EXPECT_EQ(r.status, 0);
        const std::string skip = ": already being walked (directory loop)\n";
        EXPECT_EQ(condense(r.out),
                  header() + "<saved ./a.wav>\nProcessing music/live/*\n<saved ./live/c.wav>\n" +
                      (verbose ? "Skipping music/live/self" + skip + "Skipping music/live/up" + skip +
                                     "Skipping music/loop" + skip
                               : ""));
    }
}

// Every directory is walked once per run, whatever leads to it again: a
// second link, or a later pattern.
TEST(Cli, EveryDirectoryIsWalkedOnce) {
    Work w;
    w.folders("music");
    w.folders("music/live");
    w.wav("music/live/c.wav");
    w.symlink("live", "music/stage");
    w.ini("verbose=1\n");
    const RunResult r = w.tolvek({"music"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(condense(r.out), header() + "Processing music/live/*\n<saved ./live/c.wav>\n"
                                          "Skipping music/stage: already walked\n");
}

TEST(Cli, FilesThatAreNotAudioLeaveTheExitStatusAlone) {
    Work w;
    w.folders("music");
    w.wav("music/a.wav");
    write_file(w.path("music/notes.txt"), "not a sound\n");
    const RunResult r = w.tolvek({"music"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(condense(r.out), header() + "<saved ./a.wav>\n");
}

TEST(Cli, PictureThatCannotBeWrittenGivesExitStatus2) {
    struct Case {
        const char* source;
        const char* blocked;  // a directory where the picture must go
        const char* walk;
    };
    for (const Case& c : {
             Case{"music/a.wav", "music/a.wav.png",
                  "<saved ./a.wav>\n<save error ./a.wav>\nProcessing music/a.wav.png/*\n"
                  "Processing music/sub/*\n<saved ./z.wav>\n"},
             // From below: the last file at the top level is fine, the status stays.
             Case{"music/sub/a.wav", "music/sub/a.wav.png",
                  "Processing music/sub/*\n<saved ./sub/a.wav>\n<save error ./sub/a.wav>\n"
                  "Processing music/sub/a.wav.png/*\n<saved ./z.wav>\n"},
         }) {
        // The reason reaches standard error once, whatever -q and -v say.
        for (const char* verbosity : {"", "-q", "-v"}) {
            SCOPED_TRACE(std::string(c.source) + " " + verbosity);
            Work w;
            w.folders("music");
            w.folders("music/sub");
            w.wav(c.source);
            w.folders(c.blocked);
            w.wav("music/z.wav");
            std::vector<std::string> args = {"music"};
            if (*verbosity) args.insert(args.begin(), verbosity);
            const RunResult r = w.tolvek(args);
            EXPECT_EQ(r.status, 2);
            if (*verbosity == 0) {
                EXPECT_EQ(condense(r.out), header() + c.walk);
            } else if (std::string_view(verbosity) == "-q") {
                EXPECT_EQ(r.out, "");
            }
            const std::string line = "tolvek: " + std::string(c.blocked) + ": cannot replace " + c.blocked + ": ";
            EXPECT_TRUE(r.err.starts_with(line)) << r.err;
            EXPECT_EQ(r.err.find("(use --recursive"), std::string::npos) << r.err;  // its folder is there
            EXPECT_EQ(r.err.find(c.blocked, line.size()), std::string::npos) << r.err;
            EXPECT_TRUE(w.has("music/z.wav.png"));
        }
    }
}

// Options over the settings file, and every kind of mistake: said on
// standard error, with the exit status the outcome table gives.
TEST(Cli, OptionsAndMistakes) {
    struct Case {
        std::vector<std::string> args;
        std::string ini;
        int status;
        std::string out;  // a line standard output must hold ("" when it must be empty)
        std::string err;  // what standard error must hold
        std::vector<std::string> pictures;
    };
    const std::string summary = "Output: PNG 75%, with grid, palette: tolvek_color.pal\n";
    for (const Case& c : {
             Case{{"--no-grid", "--quality", "50", "-f", "jpg", "empty"}, "grid=1\nquality=90\n", 0,
                  "Output: JPEG 50%, without grid, palette: tolvek_color.pal\n", "tolvek: 0 pictures", {}},
             Case{{"-c", "other.ini", "empty"}, "quality=90\n", 0, "Output: PNG 20%, with grid", "", {}},
             Case{{"-c", "missing.ini", "empty"}, "", 64, "", "missing.ini", {}},
             Case{{"--jobs", "two"}, "", 64, "", "--jobs", {}},
             Case{{"--quality", "500"}, "", 64, "", "--quality", {}},
             Case{{"--bogus"}, "", 64, "", "--bogus", {}},
             Case{{"--fram", "music"}, "", 64, "", "tolvek: unknown option --fram (did you mean --frame?)", {}},
             Case{{"--range", "-20:-120"}, "", 64, "", "--range accepts classic|LOW:HIGH", {}},
             Case{{"--scale", "mel"}, "", 64, "", "--scale accepts linear or log", {}},
             Case{{"--fft", "1000"}, "", 64, "", "--fft accepts a power of two from 256 to 65536, not '1000'", {}},
             Case{{"--height", "63"}, "", 64, "", "--height accepts a whole number from 64 to 8192", {}},
             Case{{"--time", "5..2"}, "", 64, "", "--time accepts START..END", {}},
             Case{{"--freq", "8k..1k"}, "", 64, "", "--freq accepts LOW..HIGH", {}},
             Case{{"--width", "20000", "empty"}, "height=8192\n", 64, "",
                  "tolvek: --width 20000, Tolvek_Pre.ini:2: height=8192: 20000x8192 pixels is more than 64 million\n", {}},
             Case{{"empty"}, "window=triangle\nheight=9000\n", 0, summary,
                  "tolvek: Tolvek_Pre.ini:2: window=triangle is not one of hann, hamming, blackman-harris, kaiser, "
                  "rectangular; using hann\ntolvek: Tolvek_Pre.ini:3: height=9000 is outside 64..8192; using 8192\n", {}},
             Case{{"--time", "30..", "music/a.wav", "song.wav"}, "", 0, summary,
                  "Warning: music/a.wav ends before the time range starts; passed over\n"
                  "Warning: song.wav ends before the time range starts; passed over\n"
                  "tolvek: 0 pictures written, 0 not audio, 0 failed, 2 skipped", {}},
             Case{{"empty"}, "report=r.json\n", 64, "",
                  "tolvek: Tolvek_Pre.ini:2: report=r.json: not a FILE name ending in .csv or .jsonl\n", {}},
             Case{{"--shard", "1/0", "empty"}, "", 64, "",
                  "tolvek: --shard 1/0: K must be below N, and N at least 1\n", {}},
             Case{{"empty"}, "grid=0\nshard=1/0\n", 64, "",
                  "tolvek: Tolvek_Pre.ini:3: shard=1/0: K must be below N, and N at least 1\n", {}},
             Case{{"-q", "--range", "CLASSIC", "-f", "JPG", "--scale", "LOG", "music/a.wav"}, "", 0, "", "",
                  {"music/a.wav.jpg"}},
             Case{{"empty"}, "verbose=7\njobs=-5\n", 0, summary,
                  "tolvek: Tolvek_Pre.ini:2: verbose=7 is outside 0..2; using 2\n"
                  "tolvek: Tolvek_Pre.ini:3: jobs=-5 is below 0; using 0\n", {}},
             Case{{"empty"}, "range=-1e30:0\n", 0, summary,
                  "tolvek: Tolvek_Pre.ini:2: range=-1e30:0 is not classic|LOW:HIGH with -300 <= LOW, HIGH <= 50 and "
                  "HIGH - LOW >= 1; using classic\n", {}},
             Case{{"empty"}, "grid=yes\n", 0, "Output: PNG 75%, without grid",
                  "tolvek: Tolvek_Pre.ini:2: grid=yes is not a number; using 0\n", {}},
             Case{{"empty"}, "qualty=50\n", 0, summary, "Tolvek_Pre.ini:2: unknown key qualty", {}},
             Case{{"-q", "music/a.wav"}, "", 0, "", "", {"music/a.wav.png"}},
             Case{{"nothing.wav", "song.wav"}, "", 3, summary,
                  "tolvek: nothing.wav: No such file or directory\ntolvek: 1 picture written, 0 not audio, 1 failed",
                  {"song.wav.png"}},
             Case{{"--local", "music/a.wav", "./music/a.wav"}, "", 2, summary,
                  "tolvek: ./music/a.wav: its picture ./a.wav.png was already made in this run\n", {"a.wav.png"}},
             Case{{"-o", "out", "--local", "--recursive", "music"}, "", 0, "Creating directory out/live\n", "",
                  {"out/a.wav.png", "out/live/c.wav.png"}},
         }) {
        SCOPED_TRACE(c.args.back());
        Work w;
        library(w);
        w.folders("empty");
        w.ini(c.ini);
        w.file("other.ini", "[general]\nquality=20\n");
        const RunResult r = w.tolvek(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.out.empty()) {
            EXPECT_EQ(r.out, "");
        } else {
            EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        }
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        if (c.status == 64) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
        for (const std::string& p : c.pictures) EXPECT_TRUE(w.has(p)) << p;
    }
}

// The program's own files are no inputs: a second run over a tree that
// holds the first run's pictures, report, page and thumbnails (inside the
// tree) says, reports and lists exactly what the first did.
TEST(Cli, RerunPassesOverItsOwnFiles) {
    Work w;
    library(w);
    w.file("music/cover.jpg", "not a picture of ours\n");
    const std::vector<std::string> args = {"--report", "music/r.csv", "--index", "music/i.html", "music"};
    std::vector<std::string> summaries, reports;
    for (int run = 0; run < 2; ++run) {
        const RunResult r = w.tolvek(args);
        EXPECT_EQ(r.status, 0) << r.err;
        summaries.push_back(r.err.substr(0, r.err.rfind(", in ")));
        std::string csv = tolvek::test::read_file(w.path("music/r.csv"));
        // elapsed_ms, the one field that may differ, is each line's 19th.
        std::string kept;
        std::istringstream lines(csv);
        for (std::string line; std::getline(lines, line);) {
            std::size_t at = 0;
            for (int f = 0; f < 18 && at != std::string::npos; ++f) at = line.find(',', at + 1);
            kept += line.substr(0, at) + "\n";
        }
        reports.push_back(kept);
    }
    EXPECT_EQ(summaries[0], "tolvek: 3 pictures written, 1 not audio, 0 failed");
    EXPECT_EQ(summaries[1], summaries[0]);
    EXPECT_EQ(reports[1], reports[0]);
    const RunResult verbose = w.tolvek({"-v", "--report", "music/r.csv", "--index", "music/i.html", "music"});
    EXPECT_NE(verbose.out.find("Skipping music/a.wav.png: written by this program\n"), std::string::npos);
    EXPECT_NE(verbose.out.find("Skipping music/i_files: written by this program\n"), std::string::npos);
    EXPECT_NE(verbose.out.find("Skipping music/r.csv: written by this program\n"), std::string::npos);
}

// A re-run in update mode skips what is done without opening it; a touched
// source or other settings convert again. The report tells each file's fate.
TEST(Cli, UpdateSkipsWhatIsDoneAndTheReportSaysSo) {
    Work w;
    library(w);
    const RunResult first = w.tolvek({"-q", "--report", "first.jsonl", "music"});
    ASSERT_EQ(first.status, 0) << first.err;
    const std::string picture = tolvek::test::read_file(w.path("music/a.wav.png"));
    struct Step {
        std::vector<std::string> args;
        std::function<void()> before;
        std::string summary;
    };
    for (const Step& step : {
             Step{{"-u", "music"}, [] {}, "tolvek: 0 pictures written, 3 up to date, 0 not audio, 0 failed"},
             Step{{"-u", "music"}, [&] { tolvek::test::write_file(w.path("music/live/c.wav"), tolvek::test::read_file(w.path("music/a.wav"))); },
                  "tolvek: 1 picture written, 2 up to date, 0 not audio, 0 failed"},
             Step{{"-u", "--range", "-100:0", "music"}, [] {}, "tolvek: 3 pictures written, 0 up to date"},
             Step{{"-u", "--palette", "fire", "music"}, [] {}, "tolvek: 3 pictures written, 0 up to date"},
             // The same palette file with one colour edited.
             Step{{"-u", "--palette", "mine.pal", "music"}, [&] { w.file("mine.pal", "0,0,0,0\n255,250,250,250\n"); },
                  "tolvek: 3 pictures written, 0 up to date"},
             Step{{"-u", "--palette", "mine.pal", "music"}, [] {}, "tolvek: 0 pictures written, 3 up to date"},
             Step{{"-u", "--palette", "mine.pal", "music"}, [&] { w.file("mine.pal", "0,0,0,0\n255,250,250,251\n"); },
                  "tolvek: 3 pictures written, 0 up to date"},
         }) {
        SCOPED_TRACE(step.summary);
        step.before();
        const RunResult r = w.tolvek(step.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.err.starts_with(step.summary)) << r.err;
    }
    // The up-to-date run kept the picture as it was and reported its facts
    // (levels included) from the picture.
    w.tolvek({"-q", "music"});
    w.tolvek({"-q", "-u", "--report", "again.csv", "music"});
    const std::string csv = tolvek::test::read_file(w.path("again.csv"));
    EXPECT_NE(csv.find("music/a.wav,music/a.wav.png,up-to-date,,pcm_s16le,8000,1,1,128,16044,250,0.004,100,-6.020599913279624,0,0,"), std::string::npos) << csv;
    const std::string jsonl = tolvek::test::read_file(w.path("first.jsonl"));
    EXPECT_NE(jsonl.find("{\"source\":\"music/a.wav\",\"picture\":\"music/a.wav.png\",\"status\":\"written\""),
              std::string::npos) << jsonl;
    EXPECT_NE(picture, "");
}

// An up-to-date file's record comes from its picture, but what the run
// decides is the run's own: a reason, status, source or picture kept in
// the picture from an earlier run never reaches the report.
TEST(Cli, UpdateRecordsCarryNothingStale) {
    struct Case {
        const char* stored;  // in the picture's record ...
        const char* stale;   // ... becomes this
    };
    for (const Case& c : {
             Case{"\"reason\":null", "\"reason\":\"an old reason\""},
             Case{"\"status\":\"written\"", "\"status\":\"save-error\""},
             Case{"\"source\":\"a.wav\"", "\"source\":\"elsewhere.wav\""},
             Case{"\"picture\":\"a.wav.png\"", "\"picture\":\"elsewhere.png\""},
         }) {
        SCOPED_TRACE(c.stale);
        Work w;
        w.wav("a.wav");
        ASSERT_EQ(w.tolvek({"-q", "a.wav"}).status, 0);
        // The same picture, its record edited.
        const std::string picture = w.path("a.wav.png");
        tolvek::image::Metadata metadata;
        ASSERT_TRUE(tolvek::image::read_metadata(picture, metadata));
        bool edited = false;
        for (auto& [key, value] : metadata)
            if (key == "Tolvek-Record" && value.find(c.stored) != std::string::npos)
                value.replace(value.find(c.stored), std::string_view(c.stored).size(), c.stale), edited = true;
        ASSERT_TRUE(edited);
        tolvek::test::Image pixels;
        ASSERT_TRUE(tolvek::test::read_png(picture, pixels));
        tolvek::image::Picture again(pixels.width, pixels.height);
        for (int y = 0; y < pixels.height; ++y)
            for (int x = 0; x < pixels.width; ++x) {
                const auto p = pixels.at(x, y);
                again.set_pixel(x, y, {static_cast<std::uint8_t>(p.r), static_cast<std::uint8_t>(p.g),
                                       static_cast<std::uint8_t>(p.b)});
            }
        ASSERT_TRUE(again.save(picture, tolvek::image::FileType::Png, metadata));
        const RunResult r = w.tolvek({"-u", "--report", "r.jsonl", "a.wav"});
        ASSERT_TRUE(r.err.starts_with("tolvek: 0 pictures written, 1 up to date")) << r.err;
        EXPECT_TRUE(tolvek::test::read_file(w.path("r.jsonl"))
                        .starts_with("{\"source\":\"a.wav\",\"picture\":\"a.wav.png\",\"status\":\"up-to-date\","
                                     "\"reason\":null,\"codec\":\"pcm_s16le\""))
            << tolvek::test::read_file(w.path("r.jsonl"));
    }
}

// A picture is up to date only when it is whole, at the size it was saved
// at: a broken one is converted again, also when the page wants its
// thumbnail, and the picture made then is skipped by the next run.
TEST(Cli, UpdateConvertsBrokenPicturesAgain) {
    const auto flipped = [](std::string bytes, std::size_t at) {
        bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
        return bytes;
    };
    const auto claims_60000 = [](std::string png) {  // IHDR of 60000 x 60000, its CRC made right
        png.replace(16, 8, std::string("\0\0\xea\x60\0\0\xea\x60", 8));
        const std::uint32_t crc = libdeflate_crc32(0, png.data() + 12, 17);
        for (int i = 0; i < 4; ++i) png[29 + i] = static_cast<char>(crc >> (24 - 8 * i));
        return png;
    };
    struct Case {
        const char* what;
        const char* ext;
        std::function<std::string(const std::string&)> damage;
    };
    for (const Case& c : {
             Case{"png cut in half", "png", [](const std::string& b) { return b.substr(0, b.size() / 2); }},
             Case{"png pixel data changed", "png", [&](const std::string& b) { return flipped(b, b.size() - 40); }},
             Case{"png claiming 60000 x 60000", "png", claims_60000},
             Case{"jpeg cut to 3 KB", "jpg", [](const std::string& b) { return b.substr(0, 3000); }},
             Case{"jpeg without its end", "jpg", [](const std::string& b) { return b.substr(0, b.size() - 2); }},
         }) {
        for (const bool index : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (index ? " with --index" : ""));
            Work w;
            w.tone("s1.wav", 8000, 1, 2.0, 1000);
            std::vector<std::string> args = {"-f", c.ext, "-u"};
            if (index) args.insert(args.end(), {"--index", "run.html"});
            args.push_back("s1.wav");
            ASSERT_EQ(w.tolvek(args).status, 0);
            const std::string picture = w.path(std::string("s1.wav.") + c.ext);
            const std::string whole = tolvek::test::read_file(picture);
            write_file(picture, c.damage(whole));
            const RunResult again = w.tolvek(args);
            EXPECT_EQ(again.status, 0);
            EXPECT_TRUE(again.err.starts_with("tolvek: 1 picture written, 0 up to date, 0 not audio, 0 failed"))
                << again.err;
            tolvek::image::PictureSize size;
            EXPECT_TRUE(tolvek::image::whole_picture_size(picture, size));
            EXPECT_EQ(w.tolvek(args).err.substr(0, 40), "tolvek: 0 pictures written, 1 up to date");
        }
    }
}

// A thumbnail is kept only while it shows the picture as it is: one remade
// by a run without the page gets a new thumbnail on the next page.
TEST(Cli, IndexRemakesTheThumbnailOfARemadePicture) {
    Work w;
    w.tone("a.wav", 8000, 1, 2.0, 500);
    ASSERT_EQ(w.tolvek({"-q", "--index", "run.html", "a.wav"}).status, 0);
    const std::string thumbnail = w.path("run_files/" + tolvek::report::thumbnail_name(w.path("a.wav.png")));
    const std::string first = tolvek::test::read_file(thumbnail);
    w.tone("a.wav", 8000, 1, 2.0, 3500);  // another tone: another picture
    ASSERT_EQ(w.tolvek({"-q", "a.wav"}).status, 0);
    ASSERT_EQ(w.tolvek({"-q", "-u", "--index", "run.html", "a.wav"}).status, 0);
    EXPECT_NE(tolvek::test::read_file(thumbnail), first);
    tolvek::test::Image shown, picture;
    ASSERT_TRUE(tolvek::test::read_jpeg(thumbnail, shown) && tolvek::test::read_png(w.path("a.wav.png"), picture));
    // The tone's row, 3500 Hz of 4000, near the top of both.
    const int row = 1024 * 3500 / 4000;
    EXPECT_GT(picture.at(100, row).r + picture.at(100, row).g, 200);
    EXPECT_GT(shown.at(20, row * shown.height / 1024).r + shown.at(20, row * shown.height / 1024).g, 100);
    // Unchanged, it is kept to the byte.
    const std::string kept = tolvek::test::read_file(thumbnail);
    ASSERT_EQ(w.tolvek({"-q", "-u", "--index", "run.html", "a.wav"}).status, 0);
    EXPECT_EQ(tolvek::test::read_file(thumbnail), kept);
}

// The run's page names every file and has a thumbnail of every picture,
// kept (or made from the picture) when a re-run finds it up to date.
TEST(Cli, IndexPageOfARun) {
    Work w;
    library(w);
    w.file("music/<script>alert(1)<", "not audio");
    ASSERT_EQ(w.tolvek({"-q", "--index", "run.html", "music"}).status, 0);
    const std::string page = tolvek::test::read_file(w.path("run.html"));
    for (const char* name : {"music/a.wav", "music/live/c.wav", "alert(1)"})
        EXPECT_NE(page.find(name), std::string::npos) << name;
    EXPECT_EQ(page.find("<script>alert(1)"), std::string::npos);  // a name is text, never markup
    const auto thumbnails = [&] {
        int n = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(w.path("run_files"))) ++n;
        return n;
    };
    EXPECT_EQ(thumbnails(), 3);
    std::filesystem::remove_all(w.path("run_files"));
    const RunResult again = w.tolvek({"-q", "-u", "--index", "run.html", "music"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(thumbnails(), 3);
}

// Shards of one run convert every file exactly once, and their pictures are
// those of a single run, byte for byte.
TEST(Cli, ShardsTogetherMakeOneRun) {
    Work single, sharded;
    for (const Work* w : {&single, &sharded}) {
        w->folders("in");
        for (int i = 0; i < 12; ++i) w->tone("in/t" + std::to_string(i) + ".wav", 8000, 1, 0.5, 300 + 100 * i);
    }
    ASSERT_EQ(single.tolvek({"-q", "in"}).status, 0);
    int written = 0;
    for (int k = 0; k < 4; ++k) {
        const RunResult r = sharded.tolvek({"--shard", std::to_string(k) + "/4", "--report", "r-%a.jsonl", "in"});
        ASSERT_EQ(r.status, 0) << r.err;
        written += std::atoi(r.err.c_str() + std::string("tolvek: ").size());
        EXPECT_TRUE(sharded.has("r-" + std::to_string(k) + ".jsonl"));
    }
    EXPECT_EQ(written, 12);
    for (int i = 0; i < 12; ++i) {
        const std::string p = "in/t" + std::to_string(i) + ".wav.png";
        // The pictures record their sources' times, which differ here.
        tolvek::test::Image a, b;
        ASSERT_TRUE(tolvek::test::read_png(single.path(p), a) && tolvek::test::read_png(sharded.path(p), b)) << p;
        EXPECT_EQ(a.rgb, b.rgb) << p;
    }
    const RunResult outside = sharded.tolvek({"--shard", "slurm", "in"});
    EXPECT_EQ(outside.status, 64);
    EXPECT_EQ(outside.out, "");
}

TEST(Cli, HelpAndVersion) {
    Work w;
    for (const char* arg : {"-h", "--help"}) {
        const RunResult r = w.tolvek({arg});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.out.starts_with("Usage: tolvek")) << r.out;
        EXPECT_EQ(r.err, "");
    }
    const RunResult r = w.tolvek({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Tolvek v0.9b\n");
    EXPECT_EQ(r.err, "");
}

// --formats: each container that reads an audio file name ending, sorted,
// then each audio decoder; nothing that reads only pictures or video.
TEST(Cli, FormatsListWhatReadsAudio) {
    Work w;
    const RunResult r = w.tolvek({"--formats"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::size_t decoders_at = r.out.find("\nAudio decoders:\n");
    ASSERT_TRUE(r.out.starts_with("Containers:\n")) << r.out;
    ASSERT_NE(decoders_at, std::string::npos) << r.out;
    std::vector<std::string> containers;
    for (std::size_t at = 12; at <= decoders_at; at = r.out.find('\n', at) + 1)
        containers.push_back(r.out.substr(at, r.out.find('\n', at) - at));
    EXPECT_TRUE(std::is_sorted(containers.begin(), containers.end()));
    for (const std::string& line : containers) {
        ASSERT_TRUE(line.starts_with("  ") && line.ends_with(")")) << line;
        const std::string endings = ", " + line.substr(line.find('(') + 1, line.size() - line.find('(') - 2) + ",";
        EXPECT_TRUE(std::any_of(tolvek::audio::kAudioExtensions.begin(), tolvek::audio::kAudioExtensions.end(),
                                [&](std::string_view e) { return endings.find(", " + std::string(e) + ",") != std::string::npos; }))
            << line;
        for (const char* picture : {"  image2 ", "  gif ", "  png_pipe ", "  srt "})
            EXPECT_FALSE(line.starts_with(picture)) << line;
    }
    for (const char* line : {"  flac (flac)", "  mp3 (mp2, mp3, m2a, mpa)", "  ogg (ogg)", "  wav (wav)"})
        EXPECT_NE(std::find(containers.begin(), containers.end(), line), containers.end()) << line;
    for (const char* decoder : {"\n  flac\n", "\n  mp3float\n", "\n  vorbis\n", "\n  pcm_s16le\n"})
        EXPECT_NE(r.out.find(decoder, decoders_at), std::string::npos) << decoder;
    EXPECT_EQ(r.out.find("\n  h264\n"), std::string::npos);
}

}  // namespace

// One file alone gets every worker's core for its columns, and nothing a
// user can see changes: each reader after the first reaches its columns in
// its own way (reading packets through, or seeking where that is exact),
// and codecs that need a pre-roll must still start exactly. Damaged files
// too: a reader that passes over the damage sees the frames after it where
// one that reads through it does.
TEST(Cli, AllCoresOnOneFileChangeNothing) {
    Work source;
    tolvek::test::write_wav(source.path("long.wav"), 8000, 2, tolvek::test::music(8000, 2, 60.0));
    // At 44.1 kHz, readers after the first start over 2^19 frames in.
    tolvek::test::write_wav(source.path("cd.wav"), 44100, 2, tolvek::test::music(44100, 2, 60.0));
    const auto cut = [](std::string b) { return b.erase(b.size() / 2, b.size() / 20); };
    const auto garbled = [](std::string b) {
        for (std::size_t i = b.size() / 2; i < b.size() / 2 + 3000; i += 97) b[i] = static_cast<char>(b[i] ^ 0x5a);
        return b;
    };
    const struct {
        const char* name;
        const char* ffmpeg_args;  // nullptr: the WAV itself
        std::function<std::string(std::string)> edit;
        const char* from = "long.wav";
    } formats[] = {{"long.wav", nullptr, nullptr},
                   {"long.flac", "-c:a flac", nullptr},
                   {"cut.flac", "-c:a flac", cut, "cd.wav"},
                   {"garbled.flac", "-c:a flac", garbled},
                   {"long.mp3", "-c:a libmp3lame -b:a 64k", nullptr},
                   {"long.ogg", "-c:a libvorbis -q:a 2", nullptr},
                   // Matroska rounds durations to the millisecond; at 44.1 kHz
                   // no FLAC or MP3 frame lasts a whole number of them.
                   {"flac.mka", "-c:a flac -ar 44100", nullptr},
                   {"mp3.mka", "-c:a libmp3lame -b:a 64k -ar 44100", nullptr}};
    for (const auto& f : formats) {
        if (f.ffmpeg_args && !tolvek::test::ffmpeg_convert(source.path(f.from), source.path(f.name), f.ffmpeg_args))
            GTEST_SKIP() << "the ffmpeg tool cannot make " << f.name;
        if (f.edit) write_file(source.path(f.name), f.edit(tolvek::test::read_file(source.path(f.name))));
        for (const char* coverage : {"sampled", "full"}) {
            SCOPED_TRACE(std::string(f.name) + ", " + coverage);
            std::vector<std::string> outputs, pictures;
            for (const char* jobs : {"1", "2", "3"}) {
                Work w;
                write_file(w.path(f.name), tolvek::test::read_file(source.path(f.name)));
                w.settle_times();
                const RunResult r = w.tolvek({"--coverage", coverage, "-j", jobs, f.name});
                // The edited files are damaged, and found so at one place by every reader.
                EXPECT_EQ(r.status, f.edit ? 3 : 0) << r.err;
                outputs.push_back(r.out + r.err.substr(0, r.err.rfind("tolvek: ")));
                pictures.push_back(tolvek::test::read_file(w.path(std::string(f.name) + ".png")));
            }
            for (std::size_t k = 1; k < outputs.size(); ++k) {
                EXPECT_EQ(outputs[k], outputs[0]);
                EXPECT_EQ(pictures[k], pictures[0]);
            }
        }
    }
}

// More workers change nothing a user can see: the same bytes on standard
// output, the same pictures, the same exit status.
TEST(Cli, ParallelJobsGiveTheSameOutput) {
    struct Run {
        RunResult result;
        std::vector<std::string> pictures;
    };
    auto run_with = [](const std::string& jobs) {
        Work w;
        library(w);
        for (int i = 0; i < 6; ++i) w.wav("music/extra" + std::to_string(i) + ".wav");
        write_file(w.path("music/notes.txt"), "not a sound\n");
        w.folders("music/a.wav.png");  // this picture cannot be written
        w.folders("music/empty");
        w.ini("recursive=1\nlocal=0\nverbose=1\n" + (jobs.empty() ? "" : "jobs=" + jobs + "\n"));
        w.settle_times();
        Run run{w.tolvek({"music"}), {}};
        for (const char* name : {"music/b.WAV.png", "music/live/c.wav.png", "music/extra0.wav.png", "music/extra5.wav.png"})
            run.pictures.push_back(tolvek::test::read_file(w.path(name)));
        return run;
    };
    const Run one = run_with("1");
    EXPECT_EQ(one.result.status, 2);
    EXPECT_NE(one.result.out.find(", Save error\n"), std::string::npos);
    for (const char* jobs : {"2", "0", "7", ""}) {  // "": the default
        SCOPED_TRACE(jobs);
        const Run many = run_with(jobs);
        EXPECT_EQ(many.result.status, one.result.status);
        EXPECT_EQ(many.result.out, one.result.out);
        EXPECT_EQ(many.pictures, one.pictures);
        for (const std::string& p : many.pictures) EXPECT_FALSE(p.empty());
    }
}

// The run's status line only where standard error is a terminal (or
// --progress says so): split at its "\r\033[K", standard error is its
// lines as ever (the summary erases the status before it) and status lines
// narrower than the terminal; a pipe gets not one byte of it.
TEST(Cli, StatusLineOnlyOnATerminal) {
    struct Case {
        std::vector<std::string> args;
        const char* ini;
        tolvek::test::Terminal where;
        bool status;
    };
    const std::string gone = "tolvek: gone.wav: No such file or directory\n";
    for (const Case& c : {
             Case{{}, "", {.out = false, .err = true, .columns = 40}, true},
             Case{{"-j", "2"}, "", {.out = false}, true},
             Case{{"--no-progress"}, "", {.out = false}, false},
             Case{{}, "progress=0\n", {.out = false}, false},
             Case{{"-q"}, "", {.out = false}, false},
             Case{{}, "", {.err = false}, false},
             Case{{"--progress"}, "", {.err = false}, true},
         }) {
        SCOPED_TRACE((c.args.empty() ? "" : c.args[0]) + c.ini + (c.where.err ? " stderr on the terminal" : ""));
        Work w;
        library(w);
        if (*c.ini) w.ini(c.ini);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"music", "gone.wav"});
        const RunResult r = w.tolvek_on_terminal(args, c.where);
        EXPECT_EQ(r.status, 3);
        std::string err = c.where.err ? r.terminal : r.err, lines;
        std::vector<std::string> shown;
        for (std::size_t crlf; (crlf = err.find("\r\n")) != std::string::npos;) err.replace(crlf, 2, "\n");
        for (std::size_t at = 0, next; at <= err.size(); at = next + 4) {
            next = std::min(err.find("\r\033[K", at), err.size());
            const std::string part = err.substr(at, next - at);
            if (part.find('\n') != std::string::npos) lines += part;
            else if (!part.empty()) shown.push_back(part);
        }
        const bool quiet = !c.args.empty() && c.args[0] == "-q";
        EXPECT_TRUE(lines.starts_with(gone)) << lines;
        EXPECT_TRUE(quiet ? lines == gone : tolvek::test::only_summary(lines.substr(gone.size()))) << lines;
        const auto total = [](const std::string& s) { return s.starts_with("4 of 4 files, 100.0% of 47.0 KiB"); };
        EXPECT_EQ(shown.empty(), !c.status);
        EXPECT_EQ(std::find_if(shown.begin(), shown.end(), total) != shown.end(), c.status);
        for (const std::string& s : shown) EXPECT_LT(s.size(), c.where.columns) << s;
        const std::string walk = "<saved ./a.wav>\n<saved ./b.WAV>\nProcessing music/live/*\n<saved ./live/c.wav>\n";
        if (!c.where.out) {
            EXPECT_EQ(condense(r.out), quiet ? "" : header() + walk);
        }
    }
}

// With standard output on the same terminal, the status goes on the row
// below the file's and is erased, the cursor back up, before the summary.
TEST(Cli, StatusLineBelowStandardOutput) {
    Work w;
    library(w);
    const RunResult r = w.tolvek_on_terminal({"music"}, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.terminal.find("\r\033[K3 of 3 files, 100.0% of 4"), std::string::npos) << r.terminal;
    const std::string erased = "\r\033[K\033[A";
    const std::size_t summary = r.terminal.find(erased + "tolvek: 3 pictures written, 0 not audio, 0 failed, in ");
    ASSERT_NE(summary, std::string::npos) << r.terminal;
    EXPECT_EQ(r.terminal.find('\033', summary + erased.size()), std::string::npos);
}

// --readable gives the picture of frame, range -120:0 and full coverage,
// each value the command line or the settings file gives kept.
TEST(Cli, ReadableSetsWhatIsNotGiven) {
    struct Case {
        std::vector<std::string> readable;
        std::string ini;
        std::vector<std::string> same_as;
    };
    const auto picture = [](const std::vector<std::string>& args, const std::string& ini) {
        Work w;
        w.wav("song.wav");
        w.ini(ini);
        w.settle_times();
        std::vector<std::string> all = args;
        all.push_back("song.wav");
        EXPECT_EQ(w.tolvek(all).status, 0);
        return tolvek::test::read_file(w.path("song.wav.png"));
    };
    for (const Case& c : {
             Case{{"--readable"}, "", {"--frame", "--range", "-120:0", "--coverage", "full"}},
             Case{{"--readable", "--range", "classic", "--no-frame"}, "", {"--coverage", "full"}},
             Case{{}, "readable=1\nrange=-60:0\ncoverage=\n", {"--frame", "--range", "-60:0"}},
         }) {
        SCOPED_TRACE(c.ini + (c.readable.empty() ? "" : c.readable.back()));
        const std::string readable = picture(c.readable, c.ini);
        EXPECT_FALSE(readable.empty());
        EXPECT_EQ(readable, picture(c.same_as, ""));
    }
}
