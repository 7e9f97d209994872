// The picture settings as a user sees them: dB ranges, the log scale and the
// frame around the spectrogram.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

#include "audio/audio.h"
#include "convert/convert.h"
#include "convert/frame.h"
#include "convert/levels.h"
#include "convert/scale.h"
#include "support/fixtures.h"

namespace tolvek::convert {
namespace {

struct Lines : Log {
    std::string out, err;
    void line(std::string_view text) override { out += text; }
    void error(std::string_view text) override { err += text; }
};

// Converts `wav` with a grey palette (level = red) and reads the PNG back.
test::Image picture(const std::string& wav, Options options, Lines* lines = nullptr) {
    test::TestPalette grey = test::TestPalette::grey();
    options.palette = &grey;
    Lines quiet;
    const Result r = convert_file(wav, std::nullopt, options, lines ? *lines : quiet);
    EXPECT_EQ(r.outcome, Outcome::Written) << r.reason;
    test::Image img;
    EXPECT_TRUE(test::read_png(wav + ".png", img));
    return img;
}

Options with(Range range, Scale scale = Scale::Linear, bool grid = false, bool frame = false) {
    Options o;
    o.range = range;
    o.scale = scale;
    o.grid = grid;
    o.frame = frame;
    return o;
}

TEST(Range, Parse) {
    EXPECT_EQ(parse_range("classic"), Range{});
    EXPECT_EQ(parse_range("-120:0"), Range::dbfs(-120, 0));
    EXPECT_EQ(parse_range("-90.5:+6"), Range::dbfs(-90.5f, 6));
    EXPECT_EQ(parse_range("Classic"), Range{});  // a choice, in any case
    // -300 <= LOW, HIGH <= 50, HIGH - LOW >= 1: each bound on both sides.
    EXPECT_EQ(parse_range("-300:50"), Range::dbfs(-300, 50));
    EXPECT_EQ(parse_range("-61:-60"), Range::dbfs(-61, -60));
    for (const char* bad : {"", "0:-120", "-60:-60", "nan:0", "-inf:0", "-120", "-120:", ":0", "-120:0x", "-300.001:0",
                            "-120:50.001", "-60.999:-60", "-1e30:0", "-1e9:0", "0:1e30", "classic:0"})
        EXPECT_FALSE(parse_range(bad)) << bad;
}

TEST(Range, TableAgreesWithTheLogarithmEvenWhenNarrow) {
    for (const Range range : {Range::dbfs(-120, 0), Range::dbfs(-60, -55)}) {
        const LevelMap map = level_map(range);
        const auto lo = std::bit_cast<std::uint32_t>(1e-7f), hi = std::bit_cast<std::uint32_t>(1.0f);
        for (std::uint32_t b = lo; b < hi; b += 97)
            ASSERT_EQ(map(std::bit_cast<float>(b)), level_in_range(std::bit_cast<float>(b), range)) << b;
    }
}

// The palette entry of a bin holding a tone at a level in dBFS (magnitude
// 0.5 at 0 dBFS): each range's ends and middle, a hundredth of a dB either
// side of an end, and the levels the README gives.
TEST(Range, EntriesOfTonesAtDocumentedLevels) {
    const Range classic{}, wide = Range::dbfs(-120, 0), narrow = Range::dbfs(-60, -20);
    const struct {
        Range range;
        double dbfs;
        int entry;
    } cases[] = {
        {wide, 0.0, 255},      {wide, 10.0, 255},    {wide, -1.0, 252},     {wide, -20.0, 212},
        {wide, -34.0, 182},    {wide, -70.0, 106},   {wide, -119.5, 1},     {wide, -120.0, 0},
        {wide, -130.0, 0},     {narrow, -19.99, 255}, {narrow, -20.01, 254}, {narrow, -35.0, 159},
        {narrow, -50.0, 63},   {narrow, -59.5, 3},   {narrow, -60.01, 0},
        // Classic: -124.3 dBFS is entry 0, -37.4 dBFS entry 255.
        {classic, -37.3, 255}, {classic, -37.5, 254}, {classic, -40.0, 247}, {classic, -60.0, 188},
        {classic, -100.0, 71}, {classic, -123.7, 1},  {classic, -124.4, 0},
    };
    // The colour bar's span: the range itself, or classic's ends in dBFS.
    EXPECT_EQ(level_span(narrow), narrow);
    EXPECT_NEAR(level_span(classic).low_dbfs, -124.268, 0.001);
    EXPECT_NEAR(level_span(classic).high_dbfs, -37.409, 0.001);
    for (const auto& c : cases) {
        const auto magnitude = static_cast<float>(kFullScaleMagnitude * std::pow(10.0, c.dbfs / 20));
        EXPECT_EQ(static_cast<int>(level_map(c.range)(magnitude)), c.entry) << c.dbfs << " dBFS, classic " << c.range.classic;
    }
}

// 0 dBFS is a full-scale sine at a bin centre; quieter tones step down.
TEST(Range, TonesAtKnownLevels) {
    test::TempDir dir;
    const struct {
        double dbfs;
        int with_range;  // level with -120:0: (120 + dBFS) × 255 / 120
        int classic;     // (ln magnitude + 15) × 255 / 10
    } cases[] = {{0.0, 254, 255}, {-1.0, 252, 255}, {-20.0, 212, 255}, {-34.0, 182, 255}, {-45.0, 159, 232},
                 {-60.0, 127, 188}};
    for (const auto& c : cases) {
        const std::string wav = dir.file("tone.wav");
        // Full scale is 32767 here: 0 dBFS is a hair short of entry 255.
        test::write_wav(wav, 44100, 1, test::sine(44100, 1, 2.0, 200 * 44100.0 / 2048, std::pow(10.0, c.dbfs / 20)));
        EXPECT_EQ(picture(wav, with(Range::dbfs(-120, 0))).at(100, 200).r, c.with_range) << c.dbfs;
        EXPECT_EQ(picture(wav, with(Range{})).at(100, 200).r, c.classic) << c.dbfs;
    }
}

TEST(LogScale, ToneLandsInItsRow) {
    test::TempDir dir;
    const struct {
        int rate;
        int bin;
    } cases[] = {{44100, 23}, {44100, 200}, {8000, 700}, {48000, 5}};
    for (const auto& c : cases) {
        const std::string wav = dir.file("tone.wav");
        const double hz = c.bin * c.rate / 2048.0;
        test::write_wav(wav, c.rate, 1, test::sine(c.rate, 1, 2.0, hz));
        const test::Image img = picture(wav, with(Range::dbfs(-120, 0), Scale::Log));
        int top = 0;
        for (int y = 0; y < 1024; ++y) top = std::max(top, img.at(100, y).r);
        std::vector<int> brightest;
        for (int y = 0; y < 1024; ++y)
            if (img.at(100, y).r == top) brightest.push_back(y);
        const int middle = (brightest.front() + brightest.back()) / 2;
        EXPECT_NEAR(middle, frequency_row(Scale::Log, c.rate, hz), 2) << c.rate << " " << hz;
    }
}

// One loud bin: the row whose band holds it shows it whole; the low rows,
// narrower than a bin, show it in part.
TEST(LogScale, RowsTakeTheStrongestBinOrInterpolate) {
    const RowMap map;
    for (int bin : {1, 2, 40, 300, 1023}) {
        std::vector<float> bins(kRows, 0.0f), rows(kRows);
        bins[static_cast<std::size_t>(bin)] = 1.0f;
        map.apply(std::span<const float, kRows>(bins.data(), kRows), std::span<float, kRows>(rows.data(), kRows));
        const int row = static_cast<int>(std::lround(frequency_row(Scale::Log, 44100, bin * 44100.0 / 2048)));
        EXPECT_FLOAT_EQ(rows[static_cast<std::size_t>(row)], 1.0f) << bin;
        EXPECT_EQ(*std::max_element(rows.begin(), rows.end()), 1.0f) << bin;
    }
    std::vector<float> ramp(kRows), rows(kRows);
    for (int k = 0; k < kRows; ++k) ramp[static_cast<std::size_t>(k)] = static_cast<float>(k);
    map.apply(std::span<const float, kRows>(ramp.data(), kRows), std::span<float, kRows>(rows.data(), kRows));
    // Row 100 shows 1024^(100/1023) = 1.97 bins: between bins 1 and 2.
    EXPECT_NEAR(rows[100], std::pow(1024.0, 100.0 / 1023), 1e-4);
}

TEST(LogScale, SolidMarksAtEachRate) {
    const struct {
        double rate;
        std::vector<double> solid;
    } cases[] = {{8000, {100, 1000}}, {44100, {100, 1000, 10000}}, {96000, {100, 1000, 10000}}};
    for (const auto& c : cases) {
        std::vector<double> solid;
        for (const FrequencyMark& m : log_marks(c.rate, kMinRowsBetweenMarks))
            if (m.solid) solid.push_back(m.hz);
        EXPECT_EQ(solid, c.solid) << c.rate;
    }
}

TEST(LogScale, GridRowsAtDecades) {
    test::TempDir dir;
    const std::string wav = dir.file("quiet.wav");
    test::write_wav(wav, 44100, 1, test::silence(44100, 1, 2.0));
    const test::Image img = picture(wav, with(Range{}, Scale::Log, true));
    for (double hz : {100.0, 1000.0, 10000.0})
        EXPECT_EQ(img.at(10, static_cast<int>(std::lround(frequency_row(Scale::Log, 44100, hz)))).r, 255) << hz;
    const auto marks = log_marks(44100, kMinRowsBetweenMarks);
    for (std::size_t i = 1; i < marks.size(); ++i)
        if (!marks[i].solid || !marks[i - 1].solid) {
            EXPECT_GE(marks[i].row - marks[i - 1].row, 8) << marks[i].hz;
        }
    int light = 0;
    for (int y = 0; y < 1024; ++y) light += img.at(10, y).r == 127;
    EXPECT_EQ(light, static_cast<int>(marks.size()) - 3);
}

TEST(Frame, DataAreaIsTheUnframedPictureAndMarginsCarryText) {
    test::TempDir dir;
    const std::string wav = dir.file("music.wav");
    test::write_wav(wav, 22050, 2, test::music(22050, 2, 3.0));
    const test::Image plain = picture(wav, with(Range::dbfs(-100, -10), Scale::Log, true));
    Lines lines;
    const test::Image framed = picture(wav, with(Range::dbfs(-100, -10), Scale::Log, true, true), &lines);
    EXPECT_EQ(lines.err, "");
    const FrameLayout l = frame_layout(plain.width, plain.height);
    ASSERT_EQ(framed.width, l.width);
    ASSERT_EQ(framed.height, l.height);
    for (int y = 0; y < plain.height; ++y)
        for (int x = 0; x < plain.width; ++x)
            ASSERT_EQ(framed.at(l.left + x, l.data_y0() + y).g, plain.at(x, y).g) << x << "," << y;
    // Pixels unlike the background in the title, the frequency labels and the time labels.
    const auto inked = [&](int x0, int top0, int w, int h) {
        int n = 0;
        for (int row = top0; row < top0 + h; ++row)
            for (int x = x0; x < x0 + w; ++x) n += framed.at(x, framed.height - 1 - row).r > 120;
        return n;
    };
    EXPECT_GT(inked(0, 0, l.width, l.top - 16), 100);
    EXPECT_GT(inked(0, l.top + 20, l.left - 6, l.rows - 40), 100);
    EXPECT_GT(inked(l.left, l.top + l.rows + 6, l.columns, l.height - l.top - l.rows - 6), 50);
}

// The title stays readable in JPEG: its letters keep their strokes.
TEST(Frame, TextSurvivesJpeg) {
    test::TempDir dir;
    const std::string wav = dir.file("quiet.wav");
    test::write_wav(wav, 8000, 1, test::silence(8000, 1, 1.0));
    Options options = with(Range{}, Scale::Linear, false, true);
    test::TestPalette grey = test::TestPalette::grey();
    options.palette = &grey;
    options.format = image::FileType::Jpeg;
    options.quality = 60;
    Lines lines;
    ASSERT_EQ(convert_file(wav, std::nullopt, options, lines).outcome, Outcome::Written);
    test::Image img;
    ASSERT_TRUE(test::read_jpeg(wav + ".jpg", img));
    int ink = 0, dark = 0;
    for (int row = 4; row < 20; ++row)
        for (int x = 0; x < 150; ++x) {
            const int r = img.at(x, img.height - 1 - row).r;
            ink += r > 180;
            dark += r < 50;
        }
    EXPECT_GT(ink, 60);
    EXPECT_GT(dark, 1000);
}

TEST(Frame, WithoutAFontTheFrameHasNoTextAndAWarning) {
    test::TempDir dir;
    test::write_file(dir.file("fonts.conf"), "<?xml version=\"1.0\"?>\n<fontconfig></fontconfig>\n");
    ASSERT_EQ(setenv("FONTCONFIG_FILE", dir.file("fonts.conf").c_str(), 1), 0);
    const std::string wav = dir.file("quiet.wav");
    test::write_wav(wav, 8000, 1, test::silence(8000, 1, 1.0));
    Lines lines;
    const test::Image framed = picture(wav, with(Range{}, Scale::Linear, true, true), &lines);
    unsetenv("FONTCONFIG_FILE");
    EXPECT_NE(lines.err.find("the frame is drawn without text"), std::string::npos) << lines.err;
    EXPECT_EQ(framed.width, frame_layout(250, 1024).width);
}

TEST(Frame, Texts) {
    EXPECT_EQ(clock_text(0, false), "0:00");
    EXPECT_EQ(clock_text(75.9, false), "1:15");
    EXPECT_EQ(clock_text(3725, true), "1:02:05");
    EXPECT_EQ(clock_text(1e14, true), "27777777777:46:40");  // past any integer's reach it still reads
    EXPECT_EQ(clock_text(1e300, true).substr(0, 4), "2777");
    EXPECT_EQ(clock_text(std::numeric_limits<double>::infinity(), true), "0:00:00");
    const std::string name = "song.wav  \xE2\x80\x94  ";
    struct Case {
        FrameFacts facts;
        std::string title;
    };
    constexpr double kInf = std::numeric_limits<double>::infinity();
    for (const Case& c : {
             // Without a declared rate: size × 8 / length.
             Case{{"./dir/song.wav", 44100, 2, 151.0, 26044320, ""}, name + "44.1 kHz, Stereo, 2:31, 1380 kbps"},
             Case{{"song.wav", 44100, 2, 0.0, 26044320, "FLAC"}, name + "44.1 kHz, Stereo, FLAC"},
             // A declared rate wins over the size's.
             Case{{"song.wav", 44100, 2, 180.0, 5000000, "mp3", 192}, name + "44.1 kHz, Stereo, 3:00, mp3 192 kbps"},
             Case{{"song.wav", 48000, 1, 2.0, 192044, "pcm_s16le", 768}, name + "48 kHz, Mono, 0:02, pcm_s16le 768 kbps"},
             // Under half a kbps the bits per second themselves.
             Case{{"song.wav", 100, 1, 20.0, 4044, ""}, name + "0.1 kHz, Mono, 0:20, 2 kbps"},
             Case{{"song.wav", 8000, 1, 1.0, 62, ""}, name + "8 kHz, Mono, 0:01, 496 bps"},
             Case{{"song.wav", 8000, 1, 1.0, 63, ""}, name + "8 kHz, Mono, 0:01, 1 kbps"},
             Case{{"song.wav", 8000, 1, 1e-300, 512, "pcm"}, name + "8 kHz, Mono, 0:00, pcm"},
             Case{{"song.wav", 8000, 1, 1e-6, 999999, "pcm"}, name + "8 kHz, Mono, 0:00, pcm 7999992000 kbps"},
             Case{{"song.wav", 8000, 1, 1e-6, 1000000, "pcm"}, name + "8 kHz, Mono, 0:00, pcm"},  // 8 Tbit/s
             Case{{"song.wav", 8000, 1, kInf, 512, "pcm"}, name + "8 kHz, Mono, pcm"},
         }) {
        SCOPED_TRACE(c.title);
        EXPECT_EQ(title_text(c.facts), c.title);
    }
}

// Labels are counted by the axis's pixels whatever the values: an absurd
// range or length gives a few labels at once, never a loop over the values.
TEST(Frame, LabelValues) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::vector<double> seconds = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 18000, 36000};
    const std::vector<double> db = {1, 2, 5, 10, 20, 50, 100, 200, 500};
    const std::vector<double> halves = {0.5, 1};
    struct Case {
        double low, high, px_per_unit;
        int min_px;
        const std::vector<double>& steps;
        std::vector<double> values;  // exactly, or ...
        std::size_t at_most = 0;     // ... when values is empty and this is not 0: a bounded count
    };
    for (const Case& c : {
             Case{0, 10, 25, 64, seconds, {0, 5, 10}},
             Case{0, 10, 32, 64, seconds, {0, 2, 4, 6, 8, 10}},  // 2 × 32 is just 64 pixels
             Case{0, 10, 31.9, 64, seconds, {0, 5, 10}},
             Case{-13.5, 1, 10, 24, db, {-10, -5, 0}},
             Case{-1, 1, 100, 24, halves, {-1, -0.5, 0, 0.5, 1}},
             Case{0, 10, 10, 64, halves, {0, 10}},  // past the last step: 1 × 10
             Case{-1e30, 0, 1024 / 1e30, 24, db, {}, 1024 / 24 + 1},
             Case{-1e9, 0, 1024 / 1e9, 24, db, {}, 1024 / 24 + 1},
             Case{0, 1e14, 1000 / 1e14, 64, seconds, {}, 1000 / 64 + 1},
             Case{0, 1e300, 1000 / 1e300, 64, seconds, {}, 1000 / 64 + 1},
             Case{0, kInf, 1, 64, seconds, {}},
             Case{std::nan(""), 0, 1, 24, db, {}},
             Case{0, 10, 0, 64, seconds, {}},
             Case{10, 0, 1, 64, seconds, {}},
         }) {
        SCOPED_TRACE(std::to_string(c.low) + ".." + std::to_string(c.high));
        const std::vector<double> got = label_values(c.low, c.high, c.px_per_unit, c.min_px, c.steps);
        if (c.at_most == 0) {
            EXPECT_EQ(got, c.values);
            continue;
        }
        ASSERT_GE(got.size(), 2u);
        EXPECT_LE(got.size(), c.at_most);
        EXPECT_GE(got.front(), c.low);
        EXPECT_LE(got.back(), c.high);
        // Ascending, at least min_px apart.
        for (std::size_t i = 1; i < got.size(); ++i)
            EXPECT_GE((got[i] - got[i - 1]) * c.px_per_unit, c.min_px * (1 - 1e-9)) << i;
    }
}

