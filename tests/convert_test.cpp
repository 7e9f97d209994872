#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <functional>

#include "audio/audio.h"
#include "convert/convert.h"
#include "convert/plan.h"
#include "convert/stamp.h"
#include "support/fixtures.h"
#include "tolvek/tolvek.h"

namespace tolvek::convert {
namespace {

using test::TempDir;

struct PlanCase {
    const char* name;
    std::uint64_t length;
    float seconds;
    int count;
    std::uint64_t step;
};

TEST(ColumnPlan, CountsAndSteps) {
    const std::uint64_t s30 = 30ULL * 44100 * 4;
    const std::uint64_t s100 = 100ULL * 44100 * 4;
    const std::uint64_t s600 = 600ULL * 44100 * 4;
    const std::uint64_t s150 = 150ULL * 44100 * 4;
    const std::uint64_t huge = 5ULL * 3600 * 44100 * 4;  // over 2^31 bytes
    const PlanCase cases[] = {
        {"empty", 0, 0.0f, 250, 0},
        {"tenth of a second", 17640, 0.1f, 250, 17640 / 250},
        {"30 s is raised to 250", s30, 30.0f, 250, s30 / 250},
        {"100 s", s100, 100.0f, 666, s100 / 666},
        {"10 minutes is capped", s600, 600.0f, 1000, s600 / 1000},
        {"150 s divides by single-precision 0.15", s150, 150.0f, 999, s150 / 999},
        {"no duration, 40000-byte steps", 40000ULL * 500 + 7, 0.0f, 500, 40000},
        {"no duration, too long", 40000ULL * 2000, 0.0f, 1000, 80000},
        {"no duration, too short", 40000ULL * 100, 0.0f, 250, 16000},
        {"five hours keeps 64-bit steps", huge, 18000.0f, 1000, huge / 1000},
    };
    for (const PlanCase& c : cases) {
        const ColumnPlan p = plan_columns(c.length, c.seconds);
        EXPECT_EQ(p.count, c.count) << c.name;
        EXPECT_EQ(p.step, c.step) << c.name;
    }
}

TEST(Levels, MagnitudeToLevel) {
    const struct {
        float magnitude;
        int level;
    } cases[] = {
        {0.0f, 0},
        {0.01f, 255},  // ln = -4.6
        {static_cast<float>(std::exp(-10.0)), 127},
        {static_cast<float>(std::exp(-15.5)), 0},
        {static_cast<float>(std::exp(-4.9)), 255},
        {static_cast<float>(std::exp(-12.0)), 76},  // (3 × 255 / 10) = 76.5
        {1.0f, 255},
    };
    for (const auto& c : cases) EXPECT_EQ(level_of(c.magnitude), c.level) << c.magnitude;
}

TEST(Levels, TableAgreesWithTheLogarithm) {
    const LevelMap map;
    for (float m : {0.0f, -0.0f, -1.0f, 1e-30f, 1.0f, 1e6f, 3.4e38f}) EXPECT_EQ(map(m), level_of(m)) << m;
    // Every 61st float from below level 0 to above level 255, and every
    // float between two samples whose levels differ.
    const auto lo = std::bit_cast<std::uint32_t>(static_cast<float>(std::exp(-15.5)));
    const auto hi = std::bit_cast<std::uint32_t>(static_cast<float>(std::exp(-4.5)));
    std::uint8_t previous = level_of(std::bit_cast<float>(lo));
    for (std::uint32_t b = lo; b < hi; b += 61) {
        const std::uint8_t level = level_of(std::bit_cast<float>(b));
        if (level != previous) {
            for (std::uint32_t c = b - 61; c <= b; ++c)
                ASSERT_EQ(map(std::bit_cast<float>(c)), level_of(std::bit_cast<float>(c))) << c;
        }
        ASSERT_EQ(map(std::bit_cast<float>(b)), level) << b;
        previous = level;
    }
}

TEST(Label, CutsAt28CharactersAndPadsTo33) {
    const struct {
        std::string name;
        std::string label;
    } cases[] = {
        {"./song.mp3", "./song.mp3" + std::string(23, ' ')},
        {"./a-name-of-forty-characters-long-01.mp3", "./a-name-of-forty-characters" + std::string(5, ' ')},
        {"./100% loud.wav", "./100% loud.wav" + std::string(18, ' ')},
        // 26 ASCII then a two-byte and a three-byte character: 28 characters.
        {std::string(26, 'a') + "\xC3\xA9\xE2\x82\xAC" + "tail", std::string(26, 'a') + "\xC3\xA9\xE2\x82\xAC" + "     "},
        // A four-byte character across the cut is kept whole or left out whole.
        {std::string(27, 'a') + "\xF0\x9F\x8E\xB5" + "x", std::string(27, 'a') + "\xF0\x9F\x8E\xB5" + "     "},
        // Invalid bytes count as one character each.
        {std::string(26, 'a') + "\xFF\xC3" + "zz", std::string(26, 'a') + "\xFF\xC3" + "     "},
        {"", std::string(33, ' ')},
    };
    for (const auto& c : cases) EXPECT_EQ(display_label(c.name), c.label) << c.name;
}

// A stamp reads back whole, or not at all when a part is missing or not a
// number.
TEST(Stamp, ReadBackWholeOrNotAtAll) {
    const Stamp stamp{kStampFormat, "1.2.3", 1234567, -1700000000123456789, "0123456789abcdef"};
    image::Metadata whole;
    add_stamp(stamp, whole);
    EXPECT_EQ(read_stamp(whole), stamp);
    // A picture of before the format number is of format 1: not this one.
    image::Metadata earlier(whole.begin() + 1, whole.end());
    ASSERT_TRUE(read_stamp(earlier));
    EXPECT_EQ(read_stamp(earlier)->format, 1);
    EXPECT_NE(read_stamp(earlier), stamp);
    const struct {
        std::size_t entry;  // 0..4: format, version, size, time, fingerprint
        std::optional<std::string> value;  // nothing: left out
    } cases[] = {{1, {}}, {2, {}}, {3, {}}, {4, {}}, {2, "12x"}, {2, ""}, {2, "99999999999999999999"},
                 {3, "1.5"}, {3, ""}, {3, "99999999999999999999"}, {0, "2x"}, {0, ""}};
    for (const auto& c : cases) {
        image::Metadata m = whole;
        if (c.value) m[c.entry].second = *c.value;
        else m.erase(m.begin() + static_cast<std::ptrdiff_t>(c.entry));
        EXPECT_FALSE(read_stamp(m)) << c.entry << " " << c.value.value_or("(left out)");
    }
}

// Converts `path` with a grey palette and returns the status; the log is in
// test::captured_log().
int convert(const std::string& path, const char* outpath, int verbose = 0, int format = TOLVEK_FORMAT_PNG,
            int grid = 0, int local = 0, test::TestPalette palette = test::TestPalette::grey()) {
    test::captured_log().clear();
    return _process_file(path.c_str(), format, 75, grid, local, verbose, palette.tables(), test::capture_log, outpath);
}

test::Image load(const std::string& path) {
    test::Image img;
    EXPECT_TRUE(test::read_png(path, img)) << path;
    return img;
}

TEST(ProcessFile, SineLightsItsRowOnly) {
    TempDir dir;
    const std::string wav = dir.file("tone.wav");
    // Bin 200 of 2048 at 44.1 kHz: about 4307 Hz.
    test::write_wav(wav, 44100, 2, test::sine(44100, 2, 2.0, 200 * 44100.0 / 2048));
    ASSERT_EQ(convert(wav, "./tone.wav"), 0) << test::captured_log();
    const test::Image img = load(wav + ".png");
    ASSERT_EQ(img.width, 250);
    ASSERT_EQ(img.height, 1024);
    for (int x : {0, 100, 240}) {
        EXPECT_EQ(img.at(x, 200).r, 255) << x;
        EXPECT_LT(img.at(x, 600).r, 40) << x;
        EXPECT_LT(img.at(x, 20).r, 40) << x;
    }
    // Past the end of the sound the columns fall silent.
    EXPECT_EQ(img.at(249, 200).r, 255);
}

TEST(ProcessFile, SilenceIsLevelZeroEverywhere) {
    TempDir dir;
    const std::string wav = dir.file("quiet.wav");
    test::write_wav(wav, 22050, 1, test::silence(22050, 1, 1.0));
    test::TestPalette palette = test::TestPalette::grey();
    palette.red[0] = 10;
    palette.green[0] = 20;
    palette.blue[0] = 30;
    ASSERT_EQ(convert(wav, nullptr, 0, TOLVEK_FORMAT_PNG, 0, 0, palette), 0);
    const test::Image img = load(wav + ".png");
    for (int i = 0; i < img.width * img.height; ++i) {
        ASSERT_EQ(img.rgb[i * 3], 10);
        ASSERT_EQ(img.rgb[i * 3 + 1], 20);
        ASSERT_EQ(img.rgb[i * 3 + 2], 30);
    }
}

std::string progress(const std::string& label, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        const float pct = static_cast<float>(i + 1) * 100.0f / static_cast<float>(count);
        char buf[32];
        std::snprintf(buf, sizeof buf, " [%s%s%.1f%%]\r", pct < 100 ? " " : "", pct < 10 ? " " : "", pct);
        out += label + buf;
    }
    return out;
}

TEST(ProcessFile, ReportProgressAndSaveLines) {
    struct Case {
        const char* file;
        int rate;
        int channels;
        double seconds;
        const char* report;
    };
    const Case cases[] = {
        {"mono8k.wav", 8000, 1, 2.0, "Mono,  8.0,   0.03Mb,   128kbps"},
        {"stereo.wav", 44100, 2, 1.0, "Stereo, 44.1,   0.17Mb,  1376kbps"},
        {"half.wav", 22050, 1, 1.0, "Mono, 22.1,   0.04Mb,   344kbps"},
        {"six.wav", 48000, 6, 0.5, "6 channels, 48.0,   0.27Mb,  4504kbps"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string wav = dir.file(c.file);
        test::write_wav(wav, c.rate, c.channels, test::silence(c.rate, c.channels, c.seconds));
        const std::string outpath = std::string("./") + c.file;
        ASSERT_EQ(convert(wav, outpath.c_str()), 0);
        const std::string label = display_label(outpath) + c.report;
        const std::string& log = test::captured_log();
        ASSERT_EQ(log.substr(0, label.size() + 10), label + " [  0.4%]\r") << c.file;
        EXPECT_EQ(log, progress(label, 250) + label + ". Saving file\n") << c.file;
    }
}

TEST(ProcessFile, EightKilohertzMonoOfTwoAndAHalfMebibytes) {
    TempDir dir;
    const std::string wav = dir.file("long.wav");
    const std::size_t samples = (2621440 - 44) / 2;
    test::write_wav(wav, 8000, 1, test::Samples(samples, 0));
    ASSERT_EQ(std::filesystem::file_size(wav), 2621440u);
    ASSERT_EQ(convert(wav, "./long.wav"), 0);
    EXPECT_NE(test::captured_log().find("./long.wav" + std::string(23, ' ') + "Mono,  8.0,   2.50Mb,   128kbps [  0.1%]\r"),
              std::string::npos);
    EXPECT_EQ(load(wav + ".png").width, 1000);
}

TEST(ProcessFile, PngAndJpegKeepLowFrequenciesAtTheBottom) {
    TempDir dir;
    const std::string wav = dir.file("low.wav");
    // Row 46 at 44.1 kHz is about 1 kHz.
    test::write_wav(wav, 44100, 1, test::sine(44100, 1, 1.0, 46 * 44100.0 / 2048, 0.8));
    ASSERT_EQ(convert(wav, nullptr, 0, TOLVEK_FORMAT_PNG), 0);
    ASSERT_EQ(convert(wav, nullptr, 0, TOLVEK_FORMAT_JPEG), 0);
    ASSERT_EQ(convert(wav, "./other", 0, 3), 0);  // any format but 2 is PNG
    test::Image png, jpg;
    ASSERT_TRUE(test::read_png(wav + ".png", png));
    ASSERT_TRUE(test::read_jpeg(wav + ".jpg", jpg));
    for (const test::Image* img : {&png, &jpg}) {
        EXPECT_EQ(img->width, 250);
        EXPECT_EQ(img->height, 1024);
        EXPECT_GT(img->at(100, 46).g, 200);
        EXPECT_LT(img->at(100, 1000).g, 60);
    }
}

TEST(ProcessFile, LocalSavesAtTheOutputPath) {
    TempDir src, work;
    const std::string wav = src.file("song.wav");
    test::write_wav(wav, 8000, 1, test::silence(8000, 1, 0.5));
    const std::string outpath = work.file("song.wav");
    ASSERT_EQ(convert(wav, outpath.c_str(), 0, TOLVEK_FORMAT_PNG, 0, 1), 0);
    EXPECT_TRUE(test::exists(outpath + ".png"));
    EXPECT_FALSE(test::exists(wav + ".png"));
}

TEST(ProcessFile, UnreadableAndUnsupportedFiles) {
    TempDir dir;
    test::write_file(dir.file("notes.txt"), "This is a text file, not a sound.\n");
    test::write_file(dir.file("tune.mod"), test::tracker_module());
    test::write_file(dir.file("empty.wav"), "");
    ASSERT_EQ(test::run({"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i", "color=c=red:s=64x64:d=1",
                         dir.file("silent.mp4")},
                        dir.path())
                  .status,
              0);
    const struct {
        const char* file;
        int status;  // 0: any audio-layer error code
        const char* line;
    } cases[] = {
        {"notes.txt", 0, "Skipping ./notes.txt\n"},
        {"missing.wav", TOLVEK_STATUS_CANNOT_READ, "Skipping ./missing.wav\n"},
        {"empty.wav", 0, "Skipping ./empty.wav\n"},
        {"silent.mp4", TOLVEK_STATUS_NO_AUDIO, "Skipping ./silent.mp4\n"},
        {"tune.mod", test::kModulesOpen ? TOLVEK_STATUS_UNSUPPORTED : 0,
         test::kModulesOpen ? "./tune.mod - error. Only streaming or WAV files are supported\n" : "Skipping ./tune.mod\n"},
    };
    for (const auto& c : cases) {
        const std::string path = dir.file(c.file);
        const std::string outpath = std::string("./") + c.file;
        for (int verbose : {0, 1}) {
            const int status = convert(path, outpath.c_str(), verbose);
            if (c.status != 0) {
                EXPECT_EQ(status, c.status) << c.file;
            }
            EXPECT_NE(status, 0) << c.file;
            EXPECT_NE(status, TOLVEK_STATUS_SAVE_ERROR) << c.file;
            if (c.status != TOLVEK_STATUS_UNSUPPORTED) {
                EXPECT_NE(status, TOLVEK_STATUS_UNSUPPORTED) << c.file;
            }
            EXPECT_EQ(test::captured_log(), verbose ? c.line : "") << c.file;
            EXPECT_FALSE(test::exists(path + ".png")) << c.file;
        }
    }
}

TEST(ProcessFile, MissingArgumentsAreRefusedQuietly) {
    TempDir dir;
    const std::string wav = dir.file("a.wav");
    test::write_wav(wav, 8000, 1, test::silence(8000, 1, 0.2));
    test::TestPalette grey = test::TestPalette::grey();
    test::captured_log().clear();
    EXPECT_EQ(_process_file(nullptr, TOLVEK_FORMAT_PNG, 75, 1, 0, 1, grey.tables(), test::capture_log, nullptr),
              TOLVEK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(_process_file(wav.c_str(), TOLVEK_FORMAT_PNG, 75, 1, 0, 1, nullptr, test::capture_log, nullptr),
              TOLVEK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(test::captured_log(), "");
    // No log callback: the picture is still made, silently.
    EXPECT_EQ(_process_file(wav.c_str(), TOLVEK_FORMAT_PNG, 75, 1, 0, 1, grey.tables(), nullptr, nullptr), 0);
    EXPECT_TRUE(test::exists(wav + ".png"));
}

TEST(ProcessFile, SaveErrorIsReportedWhateverTheVerbosity) {
    TempDir dir;
    const std::string wav = dir.file("blocked.wav");
    test::write_wav(wav, 8000, 1, test::silence(8000, 1, 0.5));
    // A directory where the picture should go: the rename cannot replace it.
    std::filesystem::create_directory(wav + ".png");
    ASSERT_EQ(convert(wav, "./blocked.wav", 0), TOLVEK_STATUS_SAVE_ERROR);
    const std::string label = display_label("./blocked.wav") + "Mono,  8.0,   0.01Mb,   128kbps";
    const std::string tail = label + ". Saving file\n" + label + ", Save error\n";
    const std::string& log = test::captured_log();
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
    EXPECT_TRUE(std::filesystem::is_directory(wav + ".png"));
    // Nothing else was left in the directory.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 2);
}

// Every setting that changes a picture's pixels or file changes the
// fingerprint, so an update run converts again; the others leave it be.
TEST(Stamp, FingerprintCoversEverySettingThatChangesThePicture) {
    test::TestPalette base = test::TestPalette::grey(), edited = base, same = base;
    Options o;
    o.palette = &base;
    const std::string before = settings_fingerprint(o);
    EXPECT_EQ(before.size(), 16u);
    EXPECT_EQ(before.find_first_not_of("0123456789abcdef"), std::string::npos);
    struct Case {
        const char* what;
        std::function<void(Options&)> change;
        bool changes;
    };
    Options jpeg = o;
    jpeg.format = image::FileType::Jpeg;
    for (const Case& c : {
             Case{"format", [](Options& x) { x.format = image::FileType::Jpeg; }, true},
             Case{"grid", [](Options& x) { x.grid = false; }, true},
             Case{"range", [](Options& x) { x.range = Range::dbfs(-120, 0); }, true},
             Case{"scale", [](Options& x) { x.scale = Scale::Log; }, true},
             Case{"frame", [](Options& x) { x.frame = true; }, true},
             Case{"coverage", [](Options& x) { x.coverage = Coverage::Full; }, true},
             Case{"channels", [](Options& x) { x.channels = Channels::Split; }, true},
             Case{"width", [](Options& x) { x.width = 16; }, true},
             Case{"height", [](Options& x) { x.height = 64; }, true},
             Case{"fft", [](Options& x) { x.spectrum.frames = 4096; }, true},
             Case{"window", [](Options& x) { x.spectrum.window = audio::Window::Kaiser; }, true},
             Case{"time start", [](Options& x) { x.time.start_s = 0.0; }, true},
             Case{"time end", [](Options& x) { x.time.end_s = 60.0; }, true},
             Case{"freq", [](Options& x) { x.freq.high_hz = 8000.0; }, true},
             Case{"red of entry 0", [&](Options& x) { edited.red[0] = 1, x.palette = &edited; }, true},
             Case{"green of entry 128", [&](Options& x) { edited.green[128] = 0, x.palette = &edited; }, true},
             Case{"blue of entry 255", [&](Options& x) { edited.blue[255] = 0, x.palette = &edited; }, true},
             Case{"the same colours elsewhere", [&](Options& x) { x.palette = &same; }, false},
             Case{"quality of a PNG", [](Options& x) { x.quality = 90; }, false},
             Case{"verbose", [](Options& x) { x.verbose = 2; }, false},
             Case{"threads", [](Options& x) { x.threads = 4; }, false},
             Case{"local", [](Options& x) { x.local = true; }, false},
         }) {
        SCOPED_TRACE(c.what);
        edited = test::TestPalette::grey();
        Options changed = o;
        c.change(changed);
        EXPECT_EQ(settings_fingerprint(changed) != before, c.changes);
    }
    // Within a range or a JPEG's settings, each value counts.
    const auto with_range = [&](float low, float high) {
        Options x = o;
        x.range = Range::dbfs(low, high);
        return settings_fingerprint(x);
    };
    EXPECT_NE(with_range(-120, 0), with_range(-120.5f, 0));
    EXPECT_NE(with_range(-120, 0), with_range(-120, -0.5f));
    Options q76 = jpeg;
    q76.quality = 76;
    EXPECT_NE(settings_fingerprint(jpeg), settings_fingerprint(q76));
}

}  // namespace
}  // namespace tolvek::convert
