// Hostile and unusual input through the built program, end to end. Every run
// is bounded by `timeout 60` and must end normally with the expected exit
// status and lines; it may create nothing but the expected pictures (and
// mirror folders), and every entry that was there before must be exactly as
// it was, contents included.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio.h"
#include "support/fixtures.h"
#include "batch/run.h"
#include "report/format.h"

namespace fs = std::filesystem;
namespace t = tolvek::test;

namespace {

constexpr int kHung = 124;  // what `timeout` returns when it had to stop the program

// Every entry below `root` by its relative path: a regular file by its
// contents, a link by its target, anything else by its kind. Links are never
// followed and nothing but regular files is opened (a FIFO would block).
using Tree = std::map<std::string, std::string>;
Tree snapshot(const std::string& root) {
    Tree tree;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(root)) {
        const std::string rel = e.path().string().substr(root.size() + 1);
        const fs::file_status st = e.symlink_status();
        if (fs::is_symlink(st)) tree[rel] = "link to " + fs::read_symlink(e.path()).string();
        else if (fs::is_regular_file(st)) tree[rel] = "file " + t::read_file(e.path().string());
        else if (fs::is_directory(st)) tree[rel] = "folder";
        else tree[rel] = "special";
    }
    return tree;
}

// A conversion's saving and save-error lines as "saved NAME" and
// "save error NAME", NAME being the report's name column without padding.
std::string reduce(const std::string& line) {
    const auto name = [&] {
        std::string n = line.substr(0, 33);
        return n.erase(n.find_last_not_of(' ') + 1);
    };
    if (line.ends_with(". Saving file")) return "saved " + name();
    if (line.ends_with(", Save error")) return "save error " + name();
    return line;
}

// What the program printed after its summary line, one entry per line, with
// progress lines (ended by "\r") dropped and conversion lines reduced.
std::vector<std::string> walk_lines(const std::string& out) {
    std::vector<std::string> lines;
    std::string line;
    for (const char c : out) {
        if (c == '\r') {
            line.clear();
        } else if (c == '\n') {
            lines.push_back(reduce(line));
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back("(unterminated) " + line);
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].starts_with("Output: ")) return {lines.begin() + static_cast<long>(i) + 1, lines.end()};
    return lines;
}

// The report's name column for a file walked as ./NAME (ASCII names).
std::string shown(const std::string& name) { return ("./" + name).substr(0, 28); }

using Scene = t::Workspace;

// What a run must do.
struct Expect {
    int status = 0;
    std::vector<std::string> lines;    // after the summary, as walk_lines gives them
    std::vector<std::string> created;  // every new entry: pictures, mirror folders
};

bool read_picture(const std::string& path, t::Image& img) {
    return path.ends_with(".jpg") ? t::read_jpeg(path, img) : t::read_png(path, img);
}

// Runs the program in `scene` and checks everything a run must get right.
t::RunResult expect_run(const Scene& scene, const std::vector<std::string>& args, const Expect& e) {
    const Tree before = snapshot(scene.path());
    const t::RunResult r = scene.tolvek(args);
    EXPECT_NE(r.status, kHung) << "the program did not finish within 60 s";
    EXPECT_EQ(r.status, e.status) << (r.status < 0 ? "ended by a signal\n" : "") << r.err;
    EXPECT_EQ(walk_lines(r.out), e.lines);

    const Tree after = snapshot(scene.path());
    for (const auto& [rel, what] : before) {
        const auto it = after.find(rel);
        if (it == after.end()) ADD_FAILURE() << rel << " was removed";
        else EXPECT_TRUE(it->second == what) << rel << " was changed";
    }
    std::set<std::string> created;
    for (const auto& entry : after)
        if (!before.contains(entry.first)) created.insert(entry.first);
    EXPECT_EQ(created, std::set<std::string>(e.created.begin(), e.created.end()));

    for (const std::string& rel : e.created) {
        if (!rel.ends_with(".png") && !rel.ends_with(".jpg")) continue;
        t::Image img;
        EXPECT_TRUE(read_picture(scene.path(rel), img)) << rel;
        EXPECT_EQ(img.height, 1024) << rel;
        EXPECT_GE(img.width, 250) << rel;
        EXPECT_LE(img.width, 1000) << rel;
    }
    return r;
}

// Encoded bytes of a sound, made with the ffmpeg tool (`args` before the
// output name, e.g. a codec).
std::string encoded(const t::Samples& samples, int rate, int channels, const std::string& ext,
                    const std::string& args = "") {
    const t::TempDir scratch;
    t::write_wav(scratch.file("in.wav"), rate, channels, samples);
    const std::string out = scratch.file("out." + ext);
    EXPECT_TRUE(t::ffmpeg_convert(scratch.file("in.wav"), out, args)) << ext;
    return t::read_file(out);
}

std::string random_bytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen() & 0xff);
    return s;
}

std::string head(const std::string& bytes, std::size_t n) { return bytes.substr(0, n); }

// A sound in every format the suite cuts short, long enough that half of it
// keeps every header.
struct Encodings {
    std::string wav, mp3, flac, ogg;
};
const Encodings& encodings() {
    static const Encodings e = [] {
        const t::Samples m = t::music(22050, 1, 10.0);
        return Encodings{encoded(m, 22050, 1, "wav"), encoded(m, 22050, 1, "mp3"), encoded(m, 22050, 1, "flac"),
                         encoded(m, 22050, 1, "ogg", "-c:a libvorbis")};
    }();
    return e;
}

struct Case {
    std::string what;
    std::function<void(const Scene&)> make;  // sources below in/ (and anything else)
    std::string ini;
    std::vector<std::string> args;
    Expect expect;
};

void run_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Scene scene;
        scene.folders("in");
        c.make(scene);
        scene.ini(c.ini);
        expect_run(scene, c.args, c.expect);
    }
}

const char* const kVerbose = "verbose=1\ngrid=0\n";

TEST(BadInput, FilesThatAreNotAudioAreSkipped) {
    const Encodings& e = encodings();
    run_cases({
        {"empty files",
         [](const Scene& s) {
             for (const char* name : {"empty", "empty.flac", "empty.mp3", "empty.ogg", "empty.wav"})
                 s.file("in/" + std::string(name), "");
         },
         kVerbose, {"in"},
         {3, {"Skipping ./empty", "Skipping ./empty.flac", "Skipping ./empty.mp3", "Skipping ./empty.ogg",
              "Skipping ./empty.wav"}, {}}},
        {"cut inside the header",
         [&](const Scene& s) {
             s.file("in/h.flac", head(e.flac, 30));
             s.file("in/h.mp3", head(e.mp3, 30));
             s.file("in/h.ogg", head(e.ogg, 30));
             s.file("in/h.wav", head(e.wav, 30));
         },
         kVerbose, {"in"},
         {3, {"Skipping ./h.flac", "Skipping ./h.mp3", "Skipping ./h.ogg", "Skipping ./h.wav"}, {}}},
        {"a tracker module is no recorded stream",
         [](const Scene& s) { s.file("in/tune.mod", t::tracker_module()); }, kVerbose, {"in"},
         {0,
          {t::kModulesOpen ? "./tune.mod - error. Only streaming or WAV files are supported" : "Skipping ./tune.mod"},
          {}}},
        {"quiet without verbose", [](const Scene& s) { s.file("in/empty.mp3", ""); }, "", {"in"}, {3, {}, {}}},
    });
}