// The frame of absurd facts and ranges is drawn at once, with its ticks
// bounded by its pixels; the lowest rates still get frequency labels.
TEST(Frame, AbsurdValuesDrawAFewLabels) {
    const auto ticks = [](const image::Picture& p, int x, int top, bool along_x, int count) {
        int n = 0;
        for (int k = 0; k < count; ++k) {
            const int col = along_x ? x + k : x, row = along_x ? top : top + k;
            n += p.pixel(col, p.height() - 1 - row) == image::Rgb{150, 150, 150};
        }
        return n;
    };
    constexpr double kInf = std::numeric_limits<double>::infinity();
    test::TestPalette grey = test::TestPalette::grey();
    std::unique_ptr<image::Font> font;
    ASSERT_TRUE(image::Font::open(kFrameTextPx, font));
    struct Case {
        std::uint32_t rate;
        double seconds;
        Range range;
        Scale scale;
        int min_frequency_ticks, min_time_ticks;
    };
    for (const Case& c : {
             Case{100, 20.0, Range{}, Scale::Linear, 6, 2},
             Case{1, 20.0, Range{}, Scale::Linear, 6, 2},
             Case{44100, 1e14, Range::dbfs(-1e30f, 0), Scale::Linear, 6, 2},
             Case{44100, 4.6e18, Range::dbfs(-1e9f, 0), Scale::Log, 6, 2},
             // Every kilohertz mark of the log scale crowds the next: none is drawn.
             Case{4294967295u, 3.4e38, Range::dbfs(-3e38f, 3e38f), Scale::Log, 0, 2},
             Case{4294967295u, kInf, Range::dbfs(-1, 0), Scale::Linear, 6, 0},
             Case{8000, std::nan(""), Range::dbfs(-1, 0), Scale::Linear, 6, 0},
         }) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.seconds) + " s");
        const FrameLayout l = frame_layout(250, 1024);
        image::Picture p(l.width, l.height);
        for (const image::Font* f : std::initializer_list<const image::Font*>{nullptr, font.get()})
            draw_frame(p, l, {"x.wav", c.rate, 1, c.seconds, 1000, ""}, {c.scale, c.range, &grey}, f);
        const int frequency = ticks(p, l.left - 1 - 4, l.top, false, l.rows);
        const int time = ticks(p, l.left, l.top + l.rows + 1, true, l.columns);
        const int db = ticks(p, l.left + l.columns + 12 + 14, l.top, false, l.rows);
        EXPECT_GE(frequency, c.min_frequency_ticks);
        EXPECT_LE(frequency, 1024 / 16 + 1);
        EXPECT_GE(time, c.min_time_ticks);
        EXPECT_LE(time, 250 / 64 + 1);
        EXPECT_GE(db, 2);
        EXPECT_LE(db, 1024 / 24 + 1);
    }
}

}  // namespace
}  // namespace tolvek::convert

