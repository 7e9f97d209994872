// The picture's shape: its size, transform, time range and band, checked
// against levels and positions worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <optional>

#include "audio/spectrum.h"
#include "convert/convert.h"
#include "convert/frame.h"
#include "convert/npz.h"
#include "support/fixtures.h"

namespace tolvek::convert {
namespace {

class QuietLog : public Log {
public:
    void line(std::string_view) override {}
    void error(std::string_view text) override { errors += text; }
    std::string errors;
};

// Level of a magnitude `db` dBFS in -120:0 on the grey palette.
int grey_level(double db) { return static_cast<int>((db + 120.0) * 255.0 / 120.0); }

// A 4 s file at 8 kHz: silence up to `tone_from_s`, then a sine of
// amplitude 0.5 (-6.02 dBFS at a bin centre) at `hz`.
std::string tone_file(const test::TempDir& dir, double hz, double tone_from_s = 0.0) {
    constexpr int kRate = 8000;
    test::Samples samples = test::silence(kRate, 1, tone_from_s);
    const test::Samples tone = test::sine(kRate, 1, 4.0 - tone_from_s, hz, 0.5);
    samples.insert(samples.end(), tone.begin(), tone.end());
    const std::string path = dir.file("tone.wav");
    test::write_wav(path, kRate, 1, samples);
    return path;
}

TEST(PictureShape, ToneLandsInItsRowAndColumnAtItsLevel) {
    const double kToneDb = 20.0 * std::log10(0.5);
    struct Case {
        const char* what;
        std::function<void(Options&)> change;
        double tone_hz, tone_from_s;
        int width, height;   // of the picture
        int row;             // where the tone is brightest
        int dark_column, lit_column;  // -1: every column is lit
    };
    // At 8 kHz a 2048-frame transform has bins of 3.90625 Hz: 2000 Hz is
    // bin 512, row 512 of the default 1024.
    for (const Case& c : {
             Case{"height below the bins: the band's strongest bin", [](Options& o) { o.height = 512; }, 2000, 0, 250,
                  512, 256, -1, -1},
             Case{"height above the bins: interpolated", [](Options& o) { o.height = 2048; }, 2000, 0, 250, 2048, 1024,
                  -1, -1},
             Case{"fft 4096, hamming: two bins a row", [](Options& o) { o.spectrum = {4096, audio::Window::Hamming}; },
                  2000, 0, 250, 1024, 512, -1, -1},
             Case{"fft 512, blackman-harris: a bin per four rows",
                  [](Options& o) { o.spectrum = {512, audio::Window::BlackmanHarris}; }, 2000, 0, 250, 1024, 512, -1, -1},
             Case{"kaiser", [](Options& o) { o.spectrum.window = audio::Window::Kaiser; }, 2000, 0, 250, 1024, 512, -1, -1},
             Case{"rectangular", [](Options& o) { o.spectrum.window = audio::Window::Rectangular; }, 2000, 0, 250, 1024,
                  512, -1, -1},
             Case{"width", [](Options& o) { o.width = 100; }, 2000, 0, 100, 1024, 512, -1, -1},
             // Rows of 1000..3000 Hz over 512 rows: 2000 Hz at row 256.
             Case{"freq", [](Options& o) { o.height = 512, o.freq = {1000.0, 3000.0}; }, 2000, 0, 250, 512, 256, -1, -1},
             // Log over 511 steps from 3.90625 Hz to 4 kHz: 2000 Hz (512 times
             // the first) at 511 × 9/10 = 459.9.
             Case{"log", [](Options& o) { o.height = 512, o.scale = Scale::Log; }, 2000, 0, 250, 512, 460, -1, -1},
             // 1..3 s over 80 columns, a column per 25 ms: the tone starts at 2 s,
             // column 40; a window reaches 256 ms (about 10 columns) ahead.
             Case{"time", [](Options& o) { o.width = 80, o.time = {1.0, 3.0}; }, 2000, 2.0, 80, 1024, 512, 25, 45},
         }) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        const std::string wav = tone_file(dir, c.tone_hz, c.tone_from_s);
        test::TestPalette grey = test::TestPalette::grey();
        Options o;
        o.palette = &grey;
        o.grid = false;
        o.range = Range::dbfs(-120, 0);
        c.change(o);
        QuietLog log;
        ASSERT_EQ(convert_file(wav, std::nullopt, o, log).outcome, Outcome::Written) << log.errors;
        test::Image img;
        ASSERT_TRUE(test::read_png(wav + ".png", img));
        ASSERT_EQ(img.width, c.width);
        ASSERT_EQ(img.height, c.height);
        const int x = c.lit_column >= 0 ? c.lit_column : c.width / 2;
        int brightest = 0;
        for (int y = 0; y < img.height; ++y)
            if (img.at(x, y).r > img.at(x, brightest).r) brightest = y;
        EXPECT_NEAR(brightest, c.row, 1);
        EXPECT_NEAR(img.at(x, c.row).r, grey_level(kToneDb), 1);
        if (c.dark_column >= 0) EXPECT_EQ(img.at(c.dark_column, c.row).r, 0);
    }
}

TEST(PictureShape, EveryWindowReadsAFullScaleSineAtHalf) {
    for (const int frames : {256, 2048, 65536})
        for (const auto window : {audio::Window::Hann, audio::Window::Hamming, audio::Window::BlackmanHarris,
                                  audio::Window::Kaiser, audio::Window::Rectangular}) {
            SCOPED_TRACE(std::to_string(frames) + " " + std::to_string(static_cast<int>(window)));
            audio::SpectrumAnalyzer fft({frames, window});
            ASSERT_TRUE(fft.ok());
            std::vector<float> mono(static_cast<std::size_t>(frames)), out(static_cast<std::size_t>(frames / 2));
            const int bin = frames / 8;
            for (int n = 0; n < frames; ++n) mono[n] = static_cast<float>(std::sin(2 * std::numbers::pi * bin * n / frames));
            fft.analyze(mono, out);
            EXPECT_NEAR(out[bin], kFullScaleMagnitude, 1e-4);
            EXPECT_LT(out[bin + 8], 0.01);
        }
    EXPECT_FALSE(audio::SpectrumAnalyzer({1000, audio::Window::Hann}).ok());
}

TEST(PictureShape, ValuesAcceptedAndRefused) {
    struct Case {
        std::function<bool(std::string_view)> parses;
        const char* text;
        bool ok;
    };
    const auto width = [](std::string_view t) { return parse_width(t).has_value(); };
    const auto fft = [](std::string_view t) { return parse_fft(t).has_value(); };
    const auto window = [](std::string_view t) { return parse_window(t).has_value(); };
    const auto time = [](std::string_view t) { return parse_time_span(t).has_value(); };
    const auto freq = [](std::string_view t) { return parse_frequency_span(t).has_value(); };
    for (const Case& c : {
             Case{width, "auto", true}, Case{width, "AUTO", true}, Case{width, "16", true}, Case{width, "15", false},
             Case{width, "20000", true}, Case{width, "20001", false}, Case{width, "1e3", false},
             Case{fft, "256", true}, Case{fft, "128", false}, Case{fft, "65536", true}, Case{fft, "131072", false},
             Case{fft, "3000", false}, Case{window, "Blackman-Harris", true}, Case{window, "blackman", false},
             Case{time, "1:30..", true}, Case{time, "..45", true}, Case{time, "1:02:03.5..1:03:00", true},
             Case{time, "10..10", false}, Case{time, "20..10", false}, Case{time, "1:60..", false},
             Case{time, "-1..5", false}, Case{time, "5", false}, Case{freq, "1k..8k", true}, Case{freq, "0:4k", true},
             Case{freq, "..500", true}, Case{freq, "8k..1k", false}, Case{freq, "1k..1000", false},
             Case{freq, "1000k..", true}, Case{freq, "1001k..", false}, Case{freq, "x..1k", false},
         }) {
        EXPECT_EQ(c.parses(c.text), c.ok) << c.text;
    }
    const TimeSpan t = *parse_time_span("1:02:03.5..");
    EXPECT_DOUBLE_EQ(*t.start_s, 3723.5);
    EXPECT_FALSE(t.end_s);
    const FrequencySpan f = *parse_frequency_span("1.5k..8000");
    EXPECT_DOUBLE_EQ(*f.low_hz, 1500.0);
    EXPECT_DOUBLE_EQ(*f.high_hz, 8000.0);
}

TEST(PictureShape, PicturesTooLargeAreRefused) {
    struct Case {
        int width, height, panes;
        bool framed, jpeg, refused;
    };
    for (const Case& c : {
             Case{20000, 3200, 1, false, false, false},  // 64 000 000 pixels exactly
             Case{20000, 3201, 1, false, false, true},
             Case{0, 8192, 7, false, false, false},      // auto: at most 1000 columns
             Case{0, 8192, 8, false, false, true},
             Case{19876, 3200, 1, true, false, true},    // the frame's margins count
             Case{16, 8187, 8, false, true, false},      // 65 496 rows
             Case{16, 8188, 8, false, true, true},
             Case{16, 8188, 8, false, false, false},     // a PNG holds them
         }) {
        EXPECT_EQ(picture_size_refusal(c.width, c.height, c.panes, c.framed, c.jpeg).has_value(), c.refused)
            << c.width << "x" << c.height << "x" << c.panes;
    }
}

TEST(PictureShape, FileEndingBeforeTheTimeRangeIsPassedOver) {
    test::TempDir dir;
    const std::string wav = tone_file(dir, 1000);
    test::TestPalette grey = test::TestPalette::grey();
    Options o;
    o.palette = &grey;
    o.time = {4.0, std::nullopt};
    QuietLog log;
    const Result r = convert_file(wav, std::nullopt, o, log);
    EXPECT_EQ(r.outcome, Outcome::BeforeTime);
    EXPECT_NE(log.errors.find("tone.wav ends before the time range starts"), std::string::npos) << log.errors;
    EXPECT_FALSE(test::exists(wav + ".png"));
    o.time = {3.9, std::nullopt};
    EXPECT_EQ(convert_file(wav, std::nullopt, o, log).outcome, Outcome::Written);
}

}  // namespace
}  // namespace tolvek::convert

