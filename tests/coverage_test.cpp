// Full coverage and split channels as a user sees them in the picture.
#include <gtest/gtest.h>

#include "convert/convert.h"
#include "convert/plan.h"
#include "support/fixtures.h"

namespace tolvek::convert {
namespace {

struct Quiet : Log {
    void line(std::string_view) override {}
    void error(std::string_view) override {}
};

// Converts `path` with a grey palette (level = red), no grid, and reads the PNG back.
test::Image convert(const std::string& path, Coverage coverage, Channels channels, Result* result = nullptr) {
    test::TestPalette grey = test::TestPalette::grey();
    Options o;
    o.grid = false;
    o.palette = grey.tables();
    o.coverage = coverage;
    o.channels = channels;
    Quiet quiet;
    const Result r = convert_file(path, std::nullopt, o, quiet);
    EXPECT_EQ(r.status, 0) << r.reason;
    if (result) *result = r;
    test::Image img;
    EXPECT_TRUE(test::read_png(path + ".png", img));
    return img;
}

TEST(Coverage, ParsesItsWords) {
    EXPECT_EQ(parse_coverage("sampled"), Coverage::Sampled);
    EXPECT_EQ(parse_coverage("full"), Coverage::Full);
    EXPECT_EQ(parse_channels("mix"), Channels::Mix);
    EXPECT_EQ(parse_channels("split"), Channels::Split);
    for (const char* bad : {"", "Full", "all", "splits"}) EXPECT_FALSE(parse_coverage(bad) || parse_channels(bad)) << bad;
}

// One-sample clicks in the part of a column the sampled window skips:
// full coverage shows every one, sampled none.
TEST(Coverage, FullShowsEveryOneSampleClick) {
    test::TempDir dir;
    const std::string wav = dir.file("clicks.wav");
    test::Samples pcm = test::silence(8000, 1, 600.0);
    const ColumnPlan plan = plan_columns(pcm.size() * 2, 600.0f);
    const std::uint64_t column_frames = plan.step / 2;
    std::vector<int> columns;
    for (int k = 0; k < 20; ++k) {
        columns.push_back(25 + 50 * k);
        pcm[columns.back() * column_frames + column_frames * 5 / 8] = 32767;
    }
    test::write_wav(wav, 8000, 1, pcm);
    const struct {
        Coverage coverage;
        int shown;
        double pct;
    } cases[] = {{Coverage::Sampled, 0, 100.0 * 2048 * plan.count / 4800000}, {Coverage::Full, 20, 100.0}};
    for (const auto& c : cases) {
        Result r;
        const test::Image img = convert(wav, c.coverage, Channels::Mix, &r);
        int shown = 0;
        for (int x : columns) {
            shown += img.at(x, 900).r > 100;
            EXPECT_LT(img.at(x + 3, 900).r, 20) << x;
        }
        EXPECT_EQ(shown, c.shown);
        EXPECT_NEAR(r.coverage_pct, c.pct, 0.01);
    }
}

// Bin 200 at 8 kHz.
constexpr double kToneHz = 200 * 8000.0 / 2048;

// A tone on one channel (negated on the others when `anti`), `channels` in all.
test::Samples tone_on(int channels, int lit, bool anti) {
    const test::Samples mono = test::sine(8000, 1, 2.0, kToneHz);
    test::Samples out(mono.size() * channels, 0);
    for (std::size_t i = 0; i < mono.size(); ++i)
        for (int c = 0; c < channels; ++c)
            out[i * channels + c] = c == lit ? mono[i] : anti ? static_cast<std::int16_t>(-mono[i]) : 0;
    return out;
}

TEST(Channels, SplitGivesAPanePerChannelUpToEight) {
    test::TempDir dir;
    const struct {
        int channels, lit;
        bool anti;
        Channels mode;
        std::vector<int> bright_panes;  // from the top
    } cases[] = {
        {2, 0, true, Channels::Mix, {}},  // anti-phase cancels in the mean
        {2, 0, true, Channels::Split, {0, 1}},
        {1, 0, false, Channels::Split, {0}},
        {10, 9, false, Channels::Split, {7}},  // the ninth and tenth channels are in the last pane
        {10, 3, false, Channels::Split, {3}},
    };
    for (const auto& c : cases) {
        const std::string wav = dir.file("tone.wav");
        test::write_wav(wav, 8000, c.channels, tone_on(c.channels, c.lit, c.anti));
        for (Coverage coverage : {Coverage::Sampled, Coverage::Full}) {
            const test::Image img = convert(wav, coverage, c.mode);
            const int panes = img.height / 1024;
            EXPECT_EQ(panes, c.mode == Channels::Mix ? 1 : std::min(c.channels, 8)) << c.channels;
            for (int p = 0; p < panes; ++p) {
                const bool bright = std::count(c.bright_panes.begin(), c.bright_panes.end(), p) > 0;
                const int level = img.at(100, (panes - 1 - p) * 1024 + 200).r;
                EXPECT_EQ(level > 200, bright) << c.channels << " channels, pane " << p << ": " << level;
                EXPECT_LT(img.at(100, (panes - 1 - p) * 1024 + 600).r, 40) << p;
            }
        }
    }
}

TEST(Result, NamesTheCodecAndItsBitRate) {
    test::TempDir dir;
    const std::string wav = dir.file("a.wav");
    test::write_wav(wav, 8000, 1, test::sine(8000, 1, 2.0, 440));
    ASSERT_TRUE(test::ffmpeg_convert(wav, dir.file("a.mp3"), "-b:a 32k"));
    ASSERT_TRUE(test::ffmpeg_convert(wav, dir.file("a.flac")));
    const struct {
        const char* file;
        const char* codec;
        std::uint32_t kbps;  // 0: any known rate
    } cases[] = {{"a.wav", "pcm_s16le", 128}, {"a.mp3", "mp3", 32}, {"a.flac", "flac", 0}};
    for (const auto& c : cases) {
        Result r;
        convert(dir.file(c.file), Coverage::Sampled, Channels::Mix, &r);
        EXPECT_EQ(r.codec, c.codec);
        if (c.kbps) {
            EXPECT_EQ(r.bitrate_kbps, c.kbps) << c.file;
        }
        EXPECT_GT(r.bitrate_kbps, 0u) << c.file;
    }
}

}  // namespace
}  // namespace tolvek::convert