// Random bytes may happen to look like a frame to a lenient demuxer; then a
// picture of that noise is fine. Either way: no crash, a line, nothing else.
// A file named as audio that no demuxer takes is unreadable (named on
// standard error, exit 3); any other name is simply not audio.
TEST(BadInput, RandomBytes) {
    Scene scene;
    scene.folders("in");
    scene.ini(kVerbose);
    const std::vector<std::string> names = {"r.bin", "r.flac", "r.mp3", "r.ogg", "r.wav"};
    for (std::size_t i = 0; i < names.size(); ++i) scene.file("in/" + names[i], random_bytes(20000, 6 + i));
    const Tree before = snapshot(scene.path());
    const t::RunResult r = scene.tolvek({"in"});
    ASSERT_EQ(r.status, 3) << r.err;
    const std::vector<std::string> lines = walk_lines(r.out);
    ASSERT_EQ(lines.size(), names.size()) << r.out;
    std::set<std::string> pictures;
    EXPECT_EQ(lines[0], "Skipping ./r.bin");
    EXPECT_EQ(r.err.find("r.bin"), std::string::npos) << r.err;
    for (std::size_t i = 1; i < names.size(); ++i) {
        if (lines[i] == "saved ./" + names[i]) {
            pictures.insert("in/" + names[i] + ".png");
            continue;
        }
        EXPECT_EQ(lines[i], "Skipping ./" + names[i]);
        std::string kind = names[i].substr(2);
        for (char& c : kind) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_NE(r.err.find("tolvek: in/" + names[i] + ": not a valid " + kind + " file\n"), std::string::npos) << r.err;
    }
    Tree after = snapshot(scene.path());
    for (const std::string& p : pictures) EXPECT_EQ(after.erase(p), 1u) << p;
    EXPECT_TRUE(after == before);
}

// Little-endian 32-bit field.
std::string le32(std::uint32_t v) {
    std::string s;
    for (int k = 0; k < 4; ++k) s.push_back(static_cast<char>((v >> (8 * k)) & 0xff));
    return s;
}

// A 60-byte WAV whose INFO name claims 1 GiB: left alone, the demuxer would
// allocate and clear that much for the text before finding the file far
// shorter, holding over 1 GiB for a file that is then skipped.
TEST(BadInput, TinyWavWithAHugeInfoChunkTakesLittleMemory) {
    constexpr long kLimitKiB = 512 * 1024;
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
    if (before.ru_maxrss > kLimitKiB) GTEST_SKIP() << "an earlier child of this process already used more";

    std::string body = "WAVEfmt " + le32(16) + std::string("\x01\x00\x01\x00", 4) + le32(8000) + le32(16000) +
                       std::string("\x02\x00\x10\x00", 4);
    body += "LIST" + le32(0xfffffff0) + "INFO" + "INAM" + le32(0x40000000) + std::string("abc\0", 4);
    Scene scene;
    scene.folders("in");
    scene.file("in/info.wav", "RIFF" + le32(static_cast<std::uint32_t>(body.size())) + body);
    scene.ini(kVerbose);
    expect_run(scene, {"in"}, {3, {"Skipping ./info.wav"}, {}});

    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    EXPECT_LT(after.ru_maxrss, kLimitKiB) << "peak resident memory of the program, KiB";
}

// Column-sized steps through an MP3 leave one or two packets out between
// windows, and the decoder catches up by sending them from its history of
// left-out packets. Stream::Impl::send(p) popped every history packet up
// to p.index while p was history.front() itself, so it read p.index from a
// freed deque node: a use-after-free that only the sanitizers see (make
// test-asan; an ordinary build passes).
TEST(BadInput, Mp3ColumnStepsReadNoFreedPacket) {
    const std::string mp3 = encoded(t::music(44100, 2, 12.0), 44100, 2, "mp3", "-b:a 192k");
    const t::TempDir dir;
    t::write_file(dir.file("a.mp3"), mp3);
    tolvek::Status opened;
    auto stream = tolvek::audio::Stream::open(dir.file("a.mp3"), opened);
    ASSERT_NE(stream, nullptr);
    std::array<float, tolvek::audio::kSpectrumBins> spectrum{};
    for (std::uint64_t frame = 0; frame < 12 * 44100; frame += 7001) {
        ASSERT_TRUE(stream->seek(frame * 4));
        ASSERT_TRUE(stream->read_spectrum(spectrum));
    }
}

// Frames the ffmpeg tool decodes from `path`, in seconds at `rate`.
double decoded_seconds(const std::string& path, int rate) {
    const t::RunResult r = t::run({"ffmpeg", "-nostdin", "-v", "quiet", "-i", path, "-f", "s16le", "-ac", "1", "-"}, ".");
    return static_cast<double>(r.out.size()) / 2.0 / rate;
}

// A file cut short, or with a fault inside, is drawn as far as it goes and
// said to be damaged where the fault lies, in sampled and full runs alike;
// junk after the last frame is no damage.
TEST(BadInput, DamagedFilesAreDrawnAndSaidToBeDamaged) {
    const Encodings& e = encodings();
    // 2000 bytes overwritten: frame headers and checksums fail.
    const auto garbled = [](std::string b) {
        for (std::size_t i = b.size() / 2; i < b.size() / 2 + 2000; ++i) b[i] = static_cast<char>(b[i] * 7 + 13);
        return b;
    };
    const std::string junk = random_bytes(3000, 99);
    // The fault lies where the first half ends: at the decoded length of
    // the first half (as the ffmpeg tool decodes it), within a column. For
    // FLAC, three blocks (2304 frames each at 22.05 kHz) either way: the fault is the
    // start of the frame it lies in, and the ffmpeg tool may hold the last
    // whole frame back (its parser waits for the next header) or decode a
    // cut one; and a frame the demuxer's parser ran on into the damage is
    // itself the first frame that fails.
    constexpr double kFlacBlockS = 3 * 2304.0 / 22050;
    const struct {
        std::string name, bytes, reason;
        double slack_s = 0.0;
    } cases[] = {
        {"t.wav", head(e.wav, e.wav.size() / 2), "truncated: 0:04 of 0:10 present"},
        {"t.flac", head(e.flac, e.flac.size() / 2), "truncated: 0:04 of 0:10 present", kFlacBlockS},
        {"t.mp3", head(e.mp3, e.mp3.size() / 2), "truncated: 0:04 of 0:10 present"},
        {"t.ogg", head(e.ogg, e.ogg.size() / 2), "truncated: ends on a partial page"},
        {"g.mp3", garbled(e.mp3), "corrupt packet"},
        {"g.flac", garbled(e.flac), "CRC mismatch", kFlacBlockS},
        {"g.ogg", garbled(e.ogg), "frames missing"},
        {"j.mp3", e.mp3 + junk, ""},
        {"j.flac", e.flac + junk, ""},
    };
    for (const auto& c : cases) {
        for (const char* coverage : {"sampled", "full"}) {
            SCOPED_TRACE(c.name + ", " + coverage);
            Scene scene;
            scene.file(c.name, c.bytes);
            const t::RunResult r = scene.tolvek({"-q", "--coverage", coverage, "--report", "r.csv", c.name});
            EXPECT_EQ(r.status, c.reason.empty() ? 0 : 3) << r.err;
            EXPECT_TRUE(t::exists(scene.path(c.name + ".png")));
            std::vector<tolvek::report::Record> records;
            ASSERT_TRUE(tolvek::report::read_report(scene.path("r.csv"), records));
            ASSERT_EQ(records.size(), 1u);
            const tolvek::report::Record& rec = records[0];
            if (c.reason.empty()) {
                EXPECT_EQ(rec.status, "written");
                EXPECT_EQ(rec.damaged_at_s, std::nullopt);
                EXPECT_EQ(r.err.find("damaged"), std::string::npos) << r.err;
                continue;
            }
            EXPECT_EQ(rec.status, "damaged");
            EXPECT_EQ(rec.reason, c.reason);
            ASSERT_TRUE(rec.damaged_at_s && rec.seconds_per_column);
            const t::TempDir scratch;
            const bool cut = c.reason.starts_with("truncated");
            t::write_file(scratch.file(c.name), cut ? c.bytes : head(c.bytes, c.bytes.size() / 2));
            const double fault_s = decoded_seconds(scratch.file(c.name), 22050);
            EXPECT_GE(*rec.damaged_at_s, fault_s - *rec.seconds_per_column - c.slack_s);
            EXPECT_LE(*rec.damaged_at_s, fault_s + *rec.seconds_per_column + c.slack_s);
            const std::string line = "tolvek: " + c.name + ": " +
                                     tolvek::convert::damage_text({rec.damaged_at_s, c.reason}) + "\n";
            EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
            // An update run keeps the finding from the picture.
            const t::RunResult again = scene.tolvek({"-q", "-u", "--coverage", coverage, "--report", "r2.csv", c.name});
            EXPECT_EQ(again.status, 3);
            EXPECT_NE(again.err.find(line), std::string::npos) << again.err;
            std::vector<tolvek::report::Record> kept;
            ASSERT_TRUE(tolvek::report::read_report(scene.path("r2.csv"), kept));
            ASSERT_EQ(kept.size(), 1u);
            EXPECT_EQ(std::tie(kept[0].status, kept[0].reason, kept[0].damaged_at_s),
                      std::tie(rec.status, rec.reason, rec.damaged_at_s));
        }
    }
}