namespace tolvek::convert {
namespace {

// The python3 that has numpy, if any.
std::optional<std::string> numpy_python() {
    for (const char* python : {"python3", "/usr/bin/python3"})
        if (test::run({python, "-c", "import numpy"}, ".").status == 0) return python;
    return std::nullopt;
}

TEST(PictureData, NumpyReadsTheLevelsThePictureShows) {
    const std::optional<std::string> python = numpy_python();
    if (!python) GTEST_SKIP() << "numpy is not installed";
    test::TempDir dir;
    const std::string wav = tone_file(dir, 2000, 1.0);
    test::TestPalette grey = test::TestPalette::grey();
    Options o;
    o.palette = &grey;
    o.grid = false;
    o.range = Range::dbfs(-120, 0);
    o.width = 40;
    o.height = 100;
    o.data = true;
    QuietLog log;
    const Result r = convert_file(wav, std::nullopt, o, log);
    ASSERT_EQ(r.outcome, Outcome::Written) << log.errors;
    EXPECT_EQ(r.data, wav + ".npz");
    // The palette's levels from the data, top row first as the picture holds them.
    const std::string script =
        "import numpy as np, sys\n"
        "z = np.load(sys.argv[1])\n"
        "db = z['db']\n"
        "assert db.dtype == np.float32 and db.shape == (1, 100, 40), db.shape\n"
        "print(z['times_s'][1], z['freqs_hz'][1], z['freqs_hz'][-1])\n"
        "levels = np.clip(np.floor((db[0] + 120) * 255 / 120), 0, 255).astype(np.uint8)\n"
        "open(sys.argv[2], 'wb').write(levels[::-1].tobytes())\n";
    const test::RunResult py = test::run({*python, "-c", script, r.data, dir.file("levels")}, dir.path());
    ASSERT_EQ(py.status, 0) << py.err;
    // 4 s over 40 columns; 4 kHz over 100 rows.
    EXPECT_EQ(py.out, "0.1 40.0 3960.0\n");
    const std::string levels = test::read_file(dir.file("levels"));
    test::Image img;
    ASSERT_TRUE(test::read_png(wav + ".png", img));
    ASSERT_EQ(levels.size(), 40u * 100u);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 40; ++x)
            ASSERT_EQ(img.at(x, y).r, static_cast<std::uint8_t>(levels[static_cast<std::size_t>((99 - y) * 40 + x)]))
                << x << "," << y;
}

TEST(PictureData, UpdateWritesMissingData) {
    test::Workspace w;
    w.wav("song.wav");
    ASSERT_EQ(w.tolvek({"--data", "npz", "song.wav"}).status, 0);
    ASSERT_TRUE(w.has("song.wav.npz"));
    EXPECT_NE(w.tolvek({"-u", "--data", "npz", "song.wav"}).err.find("0 pictures written, 1 up to date"), std::string::npos);
    std::remove(w.path("song.wav.npz").c_str());
    EXPECT_NE(w.tolvek({"-u", "--data", "npz", "song.wav"}).err.find("1 picture written, 0 up to date"), std::string::npos);
    EXPECT_TRUE(w.has("song.wav.npz"));
}

TEST(PictureData, NpyHeaderIsAlignedAndNamesTheShape) {
    for (const auto& shape : {std::vector<std::size_t>{3}, std::vector<std::size_t>{2, 1024, 1000}}) {
        const std::string h = npy_header("<f4", shape);
        EXPECT_EQ(h.size() % 64, 0u);
        EXPECT_EQ(h.substr(0, 8), std::string("\x93NUMPY\x01\x00", 8));
        EXPECT_EQ(static_cast<std::size_t>(static_cast<unsigned char>(h[8]) | static_cast<unsigned char>(h[9]) << 8),
                  h.size() - 10);
        EXPECT_EQ(h.back(), '\n');
    }
    EXPECT_NE(npy_header("<f8", {3}).find("'shape': (3,)"), std::string::npos);
    EXPECT_NE(npy_header("<f4", {2, 5, 7}).find("'shape': (2,5,7)"), std::string::npos);
    EXPECT_EQ(data_path("dir.v2/song.mp3.png"), "dir.v2/song.mp3.npz");
}

}  // namespace
}  // namespace tolvek::convert