namespace tolvek::convert {
namespace {

TEST(Frame, EachPaneHasItsBarHighLogLabelsAndLongNamesAreShortened) {
    test::TestPalette grey = test::TestPalette::grey();
    std::unique_ptr<image::Font> font;
    ASSERT_TRUE(image::Font::open(kFrameTextPx, font));
    const FrameLayout l = frame_layout(250, 2 * 256);
    image::Picture p(l.width, l.height);
    draw_frame(p, l, {"x.wav", 44100, 2, 10.0, 1000, "", 0, {"FL", "FR"}}, {Scale::Log, Range::dbfs(-120, 0), &grey},
               font.get());
    const auto bar = [&](int offset) { return p.pixel(l.left + l.columns + 12, l.data_y0() + offset).r; };
    // Each bar runs from level 0 to level 255 over its own pane.
    for (int pane_bottom : {0, 256}) {
        EXPECT_EQ(bar(pane_bottom), 0) << pane_bottom;
        EXPECT_EQ(bar(pane_bottom + 255), 255) << pane_bottom;
    }
    // A tick at 20 kHz on the upper pane's log axis.
    const int row = static_cast<int>(std::lround(frequency_row(FrequencyAxis::make(Scale::Log, 44100, 256), 20000)));
    EXPECT_EQ(p.pixel(l.left - 1 - 4, l.data_y0() + 256 + row), (image::Rgb{150, 150, 150}));

    const FrameFacts facts{"field/a_rather_long_recording_name_2024.mp3", 44100, 2, 25.0, 400000, "mp3"};
    const std::string whole = title_text(facts);
    EXPECT_EQ(fitted_title(facts, *font, font->width(whole)), whole);
    const std::string cut = fitted_title(facts, *font, font->width(whole) - 40);
    EXPECT_LE(font->width(cut), font->width(whole) - 40);
    EXPECT_TRUE(cut.starts_with("a_rather")) << cut;
    EXPECT_NE(cut.find("\xE2\x80\xA6"), std::string::npos) << cut;
    EXPECT_TRUE(cut.ends_with(whole.substr(whole.find("2024.mp3")))) << cut;
}

}  // namespace
}  // namespace tolvek::convert