// The data chunk claims about 2 GiB (37 hours at 8 kHz mono); the file holds
// one second of a 1 kHz tone. Whether the demuxer believes the header (1000
// columns, silence after the first) or the file's size (the second spread
// over the picture), the first column shows the tone.
TEST(BadInput, WavHeaderClaimsFarMoreDataThanTheFileHolds) {
    Scene scene;
    scene.folders("in");
    scene.ini(kVerbose);
    scene.tone("in/big.wav", 8000, 1, 1.0, 1000);
    std::string bytes = t::read_file(scene.path("in/big.wav"));
    const std::uint32_t claimed = 0x7fff0000;
    for (int k = 0; k < 4; ++k) {
        bytes[4 + k] = static_cast<char>(((claimed + 36) >> (8 * k)) & 0xff);  // RIFF size
        bytes[40 + k] = static_cast<char>((claimed >> (8 * k)) & 0xff);        // data size
    }
    scene.file("in/big.wav", bytes);
    const t::RunResult r = expect_run(scene, {"in"}, {3, {"saved ./big.wav"}, {"in/big.wav.png"}});
    EXPECT_NE(r.err.find("tolvek: in/big.wav: damaged at 0:01 (truncated: 0:01 of 37:16:53 present)\n"),
              std::string::npos) << r.err;

    t::Image img;
    ASSERT_TRUE(t::read_png(scene.path("in/big.wav.png"), img));
    EXPECT_GT(img.at(0, 1000 * 2048 / 8000).g, 200);
}

// The brightest row of column x, by the sum of the channels; the middle of
// the run when a loud tone saturates a few rows.
double brightest_row(const t::Image& img, int x) {
    const auto sum = [&](int y) {
        const t::Image::Px p = img.at(x, y);
        return p.r + p.g + p.b;
    };
    int best_sum = -1, first = 0, last = 0;
    for (int y = 0; y < img.height; ++y) {
        if (sum(y) > best_sum) best_sum = sum(y), first = last = y;
        else if (sum(y) == best_sum) last = y;
    }
    return (first + last) / 2.0;
}

// A FLAC file is drawn at the length its frames hold where STREAMINFO
// gives none (0, as a streamed encode writes) or more than the data holds
// (24 hours for 2 seconds, which took a seek for every column past the
// data): a second of 1 kHz, then one of 3 kHz, each over half the picture.
TEST(BadInput, FlacLengthComesFromItsFrames) {
    t::Samples samples = t::sine(8000, 1, 1.0, 1000);
    const t::Samples second = t::sine(8000, 1, 1.0, 3000);
    samples.insert(samples.end(), second.begin(), second.end());
    const t::TempDir scratch;
    t::write_wav(scratch.file("in.wav"), 8000, 1, samples);
    const t::RunResult piped = t::run({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-i",
                                       scratch.file("in.wav"), "-c:a", "flac", "-f", "flac", "-"},
                                      scratch.path());
    ASSERT_EQ(piped.status, 0) << piped.err;
    Scene scene;
    scene.folders("in");
    scene.ini(kVerbose);
    scene.file("in/claims.flac", t::with_flac_total(encoded(samples, 8000, 1, "flac"), 24ULL * 3600 * 8000));
    scene.file("in/streamed.flac", piped.out);
    expect_run(scene, {"--report", "r.jsonl", "in"},
               {3, {"saved ./claims.flac", "saved ./streamed.flac"},
                {"in/claims.flac.png", "in/streamed.flac.png", "r.jsonl"}});
    const std::string report = t::read_file(scene.path("r.jsonl"));
    for (const char* name : {"claims.flac", "streamed.flac"}) {
        SCOPED_TRACE(name);
        const std::size_t line = report.find("\"source\":\"in/" + std::string(name) + "\"");
        ASSERT_NE(line, std::string::npos) << report;
        EXPECT_EQ(report.substr(report.find("\"duration_s\":", line)).substr(0, 15), "\"duration_s\":2,") << report;
        t::Image img;
        ASSERT_TRUE(t::read_png(scene.path("in/" + std::string(name) + ".png"), img));
        EXPECT_EQ(img.width, 250);
        EXPECT_NEAR(brightest_row(img, 60), 1000.0 * 2048 / 8000, 1.0);
        EXPECT_NEAR(brightest_row(img, 190), 3000.0 * 2048 / 8000, 1.0);
    }
}

TEST(BadInput, UnusualButValidAudio) {
    struct Sound {
        std::string name;
        int rate, channels;
        double seconds, hz;
        std::string ffmpeg_args;  // re-encoded with these when not empty
    };
    // In byte order of their names, the order they are walked in.
    const std::vector<Sound> sounds = {
        {"eight_channels.wav", 44100, 8, 1.0, 2000, ""},
        {"f32.wav", 48000, 1, 1.0, 10000, "-c:a pcm_f32le"},
        {"mono_8k.wav", 8000, 1, 2.0, 1000, ""},
        {"one_sample.wav", 8000, 1, 1.0 / 8000, 1000, ""},
        {"rate_192k.wav", 192000, 2, 1.0, 40000, ""},
        {"s24.wav", 44100, 2, 1.0, 5000, "-c:a pcm_s24le"},
    };
    Scene scene;
    scene.folders("in");
    scene.ini(kVerbose);
    Expect e;
    for (const Sound& s : sounds) {
        const t::Samples samples = t::sine(s.rate, s.channels, s.seconds, s.hz);
        if (s.ffmpeg_args.empty()) t::write_wav(scene.path("in/" + s.name), s.rate, s.channels, samples);
        else scene.file("in/" + s.name, encoded(samples, s.rate, s.channels, "wav", s.ffmpeg_args));
        e.lines.push_back("saved ./" + s.name);
        e.created.push_back("in/" + s.name + ".png");
    }
    expect_run(scene, {"in"}, e);

    for (const Sound& s : sounds) {
        SCOPED_TRACE(s.name);
        t::Image img;
        ASSERT_TRUE(t::read_png(scene.path("in/" + s.name + ".png"), img));
        ASSERT_EQ(img.width, 250);  // all shorter than 37.5 s
        if (s.seconds < 0.5) continue;  // too short to hold a tone
        EXPECT_NEAR(brightest_row(img, img.width / 2), s.hz * 2048 / s.rate, 1.0);
    }
}