namespace tolvek::convert {
namespace {

TEST(ClockTime, ReadFromTextAndNames) {
    struct Case {
        const char* text;
        bool from_name;
        std::optional<std::string> iso;  // iso_text of what is read
    };
    for (const Case& c : {
             Case{"2024-05-12T05:30:00", false, "2024-05-12T05:30:00"},
             Case{"2024-05-12 05:30Z", false, "2024-05-12T05:30:00Z"},
             Case{"2024-05-12T05:30:07.5+0200", false, "2024-05-12T05:30:07+02:00"},
             Case{"2024-02-29T23:59:59-05", false, "2024-02-29T23:59:59-05:00"},
             Case{"2023-02-29T00:00:00", false, std::nullopt},
             Case{"2024-05-12T24:00:00", false, std::nullopt},
             Case{"2024-05-12", false, std::nullopt},
             Case{"2024-05-12T05:30:00+15:00", false, std::nullopt},
             Case{"2024-05-12T05:30:00 ", false, std::nullopt},
             Case{"dawn/20240512_053000.wav", true, "2024-05-12T05:30:00"},
             Case{"rec-20241231-235959.flac", true, "2024-12-31T23:59:59"},
             Case{"120240512_053000.wav", true, std::nullopt},
             Case{"20240512_0530001.wav", true, std::nullopt},
             Case{"20241332_053000.wav", true, std::nullopt},
         }) {
        const std::optional<ClockStart> got = c.from_name ? clock_from_name(c.text) : parse_iso_time(c.text);
        EXPECT_EQ(got ? std::optional<std::string>(iso_text(*got)) : std::nullopt, c.iso) << c.text;
    }
    const ClockStart late = *parse_iso_time("2024-05-12T23:30:00Z");
    EXPECT_EQ(clock_label(late, 3600, false), "00:30");
    EXPECT_EQ(clock_label(late, 15, true), "23:30:15");
    EXPECT_EQ(title_clock_text(late), "2024-05-12 23:30:00 UTC");

    // A day from 05:30 over 1440 columns: ticks at full hours, 06:00 at column 30.
    test::TestPalette grey = test::TestPalette::grey();
    const FrameLayout l = frame_layout(1440, 256);
    image::Picture p(l.width, l.height);
    FrameFacts facts{"20240512_053000.wav", 8000, 1, 86400.0, 1000, ""};
    facts.clock = clock_from_name(facts.name);
    draw_frame(p, l, facts, {Scale::Linear, Range{}, &grey}, nullptr);
    const auto tick = [&](int column) { return p.pixel(l.left + column, l.height - 1 - (l.top + l.rows + 1)).r == 150; };
    EXPECT_TRUE(tick(30));
    EXPECT_FALSE(tick(29));
    EXPECT_FALSE(tick(31));
    EXPECT_TRUE(title_text(facts).ends_with(", 2024-05-12 05:30:00")) << title_text(facts);
}

TEST(ClockTime, EachSourceOfTheStart) {
    test::TempDir dir;
    const std::string plain = dir.file("take.wav"), named = dir.file("20240512_053000.wav");
    test::write_wav(plain, 8000, 1, test::sine(8000, 1, 1.0, 440));
    test::write_wav(named, 8000, 1, test::sine(8000, 1, 1.0, 440));
    struct Case {
        std::string file;
        std::string ffmpeg_args;  // made from take.wav with these, when not empty
        std::optional<ClockStart> given;
        std::string start_time;
    };
    for (const Case& c : {
             Case{plain, "", std::nullopt, ""},
             Case{named, "", std::nullopt, "2024-05-12T05:30:00"},
             Case{dir.file("bwf.wav"),
                  "-write_bext 1 -metadata origination_date=2024-05-12 -metadata origination_time=06:15:00",
                  std::nullopt, "2024-05-12T06:15:00"},
             Case{dir.file("tagged.mka"), "-metadata creation_time=2024-05-12T04:00:00Z", std::nullopt,
                  "2024-05-12T04:00:00Z"},
             Case{named, "", parse_iso_time("2025-01-02T03:04:05+01:00"), "2025-01-02T03:04:05+01:00"},
         }) {
        SCOPED_TRACE(c.file);
        if (!c.ffmpeg_args.empty() && !test::ffmpeg_convert(plain, c.file, c.ffmpeg_args))
            GTEST_SKIP() << "the ffmpeg tool cannot make " << c.file;
        test::TestPalette grey = test::TestPalette::grey();
        Options o;
        o.palette = &grey;
        o.frame = true;
        o.start_time = c.given;
        QuietLog log;
        const Result r = convert_file(c.file, std::nullopt, o, log);
        ASSERT_EQ(r.outcome, Outcome::Written) << log.errors;
        EXPECT_EQ(r.start_time, c.start_time);
    }
}

}  // namespace
}  // namespace tolvek::convert