// 4 hours of stereo 44.1 kHz are 2.54e9 bytes of decoded audio, past what a
// signed 32-bit position holds. A minute of 3 kHz tone from 14000 s on must
// land in the columns whose windows lie inside it: 1000 columns over 14400 s
// put column i at i × 14.4 s, so columns 973 to 976.
TEST(BadInput, StreamLongerThan2GiBShowsItsToneInTheRightColumns) {
    constexpr long long kFrames = 14400LL * 44100;
    static_assert(kFrames * 4 > (1LL << 31));
    Scene scene;
    scene.folders("in");
    scene.ini(kVerbose);
    const t::RunResult made = t::run(
        {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y",
         // Frames of exactly one second, so each part lasts exactly what it says.
         "-f", "lavfi", "-i", "anullsrc=r=44100:cl=stereo:d=14000:n=44100",
         "-f", "lavfi", "-i", "sine=f=3000:r=44100:d=60:samples_per_frame=44100",
         "-f", "lavfi", "-i", "anullsrc=r=44100:cl=stereo:d=340:n=44100",
         "-filter_complex", "[1]aformat=channel_layouts=stereo[tone];[0][tone][2]concat=n=3:v=0:a=1",
         "-c:a", "flac", "-compression_level", "0", scene.path("in/long.flac")},
        scene.path());
    ASSERT_EQ(made.status, 0) << made.err;

    expect_run(scene, {"in"}, {0, {"saved ./long.flac"}, {"in/long.flac.png"}});
    t::Image img;
    ASSERT_TRUE(t::read_png(scene.path("in/long.flac.png"), img));
    ASSERT_EQ(img.width, 1000);
    const int row = static_cast<int>(3000.0 * 2048 / 44100 + 0.5);
    // Every column around the tone, and every 10th elsewhere.
    for (int x = 0; x < img.width; x += (x >= 960 && x < 990) ? 1 : 10) {
        if (x >= 973 && x <= 976) EXPECT_GT(img.at(x, row).g, 200) << "column " << x;
        else EXPECT_EQ(img.at(x, row).g, 0) << "column " << x;
    }
}

// A second of 3 kHz tone after 6 s of silence, then a second of silence, in
// containers that round their timing, claim a length their bytes cannot
// hold or an unusable one, or come in links: the picture is drawn at the
// length a full decode gives (which a chained or untrimmed Vorbis file
// lengthens by a few hundred frames), so the tone lies in the very columns
// whose windows hold it (250 of about 1411 frames: 188 to 217), and the
// columns a window clear of it are dark. A framed picture, whose time labels
// are stepped over the length, is made as quickly.
TEST(BadInput, ContainersThatMisstateTheirTimingAreDrawnByTheAudio) {
    constexpr int kRate = 44100;
    const t::Samples silence = t::silence(kRate, 1, 6.0), tone = t::sine(kRate, 1, 1.0, 3000);
    t::Samples sound = silence;
    sound.insert(sound.end(), tone.begin(), tone.end());
    sound.insert(sound.end(), silence.begin(), silence.begin() + kRate);
    const t::Samples link_a(silence.begin(), silence.begin() + 4 * kRate), link_b(sound.begin() + 4 * kRate, sound.end());
    const std::string vorbis = "-c:a libvorbis";
    // A length far beyond the data is damage; no length, or an unusable one, is not.
    const struct {
        std::string name, bytes;
        int status;
    } cases[] = {
        {"pcm.mka", encoded(sound, kRate, 1, "mka", "-c:a pcm_s16le"), 0},  // 46.44 ms packets stored as 46 ms
        {"nan.mka", t::with_matroska_duration(encoded(sound, kRate, 1, "mka", "-c:a flac"), std::nan("")), 0},
        {"long.mka", t::with_matroska_duration(encoded(sound, kRate, 1, "mka", "-c:a pcm_s16le"), 1e15), 3},
        {"long.ogg", t::with_last_ogg_granule(encoded(sound, kRate, 1, "ogg", vorbis), 1ULL << 62), 3},
        {"chained.ogg", encoded(link_a, kRate, 1, "ogg", vorbis) + encoded(link_b, kRate, 1, "ogg", vorbis), 0},
    };
    for (const auto& [name, bytes, status] : cases) {
        SCOPED_TRACE(name);
        Scene scene;
        scene.folders("in");
        scene.ini(kVerbose);
        scene.file("in/" + name, bytes);
        expect_run(scene, {"in"}, {status, {"saved ./" + name}, {"in/" + name + ".png"}});
        t::Image img;
        ASSERT_TRUE(t::read_png(scene.path("in/" + name + ".png"), img));
        ASSERT_EQ(img.width, 250);
        const int y = static_cast<int>(3000.0 * 2048 / kRate + 0.5);
        for (int x = 0; x < img.width; ++x) {
            if (x >= 188 && x <= 217) EXPECT_GT(img.at(x, y).g, 200) << "column " << x;
            if (x < 186 || x > 219) EXPECT_LT(img.at(x, y).g, 64) << "column " << x;
        }
        const t::RunResult framed = scene.tolvek({"--frame", "in"});
        EXPECT_EQ(framed.status, status) << framed.err;
    }
}

TEST(BadInput, OddNames) {
    const std::string long_name = std::string(196, 'n') + ".wav";
    // The longest name whose picture's name (4 more) still fits in 255 bytes,
    // and one longer, whose picture cannot exist.
    const std::string longest = std::string(247, 'm') + ".wav";
    const std::string too_long = std::string(248, 'o') + ".wav";
    std::vector<std::string> deep;  // six 200-character folders: a path over 1200 characters
    for (char c = 'a'; c < 'g'; ++c) deep.push_back(std::string(200, c));
    std::string deep_rel;
    for (const std::string& d : deep) deep_rel += d + "/";

    const auto wav = [](const std::string& name) {
        return [name](const Scene& s) { s.tone("in/" + name, 8000, 1, 0.5, 1000); };
    };
    std::vector<std::string> descent, mirror_lines = {"Creating directory ."}, mirror_created;
    std::string sub = "in/", mirror = ".";
    for (const std::string& d : deep) {
        sub += d + "/";
        mirror += "/" + d;
        descent.push_back("Processing " + sub + "*");
        mirror_lines.push_back("Processing " + sub + "*");
        mirror_lines.push_back("Creating directory " + mirror);
        mirror_created.push_back(mirror.substr(2));
    }
    descent.push_back("saved " + shown(deep_rel + "song.wav"));
    mirror_lines.push_back("saved " + shown(deep_rel + "song.wav"));
    mirror_created.push_back(deep_rel + "song.wav.png");

    run_cases({
        {"percent signs", wav("100% %s%n%d.wav"), kVerbose, {"in"}, {0, {"saved ./100% %s%n%d.wav"}, {"in/100% %s%n%d.wav.png"}}},
        {"spaces", wav(" two  spaces .wav"), kVerbose, {"in"}, {0, {"saved ./ two  spaces .wav"}, {"in/ two  spaces .wav.png"}}},
        {"bytes that are not UTF-8", wav("\xff\xfe\xe9t\xe9.wav"), kVerbose, {"in"},
         {0, {"saved ./\xff\xfe\xe9t\xe9.wav"}, {"in/\xff\xfe\xe9t\xe9.wav.png"}}},
        {"a 200-character name", wav(long_name), kVerbose, {"in"},
         {0, {"saved " + shown(long_name)}, {"in/" + long_name + ".png"}}},
        {"a name as long as a picture's name allows", wav(longest), kVerbose, {"in"},
         {0, {"saved " + shown(longest)}, {"in/" + longest + ".png"}}},
        {"a name too long for its picture's name", wav(too_long), kVerbose, {"in"},
         {2, {"saved " + shown(too_long), "save error " + shown(too_long)}, {}}},
        {"a path over 1000 characters",
         [&](const Scene& s) {
             s.folders("in/" + deep_rel);
             s.tone("in/" + deep_rel + "song.wav", 8000, 1, 0.5, 1000);
         },
         kVerbose, {"in"}, {0, descent, {"in/" + deep_rel + "song.wav.png"}}},
        {"a path over 1000 characters, mirrored",
         [&](const Scene& s) {
             s.folders("in/" + deep_rel);
             s.tone("in/" + deep_rel + "song.wav", 8000, 1, 0.5, 1000);
         },
         "verbose=1\nlocal=1\nrecursive=1\n", {"in"}, {0, mirror_lines, mirror_created}},
        {"wildcard characters in folder and file names, taken literally below the pattern",
         [](const Scene& s) {
             s.folders("in/what?*[x]");
             s.tone("in/what?*[x]/*.wav", 8000, 1, 0.5, 1000);
         },
         kVerbose, {"in"},
         {0, {"Processing in/what?*[x]/*", "saved ./what?*[x]/*.wav"}, {"in/what?*[x]/*.wav.png"}}},
        {"a pattern holding the odd name", wav("100% a b.wav"), kVerbose, {"in/100% a ?.wav"},
         {0, {"saved ./100% a b.wav"}, {"in/100% a b.wav.png"}}},
    });
}

// Control characters in a name would reach the terminal: the console shows
// each as "?", while the picture's name keeps every byte.
TEST(BadInput, ControlCharactersInNames) {
    const std::pair<std::string, std::string> cases[] = {
        {"new\nline.wav", "./new?line.wav"},
        {"\x1b]0;owned\x07.wav", "./?]0;owned?.wav"},
        {"c1\xc2\x9b" "2J.wav", "./c1?2J.wav"},
        {"del\x7f.wav", "./del?.wav"},
        {"stray\x9b.wav", "./stray?.wav"},
        {"caf\xc3\xa9.wav", "./caf\xc3\xa9.wav"},
    };
    for (const auto& [name, shown_as] : cases) {
        SCOPED_TRACE(shown_as);
        Scene scene;
        scene.folders("in");
        scene.ini(kVerbose);
        scene.tone("in/" + name, 8000, 1, 0.5, 1000);
        const Tree before = snapshot(scene.path());
        const t::RunResult r = scene.tolvek({"in"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(walk_lines(r.out), std::vector<std::string>{"saved " + shown_as}) << r.out;
        Tree after = snapshot(scene.path());
        EXPECT_EQ(after.erase("in/" + name + ".png"), 1u);
        EXPECT_TRUE(after == before);
    }
}

// Control characters in settings values and in the names of the report,
// index, palette and settings files would reach the terminal through the
// messages that name them: each is shown as "?", as in names.
TEST(BadInput, ControlCharactersInMessages) {
    struct Case {
        std::string ini;
        std::vector<std::string> args;
        std::string err;  // how standard error begins
    };
    const std::string no_palette = ": No such file or directory; using the built-in colours\n";
    for (const Case& c : std::vector<Case>{
             {"palette=\x1b]0;owned\x07\n", {"in"}, "tolvek: palette ?]0;owned?" + no_palette},
             {"\x1b[31mcolour=red\n", {"in"}, "tolvek: Tolvek_Pre.ini:2: unknown key ?[31mcolour; ignored\n"},
             {"scale=\x1b[2J\n", {"in"}, "tolvek: Tolvek_Pre.ini:2: scale=?[2J is not one of linear, log; using linear\n"},
             {"shard=\x9b" "2J\n", {"in"},
              "tolvek: Tolvek_Pre.ini:2: shard=?2J: not K/N (whole numbers, 0 <= K < N) or slurm\n"},
             {"", {"--palette", "\xc2\x9b" "2J", "in"}, "tolvek: palette ?2J" + no_palette},
             {"", {"--report", "\x1b]0;x\x07.cvs", "in"},
              "tolvek: --report accepts a FILE name ending in .csv or .jsonl, not '?]0;x?.cvs'\n"},
             {"", {"--index", "in/\x1b[2J.wav", "in"},
              "tolvek: --index in/?[2J.wav: the file there is not an index page written by tolvek; it is left alone\n"},
             {"", {"-c", "\x1b[2J.ini", "in"}, "tolvek: --config ?[2J.ini: No such file or directory\n"},
         }) {
        SCOPED_TRACE(c.err);
        Scene scene;
        scene.folders("in");
        scene.tone("in/\x1b[2J.wav", 8000, 1, 0.5, 1000);
        scene.ini(c.ini);
        const t::RunResult r = scene.tolvek(c.args);
        EXPECT_TRUE(r.err.starts_with(c.err)) << r.err;
        EXPECT_EQ((r.out + r.err).find_first_of("\x1b\x07\x9b"), std::string::npos) << r.out << r.err;
    }
}

// The report and the index page replace only a report or page an earlier
// run wrote, or an empty file. A value taken for an empty one after "=", a
// source, a file of the user's, a link, a folder, an input of the run or the
// file the other one writes is refused before anything runs, naming it, and
// every file stays as it was.
TEST(BadInput, ReportAndIndexReplaceOnlyWhatTheProgramWrote) {
    Scene scene;
    scene.folders("in");
    scene.wav("in/a.wav");
    ASSERT_EQ(scene.tolvek({"-q", "--report", "old.csv", "--index", "old.html", "in"}).status, 0);
    scene.file("mine.csv", "my notes\n");
    scene.file("r-1.csv", "mine\n");
    scene.file("empty.csv", "");
    fs::create_hard_link(scene.path("empty.csv"), scene.path("hard.csv"));
    scene.symlink("old.html", "link.html");
    scene.folders("folder.html");
    scene.file("user.ini", "[general]\nindex=mine.csv\n");
    const std::string not_page = ": the file there is not an index page written by tolvek; it is left alone\n";
    const std::string not_report = ": the file there is not a report written by tolvek; it is left alone\n";
    const std::string input = ": the file is one of the run's inputs ";
    const std::pair<std::vector<std::string>, std::string> refusals[] = {
        {{"--index=", "in/a.wav"}, "tolvek: --index accepts a FILE name, not ''\n"},
        {{"--config=", "in/a.wav"}, "tolvek: --config accepts a FILE name, not ''\n"},
        {{"--index", "in/a.wav", "in/a.wav"}, "tolvek: --index in/a.wav" + not_page},
        {{"--index", "in/a.wav", "in"}, "tolvek: --index in/a.wav" + not_page},
        {{"--index", "old.csv", "in"}, "tolvek: --index old.csv" + not_page},
        {{"--report", "mine.csv", "in"}, "tolvek: --report mine.csv" + not_report},
        {{"--shard", "1/2", "--report", "r-%a.csv", "in"}, "tolvek: --report r-%a.csv (r-1.csv)" + not_report},
        {{"-c", "user.ini", "in"}, "tolvek: user.ini:2: index=mine.csv" + not_page},
        {{"--report", "x.csv", "--index", "x.csv", "in"}, "tolvek: --index x.csv: the file is also --report x.csv\n"},
        {{"--report", "x.jsonl", "--index", "./x.jsonl", "in"},
         "tolvek: --index ./x.jsonl: the file is also --report x.jsonl\n"},
        {{"--report", "empty.csv", "empty.csv"}, "tolvek: --report empty.csv" + input + "(empty.csv)\n"},
        {{"--report", "empty.csv", "hard.csv"}, "tolvek: --report empty.csv" + input + "(hard.csv)\n"},
        {{"--report", "old.csv", "*.csv"}, "tolvek: --report old.csv" + input + "(*.csv)\n"},
        {{"--report", "new.csv", "./n*"}, "tolvek: --report new.csv" + input + "(./n*)\n"},
        {{"--index", "link.html", "in"}, "tolvek: --index link.html: a symbolic link is there; it is left alone\n"},
        {{"--index", "folder.html", "in"}, "tolvek: --index folder.html: a directory is there; it is left alone\n"},
        {{"--report", "report.cvs", "in"},
         "tolvek: --report accepts a FILE name ending in .csv or .jsonl, not 'report.cvs'\n"},
    };
    for (const auto& [args, err] : refusals) {
        SCOPED_TRACE(err);
        EXPECT_EQ(expect_run(scene, args, {64, {}, {}}).err, err);
    }
    // What the program wrote is replaced, and so is an empty file; a name
    // no pattern matches is free.
    const std::string report_head = "source,picture,status,", json_head = "{\"source\":", page_head = "<!DOCTYPE html>";
    const std::pair<std::vector<std::string>, std::vector<std::string>> accepted[] = {
        {{"--report", "old.csv", "--index", "old.html", "in"}, {"old.csv", "old.html"}},
        {{"--report", "empty.csv", "in/*.wav"}, {"empty.csv"}},
        {{"--report", "R.CSV", "in"}, {"R.CSV"}},
        {{"--report", "r.JSONL", "in"}, {}},
        {{"--report", "r.JSONL", "in"}, {"r.JSONL"}},
    };
    for (const auto& [args, written] : accepted) {
        SCOPED_TRACE(args[1]);
        std::vector<std::string> quiet_args = {"-q"};
        quiet_args.insert(quiet_args.end(), args.begin(), args.end());
        const t::RunResult r = scene.tolvek(quiet_args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        for (const std::string& name : written) {
            const std::string head = name.ends_with(".html") ? page_head : name == "r.JSONL" ? json_head : report_head;
            EXPECT_TRUE(t::read_file(scene.path(name)).starts_with(head)) << name;
        }
    }
    EXPECT_EQ(t::read_file(scene.path("mine.csv")), "my notes\n");
}

// Standard descriptors closed by whoever started us: the next files opened
// would get them, and console lines would land in pictures.
TEST(BadInput, ClosedStandardDescriptorsNeverReachAPicture) {
    Scene scene;
    scene.folders("in");
    for (int i = 0; i < 30; ++i) scene.tone("in/f" + std::to_string(i) + ".wav", 8000, 1, 2.0, 1000);
    scene.ini("jobs=2\n");
    const t::RunResult r =
        t::run({"sh", "-c", "exec timeout 60 \"$0\" in <&- >&- 2>&-; ", t::program_path()}, scene.path());
    EXPECT_EQ(r.status, 0);
    for (int i = 0; i < 30; ++i) {
        t::Image img;  // libpng checks every chunk's CRC
        EXPECT_TRUE(t::read_png(scene.path("in/f" + std::to_string(i) + ".wav.png"), img)) << i;
    }
}

TEST(BadInput, SurroundingsThatOnceHungOrAborted) {
    // The first path in walk order wins: x all the way down.
    std::vector<std::string> diamond_walk;
    std::string below = "in/d0", outpath = ".";
    for (int i = 0; i < 18; ++i) {
        diamond_walk.push_back("Processing " + (below += "/x") + "/*");
        outpath += "/x";
    }
    diamond_walk.push_back("saved " + (outpath + "/a.wav").substr(0, 28));
    run_cases({
        {"a huge jobs value is capped, not an abort",
         [](const Scene& s) { s.tone("in/a.wav", 8000, 1, 0.5, 1000); },
         "jobs=2147483647\ngrid=0\n", {"in"}, {0, {"saved ./a.wav"}, {"in/a.wav.png"}}},
        // Each dI holds links x and y to d(I+1): 2^18 paths to one file.
        {"link diamonds are walked once",
         [](const Scene& s) {
             for (int i = 0; i <= 18; ++i) s.folders("in/d" + std::to_string(i));
             for (int i = 0; i < 18; ++i)
                 for (const char* link : {"x", "y"})
                     fs::create_directory_symlink("../d" + std::to_string(i + 1),
                                                  s.path("in/d" + std::to_string(i) + "/" + link));
             s.tone("in/d18/a.wav", 8000, 1, 0.5, 1000);
         },
         "grid=0\n", {"in/d0"}, {0, diamond_walk, {"in/d18/a.wav.png"}}},
    });
}

// Runs the program as an unprivileged user, so permissions mean something
// even when the suite runs as root.
t::RunResult run_unprivileged(const Scene& scene, const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    std::string program = t::program_path();
    if (geteuid() == 0) {
        chmod(scene.path().c_str(), 0777);
        argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        // The build folder may be closed to other users (a private checkout):
        // run a copy from the scene, which is open to all.
        program = scene.path(".tolvek");
        fs::copy_file(t::program_path(), program, fs::copy_options::overwrite_existing);
        chmod(program.c_str(), 0755);
    }
    argv.insert(argv.end(), {"timeout", "60", program});
    argv.insert(argv.end(), args.begin(), args.end());
    return t::run(argv, scene.path());
}

// Every input that exists but cannot be read is named on standard error
// whatever the verbose setting, and the run ends with status 3.
TEST(BadInput, InputsThatCannotBeReadAreNamed) {
    Scene scene;
    scene.folders("in/noread");
    scene.folders("in/nosearch");
    scene.tone("in/noread/a.wav", 8000, 1, 0.5, 1000);
    scene.tone("in/nosearch/b.wav", 8000, 1, 0.5, 1000);
    scene.tone("in/locked.wav", 8000, 1, 0.5, 1000);
    scene.tone("in/ok.wav", 8000, 1, 0.5, 1000);
    for (const char* dir : {"in", "."}) chmod(scene.path(dir).c_str(), 0777);
    chmod(scene.path("in/noread").c_str(), 0333);
    chmod(scene.path("in/nosearch").c_str(), 0666);
    chmod(scene.path("in/locked.wav").c_str(), 0);
    scene.ini("grid=0\n");
    const t::RunResult r = run_unprivileged(scene, {"in"});
    chmod(scene.path("in/noread").c_str(), 0777);
    chmod(scene.path("in/nosearch").c_str(), 0777);
    EXPECT_EQ(r.status, 3) << r.err;
    const std::string denied = ": Permission denied\n";
    EXPECT_EQ(r.err.substr(0, r.err.rfind("tolvek: 1 picture written")),
              "tolvek: in/locked.wav" + denied + "tolvek: in/noread" + denied + "tolvek: in/nosearch/b.wav" + denied);
    EXPECT_NE(r.err.find("tolvek: 1 picture written, 0 not audio, 3 failed"), std::string::npos) << r.err;
    EXPECT_TRUE(t::exists(scene.path("in/ok.wav.png")));
}

// A tree deeper than PATH_MAX: what lies beyond it is named, not lost.
TEST(BadInput, PathsLongerThanTheSystemTakesAreNamed) {
    Scene scene;
    scene.folders("in");
    {
        int fd = open(scene.path("in").c_str(), O_RDONLY | O_DIRECTORY);
        for (int i = 0; i < 2200 && fd >= 0; ++i) {
            mkdirat(fd, "d", 0777);
            const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
            close(fd);
            fd = next;
        }
        if (fd >= 0) close(fd);
    }
    scene.tone("in/a.wav", 8000, 1, 0.5, 1000);
    const t::RunResult r = scene.tolvek({"in"});
    t::run({"rm", "-rf", scene.path("in")}, "/");
    EXPECT_EQ(r.status, 3) << r.err.substr(0, 300);
    EXPECT_NE(r.err.find(": File name too long\n"), std::string::npos) << r.err.substr(0, 300);
    EXPECT_NE(r.out.find("Saving file"), std::string::npos);
}

// With local=1 a walk that reaches the working folder from above would
// mirror the mirrored tree again, one level deeper every run.
TEST(BadInput, MirroredTreeIsNotMirroredAgain) {
    Scene scene;
    scene.folders("top/work");
    scene.tone("top/a.wav", 8000, 1, 0.5, 1000);
    t::write_file(scene.path("top/work/Tolvek_Pre.ini"), "[general]\nlocal=1\nrecursive=1\ngrid=0\nverbose=1\n");
    for (int run = 0; run < 2; ++run) {
        const t::RunResult r = t::run({"timeout", "60", t::program_path(), ".."}, scene.path("top/work"));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("Skipping ../work: it holds this run's pictures\n"), std::string::npos) << r.out;
    }
    EXPECT_TRUE(t::exists(scene.path("top/work/a.wav.png")));
    EXPECT_FALSE(t::exists(scene.path("top/work/work")));
}

TEST(BadInput, TenThousandEmptyFiles) {
    Scene scene;
    scene.folders("in");
    char name[32];
    for (int i = 0; i < 10000; ++i) {
        std::snprintf(name, sizeof name, "in/f%05d.mp3", i);
        scene.file(name, "");
    }
    scene.ini("");
    expect_run(scene, {"in"}, {3, {}, {}});
}

// Entries that are neither files nor folders are passed over without a word;
// none of them may be opened (a FIFO would block, /dev/zero never ends).
TEST(BadInput, SpecialEntries) {
    Scene scene;
    scene.folders("in");
    scene.ini(kVerbose);
    ASSERT_EQ(mkfifo(scene.path("in/fifo.mp3").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", scene.path("in/zero.wav"));
    fs::create_symlink("loop.wav", scene.path("in/loop.wav"));
    fs::create_symlink("nowhere.wav", scene.path("in/dangling.wav"));
    expect_run(scene, {"in"}, {0, {}, {}});
}

// A settings or palette file that is a FIFO would block the program on
// opening it, and one that leads to /dev/zero would never end; both read as
// missing, so the defaults apply.
TEST(BadInput, SettingsAndPaletteFilesThatAreNotFiles) {
    struct Case {
        std::string what;
        std::function<void(const Scene&)> make;
        std::string summary;
    };
    const std::string defaults = "Output: PNG 75%, with grid, palette: ";
    const auto fifo = [](const std::string& name) {
        return [name](const Scene& s) { ASSERT_EQ(mkfifo(s.path(name).c_str(), 0644), 0); };
    };
    for (const Case& c : std::vector<Case>{
             {"settings file is a FIFO", fifo("Tolvek_Pre.ini"), defaults + "tolvek_color.pal"},
             {"settings file leads to /dev/zero",
              [](const Scene& s) { fs::create_symlink("/dev/zero", s.path("Tolvek_Pre.ini")); },
              defaults + "tolvek_color.pal"},
             {"palette file is a FIFO",
              [&](const Scene& s) {
                  fifo("p.pal")(s);
                  s.ini("palette=p.pal\n");
              },
              defaults + "p.pal"},
             {"palette file is /dev/zero", [](const Scene& s) { s.ini("palette=/dev/zero\n"); }, defaults + "/dev/zero"},
             {"default palette file leads to /dev/zero",
              [](const Scene& s) { fs::create_symlink("/dev/zero", s.path("tolvek_color.pal")); },
              defaults + "tolvek_color.pal"},
         }) {
        SCOPED_TRACE(c.what);
        Scene scene;
        scene.folders("in");
        scene.tone("in/a.wav", 8000, 1, 0.5, 1000);
        c.make(scene);
        const t::RunResult r = expect_run(scene, {"in"}, {0, {"saved ./a.wav"}, {"in/a.wav.png"}});
        EXPECT_NE(r.out.find("\n" + c.summary + "\n"), std::string::npos) << r.out;
    }
}

// A mirrored tree that cannot be made as asked: the failure line says what to do.
TEST(BadInput, OutputTreeMistakesSayWhy) {
    struct TreeCase {
        std::string what, ini;
        std::vector<std::string> args;
        Expect expect;
        std::string err;  // a line standard error must hold
    };
    const std::string hint = "No such file or directory (use --recursive to create folders)\n";
    for (const TreeCase& c : std::vector<TreeCase>{
             {"mirror folder missing (local without recursive)", "local=1\n", {"in"},
              {2, {"Processing in/sub/*", "saved ./sub/a.wav", "save error ./sub/a.wav"}, {}},
              "tolvek: ./sub/a.wav.png: cannot create a file beside ./sub/a.wav.png: " + hint},
             {"mirror folder missing under outdir", "local=1\noutdir=out\nrecursive=0\n", {"in"},
              {2, {"Processing in/sub/*", "saved out/sub/a.wav", "save error out/sub/a.wav"}, {"out"}},
              "tolvek: out/sub/a.wav.png: cannot create a file beside out/sub/a.wav.png: " + hint},
             {"-o with the explicit --no-local", "", {"-o", "out", "--no-local", "in"}, {64, {}, {}},
              "it cannot go with --no-local\n"},
             {"-o with the explicit --no-recursive", "", {"--no-recursive", "-o", "out", "in"}, {64, {}, {}},
              "it cannot go with --no-recursive\n"},
         }) {
        SCOPED_TRACE(c.what);
        Scene scene;
        scene.folders("in/sub");
        scene.tone("in/sub/a.wav", 8000, 1, 0.5, 1000);
        scene.ini(c.ini);
        const t::RunResult r = expect_run(scene, c.args, c.expect);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
}

TEST(BadInput, PicturesThatCannotBeWritten) {
    run_cases({
        {"a file where the mirror folder should be",
         [](const Scene& s) {
             s.folders("in/sub");
             s.tone("in/sub/a.wav", 8000, 1, 0.5, 1000);
             s.file("sub", "not a folder\n");
         },
         "local=1\nrecursive=1\n", {"in"},
         {2,
          {"Creating directory .", "Processing in/sub/*", "Creating directory ./sub", "saved ./sub/a.wav",
           "save error ./sub/a.wav"},
          {}}},
        {"a folder where the picture should be",
         [](const Scene& s) {
             s.tone("in/a.wav", 8000, 1, 0.5, 1000);
             s.folders("in/a.wav.png");
         },
         "", {"in/a.wav"}, {2, {"saved ./a.wav", "save error ./a.wav"}, {}}},
    });
}

// Lowers this process's file-size limit and ignores SIGXFSZ for as long as it
// lives. A program started meanwhile inherits both (exec keeps an ignored
// signal ignored), so its writes past the limit fail with EFBIG, as on a full
// disk, instead of killing it. Nothing is written here while it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        rlimit lowered = old_;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
        old_handler_ = signal(SIGXFSZ, SIG_IGN);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, old_handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_{};
    sighandler_t old_handler_ = SIG_DFL;
};

// The disk fills up during each save: no picture, no half-written or
// temporary file, and an older picture under the same name stays as it was.
TEST(BadInput, DiskFullDuringTheSave) {
    for (const std::string ext : {"png", "jpg"}) {
        SCOPED_TRACE(ext);
        Scene scene;
        scene.folders("in");
        scene.ini("verbose=1\noutput=" + ext + "\n");
        for (const char* name : {"in/a.wav", "in/b.wav"})
            t::write_wav(scene.path(name), 22050, 1, t::music(22050, 1, 3.0));
        scene.file("in/b.wav." + ext, "an older picture\n");

        const Tree before = snapshot(scene.path());
        t::RunResult r;
        {
            const FileSizeLimit full(2000);
            r = scene.tolvek({"in"});
        }
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(walk_lines(r.out), (std::vector<std::string>{"saved ./a.wav", "save error ./a.wav", "saved ./b.wav",
                                                               "save error ./b.wav",
                                                               "Skipping in/b.wav." + ext + ": written by this program"}));
        EXPECT_NE(r.err.find("in/a.wav." + ext), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
        EXPECT_TRUE(snapshot(scene.path()) == before);
    }
}

// Starts the program on `args` in `cwd`, its output discarded; the caller
// signals and reaps it.
pid_t start_program(const std::string& cwd, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {t::program_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = fork();
    if (pid != 0) return pid;
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    const int null = open("/dev/null", O_WRONLY);
    if (chdir(cwd.c_str()) != 0 || null < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0) _exit(126);
    execv(cargv[0], cargv.data());
    _exit(127);
}

// The wait status of `pid`; SIGKILL after 60 s, so a hang fails the test.
int reap(pid_t pid) {
    int status = 0;
    for (int waited_ms = 0; waitpid(pid, &status, WNOHANG) == 0; ++waited_ms) {
        if (waited_ms == 60000) kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return status;
}

bool any_picture(const std::string& dir) {
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().starts_with("s") && e.path().extension() == ".png") return true;
    return false;
}

// SIGINT or SIGTERM while pictures are being saved, at a few moments after
// the first one appears: the program ends by that signal and leaves neither
// a temporary file nor a partial picture; the older picture is either as it
// was or whole and new.
TEST(BadInput, InterruptedWhileSaving) {
    constexpr int kSources = 60;
    const std::string old_picture = "an older picture\n";
    for (const int signal_number : {SIGINT, SIGTERM})
        for (const int delay_ms : {0, 5, 17, 40}) {
            SCOPED_TRACE(std::string(strsignal(signal_number)) + " after " + std::to_string(delay_ms) + " ms");
            Scene scene;
            scene.folders("in");
            scene.ini("jobs=2\n");
            for (int i = 0; i < kSources; ++i) scene.tone("in/s" + std::to_string(100 + i) + ".wav", 8000, 1, 2.0, 1000);
            scene.file("in/s159.wav.png", old_picture);

            const pid_t pid = start_program(scene.path(), {"in"});
            ASSERT_GT(pid, 0);
            for (int waited_ms = 0; !any_picture(scene.path("in")) && waited_ms < 30000; ++waited_ms)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
            kill(pid, signal_number);
            const int status = reap(pid);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << "wait status " << status;

            for (const auto& [rel, what] : snapshot(scene.path())) {
                EXPECT_FALSE(fs::path(rel).filename().string().starts_with(".tolvek-")) << rel << " was left behind";
                if (!rel.ends_with(".png") || what == "file " + old_picture) continue;
                t::Image img;
                EXPECT_TRUE(t::read_png(scene.path(rel), img) && img.height == 1024) << rel << " is not whole";
            }
        }
}

// An entry that is listed but gone when its turn comes. The walk is driven
// here, in this process, so the file can be removed at the right moment: the
// first time the conversion of the entry before it reports.
class VanishingOutput : public tolvek::batch::Output {
public:
    std::string vanishing;  // removed at the next line
    std::string log;        // everything but progress lines
    void out(std::string_view text) override {
        if (!vanishing.empty()) {
            unlink(vanishing.c_str());
            vanishing.clear();
        }
        if (!text.ends_with("\r")) log += text;
    }
    void err(std::string_view text) override { log += text; }
};

TEST(BadInput, EntryVanishesBetweenListingAndConversion) {
    Scene scene;
    for (const char* name : {"a.wav", "b.wav", "c.wav"}) scene.tone(name, 8000, 1, 0.5, 1000);
    Tree expected = snapshot(scene.path());
    VanishingOutput output;
    output.vanishing = scene.path("b.wav");
    t::TestPalette palette = t::TestPalette::grey();
    tolvek::batch::RunSettings settings;
    settings.conversion.grid = false;
    settings.conversion.verbose = 1;
    settings.conversion.palette = &palette;
    settings.walk.verbose = 1;
    settings.patterns = {scene.path() + "/*"};
    const tolvek::batch::RunTotals totals = tolvek::batch::run_batch(settings, output);
    EXPECT_EQ(totals.exit_status(), 0);
    EXPECT_EQ(walk_lines("Output: \n" + output.log), (std::vector<std::string>{"saved ./a.wav", "saved ./c.wav"}));
    Tree after = snapshot(scene.path());
    EXPECT_EQ(after.erase("a.wav.png"), 1u);
    EXPECT_EQ(after.erase("c.wav.png"), 1u);
    expected.erase("b.wav");
    EXPECT_TRUE(after == expected);
}

}  // namespace

namespace {

// A thousand copies of one Vorbis stream in one Ogg file convert like two
// copies: only the first one's packets are read and decoded, as many as of
// the stream alone, the picture is the same to the pixel, and the program
// needs no more memory than for any one file (idle + 16 MiB). The demuxer
// used to set up and probe every stream, and gave the file no exact length.
// (The copies lose the stream's end trimming in the muxer, so the stream
// alone is not the reference for the picture.)
TEST(BadInput, ManyAudioStreamsDecodeOnlyOne) {
    constexpr int kStreams = 1000;
    constexpr long kBudgetKiB = 16 * 1024;
    Scene scene;
    scene.folders("in");
    scene.ini("");
    scene.file("one.ogg", encoded(t::music(22050, 1, 1.0), 22050, 1, "ogg", "-c:a libvorbis"));
    for (const auto& [copies, name] : {std::pair{2, "two.ogg"}, std::pair{kStreams, "many.ogg"}}) {
        std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-loglevel", "error", "-i", "one.ogg"};
        for (int i = 0; i < copies; ++i) argv.insert(argv.end(), {"-map", "0:a"});
        argv.insert(argv.end(), {"-c", "copy", name});
        ASSERT_EQ(t::run(argv, scene.path()).status, 0);
    }

    tolvek::Status opened;
    auto many = tolvek::audio::Stream::open(scene.path("many.ogg"), opened);
    ASSERT_NE(many, nullptr) << opened.message;
    auto one = tolvek::audio::Stream::open(scene.path("one.ogg"), opened);
    ASSERT_NE(one, nullptr) << opened.message;
    EXPECT_EQ(many->length_bytes(), one->length_bytes());
    std::array<float, tolvek::audio::kSpectrumBins> spectrum{};
    for (auto* s : {many.get(), one.get()}) {
        ASSERT_TRUE(s->seek(22050 * 2));  // past the end: every packet read and decoded
        ASSERT_TRUE(s->read_spectrum(spectrum));
    }
    EXPECT_EQ(many->packets_read(), one->packets_read());
    EXPECT_EQ(many->packets_decoded(), one->packets_decoded());
    many.reset();
    one.reset();

    // Each converted under the same name, which the picture shows. A
    // child's peak counts this process's memory at the fork, so the idle
    // program is measured right before each conversion.
    [[maybe_unused]] long idle_kib = 0;
    std::map<std::string, std::pair<t::Image, long>> converted;
    for (const char* source : {"two.ogg", "many.ogg"}) {
        fs::copy_file(scene.path(source), scene.path("in/s.ogg"), fs::copy_options::overwrite_existing);
        fs::remove(scene.path("in/s.ogg.png"));
        idle_kib = scene.tolvek({"--version"}).peak_kib;
        const t::RunResult r = expect_run(scene, {"in"}, {0, {"saved ./s.ogg"}, {"in/s.ogg.png"}});
        ASSERT_TRUE(t::read_png(scene.path("in/s.ogg.png"), converted[source].first)) << source;
        converted[source].second = r.peak_kib;
    }
    EXPECT_EQ(converted["many.ogg"].first.rgb, converted["two.ogg"].first.rgb);
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer keeps freed blocks aside, so its peaks say nothing
    EXPECT_LT(converted["many.ogg"].second, idle_kib + kBudgetKiB) << "peak resident memory, KiB; idle " << idle_kib;
#endif
}

}  // namespace
